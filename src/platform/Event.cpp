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

struct CEvent::Waiter {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond;
    bool woken = false;
    Waiter() { InitMonotonicCond(&cond); }
    ~Waiter()
    {
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }
    void Wake()
    {
        pthread_mutex_lock(&mutex);
        woken = true;
        pthread_cond_signal(&cond);
        pthread_mutex_unlock(&mutex);
    }
};

CEvent::CEvent(bool initialState, bool consumes) : m_bSignaled(initialState), m_consumes(consumes)
{
    pthread_mutex_init(&m_mutex, nullptr);
    InitMonotonicCond(&m_cond);
}

CEvent::~CEvent()
{
    DestroyCond(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void CEvent::Set()
{
    pthread_mutex_lock(&m_mutex);
    m_bSignaled = true;
    if (m_consumes)
        pthread_cond_signal(&m_cond);
    else
        pthread_cond_broadcast(&m_cond);
    for (Link* link = m_links; link != nullptr; link = link->next)
        link->waiter->Wake();
    pthread_mutex_unlock(&m_mutex);
}

void CEvent::Reset()
{
    pthread_mutex_lock(&m_mutex);
    m_bSignaled = false;
    pthread_mutex_unlock(&m_mutex);
}

uint32_t CEvent::WaitFor(uint32_t milliseconds)
{
    return m_consumes ? WaitOn<true>(&m_mutex, &m_cond, &m_bSignaled, milliseconds)
                      : WaitOn<false>(&m_mutex, &m_cond, &m_bSignaled, milliseconds);
}

bool CEvent::TakeOrLink(Link* link)
{
    pthread_mutex_lock(&m_mutex);
    const bool signaled = m_bSignaled;
    if (signaled) {
        if (m_consumes)
            m_bSignaled = false;
    } else {
        link->next = m_links;
        m_links = link;
    }
    pthread_mutex_unlock(&m_mutex);
    return signaled;
}

void CEvent::Unlink(Link* link)
{
    pthread_mutex_lock(&m_mutex);
    for (Link** at = &m_links; *at != nullptr; at = &(*at)->next) {
        if (*at == link) {
            *at = link->next;
            break;
        }
    }
    pthread_mutex_unlock(&m_mutex);
}

CAutoResetEvent::CAutoResetEvent(bool initialState) : CEvent(initialState, true) {}

CAutoResetEvent::~CAutoResetEvent() = default;

void CAutoResetEvent::SetEvent()
{
    Set();
}

void CAutoResetEvent::ResetEvent()
{
    Reset();
}

void CAutoResetEvent::Wait()
{
    WaitFor(INFINITE_TIMEOUT);
}

uint32_t CAutoResetEvent::WaitTimeout(uint32_t milliseconds)
{
    return WaitFor(milliseconds);
}

CManualResetEvent::CManualResetEvent(bool initialState) : CEvent(initialState, false) {}

CManualResetEvent::~CManualResetEvent() = default;

void CManualResetEvent::SetEvent()
{
    Set();
}

void CManualResetEvent::ResetEvent()
{
    Reset();
}

void CManualResetEvent::Wait()
{
    WaitFor(INFINITE_TIMEOUT);
}

uint32_t CManualResetEvent::WaitTimeout(uint32_t milliseconds)
{
    return WaitFor(milliseconds);
}

uint32_t WaitForSingleObject(CEvent* event, uint32_t milliseconds)
{
    return event->WaitTimeout(milliseconds);
}

namespace {
thread_local uint64_t t_multiWaitSleeps = 0;
}  // namespace

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
    CEvent::Waiter waiter;
    std::vector<CEvent::Link> links(count, CEvent::Link{&waiter, nullptr});
    for (;;) {
        waiter.woken = false;
        uint32_t linked = 0;
        bool taken = false;
        for (; linked < count && !taken; ++linked)
            taken = events[linked]->TakeOrLink(&links[linked]);
        if (taken)
            --linked;
        if (!taken && !(limited && Passed(deadline))) {
            ++t_multiWaitSleeps;
            pthread_mutex_lock(&waiter.mutex);
            while (!waiter.woken) {
                if (!limited)
                    pthread_cond_wait(&waiter.cond, &waiter.mutex);
                else if (pthread_cond_timedwait(&waiter.cond, &waiter.mutex, &deadline) == ETIMEDOUT)
                    break;
            }
            pthread_mutex_unlock(&waiter.mutex);
        }
        for (uint32_t i = 0; i < linked; ++i)
            events[i]->Unlink(&links[i]);
        if (taken)
            return linked;
        if (limited && Passed(deadline))
            return WAIT_TIMEDOUT;
    }
}
