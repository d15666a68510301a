// The exported wrappers: each takes the API lock around its device work.
#include <algorithm>

#include "api/ApiCall.h"
#include "api/Operations.h"
#include "api/Runners.h"
#include "api/Sampling.h"
#include "api/Workers.h"
#include "device/Transport.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/BPSimulation.h"
#include "protocol/Identity.h"
#include "vasq_version.h"
#include "protocol/Units.h"
#include "vasq.h"
#include "vasq_service.h"
#include "api/Instrument.h"

int GetDeviceInformationOn(Instrument& instrument, const char* name, MODEL_INFORMATION* info)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    if (info == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record is null");
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(GetDeviceInformation(instrument, info));
}

int VasqGetDeviceInformation(MODEL_INFORMATION* info)
{
    return GetDeviceInformationOn(DefaultInstrument(), __func__, info);
}

int GetHWInformationOn(Instrument& instrument, const char* name, HW_INFORMATION* info)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    if (info == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record is null");
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(GetHWInformation(instrument, info));
}

int VasqGetHWInformation(HW_INFORMATION* info)
{
    return GetHWInformationOn(DefaultInstrument(), __func__, info);
}

const char* VasqGetSerialNumber()
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return "";
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const char* serial = FormatSerialNumber(instrument);
    return call.Result(serial, serial[0] != '\0');
}

namespace {

constexpr int kHighestAirPort = 4;

// The thin wrappers: one device command under the API lock, its flag as the result.
template <typename Command>
int Locked(Instrument& instrument, const char* name, Command command)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(command(instrument));
}

// A command whose false is an answer too (no card, not in 500 ml mode): only
// an exchange that failed is a failure.
template <typename Command>
int Answered(Instrument& instrument, const char* name, Command command)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const int answer = command(instrument) ? 1 : 0;
    return call.Result(answer, ReasonCode() == kErrorNone);
}

bool SamplingRuns(Instrument& instrument)
{
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return instrument.m_hSamplingThread.load() != 0;
}

bool SetUnitLocked(Instrument& instrument, int unit)
{
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    if (!SetUnit(instrument, unit))
        return false;
    HoldPressureUnit(instrument, unit);
    return true;
}

}  // namespace

int SetPressureUnitOn(Instrument& instrument, const char* name, int unit)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    // Only two units exist; another code would make the library scale every
    // set-point by a unit it does not know.
    if (unit != 0 && unit != 1)
        return call.Fail(0, kErrorInvalidArgument, "unit %d: 0 is mmHg, 1 is kPa", unit);
    // Restarting sampling means waiting for the sampling thread, which needs the
    // API lock that a test callback's thread holds, or is this very thread.
    if (OnLibraryWorkerThread() && SamplingRuns(instrument))
        return call.Fail(0, kErrorBusy, "the unit cannot change from a callback while sampling runs");
    unsigned status;
    {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
        status = GetDeviceStatus(instrument);
    }
    // A failed query reads as code 0 and the switch goes on; the failure is
    // only a warning, since the unit read and write that follow say the rest.
    if (ReasonCode() != kErrorNone) {
        LogLine(kLogWarning, "%s: status query failed (%s): switching as if no test ran", name, ReasonText());
        ClearReason();
        status = kStatusNoTest;
    }
    if (status != kStatusNoTest && status != kStatusIdle && status != kStatusCompleted)
        return call.Fail(0, kErrorBusy, "the unit cannot change while the instrument runs a test (status %u)", status);
    if (!SamplingRuns(instrument))
        return call.Flag(SetUnitLocked(instrument, unit));
    StopSamplingOn(instrument, name);
    const bool switched = SetUnitLocked(instrument, unit);
    StartSamplingOn(instrument, name, instrument.m_SamplingCallback.Load());
    return call.Flag(switched);
}

int VasqSetPressureUnit(int unit)
{
    return SetPressureUnitOn(DefaultInstrument(), __func__, unit);
}

int GetPressureUnitOn(Instrument& instrument, const char* name)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    // A failed read leaves the unit that every later set-point is scaled by
    // as it was; the call itself still answers 0.
    int unit = 0;
    if (!ReadPressureUnit(instrument, &unit))
        return call.Flag(false);
    HoldPressureUnit(instrument, unit);
    return call.Result(unit, true);
}

int VasqGetPressureUnit()
{
    return GetPressureUnitOn(DefaultInstrument(), __func__);
}

int RebaseZeroOn(Instrument& instrument, const char* name, bool on)
{
    return Locked(instrument, name, [on](Device& device) { return RebaseZero(device, on); });
}

int VasqRebaseZero(bool on)
{
    return RebaseZeroOn(DefaultInstrument(), __func__, on);
}

int EnableAirPortOn(Instrument& instrument, const char* name, int port, bool enable)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    EnableAirPort(instrument, std::clamp(port, 0, kHighestAirPort), enable);
    return call.Flag(true);
}

int VasqEnableAirPort(int port, bool enable)
{
    return EnableAirPortOn(DefaultInstrument(), __func__, port, enable);
}

int ResetAirPortOn(Instrument& instrument, const char* name)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    ResetAirPort(instrument);
    return call.Flag(true);
}

int VasqResetAirPort()
{
    return ResetAirPortOn(DefaultInstrument(), __func__);
}

int UpdateAirPortOn(Instrument& instrument, const char* name)
{
    return Locked(instrument, name, [](Device& device) { return UpdateAirPortRelay(device); });
}

int VasqUpdateAirPort()
{
    return UpdateAirPortOn(DefaultInstrument(), __func__);
}

int PausePumpOn(Instrument& instrument, const char* name)
{
    return Locked(instrument, name, [](Device& device) { return PausePump(device); });
}

int VasqPausePump()
{
    return PausePumpOn(DefaultInstrument(), __func__);
}

int SwitchToAdultModeOn(Instrument& instrument, const char* name, bool adult)
{
    return Locked(instrument, name, [adult](Device& device) { return SwitchToAdultMode(device, adult); });
}

int VasqSwitchToAdultMode(bool adult)
{
    return SwitchToAdultModeOn(DefaultInstrument(), __func__, adult);
}

int SwitchTo500mlModeOn(Instrument& instrument, const char* name, bool on)
{
    return Locked(instrument, name, [on](Device& device) { return SwitchTo500ml(device, on); });
}

int VasqSwitchTo500mlMode(bool on)
{
    return SwitchTo500mlModeOn(DefaultInstrument(), __func__, on);
}

int Is500mlModeOn(Instrument& instrument, const char* name)
{
    return Answered(instrument, name, [](Device& device) { return Is500mlMode(device); });
}

int VasqIs500mlMode()
{
    return Is500mlModeOn(DefaultInstrument(), __func__);
}

int WritePNGFileNameOn(Instrument& instrument, const char* name, const char* fileName)
{
    if (fileName == nullptr)
        return ApiCall(name, instrument).Fail(0, kErrorInvalidArgument, "the name is null");
    return Locked(instrument, name, [fileName](Device& device) { return WritePNGFileName(device, fileName); });
}

int VasqWritePNGFileName(const char* name)
{
    return WritePNGFileNameOn(DefaultInstrument(), __func__, name);
}

int WritePNGOn(Instrument& instrument, const char* name, char* data, int length)
{
    if (data == nullptr)
        return ApiCall(name, instrument).Fail(0, kErrorInvalidArgument, "the picture is null");
    return Locked(instrument, name, [data, length](Device& device) { return WritePNG(device, data, length); });
}

int VasqWritePNG(char* data, int length)
{
    return WritePNGOn(DefaultInstrument(), __func__, data, length);
}

const char* VasqGetVersion()
{
    static const char kVersion[] = VASQ_INTERFACE_VERSION;
    return ApiCall(__func__).Result(kVersion, true);
}

const char* VasqGetReleaseVersion()
{
    static const char kRelease[] = VASQ_RELEASE;
    return ApiCall(__func__).Result(kRelease, true);
}

int VasqGetAirPortStatus(bool* bit1Set, bool* bit0Set)
{
    // Each bit is stored only through a non-null pointer: a caller may read one.
    return Locked(DefaultInstrument(), __func__,
                  [bit1Set, bit0Set](Device& device) { return GetAirPortStatus(device, bit1Set, bit0Set); });
}

int VasqEnableBuzzer()
{
    return Locked(DefaultInstrument(), __func__, [](Device& device) { return EnableBuzzer(device); });
}

int VasqSDCardTest()
{
    return Answered(DefaultInstrument(), __func__, [](Device& device) { return SDCardTest(device); });
}

int VasqSetStandPressure(double value)
{
    return Locked(DefaultInstrument(), __func__, [value](Device& device) { return SetStandPressure(device, value); });
}

bool VasqGetCalibrationResult()
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return false;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const bool passed = GetDeviceStatus(instrument) == kStatusCalibrationPassed;
    return call.Result(passed, ReasonCode() == kErrorNone);
}

int VasqTurnOffCalibrationMode()
{
    return Locked(DefaultInstrument(), __func__,
                  [](Device& device) { return SwitchDeviceOperationMode(device, FUNCTION_CALIBRATION_OFF); });
}

int VasqRestart()
{
    return Locked(DefaultInstrument(), __func__, [](Device& device) { return Restart(device); });
}

int VasqOnlyUseLowerSensor(bool only)
{
    return Locked(DefaultInstrument(), __func__, [only](Device& device) {
        return EnableDeviceDebugMode(device, false, false, device.m_nPressureUnit.load(), only);
    });
}
