#pragma once

// Why a call failed, per thread, and the optional process-wide log. Every
// layer records the reason of a failure where it happens; the exported
// function that was called turns it into the thread's last error.
#include <stddef.h>
#include <stdint.h>

#include <atomic>

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

// Records why the work in progress on this thread failed; a later reason
// replaces an earlier one.
void SetReason(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The reason recorded since the last ClearReason, kErrorNone if none.
int ReasonCode();
const char* ReasonText();
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
// Formats and hands one line to the sink, if it wants the level. Callers
// that must build the line first check LogWanted, so silence costs one load.
void LogLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Replaces the sink; once it has returned, the old sink is not called any more.
// False, changing nothing, when called from inside the sink.
bool SetLogSink(LogSink sink, int maxLevel, void* context);
// Whether the calling thread is inside the sink: the library's functions then
// refuse to work, since the line may come from under any of the library's locks.
bool InLogSink();

// The bytes as hex, "53 49 00 ..." (at most maxBytes of them, then "...").
void HexBytes(const uint8_t* bytes, size_t count, char* out, size_t outSize, size_t maxBytes = 64);
