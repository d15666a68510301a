#include "api/Workers.h"

#include <algorithm>

#include "api/Instrument.h"

namespace {
thread_local bool t_libraryWorker = false;
}  // namespace

WorkerState* NewWorkerState()
{
    return new WorkerState;
}

void DeleteWorkerState(WorkerState* state)
{
    delete state;
}

int WorkerThreads::Start(Device& device, unsigned long* handle, ThreadRoutine routine, void* argument, const void* kind)
{
    // Held across the creation, so that a thread that ends at once finds its entry.
    std::lock_guard<std::mutex> lock(m_mutex);
    unsigned long thread = 0;
    if (CreateDeviceThread(device, &thread, routine, argument) == 0)
        return 0;
    m_threads.push_back({thread, false, false, kind, false});
    *handle = thread;
    return 1;
}

void WorkerThreads::Ended(unsigned long handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Entry& entry : m_threads) {
        if (entry.handle == handle)
            entry.ended = true;
    }
}

std::vector<unsigned long> WorkerThreads::Take(bool endedOnly)
{
    std::vector<unsigned long> taken;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto taking = [&](const Entry& entry) {
        if (IsCurrentThread(entry.handle) || (endedOnly && !entry.ended))
            return false;
        taken.push_back(entry.handle);
        return true;
    };
    m_threads.erase(std::remove_if(m_threads.begin(), m_threads.end(), taking), m_threads.end());
    return taken;
}

void WorkerThreads::Join(const std::vector<unsigned long>& threads)
{
    for (unsigned long thread : threads)
        JoinThread(thread);
}

bool WorkerThreads::Released(unsigned long handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::none_of(m_threads.begin(), m_threads.end(), [&](const Entry& e) { return e.handle == handle; });
}

void WorkerThreads::RequestStop(const void* kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Entry& entry : m_threads) {
        if (kind == nullptr || entry.kind == kind)
            entry.stopRequested = true;
    }
}

bool WorkerThreads::BeginReport(unsigned long handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Entry& entry : m_threads) {
        if (entry.handle == handle && !entry.stopRequested) {
            entry.reporting = true;
            return true;
        }
    }
    return false;
}

void WorkerThreads::EndReport(unsigned long handle)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Entry& entry : m_threads) {
            if (entry.handle == handle)
                entry.reporting = false;
        }
    }
    m_reportEnded.notify_all();
}

void WorkerThreads::PassReportsOfStopped()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_reportEnded.wait(lock, [this] {
        return std::none_of(m_threads.begin(), m_threads.end(),
                            [](const Entry& e) { return e.stopRequested && e.reporting; });
    });
}

bool WorkerThreads::StopRequested(unsigned long handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A thread taken out of the record is waited for: it is to end as well.
    const auto found =
        std::find_if(m_threads.begin(), m_threads.end(), [&](const Entry& e) { return e.handle == handle; });
    return found == m_threads.end() || found->stopRequested;
}

size_t WorkerThreads::Count()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size();
}

void MarkLibraryWorkerThread()
{
    t_libraryWorker = true;
}

bool OnLibraryWorkerThread()
{
    return t_libraryWorker;
}
