// Test runners through the shared library's exported functions, against the
// simulated device: what each start sends, and the reports each worker makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ConnectedDevice.h"
#include "vasq.h"
#include "vasq_service.h"

using e2e::CustomRecord;
using e2e::DefaultRecord;
using vasqsim::DeviceModel;
using vasqsim::SimDevice;
using namespace std::chrono_literals;

namespace {

// One report of any test callback: the status and its values in order.
struct Report {
    VasqStatus status;
    std::vector<double> values;
    int code;
};

class Reports : public e2e::Recorder<Report> {
public:
    std::vector<VasqStatus> Statuses()
    {
        std::vector<VasqStatus> statuses;
        for (const Report& report : Get())
            statuses.push_back(report.status);
        return statuses;
    }
    bool WaitForStatus(VasqStatus status, std::chrono::milliseconds timeout = 5s)
    {
        return WaitFor(
            [&] {
                const auto statuses = Statuses();
                return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
            },
            timeout);
    }
};

Reports* g_reports = nullptr;
Reports* g_otherReports = nullptr;

void OnBP(VasqStatus s, double r1, double r2, double r3, double r4)
{
    g_reports->Add({s, {r1, r2, r3, r4}, 0});
}

void OnOtherBP(VasqStatus s, double r1, double r2, double r3, double r4)
{
    g_otherReports->Add({s, {r1, r2, r3, r4}, 0});
}

void OnLeakage(VasqStatus s, double wait, double leak, int code)
{
    g_reports->Add({s, {wait, leak}, code});
}

void OnOverpressure(VasqStatus s, double wait, double r1, double r2, double r3, double r4, double r5, double r6)
{
    g_reports->Add({s, {wait, r1, r2, r3, r4, r5, r6}, 0});
}

void OnStatic(VasqStatus s, double wait, int result)
{
    g_reports->Add({s, {wait}, result});
}

void StopOnCompletion(VasqStatus s, double r1, double r2, double r3, double r4)
{
    OnBP(s, r1, r2, r3, r4);
    if (s == STATUS_COMPLETED)
        VasqStopTest();
}

class Runners : public e2e::ConnectedDevice {
protected:
    void SetUp() override
    {
        g_reports = &m_reports;
        g_otherReports = &m_otherReports;
        ConnectedDevice::SetUp();
    }
    void TearDown() override
    {
        ConnectedDevice::TearDown();
        g_reports = g_otherReports = nullptr;
    }
    void Script(std::deque<uint8_t> statuses)
    {
        m_device->WithModel([&](DeviceModel& m) { m.scriptedStatuses = statuses; });
    }
    // Waits until the workers have polled the device this many more times.
    bool WaitForPolls(size_t more)
    {
        const size_t target = Count('I', 0) + more;
        return m_changed.WaitFor([&] { return Count('I', 0) >= target; }, 5s);
    }

    Reports m_reports;
    Reports m_otherReports;
};

}  // namespace

TEST_F(Runners, BPFirstReportIsRunningWithZerosEvenWhenTheDeviceHasCompleted)
{
    WithModel([](DeviceModel& m) { m.scriptedStatuses = {14}; });
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, OnBP));
    ASSERT_TRUE(m_reports.WaitForSize(1));
    ASSERT_TRUE(WaitForPolls(3));
    const auto reports = m_reports.Get();
    ASSERT_EQ(1u, reports.size()) << "14 stays 14: no change, no report";
    EXPECT_EQ(STATUS_RUNNING, reports[0].status);
    EXPECT_EQ((std::vector<double>{0, 0, 0, 0}), reports[0].values);
    EXPECT_EQ(0u, Count('R', 1)) << "results are read on entering 14 only";
}

TEST_F(Runners, BPReportsEntriesInto10And14AndKeepsPollingUntilStopped)
{
    Script({0, 10, 14, 14});
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, OnBP));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    ASSERT_TRUE(WaitForPolls(3)) << "the BP worker goes on after completion";
    EXPECT_EQ((std::vector<VasqStatus>{STATUS_RUNNING, STATUS_RUNNING, STATUS_COMPLETED}), m_reports.Statuses());
    // The device's default results: 120 in the unit, then 80.0, 72.0 and 5.0 in tenths.
    EXPECT_EQ((std::vector<double>{120.0, 80.0, 72.0, 5.0}), m_reports.Get().back().values);
    EXPECT_EQ(1u, Count('R', 1));

    EXPECT_EQ(1, VasqStopTest());
    const size_t polls = Count('I', 0);
    EXPECT_TRUE(WaitForIdleThreads()) << "the stop ends the worker";
    EXPECT_EQ(polls, Count('I', 0)) << "the worker ended without polling again";
    EXPECT_EQ(3u, m_reports.Size());
}

TEST_F(Runners, FailedStatusQueryIsAQuietChangeToZero)
{
    Script({10, 10, 10});
    vasqsim::Fault silent{vasqsim::FaultKind::NoAnswer};
    silent.after = 1;  // the first tick's query goes unanswered
    m_device->InjectFault(silent, 'I', 0);
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, OnBP));
    ASSERT_TRUE(m_reports.WaitForSize(2)) << "10 after the failed query is a change again";
    ASSERT_TRUE(WaitForPolls(2));
    EXPECT_EQ((std::vector<VasqStatus>{STATUS_RUNNING, STATUS_RUNNING}), m_reports.Statuses());
}

TEST_F(Runners, BPStatusTwoIsStoredSilently)
{
    Script({0, 10, 2, 10});
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, OnBP));
    ASSERT_TRUE(m_reports.WaitForSize(3));
    ASSERT_TRUE(WaitForPolls(2));
    EXPECT_EQ((std::vector<VasqStatus>{STATUS_RUNNING, STATUS_RUNNING, STATUS_RUNNING}), m_reports.Statuses());
}

TEST_F(Runners, BPStartSendsTheMethodsParametersAndEnvelope)
{
    struct Case {
        int unit;
        int method;
        std::string codes;
        size_t points;
    };
    // Relay, mode, debug mode, then the parameter set (read, write) and the envelope table.
    auto blocks = [](size_t points) {
        std::string codes;
        for (size_t k = 0; k <= 6 * points / 96; ++k)
            codes += "P138 ";
        return codes;
    };
    // The custom record goes out twice: once checked, once before its table.
    const std::string custom = "P137 I136 I140 P8 P136 P8 P136 ";
    const Case cases[] = {
        {0, 0, "P137 I136 I140 P8 P136 I132", 0},
        {0, 1, custom + blocks(360) + "I132", 360},
        {1, 1, custom + blocks(479) + "I132", 479},
        {0, 2, "P137 I136 I140 I132", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("unit " + std::to_string(c.unit) + " method " + std::to_string(c.method));
        WithModel([](DeviceModel& m) { m.envelopePoints.clear(); });
        ASSERT_EQ(1, VasqSetPressureUnit(c.unit));
        m_device->ClearLog();
        BPEnvelopeCustomized custom = CustomRecord(c.unit == 1 ? 0.1 : 1.0);
        BPCommon common = DefaultRecord();
        custom.eMethod = c.method;
        common.eMethod = c.method;
        void* parameters = c.method == 0 ? static_cast<void*>(&common) : static_cast<void*>(&custom);
        ASSERT_EQ(1, VasqRunBPTest(parameters, OnBP));
        const std::string codes = Codes();
        EXPECT_EQ(0u, codes.find(c.codes)) << codes;
        WithModel([&](DeviceModel& m) { EXPECT_EQ(6 * c.points, m.envelopePoints.size()); });
        EXPECT_EQ((std::vector<uint8_t>{2}), LastPayload('I', 136));
        EXPECT_EQ((std::vector<uint8_t>{0, 0, 0}), LastPayload('I', 140));
        VasqStopTest();
        ASSERT_TRUE(WaitForIdleThreads());
    }
}

TEST_F(Runners, BPStartRefusesANullRecordBeforeSendingAnything)
{
    EXPECT_EQ(0, VasqRunBPTest(nullptr, OnBP));
    EXPECT_FALSE(RunBPTest(FUNCTION_BP_TEST, nullptr, OnBP));
    EXPECT_EQ("", Codes());
}

TEST_F(Runners, FailedStepStoresNothingAndStartsNoWorker)
{
    m_device->InjectFault(vasqsim::FaultKind::Status, 'I', 136);  // the operating-function switch
    BPCommon record = DefaultRecord();
    EXPECT_EQ(0, VasqRunBPTest(&record, OnBP));
    EXPECT_EQ("P137 I136", Codes()) << "the first failing step ends the start";
    EXPECT_TRUE(e2e::ThreadCountSettlesAt(m_idleThreads));
}

TEST_F(Runners, StopFromInsideACallbackEndsTheWorker)
{
    Script({0, 10, 14});
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, StopOnCompletion));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    EXPECT_TRUE(WaitForIdleThreads());
    EXPECT_EQ(1u, Count('I', 133));
}

void FreeOnCompletion(VasqStatus s, double r1, double r2, double r3, double r4)
{
    OnBP(s, r1, r2, r3, r4);
    if (s == STATUS_COMPLETED) {
        VasqFree();
        g_reports->Add({STATUS_NONE, {}, 1});
    }
}

TEST_F(Runners, FreeFromInsideACallbackReleasesTheDeviceWithoutDeadlock)
{
    Script({0, 10, 14});
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, FreeOnCompletion));
    ASSERT_TRUE(m_reports.WaitFor(
        [&] {
            const auto reports = m_reports.Get();
            return !reports.empty() && reports.back().code == 1;
        },
        5s))
        << "VasqFree returned inside the callback";
    ASSERT_TRUE(m_changed.WaitFor([&] { return Count('I', 135) >= 1; }, 5s)) << "the device was told it is released";
    EXPECT_TRUE(m_changed.WaitFor([&] { return e2e::ThreadCount() <= m_baseline; }, 5s)) << "every thread ends";
    ASSERT_TRUE(VasqConnect(0, 5000)) << "the library connects again";
}

TEST_F(Runners, EnvelopeTableThatIsNotTakenFailsTheWriteAndTheCustomisedStart)
{
    BPEnvelopeCustomized r = e2e::CustomRecord(1.0);
    std::vector<double> p(360), a(360);
    ASSERT_EQ(1, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, 0));
    // 360 points travel in 23 blocks; the last one's acknowledgement is the result.
    vasqsim::Fault lastRefused{vasqsim::FaultKind::Status};
    lastRefused.after = 22;
    m_device->InjectFault(lastRefused, 'P', 138);
    EXPECT_EQ(0, VasqSetEnvelopeRawData(&r, p.data(), a.data(), 360));
    EXPECT_EQ(23u, Count('P', 138));

    m_device->ClearLog();
    m_device->InjectFault(lastRefused, 'P', 138);
    EXPECT_EQ(0, VasqRunBPTest(&r, OnBP));
    EXPECT_EQ(0u, Count('I', 132)) << "no test starts on a table the device did not take";
    EXPECT_EQ(1, VasqSetEnvelopeRawData(&r, p.data(), a.data(), 360)) << "the device behaves again";
}

TEST_F(Runners, StopEventStaysSetUntilTheNextStartClearsIt)
{
    EXPECT_EQ(1, VasqStopTest()) << "no test runs";
    Script({0, 10, 0, 10});
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, OnBP));
    EXPECT_TRUE(m_reports.WaitForSize(3)) << "the start cleared the stop, so its worker polls";
}

TEST_F(Runners, SecondStartOfTheSameKindEndsTheFirstWorkerWithoutAnotherReport)
{
    WithModel([](DeviceModel& m) {
        m.runsStatusSequences = false;
        m.scriptedStatuses = {0};
    });
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, OnOtherBP));
    ASSERT_TRUE(m_otherReports.WaitForSize(1));
    ASSERT_EQ(1, VasqRunBPTest(&record, OnBP));
    ASSERT_TRUE(m_reports.WaitForSize(1));
    EXPECT_TRUE(e2e::ThreadCountSettlesAt(m_idleThreads + 2)) << "the first worker and its timer have ended";
    Script({10});
    ASSERT_TRUE(m_reports.WaitForSize(2));
    ASSERT_TRUE(WaitForPolls(3));
    EXPECT_EQ(2u, m_reports.Size()) << "one worker reports the entry into 10, once";
    EXPECT_EQ(1u, m_otherReports.Size()) << "the first callback is no longer called";
    VasqStopTest();
    EXPECT_TRUE(WaitForIdleThreads());
}

// Starts without a stop between them used to leave every earlier worker
// polling, each reporting into the newest callback.
TEST_F(Runners, RepeatedStartsOfEveryKindLeaveOneWorkerAndOneReportPerChange)
{
    WithModel([](DeviceModel& m) { m.runsStatusSequences = false; });
    BPCommon record = DefaultRecord();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(1, VasqRunBPTest(&record, OnBP));
    ASSERT_TRUE(m_reports.WaitForSize(1));
    EXPECT_TRUE(e2e::ThreadCountSettlesAt(m_idleThreads + 2)) << "one worker and its timer";
    const size_t before = m_reports.Size();
    Script({10, 14});
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    ASSERT_TRUE(WaitForPolls(3));
    EXPECT_EQ(before + 2, m_reports.Size()) << "a single RUNNING, a single COMPLETED";
    for (int i = 0; i < 5; ++i) {
        Script({13});
        ASSERT_EQ(1, VasqRunStaticPressure(100, -1, OnStatic, false));
        ASSERT_EQ(1, VasqRunLeakageTest(100, 60, 0.5, OnLeakage));
        ASSERT_EQ(1, VasqRunLeakageCalibration(100, OnLeakage));
        ASSERT_EQ(1, VasqRunOverpressureTest(true, 100, 50, 100, OnOverpressure));
    }
    // Each start ends the test the one before it started, whatever its kind.
    EXPECT_TRUE(e2e::ThreadCountSettlesAt(m_idleThreads + 2)) << "one worker and its timer";
    VasqStopTest();
    EXPECT_TRUE(WaitForIdleThreads());
}

namespace {
std::atomic<bool> g_holdFirstReport{false};
e2e::Condition g_firstReportHeld;
std::atomic<bool> g_firstReportInside{false};

// The first report of the first worker waits until the test lets it go.
void HoldingFirstReport(VasqStatus s, double r1, double r2, double r3, double r4)
{
    if (g_holdFirstReport.exchange(false)) {
        g_firstReportInside = true;
        g_firstReportHeld.Notify();
        g_firstReportHeld.WaitFor([] { return !g_firstReportInside.load(); }, 10s);
    }
    OnBP(s, r1, r2, r3, r4);
}
}  // namespace

// A worker that has not looked at the stop event yet when the next start
// clears it still ends: it does not go on reporting beside the new worker.
TEST_F(Runners, StopEndsAWorkerEvenWhenTheNextStartComesFirst)
{
    Script({10});
    BPCommon record = DefaultRecord();
    g_holdFirstReport = true;
    ASSERT_EQ(1, VasqRunBPTest(&record, HoldingFirstReport));
    ASSERT_TRUE(g_firstReportHeld.WaitFor([] { return g_firstReportInside.load(); }, 5s));
    EXPECT_EQ(1, VasqStopTest());
    ASSERT_EQ(1, VasqRunBPTest(&record, HoldingFirstReport));
    g_firstReportInside = false;
    g_firstReportHeld.Notify();
    ASSERT_TRUE(m_reports.WaitForSize(2));
    ASSERT_TRUE(WaitForPolls(4));
    Script({14});
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    ASSERT_TRUE(WaitForPolls(6));
    const auto statuses = m_reports.Statuses();
    EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), STATUS_COMPLETED))
        << "the stopped worker went on beside the new one";
    EXPECT_EQ(1, VasqStopTest());
    EXPECT_TRUE(WaitForIdleThreads());
}

TEST_F(Runners, NullCallbackEndsTheWorkerAtOnce)
{
    BPCommon record = DefaultRecord();
    ASSERT_EQ(1, VasqRunBPTest(&record, nullptr));
    EXPECT_TRUE(WaitForIdleThreads());
    EXPECT_EQ(1, VasqRunStaticPressure(100, -1, nullptr, false));
    EXPECT_TRUE(WaitForIdleThreads());
}

TEST_F(Runners, StaticPressureRunsHoldsAndCompletes)
{
    Script({0, 2, 12, 12, 14});
    ASSERT_EQ(1, VasqRunStaticPressure(450.0, 300, OnStatic, true));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    EXPECT_TRUE(WaitForIdleThreads()) << "the worker ends on 14";
    EXPECT_EQ((std::vector<VasqStatus>{STATUS_NONE, STATUS_RUNNING, STATUS_HOLDING, STATUS_COMPLETED}),
              m_reports.Statuses());
    const Report first = m_reports.Get()[0];
    EXPECT_EQ(10.0, first.values[0]) << "the wait-stable time before the device was ever in 13";
    EXPECT_EQ(1, first.code);
    // 450 mmHg is clamped to the 400 mmHg limit before it is sent.
    const auto record = LastPayload('P', 132);
    ASSERT_EQ(25u, record.size());
    EXPECT_EQ(400, record[2] | (record[3] << 8));
    EXPECT_EQ(300, record[22] | (record[23] << 8));
    EXPECT_EQ(1, record[24]);
    EXPECT_EQ((std::vector<uint8_t>{0}), LastPayload('I', 136));
}

TEST_F(Runners, StaticPressureReportsWaitStableAndResultChangesInOrder)
{
    // First status 13 with 8.7 s; then a tick in 13 whose result changes, then
    // completion with another change: two reports on each of those ticks.
    Script({13, 13, 14});
    WithModel([](DeviceModel& m) {
        m.scriptedWaitStable = {87, 50};
        m.scriptedStaticResults = {0, 2, 3};
    });
    ASSERT_EQ(1, VasqRunStaticPressure(100.0, -1, OnStatic, false));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    ASSERT_TRUE(WaitForIdleThreads());
    const auto reports = m_reports.Get();
    ASSERT_EQ(5u, reports.size());
    EXPECT_EQ(STATUS_WAIT_STABLE, reports[0].status);
    EXPECT_EQ(8.7, reports[0].values[0]);
    EXPECT_EQ(0, reports[0].code);
    for (int i : {1, 2}) {
        EXPECT_EQ(STATUS_WAIT_STABLE, reports[i].status);
        EXPECT_EQ(5.0, reports[i].values[0]);
        EXPECT_EQ(2, reports[i].code);
    }
    for (int i : {3, 4}) {
        EXPECT_EQ(STATUS_COMPLETED, reports[i].status);
        EXPECT_EQ(5.0, reports[i].values[0]) << "the last wait-stable time read";
        EXPECT_EQ(3, reports[i].code);
    }
}

TEST_F(Runners, StaticPressureEntering0Or3ReportsNothing)
{
    Script({12, 0, 3, 12, 14});
    ASSERT_EQ(1, VasqRunStaticPressure(100.0, -1, OnStatic, false));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    EXPECT_EQ((std::vector<VasqStatus>{STATUS_HOLDING, STATUS_HOLDING, STATUS_COMPLETED}), m_reports.Statuses());
}

TEST_F(Runners, WaitStableTimeIsTruncatedToWholeSeconds)
{
    WithModel([](DeviceModel& m) { m.waitStableTenths = 87; });
    EXPECT_EQ(8, VasqGetWaitStableTime());
    m_device->InjectFault(vasqsim::FaultKind::NoAnswer, 'I', 21);
    EXPECT_EQ(0, VasqGetWaitStableTime());
}

TEST_F(Runners, LeakageTestReportsWaitStableRunningAndTheLeakValue)
{
    Script({0, 13, 13, 10, 14});
    WithModel([](DeviceModel& m) { m.scriptedWaitStable = {50, 40}; });
    ASSERT_EQ(1, VasqRunLeakageTest(500.0, 7, 1.5, OnLeakage));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    EXPECT_TRUE(WaitForIdleThreads());
    const auto reports = m_reports.Get();
    ASSERT_EQ(5u, reports.size());
    EXPECT_EQ(STATUS_NONE, reports[0].status);
    EXPECT_EQ((std::vector<double>{10.0, 0.0}), reports[0].values);
    EXPECT_EQ(STATUS_WAIT_STABLE, reports[1].status);
    EXPECT_EQ(5.0, reports[1].values[0]);
    EXPECT_EQ(STATUS_WAIT_STABLE, reports[2].status);
    EXPECT_EQ(4.0, reports[2].values[0]);
    EXPECT_EQ(STATUS_RUNNING, reports[3].status);
    EXPECT_EQ(4.0, reports[3].values[0]);
    EXPECT_EQ(STATUS_COMPLETED, reports[4].status);
    // The leak value (offset 2: 45) at resolution 10; the code from byte 4.
    EXPECT_EQ((std::vector<double>{4.0, 4.5}), reports[4].values);
    EXPECT_EQ(1, reports[4].code);
    // 500 mmHg clamped to 400; the parameter and the rate in tenths as given.
    EXPECT_EQ((std::vector<uint8_t>{0x90, 0x01, 7, 0, 15, 0}), LastPayload('P', 134));
    EXPECT_EQ((std::vector<uint8_t>{3}), LastPayload('I', 136));
}

TEST_F(Runners, LeakageCalibrationReportsTheCalibrationValue)
{
    Script({10, 14});
    ASSERT_EQ(1, VasqRunLeakageCalibration(100.0, OnLeakage));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    const auto reports = m_reports.Get();
    EXPECT_EQ(STATUS_RUNNING, reports.front().status);
    EXPECT_EQ((std::vector<double>{10.0, 0.0}), reports.front().values);
    EXPECT_EQ(12.3f, static_cast<float>(reports.back().values[1])) << "the calibration value, offset 0";
    EXPECT_EQ((std::vector<uint8_t>{100, 0, 60, 0, 0, 0}), LastPayload('P', 134));
    EXPECT_EQ((std::vector<uint8_t>{4}), LastPayload('I', 136));
    double rate = 0;
    EXPECT_EQ(1, VasqGetLeakageCalibrationRate(&rate));
    EXPECT_EQ(2.5, rate);
    EXPECT_EQ(1, VasqGetLeakageCalibrationRate(nullptr)) << "read without storing";
}

TEST_F(Runners, OverpressureClampsEachPressureByItsOwnLimitAndReportsSixResults)
{
    Script({13, 10, 10, 14});
    WithModel([](DeviceModel& m) { m.scriptedWaitStable = {30}; });
    ASSERT_EQ(1, VasqRunOverpressureTest(true, 500.0, 1.0, 10.0, OnOverpressure));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED));
    EXPECT_TRUE(WaitForIdleThreads());
    const auto reports = m_reports.Get();
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(STATUS_WAIT_STABLE, reports[0].status);
    EXPECT_EQ((std::vector<double>{3.0, 0, 0, 0, 0, 0, 0}), reports[0].values);
    EXPECT_EQ(STATUS_RUNNING, reports[1].status);
    EXPECT_EQ(STATUS_COMPLETED, reports[2].status);
    EXPECT_EQ((std::vector<double>{3.0, 300, 31, 32, 33, 34, 35}), reports[2].values);
    // Static-pressure limit 400, second value at least 2, third at least 20.
    EXPECT_EQ((std::vector<uint8_t>{1, 0x90, 0x01, 2, 0, 20, 0}), LastPayload('P', 135));
    EXPECT_EQ((std::vector<uint8_t>{5}), LastPayload('I', 136));
}

TEST_F(Runners, OverpressureStoppedWhileWaitingMakesNoFinalReport)
{
    Script({0, 13});
    ASSERT_EQ(1, VasqRunOverpressureTest(false, 100.0, 100.0, 100.0, OnOverpressure));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_WAIT_STABLE));
    EXPECT_EQ(STATUS_NONE, m_reports.Get()[0].status);
    EXPECT_EQ((std::vector<double>{0, 0, 0, 0, 0, 0, 0}), m_reports.Get()[0].values);
    VasqStopTest();
    ASSERT_TRUE(WaitForIdleThreads());
    const auto statuses = m_reports.Statuses();
    EXPECT_EQ(statuses.end(), std::find(statuses.begin(), statuses.end(), STATUS_COMPLETED));
}

TEST_F(Runners, SimulatedRunsGoThroughTheirPhasesToPlausibleResults)
{
    ASSERT_EQ(1, VasqRunStaticPressure(150.0, -1, OnStatic, false));
    ASSERT_TRUE(m_reports.WaitForStatus(STATUS_COMPLETED, 10s));
    const auto statuses = m_reports.Statuses();
    EXPECT_NE(statuses.end(), std::find(statuses.begin(), statuses.end(), STATUS_WAIT_STABLE));
    EXPECT_NE(statuses.end(), std::find(statuses.begin(), statuses.end(), STATUS_HOLDING));
    const auto reports = m_reports.Get();
    for (size_t i = 2; i < reports.size(); ++i) {
        if (reports[i].status == STATUS_WAIT_STABLE && reports[i - 1].status == STATUS_WAIT_STABLE) {
            EXPECT_LT(reports[i].values[0], reports[i - 1].values[0]) << "the wait-stable time falls";
        }
    }
    ASSERT_TRUE(WaitForIdleThreads());

    BPCommon record{BP_METHOD_DEFAULT, 135.0, 85.0, 66, 1.0, 0.0, 0.0};
    ASSERT_EQ(1, VasqRunBPTest(&record, OnOtherBP));
    ASSERT_TRUE(m_otherReports.WaitForStatus(STATUS_COMPLETED, 10s));
    EXPECT_EQ((std::vector<double>{135.0, 85.0, 66.0, 1.0}), m_otherReports.Get().back().values);
}

// Envelope tables: pure computation, no device.

TEST(Envelope, MmhgTableStartsWithZerosThenTheBaseAmplitude)
{
    BPEnvelopeCustomized r = CustomRecord(1.0);
    std::vector<double> p(360, -1), a(360, -1);
    ASSERT_EQ(1, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, 0));
    for (int j = 0; j <= 20; ++j) {
        EXPECT_EQ(j, p[j]);
        EXPECT_EQ(0.0, a[j]) << j;
    }
    for (int j = 21; j < 40; ++j)
        EXPECT_EQ(30.0, a[j]) << j;
    for (int j = 0; j < 360; ++j)
        EXPECT_EQ(j, p[j]) << "every entry is written";
    EXPECT_EQ(0.0, a[300]) << "the upper zero run";
    EXPECT_EQ(100.0, a[100]);
}

TEST(Envelope, SegmentsCoverTheirStartButNotTheirEnd)
{
    std::vector<double> p(480, -1), a(480, -1);
    ASSERT_TRUE(CalculateLineFunction(100, 30, 110, 80, p.data(), a.data()));
    for (int i = 100; i < 110; ++i) {
        EXPECT_EQ(i, p[i]);
        EXPECT_EQ(30 + 5 * (i - 100), a[i]);
    }
    EXPECT_EQ(-1, a[110]);
    EXPECT_TRUE(CalculateLineFunction(50, 10, 50, 20, p.data(), a.data())) << "a vertical segment";
    EXPECT_EQ(-1, a[50]);
    EXPECT_FALSE(CalculateLineFunction(0, 0, 10, 10, nullptr, a.data()));
    // Segments that reach beyond the table write only inside it.
    EXPECT_TRUE(CalculateLineFunction(-1e300, 5, 1e300, 5, p.data(), a.data()));
    EXPECT_EQ(5, a[0]);
    EXPECT_EQ(5, a[479]);
}

TEST(Envelope, KpaTableRunsFrom0To47Point8)
{
    BPEnvelopeCustomized r = CustomRecord(0.1);
    r.dTopPressure = 47.9;
    std::vector<double> p(479, -1), a(479, -1);
    ASSERT_EQ(1, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 479, 1));
    for (int j = 0; j < 479; ++j)
        EXPECT_NEAR(j / 10.0, p[j], 1e-9) << j;
    EXPECT_EQ(30.0, a[478]) << "the last segment's value";
}

TEST(Envelope, CountMustFitTheUnitAndPointersAreRequired)
{
    BPEnvelopeCustomized r = CustomRecord(1.0);
    std::vector<double> p(480), a(480);
    EXPECT_EQ(0, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, 1));
    EXPECT_EQ(0, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 479, 0));
    EXPECT_EQ(0, VasqGetEnvelopeRawData(nullptr, p.data(), a.data(), 360, 0));
    EXPECT_EQ(0, VasqGetEnvelopeRawData(&r, nullptr, a.data(), 360, 0));
    EXPECT_EQ(0, VasqSetEnvelopeRawData(&r, p.data(), nullptr, 360));
    EXPECT_EQ(0, VasqGetEnvelopeParam(BP_METHOD_CUSTOMIZED, nullptr));
    // Unit -1 is the library's current unit, mmHg without a device.
    EXPECT_EQ(1, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, -1));
    EXPECT_EQ(0, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 479, -1));
    // Control points far outside the table write nothing beyond it.
    r.dTopPressure = 5000;
    r.dBottomPressure = -5000;
    EXPECT_EQ(1, VasqGetEnvelopeRawData(&r, p.data(), a.data(), 360, 0));
}
