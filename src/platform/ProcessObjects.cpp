#include "platform/ProcessObjects.h"

#include "platform/InitOrder.h"

CSimpleCriticalSection VASQ_INIT_PLATFORM g_APICriticalSection;
CAutoResetEvent VASQ_INIT_PLATFORM g_hConnectedEvent(false);
CAutoResetEvent VASQ_INIT_PLATFORM g_hReconnectEvent(false);
CManualResetEvent VASQ_INIT_PLATFORM g_hStopTestEvent(false);
CAutoResetEvent VASQ_INIT_PLATFORM g_hStableEvent(false);
CManualResetEvent VASQ_INIT_PLATFORM g_hSamplingEvent(false);
CManualResetEvent VASQ_INIT_PLATFORM g_hSamplingPauseEvent(false);
CInstance VASQ_INIT_PLATFORM g_Instance;
