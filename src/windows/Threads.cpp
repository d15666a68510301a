// Threads, pauses and periodic timers of the Windows build.
#include <windows.h>
#include <mmsystem.h>

#include <stddef.h>
#include <string.h>

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
    struct StartGate* gate = nullptr;
};

// A new thread first runs a few instructions outside the library's image
// (the stub below) that pass this gate: it enters the library's code only if
// it claims the gate before an unload abandons it. A thread still held in the
// system's start-up behind the loader's lock when the library goes then ends
// by itself through ExitThread, without running any of the library's code and
// without being terminated. The gate lives on the process heap, which
// outlives the library; an abandoned one is left to its thread.
struct StartGate {
    volatile LONG state;
    LONG unused;
    void* exitThread;
    void* start;
    void* argument;
};
static_assert(offsetof(StartGate, exitThread) == 8 && offsetof(StartGate, start) == 16 &&
                  offsetof(StartGate, argument) == 24,
              "the stub reads the gate at these offsets");
constexpr LONG kGateWaiting = 0;
constexpr LONG kGateAbandoned = 1;
constexpr LONG kGateEntered = 2;

// x86-64, gate in rcx:  mov r8, rcx; xor eax, eax; mov edx, 2;
// lock cmpxchg [r8], edx; jnz abandoned; mov rcx, [r8+24]; jmp [r8+16];
// abandoned: xor ecx, ecx; jmp [r8+8]
const unsigned char kStartStub[] = {0x49, 0x89, 0xC8, 0x31, 0xC0, 0xBA, 0x02, 0x00, 0x00, 0x00, 0xF0, 0x41,
                                    0x0F, 0xB1, 0x10, 0x75, 0x08, 0x49, 0x8B, 0x48, 0x18, 0x41, 0xFF, 0x60,
                                    0x10, 0x31, 0xC9, 0x41, 0xFF, 0x60, 0x08};

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

// The stub's page: made once and never freed, as an abandoned thread may run
// it after the unload.
LPTHREAD_START_ROUTINE StartStub()
{
    static void* const page = [] {
        void* memory = VirtualAlloc(nullptr, sizeof(kStartStub), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        DWORD previous = 0;
        if (memory == nullptr)
            return static_cast<void*>(nullptr);
        memcpy(memory, kStartStub, sizeof(kStartStub));
        if (!VirtualProtect(memory, sizeof(kStartStub), PAGE_EXECUTE_READ, &previous)) {
            VirtualFree(memory, 0, MEM_RELEASE);
            return static_cast<void*>(nullptr);
        }
        FlushInstructionCache(GetCurrentProcess(), memory, sizeof(kStartStub));
        return memory;
    }();
    return reinterpret_cast<LPTHREAD_START_ROUTINE>(page);
}

// At an unload: true if the thread had not yet entered the library's code;
// it never will.
bool Abandon(ThreadRecord* record)
{
    return InterlockedCompareExchange(&record->gate->state, kGateAbandoned, kGateWaiting) != kGateEntered;
}

void Release(ThreadRecord* record)
{
    if (record->gate != nullptr && record->gate->state != kGateAbandoned)
        HeapFree(GetProcessHeap(), 0, record->gate);
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
    record->gate = static_cast<StartGate*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(StartGate)));
    const LPTHREAD_START_ROUTINE stub = StartStub();
    if (record->gate != nullptr) {
        record->gate->exitThread = reinterpret_cast<void*>(&ExitThread);
        record->gate->start = reinterpret_cast<void*>(&ThreadStart);
        record->gate->argument = record;
    }
    // Started suspended so that it is registered before it can end. The
    // system's own thread start is used, not the C runtime's: until it enters
    // ThreadStart the thread has run only the system's start-up, which waits
    // for the loader's lock during a load or an unload (see JoinThread).
    const HANDLE thread =
        record->entered == nullptr || record->finished == nullptr || record->gate == nullptr || stub == nullptr
            ? nullptr
            : ::CreateThread(nullptr, 0, stub, record->gate, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) {
        if (record->gate != nullptr)
            HeapFree(GetProcessHeap(), 0, record->gate);
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
    if (s_unloading.load() && Abandon(record)) {
        // Started just before the unload and held in the system's thread
        // start-up behind the loader's lock that the unload holds: it has run
        // none of the library's code and, past its gate, ends by itself.
        Release(record);
        return;
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
    if (record != nullptr && s_unloading.load() && Abandon(record)) {
        LeaveCriticalSection(&s_threads.lock);
        return false;
    }
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

// Windows has no fork.
bool InForkedChild()
{
    return false;
}
