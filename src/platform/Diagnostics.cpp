#include "platform/Diagnostics.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <shared_mutex>

#include "platform/InitOrder.h"

std::atomic<int> g_logLevel{0};

namespace {

// The longest label: a port's name, a space and a serial number.
constexpr size_t kLabelSize = 96;

struct ThreadRecord {
    int reasonCode = kErrorNone;
    char reason[kReasonSize] = {};
    char reasonLabel[kLabelSize] = {};
    int lastCode = kErrorNone;
    char last[kReasonSize] = {};
};
thread_local ThreadRecord t_record;
thread_local bool t_inSink = false;
thread_local const LogSubject* t_subject = nullptr;
std::atomic<const LogSubject*> s_defaultSubject{nullptr};

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

void Copy(char* out, size_t size, const char* text)
{
    const size_t length = strnlen(text, size - 1);
    memcpy(out, text, length);
    out[length] = '\0';
}

void HandToSink(int level, const char* label, const char* format, va_list arguments)
{
    char line[kReasonSize * 2];
    size_t at = 0;
    if (label[0] != '\0')
        at = static_cast<size_t>(snprintf(line, sizeof(line), "%s: ", label));
    if (at >= sizeof(line) || vsnprintf(line + at, sizeof(line) - at, format, arguments) < 0)
        return;
    std::shared_lock<std::shared_mutex> lock(s_sink.mutex);
    if (s_sink.sink != nullptr && LogWanted(level)) {
        t_inSink = true;
        s_sink.sink(level, line, s_sink.context);
        t_inSink = false;
    }
}

}  // namespace

void LogSubject::SetPort(const char* port)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Copy(m_port, sizeof(m_port), port);
}

void LogSubject::SetSerialNumber(const char* serial)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Copy(m_serial, sizeof(m_serial), serial);
}

void LogSubject::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_port[0] = '\0';
    m_serial[0] = '\0';
}

void LogSubject::Label(char* out, size_t size) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    snprintf(out, size, "%s%s%s", m_port, m_port[0] != '\0' && m_serial[0] != '\0' ? " " : "", m_serial);
}

const LogSubject* SetThreadLogSubject(const LogSubject* subject)
{
    const LogSubject* previous = t_subject;
    t_subject = subject;
    return previous;
}

void SetDefaultLogSubject(const LogSubject* subject)
{
    s_defaultSubject.store(subject);
}

void CurrentLogLabel(char* out, size_t size)
{
    const LogSubject* subject = t_subject != nullptr ? t_subject : s_defaultSubject.load();
    if (subject != nullptr)
        subject->Label(out, size);
    else if (size > 0)
        out[0] = '\0';
}

void SetReason(int code, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Format(t_record.reason, format, arguments);
    va_end(arguments);
    t_record.reasonCode = code;
    CurrentLogLabel(t_record.reasonLabel, sizeof(t_record.reasonLabel));
}

int ReasonCode()
{
    return t_record.reasonCode;
}

const char* ReasonText()
{
    return t_record.reason;
}

const char* ReasonLabel()
{
    return t_record.reasonLabel;
}

void ClearReason()
{
    t_record.reasonCode = kErrorNone;
    t_record.reason[0] = '\0';
    t_record.reasonLabel[0] = '\0';
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
    char label[kLabelSize];
    CurrentLogLabel(label, sizeof(label));
    va_list arguments;
    va_start(arguments, format);
    HandToSink(level, label, format, arguments);
    va_end(arguments);
}

void LogLineAbout(int level, const char* label, const char* format, ...)
{
    if (!LogWanted(level) || t_inSink)
        return;
    va_list arguments;
    va_start(arguments, format);
    HandToSink(level, label, format, arguments);
    va_end(arguments);
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
