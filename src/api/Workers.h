#pragma once

#include <mutex>
#include <vector>

#include "platform/Platform.h"

// The test workers and the sampling thread are stopped before the connection
// thread at unload: their unload object is constructed after the connection's
// (priority 111), so it is destroyed first.
#define VASQ_INIT_WORKER_LIFETIME __attribute__((init_priority(112)))

// Threads that end by themselves are never detached: they are joined later, so
// that no thread of the library can still run its code once it is unloaded.
class WorkerThreads {
public:
    // Creates and records a thread; 0 when it could not be created.
    int Start(unsigned long* handle, ThreadRoutine routine, void* argument);
    // The thread's last step: from now on joining it does not wait for anything.
    void Ended(unsigned long handle);
    // Takes the threads out of the record (ended ones only, or all), except
    // the calling thread; the caller then joins them.
    std::vector<unsigned long> Take(bool endedOnly);
    static void Join(const std::vector<unsigned long>& threads);
    // True once the thread has been taken out of the record while it runs:
    // someone waits for it to end, so it ends at its next look.
    bool Released(unsigned long handle);
    // Every thread recorded now is asked to end; threads started later are not.
    void RequestStop();
    bool StopRequested(unsigned long handle);
    size_t Count();

private:
    struct Entry {
        unsigned long handle;
        bool ended;
        bool stopRequested;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_threads;
};

// Marks the calling thread as a test worker or the sampling thread. Such a
// thread may hold the API lock while it runs the application's callback, so it
// never waits for another thread of the library to end.
void MarkLibraryWorkerThread();
bool OnLibraryWorkerThread();
