#include <gtest/gtest.h>

#include "TestSupport.h"
#include "protocol/BPSimulation.h"

using vasqsim::DeviceModel;
using vasqsim::Fault;
using vasqsim::FaultKind;
using Bytes = std::vector<uint8_t>;

namespace {

int U16(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8);
}

int I16(const Bytes& b, size_t at)
{
    return static_cast<int16_t>(U16(b, at));
}

BPCommon Common(double systolic, double diastolic, uint32_t heartRate, double pulseVolume, double sysOffset = 0,
                double diaOffset = 0)
{
    return {BP_METHOD_DEFAULT, systolic, diastolic, heartRate, pulseVolume, sysOffset, diaOffset};
}

}  // namespace

using BPCommands = ConnectedTest;

TEST_F(BPCommands, DefaultEnvelopeKeepsTheDevicesMethodOneRecord)
{
    std::array<uint8_t, 30> method1{};
    WithModel([&](DeviceModel& m) { method1 = m.envelopeParams[1]; });
    BPCommon p = Common(400, 80, 72, 1.0);
    ASSERT_TRUE(SetBPDefault(m_instrument, &p, 0));
    EXPECT_EQ("P8 P136", RequestCodes());
    EXPECT_EQ(Bytes({1}), LastPayload('P', 8));
    const Bytes sent = LastPayload('P', 136);
    ASSERT_EQ(30u, sent.size());
    for (size_t i : {0, 1, 2, 3, 6, 7, 8, 9, 12, 13, 14, 15, 20, 21, 22, 23, 24})
        EXPECT_EQ(method1[i], sent[i]) << "byte " << i;
    EXPECT_EQ(0, sent[25]);
    EXPECT_EQ(320, U16(sent, 4));
    EXPECT_DOUBLE_EQ(320, p.dSystolic);
    EXPECT_EQ(80, U16(sent, 10));
    EXPECT_EQ(72, U16(sent, 26));
    EXPECT_EQ(100, U16(sent, 28));
}

TEST_F(BPCommands, DefaultEnvelopeHoldsThePointsWithinTheirLimits)
{
    BPCommon p = Common(318, 10, 20, 0.05, 5, -25);
    ASSERT_TRUE(SetBPDefault(m_instrument, &p, 0));
    EXPECT_DOUBLE_EQ(315, p.dSystolic) << "318 + 5 clamped to 320, minus 5";
    EXPECT_DOUBLE_EQ(25, p.dDiastolic) << "10 - 25 clamped to 0, plus 25";
    EXPECT_DOUBLE_EQ(5, p.dSystolicOffset);
    EXPECT_DOUBLE_EQ(-20, p.dDiastolicOffset);
    EXPECT_EQ(30u, p.nHeartRate);
    EXPECT_DOUBLE_EQ(0.1, p.dPulseVolume);
    const Bytes sent = LastPayload('P', 136);
    EXPECT_EQ(315, U16(sent, 4));
    EXPECT_EQ(25, U16(sent, 10));
    EXPECT_EQ(5, I16(sent, 16));
    EXPECT_EQ(-20, I16(sent, 18));
    EXPECT_EQ(30, U16(sent, 26));
    EXPECT_EQ(10, U16(sent, 28));

    BPCommon high = Common(120, 80, 400, 2.5);
    ASSERT_TRUE(SetBPDefault(m_instrument, &high, 0));
    EXPECT_EQ(300, U16(LastPayload('P', 136), 26));
    EXPECT_EQ(200, U16(LastPayload('P', 136), 28));

    BPCommon truncated = Common(120, 80, 72, 0.29);
    ASSERT_TRUE(SetBPDefault(m_instrument, &truncated, 0));
    EXPECT_EQ(28, U16(LastPayload('P', 136), 28)) << "100 x 0.29 lies just below 29 and is truncated";
}

TEST_F(BPCommands, KpaValuesTravelInTenthsAndReadBack)
{
    BPCommon p = Common(12.34, 8.0, 72, 1.0);
    ASSERT_TRUE(SetBPDefault(m_instrument, &p, 1));
    EXPECT_DOUBLE_EQ(12.3, p.dSystolic);
    EXPECT_EQ(123, U16(LastPayload('P', 136), 4));
    EXPECT_EQ(80, U16(LastPayload('P', 136), 10));

    BPEnvelopeCustomized out{};
    ASSERT_TRUE(GetBPCustomParam(m_instrument, BP_METHOD_DEFAULT, &out, 1));
    EXPECT_DOUBLE_EQ(12.3, out.dSystolic);
    EXPECT_DOUBLE_EQ(8.0, out.dDiastolic);
    EXPECT_EQ(BP_METHOD_DEFAULT, out.eMethod);
    EXPECT_DOUBLE_EQ(1.0, out.dPulseVolume);
}

TEST_F(BPCommands, CustomEnvelopeWritesEveryFieldInRecordOrder)
{
    BPEnvelopeCustomized p = {BP_METHOD_CUSTOMIZED, 120.4, 80, 70, 1.5, -2, 3, 400, 180, 130, 95, 60, 10,
                              150,                  170,   180, 90, 20};
    ASSERT_TRUE(SetBPCustom(m_instrument, &p, 0));
    EXPECT_EQ(Bytes({1}), LastPayload('P', 8));
    EXPECT_DOUBLE_EQ(120, p.dSystolic);
    EXPECT_DOUBLE_EQ(359, p.dTopPressure);
    const Bytes sent = LastPayload('P', 136);
    const Bytes expectedPressures = {0x67, 0x01, 180, 0, 120, 0, 130, 0, 95, 0, 80, 0, 60, 0, 10, 0};
    EXPECT_EQ(expectedPressures, Bytes(sent.begin(), sent.begin() + 16));
    EXPECT_EQ(-2, I16(sent, 16));
    EXPECT_EQ(3, I16(sent, 18));
    EXPECT_EQ(Bytes({150, 180, 170, 90, 20, 1}), Bytes(sent.begin() + 20, sent.begin() + 26))
        << "the upper peak amplitude stands before the lower one";
    EXPECT_EQ(70, U16(sent, 26));
    EXPECT_EQ(150, U16(sent, 28));

    BPEnvelopeCustomized back{};
    ASSERT_TRUE(GetBPCustomParam(m_instrument, BP_METHOD_CUSTOMIZED, &back, 0));
    EXPECT_EQ(170, back.nLowerPeakAmplitude);
    EXPECT_EQ(180, back.nUpperPeakAmplitude);
    EXPECT_DOUBLE_EQ(-2, back.dSystolicOffset);

    m_device->ClearLog();
    EXPECT_TRUE(GetBPCustomParam(m_instrument, BP_METHOD_CUSTOMIZED, nullptr, 0));
    EXPECT_EQ("P8", RequestCodes()) << "a null record still makes the exchange";
}

TEST_F(BPCommands, FailedEnvelopeReadSendsNoWrite)
{
    m_device->InjectFault(FaultKind::Status, 'P', 8);
    BPEnvelopeCustomized p{};
    p.eMethod = BP_METHOD_CUSTOMIZED;
    EXPECT_FALSE(SetBPCustom(m_instrument, &p, 0));
    EXPECT_EQ("P8", RequestCodes());
    EXPECT_FALSE(SetBPDefault(m_instrument, nullptr, 0));
}

TEST_F(BPCommands, RawEnvelopeGoesInBlocksOfSixteenPoints)
{
    struct Case {
        int points;
        size_t packets;
        size_t lastSize;
    } cases[] = {{360, 23, 48}, {479, 30, 90}, {16, 2, 0}, {0, 1, 0}};
    for (const Case& c : cases) {
        m_device->ClearLog();
        std::vector<double> pressures(c.points), amplitudes(c.points);
        for (int i = 0; i < c.points; ++i) {
            pressures[i] = i * 0.5;
            amplitudes[i] = i % 200 + 0.9;
        }
        ASSERT_TRUE(SetBPCustomRawData(m_instrument, 75, pressures.data(), amplitudes.data(), c.points, 1)) << c.points;
        const auto log = Requests();
        ASSERT_EQ(c.packets, log.size()) << c.points;
        for (size_t k = 0; k + 1 < log.size(); ++k)
            EXPECT_EQ(96u, log[k].payload.size());
        EXPECT_EQ(c.lastSize, log.back().payload.size());
        if (c.points >= 16) {
            const Bytes& first = log[0].payload;
            EXPECT_EQ(Bytes({5, 0, 1, 0, 75, 0}), Bytes(first.begin() + 6, first.begin() + 12))
                << "point 1: 0.5 kPa travels as 5, amplitude 1.9 as 1";
        }
    }
    EXPECT_FALSE(SetBPCustomRawData(m_instrument, 75, nullptr, nullptr, 3, 0));
    EXPECT_FALSE(SetBPCustomRawData(m_instrument, 75, nullptr, nullptr, -1, 0));
}

TEST_F(BPCommands, MissingAcknowledgementMidTransferIsSkipped)
{
    Fault silent{FaultKind::NoAnswer};
    silent.after = 1;
    m_device->InjectFault(silent, 'P', 138);
    std::vector<double> pressures(40, 100), amplitudes(40, 50);
    Stopwatch watch;
    EXPECT_TRUE(SetBPCustomRawData(m_instrument, 60, pressures.data(), amplitudes.data(), 40, 0));
    EXPECT_EQ(3u, Requests().size()) << "the transfer goes on after the missing acknowledgement";
    EXPECT_GE(watch.Ms(), 4900.0);
    EXPECT_LT(watch.Ms(), 7500.0);

    Fault lastRefused{FaultKind::Status};
    lastRefused.after = 1;
    m_device->InjectFault(lastRefused, 'P', 138);
    EXPECT_FALSE(SetBPCustomRawData(m_instrument, 60, pressures.data(), amplitudes.data(), 20, 0))
        << "the last block's acknowledgement is the result";
}

TEST_F(BPCommands, ResultsAutoSequenceAndSettingAccessors)
{
    WithModel([](DeviceModel& m) { m.bpResult = {0xB0, 0x04, 0x20, 0x03, 0xD0, 0x02, 0x32, 0x00}; });
    double r1 = 0, r2 = 0, r3 = 0, r4 = 0;
    ASSERT_TRUE(GetBPTestResult(m_instrument, 1, &r1, &r2, &r3, &r4));
    EXPECT_DOUBLE_EQ(120.0, r1);
    EXPECT_DOUBLE_EQ(80.0, r2);
    EXPECT_DOUBLE_EQ(72.0, r3);
    EXPECT_DOUBLE_EQ(5.0, r4);
    ASSERT_TRUE(GetBPTestResult(m_instrument, 0, &r1, nullptr, nullptr, nullptr));
    EXPECT_DOUBLE_EQ(1200.0, r1);

    BPCommon p = Common(12.5, 8.1, 65, 0.75, -1.2, 0.4);
    ASSERT_TRUE(SetBPAutoSequence(m_instrument, &p, true, false, 7, 1));
    EXPECT_EQ(Bytes({125, 0, 81, 0, 65, 0, 75, 0, 0xF4, 0xFF, 4, 0, 0x02, 7}), LastPayload('P', 140));

    std::array<uint8_t, 30> before{};
    WithModel([&](DeviceModel& m) { before = m.bpSetting; });
    ASSERT_TRUE(SetBPHR(m_instrument, 88));
    Bytes written = LastPayload('P', 133);
    ASSERT_EQ(12u, written.size());
    Bytes expected(before.begin(), before.begin() + 12);
    expected[4] = 88;
    expected[5] = 0;
    EXPECT_EQ(expected, written);
    ASSERT_TRUE(SetBPEnvelop(m_instrument, -5, 300));
    written = LastPayload('P', 133);
    ASSERT_EQ(30u, written.size());
    EXPECT_EQ(-5, I16(written, 16));
    EXPECT_EQ(before[29], written[29]);
    int e1 = 0, e2 = 0;
    ASSERT_TRUE(GetBPEnvelop(m_instrument, &e1, &e2));
    EXPECT_EQ(-5, e1);
    EXPECT_EQ(300, e2);
    ASSERT_TRUE(SetBPPulseVolume(m_instrument, 1.29));
    double volume = 0;
    ASSERT_TRUE(GetBPPulseVolume(m_instrument, &volume));
    EXPECT_DOUBLE_EQ(1.29, volume);
    ASSERT_TRUE(SetBPSetting(m_instrument, 0x1234, 7));
    unsigned first = 0, second = 0, heartRate = 0;
    ASSERT_TRUE(GetBPSetting(m_instrument, &first, &second));
    EXPECT_EQ(0x1234u, first);
    EXPECT_EQ(7u, second);

    m_device->InjectFault(FaultKind::Status, 'P', 5);
    heartRate = 99;
    EXPECT_FALSE(GetBPHR(m_instrument, &heartRate));
    EXPECT_EQ(99u, heartRate) << "a failed getter leaves its output alone";
}

TEST_F(BPCommands, CuffSettingsUseTheDevicesInvertedFlags)
{
    ASSERT_TRUE(SwitchToAdultMode(m_instrument, true));
    EXPECT_EQ(Bytes({3, 0, 0, 1}), LastPayload('P', 131));
    EXPECT_TRUE(IsAdultMode(m_instrument));
    ASSERT_TRUE(SwitchToAdultMode(m_instrument, false));
    EXPECT_FALSE(IsAdultMode(m_instrument));
    EXPECT_FALSE(Is500mlMode(m_instrument));
    ASSERT_TRUE(SwitchTo500ml(m_instrument, true));
    EXPECT_TRUE(Is500mlMode(m_instrument));
    ASSERT_TRUE(SetCuffLocation(m_instrument, 0x105));
    EXPECT_EQ(5, GetCuffLocation(m_instrument, 0));
    EXPECT_EQ(Bytes({5, 0, 1, 0}), LastPayload('P', 131));
    m_device->InjectFault(FaultKind::NoAnswer, 'P', 3);
    EXPECT_EQ(0, GetCuffLocation(m_instrument, 0));
}
