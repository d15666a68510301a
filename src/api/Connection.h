#pragma once

#include <atomic>

#include "vasq.h"

extern unsigned long g_hConnectDeviceThread;
extern std::atomic<int> g_bStopConnectDeviceThread;
extern std::atomic<ConnectedCallback> g_ConnectedCallback;
extern std::atomic<int> g_bConnected;
extern std::atomic<int> g_nPortNumber;

bool DoInit(ConnectedCallback callback);
void* ConnectDeviceThread(void* unused);
void NotifyListener(bool connected);
void ConnectedHandler(bool connected);
void ReconnectDevice();
// Whether a connection thread exists (it may be searching or connected).
bool ConnectionThreadRunning();
