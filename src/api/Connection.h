#pragma once

#include <stdint.h>

#include <atomic>

#include "api/Instrument.h"
#include "vasq.h"


// Starts the connection thread unless one runs; releases receives the count
// of releases so far, under the same lock.
bool DoInit(const ConnectionTarget& callback, uint64_t* releases = nullptr);
void* ConnectDeviceThread(void* unused);
void NotifyListener(bool connected);
void ConnectedHandler(bool connected);
void ReconnectDevice();
// Ends the connection thread and closes the port, telling the device nothing.
void ReleaseConnectionAtUnload();
// Whether a connection thread exists (it may be searching or connected).
bool ConnectionThreadRunning();
