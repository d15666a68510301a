#include "platform/ProcessObjects.h"

#include "platform/InitOrder.h"

CInstance VASQ_INIT_PLATFORM g_Instance;
