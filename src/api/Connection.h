#pragma once

#include <stdint.h>

#include <atomic>

#include "vasq.h"

extern unsigned long g_hConnectDeviceThread;
extern std::atomic<int> g_bStopConnectDeviceThread;
extern std::atomic<ConnectedCallback> g_ConnectedCallback;
extern std::atomic<int> g_bConnected;
extern std::atomic<int> g_nPortNumber;

// Starts the connection thread unless one runs; releases receives the count
// of releases so far, under the same lock.
bool DoInit(ConnectedCallback callback, uint64_t* releases = nullptr);
void* ConnectDeviceThread(void* unused);
void NotifyListener(bool connected);
void ConnectedHandler(bool connected);
void ReconnectDevice();
// Whether a connection thread exists (it may be searching or connected).
bool ConnectionThreadRunning();
