#pragma once

#include <stdint.h>

#include "platform/Export.h"
#include "vasq.h"
#include "device/Device.h"

class Device;

constexpr uint8_t CMD_IDENTITY_READ = 0;
constexpr uint8_t CMD_MFG_READ = 1;
constexpr uint8_t CMD_IDENTITY_WRITE = 128;
constexpr uint8_t CMD_MFG_WRITE = 129;
constexpr uint32_t IDENTITY_PAYLOAD_SIZE = 17;
constexpr uint32_t MFG_RECORD_SIZE = 64;
constexpr uint32_t MFG_INFO_SIZE = 16;
constexpr uint8_t VASQ9_MODEL_CODE = 0x70;


bool UpdateDeviceInformation(Device& device);
bool GetDeviceInformation(Device& device, MODEL_INFORMATION* info);
bool GetHWInformation(Device& device, HW_INFORMATION* info);
bool GetBootloaderInformation(Device& device, BOOTLOADER_INFORMATION* info);
bool SetDeviceInformation(Device& device, MODEL_INFORMATION* model, HW_INFORMATION* hardware);
bool IsTargetDevice(Device& device);
bool ReadMfgInfo(Device& device, uint8_t* buffer, unsigned long size);
bool WriteMfgInfo(Device& device, const uint8_t* data, unsigned long size);

// Zeroes the model and hardware records; the bootloader record keeps the last device's values.
void ClearDeviceIdentity(Device& device);
// The serial-number text of device.m_ModelInfo in a static buffer; empty unless it is exactly 14 characters.
const char* FormatSerialNumber(Device& device);

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT bool UpdateDeviceInformation();
VASQ_EXPORT bool GetDeviceInformation(MODEL_INFORMATION* info);
VASQ_EXPORT bool GetHWInformation(HW_INFORMATION* info);
VASQ_EXPORT bool GetBootloaderInformation(BOOTLOADER_INFORMATION* info);
VASQ_EXPORT bool SetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware);
VASQ_EXPORT bool IsTargetDevice();
VASQ_EXPORT bool ReadMfgInfo(uint8_t* buffer, unsigned long size);
VASQ_EXPORT bool WriteMfgInfo(const uint8_t* data, unsigned long size);
VASQ_EXPORT const char* FormatSerialNumber();
