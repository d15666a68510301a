#include "platform/Platform.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/InitOrder.h"
#include "platform/ProcessObjects.h"

namespace {

std::atomic<bool> s_forkedChild{false};

void MarkForkedChild()
{
    s_forkedChild.store(true);
}

struct ForkWatch {
    ForkWatch() { pthread_atfork(nullptr, nullptr, MarkForkedChild); }
};
ForkWatch VASQ_INIT_PLATFORM_CORE s_forkWatch;

}  // namespace

bool InForkedChild()
{
    return s_forkedChild.load();
}

// The periodic timers' tick events, one per signal number; Windows timers have
// events of their own.
CAutoResetEvent VASQ_INIT_PLATFORM g_hSigUsr1Event(false);
CAutoResetEvent VASQ_INIT_PLATFORM g_hSigUsr2Event(false);

int CreateThread(unsigned long* handle, ThreadRoutine routine, void* argument)
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, routine, argument) != 0)
        return 0;
    *handle = static_cast<unsigned long>(thread);
    return 1;
}

void CloseThread(unsigned long handle)
{
    if (handle != 0)
        pthread_detach(static_cast<pthread_t>(handle));
}

void JoinThread(unsigned long handle)
{
    if (handle == 0 || pthread_equal(static_cast<pthread_t>(handle), pthread_self()))
        return;
    pthread_join(static_cast<pthread_t>(handle), nullptr);
}

bool IsCurrentThread(unsigned long handle)
{
    return handle != 0 && pthread_equal(static_cast<pthread_t>(handle), pthread_self());
}

unsigned long CurrentThreadHandle()
{
    return static_cast<unsigned long>(pthread_self());
}

int CloseHandle(long descriptor)
{
    return close(static_cast<int>(descriptor)) == 0 ? 1 : 0;
}

void SleepEx(uint32_t milliseconds)
{
    timespec interval;
    interval.tv_sec = static_cast<time_t>(milliseconds / 1000);
    interval.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}

uint64_t GetTickCount64()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

struct PeriodicTimer {
    // Each timer's worker waits on the timer's own event, so that the workers
    // of several devices never take each other's ticks; the shared event of
    // the signal number is set too.
    CAutoResetEvent own{false};
    CEvent* event;
    std::chrono::milliseconds period;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;

    void Run()
    {
        using Clock = std::chrono::steady_clock;
        Clock::time_point next = Clock::now() + period;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (wake.wait_until(lock, next, [this] { return stop; }))
                return;
            own.SetEvent();
            event->SetEvent();
            next += period;
            // Expiries missed while this thread was not scheduled merge into
            // the one just delivered, as the event is a flag, not a count.
            const Clock::time_point now = Clock::now();
            if (next <= now)
                next = now + period;
        }
    }
};

TimerId CreateNewTimer(uint32_t periodMs, uint32_t& signalNumber)
{
    CEvent* event = nullptr;
    if (signalNumber == TIMER_SIGNAL_SAMPLING)
        event = &g_hSigUsr1Event;
    else if (signalNumber == TIMER_SIGNAL_TEST)
        event = &g_hSigUsr2Event;
    if (event == nullptr || periodMs == 0)
        return nullptr;
    auto* timer = new PeriodicTimer;
    timer->event = event;
    timer->period = std::chrono::milliseconds(periodMs);
    try {
        timer->thread = std::thread(&PeriodicTimer::Run, timer);
    } catch (...) {
        delete timer;
        return nullptr;
    }
    return timer;
}

void DeleteTimer(uint32_t /*signalNumber*/, TimerId& timer)
{
    if (timer == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(timer->mutex);
        timer->stop = true;
    }
    timer->wake.notify_all();
    timer->thread.join();
    delete timer;
    timer = nullptr;
}

CEvent* TimerTickEvent(TimerId timer, uint32_t signalNumber)
{
    if (timer != nullptr)
        return &timer->own;
    return signalNumber == TIMER_SIGNAL_SAMPLING ? static_cast<CEvent*>(&g_hSigUsr1Event) : &g_hSigUsr2Event;
}

CInstance::CInstance() : m_strWorkingDirectory("./") {}

std::string CInstance::GetWorkingDirectory() const
{
    return m_strWorkingDirectory;
}
