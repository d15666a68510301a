#include "platform/Event.h"

#include "platform/InitOrder.h"
#include "platform/Platform.h"

#include <errno.h>
#include <time.h>

#include <vector>

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

namespace {

// A thread in WaitForMultipleObjects, woken by a set of any of its events.
struct Waiter {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond;
    bool woken = false;
    Waiter() { InitMonotonicCond(&cond); }
    ~Waiter()
    {
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;
    void Wake()
    {
        pthread_mutex_lock(&mutex);
        woken = true;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    }
};

// Who waits on which event, outside the events: a waiter hangs a link on each
// of its events in the bucket of the event's address before it polls them,
// and a set wakes the waiters linked to that event only. Plain data with
// constant initial values: usable by events constructed before any other
// object of the library and set until the last one is destroyed.
struct Link {
    const CEvent* event;
    Waiter* waiter;
    Link* next;
};
struct Bucket {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    Link* links = nullptr;
};
constexpr size_t kBuckets = 64;
Bucket s_waiting[kBuckets];

Bucket& BucketOf(const CEvent* event)
{
    return s_waiting[(reinterpret_cast<uintptr_t>(event) / alignof(CEvent)) % kBuckets];
}

void LinkWaiter(Link* link)
{
    Bucket& bucket = BucketOf(link->event);
    pthread_mutex_lock(&bucket.mutex);
    link->next = bucket.links;
    bucket.links = link;
    pthread_mutex_unlock(&bucket.mutex);
}

void UnlinkWaiter(Link* link)
{
    Bucket& bucket = BucketOf(link->event);
    pthread_mutex_lock(&bucket.mutex);
    for (Link** at = &bucket.links; *at != nullptr; at = &(*at)->next) {
        if (*at == link) {
            *at = link->next;
            break;
        }
    }
    pthread_mutex_unlock(&bucket.mutex);
}

// After the flag was set and its mutex released: a waiter that linked itself
// before this look polls after the set and sees it; one that links itself
// later polls later still.
void WakeWaitersOf(const CEvent* event)
{
    Bucket& bucket = BucketOf(event);
    pthread_mutex_lock(&bucket.mutex);
    for (Link* link = bucket.links; link != nullptr; link = link->next) {
        if (link->event == event)
            link->waiter->Wake();
    }
    pthread_mutex_unlock(&bucket.mutex);
}

void Initialise(pthread_mutex_t* mutex, pthread_cond_t* cond, bool* signaled, bool initialState)
{
    pthread_mutex_init(mutex, nullptr);
    InitMonotonicCond(cond);
    *signaled = initialState;
}

void Destroy(pthread_mutex_t* mutex, pthread_cond_t* cond)
{
    DestroyCond(cond);
    pthread_mutex_destroy(mutex);
}

// A set wakes one blocked single wait when a wait consumes the signal, all of
// them otherwise, and every wait on several events that includes this one.
void SetOn(const CEvent* event, pthread_mutex_t* mutex, pthread_cond_t* cond, bool* signaled, bool consumes)
{
    pthread_mutex_lock(mutex);
    *signaled = true;
    if (consumes)
        pthread_cond_signal(cond);
    else
        pthread_cond_broadcast(cond);
    pthread_mutex_unlock(mutex);
    WakeWaitersOf(event);
}

void ResetOn(pthread_mutex_t* mutex, bool* signaled)
{
    pthread_mutex_lock(mutex);
    *signaled = false;
    pthread_mutex_unlock(mutex);
}

thread_local uint64_t t_multiWaitSleeps = 0;

// Events of other classes are polled too, but their sets wake nobody: a wait
// that includes one sleeps no longer than this between polls.
constexpr long kForeignPollNs = 1000000;

bool WakesWaiters(CEvent* event)
{
    return dynamic_cast<CAutoResetEvent*>(event) != nullptr || dynamic_cast<CManualResetEvent*>(event) != nullptr;
}

}  // namespace

CAutoResetEvent::CAutoResetEvent(bool initialState)
{
    Initialise(&m_mutex, &m_cond, &m_bSignaled, initialState);
}

CAutoResetEvent::~CAutoResetEvent()
{
    Destroy(&m_mutex, &m_cond);
}

void CAutoResetEvent::SetEvent()
{
    SetOn(this, &m_mutex, &m_cond, &m_bSignaled, true);
}

void CAutoResetEvent::ResetEvent()
{
    ResetOn(&m_mutex, &m_bSignaled);
}

void CAutoResetEvent::Wait()
{
    WaitOn<true>(&m_mutex, &m_cond, &m_bSignaled, INFINITE_TIMEOUT);
}

uint32_t CAutoResetEvent::WaitTimeout(uint32_t milliseconds)
{
    return WaitOn<true>(&m_mutex, &m_cond, &m_bSignaled, milliseconds);
}

CManualResetEvent::CManualResetEvent(bool initialState)
{
    Initialise(&m_mutex, &m_cond, &m_bSignaled, initialState);
}

CManualResetEvent::~CManualResetEvent()
{
    Destroy(&m_mutex, &m_cond);
}

void CManualResetEvent::SetEvent()
{
    SetOn(this, &m_mutex, &m_cond, &m_bSignaled, false);
}

void CManualResetEvent::ResetEvent()
{
    ResetOn(&m_mutex, &m_bSignaled);
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

uint64_t MultiWaitSleeps()
{
    return t_multiWaitSleeps;
}

uint32_t WaitForMultipleObjects(uint32_t count, CEvent** events, int waitAll, uint32_t milliseconds)
{
    if (waitAll != 0)
        return WAIT_TIMEDOUT;
    const bool limited = milliseconds != INFINITE_TIMEOUT;
    const timespec deadline = limited ? DeadlineAfter(milliseconds) : timespec{};
    bool foreign = false;
    for (uint32_t i = 0; i < count; ++i)
        foreign = foreign || !WakesWaiters(events[i]);
    Waiter waiter;
    std::vector<Link> links(count, Link{nullptr, &waiter, nullptr});
    for (;;) {
        waiter.woken = false;
        for (uint32_t i = 0; i < count; ++i) {
            links[i].event = events[i];
            LinkWaiter(&links[i]);
        }
        // A pass: the lowest signalled index wins, and only its signal is taken.
        uint32_t hit = count;
        for (uint32_t i = 0; i < count && hit == count; ++i) {
            if (events[i]->WaitTimeout(0) == WAIT_SIGNALED)
                hit = i;
        }
        if (hit == count && !(limited && Passed(deadline))) {
            ++t_multiWaitSleeps;
            timespec until = deadline;
            if (foreign) {
                timespec slice = DeadlineAfter(0);
                slice.tv_nsec += kForeignPollNs;
                if (slice.tv_nsec >= 1000000000) {
                    slice.tv_nsec -= 1000000000;
                    ++slice.tv_sec;
                }
                if (!limited || slice.tv_sec < until.tv_sec ||
                    (slice.tv_sec == until.tv_sec && slice.tv_nsec < until.tv_nsec))
                    until = slice;
            }
            const bool timed = limited || foreign;
            pthread_mutex_lock(&waiter.mutex);
            while (!waiter.woken) {
                if (!timed)
                    pthread_cond_wait(&waiter.cond, &waiter.mutex);
                else if (pthread_cond_timedwait(&waiter.cond, &waiter.mutex, &until) == ETIMEDOUT)
                    break;
            }
            pthread_mutex_unlock(&waiter.mutex);
        }
        for (uint32_t i = 0; i < count; ++i)
            UnlinkWaiter(&links[i]);
        if (hit != count)
            return hit;
        if (limited && Passed(deadline))
            return WAIT_TIMEDOUT;
    }
}
