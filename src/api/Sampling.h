#pragma once

#include <atomic>

#include "vasq.h"

extern std::atomic<SamplingCallback> g_SamplingCallback;
extern std::atomic<unsigned long> g_hSamplingThread;
constexpr int g_nPlayDataMinSampleRate = 200;

void* SamplingThread(void* argument);
// Ends sampling and joins every sampling thread; sends nothing to the device.
void StopSamplingAtUnload();
