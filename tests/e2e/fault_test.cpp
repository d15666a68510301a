// Device faults against every exported function that talks to the device and
// against a running test worker and sampling, through the shared library's
// exported functions. Each case prints its rows of the matrix
// function x fault -> result and time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConnectedDevice.h"
#include "vasq.h"
#include "vasq_service.h"

using e2e::Stopwatch;
using vasqsim::DeviceModel;
using vasqsim::Fault;
using vasqsim::FaultKind;
using vasqsim::SimDevice;
using namespace std::chrono_literals;

namespace {

constexpr double kReadTimeoutMs = 1000.0;
// Room for a loaded machine and the sanitizers on top of a bound.
constexpr double kSlackMs = 2000.0;
constexpr auto kReconnectDeadline = 10s;

const char* FaultName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::NoAnswer:
        return "no answer";
    case FaultKind::BadChecksum:
        return "bad checksum";
    case FaultKind::Status:
        return "status 5";
    case FaultKind::Delay:
        return "late 1300 ms";
    case FaultKind::Garbage:
        return "garbage first";
    case FaultKind::StreamFlood:
        return "stream flood first";
    case FaultKind::HangUpMidFrame:
        return "hang-up mid-frame";
    default:
        return "?";
    }
}

Fault MakeFault(FaultKind kind)
{
    Fault fault(kind);
    fault.status = 5;
    fault.delayMs = 1300;
    fault.count = 40;
    fault.bytes = {0x00, 0xFF, 0x7E, 0x0D, 0x0A};
    return fault;
}

// Only a flood of stream packets in front of the answer leaves the exchange intact.
bool ExchangeSurvives(FaultKind kind)
{
    return kind == FaultKind::StreamFlood;
}

struct Row {
    const char* name;
    std::function<bool()> call;
    int category = vasqsim::kAnyCode;  // the request that meets the fault
    int command = vasqsim::kAnyCode;
    std::function<void(SimDevice&)> prepare = nullptr;
    std::function<void(SimDevice&)> restore = nullptr;
    bool alwaysSucceeds = false;  // the Part gives it no failure result
    // Read timeouts the call may wait out: the stop's second exchange waits
    // for the answer its first one still owes.
    int readTimeouts = 1;
    bool startsWorker = false;
};

void IgnoreBP(VasqStatus, double, double, double, double) {}
void IgnoreLeakage(VasqStatus, double, double, int) {}
void IgnoreOverpressure(VasqStatus, double, double, double, double, double, double, double) {}
void IgnoreStatic(VasqStatus, double, int) {}

std::vector<Row> AllRows()
{
    std::vector<Row> rows;
    rows.push_back({"VasqSetPressureUnit", [] { return VasqSetPressureUnit(0) == 1; }, 'P', 131});
    Row unit{"VasqGetPressureUnit", [] { return VasqGetPressureUnit() == 1; }};
    unit.prepare = [](SimDevice& d) { d.WithModel([](DeviceModel& m) { m.deviceSettings[1] = 1; }); };
    unit.restore = [](SimDevice& d) {
        d.WithModel([](DeviceModel& m) { m.deviceSettings[1] = 0; });
        VasqGetPressureUnit();
    };
    rows.push_back(unit);
    rows.push_back({"VasqRebaseZero", [] { return VasqRebaseZero(false) == 1; }});
    rows.push_back({"VasqUpdateAirPort", [] { return VasqUpdateAirPort() == 1; }});
    rows.push_back({"VasqPausePump", [] { return VasqPausePump() == 1; }});
    Row stop{"VasqStopTest", [] { return VasqStopTest() == 1; }};
    stop.alwaysSucceeds = true;
    stop.readTimeouts = 2;
    rows.push_back(stop);
    Row bp{"VasqRunBPTest default", [] {
               BPCommon p = e2e::DefaultRecord();
               return VasqRunBPTest(&p, IgnoreBP) == 1;
           }};
    bp.startsWorker = true;
    rows.push_back(bp);
    Row custom{"VasqRunBPTest customised", [] {
                   BPEnvelopeCustomized r = e2e::CustomRecord(1.0);
                   return VasqRunBPTest(&r, IgnoreBP) == 1;
               }};
    custom.startsWorker = true;
    rows.push_back(custom);
    Row leak{"VasqRunLeakageTest", [] { return VasqRunLeakageTest(100, 10, 1.0, IgnoreLeakage) == 1; }};
    leak.startsWorker = true;
    rows.push_back(leak);
    Row calibration{"VasqRunLeakageCalibration", [] { return VasqRunLeakageCalibration(100, IgnoreLeakage) == 1; }};
    calibration.startsWorker = true;
    rows.push_back(calibration);
    Row over{"VasqRunOverpressureTest",
             [] { return VasqRunOverpressureTest(true, 100, 200, 250, IgnoreOverpressure) == 1; }};
    over.startsWorker = true;
    rows.push_back(over);
    Row stat{"VasqRunStaticPressure", [] { return VasqRunStaticPressure(100, 5, IgnoreStatic, true) == 1; }};
    stat.startsWorker = true;
    rows.push_back(stat);
    rows.push_back({"VasqGetLeakageCalibrationRate", [] {
                        double rate = 0;
                        return VasqGetLeakageCalibrationRate(&rate) == 1;
                    }});
    // The device's wait-stable time is 3.7 s; a failed query reads as 0.
    rows.push_back({"VasqGetWaitStableTime", [] { return VasqGetWaitStableTime() == 3; }});
    rows.push_back({"VasqSetEnvelopeRawData", [] {
                        BPEnvelopeCustomized r = e2e::CustomRecord(1.0);
                        std::vector<double> pressures(360), amplitudes(360);
                        VasqGetEnvelopeRawData(&r, pressures.data(), amplitudes.data(), 360, 0);
                        return VasqSetEnvelopeRawData(&r, pressures.data(), amplitudes.data(), 360) == 1;
                    }});
    rows.push_back({"VasqSwitchToAdultMode", [] { return VasqSwitchToAdultMode(true) == 1; }});
    rows.push_back({"VasqSwitchTo500mlMode", [] { return VasqSwitchTo500mlMode(true) == 1; }});
    Row is500{"VasqIs500mlMode", [] { return VasqIs500mlMode() == 1; }};
    is500.prepare = [](SimDevice& d) { d.WithModel([](DeviceModel& m) { m.deviceSettings[3] = 0; }); };
    rows.push_back(is500);
    rows.push_back({"VasqWritePNGFileName", [] { return VasqWritePNGFileName("fault.png") == 1; }});
    rows.push_back({"VasqWritePNG", [] {
                        char picture[64] = {};
                        return VasqWritePNG(picture, sizeof(picture)) == 1;
                    }});
    rows.push_back({"VasqReadMfgInfo", [] {
                        unsigned char mfg[16];
                        return VasqReadMfgInfo(mfg, sizeof(mfg)) == 1;
                    }});
    rows.push_back({"VasqWriteMfgInfo", [] {
                        unsigned char mfg[16] = {1, 2, 3};
                        return VasqWriteMfgInfo(mfg, sizeof(mfg)) == 1;
                    }});
    rows.push_back({"VasqSetDeviceInformation", [] {
                        MODEL_INFORMATION model;
                        HW_INFORMATION hw;
                        VasqGetDeviceInformation(&model);
                        VasqGetHWInformation(&hw);
                        return VasqSetDeviceInformation(&model, &hw) == 1;
                    }});
    rows.push_back({"VasqGetAirPortStatus", [] {
                        bool bit1 = false, bit0 = false;
                        return VasqGetAirPortStatus(&bit1, &bit0) == 1;
                    }});
    rows.push_back({"VasqEnableBuzzer", [] { return VasqEnableBuzzer() == 1; }});
    rows.push_back({"VasqSDCardTest", [] { return VasqSDCardTest() == 1; }});
    rows.push_back({"VasqSetStandPressure", [] { return VasqSetStandPressure(1.5) == 1; }});
    Row calResult{"VasqGetCalibrationResult", [] { return VasqGetCalibrationResult(); }};
    calResult.prepare = [](SimDevice& d) { d.WithModel([](DeviceModel& m) { m.status = 7; }); };
    calResult.restore = [](SimDevice& d) { d.WithModel([](DeviceModel& m) { m.status = 0; }); };
    rows.push_back(calResult);
    rows.push_back({"VasqTurnOffCalibrationMode", [] { return VasqTurnOffCalibrationMode() == 1; }});
    rows.push_back({"VasqOnlyUseLowerSensor", [] { return VasqOnlyUseLowerSensor(false) == 1; }});
    rows.push_back({"VasqGetEnvelopeParam", [] {
                        BPEnvelopeCustomized out{};
                        return VasqGetEnvelopeParam(BP_METHOD_CUSTOMIZED, &out) == 1;
                    }});
    return rows;
}

constexpr int kShards = 4;

std::string Pad(const std::string& text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void PrintRow(const std::string& function, FaultKind kind, const std::string& outcome)
{
    std::printf("[fault matrix] %s | %s | %s\n", Pad(function, 30).c_str(), Pad(FaultName(kind), 18).c_str(),
                outcome.c_str());
    std::fflush(stdout);
}

std::string Outcome(bool ok, double ms)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%s in %.0f ms", ok ? "ok" : "fail", ms);
    return text;
}

std::atomic<int> g_connections{0};
std::atomic<int> g_losses{0};
e2e::Condition* g_connectionChanged = nullptr;

void OnConnection(bool connected)
{
    (connected ? g_connections : g_losses).fetch_add(1);
    if (g_connectionChanged != nullptr)
        g_connectionChanged->Notify();
}

class FaultFixture {
protected:
    void Connect()
    {
        g_connections = 0;
        g_losses = 0;
        g_connectionChanged = &m_changed;
        SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str());
        m_device = std::make_unique<SimDevice>(m_folder.path(), 0);
        m_baselineThreads = e2e::ThreadCount();
        m_baselineDescriptors = e2e::DescriptorCount();
        ASSERT_TRUE(VasqInit(OnConnection));
        ASSERT_TRUE(m_changed.WaitFor([] { return g_connections == 1; }, 5s));
        m_idleThreads = e2e::ThreadCount();
    }
    void Release()
    {
        VasqFree();
        // Nothing of the library is left behind, whatever the faults did.
        EXPECT_TRUE(m_changed.WaitFor([&] { return e2e::ThreadCount() <= m_baselineThreads; }, 5s))
            << "a thread of the library survived VasqFree";
        EXPECT_EQ(m_baselineDescriptors, e2e::DescriptorCount()) << "a descriptor of the library survived";
        EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(0))) << "the lock file stayed";
        m_device.reset();
        SetDeviceFoldersForTesting(nullptr, nullptr);
        g_connectionChanged = nullptr;
    }
    // After a hang-up the library reports the loss; the device comes back and
    // the connection thread connects it again.
    bool Replug()
    {
        const int connections = g_connections.load();
        if (!m_changed.WaitFor([&] { return g_losses >= connections; }, kReconnectDeadline)) {
            ADD_FAILURE() << "the hang-up was not reported as a loss";
            return false;
        }
        if (!m_device->Plug())
            return false;
        return m_changed.WaitFor([&] { return g_connections > connections; }, kReconnectDeadline);
    }
    bool WaitForIdleThreads()
    {
        return m_changed.WaitFor([&] { return e2e::ThreadCount() <= m_idleThreads; }, 5s);
    }

    e2e::TempFolder m_folder;
    std::unique_ptr<SimDevice> m_device;
    e2e::Condition m_changed;
    int m_baselineThreads = 0;
    int m_baselineDescriptors = 0;
    int m_idleThreads = 0;
};

class FaultMatrix : public FaultFixture, public ::testing::TestWithParam<std::tuple<FaultKind, int>> {
protected:
    void SetUp() override { Connect(); }
    void TearDown() override { Release(); }
};

// Each call fails within its bound, or succeeds where the fault leaves its
// exchange intact; the same call then succeeds against a device that behaves
// (after a hang-up, once the connection thread has reconnected).
TEST_P(FaultMatrix, EveryCallFailsWithinItsBoundAndTheNextSucceeds)
{
    const FaultKind kind = std::get<0>(GetParam());
    const int shard = std::get<1>(GetParam());
    const std::vector<Row> rows = AllRows();
    for (size_t i = shard; i < rows.size(); i += kShards) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.name);
        if (row.prepare)
            row.prepare(*m_device);
        m_device->InjectFault(MakeFault(kind), row.category, row.command);
        Stopwatch watch;
        const bool ok = row.call();
        const double ms = watch.Ms();
        const bool applied = m_device->PendingFaults() == 0;
        m_device->ClearFaults();
        const std::string first = Outcome(ok, ms) + (applied ? "" : " (fault not met)");
        EXPECT_TRUE(applied) << "the call sent nothing that met the fault";
        EXPECT_EQ(row.alwaysSucceeds || ExchangeSurvives(kind), ok);
        EXPECT_LT(ms, row.readTimeouts * kReadTimeoutMs + kSlackMs) << "the call overran its read timeout";
        if (row.startsWorker && ok) {
            VasqStopTest();
            EXPECT_TRUE(WaitForIdleThreads()) << "the worker did not end after the stop";
        }

        bool recovered;
        Stopwatch again;
        if (kind == FaultKind::HangUpMidFrame) {
            recovered = Replug() && row.call();
        } else {
            // An answer owed by the failed exchange is awaited for one more read timeout.
            recovered = row.call();
            EXPECT_LT(again.Ms(), 2 * kReadTimeoutMs + kSlackMs);
        }
        PrintRow(row.name, kind, first + "; then " + Outcome(recovered, again.Ms()) +
                                     (kind == FaultKind::HangUpMidFrame ? " once reconnected" : ""));
        EXPECT_TRUE(recovered) << "the call failed against a device that behaves again";
        if (row.startsWorker && recovered) {
            VasqStopTest();
            EXPECT_TRUE(WaitForIdleThreads()) << "the worker did not end after the stop";
        }
        if (row.restore)
            row.restore(*m_device);
    }
}

const FaultKind kFaults[] = {FaultKind::NoAnswer, FaultKind::BadChecksum, FaultKind::Status,
                             FaultKind::Delay,    FaultKind::Garbage,     FaultKind::StreamFlood,
                             FaultKind::HangUpMidFrame};

std::string CaseName(FaultKind kind)
{
    std::string name;
    for (const char* c = FaultName(kind); *c != '\0'; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)))
            name += *c;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Range(0, kShards)),
                         [](const ::testing::TestParamInfo<std::tuple<FaultKind, int>>& info) {
                             return CaseName(std::get<0>(info.param)) + "_" + std::to_string(std::get<1>(info.param));
                         });

// --- The running worker and sampling -------------------------------------

e2e::Recorder<VasqStatus>* g_reports = nullptr;
e2e::Recorder<long>* g_samples = nullptr;
e2e::Recorder<VasqStatus>* g_statics = nullptr;

void OnBP(VasqStatus status, double, double, double, double)
{
    g_reports->Add(status);
}

void OnStaticReport(VasqStatus status, double, int)
{
    g_statics->Add(status);
}

void OnSample(double value)
{
    g_samples->Add(std::lround(value * 10.0));
}

class RunningFaults : public FaultFixture, public ::testing::TestWithParam<FaultKind> {
protected:
    void SetUp() override
    {
        g_reports = &m_reports;
        g_samples = &m_samples;
        g_statics = &m_statics;
        Connect();
    }
    void TearDown() override
    {
        Release();
        g_reports = nullptr;
        g_samples = nullptr;
        g_statics = nullptr;
    }
    // The sampling thread has ended: one thread fewer than while it ran, and
    // no sample comes any more.
    bool SamplingEnded(int threadsWhileSampling)
    {
        if (!m_changed.WaitFor([&] { return e2e::ThreadCount() < threadsWhileSampling; }, 5s))
            return false;
        const size_t count = m_samples.Size();
        return !m_samples.WaitFor([&] { return m_samples.Size() > count; }, 200ms);
    }
    // The workers' status polls the device has seen.
    size_t Polls() const
    {
        const auto log = m_device->Log();
        return std::count_if(log.begin(), log.end(),
                             [](const vasqsim::LoggedFrame& f) { return f.category == 'I' && f.command == 0; });
    }
    bool WaitForPolls(size_t more)
    {
        const size_t target = Polls() + more;
        return m_changed.WaitFor([&] { return Polls() >= target; }, 5s);
    }
    // A second report after the fault; where the exchange survived, none
    // after three more polls.
    bool ReportedAgain(e2e::Recorder<VasqStatus>& reports, FaultKind kind)
    {
        if (!ExchangeSurvives(kind))
            return reports.WaitForSize(2, 6s);
        EXPECT_TRUE(WaitForPolls(3)) << "the worker stopped polling";
        return reports.Size() >= 2;
    }
    // Sample numbers go up by one: nothing was lost or repeated.
    bool Consecutive()
    {
        const auto values = m_samples.Get();
        for (size_t i = 1; i < values.size(); ++i) {
            if (values[i] != values[i - 1] + 1)
                return false;
        }
        return true;
    }

    e2e::Recorder<VasqStatus> m_reports;
    e2e::Recorder<long> m_samples;
    e2e::Recorder<VasqStatus> m_statics;
};

// The BP worker reads a failed status query as code 0, stores it silently
// and goes on: the device's next 10 is a change and is reported. The sampling
// thread ends on a failed exchange and a new start brings the samples back;
// a flood of stream packets in front of the answer loses no sample.
TEST_P(RunningFaults, WorkerGoesOnAndSamplingEndsAsTheirPartsSay)
{
    const FaultKind kind = GetParam();
    m_device->WithModel([](DeviceModel& m) {
        m.sampleMode = vasqsim::SampleMode::Counter;
        m.runsStatusSequences = false;
        m.scriptedStatuses = {10};
    });
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(20));
    BPCommon p = e2e::DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&p, OnBP));
    ASSERT_TRUE(m_reports.WaitForSize(1));
    // The first tick has read 10 already: no report until the status changes.
    ASSERT_TRUE(m_device->WaitForLogSize(m_device->Log().size() + 20, 5s));
    ASSERT_EQ(1u, m_reports.Size());

    const int threadsWhileSampling = e2e::ThreadCount();
    // A fault on a status poll of the worker.
    m_device->InjectFault(MakeFault(kind), 'I', 0);
    Stopwatch watch;
    ASSERT_TRUE(m_device->WaitForFaultsApplied(5s));
    if (kind == FaultKind::HangUpMidFrame) {
        EXPECT_TRUE(SamplingEnded(threadsWhileSampling)) << "sampling went on after the hang-up";
        ASSERT_TRUE(Replug());
    }
    const bool reported = ReportedAgain(m_reports, kind);
    PrintRow("BP worker: status poll", kind,
             reported ? "goes on, change reported after " + std::to_string(static_cast<int>(watch.Ms())) + " ms"
                      : "no report");
    if (ExchangeSurvives(kind)) {
        EXPECT_FALSE(reported) << "a status poll that succeeded was reported as a change";
    } else {
        ASSERT_TRUE(reported) << "the worker stopped polling after a failed status query";
        const auto reports = m_reports.Get();
        EXPECT_EQ(STATUS_RUNNING, reports[1]) << "the return from code 0 to 10 is reported as running";
    }

    // A fault on a sampling request.
    if (kind != FaultKind::HangUpMidFrame) {
        m_samples.WaitForSize(m_samples.Size() + 10);
        m_device->InjectFault(MakeFault(kind), 'P', 2);
        ASSERT_TRUE(m_device->WaitForFaultsApplied(5s));
        Stopwatch sampling;
        if (ExchangeSurvives(kind)) {
            const size_t before = m_samples.Size();
            EXPECT_TRUE(m_samples.WaitForSize(before + 200, 5s)) << "sampling stalled after the flood";
            EXPECT_TRUE(Consecutive()) << "a sample was lost or repeated around the flood";
            PrintRow("sampling thread", kind, "goes on, no sample lost");
        } else {
            EXPECT_TRUE(SamplingEnded(threadsWhileSampling)) << "sampling went on after its exchange failed";
            PrintRow("sampling thread", kind,
                     "ends (seen after " + std::to_string(static_cast<int>(sampling.Ms())) + " ms)");
        }
    } else {
        PrintRow("sampling thread", kind, "ends with the port");
    }
    // Sampling starts again against a device that behaves.
    const size_t before = m_samples.Size();
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    EXPECT_TRUE(m_samples.WaitForSize(before + 20, 5s)) << "sampling did not come back";

    VasqStopSampling();
    EXPECT_EQ(1, VasqStopTest());
    EXPECT_TRUE(WaitForIdleThreads()) << "a worker or the sampling thread survived its stop";

    // The static-pressure worker also reads the test result on every tick: a
    // failed status poll is a quiet change to 0, after which the device's 12
    // is reported as holding again; a failed result query keeps the result.
    m_device->WithModel([](DeviceModel& m) { m.scriptedStatuses = {12}; });
    ASSERT_EQ(1, VasqRunStaticPressure(100, 5, OnStaticReport, true));
    ASSERT_TRUE(m_statics.WaitForSize(1));
    ASSERT_TRUE(m_device->WaitForLogSize(m_device->Log().size() + 6, 5s));
    m_device->InjectFault(MakeFault(kind), 'I', 0);
    Stopwatch poll;
    ASSERT_TRUE(m_device->WaitForFaultsApplied(5s));
    if (kind == FaultKind::HangUpMidFrame) {
        ASSERT_TRUE(Replug());
    }
    const bool holding = ReportedAgain(m_statics, kind);
    PrintRow("static worker: status poll", kind,
             holding ? "goes on, holding reported again after " + std::to_string(static_cast<int>(poll.Ms())) + " ms"
                     : "no report");
    if (ExchangeSurvives(kind)) {
        EXPECT_FALSE(holding);
    } else {
        ASSERT_TRUE(holding) << "the worker stopped polling after a failed status query";
        EXPECT_EQ(STATUS_HOLDING, m_statics.Get()[1]);
    }
    if (kind != FaultKind::HangUpMidFrame) {
        const size_t reports = m_statics.Size();
        m_device->InjectFault(MakeFault(kind), 'R', 0);
        ASSERT_TRUE(m_device->WaitForFaultsApplied(5s));
        // Three more ticks of status and result.
        ASSERT_TRUE(m_device->WaitForLogSize(m_device->Log().size() + 6, 6s)) << "the worker stopped polling";
        EXPECT_EQ(reports, m_statics.Size()) << "a failed result query was reported as a change";
        PrintRow("static worker: result query", kind, "goes on, result kept, nothing reported");
    }
    EXPECT_EQ(1, VasqStopTest());
    EXPECT_TRUE(WaitForIdleThreads()) << "the worker survived its stop";
}

INSTANTIATE_TEST_SUITE_P(Faults, RunningFaults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultKind>& info) { return CaseName(info.param); });

// A fault on the identity probe: the port is released and probed again at
// the next search, and the device is connected.
class ProbeFaults : public FaultFixture, public ::testing::TestWithParam<FaultKind> {
protected:
    void TearDown() override { Release(); }
};

TEST_P(ProbeFaults, TheNextSearchConnects)
{
    const FaultKind kind = GetParam();
    SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str());
    m_device = std::make_unique<SimDevice>(m_folder.path(), 0);
    m_baselineThreads = e2e::ThreadCount();
    m_baselineDescriptors = e2e::DescriptorCount();
    m_device->InjectFault(MakeFault(kind), 'S', 0);
    std::thread replug;
    if (kind == FaultKind::HangUpMidFrame) {
        replug = std::thread([&] {
            // The device has gone once its node has.
            if (m_changed.WaitFor([&] { return !m_device->Plugged(); }, 5s))
                m_device->Plug();
        });
    }
    Stopwatch watch;
    const bool connected = VasqConnect(0, 8000);
    const double ms = watch.Ms();
    if (replug.joinable())
        replug.join();
    PrintRow("VasqConnect: identity probe", kind, Outcome(connected, ms));
    EXPECT_TRUE(connected);
    EXPECT_EQ(0u, m_device->PendingFaults());
    unsigned char mfg[16];
    EXPECT_EQ(1, VasqReadMfgInfo(mfg, sizeof(mfg)));
}

INSTANTIATE_TEST_SUITE_P(Faults, ProbeFaults, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultKind>& info) { return CaseName(info.param); });

// A transfer whose intermediate block goes unacknowledged waits out the
// acknowledgement's 5 s and goes on: only the last acknowledgement decides.
TEST(BlockTransferFaults, MissingIntermediateAcknowledgementIsSkippedWithinFiveSeconds)
{
    struct Fixture : FaultFixture {
        void Run()
        {
            Connect();
            char picture[300] = {};
            m_device->InjectFault(Fault(FaultKind::NoAnswer), 'I', 142);
            Stopwatch watch;
            const bool ok = VasqWritePNG(picture, sizeof(picture)) == 1;
            const double ms = watch.Ms();
            PrintRow("VasqWritePNG: block 1 ack", FaultKind::NoAnswer, Outcome(ok, ms));
            EXPECT_TRUE(ok) << "a skipped acknowledgement failed the transfer";
            EXPECT_GE(ms, 4900.0);
            EXPECT_LT(ms, 5000.0 + kReadTimeoutMs + kSlackMs);
            int blocks = 0;
            m_device->WithModel([&](DeviceModel& m) { blocks = m.pictureBlocks; });
            EXPECT_EQ(4, blocks) << "every block reaches the device";

            // The last acknowledgement decides.
            Fault last(FaultKind::NoAnswer);
            last.after = 3;
            m_device->InjectFault(last, 'I', 142);
            Stopwatch final;
            EXPECT_EQ(0, VasqWritePNG(picture, sizeof(picture)));
            PrintRow("VasqWritePNG: last ack", FaultKind::NoAnswer, Outcome(false, final.Ms()));
            EXPECT_LT(final.Ms(), kReadTimeoutMs + kSlackMs);
            EXPECT_EQ(1, VasqWritePNG(picture, sizeof(picture)));
            Release();
        }
    } fixture;
    fixture.Run();
}

}  // namespace
