// Failure reasons and the log, as the application sees them.
#include "api/ApiCall.h"
#include "device/Transport.h"
#include "vasq.h"

static_assert(static_cast<int>(VASQ_ERROR_SYSTEM) == static_cast<int>(kErrorSystem) &&
                  static_cast<int>(VASQ_ERROR_NOT_CONNECTED) == static_cast<int>(kErrorNotConnected),
              "the public codes are the library's own");
static_assert(static_cast<int>(VASQ_LOG_DEBUG) == static_cast<int>(kLogDebug), "the public levels are the library's own");

thread_local int ApiCall::t_depth = 0;

void ApiCall::Failed()
{
    if (ReasonCode() == kErrorNone) {
        if (m_instrument != nullptr && !DeviceIsConnected(*m_instrument))
            SetReason(kErrorNotConnected, "%s: no Vasq9 is connected", m_name);
        else
            SetReason(kErrorSystem, "%s failed", m_name);
    }
    // The text starts with the instrument the failure was about, as it was when it failed.
    const char* label = ReasonLabel();
    if (label[0] == '\0') {
        SetLastError(ReasonCode(), ReasonText());
    } else {
        char text[kReasonSize];
        snprintf(text, sizeof(text), "%s: %s", label, ReasonText());
        SetLastError(ReasonCode(), text);
    }
    LogLineAbout(kLogError, label, "%s: %s", m_name, ReasonText());
}

int VasqGetLastError()
{
    return LastErrorCode();
}

const char* VasqGetLastErrorText()
{
    return LastErrorText();
}

void VasqSetLogCallback(VasqLogCallback callback, int maxLevel, void* context)
{
    if (SetLogSink(callback, maxLevel, context))
        SetLastError(kErrorNone, "");
    else
        SetLastError(kErrorBusy, "VasqSetLogCallback: not from inside the log callback");
}
