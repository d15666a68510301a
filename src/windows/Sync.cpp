// Locks, events and waits of the Windows build: the system's own objects.
#include <windows.h>

#include "platform/CriticalSection.h"
#include "platform/Event.h"

static_assert(sizeof(CRITICAL_SECTION) <= 40, "the lock's storage holds a system critical section");
static_assert(WAIT_TIMEDOUT == WAIT_TIMEOUT, "callers compare with the system's timeout result");

namespace {

CRITICAL_SECTION* Section(unsigned char* storage)
{
    return reinterpret_cast<CRITICAL_SECTION*>(storage);
}

}  // namespace

CSimpleCriticalSection::CSimpleCriticalSection()
{
    InitializeCriticalSection(Section(m_section));
}

// Never deleted: a thread still inside a device exchange at unload must not
// meet a destroyed section.
CSimpleCriticalSection::~CSimpleCriticalSection() = default;

void CSimpleCriticalSection::Lock()
{
    EnterCriticalSection(Section(m_section));
}

void CSimpleCriticalSection::Unlock()
{
    LeaveCriticalSection(Section(m_section));
}

CAutoCriticalSection::CAutoCriticalSection(CSimpleCriticalSection& cs) : m_cs(cs)
{
    m_cs.Lock();
}

CAutoCriticalSection::~CAutoCriticalSection()
{
    m_cs.Unlock();
}

CAutoResetEvent::CAutoResetEvent(bool initialState)
{
    m_hEvent = CreateEventA(nullptr, FALSE, initialState ? TRUE : FALSE, nullptr);
}

CAutoResetEvent::~CAutoResetEvent()
{
    if (m_hEvent != nullptr)
        ::CloseHandle(m_hEvent);
}

void CAutoResetEvent::SetEvent()
{
    ::SetEvent(m_hEvent);
}

void CAutoResetEvent::ResetEvent()
{
    ::ResetEvent(m_hEvent);
}

void CAutoResetEvent::Wait()
{
    ::WaitForSingleObject(m_hEvent, INFINITE);
}

uint32_t CAutoResetEvent::WaitTimeout(uint32_t milliseconds)
{
    return ::WaitForSingleObject(m_hEvent, milliseconds);
}

CManualResetEvent::CManualResetEvent(bool initialState)
{
    m_hEvent = CreateEventA(nullptr, TRUE, initialState ? TRUE : FALSE, nullptr);
}

CManualResetEvent::~CManualResetEvent()
{
    if (m_hEvent != nullptr)
        ::CloseHandle(m_hEvent);
}

void CManualResetEvent::SetEvent()
{
    ::SetEvent(m_hEvent);
}

void CManualResetEvent::ResetEvent()
{
    ::ResetEvent(m_hEvent);
}

void CManualResetEvent::Wait()
{
    ::WaitForSingleObject(m_hEvent, INFINITE);
}

uint32_t CManualResetEvent::WaitTimeout(uint32_t milliseconds)
{
    return ::WaitForSingleObject(m_hEvent, milliseconds);
}

uint32_t WaitForSingleObject(CEvent* event, uint32_t milliseconds)
{
    return event->WaitTimeout(milliseconds);
}

uint32_t WaitForMultipleObjects(uint32_t count, CEvent** events, int waitAll, uint32_t milliseconds)
{
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    if (count > MAXIMUM_WAIT_OBJECTS)
        return WAIT_FAILED;
    for (uint32_t i = 0; i < count; ++i)
        handles[i] = events[i]->Handle();
    return ::WaitForMultipleObjects(count, handles, waitAll != 0 ? TRUE : FALSE, milliseconds);
}
