#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/Leakage.h"
#include "protocol/Units.h"
#include "device/Device.h"

using vasqsim::DeviceModel;
using vasqsim::Fault;
using vasqsim::FaultKind;
using Bytes = std::vector<uint8_t>;

using LeakageCommands = ConnectedTest;

TEST_F(LeakageCommands, SettingsScaleByUnitAndRate)
{
    ASSERT_TRUE(SetLeakTestSetting(m_instrument, 300, 60, 0.0, 0));
    EXPECT_EQ(Bytes({0x2C, 0x01, 60, 0, 0, 0}), LastPayload('P', 134));
    ASSERT_TRUE(SetLeakTestSetting(m_instrument, 40.0, 60, 0.5, 1));
    EXPECT_EQ(Bytes({0x90, 0x01, 60, 0, 50, 0}), LastPayload('P', 134));
    EXPECT_EQ("P134 P134", RequestCodes()) << "nothing is read first";

    for (int unit : {0, 1}) {
        ASSERT_TRUE(SetLeakTestAutoSequenceSetting(m_instrument, 30, 2, 0.5, false, false, 4, unit));
        const Bytes step = LastPayload('P', 141);
        ASSERT_EQ(8u, step.size());
        EXPECT_EQ(5, step[4]) << "the rate of a step is not scaled by the unit";
        EXPECT_EQ(3, step[6]);
        EXPECT_EQ(4, step[7]);
    }
}

TEST_F(LeakageCommands, CalibrationRateAndResultsDivideAsTheDeviceExpects)
{
    double rate = 0;
    ASSERT_TRUE(GetLeakCalibrationRate(m_instrument, &rate, 10.0));
    EXPECT_EQ(Bytes({20, 0, 3, 0, 0, 0}), LastPayload('P', 6));
    EXPECT_DOUBLE_EQ(2.5, rate);
    ASSERT_TRUE(GetLeakCalibrationRate(m_instrument, &rate, 100.0));
    EXPECT_DOUBLE_EQ(0.25, rate);

    WithModel([](DeviceModel& m) { m.leakageResult = {1, 0, 7, 0, 9, 0xFF}; });
    double calibration = -1, leak = -1;
    int code = -1;
    ASSERT_TRUE(GetLeakageTestResult(m_instrument, &calibration, &leak, &code, 10.0f));
    EXPECT_EQ(static_cast<double>(0.1f), calibration) << "single precision, as the device's figures are";
    EXPECT_NE(0.1, calibration);
    EXPECT_EQ(static_cast<double>(0.7f), leak);
    EXPECT_EQ(9, code);

    m_device->InjectFault(FaultKind::NoAnswer, 'R', 2);
    EXPECT_FALSE(GetLeakageTestResult(m_instrument, &calibration, &leak, &code, 10.0f));
    EXPECT_EQ(9, code);
}

TEST_F(LeakageCommands, OverpressureIsReadModifyWrite)
{
    ASSERT_TRUE(SetOverpressureTestSetting(m_instrument, false, 300.9, 2.0, 53.3, 1));
    EXPECT_EQ("P7 P135", RequestCodes());
    EXPECT_EQ(Bytes({0, 0xC1, 0x0B, 20, 0, 0x15, 0x02}), LastPayload('P', 135));

    m_device->ClearLog();
    m_device->InjectFault(FaultKind::Status, 'P', 7);
    EXPECT_FALSE(SetOverpressureTestSetting(m_instrument, true, 100, 50, 100, 0));
    EXPECT_EQ("P7", RequestCodes()) << "nothing is written after a failed read";

    ASSERT_TRUE(SetOverpressureAutoSequenceTestSetting(m_instrument, true, 100, 50, 20, true, true, 2, 0));
    EXPECT_EQ(Bytes({1, 100, 0, 50, 0, 20, 0, 0, 2}), LastPayload('P', 142));

    WithModel([](DeviceModel& m) { m.overpressureResult = {0xB8, 0x0B, 45, 0, 10, 0, 0, 0, 1, 0, 2, 0}; });
    double r[6] = {};
    ASSERT_TRUE(GetOverpressureTestResult(m_instrument, &r[0], &r[1], &r[2], &r[3], &r[4], &r[5], 1));
    EXPECT_DOUBLE_EQ(300.0, r[0]);
    EXPECT_DOUBLE_EQ(4.5, r[1]);
    EXPECT_DOUBLE_EQ(1.0, r[2]);
    EXPECT_DOUBLE_EQ(0.2, r[5]);
    ASSERT_TRUE(GetOverpressureTestResult(m_instrument, &r[0], nullptr, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_DOUBLE_EQ(3000.0, r[0]);
}

using ControlCommands = ConnectedTest;

TEST_F(ControlCommands, AirPortMaskIsLocalUntilSent)
{
    ResetAirPort(m_instrument);
    EnableAirPort(m_instrument, 2, false);
    EXPECT_EQ(0x04, m_instrument.m_nAirPort.load());
    EnableAirPort(m_instrument, 0, false);
    EnableAirPort(m_instrument, 2, true);
    EXPECT_EQ(0x01, m_instrument.m_nAirPort.load());
    EnableAirPort(m_instrument, 8, false);
    EnableAirPort(m_instrument, -1, false);
    EXPECT_EQ(0x01, m_instrument.m_nAirPort.load()) << "ports without a bit change nothing";
    EXPECT_EQ("", RequestCodes());
    ASSERT_TRUE(UpdateAirPortRelay(m_instrument));
    EXPECT_EQ(Bytes({0x01}), LastPayload('P', 137));
    ResetAirPort(m_instrument);
    EXPECT_EQ(0, m_instrument.m_nAirPort.load());

    for (auto [status, bit1, bit0] : {std::tuple{0x0002, true, false}, {0x0001, false, true}, {0x0103, true, true}}) {
        WithModel([status = status](DeviceModel& m) { m.airPortStatus = static_cast<uint16_t>(status); });
        bool first = !bit1, second = !bit0;
        ASSERT_TRUE(GetAirPortStatus(m_instrument, &first, &second));
        EXPECT_EQ(bit1, first) << status;
        EXPECT_EQ(bit0, second) << status;
    }
}

TEST_F(ControlCommands, StopSignalsTheWorkersEvenWhenTheDeviceFails)
{
    m_instrument.m_hStopTestEvent.ResetEvent();
    m_device->InjectFault(FaultKind::Status, 'I', 133);
    EXPECT_FALSE(EnableDeviceStartTest(m_instrument, false));
    EXPECT_EQ(WAIT_SIGNALED, m_instrument.m_hStopTestEvent.WaitTimeout(0));
    EXPECT_EQ(WAIT_SIGNALED, m_instrument.m_hStopTestEvent.WaitTimeout(0)) << "the stop stays until the next start";
    ASSERT_TRUE(EnableDeviceStartTest(m_instrument, true));
    EXPECT_EQ(WAIT_TIMEDOUT, m_instrument.m_hStopTestEvent.WaitTimeout(0));
    EXPECT_EQ("I133 I132", RequestCodes());
}

TEST_F(ControlCommands, DebugModeSetsTheResolutionFirst)
{
    m_device->InjectFault(FaultKind::NoAnswer, 'I', 140);
    EXPECT_FALSE(EnableDeviceDebugMode(m_instrument, false, true, 0, false));
    EXPECT_FLOAT_EQ(100.0f, m_instrument.m_fPressureresolution.load());
    ASSERT_TRUE(EnableDeviceDebugMode(m_instrument, true, false, 0, true));
    EXPECT_FLOAT_EQ(10.0f, m_instrument.m_fPressureresolution.load());
    EXPECT_EQ(Bytes({1, 0, 1}), LastPayload('I', 140));
    ASSERT_TRUE(EnableDeviceDebugMode(m_instrument, false, false, 1, false));
    EXPECT_FLOAT_EQ(100.0f, m_instrument.m_fPressureresolution.load());
    m_instrument.m_fPressureresolution = 10.0f;
}

TEST_F(ControlCommands, SimpleCommandsCarryTheirBytes)
{
    WithModel([](DeviceModel& m) { m.scriptedStatuses = {13, 14}; });
    EXPECT_EQ(13u, GetDeviceStatus(m_instrument));
    EXPECT_EQ(14u, GetDeviceStatus(m_instrument));
    EXPECT_EQ(14u, GetDeviceStatus(m_instrument)) << "the last status stays";
    ASSERT_TRUE(SwitchDeviceOperationMode(m_instrument, FUNCTION_OVERPRESSURE_TEST));
    EXPECT_EQ(Bytes({5}), LastPayload('I', 136));
    ASSERT_TRUE(NotifyDeviceAPConnected(m_instrument, true));
    EXPECT_EQ(Bytes({1}), LastPayload('I', 135));
    ASSERT_TRUE(SetCalibrationPressureNumber(m_instrument, 258));
    EXPECT_EQ(Bytes({2}), LastPayload('I', 131));
    ASSERT_TRUE(EnableBuzzer(m_instrument));
    ASSERT_TRUE(StartDeviceBuzzer(m_instrument));
    ASSERT_TRUE(PausePump(m_instrument));
    int buzzes = 0, pauses = 0;
    WithModel([&](DeviceModel& m) {
        buzzes = m.buzzerCount;
        pauses = m.pumpPauses;
    });
    EXPECT_EQ(2, buzzes);
    EXPECT_EQ(1, pauses);

    EXPECT_TRUE(CheckSDCardStatus(m_instrument));
    EXPECT_TRUE(SDCardTest(m_instrument));
    WithModel([](DeviceModel& m) { m.sdCardPresent = 0; });
    EXPECT_FALSE(CheckSDCardStatus(m_instrument));
    unsigned char sd[8] = {};
    ASSERT_TRUE(ReadSDCard(m_instrument, 0x102, 0x0304, 8, sd));
    EXPECT_EQ(Bytes({0x04, 0x03, 8, 0, 0x02}), LastPayload('R', 5));
    EXPECT_EQ(0x04 + 7, sd[7]);
    EXPECT_FALSE(ReadSDCard(m_instrument, 0, 0, 8, nullptr));

    m_device->InjectFault(FaultKind::NoAnswer, 'I', 0);
    EXPECT_EQ(0u, GetDeviceStatus(m_instrument)) << "a failed query reads as status 0";

    m_device->ClearLog();
    ASSERT_TRUE(Restart(m_instrument)) << "the restart succeeds once written";
    ASSERT_TRUE(m_device->WaitForLogSize(1, std::chrono::seconds(5)));
    EXPECT_EQ("I146", RequestCodes());
}

TEST_F(ControlCommands, PictureUploadWaitsForAllButTheLastBlock)
{
    ASSERT_TRUE(WritePNGFileName(m_instrument, "logo.png"));
    std::string data(200, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i);
    m_device->ClearLog();
    ASSERT_TRUE(WritePNG(m_instrument, data.data(), static_cast<int>(data.size())));
    const auto log = Requests();
    ASSERT_EQ(3u, log.size());
    const size_t sizes[] = {104, 104, 16};
    const uint8_t offsets[] = {0, 96, 192};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(sizes[k], log[k].payload.size());
        EXPECT_EQ(Bytes({offsets[k], 0, 0, 0, 0, 0, 0, 0}), Bytes(log[k].payload.begin(), log[k].payload.begin() + 8));
        EXPECT_EQ(offsets[k], log[k].payload[8]);
    }
    std::string name;
    std::vector<uint8_t> picture;
    WithModel([&](DeviceModel& m) {
        name = m.pictureName;
        picture = m.picture;
    });
    EXPECT_EQ("logo.png", name);
    EXPECT_EQ(Bytes(data.begin(), data.end()), picture);

    // The last block's acknowledgement is the result, and it is not waited for beyond one read.
    Fault silentLast{FaultKind::NoAnswer};
    silentLast.after = 2;
    m_device->InjectFault(silentLast, 'I', 142);
    Stopwatch watch;
    EXPECT_FALSE(WritePNG(m_instrument, data.data(), static_cast<int>(data.size())));
    EXPECT_LT(watch.Ms(), 3000.0);

    m_device->ClearLog();
    ASSERT_TRUE(WritePNG(m_instrument, data.data(), 96));
    EXPECT_EQ(1u, Requests().size());
    EXPECT_EQ(104u, Requests()[0].payload.size());

    m_device->ClearLog();
    EXPECT_FALSE(WritePNG(m_instrument, data.data(), 0)) << "nothing sent, and no acknowledgement comes";
    EXPECT_EQ(0u, Requests().size());
}

TEST_F(ControlCommands, PictureNamesAndDataAreChecked)
{
    EXPECT_FALSE(WritePNGFileName(m_instrument, nullptr));
    EXPECT_FALSE(WritePNG(m_instrument, nullptr, 10));
    const std::string tooLong(256, 'n');
    EXPECT_FALSE(WritePNGFileName(m_instrument, tooLong.c_str()));
    EXPECT_EQ("", RequestCodes());
    const std::string longest(255, 'n');
    EXPECT_TRUE(WritePNGFileName(m_instrument, longest.c_str()));
    EXPECT_EQ(255u, LastPayload('I', 141).size());
}
