#pragma once

#include <atomic>

#include "api/Instrument.h"
#include "vasq.h"

constexpr int g_nPlayDataMinSampleRate = 200;

void* SamplingThread(void* argument);
// Starts sampling with the callback, or keeps the running thread and gives it the callback.
int StartSampling(const SamplingTarget& callback);
// Ends sampling and joins every sampling thread; sends nothing to the device.
void StopSamplingAtUnload();
