#pragma once

// Support for tests that use only what the shared library exports.
#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "SimDevice.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace e2e {

class TempFolder {
public:
    TempFolder()
    {
        char name[] = "/tmp/vasq-e2e-XXXXXX";
        if (mkdtemp(name) == nullptr)
            abort();
        m_path = name;
    }
    ~TempFolder()
    {
        nftw(
            m_path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    const std::string& path() const { return m_path; }
    std::string LockPath(int port) const { return m_path + "/kestrova.ACM" + std::to_string(port) + ".lock"; }

private:
    std::string m_path;
};

inline bool FileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The entries of a folder, "." and ".." aside.
inline int EntryCount(const char* folder)
{
    int count = 0;
    if (DIR* dir = opendir(folder)) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

inline int ThreadCount()
{
    return EntryCount("/proc/self/task");
}

// A joined thread may stay in the process's task list a moment after the join
// returns (the system wakes the joiner before it reaps the thread; under an
// emulator such as qemu-user the host thread lingers longer), so counts are
// compared against a short deadline.
inline bool ThreadCountSettlesAt(int expected, std::chrono::milliseconds timeout = std::chrono::seconds(2))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ThreadCount() != expected) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline int DescriptorCount()
{
    return EntryCount("/proc/self/fd") - 1;  // the listing's own descriptor
}

class Stopwatch {
public:
    double Ms() const
    {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// Waits for a condition that other threads change, with a deadline; the
// condition is re-checked whenever Notify is called and every 20 ms.
class Condition {
public:
    void Notify()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cv.notify_all();
    }
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            m_cv.wait_for(lock, std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

}  // namespace e2e
