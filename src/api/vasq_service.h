// Service functions of the Linux library, exported under their C++ names.
#pragma once

#include <stdint.h>

#include "vasq.h"

typedef void (*UpdateProgressCallback)(int stage, unsigned int progress, unsigned int total);

VASQ_API int VasqGetBootloaderInformation(BOOTLOADER_INFORMATION* info);
VASQ_API long VasqGetDeviceHandle();
// Adopts a port the application opened itself: no configuration, no lock file;
// a non-zero handle is probed to refresh the identity records.
VASQ_API void VasqSetDeviceHandle(long handle);
VASQ_API int VasqReadMfgInfo(unsigned char* buffer, unsigned long length);
VASQ_API int VasqWriteMfgInfo(const unsigned char* data, unsigned long length);
VASQ_API int VasqSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware);
// No firmware image format exists: loads nothing and returns -1.
VASQ_API int VasqUpdateFwLoadBinFile(const char* path, int* first, int* second, int* third);
// Runs the whole update with the loaded image; returns at once when none is loaded.
VASQ_API void VasqUpdateFwBurnBinFile(UpdateProgressCallback callback);
