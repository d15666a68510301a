#pragma once

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Platform.h"

// Process-wide objects, constructed at load in one translation unit (so their
// order is fixed) and destroyed at unload.
extern CSimpleCriticalSection g_APICriticalSection;
extern CAutoResetEvent g_hConnectedEvent;
extern CAutoResetEvent g_hReconnectEvent;
extern CAutoResetEvent g_hSigUsr1Event;
extern CAutoResetEvent g_hSigUsr2Event;
extern CManualResetEvent g_hStopTestEvent;
extern CAutoResetEvent g_hStableEvent;
extern CManualResetEvent g_hSamplingEvent;
extern CManualResetEvent g_hSamplingPauseEvent;
extern CInstance g_Instance;
