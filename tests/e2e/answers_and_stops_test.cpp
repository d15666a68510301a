// Calls after a stalled device get their own answers or fail; searches, stops
// and starts that race each other keep their promises. Through the shared
// library's exported functions, against the simulated device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConnectedDevice.h"
#include "vasq.h"
#include "vasq_service.h"

using e2e::CustomRecord;
using e2e::DefaultRecord;
using e2e::Stopwatch;
using vasqsim::DeviceModel;
using vasqsim::Fault;
using vasqsim::FaultKind;
using vasqsim::SimDevice;
using namespace std::chrono_literals;

namespace {

std::atomic<int> g_samples{0};
e2e::Condition g_changed;

void CountSample(double)
{
    g_samples.fetch_add(1);
    g_changed.Notify();
}

// Calls of three commands, eight rounds, while the device holds its answers
// back and then answers every request in order: each call either fails or
// returns its own answer (the device's defaults: rate 2.5, manufacturing
// bytes 0xA0 up, air-port bit 1 set).
void ExpectOwnAnswers(const char* trouble)
{
    int wrong = 0;
    int good = 0;
    for (int i = 0; i < 8; ++i) {
        double rate = -1;
        if (VasqGetLeakageCalibrationRate(&rate) == 1) {
            wrong += rate != 2.5 ? 1 : 0;
            ++good;
        }
        unsigned char mfg[64] = {};
        if (VasqReadMfgInfo(mfg, sizeof(mfg)) == 1) {
            wrong += mfg[0] != 0xA0 || mfg[15] != 0xA0 + 15 || mfg[16] != 0 ? 1 : 0;
            ++good;
        }
        bool bit1 = false;
        bool bit0 = true;
        if (VasqGetAirPortStatus(&bit1, &bit0) == 1) {
            wrong += !bit1 || bit0 ? 1 : 0;
            ++good;
        }
    }
    EXPECT_EQ(0, wrong) << "successes carrying another command's answer";
    EXPECT_GT(good, 12) << "the calls after " << trouble << " succeed";
}

// Sampling that the trouble may have ended starts again and samples.
void ExpectSamplingAgain()
{
    ASSERT_EQ(1, VasqStartSampling(CountSample));
    const int before = g_samples.load();
    EXPECT_TRUE(g_changed.WaitFor([&] { return g_samples.load() >= before + 20; }, 5s));
    VasqStopSampling();
}

class Answers : public e2e::ConnectedDevice {
protected:
    void SetUp() override
    {
        ConnectedDevice::SetUp();
        WithModel([](DeviceModel& m) {
            for (size_t i = 0; i < m.mfgRecord.size(); ++i)
                m.mfgRecord[i] = static_cast<uint8_t>(0xA0 + i);
        });
    }
    // The device holds one answer back for longer than two read timeouts.
    void CallThroughAStall()
    {
        Fault stall(FaultKind::Delay);
        stall.delayMs = 2600;
        m_device->InjectFault(stall, 'P', 6);
        ExpectOwnAnswers("the stall");
        double rate = -1;
        EXPECT_EQ(1, VasqGetLeakageCalibrationRate(&rate));
        EXPECT_EQ(2.5, rate);
    }
};

}  // namespace

TEST_F(Answers, CallsAfterAStallGetTheirOwnAnswers)
{
    CallThroughAStall();
}

TEST_F(Answers, CallsAfterAStallGetTheirOwnAnswersWhileSampling)
{
    g_samples = 0;
    ASSERT_EQ(1, VasqStartSampling(CountSample));
    ASSERT_TRUE(g_changed.WaitFor([] { return g_samples.load() >= 20; }, 5s));
    CallThroughAStall();
    ExpectSamplingAgain();
}

namespace {

// The vasq-sim program in a process of its own, frozen with SIGSTOP while a
// thread of the test lets it go on after the stall.
class FrozenProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str());
        m_sim = std::make_unique<e2e::ChildProcess>(
            VASQ_SIM_PROGRAM, std::vector<std::string>{"--dir", m_folder.path(), "--port", "3"});
        ASSERT_GT(m_sim->pid, 0);
        ASSERT_NE(std::string::npos, m_sim->ReadLine().find("ttyACM3")) << "vasq-sim is ready";
        ASSERT_TRUE(VasqConnect(3, 5000));
    }
    void TearDown() override
    {
        VasqFree();
        if (m_sim && m_sim->pid > 0) {
            kill(m_sim->pid, SIGCONT);
            kill(m_sim->pid, SIGTERM);
            waitpid(m_sim->pid, nullptr, 0);
            close(m_sim->input);
            close(m_sim->output);
        }
        SetDeviceFoldersForTesting(nullptr, nullptr);
    }
    // The program is frozen for 2.6 s.
    void CallsThroughAFreeze()
    {
        ASSERT_EQ(0, kill(m_sim->pid, SIGSTOP));
        std::thread thaw([pid = m_sim->pid] {
            std::this_thread::sleep_for(2600ms);
            kill(pid, SIGCONT);
        });
        ExpectOwnAnswers("the freeze");
        thaw.join();
    }

    e2e::TempFolder m_folder;
    std::unique_ptr<e2e::ChildProcess> m_sim;
};

}  // namespace

TEST_F(FrozenProgram, CallsAfterAFreezeGetTheirOwnAnswers)
{
    CallsThroughAFreeze();
}

TEST_F(FrozenProgram, CallsAfterAFreezeGetTheirOwnAnswersWhileSampling)
{
    g_samples = 0;
    ASSERT_EQ(1, VasqStartSampling(CountSample));
    ASSERT_TRUE(g_changed.WaitFor([] { return g_samples.load() >= 20; }, 5s));
    CallsThroughAFreeze();
    ExpectSamplingAgain();
}

TEST_F(Answers, UploadOfNothingSendsNothingAndWaitsForNothing)
{
    char data[4] = {1, 2, 3, 4};
    Stopwatch watch;
    EXPECT_EQ(0, VasqWritePNG(data, 0));
    EXPECT_EQ(0, VasqWritePNG(data, -5));
    HW_INFORMATION hw{};
    EXPECT_EQ(1, VasqGetHWInformation(&hw));
    EXPECT_LT(watch.Ms(), 500.0) << "no answer is owed by a request that was never sent";
    EXPECT_EQ(0u, Count('I', 142));
}

// A control point far below the table used to make the fill step by 1.0
// where a step no longer changes the number: the call never returned.
TEST(EnvelopeTable, PointsAnywhereReturnAtOnceAndNonFinitePointsAreRefused)
{
    std::vector<double> p(480), a(480);
    const double inf = std::numeric_limits<double>::infinity();
    const double far[] = {-1e17, -1e10, -1e300, -4503599627370497.0};
    for (const double bottom : far) {
        for (const double lowerBase : {-5.0, 0.0, -0.5, 20.0}) {
            BPEnvelopeCustomized r = CustomRecord(1.0);
            r.dBottomPressure = bottom;
            r.dLowerBasePressure = lowerBase;
            auto done = std::async(std::launch::async, [&] {
                return VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, 0);
            });
            ASSERT_EQ(std::future_status::ready, done.wait_for(5s)) << bottom << " " << lowerBase;
            EXPECT_EQ(1, done.get());
            for (int j = 0; j < 360; ++j)
                ASSERT_TRUE(std::isfinite(p[j])) << j;
        }
    }
    for (const double bad : {-inf, inf, std::nan("")}) {
        BPEnvelopeCustomized r = CustomRecord(1.0);
        r.dBottomPressure = bad;
        EXPECT_EQ(0, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, 0));
        r = CustomRecord(1.0);
        r.dUpperPeakPressure = bad;
        EXPECT_EQ(0, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, 0));
    }
    BPEnvelopeCustomized huge = CustomRecord(0.1);
    huge.dTopPressure = 1e308;  // ten times that is no number in kPa
    EXPECT_EQ(0, VasqGetEnvelopeRawData(&huge, p.data(), a.data(), 479, 1));
}

namespace {

class Searches : public e2e::PrivateFolder {
protected:
    void TearDown() override
    {
        VasqFree();
        m_device.reset();
        PrivateFolder::TearDown();
    }
    std::unique_ptr<SimDevice> m_device;
};

}  // namespace

TEST_F(Searches, TwoConnectsAtOnceBothSeeTheDeviceAndNeitherReleasesIt)
{
    m_device = std::make_unique<SimDevice>(m_folder.path(), 0, false);
    Stopwatch watch;
    auto first = std::async(std::launch::async, [] { return VasqConnect(0, 3000); });
    auto second = std::async(std::launch::async, [] { return VasqConnect(0, 3000); });
    std::this_thread::sleep_for(500ms);  // the device appears while both wait
    ASSERT_TRUE(m_device->Plug());
    EXPECT_TRUE(first.get());
    EXPECT_TRUE(second.get());
    EXPECT_LT(watch.Ms(), 2500.0) << "both return once the device is there";
    EXPECT_STRNE("", VasqGetSerialNumber()) << "still connected";
    HW_INFORMATION hw{};
    EXPECT_EQ(1, VasqGetHWInformation(&hw));
}

TEST_F(Searches, FreeEndsAConnectThatWaitsWithoutLimit)
{
    auto waiting = std::async(std::launch::async, [] { return VasqConnect(0, 0xFFFFFFFF); });
    ASSERT_EQ(std::future_status::timeout, waiting.wait_for(300ms));
    Stopwatch watch;
    VasqFree();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(3s)) << "the connect still waits after the release";
    EXPECT_FALSE(waiting.get());
    EXPECT_LT(watch.Ms(), 2000.0);
    // The library is usable afterwards.
    m_device = std::make_unique<SimDevice>(m_folder.path(), 0);
    EXPECT_TRUE(VasqConnect(0, 5000));
}

namespace {

// What a callback saw after the stop that should have ended it had returned.
std::atomic<bool> g_stopReturned{false};
std::atomic<int> g_lateCallbacks{0};
std::atomic<int> g_reports{0};
std::atomic<int> g_restartedSamples{0};
std::atomic<int> g_restartResult{-1};

void ReportAfterStop(VasqStatus, double, double, double, double)
{
    g_reports.fetch_add(1);
    if (g_stopReturned.load())
        g_lateCallbacks.fetch_add(1);
    g_changed.Notify();
}

void SampleAfterStop(double)
{
    g_samples.fetch_add(1);
    if (g_stopReturned.load())
        g_lateCallbacks.fetch_add(1);
    g_changed.Notify();
}

void RestartedSample(double)
{
    g_restartedSamples.fetch_add(1);
    g_changed.Notify();
}

// Stops sampling from inside its own callback and starts it again at once.
void StopAndRestartSampling(double)
{
    if (g_samples.fetch_add(1) == 0) {
        VasqStopSampling();
        g_restartResult = VasqStartSampling(RestartedSample);
    }
    g_changed.Notify();
}

void StopFromCallback(double)
{
    if (g_samples.fetch_add(1) == 0)
        VasqStopSampling();
    g_changed.Notify();
}

void FreeFromCallback(double)
{
    if (g_samples.fetch_add(1) == 0)
        VasqFree();
    g_changed.Notify();
}

std::atomic<int> g_restartedReports{0};

void RestartedReport(VasqStatus, double, double, double, double)
{
    g_restartedReports.fetch_add(1);
    g_changed.Notify();
}

// Stops the test from inside its first report and starts the next at once.
void StopAndRestartTest(VasqStatus, double, double, double, double)
{
    if (g_reports.fetch_add(1) == 0) {
        VasqStopTest();
        BPCommon record = DefaultRecord();
        g_restartResult = VasqRunBPTest(&record, RestartedReport);
    }
    g_changed.Notify();
}

class Stops : public e2e::ConnectedDevice {
protected:
    void SetUp() override
    {
        g_stopReturned = false;
        g_lateCallbacks = 0;
        g_reports = 0;
        g_samples = 0;
        g_restartedSamples = 0;
        g_restartedReports = 0;
        g_restartResult = -1;
        ConnectedDevice::SetUp();
    }
};

}  // namespace

TEST_F(Stops, NoTestReportOnceAStopHasReturned)
{
    WithModel([](DeviceModel& m) { m.runsStatusSequences = false; });
    BPCommon record = DefaultRecord();
    for (int i = 0; i < 12; ++i) {
        g_stopReturned = false;
        WithModel([i](DeviceModel& m) { m.scriptedStatuses = {static_cast<uint8_t>(i % 2 ? 10 : 14)}; });
        ASSERT_EQ(1, VasqRunBPTest(&record, ReportAfterStop));
        if (i % 3 == 0)
            g_changed.WaitFor([] { return g_reports.load() > 0; }, 50ms);
        VasqStopTest();
        g_stopReturned = true;
        // A late report would come within the worker's first polls.
        const size_t polls = Count('I', 0);
        g_changed.WaitFor([] { return g_lateCallbacks.load() > 0; }, 250ms);
        EXPECT_EQ(polls, Count('I', 0)) << "a worker polled after its stop";
    }
    EXPECT_EQ(0, g_lateCallbacks.load()) << "reports after VasqStopTest returned";
    EXPECT_TRUE(WaitForIdleThreads());
}

TEST_F(Stops, NoSampleOnceAStopFromAnotherThreadHasReturned)
{
    for (int i = 0; i < 10; ++i) {
        g_stopReturned = false;
        ASSERT_EQ(1, VasqStartSampling(SampleAfterStop));
        const int before = g_samples.load();
        ASSERT_TRUE(g_changed.WaitFor([&] { return g_samples.load() > before; }, 5s));
        VasqStopSampling();
        g_stopReturned = true;
    }
    g_changed.WaitFor([&] { return false; }, 200ms);
    EXPECT_EQ(0, g_lateCallbacks.load());
}

TEST_F(Stops, StopOrFreeInsideTheSamplingCallbackEndsTheBurstThere)
{
    ASSERT_EQ(1, VasqStartSampling(StopFromCallback));
    ASSERT_TRUE(WaitForIdleThreads());
    EXPECT_EQ(1, g_samples.load()) << "the rest of the burst was delivered after the stop";
    g_samples = 0;
    ASSERT_EQ(1, VasqStartSampling(FreeFromCallback));
    ASSERT_TRUE(e2e::ThreadCountSettlesAt(m_baseline, 5s));
    EXPECT_EQ(1, g_samples.load()) << "the rest of the burst was delivered after the free";
}

TEST_F(Stops, StartRightAfterAStopInsideTheSamplingCallbackSamples)
{
    ASSERT_EQ(1, VasqStartSampling(StopAndRestartSampling));
    ASSERT_TRUE(g_changed.WaitFor([] { return g_restartResult.load() != -1; }, 5s));
    ASSERT_EQ(1, g_restartResult.load());
    EXPECT_TRUE(g_changed.WaitFor([] { return g_restartedSamples.load() >= 30; }, 5s))
        << "the start succeeded and sampled nothing";
    VasqStopSampling();
    EXPECT_TRUE(WaitForIdleThreads());
}

TEST_F(Stops, StartFromAnotherThreadRightAfterAStopInsideTheCallbackSamples)
{
    ASSERT_EQ(1, VasqStartSampling(StopFromCallback));
    ASSERT_TRUE(g_changed.WaitFor([] { return g_samples.load() >= 1; }, 5s));
    ASSERT_EQ(1, VasqStartSampling(RestartedSample));
    EXPECT_TRUE(g_changed.WaitFor([] { return g_restartedSamples.load() >= 30; }, 5s))
        << "the start succeeded and sampled nothing";
    VasqStopSampling();
}

TEST_F(Stops, TestStartRightAfterAStopInsideATestCallbackRuns)
{
    WithModel([](DeviceModel& m) {
        m.runsStatusSequences = false;
        m.scriptedStatuses = {10};
    });
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, StopAndRestartTest));
    ASSERT_TRUE(g_changed.WaitFor([] { return g_restartResult.load() != -1; }, 5s));
    ASSERT_EQ(1, g_restartResult.load());
    ASSERT_TRUE(g_changed.WaitFor([] { return g_restartedReports.load() >= 1; }, 5s));
    // The device runs the new test (the stop left it idle), then completes it.
    WithModel([](DeviceModel& m) { m.scriptedStatuses = {10, 14}; });
    EXPECT_TRUE(g_changed.WaitFor([] { return g_restartedReports.load() >= 2; }, 5s))
        << "the new worker follows the test";
    EXPECT_EQ(1, g_reports.load()) << "the stopped worker reported no more";
    VasqStopTest();
    EXPECT_TRUE(WaitForIdleThreads());
}
