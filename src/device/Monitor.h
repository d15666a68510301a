#pragma once

#include <stdint.h>

#include <atomic>

#include "device/Device.h"
#include "device/Transport.h"
#include "platform/Event.h"
#include "platform/Export.h"

// Device-change callbacks by event code. The Linux build keeps the registry but
// never calls through it; code 537 is the Windows device-change message.
using NotifyEventCallback = void (*)(uint32_t code, uint32_t first, unsigned long second);
constexpr uint32_t DEVICE_CHANGE_EVENT = 537;

// Watches a device's open port while it is connected. One watch thread
// serves every device of the process; StartMonitor begins a monitoring run
// for this device's current connection. A run ends when none of the three
// listings of a cycle shows the port, or the port hangs up: the
// watch then closes the port and wakes the connection thread.
class VASQ_EXPORT CAutoMonitor {
public:
    // A watch of the default device's port, as release 1.0 constructed it.
    CAutoMonitor();
    VASQ_INTERNAL explicit CAutoMonitor(Device& device);
    ~CAutoMonitor();
    CAutoMonitor(const CAutoMonitor&) = delete;
    CAutoMonitor& operator=(const CAutoMonitor&) = delete;

    void StartMonitor();
    // Waits, without a time limit, for a StartMonitor that no earlier
    // WaitMonitor has taken, and takes it. The watch takes its starts apart.
    void WaitMonitor();
    Device& Watched() const { return m_device; }
    // Takes a pending start, once: for the watch thread.
    bool TakeStart() { return m_startPending.exchange(false); }

private:
    Device& m_device;
    std::atomic<bool> m_startPending{false};
    // Starts made and starts taken by WaitMonitor, under the watch's lock.
    uint64_t m_starts = 0;
    uint64_t m_waited = 0;
};

// After a device's disconnection: its watch of the system's device-change
// broadcasts ends. On Windows the broadcasts stay registered while any other
// device's watch runs; a start and an end are each one step under the
// registry's lock, so a device that connects meanwhile keeps its watch.
void EndDeviceChangeWatch(CAutoMonitor& monitor);

VASQ_EXPORT void RegisterNotifyEvent(uint32_t code, NotifyEventCallback callback);
VASQ_EXPORT void WinEventCb(uint32_t code, uint32_t first, unsigned long second);
// The registered callback for a code; null when none is set.
NotifyEventCallback RegisteredNotifyEvent(uint32_t code, bool* present = nullptr);
// What wakes the connection thread when the watched port is gone (and what
// WinEventCb calls for the device-change code); handed down by the layer above.
void SetMonitorLossNotifier(DeviceLossFn notify);

// Monitoring runs completed since load (a loss was declared), for tests.
uint32_t MonitorLossCount();
// Called on the watch thread after each listing of the device nodes, for tests.
using ListingHook = void (*)();
void SetMonitorListingHook(ListingHook hook);
