#pragma once

#include <stdint.h>

#include "platform/Export.h"

class Device;

constexpr uint8_t CMD_LEAK_CALIBRATION_RATE = 6;
constexpr uint8_t CMD_READ_OVERPRESSURE = 7;
constexpr uint8_t CMD_WRITE_LEAK_SETTING = 134;
constexpr uint8_t CMD_WRITE_OVERPRESSURE = 135;
constexpr uint8_t CMD_LEAK_AUTO_SEQUENCE = 141;
constexpr uint8_t CMD_OVERPRESSURE_AUTO_SEQUENCE = 142;
constexpr uint8_t CMD_LEAKAGE_RESULT = 2;
constexpr uint8_t CMD_OVERPRESSURE_RESULT = 3;

bool SetLeakTestSetting(Device& device, double dPressure, int nLeakParam, double dLeakRate, int unit);
bool GetLeakCalibrationRate(Device& device, double* rate, double divisor);
bool SetLeakTestAutoSequenceSetting(Device& device, double dPressure, int nLeakParam, double dLeakRate, bool bFlag1,
                                                bool bFlag2, int nNumber, int unit);
// The values are divided in single precision, as the device's figures have always been.
bool GetLeakageTestResult(Device& device, double* calibrationValue, double* leakValue, int* resultCode, float divisor);
bool SetOverpressureTestSetting(Device& device, bool bOverpressureFlag, double dPressure1, double dPressure2,
                                            double dPressure3, int unit);
bool SetOverpressureAutoSequenceTestSetting(Device& device, bool bOverpressureFlag, double dPressure1, double dPressure2,
                                                        double dPressure3, bool bFlag1, bool bFlag2, int nNumber,
                                                        int unit);
bool GetOverpressureTestResult(Device& device, double* r1, double* r2, double* r3, double* r4, double* r5, double* r6,
                                           int unit);

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT bool SetLeakTestSetting(double dPressure, int nLeakParam, double dLeakRate, int unit);
VASQ_EXPORT bool GetLeakCalibrationRate(double* rate, double divisor);
VASQ_EXPORT bool SetLeakTestAutoSequenceSetting(double dPressure, int nLeakParam, double dLeakRate, bool bFlag1,
                                                bool bFlag2, int nNumber, int unit);
VASQ_EXPORT bool GetLeakageTestResult(double* calibrationValue, double* leakValue, int* resultCode, float divisor);
VASQ_EXPORT bool SetOverpressureTestSetting(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                            double dPressure3, int unit);
VASQ_EXPORT bool SetOverpressureAutoSequenceTestSetting(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                                        double dPressure3, bool bFlag1, bool bFlag2, int nNumber,
                                                        int unit);
VASQ_EXPORT bool GetOverpressureTestResult(double* r1, double* r2, double* r3, double* r4, double* r5, double* r6,
                                           int unit);
