// The simulated device's leakage figures, read with the commands the library's
// runners use: the same simulated leak in either unit, in the counts the
// library divides by its resolution (10 for mmHg, 100 for kPa).
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "protocol/DeviceControl.h"
#include "protocol/Leakage.h"
#include "protocol/Units.h"

namespace {

constexpr double kKpaPerMmhg = 0.133322;

struct LeakFigures {
    double calibration = -1;
    double leak = -1;
    int code = -1;
    double rate = -1;
};

class SimulatedLeak : public ConnectedTest {
protected:
    // Runs the function through the device's own status sequence to completion.
    LeakFigures Run(FUNCTION_ENUM function, int unit)
    {
        LeakFigures figures;
        const float divisor = unit == 1 ? 100.0f : 10.0f;
        EXPECT_TRUE(SetUnit(m_instrument, unit));
        EXPECT_TRUE(SwitchDeviceOperationMode(m_instrument, function));
        EXPECT_TRUE(SetLeakTestSetting(m_instrument, unit == 1 ? 26.7 : 200.0, 60, 0.0, unit));
        EXPECT_TRUE(EnableDeviceStartTest(m_instrument, true));
        // Each status query moves the simulated sequence on.
        EXPECT_TRUE(WaitUntil([this] { return GetDeviceStatus(m_instrument) == 14; }, std::chrono::seconds(5)));
        EXPECT_TRUE(GetLeakageTestResult(m_instrument, &figures.calibration, &figures.leak, &figures.code, divisor));
        EXPECT_TRUE(GetLeakCalibrationRate(m_instrument, &figures.rate, divisor));
        EXPECT_TRUE(EnableDeviceStartTest(m_instrument, false));
        return figures;
    }
};

}  // namespace

TEST_F(SimulatedLeak, TestAndCalibrationReportTheSameLeakInKpaAsInMmhg)
{
    for (FUNCTION_ENUM function : {FUNCTION_LEAKAGE_TEST, FUNCTION_LEAKAGE_CALIBRATION}) {
        const LeakFigures mmhg = Run(function, 0);
        const LeakFigures kpa = Run(function, 1);
        EXPECT_GT(mmhg.leak, 0.0);
        EXPECT_GT(mmhg.calibration, 0.0);
        EXPECT_GT(mmhg.rate, 0.0);
        // Within one count of 0.01 kPa.
        EXPECT_NEAR(mmhg.leak * kKpaPerMmhg, kpa.leak, 0.01) << function;
        EXPECT_NEAR(mmhg.calibration * kKpaPerMmhg, kpa.calibration, 0.01) << function;
        EXPECT_NEAR(mmhg.rate * kKpaPerMmhg, kpa.rate, 0.01) << function;
        EXPECT_EQ(mmhg.code, kpa.code);
    }
}
