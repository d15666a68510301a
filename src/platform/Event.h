#pragma once

#include <pthread.h>
#include <stdint.h>

#include "platform/Export.h"

// Results of the waits, compared literally by the callers.
constexpr uint32_t WAIT_SIGNALED = 0;
constexpr uint32_t WAIT_TIMEDOUT = 110;
constexpr uint32_t INFINITE_TIMEOUT = 0xFFFFFFFFu;

class VASQ_EXPORT CEvent {
public:
    virtual void SetEvent() = 0;
    virtual void ResetEvent() = 0;
    virtual void Wait() = 0;
    virtual uint32_t WaitTimeout(uint32_t milliseconds) = 0;

protected:
    CEvent() = default;
    ~CEvent() = default;
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

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_bSignaled;
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

private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_bSignaled;
};

VASQ_EXPORT uint32_t WaitForSingleObject(CEvent* event, uint32_t milliseconds);

// Returns the lowest index of a signalled event (consuming only that one when
// it is auto-reset), or 110 at the deadline. Waiting for all events is not
// supported and gives 110 at once. The caller blocks between polls.
VASQ_EXPORT uint32_t WaitForMultipleObjects(uint32_t count, CEvent** events, int waitAll,
                                            uint32_t milliseconds);
