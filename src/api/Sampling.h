#pragma once

#include <atomic>

#include "api/Instrument.h"
#include "vasq.h"

constexpr int g_nPlayDataMinSampleRate = 200;

void* SamplingThread(void* argument);
// Ends sampling and joins every sampling thread; sends nothing to the device.
void StopSamplingAtUnload(Instrument& instrument);
