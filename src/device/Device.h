#pragma once

// What the device and protocol layers keep for one instrument: its port and
// lock file, its stream queue, its identity, unit and resolution, and the lock
// that serialises its exchanges. The interface's layer builds each instrument
// on top of this (its connection, test and sampling threads, the callbacks);
// nothing here knows that layer.
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

// What each layer keeps for a device, defined where that layer is written.
struct TransportState;
struct PacketState;
class CAutoMonitor;

class Device {
public:
    Device();
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Serialises every exchange with this device and the changes of its state.
    CSimpleCriticalSection m_APICriticalSection;
    // Set while a test is being stopped: a command that waits for the pump gives up.
    CManualResetEvent m_hStopTestEvent{false};

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

    TransportState& Transport() { return *m_transport; }
    PacketState& Packets() { return *m_packets; }
    // The presence watch of this device's port; it idles while no port is open.
    CAutoMonitor& Monitor();

protected:
    // Ends the presence watch, before what the layers above keep for the
    // device goes: the watch may call up to them.
    void EndWatch();

private:
    template <typename State>
    using Owned = std::unique_ptr<State, void (*)(State*)>;
    Owned<TransportState> m_transport;
    Owned<PacketState> m_packets;
    std::unique_ptr<CAutoMonitor> m_monitor;
};

// The device of the interface's own functions, which that layer registers.
Device& DefaultDevice();
void SetDefaultDevice(Device* device);

// Runs the action for every device that exists, with the device's lines
// named after it. The action must be brief and must not wait for a device's threads.
void ForEachDevice(const std::function<void(Device&)>& action);

// Whether the calling thread is one of a device's threads (the connection
// thread, a test worker, a sampling thread, the presence watch).
bool OnDeviceThread();

// Starts a thread that works for the device: its lines are about it.
int CreateDeviceThread(Device& device, unsigned long* handle, ThreadRoutine routine, void* argument);

// The packet layer's state for a new device, created and destroyed where that
// layer defines it; the back end's state is the transport's (Transport.h).
PacketState* NewPacketState();
void DeletePacketState(PacketState* state);
