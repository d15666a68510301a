#pragma once

// One instrument as the library holds it. Everything that belongs to one
// Vasq9 lives here: its port and lock file, its stream queue, its identity,
// unit and resolution, its connection, test and sampling threads, and the lock
// that serialises its exchanges. The functions of the public interface work
// on the default device; a device opened by number or search is another
// object of the same kind, so nothing one device does waits for another.
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/CriticalSection.h"
#include "platform/Diagnostics.h"
#include "platform/Event.h"
#include "platform/Export.h"
#include "platform/Platform.h"
#include "vasq.h"

// A callback as the application registered it: one of the interface's kind,
// or one that takes the application's context after its own arguments.
template <typename... Args>
struct Callback {
    using Plain = void (*)(Args...);
    using WithContext = void (*)(Args..., void*);

    Callback() = default;
    Callback(Plain function) : plain(function) {}  // NOLINT: a plain callback is one
    Callback(WithContext function, void* data) : withContext(function), context(data) {}

    explicit operator bool() const { return plain != nullptr || withContext != nullptr; }
    void operator()(Args... arguments) const
    {
        if (plain != nullptr)
            plain(arguments...);
        else if (withContext != nullptr)
            withContext(arguments..., context);
    }

    Plain plain = nullptr;
    WithContext withContext = nullptr;
    void* context = nullptr;
};

// A callback that one thread registers while another calls it.
template <typename... Args>
class SharedCallback {
public:
    void Store(const Callback<Args...>& callback)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_callback = callback;
    }
    Callback<Args...> Load() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_callback;
    }

private:
    mutable std::mutex m_mutex;
    Callback<Args...> m_callback;
};

using ConnectionTarget = Callback<bool>;
using SamplingTarget = Callback<double>;
using BPTestTarget = Callback<VasqStatus, double, double, double, double>;
using LeakageTestTarget = Callback<VasqStatus, double, double, int>;
using OverpressureTestTarget = Callback<VasqStatus, double, double, double, double, double, double, double>;
using StaticPressureTarget = Callback<VasqStatus, double, int>;

// What each layer keeps for a device, defined where that layer is written.
struct TransportState;
struct PacketState;
struct ConnectionState;
struct WorkerState;
class CAutoMonitor;

class Device {
public:
    Device();
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Serialises every exchange with this device and the changes of its state.
    CSimpleCriticalSection m_APICriticalSection;
    CAutoResetEvent m_hConnectedEvent{false};
    // Wakes the connection thread when the port may be gone.
    CAutoResetEvent m_hReconnectEvent{false};
    CManualResetEvent m_hStopTestEvent{false};
    CAutoResetEvent m_hStableEvent{false};
    CManualResetEvent m_hSamplingEvent{false};
    CManualResetEvent m_hSamplingPauseEvent{false};

    // The port.
    std::atomic<long> m_hDevice{-1};
    char m_szDevicePath[512] = {};
    int m_nLockFile = -1;
    char m_szLockFilePath[128] = {};
    std::atomic<uint32_t> m_nDeviceReadTimeout{1000};
    std::atomic<uint32_t> m_nDeviceWriteTimeout{2000};

    // Frames that arrived while a receiver waited for the other kind, in
    // arrival order; guarded by the packet state's own lock.
    std::vector<std::vector<uint8_t>> m_vecDataBuffer;

    // The device works in one unit at a time (0 = mmHg, 1 = kPa); the
    // resolution turns raw samples and leak values into it.
    std::atomic<int> m_nPressureUnit{0};
    std::atomic<float> m_fPressureresolution{10.0f};
    std::atomic<uint8_t> m_nAirPort{0};

    // The identity records read from the device, guarded by m_recordsMutex.
    MODEL_INFORMATION m_ModelInfo = {};
    HW_INFORMATION m_HWInfo = {};
    BOOTLOADER_INFORMATION m_bootloaderInfo = {};
    std::mutex m_recordsMutex;
    char m_szSerialNumber[32] = {};
    // The instrument this device is bound to once it has connected: after a
    // loss it reconnects to this serial number only. Empty for the default
    // device, which takes any Vasq9 as it always has. Guarded by m_recordsMutex.
    char m_szBoundSerialNumber[32] = {};
    bool m_bindsToSerialNumber = false;
    // What the lines and reasons of this device's work start with: the port
    // chosen and the serial number identified, until the connection ends.
    LogSubject m_logSubject;

    // The connection.
    unsigned long m_hConnectDeviceThread = 0;
    std::atomic<int> m_bStopConnectDeviceThread{0};
    SharedCallback<bool> m_ConnectedCallback;
    std::atomic<int> m_bConnected{0};
    std::atomic<int> m_nPortNumber{-1};

    // Sampling and the four kinds of test.
    SharedCallback<double> m_SamplingCallback;
    std::atomic<unsigned long> m_hSamplingThread{0};
    SharedCallback<VasqStatus, double, double, double, double> m_BPTestCallback;
    SharedCallback<VasqStatus, double, double, int> m_LeakageTestCallback;
    SharedCallback<VasqStatus, double, double, double, double, double, double, double> m_OverpressureTestCallback;
    SharedCallback<VasqStatus, double, int> m_StaticPressureExCallback;
    std::atomic<unsigned long> m_hBPTestThread{0};
    std::atomic<unsigned long> m_hLeakageTestThread{0};
    std::atomic<unsigned long> m_hOverpressureTestThread{0};
    std::atomic<unsigned long> m_hStaticPressureExThread{0};

    TransportState& Transport() { return *m_transport; }
    PacketState& Packets() { return *m_packets; }
    ConnectionState& Connection() { return *m_connection; }
    WorkerState& Workers() { return *m_workers; }
    // The presence watch of this device's port; it idles while no port is open.
    CAutoMonitor& Monitor();

private:
    template <typename State>
    using Owned = std::unique_ptr<State, void (*)(State*)>;
    Owned<TransportState> m_transport;
    Owned<PacketState> m_packets;
    Owned<ConnectionState> m_connection;
    Owned<WorkerState> m_workers;
    std::unique_ptr<CAutoMonitor> m_monitor;
};

// The device that the calling thread works for: the one the exported call in
// progress names, the one whose thread this is, or else the default device.
Device& CurrentDevice();
// The device of the interface's own functions.
Device& DefaultDevice();

// Makes a device the calling thread's for the scope's lifetime.
class DeviceScope {
public:
    explicit DeviceScope(Device& device);
    ~DeviceScope();
    DeviceScope(const DeviceScope&) = delete;
    DeviceScope& operator=(const DeviceScope&) = delete;

private:
    Device* m_previous;
    const LogSubject* m_previousSubject;
};

// Runs the action for every device that exists, each as the current device.
// The action must be brief and must not wait for a device's threads.
void ForEachDevice(const std::function<void()>& action);

// Whether the calling thread is one of a device's threads (the connection
// thread, a test worker, a sampling thread, the presence watch).
bool OnDeviceThread();

// Starts a thread that works for the calling thread's device.
int CreateDeviceThread(unsigned long* handle, ThreadRoutine routine, void* argument);

// Each layer's state for a new device, created and destroyed where the layer
// defines it.
TransportState* NewTransportState();
void DeleteTransportState(TransportState* state);
PacketState* NewPacketState();
void DeletePacketState(PacketState* state);
ConnectionState* NewConnectionState();
void DeleteConnectionState(ConnectionState* state);
WorkerState* NewWorkerState();
void DeleteWorkerState(WorkerState* state);
