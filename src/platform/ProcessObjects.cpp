#include "platform/ProcessObjects.h"

CSimpleCriticalSection g_APICriticalSection;
CAutoResetEvent g_hConnectedEvent(false);
CAutoResetEvent g_hReconnectEvent(false);
CAutoResetEvent g_hSigUsr1Event(false);
CAutoResetEvent g_hSigUsr2Event(false);
CManualResetEvent g_hStopTestEvent(false);
CAutoResetEvent g_hStableEvent(false);
CManualResetEvent g_hSamplingEvent(false);
CManualResetEvent g_hSamplingPauseEvent(false);
CInstance g_Instance;
