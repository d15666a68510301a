#pragma once

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Platform.h"

// Process-wide objects, constructed at load in one translation unit (so their
// order is fixed) and destroyed at unload.
extern CAutoResetEvent g_hSigUsr1Event;
extern CAutoResetEvent g_hSigUsr2Event;
extern CInstance g_Instance;
