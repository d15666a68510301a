#include "device/Monitor.h"

#include <atomic>
#include <map>
#include <mutex>

#include "api/Connection.h"
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
// Lets the destructor cut the monitor's pauses short at unload.
CManualResetEvent s_stopPause VASQ_INIT_DEVICE(false);

// Pauses the monitor; false when the library is being unloaded.
bool Pause(uint32_t milliseconds)
{
    return s_stopPause.WaitTimeout(milliseconds) == WAIT_TIMEDOUT;
}

// Watches one connection. A run that was started for a connection that has
// since been released and replaced ends without touching the new one; the new
// connection's own start is pending and begins the next run.
void RunPollingCycles()
{
    const uint64_t watched = DeviceConnectionNumber();
    while (g_bStopMonitor.load() == 0) {
        bool seen = false;
        for (int round = 0; round < kListingsPerCycle && g_bStopMonitor.load() == 0; ++round) {
            const Listing listing = ListOpenPort();
            if (listing == Listing::WithPort) {
                seen = true;
            } else if (listing == Listing::Failed) {
                Pause(kCyclePauseMs);
                continue;
            }
            if (!seen)
                Pause(kUnseenPauseMs);
        }
        const uint64_t current = DeviceConnectionNumber();
        if (current != 0 && current != watched)
            return;
        if (!seen) {
            DeviceCloseConnection(watched);
            s_losses.fetch_add(1);
            ReconnectDevice();
            return;
        }
        Pause(kCyclePauseMs);
    }
}

}  // namespace

CAutoMonitor VASQ_INIT_MONITOR g_AutoMonitor;

CAutoMonitor::CAutoMonitor() : m_thread(), m_startEvent(false), m_started(false)
{
    m_started = pthread_create(&m_thread, nullptr, MonitorDeviceThread, nullptr) == 0;
}

CAutoMonitor::~CAutoMonitor()
{
    g_bStopMonitor.store(1);
    s_stopPause.SetEvent();
    m_startEvent.SetEvent();
    if (m_started)
        pthread_join(m_thread, nullptr);
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
        if (!Pause(kSettleMs))
            break;
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
        ReconnectDevice();
}

uint32_t MonitorLossCount()
{
    return s_losses.load();
}
