#pragma once

#include <stdint.h>

#include <atomic>

#include "platform/Export.h"

class Device;

// The device works in one unit at a time (0 = mmHg, 1 = kPa); the library
// never converts between them.
// Divisor that turns raw samples and leak values into the current unit.

constexpr int kLimitTableSize = 18;
extern const double g_limitMmhg[kLimitTableSize];
extern const double g_limitKpa[kLimitTableSize];

constexpr uint8_t CMD_READ_DEVICE_SETTINGS = 3;
constexpr uint8_t CMD_READ_STATIC_PRESSURE = 4;
constexpr uint8_t CMD_SET_MAX_AUTO_SEQUENCE = 129;
constexpr uint8_t CMD_WRITE_DEVICE_SETTINGS = 131;
constexpr uint8_t CMD_WRITE_STATIC_PRESSURE = 132;
constexpr uint8_t CMD_STATIC_AUTO_SEQUENCE = 139;
constexpr uint8_t CMD_FIXED_STATIC_PRESSURE = 143;
constexpr uint8_t CMD_STATIC_RESULT = 0;
constexpr uint8_t CMD_READ_ZERO_BASE = 20;
constexpr uint8_t CMD_WAIT_STABLE_TIME = 21;
constexpr uint8_t CMD_SET_STAND_PRESSURE = 134;
constexpr uint8_t CMD_SET_ZERO_BASE = 148;

constexpr uint32_t DEVICE_SETTINGS_SIZE = 4;
constexpr uint32_t STATIC_PRESSURE_RECORD_SIZE = 25;
constexpr int kMaxStaticPressures = 10;

VASQ_EXPORT double CheckLimit(int kind, double value);
VASQ_EXPORT double CheckPressureLimit(int kind, double value, int unit);

// The device settings record: cuff location, unit, adult flag, 500 ml flag.
bool ReadDeviceSettings(Device& device, uint8_t* settings);
// Read-modify-write of one byte of the device settings record.
bool ChangeDeviceSetting(Device& device, int index, int64_t value);

bool SetUnit(Device& device, int unit);
int GetUnit(Device& device);
// The device's unit; false when the read fails or gives a code other than 0 or 1.
bool ReadPressureUnit(Device& device, int* unit);
// The unit the library holds, and the resolution that goes with it: leak
// values and samples are divided by 10 in mmHg and by 100 in kPa.
void HoldPressureUnit(Device& device, int unit);
bool SetStaticPressure(Device& device, double dPressure, int nStaticParam, bool bStaticFlag, int unit);
bool SetStaticPressureEx(Device& device, double* pressures, bool* enabled, int count, int nStaticParam,
                                     bool bStaticFlag, int unit);
bool SetFixedStaticPressure(Device& device, double dPressure, int unit);
bool SetStaticPressureAutoSequence(Device& device, double* pressures, bool* enabled, int count, int nStaticParam,
                                               bool bStaticFlag, bool bFlag1, bool bFlag2, int nNumber, int unit);
bool SetMaxNumberAutoSequence(Device& device, int n);
bool GetStaticPressureTestResult(Device& device, int* result);
bool GetWaitStableTime(Device& device, double* waitTime);
bool RebaseZero(Device& device, bool on);
bool SetStandPressure(Device& device, double value);

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT bool SetUnit(int unit);
VASQ_EXPORT int GetUnit();
VASQ_EXPORT bool SetStaticPressure(double dPressure, int nStaticParam, bool bStaticFlag, int unit);
VASQ_EXPORT bool SetStaticPressureEx(double* pressures, bool* enabled, int count, int nStaticParam,
                                     bool bStaticFlag, int unit);
VASQ_EXPORT bool SetFixedStaticPressure(double dPressure, int unit);
VASQ_EXPORT bool SetStaticPressureAutoSequence(double* pressures, bool* enabled, int count, int nStaticParam,
                                               bool bStaticFlag, bool bFlag1, bool bFlag2, int nNumber, int unit);
VASQ_EXPORT bool SetMaxNumberAutoSequence(int n);
VASQ_EXPORT bool GetStaticPressureTestResult(int* result);
VASQ_EXPORT bool GetWaitStableTime(double* waitTime);
VASQ_EXPORT bool RebaseZero(bool on);
VASQ_EXPORT bool SetStandPressure(double value);
