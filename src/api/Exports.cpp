// The exported wrappers: each takes the API lock around its device work.
#include <algorithm>

#include "api/ApiCall.h"
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

int VasqGetDeviceInformation(MODEL_INFORMATION* info)
{
    ApiCall call("VasqGetDeviceInformation");
    if (call.Refused())
        return 0;
    if (info == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record is null");
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return call.Flag(GetDeviceInformation(CurrentDevice(), info));
}

int VasqGetHWInformation(HW_INFORMATION* info)
{
    ApiCall call("VasqGetHWInformation");
    if (call.Refused())
        return 0;
    if (info == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record is null");
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return call.Flag(GetHWInformation(CurrentDevice(), info));
}

const char* VasqGetSerialNumber()
{
    ApiCall call("VasqGetSerialNumber");
    if (call.Refused())
        return "";
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    const char* serial = FormatSerialNumber(CurrentDevice());
    return call.Result(serial, serial[0] != '\0');
}

namespace {

constexpr int kHighestAirPort = 4;

// The thin wrappers: one device command under the API lock, its flag as the result.
template <typename Command>
int Locked(const char* name, Command command)
{
    ApiCall call(name);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return call.Flag(command());
}

// A command whose false is an answer too (no card, not in 500 ml mode): only
// an exchange that failed is a failure.
template <typename Command>
int Answered(const char* name, Command command)
{
    ApiCall call(name);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    const int answer = command() ? 1 : 0;
    return call.Result(answer, ReasonCode() == kErrorNone);
}

bool SamplingRuns()
{
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return CurrentInstrument().m_hSamplingThread.load() != 0;
}

bool SetUnitLocked(int unit)
{
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    if (!SetUnit(CurrentDevice(), unit))
        return false;
    HoldPressureUnit(CurrentDevice(), unit);
    return true;
}

}  // namespace

int VasqSetPressureUnit(int unit)
{
    ApiCall call("VasqSetPressureUnit");
    if (call.Refused())
        return 0;
    // Only two units exist; another code would make the library scale every
    // set-point by a unit it does not know.
    if (unit != 0 && unit != 1)
        return call.Fail(0, kErrorInvalidArgument, "unit %d: 0 is mmHg, 1 is kPa", unit);
    // Restarting sampling means waiting for the sampling thread, which needs the
    // API lock that a test callback's thread holds, or is this very thread.
    if (OnLibraryWorkerThread() && SamplingRuns())
        return call.Fail(0, kErrorBusy, "the unit cannot change from a callback while sampling runs");
    unsigned status;
    {
        CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
        status = GetDeviceStatus(CurrentDevice());
    }
    // A failed query reads as code 0 and the switch goes on; the failure is
    // only a warning, since the unit read and write that follow say the rest.
    if (ReasonCode() != kErrorNone) {
        LogLine(kLogWarning, "VasqSetPressureUnit: status query failed (%s): switching as if no test ran",
                ReasonText());
        ClearReason();
        status = kStatusNoTest;
    }
    if (status != kStatusNoTest && status != kStatusIdle && status != kStatusCompleted)
        return call.Fail(0, kErrorBusy, "the unit cannot change while the instrument runs a test (status %u)", status);
    if (!SamplingRuns())
        return call.Flag(SetUnitLocked(unit));
    Instrument& instrument = CurrentInstrument();
    StopSampling(instrument);
    const bool switched = SetUnitLocked(unit);
    StartSampling(instrument, instrument.m_SamplingCallback.Load());
    return call.Flag(switched);
}

int VasqGetPressureUnit()
{
    ApiCall call("VasqGetPressureUnit");
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    // A failed read leaves the unit that every later set-point is scaled by
    // as it was; the call itself still answers 0.
    int unit = 0;
    if (!ReadPressureUnit(CurrentDevice(), &unit))
        return call.Flag(false);
    HoldPressureUnit(CurrentDevice(), unit);
    return call.Result(unit, true);
}

int VasqRebaseZero(bool on)
{
    return Locked("VasqRebaseZero", [on] { return RebaseZero(CurrentDevice(), on); });
}

int VasqEnableAirPort(int port, bool enable)
{
    ApiCall call("VasqEnableAirPort");
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    EnableAirPort(CurrentDevice(), std::clamp(port, 0, kHighestAirPort), enable);
    return call.Flag(true);
}

int VasqResetAirPort()
{
    ApiCall call("VasqResetAirPort");
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    ResetAirPort(CurrentDevice());
    return call.Flag(true);
}

int VasqUpdateAirPort()
{
    return Locked("VasqUpdateAirPort", [] { return UpdateAirPortRelay(CurrentDevice()); });
}

int VasqPausePump()
{
    return Locked("VasqPausePump", [] { return PausePump(CurrentDevice()); });
}

int VasqSwitchToAdultMode(bool adult)
{
    return Locked("VasqSwitchToAdultMode", [adult] { return SwitchToAdultMode(CurrentDevice(), adult); });
}

int VasqSwitchTo500mlMode(bool on)
{
    return Locked("VasqSwitchTo500mlMode", [on] { return SwitchTo500ml(CurrentDevice(), on); });
}

int VasqIs500mlMode()
{
    return Answered("VasqIs500mlMode", [] { return Is500mlMode(CurrentDevice()); });
}

int VasqWritePNGFileName(const char* name)
{
    if (name == nullptr)
        return ApiCall("VasqWritePNGFileName").Fail(0, kErrorInvalidArgument, "the name is null");
    return Locked("VasqWritePNGFileName", [name] { return WritePNGFileName(CurrentDevice(), name); });
}

int VasqWritePNG(char* data, int length)
{
    if (data == nullptr)
        return ApiCall("VasqWritePNG").Fail(0, kErrorInvalidArgument, "the picture is null");
    return Locked("VasqWritePNG", [data, length] { return WritePNG(CurrentDevice(), data, length); });
}

const char* VasqGetVersion()
{
    static const char kVersion[] = VASQ_INTERFACE_VERSION;
    return ApiCall("VasqGetVersion").Result(kVersion, true);
}

const char* VasqGetReleaseVersion()
{
    static const char kRelease[] = VASQ_RELEASE;
    return ApiCall("VasqGetReleaseVersion").Result(kRelease, true);
}

int VasqGetAirPortStatus(bool* bit1Set, bool* bit0Set)
{
    // Each bit is stored only through a non-null pointer: a caller may read one.
    return Locked("VasqGetAirPortStatus", [bit1Set, bit0Set] { return GetAirPortStatus(CurrentDevice(), bit1Set, bit0Set); });
}

int VasqEnableBuzzer()
{
    return Locked("VasqEnableBuzzer", [] { return EnableBuzzer(CurrentDevice()); });
}

int VasqSDCardTest()
{
    return Answered("VasqSDCardTest", [] { return SDCardTest(CurrentDevice()); });
}

int VasqSetStandPressure(double value)
{
    return Locked("VasqSetStandPressure", [value] { return SetStandPressure(CurrentDevice(), value); });
}

bool VasqGetCalibrationResult()
{
    ApiCall call("VasqGetCalibrationResult");
    if (call.Refused())
        return false;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    const bool passed = GetDeviceStatus(CurrentDevice()) == kStatusCalibrationPassed;
    return call.Result(passed, ReasonCode() == kErrorNone);
}

int VasqTurnOffCalibrationMode()
{
    return Locked("VasqTurnOffCalibrationMode", [] { return SwitchDeviceOperationMode(CurrentDevice(), FUNCTION_CALIBRATION_OFF); });
}

int VasqRestart()
{
    return Locked("VasqRestart", [] { return Restart(CurrentDevice()); });
}

int VasqOnlyUseLowerSensor(bool only)
{
    return Locked("VasqOnlyUseLowerSensor", [only] { return EnableDeviceDebugMode(CurrentDevice(), false, false, CurrentInstrument().m_nPressureUnit.load(), only); });
}
