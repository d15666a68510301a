#include <gtest/gtest.h>

#include <cmath>

#include "TestSupport.h"
#include "protocol/DeviceControl.h"
#include "protocol/Units.h"
#include "device/Device.h"

using vasqsim::DeviceModel;
using vasqsim::FaultKind;
using Bytes = std::vector<uint8_t>;

TEST(Limits, EveryBoundOfBothTablesClampsAndNaNGivesTheLowerBound)
{
    for (int unit : {0, 1}) {
        const double* table = unit == 0 ? g_limitMmhg : g_limitKpa;
        for (int kind = 0; kind < kLimitTableSize; kind += 2) {
            const double upper = table[kind];
            const double lower = table[kind + 1];
            SCOPED_TRACE("unit " + std::to_string(unit) + " kind " + std::to_string(kind));
            EXPECT_DOUBLE_EQ(upper, CheckPressureLimit(kind, upper, unit));
            EXPECT_DOUBLE_EQ(lower, CheckPressureLimit(kind, lower, unit));
            EXPECT_DOUBLE_EQ(upper, CheckPressureLimit(kind, upper + 1000, unit));
            EXPECT_DOUBLE_EQ(lower, CheckPressureLimit(kind, lower - 1000, unit));
            EXPECT_DOUBLE_EQ(lower, CheckPressureLimit(kind, std::nan(""), unit));
        }
    }
    // The kPa bounds are constants of their own, not conversions.
    EXPECT_DOUBLE_EQ(2.7, g_limitKpa[LIMIT_STATIC_PRESSURE + 1]);
    EXPECT_DOUBLE_EQ(2.6, g_limitKpa[LIMIT_OVERPRESSURE_THIRD + 1]);
    EXPECT_DOUBLE_EQ(42.66, CheckPressureLimit(LIMIT_SYSTOLIC, 45, 1));
    EXPECT_DOUBLE_EQ(35.99, CheckPressureLimit(LIMIT_DIASTOLIC, 40, 1));
    EXPECT_DOUBLE_EQ(0.6, CheckPressureLimit(LIMIT_SYSTOLIC, 0.1, 1));
}

TEST(Limits, PressuresRoundHalfAwayFromZeroBeforeClamping)
{
    EXPECT_DOUBLE_EQ(400.0, CheckPressureLimit(LIMIT_STATIC_PRESSURE, 450, 0));
    EXPECT_DOUBLE_EQ(20.0, CheckPressureLimit(LIMIT_STATIC_PRESSURE, 10, 0));
    EXPECT_DOUBLE_EQ(150.0, CheckPressureLimit(LIMIT_STATIC_PRESSURE, 150.4, 0));
    EXPECT_DOUBLE_EQ(151.0, CheckPressureLimit(LIMIT_STATIC_PRESSURE, 150.5, 0));
    EXPECT_DOUBLE_EQ(-3.0, CheckPressureLimit(LIMIT_POINT_OFFSET, -2.5, 0));
    EXPECT_DOUBLE_EQ(20.0, CheckPressureLimit(LIMIT_STATIC_PRESSURE, 20.04, 1));
    EXPECT_DOUBLE_EQ(2.7, CheckPressureLimit(LIMIT_STATIC_PRESSURE, 1.0, 1));
    EXPECT_DOUBLE_EQ(53.3, CheckPressureLimit(LIMIT_STATIC_PRESSURE, 60.0, 1));
    EXPECT_DOUBLE_EQ(-2.6, CheckPressureLimit(LIMIT_POINT_OFFSET, -3.0, 1));
    EXPECT_DOUBLE_EQ(12.3, CheckPressureLimit(LIMIT_SYSTOLIC, 12.34, 1));
    // Heart rate and pulse volume are clamped without rounding.
    EXPECT_DOUBLE_EQ(0.1, CheckLimit(LIMIT_PULSE_VOLUME, 0.05));
    EXPECT_DOUBLE_EQ(1.23, CheckLimit(LIMIT_PULSE_VOLUME, 1.23));
    EXPECT_DOUBLE_EQ(30.0, CheckLimit(LIMIT_HEART_RATE, 30));
    EXPECT_DOUBLE_EQ(300.0, CheckLimit(LIMIT_HEART_RATE, 301));
    EXPECT_DOUBLE_EQ(30.0, CheckLimit(LIMIT_HEART_RATE, std::nan("")));
}

using UnitCommands = ConnectedTest;

TEST_F(UnitCommands, UnitIsReadModifyWriteOfTheSettingsRecord)
{
    EXPECT_EQ(0, GetUnit(m_instrument));
    ASSERT_TRUE(SetUnit(m_instrument, 1));
    EXPECT_EQ("P3 P3 P131", RequestCodes());
    EXPECT_EQ(Bytes({3, 1, 0, 1}), LastPayload('P', 131));
    EXPECT_EQ(1, GetUnit(m_instrument));
    EXPECT_EQ(0, m_instrument.m_nPressureUnit.load()) << "SetUnit leaves the process-wide unit alone";

    m_device->InjectFault(FaultKind::NoAnswer, 'P', 3);
    EXPECT_EQ(0, GetUnit(m_instrument)) << "a failed read reads as mmHg";
}

TEST_F(UnitCommands, StaticPressureKeepsWhatTheDeviceReported)
{
    WithModel([](DeviceModel& m) { m.airPortMask = 0xFF; });
    m_instrument.m_nAirPort = 0x05;
    ASSERT_TRUE(SetStaticPressure(m_instrument, 123.4, -1, false, 0));
    EXPECT_EQ("P137 P4 P132", RequestCodes());
    EXPECT_EQ(Bytes({0x05}), LastPayload('P', 137));
    Bytes expected = {0x01, 0x00, 123, 0, 150, 0, 200, 0, 250, 0, 44, 1, 94, 1, 144, 1, 194, 1, 244, 1, 0x2C, 0x01,
                      0x34, 0x12, 0};
    EXPECT_EQ(expected, LastPayload('P', 132));

    ASSERT_TRUE(SetStaticPressure(m_instrument, 12.34, 7, true, 1));
    expected[2] = 123;
    expected[22] = 7;
    expected[23] = 0;
    expected[24] = 1;
    EXPECT_EQ(expected, LastPayload('P', 132));
    m_instrument.m_nAirPort = 0;
}

TEST_F(UnitCommands, FailedAirPortUpdateSendsNothingMore)
{
    m_device->InjectFault(FaultKind::Status, 'P', 137);
    EXPECT_FALSE(SetStaticPressure(m_instrument, 100, 0, false, 0));
    EXPECT_EQ("P137", RequestCodes());
}

TEST_F(UnitCommands, StaticPressureListsSetMaskAndValues)
{
    double pressures[] = {100.7, 200, -30.9};
    bool enabled[] = {true, false, true};
    ASSERT_TRUE(SetStaticPressureEx(m_instrument, pressures, enabled, 3, 9, false, 0));
    const Bytes record = LastPayload('P', 132);
    ASSERT_EQ(25u, record.size());
    EXPECT_EQ(0b101, record[0] | (record[1] << 8));
    EXPECT_EQ(100, record[2]);
    EXPECT_EQ(200, record[4]);
    EXPECT_EQ(-30, static_cast<int16_t>(record[6] | (record[7] << 8)));
    EXPECT_EQ(250, record[8]) << "slots past the count keep the device's values";
    EXPECT_EQ(9, record[22]);

    m_device->ClearLog();
    double eleven[11] = {};
    bool all[11] = {};
    EXPECT_FALSE(SetStaticPressureEx(m_instrument, eleven, all, 11, 0, false, 0));
    EXPECT_FALSE(SetStaticPressureEx(m_instrument, eleven, all, -1, 0, false, 0));
    EXPECT_FALSE(SetStaticPressureAutoSequence(m_instrument, eleven, all, 11, 0, false, true, true, 1, 0));
    EXPECT_FALSE(SetStaticPressureEx(m_instrument, nullptr, nullptr, 2, 0, false, 0));
    EXPECT_EQ("", RequestCodes()) << "a refused list must not reach the device";

    ASSERT_TRUE(SetStaticPressureAutoSequence(m_instrument, pressures, enabled, 3, -5, true, false, true, 0x1203, 1));
    const Bytes step = LastPayload('P', 139);
    ASSERT_EQ(27u, step.size());
    EXPECT_EQ(0b101, step[0]);
    EXPECT_EQ(1007 & 0xFF, step[2]);
    EXPECT_EQ(0, step[8]) << "an auto-sequence step is built from zero";
    EXPECT_EQ(0, step[22]) << "a negative parameter travels as 0";
    EXPECT_EQ(1, step[24]);
    EXPECT_EQ(0x01, step[25]);
    EXPECT_EQ(0x03, step[26]);
}

TEST_F(UnitCommands, SmallCommandsScaleAndTruncate)
{
    ASSERT_TRUE(SetFixedStaticPressure(m_instrument, -12.39, 1));
    EXPECT_EQ(Bytes({0x85, 0xFF}), LastPayload('P', 143));
    ASSERT_TRUE(SetStandPressure(m_instrument, 101.325));
    EXPECT_EQ(Bytes({0x94, 0x27, 0, 0}), LastPayload('I', 134));
    ASSERT_TRUE(SetStandPressure(m_instrument, -1.5));
    EXPECT_EQ(Bytes({0x6A, 0xFF, 0xFF, 0xFF}), LastPayload('I', 134));
    ASSERT_TRUE(SetFixedStaticPressure(m_instrument, 1e300, 0)) << "an absurd value still travels as a defined integer";
    ASSERT_TRUE(SetMaxNumberAutoSequence(m_instrument, 0x1FF));
    EXPECT_EQ(Bytes({0xFF}), LastPayload('P', 129));

    double wait = -1;
    ASSERT_TRUE(GetWaitStableTime(m_instrument, &wait));
    EXPECT_DOUBLE_EQ(3.7, wait);
    int result = -1;
    WithModel([](DeviceModel& m) { m.staticResult = 200; });
    ASSERT_TRUE(GetStaticPressureTestResult(m_instrument, &result));
    EXPECT_EQ(200, result);
    EXPECT_TRUE(GetStaticPressureTestResult(m_instrument, nullptr));

    m_device->InjectFault(FaultKind::NoAnswer, 'I', 21);
    EXPECT_FALSE(GetWaitStableTime(m_instrument, &wait));
    EXPECT_DOUBLE_EQ(3.7, wait) << "a failed getter leaves its output alone";
}

TEST_F(UnitCommands, RebaseZeroSendsOnlyWhatChanges)
{
    WithModel([](DeviceModel& m) { m.zeroBase = 1; });
    ASSERT_TRUE(RebaseZero(m_instrument, true));
    EXPECT_EQ("I20", RequestCodes());
    ASSERT_TRUE(RebaseZero(m_instrument, false));
    EXPECT_EQ("I20 I20 I148", RequestCodes());
    EXPECT_EQ(Bytes({0}), LastPayload('I', 148));
    m_device->InjectFault(FaultKind::Status, 'I', 148);
    EXPECT_FALSE(RebaseZero(m_instrument, true));
}
