// The service functions of the Linux library: identity writing, manufacturing
// data, firmware update and the port handle. The Windows DLL has none of them.
#include "device/Transport.h"
#include "platform/InitOrder.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/Firmware.h"
#include "protocol/Identity.h"
#include "vasq_service.h"

namespace {

// The firmware update reconnects to the restarted device through the api layer, which hands that down.
struct FirmwareHooks {
    FirmwareHooks() { SetFirmwareConnection(VasqConnect, VasqFree); }
};
FirmwareHooks VASQ_INIT_LIFETIME s_firmwareHooks;

}  // namespace

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

int VasqUpdateFwLoadBinFile(const char* path, int* first, int* second, int* third)
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return FlashLoadBinFile(path, first, second, third);
}

void VasqUpdateFwBurnBinFile(UpdateProgressCallback callback)
{
    FlashBurnBinFile(callback);
}

long VasqGetDeviceHandle()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return g_hDevice.load();
}

void VasqSetDeviceHandle(long handle)
{
    CAutoCriticalSection lock(g_APICriticalSection);
    if (handle != g_hDevice.load())
        ClearDeviceIdentity();
    AdoptDeviceHandle(handle);
    if (handle != 0 && handle != -1)
        IsTargetDevice();
}
