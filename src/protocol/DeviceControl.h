#pragma once

#include <stdint.h>

#include <atomic>

#include "platform/Export.h"
#include "vasq.h"

class Device;

// Bit n set = air port n disabled. Lives in the library; reaches the device
// only through UpdateAirPortRelay.

constexpr uint8_t CMD_DEVICE_STATUS = 0;
constexpr uint8_t CMD_SD_CARD = 10;
constexpr uint8_t CMD_CALIBRATION_NUMBER = 131;
constexpr uint8_t CMD_START_TEST = 132;
constexpr uint8_t CMD_STOP_TEST = 133;
constexpr uint8_t CMD_HOST_CONNECTED = 135;
constexpr uint8_t CMD_OPERATION_MODE = 136;
constexpr uint8_t CMD_BUZZER = 137;
constexpr uint8_t CMD_PAUSE_PUMP = 139;
constexpr uint8_t CMD_DEBUG_MODE = 140;
constexpr uint8_t CMD_PICTURE_NAME = 141;
constexpr uint8_t CMD_PICTURE_DATA = 142;
constexpr uint8_t CMD_RESTART = 146;
constexpr uint8_t CMD_AIR_PORT_STATUS = 9;
constexpr uint8_t CMD_AIR_PORT_RELAY = 137;
constexpr uint8_t CMD_READ_SD_CARD = 5;

bool EnableAirPort(Device& device, int port, bool enable);
bool ResetAirPort(Device& device);
bool UpdateAirPortRelay(Device& device);
bool GetAirPortStatus(Device& device, bool* bit1Set, bool* bit0Set);
unsigned int GetDeviceStatus(Device& device);
bool SetCalibrationPressureNumber(Device& device, int n);
// Resets the stop-test event on a start, sets it on a stop (even when the
// exchange then fails), so every waiting test worker ends.
bool EnableDeviceStartTest(Device& device, bool start);
bool NotifyDeviceAPConnected(Device& device, bool connected);
bool SwitchDeviceOperationMode(Device& device, FUNCTION_ENUM function);
bool StartDeviceBuzzer(Device& device);
bool EnableBuzzer(Device& device);
bool CheckSDCardStatus(Device& device);
bool SDCardTest(Device& device);
bool ReadSDCard(Device& device, int nFirst, int nSecond, int nLength, unsigned char* buffer);
bool PausePump(Device& device);
bool EnableDeviceDebugMode(Device& device, bool bEnableDebug, bool bFineResolution, int unit, bool bOnlyLowerSensor);
bool WritePNGFileName(Device& device, const char* name);
bool WritePNG(Device& device, const char* data, int size);
bool Restart(Device& device);

// The block transfer that pictures and firmware use: packets of
// [offset (4 bytes), 0 (4 bytes), up to 96 data bytes]. Every packet but the
// last waits for its acknowledgement (at most 5000 ms, a missing one is
// skipped); the last packet's acknowledgement is the result. progress, when
// given, is told each block's offset before the block goes out, and the whole
// size before the last acknowledgement is read.
using UploadProgressFn = void (*)(void* context, uint32_t done);
bool ChunkedUpload(Device& device, uint8_t command, const uint8_t* data, uint32_t size, UploadProgressFn progress = nullptr,
                   void* context = nullptr);

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT bool EnableAirPort(int port, bool enable);
VASQ_EXPORT bool ResetAirPort();
VASQ_EXPORT bool UpdateAirPortRelay();
VASQ_EXPORT bool GetAirPortStatus(bool* bit1Set, bool* bit0Set);
VASQ_EXPORT unsigned int GetDeviceStatus();
VASQ_EXPORT bool SetCalibrationPressureNumber(int n);
VASQ_EXPORT bool EnableDeviceStartTest(bool start);
VASQ_EXPORT bool NotifyDeviceAPConnected(bool connected);
VASQ_EXPORT bool SwitchDeviceOperationMode(FUNCTION_ENUM function);
VASQ_EXPORT bool StartDeviceBuzzer();
VASQ_EXPORT bool EnableBuzzer();
VASQ_EXPORT bool CheckSDCardStatus();
VASQ_EXPORT bool SDCardTest();
VASQ_EXPORT bool ReadSDCard(int nFirst, int nSecond, int nLength, unsigned char* buffer);
VASQ_EXPORT bool PausePump();
VASQ_EXPORT bool EnableDeviceDebugMode(bool bEnableDebug, bool bFineResolution, int unit, bool bOnlyLowerSensor);
VASQ_EXPORT bool WritePNGFileName(const char* name);
VASQ_EXPORT bool WritePNG(const char* data, int size);
VASQ_EXPORT bool Restart();
