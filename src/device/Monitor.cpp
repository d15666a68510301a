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
std::atomic<int> g_bStopMonitor{0};
std::atomic<uint32_t> s_losses{0};
std::atomic<DeviceLossFn> s_lossNotifier{nullptr};

// Lets the destructor cut the monitor's pauses short at unload.
struct StopSignal {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~StopSignal() { close(fd); }
};
StopSignal s_stop VASQ_INIT_DEVICE;

enum class Paused { Done, HungUp, Stopped };

// Pauses the monitor while it watches the port: a hang-up ends the pause at once.
Paused Pause(uint32_t milliseconds)
{
    const uint64_t deadline = GetTickCount64() + milliseconds;
    for (;;) {
        const uint64_t now = GetTickCount64();
        if (now >= deadline)
            return Paused::Done;
        switch (DeviceWaitForHangUp(static_cast<uint32_t>(deadline - now), s_stop.fd)) {
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
void RunPollingCycles()
{
    const uint64_t watched = DeviceConnectionNumber();
    while (g_bStopMonitor.load() == 0) {
        bool seen = false;
        bool hungUp = false;
        for (int round = 0; round < kListingsPerCycle && g_bStopMonitor.load() == 0 && !hungUp; ++round) {
            const Listing listing = ListOpenPort();
            if (listing == Listing::WithPort) {
                seen = true;
            } else if (listing == Listing::Failed) {
                hungUp = Pause(kCyclePauseMs) == Paused::HungUp;
                continue;
            }
            if (!seen)
                hungUp = Pause(kUnseenPauseMs) == Paused::HungUp;
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
        if (Pause(kCyclePauseMs) == Paused::HungUp) {
            DeviceCloseConnection(watched);
            s_losses.fetch_add(1);
            NotifyLoss();
            return;
        }
    }
}

}  // namespace

CAutoMonitor VASQ_INIT_MONITOR g_AutoMonitor;

CAutoMonitor::CAutoMonitor() : m_thread(0), m_startEvent(false), m_started(false)
{
    m_started = CreateThread(&m_thread, MonitorDeviceThread, nullptr) != 0;
}

CAutoMonitor::~CAutoMonitor()
{
    g_bStopMonitor.store(1);
    const uint64_t one = 1;
    (void)!write(s_stop.fd, &one, sizeof(one));
    m_startEvent.SetEvent();
    if (m_started)
        JoinThread(m_thread);
}

void CAutoMonitor::StartMonitor()
{
    m_startEvent.SetEvent();
}

void CAutoMonitor::WaitMonitor()
{
    m_startEvent.Wait();
}

void* MonitorDeviceThread(void* /*unused*/)
{
    while (g_bStopMonitor.load() == 0) {
        g_AutoMonitor.WaitMonitor();
        const Paused settled = Pause(kSettleMs);
        if (settled == Paused::Stopped || g_bStopMonitor.load() != 0)
            break;
        if (settled == Paused::HungUp) {
            if (DeviceCloseConnection(DeviceConnectionNumber())) {
                s_losses.fetch_add(1);
                NotifyLoss();
            }
            continue;
        }
        RunPollingCycles();
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
