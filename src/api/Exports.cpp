// The exported wrappers: each takes the API lock around its device work.
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/Identity.h"
#include "protocol/Units.h"
#include "vasq.h"

int VasqGetDeviceInformation(MODEL_INFORMATION* info)
{
    if (info == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return GetDeviceInformation(info) ? 1 : 0;
}

int VasqGetHWInformation(HW_INFORMATION* info)
{
    if (info == nullptr)
        return 0;
    CAutoCriticalSection lock(g_APICriticalSection);
    return GetHWInformation(info) ? 1 : 0;
}

const char* VasqGetSerialNumber()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return FormatSerialNumber();
}

int VasqStopTest()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    EnableDeviceDebugMode(false, false, g_nPressureUnit.load(), false);
    EnableDeviceStartTest(false);
    return 1;
}
