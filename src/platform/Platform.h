#pragma once

#include <stdint.h>

#include <new>
#include <string>

#include "platform/Export.h"

using ThreadRoutine = void* (*)(void*);

// Thread handles are POSIX thread identifiers (system thread handles on
// Windows, whose values fit in 32 bits); 0 stands for "no thread".
VASQ_EXPORT int CreateThread(unsigned long* handle, ThreadRoutine routine, void* argument);
// Called by a worker on its own handle just before it returns: nobody joins
// such a thread, so it is detached and the system reclaims it.
VASQ_EXPORT void CloseThread(unsigned long handle);
// Joins a thread started by CreateThread; does nothing for handle 0 or for the calling thread.
VASQ_EXPORT void JoinThread(unsigned long handle);
// Whether the handle is that of the calling thread.
VASQ_EXPORT bool IsCurrentThread(unsigned long handle);
// The handle CreateThread gave for the calling thread (0 for a thread it did not start, on Windows).
VASQ_EXPORT unsigned long CurrentThreadHandle();
VASQ_EXPORT int CloseHandle(long descriptor);

// True in a child forked from this process. Its exit must neither join the
// parent's threads nor touch the parent's ports and lock files: the threads
// are not in the child, and the ports and lock files are the parent's.
bool InForkedChild();

// Static storage for an object whose destructor waits for threads or waiters:
// destroyed at exit or unload, but not by a forked child's exit.
template <typename T>
class ParentOnly {
public:
    template <typename... Args>
    explicit ParentOnly(Args&&... args) : m_object(new (m_storage) T(static_cast<Args&&>(args)...))
    {
    }
    ~ParentOnly()
    {
        if (!InForkedChild())
            m_object->~T();
    }
    ParentOnly(const ParentOnly&) = delete;
    ParentOnly& operator=(const ParentOnly&) = delete;
    T& operator*() const { return *m_object; }
    T* operator->() const { return m_object; }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
    T* m_object;
};

VASQ_EXPORT void SleepEx(uint32_t milliseconds);
#if defined(_WIN32)
// Windows has the millisecond clock itself; this is the system's declaration.
extern "C" __declspec(dllimport) unsigned long long __stdcall GetTickCount64(void);
#else
VASQ_EXPORT uint64_t GetTickCount64();
#endif

constexpr uint32_t TIMER_SIGNAL_SAMPLING = 10;
constexpr uint32_t TIMER_SIGNAL_TEST = 12;

struct PeriodicTimer;
using TimerId = PeriodicTimer*;

// Every expiry sets g_hSigUsr1Event (signal number 10) or g_hSigUsr2Event
// (12), and the timer's own event, which its worker waits on: a tick left by
// a finished worker never reaches the next one, whose first tick comes one
// period after its start. The expiries are taken on a thread of the library,
// not as signals, so no system call of the application is ever interrupted.
VASQ_EXPORT TimerId CreateNewTimer(uint32_t periodMs, uint32_t& signalNumber);
// After it returns no further tick arrives; a tick already set stays set.
VASQ_EXPORT void DeleteTimer(uint32_t signalNumber, TimerId& timer);
// The event that the timer's expiries set, for the worker to wait on: the
// timer's own (for a null timer, the event of the signal number). Never null.
class CEvent;
VASQ_EXPORT CEvent* TimerTickEvent(TimerId timer, uint32_t signalNumber);

class VASQ_EXPORT CInstance {
public:
    CInstance();
    std::string GetWorkingDirectory() const;

private:
    std::string m_strWorkingDirectory;
};
