// The protocol functions of release 1.0, as programs linked against it call
// them: without a device, on the default one.
#include "device/Device.h"
#include "protocol/BPSimulation.h"
#include "protocol/Command.h"
#include "protocol/DeviceControl.h"
#include "protocol/Identity.h"
#include "protocol/Leakage.h"
#include "protocol/Units.h"

bool SetBPDefault(BPCommon* p, int unit)
{
    return SetBPDefault(DefaultDevice(), p, unit);
}

bool SetBPCustom(BPEnvelopeCustomized* p, int unit)
{
    return SetBPCustom(DefaultDevice(), p, unit);
}

bool GetBPCustomParam(BPMethodType method, BPEnvelopeCustomized* out, int unit)
{
    return GetBPCustomParam(DefaultDevice(), method, out, unit);
}

bool SetBPCustomRawData(int nHeartRate, double* pressures, double* amplitudes, int count, int unit)
{
    return SetBPCustomRawData(DefaultDevice(), nHeartRate, pressures, amplitudes, count, unit);
}

bool SetBPAutoSequence(BPCommon* p, bool bFlag1, bool bFlag2, int nNumber, int unit)
{
    return SetBPAutoSequence(DefaultDevice(), p, bFlag1, bFlag2, nNumber, unit);
}

bool GetBPTestResult(int unit, double* r1, double* r2, double* r3, double* r4)
{
    return GetBPTestResult(DefaultDevice(), unit, r1, r2, r3, r4);
}

bool SetBPSetting(unsigned int first, unsigned int second)
{
    return SetBPSetting(DefaultDevice(), first, second);
}

bool SetBPHR(unsigned int nHeartRate)
{
    return SetBPHR(DefaultDevice(), nHeartRate);
}

bool SetBPPulseVolume(double dPulseVolume)
{
    return SetBPPulseVolume(DefaultDevice(), dPulseVolume);
}

bool SetBPEnvelop(int e1, int e2)
{
    return SetBPEnvelop(DefaultDevice(), e1, e2);
}

bool GetBPSetting(unsigned int* first, unsigned int* second)
{
    return GetBPSetting(DefaultDevice(), first, second);
}

bool GetBPHR(unsigned int* nHeartRate)
{
    return GetBPHR(DefaultDevice(), nHeartRate);
}

bool GetBPPulseVolume(double* dPulseVolume)
{
    return GetBPPulseVolume(DefaultDevice(), dPulseVolume);
}

bool GetBPEnvelop(int* e1, int* e2)
{
    return GetBPEnvelop(DefaultDevice(), e1, e2);
}

bool SetCuffLocation(int location)
{
    return SetCuffLocation(DefaultDevice(), location);
}

int GetCuffLocation(int unused)
{
    return GetCuffLocation(DefaultDevice(), unused);
}

bool SwitchToAdultMode(bool adult)
{
    return SwitchToAdultMode(DefaultDevice(), adult);
}

bool IsAdultMode()
{
    return IsAdultMode(DefaultDevice());
}

bool SwitchTo500ml(bool on)
{
    return SwitchTo500ml(DefaultDevice(), on);
}

bool Is500mlMode()
{
    return Is500mlMode(DefaultDevice());
}

bool EnableAirPort(int port, bool enable)
{
    return EnableAirPort(DefaultDevice(), port, enable);
}

bool ResetAirPort()
{
    return ResetAirPort(DefaultDevice());
}

bool UpdateAirPortRelay()
{
    return UpdateAirPortRelay(DefaultDevice());
}

bool GetAirPortStatus(bool* bit1Set, bool* bit0Set)
{
    return GetAirPortStatus(DefaultDevice(), bit1Set, bit0Set);
}

unsigned int GetDeviceStatus()
{
    return GetDeviceStatus(DefaultDevice());
}

bool SetCalibrationPressureNumber(int n)
{
    return SetCalibrationPressureNumber(DefaultDevice(), n);
}

bool EnableDeviceStartTest(bool start)
{
    return EnableDeviceStartTest(DefaultDevice(), start);
}

bool NotifyDeviceAPConnected(bool connected)
{
    return NotifyDeviceAPConnected(DefaultDevice(), connected);
}

bool SwitchDeviceOperationMode(FUNCTION_ENUM function)
{
    return SwitchDeviceOperationMode(DefaultDevice(), function);
}

bool StartDeviceBuzzer()
{
    return StartDeviceBuzzer(DefaultDevice());
}

bool EnableBuzzer()
{
    return EnableBuzzer(DefaultDevice());
}

bool CheckSDCardStatus()
{
    return CheckSDCardStatus(DefaultDevice());
}

bool SDCardTest()
{
    return SDCardTest(DefaultDevice());
}

bool ReadSDCard(int nFirst, int nSecond, int nLength, unsigned char* buffer)
{
    return ReadSDCard(DefaultDevice(), nFirst, nSecond, nLength, buffer);
}

bool PausePump()
{
    return PausePump(DefaultDevice());
}

bool EnableDeviceDebugMode(bool bEnableDebug, bool bFineResolution, int unit, bool bOnlyLowerSensor)
{
    return EnableDeviceDebugMode(DefaultDevice(), bEnableDebug, bFineResolution, unit, bOnlyLowerSensor);
}

bool WritePNGFileName(const char* name)
{
    return WritePNGFileName(DefaultDevice(), name);
}

bool WritePNG(const char* data, int size)
{
    return WritePNG(DefaultDevice(), data, size);
}

bool Restart()
{
    return Restart(DefaultDevice());
}

bool UpdateDeviceInformation()
{
    return UpdateDeviceInformation(DefaultDevice());
}

bool GetDeviceInformation(MODEL_INFORMATION* info)
{
    return GetDeviceInformation(DefaultDevice(), info);
}

bool GetHWInformation(HW_INFORMATION* info)
{
    return GetHWInformation(DefaultDevice(), info);
}

bool GetBootloaderInformation(BOOTLOADER_INFORMATION* info)
{
    return GetBootloaderInformation(DefaultDevice(), info);
}

bool SetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware)
{
    return SetDeviceInformation(DefaultDevice(), model, hardware);
}

bool IsTargetDevice()
{
    return IsTargetDevice(DefaultDevice());
}

bool ReadMfgInfo(uint8_t* buffer, unsigned long size)
{
    return ReadMfgInfo(DefaultDevice(), buffer, size);
}

bool WriteMfgInfo(const uint8_t* data, unsigned long size)
{
    return WriteMfgInfo(DefaultDevice(), data, size);
}

const char* FormatSerialNumber()
{
    return FormatSerialNumber(DefaultDevice());
}

bool SetLeakTestSetting(double dPressure, int nLeakParam, double dLeakRate, int unit)
{
    return SetLeakTestSetting(DefaultDevice(), dPressure, nLeakParam, dLeakRate, unit);
}

bool GetLeakCalibrationRate(double* rate, double divisor)
{
    return GetLeakCalibrationRate(DefaultDevice(), rate, divisor);
}

bool SetLeakTestAutoSequenceSetting(double dPressure, int nLeakParam, double dLeakRate, bool bFlag1,
                                                bool bFlag2, int nNumber, int unit)
{
    return SetLeakTestAutoSequenceSetting(DefaultDevice(), dPressure, nLeakParam, dLeakRate, bFlag1, bFlag2, nNumber, unit);
}

bool GetLeakageTestResult(double* calibrationValue, double* leakValue, int* resultCode, float divisor)
{
    return GetLeakageTestResult(DefaultDevice(), calibrationValue, leakValue, resultCode, divisor);
}

bool SetOverpressureTestSetting(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                            double dPressure3, int unit)
{
    return SetOverpressureTestSetting(DefaultDevice(), bOverpressureFlag, dPressure1, dPressure2, dPressure3, unit);
}

bool SetOverpressureAutoSequenceTestSetting(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                                        double dPressure3, bool bFlag1, bool bFlag2, int nNumber,
                                                        int unit)
{
    return SetOverpressureAutoSequenceTestSetting(DefaultDevice(), bOverpressureFlag, dPressure1, dPressure2, dPressure3, bFlag1, bFlag2, nNumber, unit);
}

bool GetOverpressureTestResult(double* r1, double* r2, double* r3, double* r4, double* r5, double* r6,
                                           int unit)
{
    return GetOverpressureTestResult(DefaultDevice(), r1, r2, r3, r4, r5, r6, unit);
}

bool SetUnit(int unit)
{
    return SetUnit(DefaultDevice(), unit);
}

int GetUnit()
{
    return GetUnit(DefaultDevice());
}

bool SetStaticPressure(double dPressure, int nStaticParam, bool bStaticFlag, int unit)
{
    return SetStaticPressure(DefaultDevice(), dPressure, nStaticParam, bStaticFlag, unit);
}

bool SetStaticPressureEx(double* pressures, bool* enabled, int count, int nStaticParam,
                                     bool bStaticFlag, int unit)
{
    return SetStaticPressureEx(DefaultDevice(), pressures, enabled, count, nStaticParam, bStaticFlag, unit);
}

bool SetFixedStaticPressure(double dPressure, int unit)
{
    return SetFixedStaticPressure(DefaultDevice(), dPressure, unit);
}

bool SetStaticPressureAutoSequence(double* pressures, bool* enabled, int count, int nStaticParam,
                                               bool bStaticFlag, bool bFlag1, bool bFlag2, int nNumber, int unit)
{
    return SetStaticPressureAutoSequence(DefaultDevice(), pressures, enabled, count, nStaticParam, bStaticFlag, bFlag1, bFlag2, nNumber, unit);
}

bool SetMaxNumberAutoSequence(int n)
{
    return SetMaxNumberAutoSequence(DefaultDevice(), n);
}

bool GetStaticPressureTestResult(int* result)
{
    return GetStaticPressureTestResult(DefaultDevice(), result);
}

bool GetWaitStableTime(double* waitTime)
{
    return GetWaitStableTime(DefaultDevice(), waitTime);
}

bool RebaseZero(bool on)
{
    return RebaseZero(DefaultDevice(), on);
}

bool SetStandPressure(double value)
{
    return SetStandPressure(DefaultDevice(), value);
}
