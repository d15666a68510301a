// The service functions of the Linux library: identity writing, manufacturing
// data, firmware update and the port handle. The Windows DLL has none of them.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "api/ApiCall.h"
#include "api/Operations.h"
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
bool ConnectForFirmware(Device& device, int portNumber, uint32_t timeoutMs)
{
    return ConnectOn(static_cast<Instrument&>(device), "VasqConnect", portNumber, timeoutMs);
}

void FreeForFirmware(Device& device)
{
    FreeOn(static_cast<Instrument&>(device), "VasqFree");
}

struct FirmwareHooks {
    FirmwareHooks() { SetFirmwareConnection(ConnectForFirmware, FreeForFirmware); }
};
FirmwareHooks VASQ_INIT_LIFETIME s_firmwareHooks;

}  // namespace

int VasqGetBootloaderInformation(BOOTLOADER_INFORMATION* info)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return 0;
    if (info == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record is null");
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(GetBootloaderInformation(instrument, info));
}

int VasqSetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return 0;
    if (model == nullptr || hardware == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "a record is null");
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(SetDeviceInformation(instrument, model, hardware));
}

int VasqReadMfgInfo(unsigned char* buffer, unsigned long length)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return 0;
    if (buffer == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the buffer is null");
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(ReadMfgInfo(instrument, buffer, length));
}

int VasqWriteMfgInfo(const unsigned char* data, unsigned long length)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return 0;
    if (data == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the data is null");
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(WriteMfgInfo(instrument, data, length));
}

int VasqUpdateFwLoadBinFile(const char* path, int* first, int* second, int* third)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return -1;
    if (path == nullptr)
        return call.Fail(-1, kErrorInvalidArgument, "the path is null");
    const int result = [&] {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
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
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return;
    FlashBurnBinFile(instrument, callback);
    call.Result(0, ReasonCode() == kErrorNone);
}

long VasqGetDeviceHandle()
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return -1;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const long handle = instrument.m_hDevice.load();
    if (handle == -1)
        return call.Fail(handle, kErrorNotConnected, "no port is open");
    return call.Result(handle, true);
}

void VasqSetDeviceHandle(long handle)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    // Another port's identity must not pass for this one's, also when the
    // new handle is 0 or its probe fails; the close of the old port clears
    // its path too.
    if (handle != instrument.m_hDevice.load())
        ClearDeviceIdentity(instrument);
    AdoptDeviceHandle(instrument, handle);
    bool identified = true;
    if (handle != 0 && handle != -1)
        identified = IsTargetDevice(instrument);
    call.Result(0, identified);
}
