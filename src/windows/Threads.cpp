// Threads, pauses and periodic timers of the Windows build.
#include <windows.h>
#include <mmsystem.h>
#include <process.h>

#include <map>
#include <new>

#include "platform/Event.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"

namespace {

// A thread started by CreateThread. Its handle is what the callers keep; the
// record says when the thread has left the library's code for good.
struct ThreadRecord {
    ThreadRoutine routine;
    void* argument;
    HANDLE thread = nullptr;
    // Set by the thread as the last thing it does in the library's code.
    HANDLE finished = nullptr;
    bool detached = false;
};

struct ThreadRegistry {
    CRITICAL_SECTION lock;
    std::map<unsigned long, ThreadRecord*> threads;
    ThreadRegistry() { InitializeCriticalSection(&lock); }
    // The section is left alone: a thread may still end after the unload began.
};

ThreadRegistry s_threads VASQ_INIT_PLATFORM_CORE;

// The handle of the running thread as CreateThread handed it out.
thread_local unsigned long t_threadHandle = 0;

// Set by nobody: the tick event of a timer that could not be made.
CManualResetEvent s_noTicks VASQ_INIT_PLATFORM(false);

unsigned long HandleValue(HANDLE handle)
{
    return static_cast<unsigned long>(HandleToLong(handle));
}

HANDLE HandleOf(unsigned long value)
{
    return LongToHandle(static_cast<long>(value));
}

void Release(ThreadRecord* record)
{
    CloseHandle(record->thread);
    CloseHandle(record->finished);
    delete record;
}

// Joins happen at unload too, inside the loader's lock, where a thread cannot
// finish exiting. So the thread signals `finished` and leaves through an APC
// that calls ExitThread from within the system's wait: after the signal no
// instruction of the library runs on it, and the joiner need not wait for the
// exit itself.
[[noreturn]] void LeaveLibraryCode(HANDLE finished)
{
    const PAPCFUNC exitThread = reinterpret_cast<PAPCFUNC>(reinterpret_cast<void (*)()>(&ExitThread));
    QueueUserAPC(exitThread, GetCurrentThread(), 0);
    for (;;)
        SignalObjectAndWait(finished, GetCurrentThread(), INFINITE, TRUE);
}

unsigned __stdcall ThreadStart(void* argument)
{
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    t_threadHandle = HandleValue(record->thread);
    record->routine(record->argument);
    EnterCriticalSection(&s_threads.lock);
    if (record->detached) {
        s_threads.threads.erase(HandleValue(record->thread));
        Release(record);
        LeaveCriticalSection(&s_threads.lock);
        ExitThread(0);
    }
    HANDLE finished = record->finished;
    LeaveCriticalSection(&s_threads.lock);
    LeaveLibraryCode(finished);
}

ThreadRecord* TakeRecord(unsigned long handle)
{
    EnterCriticalSection(&s_threads.lock);
    ThreadRecord* record = nullptr;
    const auto found = s_threads.threads.find(handle);
    if (found != s_threads.threads.end()) {
        record = found->second;
        s_threads.threads.erase(found);
    }
    LeaveCriticalSection(&s_threads.lock);
    return record;
}

}  // namespace

int CreateThread(unsigned long* handle, ThreadRoutine routine, void* argument)
{
    ThreadRecord* record = new (std::nothrow) ThreadRecord{routine, argument};
    if (record == nullptr)
        return 0;
    record->finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Started suspended so that it is registered before it can end.
    const uintptr_t thread =
        record->finished == nullptr ? 0 : _beginthreadex(nullptr, 0, ThreadStart, record, CREATE_SUSPENDED, nullptr);
    if (thread == 0) {
        if (record->finished != nullptr)
            CloseHandle(record->finished);
        delete record;
        return 0;
    }
    record->thread = reinterpret_cast<HANDLE>(thread);
    EnterCriticalSection(&s_threads.lock);
    s_threads.threads[HandleValue(record->thread)] = record;
    LeaveCriticalSection(&s_threads.lock);
    *handle = HandleValue(record->thread);
    ResumeThread(record->thread);
    return 1;
}

void CloseThread(unsigned long handle)
{
    if (handle == 0)
        return;
    EnterCriticalSection(&s_threads.lock);
    const auto found = s_threads.threads.find(handle);
    if (found != s_threads.threads.end()) {
        ThreadRecord* record = found->second;
        if (WaitForSingleObject(record->finished, 0) == WAIT_OBJECT_0) {
            s_threads.threads.erase(found);
            Release(record);
        } else {
            record->detached = true;
        }
    }
    LeaveCriticalSection(&s_threads.lock);
}

void JoinThread(unsigned long handle)
{
    if (handle == 0 || IsCurrentThread(handle))
        return;
    ThreadRecord* record = TakeRecord(handle);
    if (record == nullptr)
        return;
    // At process exit the system has already ended the other threads: their
    // handles are signalled although they never set `finished`.
    HANDLE ends[2] = {record->finished, record->thread};
    ::WaitForMultipleObjects(2, ends, FALSE, INFINITE);
    Release(record);
}

bool IsCurrentThread(unsigned long handle)
{
    return handle != 0 && GetThreadId(HandleOf(handle)) == GetCurrentThreadId();
}

unsigned long CurrentThreadHandle()
{
    return t_threadHandle;
}

void SleepEx(uint32_t milliseconds)
{
    Sleep(milliseconds);
}

// Each timer has its own event, which the system sets at every expiry; no
// code of the library runs on the system's timer thread.
struct PeriodicTimer {
    CAutoResetEvent event{false};
    MMRESULT id = 0;
};

TimerId CreateNewTimer(uint32_t periodMs, uint32_t& /*signalNumber*/)
{
    PeriodicTimer* timer = new (std::nothrow) PeriodicTimer;
    if (timer == nullptr)
        return nullptr;
    HANDLE event = timer->event.Handle();
    timer->id = timeSetEvent(periodMs, 1, reinterpret_cast<LPTIMECALLBACK>(event), reinterpret_cast<DWORD_PTR>(event),
                             TIME_PERIODIC | TIME_CALLBACK_EVENT_SET);
    if (timer->id == 0) {
        // As on Linux, a timer that cannot run is no timer: the callers then
        // know that no tick will come.
        delete timer;
        return nullptr;
    }
    return timer;
}

void DeleteTimer(uint32_t /*signalNumber*/, TimerId& timer)
{
    if (timer == nullptr)
        return;
    timeKillEvent(timer->id);
    delete timer;
    timer = nullptr;
}

CEvent* TimerTickEvent(TimerId timer, uint32_t /*signalNumber*/)
{
    return timer == nullptr ? static_cast<CEvent*>(&s_noTicks) : &timer->event;
}

// The folder of the library's own file, with its trailing backslash.
CInstance::CInstance()
{
    HMODULE module = nullptr;
    char path[MAX_PATH] = {};
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&s_threads), &module) &&
        GetModuleFileNameA(module, path, sizeof(path) - 1) != 0) {
        m_strWorkingDirectory = path;
        m_strWorkingDirectory.erase(m_strWorkingDirectory.find_last_of('\\') + 1);
    }
}

std::string CInstance::GetWorkingDirectory() const
{
    return m_strWorkingDirectory;
}
