#pragma once

#include <stdint.h>
#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "platform/Export.h"

// Results of the waits, compared literally by the callers. A timeout is the
// system's own value: ETIMEDOUT on Linux, WAIT_TIMEOUT on Windows.
constexpr uint32_t WAIT_SIGNALED = 0;
#if defined(_WIN32)
constexpr uint32_t WAIT_TIMEDOUT = 258;
#else
constexpr uint32_t WAIT_TIMEDOUT = 110;
#endif
constexpr uint32_t INFINITE_TIMEOUT = 0xFFFFFFFFu;

class VASQ_EXPORT CEvent {
public:
    virtual void SetEvent() = 0;
    virtual void ResetEvent() = 0;
    virtual void Wait() = 0;
    virtual uint32_t WaitTimeout(uint32_t milliseconds) = 0;

#if defined(_WIN32)
    // The system event behind the object, for the system's waits.
    void* Handle() const { return m_hEvent; }
#else
    // A thread waiting on several events at once hangs a link on each of
    // them: the next set of any of them wakes it, and no other set does.
    struct Waiter;
    struct Link {
        Waiter* waiter;
        Link* next;
    };
    // Takes the signal when it is set (an auto-reset event loses it);
    // otherwise hangs the link on the event until Unlink.
    bool TakeOrLink(Link* link);
    void Unlink(Link* link);
#endif

protected:
#if defined(_WIN32)
    CEvent() = default;
    ~CEvent() = default;
    void* m_hEvent = nullptr;
#else
    CEvent(bool initialState, bool consumes);
    ~CEvent();
    // Sets the event and wakes its waiters: one of them when the signal is
    // consumed by a wait, all of them otherwise.
    void Set();
    void Reset();
    uint32_t WaitFor(uint32_t milliseconds);

    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_bSignaled;
    const bool m_consumes;
    Link* m_links = nullptr;
#endif
};

// Both kinds share the wait logic; they differ only in whether a successful
// wait consumes the signal.
class VASQ_EXPORT CAutoResetEvent : public CEvent {
public:
    explicit CAutoResetEvent(bool initialState = false);
    ~CAutoResetEvent();
    CAutoResetEvent(const CAutoResetEvent&) = delete;
    CAutoResetEvent& operator=(const CAutoResetEvent&) = delete;

    void SetEvent() override;
    void ResetEvent() override;
    void Wait() override;
    uint32_t WaitTimeout(uint32_t milliseconds) override;

};

class VASQ_EXPORT CManualResetEvent : public CEvent {
public:
    explicit CManualResetEvent(bool initialState = false);
    ~CManualResetEvent();
    CManualResetEvent(const CManualResetEvent&) = delete;
    CManualResetEvent& operator=(const CManualResetEvent&) = delete;

    void SetEvent() override;
    void ResetEvent() override;
    void Wait() override;
    uint32_t WaitTimeout(uint32_t milliseconds) override;

};

VASQ_EXPORT uint32_t WaitForSingleObject(CEvent* event, uint32_t milliseconds);

// Returns the lowest index of a signalled event (consuming only that one when
// it is auto-reset), or 110 at the deadline. Waiting for all events is not
// supported and gives 110 at once. The caller sleeps until one of its events is set.
VASQ_EXPORT uint32_t WaitForMultipleObjects(uint32_t count, CEvent** events, int waitAll,
                                            uint32_t milliseconds);
#if !defined(_WIN32)
// How often the calling thread has slept in WaitForMultipleObjects (one count
// per wake-up), for tests.
VASQ_EXPORT uint64_t MultiWaitSleeps();
#endif
