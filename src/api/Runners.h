#pragma once

#include <stddef.h>

#include <atomic>

#include "api/Instrument.h"
#include "vasq.h"


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
void JoinTestWorkers(Instrument& instrument);
// Ends the device's sampling and test workers and joins them; sends nothing.
void StopWorkersAtUnload(Instrument& instrument);
// Test workers that have not been joined yet.
size_t TestWorkerCount(Instrument& instrument);
