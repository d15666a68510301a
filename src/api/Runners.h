#pragma once

#include <stddef.h>

#include <atomic>

#include "vasq.h"

extern std::atomic<BPTestCallback> g_BPTestCallback;
extern std::atomic<LeakageTestCallback> g_LeakageTestCallback;
extern std::atomic<OverpressureTestCallback> g_OverpressureTestCallback;
extern std::atomic<StaticPressureCallback> g_StaticPressureExCallback;
extern std::atomic<unsigned long> g_hBPTestThread;
extern std::atomic<unsigned long> g_hLeakageTestThread;
extern std::atomic<unsigned long> g_hOverpressureTestThread;
extern std::atomic<unsigned long> g_hStaticPressureExThread;

// Device status codes the library gives a meaning to.
constexpr unsigned kStatusNoTest = 0;
constexpr unsigned kStatusPressureRunning = 2;
constexpr unsigned kStatusIdle = 3;
constexpr unsigned kStatusCalibrationPassed = 7;
constexpr unsigned kStatusCalibrationFailed = 8;
constexpr unsigned kStatusRunning = 10;
constexpr unsigned kStatusHolding = 12;
constexpr unsigned kStatusWaitStable = 13;
constexpr unsigned kStatusCompleted = 14;

VasqStatus MappingStatus(int deviceCode);

void* BPTestThread(void* argument);
void* LeakageTestThread(void* argument);
void* OverpressureTestThread(void* argument);
void* StaticPressureExThread(void* argument);

// Waits for the test workers to end once a stop has been requested. On a
// worker thread only the workers that have already ended are joined.
void JoinTestWorkers();
// Test workers that have not been joined yet.
size_t TestWorkerCount();
