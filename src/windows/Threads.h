// What the Windows back end's own pieces need of its threads.
#pragma once

#include <stdint.h>

// Waits until a thread started by CreateThread has entered the library's code
// (or has ended); false when the time ran out first.
bool WaitThreadEntered(unsigned long handle, uint32_t milliseconds);
