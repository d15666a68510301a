#include "device/Device.h"

#include <algorithm>

#include "device/Monitor.h"
#include "device/Transport.h"
#include "platform/InitOrder.h"

namespace {

// Set on the threads that work for a device.
thread_local bool t_onDeviceThread = false;

// Every device that exists, for what the whole process watches (the system's
// device-change broadcasts) to reach each of them.
struct Registry {
    std::mutex mutex;
    std::vector<Device*> devices;
};
// Outlives every device: the default device is constructed after it and destroyed before it.
Registry VASQ_INIT_PLATFORM_CORE s_registry;
Registry& Devices()
{
    return s_registry;
}

struct DeviceThread {
    Device* device;
    ThreadRoutine routine;
    void* argument;
};

void* RunDeviceThread(void* start)
{
    const DeviceThread thread = *static_cast<DeviceThread*>(start);
    delete static_cast<DeviceThread*>(start);
    t_onDeviceThread = true;
    LogScope lines(thread.device->m_logSubject);
    return thread.routine(thread.argument);
}

}  // namespace

Device::Device()
    : m_transport(NewTransportState(), DeleteTransportState), m_packets(NewPacketState(), DeletePacketState)
{
    m_monitor.reset(new CAutoMonitor(*this));
    std::lock_guard<std::mutex> lock(Devices().mutex);
    Devices().devices.push_back(this);
}

// The watch ends first: it uses the port that the states after it hold.
Device::~Device()
{
    {
        std::lock_guard<std::mutex> lock(Devices().mutex);
        auto& devices = Devices().devices;
        devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());
    }
    m_monitor.reset();
}

void Device::EndWatch()
{
    m_monitor.reset();
}

CAutoMonitor& Device::Monitor()
{
    return *m_monitor;
}

namespace {
Device* s_defaultDevice = nullptr;
}  // namespace

// The default device is the one the release-1.0 forms work on; a thread that
// names no device has its lines about it.
void SetDefaultDevice(Device* device)
{
    s_defaultDevice = device;
    SetDefaultLogSubject(device != nullptr ? &device->m_logSubject : nullptr);
}

Device& DefaultDevice()
{
    return *s_defaultDevice;
}

void ForEachDevice(const std::function<void(Device&)>& action)
{
    std::lock_guard<std::mutex> lock(Devices().mutex);
    for (Device* device : Devices().devices) {
        LogScope lines(device->m_logSubject);
        action(*device);
    }
}

bool OnDeviceThread()
{
    return t_onDeviceThread;
}

int CreateDeviceThread(Device& device, unsigned long* handle, ThreadRoutine routine, void* argument)
{
    auto* start = new DeviceThread{&device, routine, argument};
    if (CreateThread(handle, RunDeviceThread, start) != 0)
        return 1;
    delete start;
    return 0;
}
