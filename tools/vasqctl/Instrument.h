// Finding and connecting the instrument, and noticing its loss.
#pragma once

namespace vasqctl {

// The library's current unit, read once after connecting.
extern int g_unit;

// Connects to the instrument (--port, --timeout), showing the search's progress
// on a terminal; kExitSuccess, or the exit code after saying why not.
int Connect();

// Whether the instrument is gone: the library forgets the serial number once
// it notices the loss. Talks to nobody, so it is cheap enough to ask often.
bool InstrumentLost();

// Says that the instrument was lost while `what` ran; the exit code for it.
int Lost(const char* what);

}  // namespace vasqctl
