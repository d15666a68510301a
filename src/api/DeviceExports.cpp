// Devices opened by number or search, beside the default device of the
// interface's own functions.
#include <stdint.h>

#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "api/ApiCall.h"
#include "api/Connection.h"
#include "api/Runners.h"
#include "api/Sampling.h"
#include "api/Workers.h"
#include "api/Instrument.h"
#include "device/Transport.h"
#include "platform/InitOrder.h"
#include "vasq.h"

// What a handle stands for. A handle is a number that no other device of this
// library has had or will have, never the object's address: a handle kept
// after its close fails however the allocator reuses the memory.
struct VasqDevice {
    Instrument device;
};

namespace {

struct OpenDevices {
    std::mutex mutex;
    std::map<uintptr_t, VasqDevice*> devices;
    uintptr_t lastHandle = 0;
    // Closes asked for on a thread of the library finish on threads of their
    // own, which are joined by the next open or close, or at unload.
    WorkerThreads closers;
};
OpenDevices VASQ_INIT_DEVICE s_open;

uintptr_t Number(VasqDevice* handle)
{
    return reinterpret_cast<uintptr_t>(handle);
}

// The device of a handle, or why the handle names none.
DeviceCall::Target OpenDevice(VasqDevice* handle)
{
    if (handle == nullptr)
        return {nullptr, "the device is null"};
    std::lock_guard<std::mutex> lock(s_open.mutex);
    const auto found = s_open.devices.find(Number(handle));
    if (found != s_open.devices.end())
        return {&found->second->device, nullptr};
    return {nullptr, Number(handle) <= s_open.lastHandle ? "the device is closed" : "no device has this handle"};
}

// A new device's handle; null once every number has been given (after 2^32
// opens where pointers have 32 bits).
VasqDevice* Publish(VasqDevice* device)
{
    std::lock_guard<std::mutex> lock(s_open.mutex);
    if (s_open.lastHandle + 1 == 0)
        return nullptr;
    const uintptr_t handle = ++s_open.lastHandle;
    s_open.devices.emplace(handle, device);
    return reinterpret_cast<VasqDevice*>(handle);
}

// Takes the device out of the open ones: null when the handle names none.
VasqDevice* TakeOpen(VasqDevice* handle)
{
    std::lock_guard<std::mutex> lock(s_open.mutex);
    const auto found = s_open.devices.find(Number(handle));
    if (found == s_open.devices.end())
        return nullptr;
    VasqDevice* device = found->second;
    s_open.devices.erase(found);
    return device;
}

void Release(VasqDevice* device)
{
    {
        DeviceCall forward("VasqCloseDevice", &device->device);
        VasqFree();
    }
    delete device;
}

void* CloseOnItsOwnThread(void* argument)
{
    Release(static_cast<VasqDevice*>(argument));
    s_open.closers.Ended(CurrentThreadHandle());
    return nullptr;
}

void JoinEndedClosers()
{
    WorkerThreads::Join(s_open.closers.Take(true));
}

// At unload the open devices end their threads and release their ports and
// lock files; as with the default device, nothing is sent.
struct DevicesLifetime {
    ~DevicesLifetime()
    {
        // A forked child leaves the parent's devices as they are.
        if (InForkedChild())
            return;
        WorkerThreads::Join(s_open.closers.Take(false));
        std::map<uintptr_t, VasqDevice*> devices;
        {
            std::lock_guard<std::mutex> lock(s_open.mutex);
            devices.swap(s_open.devices);
        }
        for (const auto& [handle, device] : devices) {
            {
                DeviceScope scope(device->device);
                StopWorkersAtUnload(device->device);
                ReleaseConnectionAtUnload();
            }
            delete device;
        }
    }
};
DevicesLifetime VASQ_INIT_DEVICES_LIFETIME s_devicesLifetime;

}  // namespace

VasqDevice* VasqOpenDevice(int portNumber, uint32_t timeoutMs)
{
    if (InLogSink()) {
        SetLastError(kErrorBusy, "VasqOpenDevice: not from inside the log callback");
        return nullptr;
    }
    if (OnDeviceThread()) {
        SetLastError(kErrorBusy, "VasqOpenDevice: not from a callback or another thread of the library");
        return nullptr;
    }
    JoinEndedClosers();
    auto* device = new (std::nothrow) VasqDevice;
    if (device == nullptr) {
        SetLastError(kErrorSystem, "VasqOpenDevice: out of memory");
        return nullptr;
    }
    device->device.m_bindsToSerialNumber = true;
    bool found;
    {
        DeviceCall forward("VasqOpenDevice", &device->device);
        found = VasqConnect(portNumber, timeoutMs);
    }
    // A failed connect has released everything it started.
    if (!found) {
        delete device;
        return nullptr;
    }
    // Bound to its instrument now: after a loss it is looked for on every port.
    device->device.m_nPortNumber.store(-1);
    VasqDevice* handle = Publish(device);
    if (handle == nullptr) {
        Release(device);
        SetLastError(kErrorSystem, "VasqOpenDevice: every device handle has been given out");
    }
    return handle;
}

void VasqCloseDevice(VasqDevice* handle)
{
    if (InLogSink()) {
        SetLastError(kErrorBusy, "VasqCloseDevice: not from inside the log callback");
        return;
    }
    const DeviceCall::Target target = OpenDevice(handle);
    VasqDevice* device = target.device != nullptr ? TakeOpen(handle) : nullptr;
    if (device == nullptr) {
        const char* fault = target.fault != nullptr ? target.fault : "the device is closed";
        SetLastError(kErrorInvalidArgument, (std::string("VasqCloseDevice: ") + fault).c_str());
        return;
    }
    if (!OnDeviceThread()) {
        JoinEndedClosers();
        Release(device);
        return;
    }
    // From a callback: no further callback of the device starts from here on,
    // and the rest, which waits for the device's threads, happens elsewhere.
    device->device.m_ConnectedCallback.Store({});
    {
        DeviceCall forward("VasqCloseDevice", &device->device);
        VasqStopSampling();
    }
    {
        DeviceCall forward("VasqCloseDevice", &device->device);
        VasqStopTest();
    }
    unsigned long closer = 0;
    if (s_open.closers.Start(DefaultInstrument(), &closer, CloseOnItsOwnThread, device) == 0) {
        // Without a thread the device stays allocated (and open) until unload
        // rather than being freed under its own running thread.
        std::lock_guard<std::mutex> lock(s_open.mutex);
        s_open.devices.emplace(Number(handle), device);
        SetLastError(kErrorSystem, "VasqCloseDevice: cannot start the thread that finishes the close");
        return;
    }
    SetLastError(kErrorNone, "");
}

const char* VasqDeviceGetSerialNumber(VasqDevice* device)
{
    DeviceCall forward("VasqDeviceGetSerialNumber", OpenDevice(device));
    if (!forward.Valid())
        return "";
    ApiCall call("VasqDeviceGetSerialNumber");
    Instrument& current = CurrentInstrument();
    std::lock_guard<std::mutex> lock(current.m_recordsMutex);
    return call.Result<const char*>(current.m_szBoundSerialNumber, current.m_szBoundSerialNumber[0] != '\0');
}

int VasqDeviceGetPortNumber(VasqDevice* device)
{
    DeviceCall forward("VasqDeviceGetPortNumber", OpenDevice(device));
    if (!forward.Valid())
        return -1;
    ApiCall call("VasqDeviceGetPortNumber");
    const int port = CurrentInstrument().m_bConnected.load() != 0 ? DeviceOpenPortNumber(CurrentDevice()) : -1;
    return call.Result(port, port != -1);
}

int VasqDeviceSetConnectionCallback(VasqDevice* device, VasqDeviceConnectedCallback callback, void* context)
{
    DeviceCall forward("VasqDeviceSetConnectionCallback", OpenDevice(device));
    if (!forward.Valid())
        return 0;
    ApiCall call("VasqDeviceSetConnectionCallback");
    CurrentInstrument().m_ConnectedCallback.Store(ConnectionTarget(callback, context));
    return call.Flag(true);
}

namespace {

// An identity record of a device: zeroed, and a failure, while the device has
// no instrument (the interface's own getters succeed with the zeroed record).
template <typename Record>
int DeviceRecord(const char* name, VasqDevice* device, Record* info, int (*get)(Record*))
{
    DeviceCall forward(name, OpenDevice(device));
    if (!forward.Valid())
        return 0;
    ApiCall call(name);
    if (info != nullptr && CurrentInstrument().m_bConnected.load() == 0) {
        *info = Record{};
        return call.Fail(0, kErrorNotConnected, "no instrument is connected (the device is lost)");
    }
    return call.Flag(get(info) == 1);
}

}  // namespace

int VasqDeviceGetDeviceInformation(VasqDevice* device, MODEL_INFORMATION* info)
{
    return DeviceRecord("VasqDeviceGetDeviceInformation", device, info, VasqGetDeviceInformation);
}

int VasqDeviceGetHWInformation(VasqDevice* device, HW_INFORMATION* info)
{
    return DeviceRecord("VasqDeviceGetHWInformation", device, info, VasqGetHWInformation);
}

int VasqDeviceSetPressureUnit(VasqDevice* device, int unit)
{
    DeviceCall call("VasqDeviceSetPressureUnit", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqSetPressureUnit(unit);
}

int VasqDeviceGetPressureUnit(VasqDevice* device)
{
    DeviceCall call("VasqDeviceGetPressureUnit", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqGetPressureUnit();
}

int VasqDeviceRebaseZero(VasqDevice* device, bool on)
{
    DeviceCall call("VasqDeviceRebaseZero", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqRebaseZero(on);
}

int VasqDeviceStartSampling(VasqDevice* device, VasqDeviceSamplingCallback callback, void* context)
{
    DeviceCall call("VasqDeviceStartSampling", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return StartSamplingHere(SamplingTarget(callback, context));
}

void VasqDeviceStopSampling(VasqDevice* device)
{
    DeviceCall call("VasqDeviceStopSampling", OpenDevice(device));
    if (!call.Valid())
        return;
    VasqStopSampling();
}

int VasqDeviceGetSampleRate(VasqDevice* device)
{
    DeviceCall call("VasqDeviceGetSampleRate", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqGetSampleRate();
}

int VasqDeviceEnableAirPort(VasqDevice* device, int port, bool enable)
{
    DeviceCall call("VasqDeviceEnableAirPort", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqEnableAirPort(port, enable);
}

int VasqDeviceResetAirPort(VasqDevice* device)
{
    DeviceCall call("VasqDeviceResetAirPort", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqResetAirPort();
}

int VasqDeviceUpdateAirPort(VasqDevice* device)
{
    DeviceCall call("VasqDeviceUpdateAirPort", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqUpdateAirPort();
}

int VasqDevicePausePump(VasqDevice* device)
{
    DeviceCall call("VasqDevicePausePump", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqPausePump();
}

int VasqDeviceStopTest(VasqDevice* device)
{
    DeviceCall call("VasqDeviceStopTest", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqStopTest();
}

int VasqDeviceRunBPTest(VasqDevice* device, void* parameters, VasqDeviceBPTestCallback callback, void* context)
{
    DeviceCall call("VasqDeviceRunBPTest", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return RunBPTestFor(parameters, BPTestTarget(callback, context));
}

int VasqDeviceRunLeakageTest(VasqDevice* device, double dPressure, int nLeakParam, double dLeakRate, VasqDeviceLeakageTestCallback callback, void* context)
{
    DeviceCall call("VasqDeviceRunLeakageTest", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return RunLeakageTestFor(dPressure, nLeakParam, dLeakRate, LeakageTestTarget(callback, context));
}

int VasqDeviceRunLeakageCalibration(VasqDevice* device, double dPressure, VasqDeviceLeakageTestCallback callback, void* context)
{
    DeviceCall call("VasqDeviceRunLeakageCalibration", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return RunLeakageCalibrationFor(dPressure, LeakageTestTarget(callback, context));
}

int VasqDeviceGetLeakageCalibrationRate(VasqDevice* device, double* rate)
{
    DeviceCall call("VasqDeviceGetLeakageCalibrationRate", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqGetLeakageCalibrationRate(rate);
}

int VasqDeviceRunOverpressureTest(VasqDevice* device, bool bOverpressureFlag, double dPressure1, double dPressure2, double dPressure3, VasqDeviceOverpressureTestCallback callback, void* context)
{
    DeviceCall call("VasqDeviceRunOverpressureTest", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return RunOverpressureTestFor(bOverpressureFlag, dPressure1, dPressure2, dPressure3, OverpressureTestTarget(callback, context));
}

int VasqDeviceRunStaticPressure(VasqDevice* device, double dPressure, int nStaticParam, VasqDeviceStaticPressureCallback callback, void* context, bool bStaticFlag)
{
    DeviceCall call("VasqDeviceRunStaticPressure", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return RunStaticPressureFor(dPressure, nStaticParam, StaticPressureTarget(callback, context), bStaticFlag);
}

int VasqDeviceGetWaitStableTime(VasqDevice* device)
{
    DeviceCall call("VasqDeviceGetWaitStableTime", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqGetWaitStableTime();
}

int VasqDeviceGetEnvelopeRawData(VasqDevice* device, BPEnvelopeCustomized* record, double* pressures, double* amplitudes, int count, int unit)
{
    DeviceCall call("VasqDeviceGetEnvelopeRawData", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqGetEnvelopeRawData(record, pressures, amplitudes, count, unit);
}

int VasqDeviceSetEnvelopeRawData(VasqDevice* device, BPEnvelopeCustomized* record, double* pressures, double* amplitudes, int count)
{
    DeviceCall call("VasqDeviceSetEnvelopeRawData", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqSetEnvelopeRawData(record, pressures, amplitudes, count);
}

int VasqDeviceSwitchToAdultMode(VasqDevice* device, bool adult)
{
    DeviceCall call("VasqDeviceSwitchToAdultMode", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqSwitchToAdultMode(adult);
}

int VasqDeviceSwitchTo500mlMode(VasqDevice* device, bool on)
{
    DeviceCall call("VasqDeviceSwitchTo500mlMode", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqSwitchTo500mlMode(on);
}

int VasqDeviceIs500mlMode(VasqDevice* device)
{
    DeviceCall call("VasqDeviceIs500mlMode", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqIs500mlMode();
}

int VasqDeviceWritePNGFileName(VasqDevice* device, const char* name)
{
    DeviceCall call("VasqDeviceWritePNGFileName", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqWritePNGFileName(name);
}

int VasqDeviceWritePNG(VasqDevice* device, char* data, int length)
{
    DeviceCall call("VasqDeviceWritePNG", OpenDevice(device));
    if (!call.Valid())
        return 0;
    return VasqWritePNG(data, length);
}
