// The exported wrappers: each takes the API lock around its device work.
#include "device/Transport.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/Firmware.h"
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

int VasqGetBootloaderInformation(BOOTLOADER_INFORMATION* info)
{
    if (info == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return GetBootloaderInformation(info) ? 1 : 0;
}

int VasqSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware)
{
    if (model == nullptr || hardware == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return SetDeviceInformation(model, hardware) ? 1 : 0;
}

int VasqReadMfgInfo(unsigned char* buffer, unsigned long length)
{
    if (buffer == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return ReadMfgInfo(buffer, length) ? 1 : 0;
}

int VasqWriteMfgInfo(const unsigned char* data, unsigned long length)
{
    if (data == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return WriteMfgInfo(data, length) ? 1 : 0;
}

int VasqStopTest()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    EnableDeviceDebugMode(false, false, g_nPressureUnit.load(), false);
    EnableDeviceStartTest(false);
    return 1;
}

int VasqUpdateFwLoadBinFile(const char* path, int* first, int* second, int* third)
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return FlashLoadBinFile(path, first, second, third);
}

void VasqUpdateFwBurnBinFile(UpdateProgressCallback callback)
{
    FlashBurnBinFile(callback);
}
