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

// Watches a device's open port while it is connected: the thread runs from the
// device's first connection until the device goes, and idles until
// StartMonitor begins a monitoring run. A run ends
// when none of three listings of the device nodes shows the port: it then
// closes the port and wakes the connection thread.
class VASQ_EXPORT CAutoMonitor {
public:
    explicit CAutoMonitor(Device& device);
    ~CAutoMonitor();
    CAutoMonitor(const CAutoMonitor&) = delete;
    CAutoMonitor& operator=(const CAutoMonitor&) = delete;

    void StartMonitor();
    void WaitMonitor();
    bool Stopping() const { return m_bStopMonitor.load() != 0; }
    // Readable once the watch is to end, so that its pauses end at once.
    int StopFd() const { return m_stopFd; }

private:
    unsigned long m_thread;
    CAutoResetEvent m_startEvent;
    bool m_started;
    std::atomic<int> m_bStopMonitor{0};
    int m_stopFd;
};

VASQ_EXPORT void RegisterNotifyEvent(uint32_t code, NotifyEventCallback callback);
VASQ_EXPORT void WinEventCb(uint32_t code, uint32_t first, unsigned long second);
// The registered callback for a code; null when none is set.
NotifyEventCallback RegisteredNotifyEvent(uint32_t code, bool* present = nullptr);
void* MonitorDeviceThread(void* unused);
// What wakes the connection thread when the watched port is gone (and what
// WinEventCb calls for the device-change code); handed down by the layer above.
void SetMonitorLossNotifier(DeviceLossFn notify);

// Monitoring runs completed since load (a loss was declared), for tests.
uint32_t MonitorLossCount();
