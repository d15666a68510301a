#include "device/Monitor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>

#include "device/Transport.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"

namespace {

constexpr uint32_t kSettleMs = 1000;
constexpr uint32_t kUnseenPauseMs = 500;
constexpr uint32_t kCyclePauseMs = 1200;
constexpr int kListingsPerCycle = 3;

struct Registry {
    std::mutex mutex;
    std::map<uint32_t, NotifyEventCallback> callbacks;
};

Registry g_mapNotifyEvent VASQ_INIT_DEVICE;
std::atomic<uint32_t> s_losses{0};
std::atomic<DeviceLossFn> s_lossNotifier{nullptr};

enum class Paused { Done, HungUp, Stopped };

// Pauses the monitor while it watches the port: a hang-up ends the pause at once.
Paused Pause(const CAutoMonitor& monitor, uint32_t milliseconds)
{
    const uint64_t deadline = GetTickCount64() + milliseconds;
    for (;;) {
        const uint64_t now = GetTickCount64();
        if (now >= deadline)
            return Paused::Done;
        switch (DeviceWaitForHangUp(static_cast<uint32_t>(deadline - now), monitor.StopFd())) {
        case HangUpWait::TimedOut:
            return Paused::Done;
        case HangUpWait::HungUp:
            return Paused::HungUp;
        case HangUpWait::Stopped:
            return Paused::Stopped;
        case HangUpWait::Changed:
            // Watch the port that is open now for the rest of the pause; the
            // listing that follows tells whether the watched one is gone.
            break;
        }
    }
}

void NotifyLoss()
{
    const DeviceLossFn notify = s_lossNotifier.load();
    if (notify != nullptr)
        notify();
}

// Watches one connection. A run that was started for a connection that has
// since been released and replaced ends without touching the new one; the new
// connection's own start is pending and begins the next run.
void RunPollingCycles(const CAutoMonitor& monitor)
{
    const uint64_t watched = DeviceConnectionNumber();
    while (!monitor.Stopping()) {
        bool seen = false;
        bool hungUp = false;
        for (int round = 0; round < kListingsPerCycle && !monitor.Stopping() && !hungUp; ++round) {
            const Listing listing = ListOpenPort();
            if (listing == Listing::WithPort) {
                seen = true;
            } else if (listing == Listing::Failed) {
                hungUp = Pause(monitor, kCyclePauseMs) == Paused::HungUp;
                continue;
            }
            if (!seen)
                hungUp = Pause(monitor, kUnseenPauseMs) == Paused::HungUp;
        }
        const uint64_t current = DeviceConnectionNumber();
        if (current != 0 && current != watched)
            return;
        // A port that has hung up is gone, even when a node of its name is listed again.
        if (!seen || hungUp || DevicePortFailed()) {
            DeviceCloseConnection(watched);
            s_losses.fetch_add(1);
            NotifyLoss();
            return;
        }
        if (Pause(monitor, kCyclePauseMs) == Paused::HungUp) {
            DeviceCloseConnection(watched);
            s_losses.fetch_add(1);
            NotifyLoss();
            return;
        }
    }
}

}  // namespace

CAutoMonitor::CAutoMonitor(Device& device)
    : m_thread(0), m_startEvent(false), m_started(false), m_stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    DeviceScope scope(device);
    m_started = CreateDeviceThread(&m_thread, MonitorDeviceThread, this) != 0;
}

CAutoMonitor::~CAutoMonitor()
{
    m_bStopMonitor.store(1);
    const uint64_t one = 1;
    (void)!write(m_stopFd, &one, sizeof(one));
    m_startEvent.SetEvent();
    if (m_started)
        JoinThread(m_thread);
    close(m_stopFd);
}

void CAutoMonitor::StartMonitor()
{
    m_startEvent.SetEvent();
}

void CAutoMonitor::WaitMonitor()
{
    m_startEvent.Wait();
}

void* MonitorDeviceThread(void* argument)
{
    CAutoMonitor& monitor = *static_cast<CAutoMonitor*>(argument);
    while (!monitor.Stopping()) {
        monitor.WaitMonitor();
        const Paused settled = Pause(monitor, kSettleMs);
        if (settled == Paused::Stopped || monitor.Stopping())
            break;
        if (settled == Paused::HungUp) {
            if (DeviceCloseConnection(DeviceConnectionNumber())) {
                s_losses.fetch_add(1);
                NotifyLoss();
            }
            continue;
        }
        RunPollingCycles(monitor);
    }
    return nullptr;
}

void RegisterNotifyEvent(uint32_t code, NotifyEventCallback callback)
{
    std::lock_guard<std::mutex> lock(g_mapNotifyEvent.mutex);
    g_mapNotifyEvent.callbacks[code] = callback;
}

NotifyEventCallback RegisteredNotifyEvent(uint32_t code, bool* present)
{
    std::lock_guard<std::mutex> lock(g_mapNotifyEvent.mutex);
    const auto found = g_mapNotifyEvent.callbacks.find(code);
    if (present != nullptr)
        *present = found != g_mapNotifyEvent.callbacks.end();
    return found == g_mapNotifyEvent.callbacks.end() ? nullptr : found->second;
}

void WinEventCb(uint32_t code, uint32_t /*first*/, unsigned long /*second*/)
{
    if (code == DEVICE_CHANGE_EVENT)
        NotifyLoss();
}

void SetMonitorLossNotifier(DeviceLossFn notify)
{
    s_lossNotifier.store(notify);
}

uint32_t MonitorLossCount()
{
    return s_losses.load();
}
