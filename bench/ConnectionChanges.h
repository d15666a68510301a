#pragma once
// What the connection benchmarks share: the connection callback that records
// each change and the time until the next one.
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "Figures.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

using Clock = std::chrono::steady_clock;
std::mutex g_mutex;
std::condition_variable g_changed;
int g_changes = 0;
Clock::time_point g_lastChange;

void OnConnection(bool)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_changes;
    g_lastChange = Clock::now();
    g_changed.notify_all();
}

[[maybe_unused]] int Changes()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_changes;
}

// Milliseconds from since until the count-th connection change, -1 on timeout.
double WaitForChange(int count, Clock::time_point since)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    if (!g_changed.wait_for(lock, std::chrono::seconds(15), [&] { return g_changes >= count; }))
        return -1;
    return std::chrono::duration<double, std::milli>(g_lastChange - since).count();
}

}  // namespace
