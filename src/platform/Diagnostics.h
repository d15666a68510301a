#pragma once

// Why a call failed, per thread, and the optional process-wide log. Every
// layer records the reason of a failure where it happens; the exported
// function that was called turns it into the thread's last error.
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

#include "platform/Export.h"

// The codes of the public interface, in its order.
enum ErrorCode : int {
    kErrorNone = 0,
    kErrorNotConnected = 1,
    kErrorNotFound = 2,
    kErrorPortBusy = 3,
    kErrorAccess = 4,
    kErrorTimeout = 5,
    kErrorProtocol = 6,
    kErrorRefused = 7,
    kErrorInvalidArgument = 8,
    kErrorBusy = 9,
    kErrorDeviceLost = 10,
    kErrorFile = 11,
    kErrorSystem = 12,
};

// One line for people, at most this long with its terminating zero.
constexpr size_t kReasonSize = 256;

// The instrument that lines and reasons are about: its port and, once known,
// its serial number. Each device keeps one; a thread working for a device
// names it (SetThreadLogSubject), so that with several instruments open every
// line can be traced to one of them.
class LogSubject {
public:
    // The port's name without its folder ("ttyACM3", "COM3").
    void SetPort(const char* port);
    void SetSerialNumber(const char* serial);
    void Clear();
    // "ttyACM3 NQX7001-070042", the part that is known, or "" when nothing is.
    void Label(char* out, size_t size) const;

private:
    mutable std::mutex m_mutex;
    char m_port[64] = {};
    char m_serial[32] = {};
};

// The calling thread's subject from now on (null: none); returns the previous one.
const LogSubject* SetThreadLogSubject(const LogSubject* subject);
// Names the subject of the calling thread's lines for the scope's lifetime.
class LogScope {
public:
    explicit LogScope(const LogSubject& subject) : m_previous(SetThreadLogSubject(&subject)) {}
    ~LogScope() { SetThreadLogSubject(m_previous); }
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;

private:
    const LogSubject* m_previous;
};
// The subject of a thread that has none of its own.
void SetDefaultLogSubject(const LogSubject* subject);
// The label of the calling thread's subject, "" if none.
void CurrentLogLabel(char* out, size_t size);

// Records why the work in progress on this thread failed; a later reason
// replaces an earlier one. The reason is about the thread's subject as it is now.
void SetReason(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The reason recorded since the last ClearReason, kErrorNone if none; the
// text without the label of its subject, which ReasonLabel gives.
int ReasonCode();
const char* ReasonText();
const char* ReasonLabel();
void ClearReason();

// The last error as the application reads it: set when an exported function returns.
void SetLastError(int code, const char* text);
int LastErrorCode();
const char* LastErrorText();

enum LogLevel : int { kLogError = 1, kLogWarning = 2, kLogInfo = 3, kLogDebug = 4 };
using LogSink = void (*)(int level, const char* message, void* context);

// The most detailed level anyone listens to; 0 while nobody does.
extern std::atomic<int> g_logLevel;
inline bool LogWanted(int level)
{
    return level <= g_logLevel.load(std::memory_order_relaxed);
}
// Formats and hands one line to the sink, if it wants the level, after the
// label of the thread's subject. Callers that must build the line first check
// LogWanted, so silence costs one load.
void LogLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same about the subject whose label is given ("" for none).
void LogLineAbout(int level, const char* label, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Replaces the sink; once it has returned, the old sink is not called any more.
// False, changing nothing, when called from inside the sink.
bool SetLogSink(LogSink sink, int maxLevel, void* context);
// Whether the calling thread is inside the sink: the library's functions then
// refuse to work, since the line may come from under any of the library's locks.
bool InLogSink();

// The bytes as hex, "53 49 00 ..." (at most maxBytes of them, then "...").
void HexBytes(const uint8_t* bytes, size_t count, char* out, size_t outSize, size_t maxBytes = 64);
