#pragma once

#include <stdint.h>

#include <atomic>

#include "api/Instrument.h"
#include "vasq.h"


// Starts the connection thread unless one runs; releases receives the count
// of releases so far, under the same lock.
bool DoInit(Instrument& instrument, const ConnectionTarget& callback, uint64_t* releases = nullptr);
void* ConnectDeviceThread(void* run);
void NotifyListener(Instrument& instrument, bool connected);
// The connect's own callback: wakes the instrument's connect.
void ConnectedHandler(bool connected, void* instrument);
void ReconnectDevice(Instrument& instrument);
// What this layer hands down to the transport and the watch: the identity
// check of a port, and the wake-up of the instrument's connection thread.
class Device;
bool ProbeInstrument(Device& device);
void OnInstrumentLost(Device& device);
// Ends the connection thread and closes the port, telling the device nothing.
void ReleaseConnectionAtUnload(Instrument& instrument);
// Whether a connection thread exists (it may be searching or connected).
bool ConnectionThreadRunning(Instrument& instrument);
