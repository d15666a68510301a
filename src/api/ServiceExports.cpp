// The service functions of the Linux library: identity writing, manufacturing
// data, firmware update and the port handle. The Windows DLL has none of them.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "api/ApiCall.h"
#include "device/Transport.h"
#include "platform/InitOrder.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/Firmware.h"
#include "protocol/Identity.h"
#include "vasq_service.h"
#include "api/Instrument.h"

namespace {

// The firmware update reconnects to the restarted device through the api layer, which hands that down.
struct FirmwareHooks {
    FirmwareHooks() { SetFirmwareConnection(VasqConnect, VasqFree); }
};
FirmwareHooks VASQ_INIT_LIFETIME s_firmwareHooks;

}  // namespace

int VasqGetBootloaderInformation(BOOTLOADER_INFORMATION* info)
{
    ApiCall call("VasqGetBootloaderInformation");
    if (call.Refused())
        return 0;
    if (info == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record is null");
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return call.Flag(GetBootloaderInformation(CurrentDevice(), info));
}

int VasqSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware)
{
    ApiCall call("VasqSetDeviceInformation");
    if (call.Refused())
        return 0;
    if (model == nullptr || hardware == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "a record is null");
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return call.Flag(SetDeviceInformation(CurrentDevice(), model, hardware));
}

int VasqReadMfgInfo(unsigned char* buffer, unsigned long length)
{
    ApiCall call("VasqReadMfgInfo");
    if (call.Refused())
        return 0;
    if (buffer == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the buffer is null");
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return call.Flag(ReadMfgInfo(CurrentDevice(), buffer, length));
}

int VasqWriteMfgInfo(const unsigned char* data, unsigned long length)
{
    ApiCall call("VasqWriteMfgInfo");
    if (call.Refused())
        return 0;
    if (data == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the data is null");
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return call.Flag(WriteMfgInfo(CurrentDevice(), data, length));
}

int VasqUpdateFwLoadBinFile(const char* path, int* first, int* second, int* third)
{
    ApiCall call("VasqUpdateFwLoadBinFile");
    if (call.Refused())
        return -1;
    if (path == nullptr)
        return call.Fail(-1, kErrorInvalidArgument, "the path is null");
    const int result = [&] {
        CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
        return FlashLoadBinFile(path, first, second, third);
    }();
    if (result >= 0)
        return call.Result(result, true);
    if (access(path, R_OK) != 0)
        return call.Fail(result, kErrorFile, "cannot read %s: %s", path, strerror(errno));
    return call.Fail(result, kErrorFile, "%s: firmware files are not loaded on this system", path);
}

void VasqUpdateFwBurnBinFile(UpdateProgressCallback callback)
{
    ApiCall call("VasqUpdateFwBurnBinFile");
    if (call.Refused())
        return;
    FlashBurnBinFile(CurrentDevice(), callback);
    call.Result(0, ReasonCode() == kErrorNone);
}

long VasqGetDeviceHandle()
{
    ApiCall call("VasqGetDeviceHandle");
    if (call.Refused())
        return -1;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    const long handle = CurrentInstrument().m_hDevice.load();
    if (handle == -1)
        return call.Fail(handle, kErrorNotConnected, "no port is open");
    return call.Result(handle, true);
}

void VasqSetDeviceHandle(long handle)
{
    ApiCall call("VasqSetDeviceHandle");
    if (call.Refused())
        return;
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    // Another port's identity must not pass for this one's, also when the
    // new handle is 0 or its probe fails; the close of the old port clears
    // its path too.
    if (handle != CurrentInstrument().m_hDevice.load())
        ClearDeviceIdentity(CurrentDevice());
    AdoptDeviceHandle(CurrentDevice(), handle);
    bool identified = true;
    if (handle != 0 && handle != -1)
        identified = IsTargetDevice(CurrentDevice());
    call.Result(0, identified);
}
