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

// The event classes keep the layout that release 1.0 exported constructors
// for: the base holds no data, each kind holds its mutex, condition and flag
// in this order, so an object fits the storage an application sized for it.
// What a wait on several events needs (who waits on which event) lives in a
// table outside the objects.
class VASQ_EXPORT CEvent {
public:
    virtual void SetEvent() = 0;
    virtual void ResetEvent() = 0;
    virtual void Wait() = 0;
    virtual uint32_t WaitTimeout(uint32_t milliseconds) = 0;

#if defined(_WIN32)
    // The system event behind the object, for the system's waits.
    void* Handle() const { return m_hEvent; }
#endif

protected:
    CEvent() = default;
    ~CEvent() = default;
#if defined(_WIN32)
    void* m_hEvent = nullptr;
#endif
};

// The two kinds differ only in whether a successful wait consumes the signal.
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

#if !defined(_WIN32)
private:
    friend struct EventLayout;
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_bSignaled;
#endif
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

#if !defined(_WIN32)
private:
    friend struct EventLayout;
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_bSignaled;
#endif
};

VASQ_EXPORT uint32_t WaitForSingleObject(CEvent* event, uint32_t milliseconds);

// Returns the lowest index of a signalled event (consuming only that one when
// it is auto-reset), or 110 at the deadline. Waiting for all events is not
// supported and gives 110 at once. Each pass polls the events in order through
// WaitTimeout(0); between passes the caller sleeps until one of its events is set.
VASQ_EXPORT uint32_t WaitForMultipleObjects(uint32_t count, CEvent** events, int waitAll,
                                            uint32_t milliseconds);
#if !defined(_WIN32)
// How often the calling thread has slept in WaitForMultipleObjects (one count
// per wake-up), for tests.
uint64_t MultiWaitSleeps();
#endif
