// A test started while another runs on the instrument, through the exported
// functions against the simulated device, once with a device that replaces the
// running test by the new one and once with one that ignores such a start:
// either way a start reports only what its own test produced.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ConnectedDevice.h"
#include "vasq.h"

using vasqsim::DeviceModel;
using vasqsim::Frame;
using namespace std::chrono_literals;

namespace {

struct Report {
    VasqStatus status;
    std::vector<double> values;
};

class Reports : public e2e::Recorder<Report> {
public:
    bool WaitForStatus(VasqStatus status, std::chrono::milliseconds timeout)
    {
        return WaitFor([&] { return Has(status); }, timeout);
    }
    bool Has(VasqStatus status)
    {
        const auto reports = Get();
        return std::any_of(reports.begin(), reports.end(), [&](const Report& r) { return r.status == status; });
    }
    std::vector<Report> With(VasqStatus status)
    {
        std::vector<Report> found;
        for (const Report& r : Get()) {
            if (r.status == status)
                found.push_back(r);
        }
        return found;
    }
    // "RUNNING 0/0/0/0, COMPLETED 100/60/72/1", for the test's output.
    std::string Text()
    {
        static const char* const kNames[] = {"NONE", "WAIT_STABLE", "RUNNING", "HOLDING", "COMPLETED"};
        std::string text;
        for (const Report& r : Get()) {
            text += text.empty() ? "" : ", ";
            text += kNames[r.status >= 0 && r.status <= 4 ? r.status : 0];
            for (size_t i = 0; i < r.values.size(); ++i) {
                char value[32];
                snprintf(value, sizeof(value), "%s%g", i == 0 ? " " : "/", r.values[i]);
                text += value;
            }
        }
        return text;
    }
};

Reports* g_bp = nullptr;
Reports* g_static = nullptr;

void OnBP(VasqStatus s, double r1, double r2, double r3, double r4)
{
    g_bp->Add({s, {r1, r2, r3, r4}});
}

void OnStatic(VasqStatus s, double wait, int result)
{
    g_static->Add({s, {wait, static_cast<double>(result)}});
}

BPCommon Pressures(double systolic, double diastolic)
{
    return BPCommon{BP_METHOD_DEFAULT, systolic, diastolic, 72, 1.0, 0.0, 0.0};
}

// What the simulated device reports for a BP simulation of 100/60 mmHg, 72 bpm, pulse volume 1.0.
const std::vector<double> kResultsOf100Over60 = {100, 60, 72, 1.0};

// The parameter: whether the device ignores a start that comes during a test.
class StartDuringTest : public e2e::ConnectedDevice, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        g_bp = &m_bp;
        g_static = &m_static;
        ConnectedDevice::SetUp();
        WithModel([](DeviceModel& m) { m.ignoresStartDuringTest = GetParam(); });
    }
    void TearDown() override
    {
        printf("  BP reports: %s\n", m_bp.Text().c_str());
        ConnectedDevice::TearDown();
        g_bp = g_static = nullptr;
    }
    // Whatever else the BP simulation reported, every completion carries this start's results.
    void ExpectOnlyCompletionsOf100Over60()
    {
        for (const Report& r : m_bp.With(STATUS_COMPLETED))
            EXPECT_EQ(kResultsOf100Over60, r.values) << m_bp.Text();
    }
    int IgnoredStarts()
    {
        int ignored = 0;
        WithModel([&](DeviceModel& m) { ignored = m.ignoredStarts; });
        return ignored;
    }

    Reports m_bp;
    Reports m_static;
};

// The order of the codes in the log: the first of `first` comes before the last of `then`.
bool SentBefore(const std::string& codes, const std::string& first, const std::string& then)
{
    const size_t a = codes.find(first);
    const size_t b = codes.rfind(then);
    return a != std::string::npos && b != std::string::npos && a < b;
}

}  // namespace

TEST_P(StartDuringTest, AStartEndsThisProgramsRunningTestAndReportsItsOwnResults)
{
    // A static pressure of this program runs (its callback has heard it wait to stabilise) when the BP
    // simulation starts.
    ASSERT_EQ(1, VasqRunStaticPressure(150, -1, OnStatic, false));
    ASSERT_TRUE(m_static.WaitForStatus(STATUS_WAIT_STABLE, 5s));
    m_device->ClearLog();
    BPCommon bp = Pressures(100, 60);
    ASSERT_EQ(1, VasqRunBPTest(&bp, OnBP));
    ASSERT_TRUE(m_bp.WaitForStatus(STATUS_COMPLETED, 10s)) << m_bp.Text();
    ExpectOnlyCompletionsOf100Over60();
    EXPECT_TRUE(SentBefore(Codes(), "I133", "I132")) << "the static test is stopped first: " << Codes();
    EXPECT_EQ(0, IgnoredStarts());
    EXPECT_FALSE(m_static.Has(STATUS_COMPLETED)) << "the static test was ended, not completed";
    VasqStopTest();
}

TEST_P(StartDuringTest, ATestLeftRunningWithoutACallbackIsEndedToo)
{
    // As a tool that starts a test and leaves it running does.
    BPCommon first = Pressures(140, 90);
    ASSERT_EQ(1, VasqRunBPTest(&first, nullptr));
    BPCommon second = Pressures(100, 60);
    ASSERT_EQ(1, VasqRunBPTest(&second, OnBP));
    ASSERT_TRUE(m_bp.WaitForStatus(STATUS_COMPLETED, 10s)) << m_bp.Text();
    ExpectOnlyCompletionsOf100Over60();
    EXPECT_EQ(0, IgnoredStarts());
    VasqStopTest();
}

// Another program's static test runs on the instrument: a device that takes
// the start runs the BP simulation; one that ignores it goes on with the
// static test, and the worker then ends with STATUS_NONE instead of reading
// a result that is not this start's.
TEST_P(StartDuringTest, AnotherProgramsTestIsNeverReportedAsThisStartsResult)
{
    WithModel([](DeviceModel& m) {
        m.Handle(Frame{'I', 136, 0, {0}});
        m.Handle(Frame{'I', 132, 0, {}});
    });
    BPCommon bp = Pressures(100, 60);
    ASSERT_EQ(1, VasqRunBPTest(&bp, OnBP));
    if (GetParam()) {
        ASSERT_TRUE(m_bp.WaitForStatus(STATUS_NONE, 10s)) << m_bp.Text();
        EXPECT_FALSE(m_bp.Has(STATUS_COMPLETED)) << m_bp.Text();
        EXPECT_EQ(0u, Count('R', 1)) << "no result is read";
        EXPECT_EQ(1, IgnoredStarts());
        EXPECT_TRUE(WaitForIdleThreads()) << "the worker has ended";
    } else {
        ASSERT_TRUE(m_bp.WaitForStatus(STATUS_COMPLETED, 10s)) << m_bp.Text();
        ExpectOnlyCompletionsOf100Over60();
        EXPECT_FALSE(m_bp.Has(STATUS_NONE));
    }
    VasqStopTest();
}

INSTANTIATE_TEST_SUITE_P(Instrument, StartDuringTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "IgnoresAStartDuringATest" : "ReplacesTheRunningTest";
                         });

class StartSequence : public e2e::ConnectedDevice {
protected:
    void SetUp() override
    {
        g_bp = &m_bp;
        ConnectedDevice::SetUp();
    }
    void TearDown() override
    {
        ConnectedDevice::TearDown();
        g_bp = nullptr;
    }
    void Script(std::deque<uint8_t> statuses)
    {
        WithModel([&](DeviceModel& m) {
            m.runsStatusSequences = false;
            m.scriptedStatuses = statuses;
        });
    }

    Reports m_bp;
};

// With nothing of this program running (none started, or the last one seen
// complete), a start sends what it always sent: no stop ahead of it.
TEST_F(StartSequence, NothingIsAddedWhenNoTestOfThisProgramMayRun)
{
    BPCommon bp = Pressures(100, 60);
    ASSERT_EQ(1, VasqRunBPTest(&bp, OnBP));
    EXPECT_EQ("P137 I136 I140 P8 P136 I132", Codes().substr(0, 27));
    ASSERT_TRUE(m_bp.WaitForStatus(STATUS_COMPLETED, 10s)) << m_bp.Text();
    m_device->ClearLog();
    ASSERT_EQ(1, VasqRunBPTest(&bp, OnBP));
    EXPECT_EQ("P137 I136 I140 P8 P136 I132", Codes().substr(0, 27)) << "the last test was seen complete";
    VasqStopTest();
}

// A completion the device still shows from before is not this start's: the
// result is read once the device has shown the BP simulation running.
TEST_F(StartSequence, ACompletionShownBeforeTheTestRanIsNotReported)
{
    Script({14, 14, 14, 10, 10, 14});
    BPCommon bp = Pressures(100, 60);
    ASSERT_EQ(1, VasqRunBPTest(&bp, OnBP));
    ASSERT_TRUE(m_bp.WaitForStatus(STATUS_COMPLETED, 5s)) << m_bp.Text();
    const auto reports = m_bp.Get();
    ASSERT_EQ(3u, reports.size()) << m_bp.Text();
    EXPECT_EQ(STATUS_RUNNING, reports[0].status) << "the first report stays RUNNING";
    EXPECT_EQ(STATUS_RUNNING, reports[1].status);
    EXPECT_EQ(STATUS_COMPLETED, reports[2].status);
    EXPECT_EQ(1u, Count('R', 1));
    VasqStopTest();
}

namespace {
Reports* g_leak = nullptr;
void OnLeak(VasqStatus s, double wait, double leak, int code)
{
    g_leak->Add({s, {wait, leak, static_cast<double>(code)}});
}
}  // namespace

// The first report of a leakage test gives the device's status, but a
// completion shown then is the test before's: it is no COMPLETED.
TEST_F(StartSequence, ALeakageTestsFirstReportIsNoCompletionFromBefore)
{
    Reports leak;
    g_leak = &leak;
    Script({14, 14, 13, 2, 14});
    ASSERT_EQ(1, VasqRunLeakageTest(100, 60, 0.5, OnLeak));
    ASSERT_TRUE(leak.WaitForStatus(STATUS_COMPLETED, 5s)) << leak.Text();
    VasqStopTest();
    printf("  leakage reports: %s\n", leak.Text().c_str());
    const auto reports = leak.Get();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(STATUS_NONE, reports[0].status) << leak.Text();
    ASSERT_EQ(1u, leak.With(STATUS_COMPLETED).size()) << leak.Text();
    EXPECT_EQ(1u, Count('R', 2)) << "the result is read once, after the test ran";
    g_leak = nullptr;
}

// A device that shows no test of the kind for 5 s has not taken the start.
TEST_F(StartSequence, AStartTheDeviceNeverShowsRunningEndsWithNone)
{
    Script({0});
    BPCommon bp = Pressures(100, 60);
    ASSERT_EQ(1, VasqRunBPTest(&bp, OnBP));
    ASSERT_TRUE(m_bp.WaitForStatus(STATUS_NONE, 10s)) << m_bp.Text();
    EXPECT_EQ(2u, m_bp.Size()) << m_bp.Text();
    EXPECT_EQ(0u, Count('R', 1));
    EXPECT_TRUE(WaitForIdleThreads());
    m_device->ClearLog();
    ASSERT_EQ(1, VasqRunBPTest(&bp, OnBP));
    EXPECT_EQ("P137", Codes().substr(0, 4)) << "that start is not this program's running test: no stop first";
    VasqStopTest();
}
