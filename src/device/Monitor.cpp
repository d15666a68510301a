#include "device/Monitor.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
std::atomic<ListingHook> s_listingHook{nullptr};

void NotifyLoss(Device& device)
{
    const DeviceLossFn notify = s_lossNotifier.load();
    if (notify != nullptr)
        notify(device);
}

// Closes the watched connection (unless a newer one replaced it) and wakes
// the device's connection thread.
void DeclareLost(Device& device, uint64_t connection)
{
    if (DeviceCloseConnection(device, connection)) {
        s_losses.fetch_add(1);
        NotifyLoss(device);
    }
}

// What the watch knows of one device's current monitoring run.
struct Watched {
    enum class Phase { Idle, Settling, Listing };
    CAutoMonitor* monitor;
    Phase phase = Phase::Idle;
    uint64_t due = 0;
    uint64_t connection = 0;
    int round = 0;
    bool seen = false;
};

// The one thread that watches the open ports of all devices: it waits on
// every port's hang-up at once and lists the device nodes when a device's
// run is due. A listing serves every device due at that moment.
class PresenceWatch {
public:
    PresenceWatch() : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        m_started = CreateThread(&m_thread, Run, this) != 0;
    }
    ~PresenceWatch()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        Wake();
        if (m_started)
            JoinThread(m_thread);
        close(m_wakeFd);
    }

    void Add(CAutoMonitor& monitor)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_watched.push_back(std::unique_ptr<Watched>(new Watched{&monitor}));
    }

    // Returns once the watch no longer uses the monitor's device.
    void Remove(CAutoMonitor& monitor)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::unique_ptr<Watched> removed;
        for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
            if ((*it)->monitor == &monitor) {
                removed = std::move(*it);
                m_watched.erase(it);
                break;
            }
        }
        if (!m_busy || !m_started || pthread_equal(pthread_self(), m_threadId))
            return;
        Wake();
        const uint64_t pass = m_passes;
        m_idle.wait(lock, [&] { return !m_busy || m_passes != pass; });
    }

    void Wake()
    {
        const uint64_t one = 1;
        (void)!write(m_wakeFd, &one, sizeof(one));
    }

private:
    static void* Run(void* self)
    {
        static_cast<PresenceWatch*>(self)->Loop();
        return nullptr;
    }

    void Loop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_threadId = pthread_self();
        while (!m_stopping) {
            const uint64_t now = GetTickCount64();
            std::vector<Watched*> active;
            uint64_t next = UINT64_MAX;
            for (const auto& watched : m_watched) {
                if (watched->monitor->TakeStart()) {
                    watched->phase = Watched::Phase::Settling;
                    watched->due = now + kSettleMs;
                }
                if (watched->phase != Watched::Phase::Idle) {
                    active.push_back(watched.get());
                    next = std::min(next, watched->due);
                }
            }
            m_busy = true;
            lock.unlock();
            const std::vector<HangUpWait> waits = WaitForPorts(active, next);
            StepDue(active, waits);
            lock.lock();
            m_busy = false;
            ++m_passes;
            m_idle.notify_all();
        }
    }

    // Waits until the earliest run is due, a port hangs up or changes, or the
    // watch is woken. Every hold on a port ends before this returns, so that
    // a loss can close it.
    std::vector<HangUpWait> WaitForPorts(const std::vector<Watched*>& active, uint64_t next)
    {
        std::vector<std::unique_ptr<PortWatch>> holds;
        std::vector<pollfd> fds(1 + 2 * active.size());
        std::vector<int> first(active.size());
        fds[0] = {m_wakeFd, POLLIN, 0};
        size_t count = 1;
        for (size_t i = 0; i < active.size(); ++i) {
            holds.emplace_back(new PortWatch(active[i]->monitor->Watched()));
            first[i] = static_cast<int>(count);
            count += static_cast<size_t>(holds.back()->Fill(&fds[count]));
        }
        const uint64_t now = GetTickCount64();
        int timeout = -1;
        if (next != UINT64_MAX)
            timeout = next <= now ? 0 : static_cast<int>(std::min<uint64_t>(next - now, 60000));
        const int ready = poll(fds.data(), count, timeout);
        if (ready > 0 && fds[0].revents != 0) {
            uint64_t drained;
            (void)!read(m_wakeFd, &drained, sizeof(drained));
        }
        // Also without a ready descriptor: a transfer may have found the port hung up.
        std::vector<HangUpWait> waits;
        for (size_t i = 0; i < active.size(); ++i)
            waits.push_back(holds[i]->Result(&fds[first[i]]));
        return waits;
    }

    void StepDue(const std::vector<Watched*>& active, const std::vector<HangUpWait>& waits)
    {
        bool listed = false;
        std::vector<std::string> paths;
        bool listingFailed = false;
        for (size_t i = 0; i < active.size(); ++i) {
            Watched& watched = *active[i];
            Device& device = watched.monitor->Watched();
            LogScope lines(device.m_logSubject);
            if (waits[i] == HangUpWait::HungUp) {
                // A hang-up during the settling time ends whatever connection is open.
                DeclareLost(device, watched.phase == Watched::Phase::Settling ? DeviceConnectionNumber(device) : watched.connection);
                watched.phase = Watched::Phase::Idle;
                continue;
            }
            const uint64_t now = GetTickCount64();
            if (watched.due > now)
                continue;
            if (watched.phase == Watched::Phase::Settling) {
                watched.phase = Watched::Phase::Listing;
                watched.connection = DeviceConnectionNumber(device);
                watched.round = 0;
                watched.seen = false;
            }
            if (!listed) {
                listingFailed = !ListDeviceNodes(paths);
                listed = true;
                const ListingHook hook = s_listingHook.load();
                if (hook != nullptr)
                    hook();
            }
            ListingStep(device, watched, listingFailed ? Listing::Failed : FindOpenPort(device, paths));
        }
    }

    // One listing of a cycle: a cycle is three listings, also after the port
    // has been seen (the next one then follows at once); a port unseen in a
    // whole cycle, or failed, is lost.
    static void ListingStep(Device& device, Watched& watched, Listing listing)
    {
        const uint64_t now = GetTickCount64();
        watched.seen = watched.seen || listing == Listing::WithPort;
        ++watched.round;
        if (watched.round < kListingsPerCycle) {
            watched.due = now + (listing == Listing::Failed ? kCyclePauseMs : 0) + (watched.seen ? 0 : kUnseenPauseMs);
            return;
        }
        const uint64_t current = DeviceConnectionNumber(device);
        if (current != 0 && current != watched.connection) {
            // Released and replaced: the new connection's own start begins its run.
            watched.phase = Watched::Phase::Idle;
            return;
        }
        if (!watched.seen || DevicePortFailed(device)) {
            DeclareLost(device, watched.connection);
            watched.phase = Watched::Phase::Idle;
            return;
        }
        watched.round = 0;
        watched.seen = false;
        watched.due = now + kCyclePauseMs;
    }

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::vector<std::unique_ptr<Watched>> m_watched;
    bool m_stopping = false;
    bool m_busy = false;
    uint64_t m_passes = 0;
    int m_wakeFd;
    unsigned long m_thread = 0;
    pthread_t m_threadId{};
    bool m_started = false;
};

// Before the devices and after them: every device's monitor is added and removed within its life.
ParentOnly<PresenceWatch> VASQ_INIT_PLATFORM s_watch;

// What WaitMonitor waits on, for every monitor: starts are rare.
struct Starts {
    std::mutex mutex;
    std::condition_variable made;
};
Starts s_starts VASQ_INIT_PLATFORM_CORE;

}  // namespace

CAutoMonitor::CAutoMonitor() : CAutoMonitor(DefaultDevice()) {}

CAutoMonitor::CAutoMonitor(Device& device) : m_device(device)
{
    s_watch->Add(*this);
}

CAutoMonitor::~CAutoMonitor()
{
    s_watch->Remove(*this);
}

void CAutoMonitor::StartMonitor()
{
    {
        std::lock_guard<std::mutex> lock(s_starts.mutex);
        ++m_starts;
    }
    s_starts.made.notify_all();
    m_startPending.store(true);
    s_watch->Wake();
}

void CAutoMonitor::WaitMonitor()
{
    std::unique_lock<std::mutex> lock(s_starts.mutex);
    s_starts.made.wait(lock, [this] { return m_starts != m_waited; });
    m_waited = m_starts;
}

// Nothing registers for the broadcasts here: the entry is cleared after every
// disconnection, as the connection thread always did.
void EndDeviceChangeWatch(CAutoMonitor& /*monitor*/)
{
    RegisterNotifyEvent(DEVICE_CHANGE_EVENT, nullptr);
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
        NotifyLoss(DefaultDevice());
}

void SetMonitorLossNotifier(DeviceLossFn notify)
{
    s_lossNotifier.store(notify);
}

uint32_t MonitorLossCount()
{
    return s_losses.load();
}

void SetMonitorListingHook(ListingHook hook)
{
    s_listingHook.store(hook);
}
