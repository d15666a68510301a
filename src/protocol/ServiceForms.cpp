// The protocol functions of release 1.0, as programs linked against it call
// them: without a device, on the default one.
#include "device/Device.h"
#include "protocol/BPSimulation.h"
#include "protocol/Command.h"
#include "protocol/DeviceControl.h"
#include "protocol/Identity.h"
#include "protocol/Leakage.h"
#include "protocol/Units.h"

namespace {

Device& ServiceDevice()
{
    return DefaultDevice();
}

}  // namespace

bool SetBPDefault(BPCommon* p, int unit)
{
    return SetBPDefault(ServiceDevice(), p, unit);
}

bool SetBPCustom(BPEnvelopeCustomized* p, int unit)
{
    return SetBPCustom(ServiceDevice(), p, unit);
}

bool GetBPCustomParam(BPMethodType method, BPEnvelopeCustomized* out, int unit)
{
    return GetBPCustomParam(ServiceDevice(), method, out, unit);
}

bool SetBPCustomRawData(int nHeartRate, double* pressures, double* amplitudes, int count, int unit)
{
    return SetBPCustomRawData(ServiceDevice(), nHeartRate, pressures, amplitudes, count, unit);
}

bool SetBPAutoSequence(BPCommon* p, bool bFlag1, bool bFlag2, int nNumber, int unit)
{
    return SetBPAutoSequence(ServiceDevice(), p, bFlag1, bFlag2, nNumber, unit);
}

bool GetBPTestResult(int unit, double* r1, double* r2, double* r3, double* r4)
{
    return GetBPTestResult(ServiceDevice(), unit, r1, r2, r3, r4);
}

bool SetBPSetting(unsigned int first, unsigned int second)
{
    return SetBPSetting(ServiceDevice(), first, second);
}

bool SetBPHR(unsigned int nHeartRate)
{
    return SetBPHR(ServiceDevice(), nHeartRate);
}

bool SetBPPulseVolume(double dPulseVolume)
{
    return SetBPPulseVolume(ServiceDevice(), dPulseVolume);
}

bool SetBPEnvelop(int e1, int e2)
{
    return SetBPEnvelop(ServiceDevice(), e1, e2);
}

bool GetBPSetting(unsigned int* first, unsigned int* second)
{
    return GetBPSetting(ServiceDevice(), first, second);
}

bool GetBPHR(unsigned int* nHeartRate)
{
    return GetBPHR(ServiceDevice(), nHeartRate);
}

bool GetBPPulseVolume(double* dPulseVolume)
{
    return GetBPPulseVolume(ServiceDevice(), dPulseVolume);
}

bool GetBPEnvelop(int* e1, int* e2)
{
    return GetBPEnvelop(ServiceDevice(), e1, e2);
}

bool SetCuffLocation(int location)
{
    return SetCuffLocation(ServiceDevice(), location);
}

int GetCuffLocation(int unused)
{
    return GetCuffLocation(ServiceDevice(), unused);
}

bool SwitchToAdultMode(bool adult)
{
    return SwitchToAdultMode(ServiceDevice(), adult);
}

bool IsAdultMode()
{
    return IsAdultMode(ServiceDevice());
}

bool SwitchTo500ml(bool on)
{
    return SwitchTo500ml(ServiceDevice(), on);
}

bool Is500mlMode()
{
    return Is500mlMode(ServiceDevice());
}

bool EnableAirPort(int port, bool enable)
{
    return EnableAirPort(ServiceDevice(), port, enable);
}

bool ResetAirPort()
{
    return ResetAirPort(ServiceDevice());
}

bool UpdateAirPortRelay()
{
    return UpdateAirPortRelay(ServiceDevice());
}

bool GetAirPortStatus(bool* bit1Set, bool* bit0Set)
{
    return GetAirPortStatus(ServiceDevice(), bit1Set, bit0Set);
}

unsigned int GetDeviceStatus()
{
    return GetDeviceStatus(ServiceDevice());
}

bool SetCalibrationPressureNumber(int n)
{
    return SetCalibrationPressureNumber(ServiceDevice(), n);
}

bool EnableDeviceStartTest(bool start)
{
    return EnableDeviceStartTest(ServiceDevice(), start);
}

bool NotifyDeviceAPConnected(bool connected)
{
    return NotifyDeviceAPConnected(ServiceDevice(), connected);
}

bool SwitchDeviceOperationMode(FUNCTION_ENUM function)
{
    return SwitchDeviceOperationMode(ServiceDevice(), function);
}

bool StartDeviceBuzzer()
{
    return StartDeviceBuzzer(ServiceDevice());
}

bool EnableBuzzer()
{
    return EnableBuzzer(ServiceDevice());
}

bool CheckSDCardStatus()
{
    return CheckSDCardStatus(ServiceDevice());
}

bool SDCardTest()
{
    return SDCardTest(ServiceDevice());
}

bool ReadSDCard(int nFirst, int nSecond, int nLength, unsigned char* buffer)
{
    return ReadSDCard(ServiceDevice(), nFirst, nSecond, nLength, buffer);
}

bool PausePump()
{
    return PausePump(ServiceDevice());
}

bool EnableDeviceDebugMode(bool bEnableDebug, bool bFineResolution, int unit, bool bOnlyLowerSensor)
{
    return EnableDeviceDebugMode(ServiceDevice(), bEnableDebug, bFineResolution, unit, bOnlyLowerSensor);
}

bool WritePNGFileName(const char* name)
{
    return WritePNGFileName(ServiceDevice(), name);
}

bool WritePNG(const char* data, int size)
{
    return WritePNG(ServiceDevice(), data, size);
}

bool Restart()
{
    return Restart(ServiceDevice());
}

bool UpdateDeviceInformation()
{
    return UpdateDeviceInformation(ServiceDevice());
}

bool GetDeviceInformation(MODEL_INFORMATION* info)
{
    return GetDeviceInformation(ServiceDevice(), info);
}

bool GetHWInformation(HW_INFORMATION* info)
{
    return GetHWInformation(ServiceDevice(), info);
}

bool GetBootloaderInformation(BOOTLOADER_INFORMATION* info)
{
    return GetBootloaderInformation(ServiceDevice(), info);
}

bool SetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware)
{
    return SetDeviceInformation(ServiceDevice(), model, hardware);
}

bool IsTargetDevice()
{
    return IsTargetDevice(ServiceDevice());
}

bool ReadMfgInfo(uint8_t* buffer, unsigned long size)
{
    return ReadMfgInfo(ServiceDevice(), buffer, size);
}

bool WriteMfgInfo(const uint8_t* data, unsigned long size)
{
    return WriteMfgInfo(ServiceDevice(), data, size);
}

const char* FormatSerialNumber()
{
    return FormatSerialNumber(ServiceDevice());
}

bool SetLeakTestSetting(double dPressure, int nLeakParam, double dLeakRate, int unit)
{
    return SetLeakTestSetting(ServiceDevice(), dPressure, nLeakParam, dLeakRate, unit);
}

bool GetLeakCalibrationRate(double* rate, double divisor)
{
    return GetLeakCalibrationRate(ServiceDevice(), rate, divisor);
}

bool SetLeakTestAutoSequenceSetting(double dPressure, int nLeakParam, double dLeakRate, bool bFlag1,
                                                bool bFlag2, int nNumber, int unit)
{
    return SetLeakTestAutoSequenceSetting(ServiceDevice(), dPressure, nLeakParam, dLeakRate, bFlag1, bFlag2, nNumber, unit);
}

bool GetLeakageTestResult(double* calibrationValue, double* leakValue, int* resultCode, float divisor)
{
    return GetLeakageTestResult(ServiceDevice(), calibrationValue, leakValue, resultCode, divisor);
}

bool SetOverpressureTestSetting(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                            double dPressure3, int unit)
{
    return SetOverpressureTestSetting(ServiceDevice(), bOverpressureFlag, dPressure1, dPressure2, dPressure3, unit);
}

bool SetOverpressureAutoSequenceTestSetting(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                                        double dPressure3, bool bFlag1, bool bFlag2, int nNumber,
                                                        int unit)
{
    return SetOverpressureAutoSequenceTestSetting(ServiceDevice(), bOverpressureFlag, dPressure1, dPressure2, dPressure3, bFlag1, bFlag2, nNumber, unit);
}

bool GetOverpressureTestResult(double* r1, double* r2, double* r3, double* r4, double* r5, double* r6,
                                           int unit)
{
    return GetOverpressureTestResult(ServiceDevice(), r1, r2, r3, r4, r5, r6, unit);
}

bool SetUnit(int unit)
{
    return SetUnit(ServiceDevice(), unit);
}

int GetUnit()
{
    return GetUnit(ServiceDevice());
}

bool SetStaticPressure(double dPressure, int nStaticParam, bool bStaticFlag, int unit)
{
    return SetStaticPressure(ServiceDevice(), dPressure, nStaticParam, bStaticFlag, unit);
}

bool SetStaticPressureEx(double* pressures, bool* enabled, int count, int nStaticParam,
                                     bool bStaticFlag, int unit)
{
    return SetStaticPressureEx(ServiceDevice(), pressures, enabled, count, nStaticParam, bStaticFlag, unit);
}

bool SetFixedStaticPressure(double dPressure, int unit)
{
    return SetFixedStaticPressure(ServiceDevice(), dPressure, unit);
}

bool SetStaticPressureAutoSequence(double* pressures, bool* enabled, int count, int nStaticParam,
                                               bool bStaticFlag, bool bFlag1, bool bFlag2, int nNumber, int unit)
{
    return SetStaticPressureAutoSequence(ServiceDevice(), pressures, enabled, count, nStaticParam, bStaticFlag, bFlag1, bFlag2, nNumber, unit);
}

bool SetMaxNumberAutoSequence(int n)
{
    return SetMaxNumberAutoSequence(ServiceDevice(), n);
}

bool GetStaticPressureTestResult(int* result)
{
    return GetStaticPressureTestResult(ServiceDevice(), result);
}

bool GetWaitStableTime(double* waitTime)
{
    return GetWaitStableTime(ServiceDevice(), waitTime);
}

bool RebaseZero(bool on)
{
    return RebaseZero(ServiceDevice(), on);
}

bool SetStandPressure(double value)
{
    return SetStandPressure(ServiceDevice(), value);
}
