#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/Platform.h"

class Device;

// The test workers and the sampling thread are stopped before the connection
// thread at unload: their unload object is constructed after the connection's
// (priority 111), so it is destroyed first.
#define VASQ_INIT_WORKER_LIFETIME __attribute__((init_priority(112)))

// Threads that end by themselves are never detached: they are joined later, so
// that no thread of the library can still run its code once it is unloaded.
class WorkerThreads {
public:
    // Creates and records a thread of a kind; 0 when it could not be created.
    int Start(Device& device, unsigned long* handle, ThreadRoutine routine, void* argument, const void* kind = nullptr);
    // The thread's last step: from now on joining it does not wait for anything.
    void Ended(unsigned long handle);
    // Takes the threads out of the record (ended ones only, or all), except
    // the calling thread; the caller then joins them.
    std::vector<unsigned long> Take(bool endedOnly);
    static void Join(const std::vector<unsigned long>& threads);
    // True once the thread has been taken out of the record while it runs:
    // someone waits for it to end, so it ends at its next look.
    bool Released(unsigned long handle);
    // Every thread recorded now (of the kind, if one is given) is asked to
    // end; threads started later are not.
    void RequestStop(const void* kind = nullptr);
    // True once the thread has been asked to end, or taken out of the record.
    bool StopRequested(unsigned long handle);
    size_t Count();

    // Runs a report of the thread's unless it has been asked to end or has
    // been released; true when it ran. No lock is held while it runs, so the
    // report may take the API lock, or run while its thread holds it.
    template <typename Call>
    bool Report(unsigned long handle, Call&& call)
    {
        if (!BeginReport(handle))
            return false;
        call();
        EndReport(handle);
        return true;
    }
    // Waits until no thread asked to end is inside a report: from then on none
    // of them starts another. Never on a thread of the library: a report there
    // may be what the caller runs inside.
    void PassReportsOfStopped();

private:
    struct Entry {
        unsigned long handle;
        bool ended;
        bool stopRequested;
        const void* kind;
        bool reporting;
    };
    bool BeginReport(unsigned long handle);
    void EndReport(unsigned long handle);

    std::mutex m_mutex;
    std::condition_variable m_reportEnded;
    std::vector<Entry> m_threads;
};

// A device's test workers and sampling threads.
struct WorkerState {
    WorkerThreads sampling;
    WorkerThreads tests;
    // A test this process started may still run on the device: none has been
    // stopped or seen complete since. Changed under the API lock.
    std::atomic<bool> ownTestMayRun{false};
};

// Marks the calling thread as a test worker or the sampling thread. Such a
// thread may hold the API lock while it runs the application's callback, so it
// never waits for another thread of the library to end.
void MarkLibraryWorkerThread();
bool OnLibraryWorkerThread();
