// The unit the library holds and the values scaled by it, and getters whose
// outputs may be null; through the shared library's exported functions,
// against the simulated device.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "ConnectedDevice.h"
#include "vasq.h"
#include "vasq_service.h"

using vasqsim::DeviceModel;
using vasqsim::FaultKind;
using namespace std::chrono_literals;

namespace {

struct LeakReport {
    VasqStatus status;
    double value;
};

e2e::Recorder<LeakReport>* g_leaks = nullptr;

void OnLeak(VasqStatus status, double, double value, int)
{
    g_leaks->Add({status, value});
}

void IgnoreStatic(VasqStatus, double, int) {}

class Units : public e2e::ConnectedDevice {
protected:
    void SetUp() override
    {
        g_leaks = &m_leaks;
        ConnectedDevice::SetUp();
        // Leak results of raw 250: 25.0 in mmHg, 2.5 in kPa. The calibration
        // rate is 25 mmHg, which the device gives as 250 in mmHg and as 333
        // (3.33 kPa) in kPa.
        WithModel([](DeviceModel& m) {
            m.runsStatusSequences = false;
            m.leakCalibrationRateMmhg = 25.0;
            m.leakageResult = {250, 0, 250, 0, 3, 0};
        });
    }
    void TearDown() override
    {
        ConnectedDevice::TearDown();
        g_leaks = nullptr;
    }
    void DeviceUnit(uint8_t unit)
    {
        WithModel([unit](DeviceModel& m) { m.deviceSettings[1] = unit; });
    }
    // The value a completed leakage run reports.
    double LeakReported(bool calibration)
    {
        const size_t before = m_leaks.Size();
        WithModel([](DeviceModel& m) { m.scriptedStatuses = {10, 14}; });
        const int started = calibration ? VasqRunLeakageCalibration(10.0, OnLeak)
                                        : VasqRunLeakageTest(10.0, 60, 0.5, OnLeak);
        EXPECT_EQ(1, started);
        EXPECT_TRUE(m_leaks.WaitFor(
            [&] { return m_leaks.Size() > before && m_leaks.Get().back().status == STATUS_COMPLETED; }, 5s));
        return m_leaks.Size() > before ? m_leaks.Get().back().value : -1.0;
    }
    double CalibrationRate()
    {
        double rate = -1;
        EXPECT_EQ(1, VasqGetLeakageCalibrationRate(&rate));
        return rate;
    }
    // The first set-point of the last static-pressure write, as it travelled.
    int StaticSetPoint()
    {
        const std::vector<uint8_t> record = LastPayload('P', 132);
        return record.size() < 4 ? -1 : record[2] | (record[3] << 8);
    }

    e2e::Recorder<LeakReport> m_leaks;
};

}  // namespace

TEST_F(Units, LeakValuesFollowTheUnitReadWithoutSampling)
{
    DeviceUnit(1);
    ASSERT_EQ(1, VasqGetPressureUnit());
    EXPECT_NEAR(3.33, CalibrationRate(), 1e-9);
    EXPECT_EQ(2.5, LeakReported(false));
    EXPECT_EQ(2.5, LeakReported(true));
}

TEST_F(Units, LeakValuesFollowAUnitSwitchBothWays)
{
    ASSERT_EQ(1, VasqSetPressureUnit(1));
    EXPECT_NEAR(3.33, CalibrationRate(), 1e-9);
    EXPECT_EQ(2.5, LeakReported(false));
    ASSERT_EQ(1, VasqSetPressureUnit(0));
    EXPECT_EQ(25.0, CalibrationRate());
    EXPECT_EQ(25.0, LeakReported(true));
}

TEST_F(Units, AFailedOrUnknownUnitReadKeepsTheUnitTheLibraryHolds)
{
    DeviceUnit(1);
    ASSERT_EQ(1, VasqGetPressureUnit());
    m_device->InjectFault(FaultKind::NoAnswer, 'P', 3);
    EXPECT_EQ(0, VasqGetPressureUnit()) << "a failed read answers 0";
    ASSERT_EQ(1, VasqRunStaticPressure(10.0, -1, IgnoreStatic, false));
    EXPECT_EQ(100, StaticSetPoint()) << "10 kPa still travels as 100";
    EXPECT_NEAR(3.33, CalibrationRate(), 1e-9);
    VasqStopTest();

    DeviceUnit(2);
    EXPECT_EQ(0, VasqGetPressureUnit()) << "unit code 2 is no unit";
    ASSERT_EQ(1, VasqRunStaticPressure(10.0, -1, IgnoreStatic, false));
    EXPECT_EQ(100, StaticSetPoint());
    VasqStopTest();

    DeviceUnit(0);
    EXPECT_EQ(0, VasqGetPressureUnit());
    ASSERT_EQ(1, VasqRunStaticPressure(30.0, -1, IgnoreStatic, false));
    EXPECT_EQ(30, StaticSetPoint()) << "a good read of mmHg is taken";
    EXPECT_EQ(25.0, CalibrationRate());
}

TEST_F(Units, OnlyTheTwoUnitsAreSent)
{
    for (const int unit : {2, -1, 256}) {
        EXPECT_EQ(0, VasqSetPressureUnit(unit));
        EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, VasqGetLastError());
    }
    EXPECT_EQ(0u, Count('P', 131)) << "no unit code but 0 and 1 reaches the device";
    ASSERT_EQ(1, VasqSetPressureUnit(1));
    EXPECT_EQ(1, VasqGetPressureUnit());
}

TEST_F(Units, NullOutputsAreSkippedAndTheReadStillHappens)
{
    bool bit1 = false;
    bool bit0 = true;
    EXPECT_EQ(1, VasqGetAirPortStatus(&bit1, nullptr));
    EXPECT_TRUE(bit1);
    EXPECT_EQ(1, VasqGetAirPortStatus(nullptr, &bit0));
    EXPECT_FALSE(bit0);
    EXPECT_EQ(1, VasqGetAirPortStatus(nullptr, nullptr));
    EXPECT_EQ(3u, Count('P', 9));
    EXPECT_EQ(1, VasqGetEnvelopeParam(BP_METHOD_CUSTOMIZED, nullptr));
    EXPECT_EQ(1u, Count('P', 8));
    EXPECT_EQ(1, VasqGetLeakageCalibrationRate(nullptr));
    EXPECT_EQ(1u, Count('P', 6));
    // The reads fail like any other when the device does not answer.
    m_device->InjectFault(FaultKind::Status, 'P', 9);
    EXPECT_EQ(0, VasqGetAirPortStatus(&bit1, nullptr));
}

namespace {
std::atomic<int> g_samples{0};
void CountSample(double)
{
    g_samples.fetch_add(1);
}
}  // namespace

// A status query that fails reads as "no test", so the switch goes on to
// write the unit, and a sampling run is restarted in the new unit.
TEST_F(Units, AFailedStatusQueryDoesNotStopTheSwitch)
{
    m_device->InjectFault(FaultKind::NoAnswer, 'I', 0);
    EXPECT_EQ(1, VasqSetPressureUnit(1));
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError()) << VasqGetLastErrorText();
    EXPECT_EQ(1u, Count('P', 131)) << "the unit was not written";
    EXPECT_EQ(1, VasqGetPressureUnit());

    g_samples.store(0);
    ASSERT_EQ(1, VasqStartSampling(CountSample));
    e2e::Condition samples;
    ASSERT_TRUE(samples.WaitFor([] { return g_samples.load() >= 20; }, 5s));
    m_device->InjectFault(FaultKind::NoAnswer, 'I', 0);
    EXPECT_EQ(1, VasqSetPressureUnit(0));
    EXPECT_EQ(2u, Count('P', 131));
    const int before = g_samples.load();
    EXPECT_TRUE(samples.WaitFor([&] { return g_samples.load() >= before + 20; }, 5s)) << "sampling was not restarted";
    VasqStopSampling();
    EXPECT_EQ(0, VasqGetPressureUnit());
}
