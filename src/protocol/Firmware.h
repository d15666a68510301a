#pragma once

#include <stdint.h>

#include "platform/Export.h"
#include "vasq.h"

class Device;

constexpr uint8_t CMD_FIRMWARE_SIZE = 17;
constexpr uint8_t CMD_FIRMWARE_DATA = 143;
constexpr uint8_t CMD_FIRMWARE_APPLY = 144;
// The image ends in a tail of this many bytes that is not transferred.
constexpr int kFirmwareTailSize = 32;

enum FirmwareProgress {
    FW_PROGRESS_WRITING = 1,
    FW_PROGRESS_VERIFYING = 2,
    FW_PROGRESS_UPDATING = 4,
    FW_PROGRESS_DONE = 5,
    FW_PROGRESS_WRITE_FAILED = 7,
    FW_PROGRESS_SIZE_MISMATCH = 8,
    FW_PROGRESS_CONNECT_FAILED = 9,
    FW_PROGRESS_RECONNECT_FAILED = 10,
    FW_PROGRESS_APPLY_FAILED = 11,
};

using FirmwareProgressFn = void (*)(int code, unsigned int done, unsigned int total);
using ChunkProgressFn = void (*)(unsigned int done, unsigned int total);

// No firmware image format exists: nothing is loaded and the result is -1.
VASQ_EXPORT int FlashLoadBinFile(const char* path, int* first, int* second, int* third);
void FlashBurnBinFile(Device& device, FirmwareProgressFn progress);
bool WriteDataFWBinFile(Device& device, unsigned char* data, int size, ChunkProgressFn chunkProgress);
unsigned int GetFWBinSize(Device& device);
bool UpdateFWAction(Device& device);
VASQ_EXPORT void NotifyUpdateStatus(int code, unsigned int done, unsigned int total);
VASQ_EXPORT void FlashUpdateWriteHandler(unsigned int done, unsigned int total);
VASQ_EXPORT void FlashUpdateVerifyHandler(unsigned int done, unsigned int total);

// Puts an image into the loaded-image state, as a loader would: its bytes
// (the 32-byte tail included) and the firmware version it carries. Tests use
// it to run the update; null clears the state.
void SetFlashImageForTesting(const unsigned char* data, int size, const HW_INFORMATION* version);
// How the update connects to the device and releases it (VasqConnect and
// VasqFree), handed down by the layer above.
using FirmwareConnectFn = bool (*)(Device& device, int portNumber, uint32_t timeoutMs);
using FirmwareReleaseFn = void (*)(Device& device);
void SetFirmwareConnection(FirmwareConnectFn connect, FirmwareReleaseFn release);

// The loaded image's version record (its hardware fields are the device's after an update).
HW_INFORMATION FlashImageVersion();

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT void FlashBurnBinFile(FirmwareProgressFn progress);
VASQ_EXPORT bool WriteDataFWBinFile(unsigned char* data, int size, ChunkProgressFn chunkProgress);
VASQ_EXPORT unsigned int GetFWBinSize();
VASQ_EXPORT bool UpdateFWAction();
