// Threads, pauses and periodic timers of the Windows build.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <map>
#include <new>

#include "platform/Event.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"
#include "windows/Threads.h"

namespace {

// A thread started by CreateThread. Its handle is what the callers keep; the
// record says when the thread has left the library's code for good.
struct ThreadRecord {
    ThreadRoutine routine;
    void* argument;
    HANDLE thread = nullptr;
    // Set by the thread as the first and as the last thing it does in the library's code.
    HANDLE entered = nullptr;
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

// Set once the library's static objects are being destroyed, inside the
// loader's lock at an unload (or at process exit).
std::atomic<bool> s_unloading{false};
struct UnloadMark {
    ~UnloadMark() { s_unloading.store(true); }
};
UnloadMark s_unloadMark VASQ_INIT_UNLOAD_MARK;

// How long a join at unload gives a thread to enter the library's code.
constexpr DWORD kEnterWaitMs = 100;

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
    CloseHandle(record->entered);
    CloseHandle(record->finished);
    delete record;
}

ThreadRecord* FindRecord(unsigned long handle)
{
    const auto found = s_threads.threads.find(handle);
    return found == s_threads.threads.end() ? nullptr : found->second;
}

// True once the thread has entered the library's code, or has ended.
bool Entered(ThreadRecord* record, DWORD waitMs)
{
    HANDLE started[2] = {record->entered, record->thread};
    return ::WaitForMultipleObjects(2, started, FALSE, waitMs) != WAIT_TIMEOUT;
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

DWORD WINAPI ThreadStart(void* argument)
{
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    SetEvent(record->entered);
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
    record->entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    record->finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Started suspended so that it is registered before it can end. The
    // system's own thread start is used, not the C runtime's: until it enters
    // ThreadStart the thread has run only the system's start-up, which waits
    // for the loader's lock during a load or an unload (see JoinThread).
    const HANDLE thread = record->entered == nullptr || record->finished == nullptr
                              ? nullptr
                              : ::CreateThread(nullptr, 0, ThreadStart, record, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) {
        if (record->entered != nullptr)
            CloseHandle(record->entered);
        if (record->finished != nullptr)
            CloseHandle(record->finished);
        delete record;
        return 0;
    }
    record->thread = thread;
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
    if (ThreadRecord* record = FindRecord(handle)) {
        if (WaitForSingleObject(record->finished, 0) == WAIT_OBJECT_0) {
            s_threads.threads.erase(handle);
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
    if (s_unloading.load() && !Entered(record, kEnterWaitMs)) {
        // Started just before the unload and held in the system's thread
        // start-up behind the loader's lock that the unload holds: it has run
        // none of the library's code and must not run it once it is gone.
        TerminateThread(record->thread, 0);
    }
    // At process exit the system has already ended the other threads: their
    // handles are signalled although they never set `finished`.
    HANDLE ends[2] = {record->finished, record->thread};
    ::WaitForMultipleObjects(2, ends, FALSE, INFINITE);
    Release(record);
}

bool WaitThreadEntered(unsigned long handle, uint32_t milliseconds)
{
    EnterCriticalSection(&s_threads.lock);
    ThreadRecord* record = FindRecord(handle);
    HANDLE started[2] = {};
    if (record != nullptr) {
        DuplicateHandle(GetCurrentProcess(), record->entered, GetCurrentProcess(), &started[0], 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        DuplicateHandle(GetCurrentProcess(), record->thread, GetCurrentProcess(), &started[1], 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    LeaveCriticalSection(&s_threads.lock);
    if (record == nullptr)
        return true;
    const bool entered = ::WaitForMultipleObjects(2, started, FALSE, milliseconds) != WAIT_TIMEOUT;
    CloseHandle(started[0]);
    CloseHandle(started[1]);
    return entered;
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
