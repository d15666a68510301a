#include "platform/Diagnostics.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <shared_mutex>

#include "platform/InitOrder.h"

std::atomic<int> g_logLevel{0};

namespace {

struct ThreadRecord {
    int reasonCode = kErrorNone;
    char reason[kReasonSize] = {};
    int lastCode = kErrorNone;
    char last[kReasonSize] = {};
};
thread_local ThreadRecord t_record;
thread_local bool t_inSink = false;

// Held shared while a line is handed to the sink and exclusively while the
// sink changes, so that a sink that was replaced is never called afterwards.
struct Sink {
    std::shared_mutex mutex;
    LogSink sink = nullptr;
    void* context = nullptr;
};
Sink s_sink VASQ_INIT_PLATFORM_CORE;

void Format(char* out, const char* format, va_list arguments)
{
    const int written = vsnprintf(out, kReasonSize, format, arguments);
    if (written < 0)
        out[0] = '\0';
    // One line: a newline inside a reason (a system's text) becomes a space.
    for (char* c = out; *c != '\0'; ++c) {
        if (*c == '\n' || *c == '\r')
            *c = ' ';
    }
}

}  // namespace

void SetReason(int code, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Format(t_record.reason, format, arguments);
    va_end(arguments);
    t_record.reasonCode = code;
}

int ReasonCode()
{
    return t_record.reasonCode;
}

const char* ReasonText()
{
    return t_record.reason;
}

void ClearReason()
{
    t_record.reasonCode = kErrorNone;
    t_record.reason[0] = '\0';
}

void SetLastError(int code, const char* text)
{
    t_record.lastCode = code;
    if (code == kErrorNone || text == nullptr)
        t_record.last[0] = '\0';
    else if (text != t_record.last)
        snprintf(t_record.last, sizeof(t_record.last), "%s", text);
}

int LastErrorCode()
{
    return t_record.lastCode;
}

const char* LastErrorText()
{
    return t_record.last;
}

void LogLine(int level, const char* format, ...)
{
    // A line that the sink's own doings would log is dropped, not nested.
    if (!LogWanted(level) || t_inSink)
        return;
    char line[kReasonSize * 2];
    va_list arguments;
    va_start(arguments, format);
    const int written = vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    if (written < 0)
        return;
    std::shared_lock<std::shared_mutex> lock(s_sink.mutex);
    if (s_sink.sink != nullptr && LogWanted(level)) {
        t_inSink = true;
        s_sink.sink(level, line, s_sink.context);
        t_inSink = false;
    }
}

bool InLogSink()
{
    return t_inSink;
}

bool SetLogSink(LogSink sink, int maxLevel, void* context)
{
    // The sink runs under the shared hold that the change waits out.
    if (t_inSink)
        return false;
    std::unique_lock<std::shared_mutex> lock(s_sink.mutex);
    s_sink.sink = sink;
    s_sink.context = context;
    const int level = sink == nullptr ? 0 : maxLevel < 0 ? 0 : maxLevel > kLogDebug ? kLogDebug : maxLevel;
    g_logLevel.store(level);
    return true;
}

void HexBytes(const uint8_t* bytes, size_t count, char* out, size_t outSize, size_t maxBytes)
{
    if (outSize == 0)
        return;
    out[0] = '\0';
    size_t at = 0;
    for (size_t i = 0; i < count && i < maxBytes && at + 4 < outSize; ++i)
        at += static_cast<size_t>(snprintf(out + at, outSize - at, i == 0 ? "%02X" : " %02X", bytes[i]));
    if (count > maxBytes && at + 5 < outSize)
        snprintf(out + at, outSize - at, " ...");
}
