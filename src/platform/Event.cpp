#include "platform/Event.h"

#include "platform/InitOrder.h"
#include "platform/Platform.h"

#include <errno.h>
#include <time.h>

namespace {

void InitMonotonicCond(pthread_cond_t* cond)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

// A condition with waiters cannot be destroyed; in a forked child the
// waiters are the parent's threads, which never leave it.
void DestroyCond(pthread_cond_t* cond)
{
    if (!InForkedChild())
        pthread_cond_destroy(cond);
}

timespec DeadlineAfter(uint32_t milliseconds)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    int64_t nanoseconds = static_cast<int64_t>(deadline.tv_nsec) +
                          static_cast<int64_t>(milliseconds % 1000) * 1000000;
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000) + nanoseconds / 1000000000;
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return deadline;
}

// Every SetEvent bumps a process-wide generation so that a thread waiting on
// several events can sleep until something changes instead of spinning.
struct SetNotifier {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond;
    uint64_t generation = 0;
    SetNotifier() { InitMonotonicCond(&cond); }
    ~SetNotifier() { DestroyCond(&cond); }
};

// Constructed before every event of the library and destroyed after them.
SetNotifier s_notifier VASQ_INIT_PLATFORM_CORE;

SetNotifier& Notifier()
{
    return s_notifier;
}

void NotifySet()
{
    SetNotifier& n = Notifier();
    pthread_mutex_lock(&n.mutex);
    ++n.generation;
    pthread_cond_broadcast(&n.cond);
    pthread_mutex_unlock(&n.mutex);
}

uint64_t CurrentGeneration()
{
    SetNotifier& n = Notifier();
    pthread_mutex_lock(&n.mutex);
    uint64_t generation = n.generation;
    pthread_mutex_unlock(&n.mutex);
    return generation;
}

void WaitForGenerationChange(uint64_t seen, const timespec* deadline)
{
    SetNotifier& n = Notifier();
    pthread_mutex_lock(&n.mutex);
    while (n.generation == seen) {
        if (deadline == nullptr)
            pthread_cond_wait(&n.cond, &n.mutex);
        else if (pthread_cond_timedwait(&n.cond, &n.mutex, deadline) == ETIMEDOUT)
            break;
    }
    pthread_mutex_unlock(&n.mutex);
}

bool Passed(const timespec& deadline)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec > deadline.tv_nsec);
}

template <bool kConsumes>
uint32_t WaitOn(pthread_mutex_t* mutex, pthread_cond_t* cond, bool* signaled, uint32_t milliseconds)
{
    if (milliseconds == 0) {
        pthread_mutex_lock(mutex);
        uint32_t result = *signaled ? WAIT_SIGNALED : WAIT_TIMEDOUT;
        if (kConsumes)
            *signaled = false;
        pthread_mutex_unlock(mutex);
        return result;
    }
    const bool limited = milliseconds != INFINITE_TIMEOUT;
    const timespec deadline = limited ? DeadlineAfter(milliseconds) : timespec{};
    pthread_mutex_lock(mutex);
    for (;;) {
        if (*signaled) {
            if (kConsumes)
                *signaled = false;
            pthread_mutex_unlock(mutex);
            return WAIT_SIGNALED;
        }
        if (!limited) {
            pthread_cond_wait(cond, mutex);
        } else if (pthread_cond_timedwait(cond, mutex, &deadline) == ETIMEDOUT) {
            pthread_mutex_unlock(mutex);
            return WAIT_TIMEDOUT;
        }
    }
}

}  // namespace

CAutoResetEvent::CAutoResetEvent(bool initialState) : m_bSignaled(initialState)
{
    pthread_mutex_init(&m_mutex, nullptr);
    InitMonotonicCond(&m_cond);
}

CAutoResetEvent::~CAutoResetEvent()
{
    DestroyCond(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void CAutoResetEvent::SetEvent()
{
    pthread_mutex_lock(&m_mutex);
    m_bSignaled = true;
    pthread_cond_signal(&m_cond);
    pthread_mutex_unlock(&m_mutex);
    NotifySet();
}

void CAutoResetEvent::ResetEvent()
{
    pthread_mutex_lock(&m_mutex);
    m_bSignaled = false;
    pthread_mutex_unlock(&m_mutex);
}

void CAutoResetEvent::Wait()
{
    WaitOn<true>(&m_mutex, &m_cond, &m_bSignaled, INFINITE_TIMEOUT);
}

uint32_t CAutoResetEvent::WaitTimeout(uint32_t milliseconds)
{
    return WaitOn<true>(&m_mutex, &m_cond, &m_bSignaled, milliseconds);
}

CManualResetEvent::CManualResetEvent(bool initialState) : m_bSignaled(initialState)
{
    pthread_mutex_init(&m_mutex, nullptr);
    InitMonotonicCond(&m_cond);
}

CManualResetEvent::~CManualResetEvent()
{
    DestroyCond(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void CManualResetEvent::SetEvent()
{
    pthread_mutex_lock(&m_mutex);
    m_bSignaled = true;
    pthread_cond_broadcast(&m_cond);
    pthread_mutex_unlock(&m_mutex);
    NotifySet();
}

void CManualResetEvent::ResetEvent()
{
    pthread_mutex_lock(&m_mutex);
    m_bSignaled = false;
    pthread_mutex_unlock(&m_mutex);
}

void CManualResetEvent::Wait()
{
    WaitOn<false>(&m_mutex, &m_cond, &m_bSignaled, INFINITE_TIMEOUT);
}

uint32_t CManualResetEvent::WaitTimeout(uint32_t milliseconds)
{
    return WaitOn<false>(&m_mutex, &m_cond, &m_bSignaled, milliseconds);
}

uint32_t WaitForSingleObject(CEvent* event, uint32_t milliseconds)
{
    return event->WaitTimeout(milliseconds);
}

uint32_t WaitForMultipleObjects(uint32_t count, CEvent** events, int waitAll, uint32_t milliseconds)
{
    if (waitAll != 0)
        return WAIT_TIMEDOUT;
    const bool limited = milliseconds != INFINITE_TIMEOUT;
    const timespec deadline = limited ? DeadlineAfter(milliseconds) : timespec{};
    for (;;) {
        // The generation is read before the pass, so a set that lands after a
        // poll still wakes the sleep below.
        const uint64_t seen = CurrentGeneration();
        for (uint32_t i = 0; i < count; ++i) {
            if (events[i]->WaitTimeout(0) == WAIT_SIGNALED)
                return i;
        }
        if (limited && Passed(deadline))
            return WAIT_TIMEDOUT;
        WaitForGenerationChange(seen, limited ? &deadline : nullptr);
    }
}
