#include "device/SearchOutcome.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "platform/Diagnostics.h"
#include "platform/InitOrder.h"

namespace {

struct Outcome {
    std::mutex mutex;
    int code = kErrorNotFound;
    char text[kReasonSize] = "no search has run";
    char logged[kReasonSize] = {};
};
Outcome s_outcome VASQ_INIT_DEVICE;

// Plain bytes: a thread-local object with a destructor would keep the
// library from being unloaded.
struct AttemptFates {
    int code = kErrorNone;
    char text[kReasonSize] = {};
};
thread_local AttemptFates t_fates;

int Telling(int code)
{
    switch (code) {
    case kErrorAccess:
        return 4;
    case kErrorPortBusy:
        return 3;
    case kErrorNotFound:
        return 1;
    default:
        return 2;
    }
}

}  // namespace

void BeginSearchAttempt()
{
    t_fates = AttemptFates();
}

void NoteSearchFate(const std::string& port, int code, const char* format, ...)
{
    char fate[kReasonSize];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(fate, sizeof(fate), format, arguments);
    va_end(arguments);
    if (t_fates.code == kErrorNone || Telling(code) > Telling(t_fates.code))
        t_fates.code = code;
    const size_t used = strlen(t_fates.text);
    const std::string added = (used == 0 ? "" : "; ") + port + ": " + fate;
    snprintf(t_fates.text + used, sizeof(t_fates.text) - used, "%s", added.c_str());
    LogLine(kLogInfo, "search: %s: %s", port.c_str(), fate);
}

void EndSearchAttempt(bool found, const char* noneFound)
{
    char line[kReasonSize] = {};
    {
        std::lock_guard<std::mutex> lock(s_outcome.mutex);
        if (found) {
            s_outcome.code = kErrorNone;
            s_outcome.text[0] = '\0';
            s_outcome.logged[0] = '\0';
            return;
        }
        s_outcome.code = t_fates.code == kErrorNone ? kErrorNotFound : t_fates.code;
        snprintf(s_outcome.text, sizeof(s_outcome.text), "%s", t_fates.text[0] != '\0' ? t_fates.text : noneFound);
        // A search repeats every second: the same outcome is told once.
        if (strcmp(s_outcome.text, s_outcome.logged) != 0) {
            memcpy(s_outcome.logged, s_outcome.text, sizeof(s_outcome.logged));
            memcpy(line, s_outcome.text, sizeof(line));
        }
    }
    if (line[0] != '\0')
        LogLine(kLogInfo, "search: %s", line);
}

void LastSearchOutcome(int* code, char* text, size_t size)
{
    std::lock_guard<std::mutex> lock(s_outcome.mutex);
    *code = s_outcome.code;
    snprintf(text, size, "%s", s_outcome.text);
}
