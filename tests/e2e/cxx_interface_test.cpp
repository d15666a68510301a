// The C++ interface <vasq.hpp> against simulated instruments: lambdas that
// capture each instrument's state, exceptions with the library's codes,
// callbacks that throw, moves, and devices closed from their own callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ConnectedDevice.h"
#include "E2ESupport.h"
#include "vasq.hpp"

using namespace std::chrono_literals;

namespace {

// One instrument's samples, as pressure * 10: the simulator's running count.
class Samples {
public:
    void Add(double pressure)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_values.push_back(static_cast<int>(std::lround(pressure * 10.0)));
        }
        m_changed.Notify();
    }
    std::vector<int> Get()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }
    size_t Size() { return Get().size(); }
    bool WaitForSize(size_t count, std::chrono::milliseconds timeout = 10s)
    {
        return m_changed.WaitFor([&] { return Size() >= count; }, timeout);
    }
    // Every sample comes from the instrument counting from base, one after the other.
    void ExpectOwnAndConsecutive(int base)
    {
        const auto values = Get();
        for (size_t i = 0; i < values.size(); ++i) {
            const auto offset = static_cast<uint16_t>(values[i] - base);
            ASSERT_LT(offset, e2e::kCounterBaseStep) << "sample " << i << " is another instrument's";
            if (i > 0) {
                ASSERT_EQ(1, static_cast<uint16_t>(values[i] - values[i - 1])) << "after sample " << i - 1;
            }
        }
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_values;
    e2e::Condition m_changed;
};

struct Report {
    vasq::Status status;
    std::vector<double> values;
    int code;
};

class Reports : public e2e::Recorder<Report> {
public:
    std::vector<vasq::Status> Statuses()
    {
        std::vector<vasq::Status> statuses;
        for (const Report& report : Get())
            statuses.push_back(report.status);
        return statuses;
    }
    bool Has(vasq::Status status)
    {
        const auto statuses = Statuses();
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    }
    bool WaitForStatus(vasq::Status status, std::chrono::milliseconds timeout = 10s)
    {
        return WaitFor([&] { return Has(status); }, timeout);
    }
};

// What a callback captured, and whether it is still alive.
class Canary {
public:
    std::shared_ptr<int> Take()
    {
        auto object = std::make_shared<int>(42);
        m_watch = object;
        return object;
    }
    bool Alive() const { return !m_watch.expired(); }
    bool WaitForGone(std::chrono::milliseconds timeout = 5s)
    {
        return e2e::Condition().WaitFor([&] { return !Alive(); }, timeout);
    }

private:
    std::weak_ptr<int> m_watch;
};

template <typename Call>
int ErrorCode(Call call)
{
    try {
        call();
    } catch (const vasq::Error& e) {
        EXPECT_NE(std::string(), e.what()) << "every error has a reason";
        return e.code();
    }
    return VASQ_ERROR_NONE;
}

class CxxInterface : public e2e::PrivateFolder {
protected:
    std::unique_ptr<vasqsim::SimDevice> Instrument(int port, int index)
    {
        return e2e::CountingInstrument(m_folder.path(), port, index);
    }
    void TearDown() override
    {
        vasq::setLogHandler(nullptr);
        PrivateFolder::TearDown();
    }
    bool WaitForLockGone(int port)
    {
        return e2e::Condition().WaitFor([&] { return !e2e::FileExists(m_folder.LockPath(port)); }, 5s);
    }
    // The port opens again once the close has finished; the closed device's
    // samples have ended by then, while the new device's come.
    void ExpectNoSampleAfterTheClose(int port, Samples& closed)
    {
        Samples fresh;  // outlives the device that fills it
        vasq::Device reopened = vasq::Device::open(port, 5s);
        const size_t delivered = closed.Size();
        reopened.startSampling([&fresh](double pressure) { fresh.Add(pressure); });
        ASSERT_TRUE(fresh.WaitForSize(20));
        EXPECT_EQ(delivered, closed.Size()) << "a sample came after the close";
    }
};

class LogLines {
public:
    void Add(vasq::LogLevel level, std::string_view line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text << static_cast<int>(level) << ' ' << line << '\n';
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text.str();
    }

private:
    std::mutex m_mutex;
    std::ostringstream m_text;
};

}  // namespace

TEST_F(CxxInterface, TwoInstrumentsReportToLambdasCapturingTheirOwnState)
{
    // Printed if the samples stop, to tell why.
    auto log = std::make_shared<LogLines>();
    vasq::setLogHandler([log](vasq::LogLevel level, std::string_view line) { log->Add(level, line); });
    auto first = Instrument(0, 1);
    auto second = Instrument(1, 2);
    // Each runs its static pressure through statuses of its own.
    first->WithModel([](vasqsim::DeviceModel& m) { m.scriptedStatuses = {13, 13, 14}; });
    second->WithModel([](vasqsim::DeviceModel& m) { m.scriptedStatuses = {12, 12, 14}; });
    struct Instrument {
        Samples samples;
        Reports reports;
        vasq::Device device;  // last, so that it goes first
    } instruments[2];
    for (int i = 0; i < 2; ++i) {
        Instrument& mine = instruments[i];
        mine.device = vasq::Device::open();
        EXPECT_EQ(i, mine.device.portNumber()) << "the free ports are taken from the lowest up";
        EXPECT_EQ(e2e::CountingSerial(i + 1), mine.device.serialNumber());
        EXPECT_EQ(i + 1, mine.device.deviceInformation().nSerialIndex);
        mine.device.startSampling([&mine](double pressure) { mine.samples.Add(pressure); });
        mine.device.runStaticPressure(100.0, [&mine](vasq::Status status, double waitStableSeconds, int result) {
            mine.reports.Add({status, {waitStableSeconds}, result});
        });
    }
    for (Instrument& mine : instruments) {
        ASSERT_TRUE(mine.samples.WaitForSize(200)) << mine.samples.Size() << " samples; the library's log:\n"
                                                   << log->Text();
        ASSERT_TRUE(mine.reports.WaitForStatus(vasq::Status::Completed));
        mine.device.stopSampling();
        mine.device.stopTest();
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("instrument " + std::to_string(i + 1));
        instruments[i].samples.ExpectOwnAndConsecutive((i + 1) * e2e::kCounterBaseStep);
    }
    EXPECT_TRUE(instruments[0].reports.Has(vasq::Status::WaitStable));
    EXPECT_FALSE(instruments[0].reports.Has(vasq::Status::Holding)) << "the other instrument's report";
    EXPECT_TRUE(instruments[1].reports.Has(vasq::Status::Holding));
    EXPECT_FALSE(instruments[1].reports.Has(vasq::Status::WaitStable)) << "the other instrument's report";

    instruments[1].device.setUnit(vasq::Unit::kPa);
    EXPECT_EQ(vasq::Unit::mmHg, instruments[0].device.unit());
    EXPECT_EQ(vasq::Unit::kPa, instruments[1].device.unit());
}

TEST_F(CxxInterface, FailuresThrowTheLibrarysCodeAndReason)
{
    try {
        vasq::Device::open(99, 200ms);
        ADD_FAILURE() << "opened a port that does not exist";
    } catch (const std::runtime_error& e) {
        const auto* error = dynamic_cast<const vasq::Error*>(&e);
        ASSERT_NE(nullptr, error);
        EXPECT_EQ(VASQ_ERROR_NOT_FOUND, error->code());
        EXPECT_NE(std::string::npos, std::string(e.what()).find("ttyACM99")) << e.what();
    }

    // A Device that holds no instrument: its calls fail, its stops and close do nothing.
    vasq::Device none;
    EXPECT_EQ(nullptr, none.native());
    EXPECT_EQ("", none.serialNumber());
    EXPECT_EQ(-1, none.portNumber());
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, ErrorCode([&] { none.unit(); }));
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, ErrorCode([&] { none.sampleRate(); }));
    Canary refused;
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, ErrorCode([&] { none.startSampling([c = refused.Take()](double) {}); }));
    EXPECT_FALSE(refused.Alive()) << "a refused start keeps nothing";
    none.stopSampling();
    none.stopTest();
    none.close();

    auto sim = Instrument(0, 1);
    std::atomic<int> unitCode{-1};
    std::atomic<int> openCode{-1};
    e2e::Condition done;
    vasq::Device device = vasq::Device::open(0);
    // A start the instrument does not answer fails with the exchange's code and keeps nothing.
    sim->InjectFault(vasqsim::FaultKind::NoAnswer);
    Canary failed;
    EXPECT_EQ(VASQ_ERROR_TIMEOUT, ErrorCode([&] {
                  device.runBPTest(BPCommon{BP_METHOD_DEFAULT, 120.0, 80.0, 72, 1.0, 0.0, 0.0},
                                   [c = failed.Take()](vasq::Status, double, double, double, double) {});
              }));
    EXPECT_FALSE(failed.Alive());

    // From a sampling callback a unit switch is refused, as is an open.
    device.startSampling([&](double) {
        if (unitCode.load() != -1)
            return;
        openCode = ErrorCode([] { vasq::Device::open(1, 0ms); });
        unitCode = ErrorCode([&] { device.setUnit(vasq::Unit::kPa); });
        done.Notify();
    });
    ASSERT_TRUE(done.WaitFor([&] { return unitCode.load() != -1; }, 5s));
    device.stopSampling();
    EXPECT_EQ(VASQ_ERROR_BUSY, unitCode.load());
    EXPECT_EQ(VASQ_ERROR_BUSY, openCode.load());
    EXPECT_EQ(vasq::Unit::mmHg, device.unit());
}

TEST_F(CxxInterface, ACallbackThatThrowsIsLoggedAndTheDeviceCarriesOn)
{
    e2e::Recorder<std::string> errors;
    vasq::setLogHandler(
        [&errors](vasq::LogLevel level, std::string_view line) {
            EXPECT_EQ(vasq::LogLevel::Error, level) << line;
            errors.Add(std::string(line));
        },
        vasq::LogLevel::Error);
    auto sim = Instrument(0, 1);
    Samples samples;
    std::atomic<int> calls{0};
    Reports reports;
    std::atomic<int> thrown{0};
    vasq::Device device = vasq::Device::open(0);

    device.startSampling([&](double pressure) {
        const int call = calls.fetch_add(1);
        if (call == 5)
            throw std::runtime_error("sample five");
        if (call == 7)
            throw 7;
        samples.Add(pressure);
    });
    ASSERT_TRUE(samples.WaitForSize(100));
    device.runStaticPressure(100.0, [&reports](vasq::Status status, double waitStableSeconds, int result) {
        reports.Add({status, {waitStableSeconds}, result});
        throw std::logic_error("report refused");
    });
    ASSERT_TRUE(reports.WaitForStatus(vasq::Status::Completed)) << "every report came although each one threw";
    device.stopSampling();
    device.stopTest();

    // The burst went on after each throw: only the two samples that threw are missing.
    const auto values = samples.Get();
    EXPECT_EQ(2, values[5] - values[4]);
    EXPECT_EQ(2, values[6] - values[5]);
    EXPECT_EQ(1, values[7] - values[6]);
    const auto lines = errors.Get();
    const auto count = [&](const std::string& text) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_EQ(1, count("the sampling callback of NQX7001-070001 threw an exception: sample five; ignored"));
    EXPECT_EQ(1, count("the sampling callback of NQX7001-070001 threw an exception of unknown type"));
    EXPECT_EQ(static_cast<long>(reports.Size()),
              count("the static-pressure callback of NQX7001-070001 threw an exception: report refused"));

    // A log handler that throws loses its lines, and nothing else.
    vasq::setLogHandler(
        [&thrown](vasq::LogLevel, std::string_view) {
            ++thrown;
            throw std::runtime_error("log refused");
        },
        vasq::LogLevel::Debug);
    EXPECT_EQ(vasq::Unit::mmHg, device.unit());
    EXPECT_GT(thrown.load(), 0);
}

TEST_F(CxxInterface, MovedDevicesKeepTheirCallbacksAndAMoveAssignmentClosesTheTarget)
{
    auto first = Instrument(0, 1);
    auto second = Instrument(1, 2);
    Samples samples;
    Canary canary;
    vasq::Device device = vasq::Device::open(0);
    device.startSampling([&samples, c = canary.Take()](double pressure) { samples.Add(pressure); });
    ASSERT_TRUE(samples.WaitForSize(20));

    vasq::Device moved(std::move(device));
    EXPECT_EQ(nullptr, device.native());  // NOLINT(bugprone-use-after-move): a moved-from Device is empty
    EXPECT_EQ(-1, device.portNumber());
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, ErrorCode([&] { device.unit(); }));
    ASSERT_TRUE(samples.WaitForSize(samples.Size() + 20)) << "sampling goes on through the move";

    std::vector<vasq::Device> devices;
    devices.push_back(std::move(moved));
    devices.push_back(vasq::Device::open(1));
    devices.reserve(devices.capacity() + 8);  // moves both again
    EXPECT_EQ(0, devices[0].portNumber());
    EXPECT_EQ(1, devices[1].portNumber());
    ASSERT_TRUE(samples.WaitForSize(samples.Size() + 20));
    vasq::Device& same = devices[0];
    devices[0] = std::move(same);
    EXPECT_EQ(0, devices[0].portNumber()) << "a move onto itself changes nothing";
    EXPECT_TRUE(canary.Alive());

    // The target's instrument is closed first: its callback is gone and no
    // sample comes any more, its port is free, and it holds the other one.
    devices[0] = std::move(devices[1]);
    EXPECT_FALSE(canary.Alive());
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(0)));
    EXPECT_EQ(1, devices[0].portNumber());
    EXPECT_EQ(e2e::CountingSerial(2), devices[0].serialNumber());
    ExpectNoSampleAfterTheClose(0, samples);
}

TEST_F(CxxInterface, ADeviceClosedInsideItsOwnCallbackKeepsThatCallbackAliveUntilItReturns)
{
    auto sim = Instrument(0, 1);
    struct State {
        std::atomic<int> calls{0};
        std::atomic<int> after{0};
        std::atomic<bool> closed{false};
        std::atomic<bool> capturesAlive{false};
        e2e::Condition done;
    } state;
    Canary canary;
    vasq::Device device = vasq::Device::open(0);
    device.startSampling([&device, &state, c = canary.Take()](double) {
        if (state.closed.load()) {
            ++state.after;
            return;
        }
        ++state.calls;
        device.close();
        // Still running: what this callback captured must still be there.
        state.capturesAlive = *c == 42;
        state.closed = true;
        state.done.Notify();
    });
    ASSERT_TRUE(state.done.WaitFor([&] { return state.closed.load(); }, 5s));
    EXPECT_TRUE(state.capturesAlive.load());
    EXPECT_TRUE(canary.WaitForGone()) << "the callback is destroyed once it has returned";
    EXPECT_TRUE(WaitForLockGone(0));
    EXPECT_EQ(nullptr, device.native());
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, ErrorCode([&] { device.unit(); }));
    device.close();
    vasq::Device next = vasq::Device::open(0, 5s);
    EXPECT_EQ(1, state.calls.load());
    EXPECT_EQ(0, state.after.load()) << "a sample came after the close";
}

// The Device object goes with the close here: a test report of the device
// destroys it while the device's sampling thread delivers, or a sampling
// callback of another device destroys it.
TEST_F(CxxInterface, ADeviceDestroyedFromACallbackStopsItsCallbacksWithoutUseAfterFree)
{
    auto sim = Instrument(0, 1);
    auto other = Instrument(1, 2);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool fromOtherDevice = round % 2 == 1;
        Samples samples;
        Canary canary;
        std::atomic<bool> destroyed{false};
        e2e::Condition done;
        auto holder = std::make_unique<vasq::Device>(vasq::Device::open(0));
        vasq::Device closer = vasq::Device::open(1);
        holder->startSampling([&samples, c = canary.Take()](double pressure) { samples.Add(pressure); });
        const auto destroy = [&] {
            if (destroyed.load())
                return;
            holder.reset();
            destroyed = true;
            done.Notify();
        };
        ASSERT_TRUE(samples.WaitForSize(5));
        if (fromOtherDevice)
            closer.startSampling([&](double) { destroy(); });
        else
            holder->runStaticPressure(100.0, [&](vasq::Status, double, int) { destroy(); });
        ASSERT_TRUE(done.WaitFor([&] { return destroyed.load(); }, 5s));
        EXPECT_TRUE(canary.WaitForGone());
        closer.stopSampling();
        ExpectNoSampleAfterTheClose(0, samples);
    }
}

TEST_F(CxxInterface, EachCallbackIsReleasedOnceReplacedStoppedOrClosed)
{
    auto sim = Instrument(0, 1);
    Canary first, second;
    Samples firstSamples, secondSamples;
    Reports reports;
    vasq::Device device = vasq::Device::open(0);
    device.startSampling([&firstSamples, c = first.Take()](double p) { firstSamples.Add(p); });
    ASSERT_TRUE(firstSamples.WaitForSize(10));
    device.startSampling([&secondSamples, c = second.Take()](double p) { secondSamples.Add(p); });
    EXPECT_TRUE(first.WaitForGone()) << "a replaced callback goes";
    ASSERT_TRUE(secondSamples.WaitForSize(10)) << "its successor takes the samples";
    device.stopSampling();
    EXPECT_FALSE(second.Alive()) << "a stopped callback goes with the stop";

    Canary bp, staticPressure;
    device.runBPTest(e2e::DefaultRecord(),
                     [&reports, c = bp.Take()](vasq::Status s, double, double, double, double) {
                         reports.Add({s, {}, 0});
                     });
    device.runStaticPressure(100.0, [&reports, c = staticPressure.Take()](vasq::Status s, double, int) {
        reports.Add({s, {}, 1});
    });
    ASSERT_TRUE(reports.WaitForSize(2));
    device.stopTest();
    EXPECT_FALSE(bp.Alive());
    EXPECT_FALSE(staticPressure.Alive());

    Canary connection, sampling;
    device.setConnectionCallback([c = connection.Take()](bool) {});
    device.setConnectionCallback(nullptr);
    EXPECT_TRUE(connection.WaitForGone());
    device.setConnectionCallback([c = connection.Take()](bool) {});
    device.startSampling([c = sampling.Take()](double) {});
    device.close();
    EXPECT_FALSE(connection.Alive());
    EXPECT_FALSE(sampling.Alive());
}

TEST_F(CxxInterface, TheConnectionCallbackSeesTheInstrumentGoAndComeBack)
{
    auto sim = Instrument(0, 1);
    e2e::Recorder<bool> changes;
    vasq::Device device = vasq::Device::open(0);
    device.setConnectionCallback([&changes](bool connected) { changes.Add(connected); });
    sim.reset();
    ASSERT_TRUE(changes.WaitForSize(1));
    EXPECT_EQ(-1, device.portNumber());
    EXPECT_EQ(e2e::CountingSerial(1), device.serialNumber()) << "a lost device keeps its instrument's identity";
    sim = Instrument(0, 1);
    ASSERT_TRUE(changes.WaitForSize(2));
    EXPECT_EQ((std::vector<bool>{false, true}), changes.Get());
    EXPECT_EQ(0, device.portNumber());
}

// Each call's arguments reach the instrument in their places.
TEST_F(CxxInterface, TestsAndSettingsReachTheInstrument)
{
    auto sim = Instrument(0, 1);
    Reports reports, bp, custom, leak, over;
    vasq::Device device = vasq::Device::open(0);
    const auto model = [&](auto read) {
        decltype(read(std::declval<vasqsim::DeviceModel&>())) value{};
        sim->WithModel([&](vasqsim::DeviceModel& m) { value = read(m); });
        return value;
    };

    EXPECT_EQ(200, device.sampleRate());
    EXPECT_EQ(3, device.waitStableSeconds());
    const HW_INFORMATION hardware = device.hardwareInformation();
    EXPECT_GT(hardware.nFWVersion1 + hardware.nFWVersion2 + hardware.nFWVersion3, 0);
    device.enableAirPort(1, false);
    device.enableAirPort(3, false);
    device.updateAirPorts();
    EXPECT_EQ(0x0A, model([](vasqsim::DeviceModel& m) { return m.airPortMask; }));
    device.resetAirPorts();
    device.updateAirPorts();
    EXPECT_EQ(0, model([](vasqsim::DeviceModel& m) { return m.airPortMask; }));
    device.switchTo500mlMode(true);
    EXPECT_TRUE(device.is500mlMode());
    device.switchTo500mlMode(false);
    EXPECT_FALSE(device.is500mlMode());
    device.switchToAdultMode(true);
    device.rebaseZero(true);
    device.pausePump();
    device.writePngFileName("front.png");
    const char picture[] = "\x89PNG picture";
    device.writePng(picture, sizeof picture);
    EXPECT_EQ("front.png", model([](vasqsim::DeviceModel& m) { return m.pictureName; }));
    EXPECT_EQ(sizeof picture, model([](vasqsim::DeviceModel& m) { return m.picture.size(); }));

    // The static parameter and flag land in their places of the record sent.
    device.runStaticPressure(150.0, 300, true, [&reports](vasq::Status status, double wait, int result) {
        reports.Add({status, {wait}, result});
    });
    ASSERT_TRUE(reports.WaitForStatus(vasq::Status::Completed));
    const auto record = model([](vasqsim::DeviceModel& m) { return m.staticPressure; });
    EXPECT_EQ(150, record[2] | (record[3] << 8));
    EXPECT_EQ(300, record[22] | (record[23] << 8));
    EXPECT_EQ(1, record[24]);

    // The default record is clamped and sent back; the results are its own.
    const BPCommon sent = device.runBPTest(BPCommon{BP_METHOD_CUSTOMIZED, 135.0, 85.0, 400, 1.0, 0.0, 0.0},
                                           [&bp](vasq::Status s, double r1, double r2, double r3, double r4) {
                                               bp.Add({s, {r1, r2, r3, r4}, 0});
                                           });
    EXPECT_EQ(BP_METHOD_DEFAULT, sent.eMethod);
    EXPECT_EQ(300u, sent.nHeartRate);
    ASSERT_TRUE(bp.WaitForStatus(vasq::Status::Completed));
    EXPECT_EQ((std::vector<double>{135.0, 85.0, 300.0, 1.0}), bp.Get().back().values);
    device.stopTest();

    BPEnvelopeCustomized envelope = e2e::CustomRecord(1.0);
    const vasq::EnvelopeTable table = vasq::envelopeTable(envelope, vasq::Unit::mmHg);
    ASSERT_EQ(360u, table.pressures.size());
    EXPECT_EQ(479u, vasq::envelopeTable(e2e::CustomRecord(0.1), vasq::Unit::kPa).amplitudes.size());
    device.setEnvelope(envelope, table);
    EXPECT_EQ(6u * 360, model([](vasqsim::DeviceModel& m) { return m.envelopePoints.size(); }));
    envelope.eMethod = BP_METHOD_DEFAULT;
    EXPECT_EQ(BP_METHOD_CUSTOMIZED, device.runBPTest(envelope, [&custom](vasq::Status s, double r1, double r2,
                                                                         double r3, double r4) {
                                              custom.Add({s, {r1, r2, r3, r4}, 0});
                                          }).eMethod);
    ASSERT_TRUE(custom.WaitForStatus(vasq::Status::Completed));
    device.stopTest();

    const auto onLeak = [&leak](vasq::Status s, double wait, double value, int code) { leak.Add({s, {wait, value}, code}); };
    device.runLeakageTest(200.0, 7, 1.5, onLeak);
    ASSERT_TRUE(leak.WaitForStatus(vasq::Status::Completed));
    EXPECT_EQ(200, model([](vasqsim::DeviceModel& m) { return m.leakSetting[0] | (m.leakSetting[1] << 8); }));
    EXPECT_EQ(7, model([](vasqsim::DeviceModel& m) { return m.leakSetting[2]; }));
    EXPECT_EQ(15, model([](vasqsim::DeviceModel& m) { return m.leakSetting[4]; }));
    device.runLeakageCalibration(100.0, onLeak);
    EXPECT_EQ(2.5, device.leakageCalibrationRate());
    device.stopTest();

    device.runOverpressureTest(true, 300.0, 280.0, 250.0,
                               [&over](vasq::Status s, double w, double r1, double r2, double r3, double r4,
                                       double r5, double r6) { over.Add({s, {w, r1, r2, r3, r4, r5, r6}, 0}); });
    ASSERT_TRUE(over.WaitForStatus(vasq::Status::Completed));
    EXPECT_EQ(7u, over.Get().back().values.size());
    EXPECT_EQ(1, model([](vasqsim::DeviceModel& m) { return m.overpressureSetting[0]; }));
    device.stopTest();
}

TEST_F(CxxInterface, TheLogHandlerGetsTheLibrarysLinesUntilReplaced)
{
    e2e::Recorder<std::string> firstLines, secondLines;
    Canary first, second;
    vasq::setLogHandler([&firstLines, c = first.Take()](vasq::LogLevel level, std::string_view line) {
        EXPECT_LE(static_cast<int>(level), static_cast<int>(vasq::LogLevel::Info));
        firstLines.Add(std::string(line));
    });
    auto sim = Instrument(0, 1);
    vasq::Device device = vasq::Device::open(0);
    const auto lines = firstLines.Get();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("connected to") != std::string::npos; }));

    vasq::setLogHandler([&secondLines, c = second.Take()](vasq::LogLevel, std::string_view line) {
        secondLines.Add(std::string(line));
    }, vasq::LogLevel::Debug);
    EXPECT_FALSE(first.Alive()) << "the previous handler is gone once the next one is set";
    const size_t firstCount = firstLines.Size();
    device.setUnit(vasq::Unit::mmHg);
    EXPECT_GT(secondLines.Size(), 0u);
    EXPECT_EQ(firstCount, firstLines.Size());

    vasq::setLogHandler(nullptr);
    EXPECT_FALSE(second.Alive());
    const size_t secondCount = secondLines.Size();
    device.setUnit(vasq::Unit::mmHg);
    EXPECT_EQ(secondCount, secondLines.Size());
}
