#pragma once

#include <atomic>

#include "api/Instrument.h"
#include "vasq.h"

constexpr int g_nPlayDataMinSampleRate = 200;

void* SamplingThread(void* argument);
// Starts sampling with the callback, or keeps the running thread and gives it the callback.
int StartSampling(Instrument& instrument, const SamplingTarget& callback);
// The same from an exported function: on the instrument that the call names.
int StartSamplingHere(const SamplingTarget& callback);
// Ends sampling; from a callback or a test worker the thread ends by itself.
void StopSampling(Instrument& instrument);
// Ends sampling and joins every sampling thread; sends nothing to the device.
void StopSamplingAtUnload(Instrument& instrument);
