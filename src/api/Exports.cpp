// The exported wrappers: each takes the API lock around its device work.
#include <algorithm>

#include "api/Runners.h"
#include "api/Sampling.h"
#include "api/Workers.h"
#include "device/Transport.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/BPSimulation.h"
#include "protocol/Identity.h"
#include "protocol/Units.h"
#include "vasq.h"
#include "vasq_service.h"

int VasqGetDeviceInformation(MODEL_INFORMATION* info)
{
    if (info == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return GetDeviceInformation(info) ? 1 : 0;
}

int VasqGetHWInformation(HW_INFORMATION* info)
{
    if (info == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return GetHWInformation(info) ? 1 : 0;
}

const char* VasqGetSerialNumber()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return FormatSerialNumber();
}

namespace {

constexpr int kHighestAirPort = 4;

// The thin wrappers: one device command under the API lock, its flag as the result.
template <typename Command>
int Locked(Command command)
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return command() ? 1 : 0;
}

bool SamplingRuns()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return g_hSamplingThread.load() != 0;
}

bool SetUnitLocked(int unit)
{
    CAutoCriticalSection lock(g_APICriticalSection);
    if (!SetUnit(unit))
        return false;
    HoldPressureUnit(unit);
    return true;
}

}  // namespace

int VasqSetPressureUnit(int unit)
{
    // Restarting sampling means waiting for the sampling thread, which needs the
    // API lock that a test callback's thread holds, or is this very thread.
    if (OnLibraryWorkerThread() && SamplingRuns())
        return 0;
    unsigned status;
    {
        CAutoCriticalSection lock(g_APICriticalSection);
        status = GetDeviceStatus();
    }
    if (status != kStatusNoTest && status != kStatusIdle && status != kStatusCompleted)
        return 0;
    if (!SamplingRuns())
        return SetUnitLocked(unit) ? 1 : 0;
    VasqStopSampling();
    const bool switched = SetUnitLocked(unit);
    VasqStartSampling(g_SamplingCallback.load());
    return switched ? 1 : 0;
}

int VasqGetPressureUnit()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    // A failed read leaves the unit that every later set-point is scaled by
    // as it was; the call itself still answers 0.
    int unit = 0;
    if (!ReadPressureUnit(&unit))
        return 0;
    HoldPressureUnit(unit);
    return unit;
}

int VasqRebaseZero(bool on)
{
    return Locked([on] { return RebaseZero(on); });
}

int VasqEnableAirPort(int port, bool enable)
{
    CAutoCriticalSection lock(g_APICriticalSection);
    EnableAirPort(std::clamp(port, 0, kHighestAirPort), enable);
    return 1;
}

int VasqResetAirPort()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    ResetAirPort();
    return 1;
}

int VasqUpdateAirPort()
{
    return Locked(UpdateAirPortRelay);
}

int VasqPausePump()
{
    return Locked(PausePump);
}

int VasqSwitchToAdultMode(bool adult)
{
    return Locked([adult] { return SwitchToAdultMode(adult); });
}

int VasqSwitchTo500mlMode(bool on)
{
    return Locked([on] { return SwitchTo500ml(on); });
}

int VasqIs500mlMode()
{
    return Locked(Is500mlMode);
}

int VasqWritePNGFileName(const char* name)
{
    if (name == nullptr)
        return 0;
    return Locked([name] { return WritePNGFileName(name); });
}

int VasqWritePNG(char* data, int length)
{
    if (data == nullptr)
        return 0;
    return Locked([data, length] { return WritePNG(data, length); });
}

const char* VasqGetVersion()
{
    static const char kVersion[] = "1.0.3.1";
    return kVersion;
}

int VasqGetAirPortStatus(bool* bit1Set, bool* bit0Set)
{
    // Each bit is stored only through a non-null pointer: a caller may read one.
    return Locked([bit1Set, bit0Set] { return GetAirPortStatus(bit1Set, bit0Set); });
}

int VasqEnableBuzzer()
{
    return Locked(EnableBuzzer);
}

int VasqSDCardTest()
{
    return Locked(SDCardTest);
}

int VasqSetStandPressure(double value)
{
    return Locked([value] { return SetStandPressure(value); });
}

bool VasqGetCalibrationResult()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return GetDeviceStatus() == kStatusCalibrationPassed;
}

int VasqTurnOffCalibrationMode()
{
    return Locked([] { return SwitchDeviceOperationMode(FUNCTION_CALIBRATION_OFF); });
}

int VasqRestart()
{
    return Locked(Restart);
}

int VasqOnlyUseLowerSensor(bool only)
{
    return Locked([only] { return EnableDeviceDebugMode(false, false, g_nPressureUnit.load(), only); });
}
