// Sampling, the unit switch and the thin wrappers through the shared library's
// exported functions, against the simulated device.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ConnectedDevice.h"
#include "vasq.h"
#include "vasq_version.h"
#include "vasq_service.h"

using vasqsim::DeviceModel;
using vasqsim::SampleMode;
using vasqsim::SimDevice;
using namespace std::chrono_literals;

namespace {

using Samples = e2e::Recorder<double>;

Samples* g_samples = nullptr;
Samples* g_otherSamples = nullptr;

void OnSample(double value)
{
    g_samples->Add(value);
}

void OnOtherSample(double value)
{
    g_otherSamples->Add(value);
}

std::atomic<int> g_stopsFromCallback{0};

void StopFromSamplingCallback(double value)
{
    g_samples->Add(value);
    if (g_stopsFromCallback.fetch_add(1) == 0)
        VasqStopSampling();
}

std::atomic<int> g_unitSwitchResult{-1};

void SwitchUnitFromSamplingCallback(double value)
{
    g_samples->Add(value);
    int expected = -1;
    if (g_unitSwitchResult.compare_exchange_strong(expected, -2))
        g_unitSwitchResult.store(VasqSetPressureUnit(1));
}

void IgnoreStatic(VasqStatus, double, int) {}

std::atomic<int> g_stopFromTestCallback{0};

void StopSamplingFromTestCallback(VasqStatus, double, int)
{
    if (g_stopFromTestCallback.fetch_add(1) == 0)
        VasqStopSampling();
}

// Counter samples in mmHg: each is its sample number divided by 10.
long SampleNumber(double value, double resolution = 10.0)
{
    return std::lround(value * resolution);
}

class Sampling : public e2e::ConnectedDevice {
protected:
    void SetUp() override
    {
        g_samples = &m_samples;
        g_otherSamples = &m_otherSamples;
        ConnectedDevice::SetUp();
        WithModel([](DeviceModel& m) { m.sampleMode = SampleMode::Counter; });
    }
    void TearDown() override
    {
        ConnectedDevice::TearDown();
        g_samples = g_otherSamples = nullptr;
    }
    bool WaitForThreads(int count)
    {
        return m_changed.WaitFor([&] { return e2e::ThreadCount() == count; }, 5s);
    }

    Samples m_samples;
    Samples m_otherSamples;
};

}  // namespace

TEST_F(Sampling, SamplesAreDecodedAsSignedCountsInSinglePrecision)
{
    // The counter starts at 1234 (0xD2 0x04); the ninth sample of the block is 0xFFFF.
    m_device->WithModel([](DeviceModel& m) { m.samplesSent = 1234; });
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(1));
    VasqStopSampling();
    EXPECT_EQ(static_cast<double>(1234.0f / 10.0f), m_samples.Get()[0]);

    ASSERT_EQ(1, VasqSetPressureUnit(1));
    m_device->WithModel([](DeviceModel& m) { m.samplesSent = 0xFFFE; });
    const size_t before = m_samples.Size();
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(before + 4));
    VasqStopSampling();
    const auto samples = m_samples.Get();
    EXPECT_EQ(static_cast<double>(-2.0f / 100.0f), samples[before]);
    EXPECT_EQ(static_cast<double>(-1.0f / 100.0f), samples[before + 1]);
    EXPECT_EQ(0.0, samples[before + 2]);

    ASSERT_EQ(1, VasqSetPressureUnit(0));
    m_device->WithModel([](DeviceModel& m) { m.samplesSent = 0x7FFF; });
    const size_t mmhg = m_samples.Size();
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(mmhg + 2));
    VasqStopSampling();
    EXPECT_EQ(static_cast<double>(32767.0f / 10.0f), m_samples.Get()[mmhg]);
    EXPECT_EQ(static_cast<double>(-32768.0f / 10.0f), m_samples.Get()[mmhg + 1]) << "0x00 0x80";
}

TEST_F(Sampling, StreamHasNoGapOrRepeatOverSeconds)
{
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(600, 10s));
    VasqStopSampling();
    const auto samples = m_samples.Get();
    for (size_t i = 1; i < samples.size(); ++i)
        ASSERT_EQ(SampleNumber(samples[i - 1]) + 1, SampleNumber(samples[i])) << "sample " << i;
    EXPECT_EQ(0u, samples.size() % 10) << "whole blocks of ten";
    EXPECT_EQ(200, VasqGetSampleRate());
}

TEST_F(Sampling, SecondStartRedirectsWithoutASecondThread)
{
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(10));
    const int sampling = e2e::ThreadCount();
    ASSERT_EQ(1, VasqStartSampling(OnOtherSample));
    ASSERT_TRUE(m_otherSamples.WaitForSize(20));
    EXPECT_EQ(sampling, e2e::ThreadCount());
    const size_t first = m_samples.Size();
    ASSERT_TRUE(m_otherSamples.WaitForSize(m_otherSamples.Size() + 20));
    EXPECT_EQ(first, m_samples.Size()) << "the first callback gets nothing more";
    VasqStopSampling();
    EXPECT_TRUE(e2e::ThreadCountSettlesAt(m_idleThreads)) << "the stop has joined the thread";
    VasqStopSampling();  // nothing runs: returns at once
}

TEST_F(Sampling, ThreadEndsWhenTheDeviceStopsAnsweringAndANewStartWorks)
{
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(10));
    m_device->InjectFault(vasqsim::FaultKind::NoAnswer, 'P', 2);
    ASSERT_TRUE(WaitForThreads(m_idleThreads)) << "the sampling thread ended by itself";
    const size_t stopped = m_samples.Size();
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    EXPECT_TRUE(m_samples.WaitForSize(stopped + 20));
}

TEST_F(Sampling, StopFromTheSamplingCallbackDoesNotWaitForItself)
{
    g_stopsFromCallback = 0;
    ASSERT_EQ(1, VasqStartSampling(StopFromSamplingCallback));
    ASSERT_TRUE(WaitForThreads(m_idleThreads)) << "the thread ended after its burst";
    EXPECT_EQ(1u, m_samples.Size()) << "no sample after the stop has returned";
    ASSERT_EQ(1, VasqStartSampling(OnSample)) << "a new start joins the old thread and runs";
    EXPECT_TRUE(m_samples.WaitForSize(20));
}

TEST_F(Sampling, StopFromATestCallbackDoesNotWaitForTheSamplingThread)
{
    g_stopFromTestCallback = 0;
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    m_device->WithModel([](DeviceModel& m) { m.scriptedStatuses = {0, 13, 13}; });
    ASSERT_EQ(1, VasqRunStaticPressure(100, -1, StopSamplingFromTestCallback, false));
    ASSERT_TRUE(m_changed.WaitFor([] { return g_stopFromTestCallback.load() >= 3; }, 5s))
        << "the worker goes on reporting: nothing deadlocked";
    const size_t stopped = m_samples.Size();
    ASSERT_TRUE(m_changed.WaitFor([] { return g_stopFromTestCallback.load() >= 6; }, 5s));
    EXPECT_LE(m_samples.Size(), stopped + 10) << "at most the burst in flight";
}

TEST_F(Sampling, FreeStopsSamplingAndTests)
{
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    m_device->WithModel([](DeviceModel& m) { m.scriptedStatuses = {13}; });
    ASSERT_EQ(1, VasqRunStaticPressure(100, -1, IgnoreStatic, false));
    ASSERT_TRUE(m_samples.WaitForSize(10));
    VasqFree();
    EXPECT_TRUE(e2e::ThreadCountSettlesAt(m_baseline)) << "every thread of the library was joined";
    const size_t after = m_samples.Size();
    const auto codes = Codes();
    EXPECT_NE(std::string::npos, codes.find("I133")) << codes;
    ASSERT_TRUE(VasqConnect(0, 5000));
    EXPECT_EQ(after, m_samples.Size());
}

TEST_F(Sampling, UnitSwitchRestartsSamplingForTheSameCallback)
{
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_TRUE(m_samples.WaitForSize(10));
    ASSERT_EQ(1, VasqSetPressureUnit(1));
    EXPECT_EQ(1, VasqGetPressureUnit());
    const size_t switched = m_samples.Size();
    ASSERT_TRUE(m_samples.WaitForSize(switched + 30));
    const auto samples = m_samples.Get();
    // Samples of the new thread are counts divided by 100, still without gaps.
    for (size_t i = switched + 1; i < samples.size(); ++i)
        ASSERT_EQ(SampleNumber(samples[i - 1], 100.0) + 1, SampleNumber(samples[i], 100.0)) << "sample " << i;
    const auto codes = Codes();
    const size_t written = codes.find("P3 P131");
    ASSERT_NE(std::string::npos, written) << codes;
    EXPECT_NE(std::string::npos, codes.rfind("I0", written)) << "the status gate came first";
    EXPECT_NE(std::string::npos, codes.find("P2", written)) << "sampling goes on after the switch";
}

TEST_F(Sampling, UnitSwitchIsRefusedWhileATestRunsOrOnTheSamplingThread)
{
    m_device->WithModel([](DeviceModel& m) { m.status = 10; });
    EXPECT_EQ(0, VasqSetPressureUnit(1));
    EXPECT_EQ("I0", Codes()) << "nothing is sent after the status query";
    m_device->WithModel([](DeviceModel& m) { m.status = 3; });
    EXPECT_EQ(1, VasqSetPressureUnit(1));
    EXPECT_EQ(1, VasqGetPressureUnit());
    m_device->WithModel([](DeviceModel& m) { EXPECT_EQ(1, m.deviceSettings[1]); });
    m_device->WithModel([](DeviceModel& m) { m.status = 14; });
    EXPECT_EQ(1, VasqSetPressureUnit(0));

    g_unitSwitchResult = -1;
    ASSERT_EQ(1, VasqStartSampling(SwitchUnitFromSamplingCallback));
    ASSERT_TRUE(m_changed.WaitFor([] { return g_unitSwitchResult.load() >= 0; }, 5s));
    EXPECT_EQ(0, g_unitSwitchResult.load());
    ASSERT_TRUE(m_samples.WaitForSize(30)) << "sampling goes on";
    m_device->WithModel([](DeviceModel& m) { EXPECT_EQ(0, m.deviceSettings[1]); });
}

TEST_F(Sampling, FailedUnitQueryFallsBackToMmhg)
{
    m_device->WithModel([](DeviceModel& m) { m.deviceSettings[1] = 1; });
    EXPECT_EQ(1, VasqGetPressureUnit());
    m_device->InjectFault(vasqsim::FaultKind::NoAnswer, 'P', 3);
    EXPECT_EQ(0, VasqGetPressureUnit());
}

TEST_F(Sampling, AirPortMaskChangesLocallyUntilSent)
{
    EXPECT_EQ(1, VasqEnableAirPort(7, false));
    EXPECT_EQ(1, VasqEnableAirPort(1, false));
    EXPECT_EQ(1, VasqEnableAirPort(-3, false));
    EXPECT_EQ(1, VasqEnableAirPort(-3, true));
    EXPECT_EQ("", Codes());
    EXPECT_EQ(1, VasqUpdateAirPort());
    m_device->WithModel([](DeviceModel& m) { EXPECT_EQ(0x12, m.airPortMask); });
    EXPECT_EQ(1, VasqResetAirPort());
    EXPECT_EQ(1, VasqUpdateAirPort());
    m_device->WithModel([](DeviceModel& m) { EXPECT_EQ(0, m.airPortMask); });
}

TEST_F(Sampling, ThinWrappersSendTheirCommand)
{
    m_device->WithModel([](DeviceModel& m) { m.status = 7; });
    EXPECT_TRUE(VasqGetCalibrationResult());
    for (uint8_t code : {0, 3, 8, 14}) {
        m_device->WithModel([&](DeviceModel& m) { m.status = code; });
        EXPECT_FALSE(VasqGetCalibrationResult()) << int(code);
    }
    m_device->ClearLog();
    EXPECT_EQ(1, VasqPausePump());
    EXPECT_EQ(1, VasqEnableBuzzer());
    EXPECT_EQ(1, VasqSDCardTest());
    EXPECT_EQ(1, VasqSetStandPressure(1.5));
    EXPECT_EQ(1, VasqTurnOffCalibrationMode());
    EXPECT_EQ(1, VasqOnlyUseLowerSensor(true));
    EXPECT_EQ(1, VasqRebaseZero(true));
    EXPECT_EQ(1, VasqSwitchToAdultMode(true));
    EXPECT_EQ(1, VasqSwitchTo500mlMode(true));
    EXPECT_EQ(1, VasqIs500mlMode());
    EXPECT_EQ(1, VasqWritePNGFileName("logo.png"));
    char picture[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(1, VasqWritePNG(picture, 5));
    bool bit1 = false;
    bool bit0 = true;
    EXPECT_EQ(1, VasqGetAirPortStatus(&bit1, &bit0));
    EXPECT_TRUE(bit1);
    EXPECT_FALSE(bit0);
    BPEnvelopeCustomized stored{};
    EXPECT_EQ(1, VasqGetEnvelopeParam(BP_METHOD_DEFAULT, &stored));
    EXPECT_EQ(
        "I139 I137 I10 I134 I136 I140 I20 I148 P3 P131 P3 P131 P3 I141 I142 P9 P8",
        Codes());
    m_device->WithModel([](DeviceModel& m) {
        EXPECT_EQ(8, m.operationMode);
        EXPECT_EQ(150, m.standPressure);
        EXPECT_EQ(1, m.debugFlags[2]);
        EXPECT_EQ("logo.png", m.pictureName);
    });
    EXPECT_EQ((std::vector<uint8_t>{1}), LastPayload('P', 8)) << "method 0 reads method 1";
    // Connected, the interface's version stays the constant text, and asks the device nothing.
    m_device->ClearLog();
    EXPECT_STREQ("1.0.3.1", VasqGetVersion());
    EXPECT_STREQ(VASQ_RELEASE, VasqGetReleaseVersion());
    EXPECT_EQ("", Codes());
}

TEST(Exports, WorkWithoutADeviceOrFailPromptly)
{
    // Callers compare the interface's text; the release has a function of its own.
    EXPECT_STREQ("1.0.3.1", VasqGetVersion());
    EXPECT_EQ(VasqGetVersion(), VasqGetVersion()) << "static text";
    EXPECT_STREQ(VASQ_RELEASE, VasqGetReleaseVersion());
    EXPECT_EQ(VasqGetReleaseVersion(), VasqGetReleaseVersion()) << "static text";
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError());
    EXPECT_EQ(200, VasqGetSampleRate());
    e2e::Stopwatch watch;
    BPCommon common{BP_METHOD_DEFAULT, 120, 80, 60, 1, 0, 0};
    EXPECT_EQ(0, VasqRunBPTest(&common, nullptr));
    EXPECT_EQ(0, VasqRunStaticPressure(100, -1, nullptr, false));
    EXPECT_EQ(0, VasqRunLeakageTest(100, 1, 1, nullptr));
    EXPECT_EQ(0, VasqRunLeakageCalibration(100, nullptr));
    EXPECT_EQ(0, VasqRunOverpressureTest(true, 100, 100, 100, nullptr));
    EXPECT_EQ(0, VasqGetWaitStableTime());
    EXPECT_EQ(0, VasqSetPressureUnit(1)) << "a failed status query reads 0, then the switch fails";
    EXPECT_EQ(0, VasqGetPressureUnit());
    EXPECT_EQ(0, VasqRebaseZero(true));
    EXPECT_EQ(0, VasqUpdateAirPort());
    EXPECT_EQ(0, VasqPausePump());
    EXPECT_EQ(1, VasqStopTest());
    EXPECT_EQ(0, VasqSwitchToAdultMode(true));
    EXPECT_EQ(0, VasqSwitchTo500mlMode(true));
    EXPECT_EQ(0, VasqIs500mlMode());
    EXPECT_EQ(0, VasqWritePNGFileName("x"));
    char data[3] = {};
    EXPECT_EQ(0, VasqWritePNG(data, 3));
    double rate = 0;
    EXPECT_EQ(0, VasqGetLeakageCalibrationRate(&rate));
    EXPECT_EQ(0, VasqEnableBuzzer());
    EXPECT_EQ(0, VasqSDCardTest());
    EXPECT_EQ(0, VasqSetStandPressure(1));
    EXPECT_FALSE(VasqGetCalibrationResult());
    EXPECT_EQ(0, VasqTurnOffCalibrationMode());
    EXPECT_EQ(0, VasqOnlyUseLowerSensor(false));
    BPEnvelopeCustomized custom{};
    custom.eMethod = BP_METHOD_CUSTOMIZED;
    EXPECT_EQ(0, VasqGetEnvelopeParam(BP_METHOD_CUSTOMIZED, &custom));
    std::vector<double> p(360), a(360);
    EXPECT_EQ(0, VasqSetEnvelopeRawData(&custom, p.data(), a.data(), 360));
    bool b1;
    bool b0;
    EXPECT_EQ(0, VasqGetAirPortStatus(&b1, &b0));
    // The identity getters copy what the last identification left: zeros.
    MODEL_INFORMATION model;
    memset(&model, 0xA5, sizeof(model));
    EXPECT_EQ(1, VasqGetDeviceInformation(&model));
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError());
    EXPECT_EQ(0, model.byModelCode + model.nSerialGroup + model.nSerialIndex + model.chSignature[0]);
    HW_INFORMATION hardware;
    memset(&hardware, 0xA5, sizeof(hardware));
    EXPECT_EQ(1, VasqGetHWInformation(&hardware));
    EXPECT_EQ(0, hardware.nFWVersion1 + hardware.nHWVersion2);
    EXPECT_EQ(1, VasqStartSampling(nullptr)) << "the thread starts, then ends on its first exchange";
    VasqStopSampling();
    EXPECT_LT(watch.Ms(), 2000.0) << "no port: every exchange fails at once";

    // Null pointers are refused.
    EXPECT_EQ(0, VasqWritePNGFileName(nullptr));
    EXPECT_EQ(0, VasqWritePNG(nullptr, 3));
    EXPECT_EQ(0, VasqGetLeakageCalibrationRate(nullptr));
    EXPECT_EQ(0, VasqGetAirPortStatus(nullptr, &b0));
    EXPECT_EQ(0, VasqGetAirPortStatus(&b1, nullptr));
    EXPECT_EQ(0, VasqGetEnvelopeParam(BP_METHOD_DEFAULT, nullptr));
    EXPECT_EQ(0, VasqGetDeviceInformation(nullptr));
    EXPECT_EQ(0, VasqGetHWInformation(nullptr));
}

namespace {

std::atomic<int> g_staticStatus{-1};

void RecordStatic(VasqStatus status, double, int)
{
    g_staticStatus.store(status);
}

std::atomic<int> g_bpStatus{-1};

void RecordBP(VasqStatus status, double, double, double, double)
{
    g_bpStatus.store(status);
}

}  // namespace

TEST_F(Sampling, WaveformFollowsTheHeldStaticPressureAndTheBPDeflation)
{
    g_staticStatus = -1;
    m_device->WithModel([](DeviceModel& m) {
        m.sampleMode = SampleMode::Waveform;
        m.phaseQueries = 10;
    });
    ASSERT_EQ(1, VasqStartSampling(OnSample));
    ASSERT_EQ(1, VasqRunStaticPressure(150.0, -1, RecordStatic, false));
    ASSERT_TRUE(m_changed.WaitFor([] { return g_staticStatus.load() == STATUS_HOLDING; }, 5s));
    const size_t holding = m_samples.Size();
    ASSERT_TRUE(m_samples.WaitForSize(holding + 40));
    for (size_t i = holding; i < holding + 40; ++i)
        EXPECT_NEAR(150.0, m_samples.Get()[i], 2.0) << "sample " << i;
    VasqStopTest();

    // A BP simulation deflates from above the systolic pressure.
    g_bpStatus = -1;
    BPCommon record{BP_METHOD_DEFAULT, 120.0, 80.0, 60, 1.0, 0.0, 0.0};
    ASSERT_EQ(1, VasqRunBPTest(&record, RecordBP));
    const size_t started = m_samples.Size();
    ASSERT_TRUE(m_samples.WaitForSize(started + 200));
    const auto samples = m_samples.Get();
    EXPECT_GT(samples[started + 20], 120.0);
    EXPECT_LT(samples[started + 199], samples[started + 20] - 5.0);
}
