// Devices opened by number or search, beside the default device of the
// interface's own functions.
#include <stdint.h>

#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "api/ApiCall.h"
#include "api/Connection.h"
#include "api/Operations.h"
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

// A device, or why there is none ("the device is closed").
struct Target {
    Instrument* device;
    const char* fault;
};

// The device of a handle, or why the handle names none.
Target OpenDevice(VasqDevice* handle)
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
    FreeOn(device->device, "VasqCloseDevice");
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
            StopWorkersAtUnload(device->device);
            ReleaseConnectionAtUnload(device->device);
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
    const bool found = ConnectOn(device->device, __func__, portNumber, timeoutMs);
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
    const Target target = OpenDevice(handle);
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
    StopSamplingOn(device->device, __func__);
    StopTestOn(device->device, __func__);
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

Instrument* InstrumentOf(const char* function, VasqDevice* handle)
{
    if (InLogSink()) {
        SetLastError(kErrorBusy, (std::string(function) + ": not from inside the log callback").c_str());
        return nullptr;
    }
    const Target target = OpenDevice(handle);
    if (target.device == nullptr)
        SetLastError(kErrorInvalidArgument, (std::string(function) + ": " + target.fault).c_str());
    return target.device;
}

const char* VasqDeviceGetSerialNumber(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    if (instrument == nullptr)
        return "";
    ApiCall call(__func__, *instrument);
    std::lock_guard<std::mutex> lock(instrument->m_recordsMutex);
    return call.Result<const char*>(instrument->m_szBoundSerialNumber, instrument->m_szBoundSerialNumber[0] != '\0');
}

int VasqDeviceGetPortNumber(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    if (instrument == nullptr)
        return -1;
    ApiCall call(__func__, *instrument);
    const int port = instrument->m_bConnected.load() != 0 ? DeviceOpenPortNumber(*instrument) : -1;
    return call.Result(port, port != -1);
}

int VasqDeviceSetConnectionCallback(VasqDevice* device, VasqDeviceConnectedCallback callback, void* context)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    if (instrument == nullptr)
        return 0;
    ApiCall call(__func__, *instrument);
    instrument->m_ConnectedCallback.Store(ConnectionTarget(callback, context));
    return call.Flag(true);
}

namespace {

// An identity record of a device: zeroed, and a failure, while the device has
// no instrument (the interface's own getters succeed with the zeroed record).
template <typename Record>
int DeviceRecord(const char* name, VasqDevice* device, Record* info,
                 int (*get)(Instrument&, const char*, Record*))
{
    Instrument* instrument = InstrumentOf(name, device);
    if (instrument == nullptr)
        return 0;
    ApiCall call(name, *instrument);
    if (info != nullptr && instrument->m_bConnected.load() == 0) {
        *info = Record{};
        return call.Fail(0, kErrorNotConnected, "no instrument is connected (the device is lost)");
    }
    return call.Flag(get(*instrument, name, info) == 1);
}

}  // namespace

int VasqDeviceGetDeviceInformation(VasqDevice* device, MODEL_INFORMATION* info)
{
    return DeviceRecord(__func__, device, info, GetDeviceInformationOn);
}

int VasqDeviceGetHWInformation(VasqDevice* device, HW_INFORMATION* info)
{
    return DeviceRecord(__func__, device, info, GetHWInformationOn);
}

int VasqDeviceSetPressureUnit(VasqDevice* device, int unit)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? SetPressureUnitOn(*instrument, __func__, unit) : 0;
}

int VasqDeviceGetPressureUnit(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? GetPressureUnitOn(*instrument, __func__) : 0;
}

int VasqDeviceRebaseZero(VasqDevice* device, bool on)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? RebaseZeroOn(*instrument, __func__, on) : 0;
}

int VasqDeviceStartSampling(VasqDevice* device, VasqDeviceSamplingCallback callback, void* context)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? StartSamplingOn(*instrument, __func__, SamplingTarget(callback, context)) : 0;
}

void VasqDeviceStopSampling(VasqDevice* device)
{
    if (Instrument* instrument = InstrumentOf(__func__, device))
        StopSamplingOn(*instrument, __func__);
}

int VasqDeviceGetSampleRate(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? ApiCall(__func__, *instrument).Result(g_nPlayDataMinSampleRate, true) : 0;
}

int VasqDeviceEnableAirPort(VasqDevice* device, int port, bool enable)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? EnableAirPortOn(*instrument, __func__, port, enable) : 0;
}

int VasqDeviceResetAirPort(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? ResetAirPortOn(*instrument, __func__) : 0;
}

int VasqDeviceUpdateAirPort(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? UpdateAirPortOn(*instrument, __func__) : 0;
}

int VasqDevicePausePump(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? PausePumpOn(*instrument, __func__) : 0;
}

int VasqDeviceStopTest(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? StopTestOn(*instrument, __func__) : 0;
}

int VasqDeviceRunBPTest(VasqDevice* device, void* parameters, VasqDeviceBPTestCallback callback, void* context)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? RunBPTestOn(*instrument, __func__, parameters, BPTestTarget(callback, context)) : 0;
}

int VasqDeviceRunLeakageTest(VasqDevice* device, double dPressure, int nLeakParam, double dLeakRate, VasqDeviceLeakageTestCallback callback, void* context)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? RunLeakageTestOn(*instrument, __func__, dPressure, nLeakParam, dLeakRate,
                                                    LeakageTestTarget(callback, context))
                                 : 0;
}

int VasqDeviceRunLeakageCalibration(VasqDevice* device, double dPressure, VasqDeviceLeakageTestCallback callback, void* context)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr
               ? RunLeakageCalibrationOn(*instrument, __func__, dPressure, LeakageTestTarget(callback, context))
               : 0;
}

int VasqDeviceGetLeakageCalibrationRate(VasqDevice* device, double* rate)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? GetLeakageCalibrationRateOn(*instrument, __func__, rate) : 0;
}

int VasqDeviceRunOverpressureTest(VasqDevice* device, bool bOverpressureFlag, double dPressure1, double dPressure2, double dPressure3, VasqDeviceOverpressureTestCallback callback, void* context)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr
               ? RunOverpressureTestOn(*instrument, __func__, bOverpressureFlag, dPressure1, dPressure2, dPressure3,
                                       OverpressureTestTarget(callback, context))
               : 0;
}

int VasqDeviceRunStaticPressure(VasqDevice* device, double dPressure, int nStaticParam, VasqDeviceStaticPressureCallback callback, void* context, bool bStaticFlag)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? RunStaticPressureOn(*instrument, __func__, dPressure, nStaticParam,
                                                       StaticPressureTarget(callback, context), bStaticFlag)
                                 : 0;
}

int VasqDeviceGetWaitStableTime(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? GetWaitStableTimeOn(*instrument, __func__) : 0;
}

int VasqDeviceGetEnvelopeRawData(VasqDevice* device, BPEnvelopeCustomized* record, double* pressures, double* amplitudes, int count, int unit)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr
               ? GetEnvelopeRawDataOn(*instrument, __func__, record, pressures, amplitudes, count, unit)
               : 0;
}

int VasqDeviceSetEnvelopeRawData(VasqDevice* device, BPEnvelopeCustomized* record, double* pressures, double* amplitudes, int count)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? SetEnvelopeRawDataOn(*instrument, __func__, record, pressures, amplitudes, count)
                                 : 0;
}

int VasqDeviceSwitchToAdultMode(VasqDevice* device, bool adult)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? SwitchToAdultModeOn(*instrument, __func__, adult) : 0;
}

int VasqDeviceSwitchTo500mlMode(VasqDevice* device, bool on)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? SwitchTo500mlModeOn(*instrument, __func__, on) : 0;
}

int VasqDeviceIs500mlMode(VasqDevice* device)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? Is500mlModeOn(*instrument, __func__) : 0;
}

int VasqDeviceWritePNGFileName(VasqDevice* device, const char* name)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? WritePNGFileNameOn(*instrument, __func__, name) : 0;
}

int VasqDeviceWritePNG(VasqDevice* device, char* data, int length)
{
    Instrument* instrument = InstrumentOf(__func__, device);
    return instrument != nullptr ? WritePNGOn(*instrument, __func__, data, length) : 0;
}
