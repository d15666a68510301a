#include "Cli.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace vasqctl {

int g_port = -1;
std::string g_serial;
std::string g_deviceFolder;
double g_timeoutSeconds = 5.0;
int g_verbosity = 0;
bool g_json = false;
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<bool> g_outputClosed{false};
bool g_deviceLost = false;

bool Ended()
{
    return g_signal != 0 || g_outputClosed;
}

namespace {

std::string VPrintf(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, format, args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

}  // namespace

std::string Printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = VPrintf(format, args);
    va_end(args);
    return text;
}

void Error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = "vasqctl: " + VPrintf(format, args) + "\n";
    va_end(args);
    fputs(text.c_str(), stderr);
}

void Explain(const char* what, int code, const std::string& reason)
{
    Error("%s: %s", what, reason.empty() ? "failed, for no reason the library gives" : reason.c_str());
    switch (code) {
    case VASQ_ERROR_ACCESS:
        Error("hint: the user needs the port's group (vasq, from the udev rule) and a writable lock folder; "
              "see \"Running without root\" in the README");
        break;
    case VASQ_ERROR_PORT_BUSY: {
        const size_t at = reason.find("held by process ");
        if (at != std::string::npos) {
            const long pid = strtol(reason.c_str() + at + 16, nullptr, 10);
            Error("hint: process %ld has the instrument; end that program or let it release the port "
                  "(ps -p %ld shows which it is)",
                  pid, pid);
        } else {
            Error("hint: another program has the instrument; end it or let it release the port");
        }
        break;
    }
    case VASQ_ERROR_NOT_FOUND:
        if (g_port < 0)
            Error("hint: is the instrument plugged in and switched on? (--port N tries /dev/ttyACM<N>)");
        break;
    default:
        break;
    }
}

void Failure(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string what = VPrintf(format, args);
    va_end(args);
    const int code = VasqGetLastError();
    if (code == VASQ_ERROR_DEVICE_LOST)
        g_deviceLost = true;
    Explain(what.c_str(), code, VasqGetLastErrorText());
}

// Runs on any of the library's threads, perhaps under its lock: one write, nothing else.
void LogToStderr(int level, const char* message, void*)
{
    static const char* const kLevels[] = {"?", "error", "warning", "info", "debug"};
    const int savedErrno = errno;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    const std::string line = Printf("%02d:%02d:%02d.%03ld %s: %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                                    now.tv_nsec / 1000000L, kLevels[level >= 1 && level <= 4 ? level : 0], message);
    const char* at = line.data();
    for (size_t left = line.size(); left > 0;) {
        const ssize_t written = write(STDERR_FILENO, at, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        at += written;
        left -= static_cast<size_t>(written);
    }
    errno = savedErrno;
}

bool FlushOutput()
{
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        g_outputClosed = true;
        return false;
    }
    return true;
}

// A pipe's write end polls as an error once its reader has gone, a hung-up terminal as a hang-up.
bool OutputGone()
{
    pollfd out{STDOUT_FILENO, 0, 0};
    if (poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0)
        g_outputClosed = true;
    return g_outputClosed;
}

bool ParseDouble(const std::string& text, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value))
        return false;
    out = value;
    return true;
}

bool ParseInt(const std::string& text, long low, long high, int& out)
{
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

bool TakeFlag(std::vector<std::string>& args, const char* name)
{
    auto found = std::find(args.begin(), args.end(), name);
    if (found == args.end())
        return false;
    args.erase(found);
    return true;
}

bool TakeOption(std::vector<std::string>& args, const char* name, std::string& value, bool& given)
{
    auto found = std::find(args.begin(), args.end(), name);
    if (found == args.end())
        return true;
    if (found + 1 == args.end()) {
        Error("%s needs a value", name);
        return false;
    }
    value = *(found + 1);
    given = true;
    args.erase(found, found + 2);
    return true;
}

bool TakeNumber(std::vector<std::string>& args, const char* name, double& value)
{
    std::string text;
    bool given = false;
    if (!TakeOption(args, name, text, given))
        return false;
    if (given && !ParseDouble(text, value)) {
        Error("%s: not a number: '%s'", name, text.c_str());
        return false;
    }
    return true;
}

bool TakeInteger(std::vector<std::string>& args, const char* name, long low, long high, int& value)
{
    std::string text;
    bool given = false;
    if (!TakeOption(args, name, text, given))
        return false;
    if (given && !ParseInt(text, low, high, value)) {
        Error("%s takes a whole number from %ld to %ld, not '%s'", name, low, high, text.c_str());
        return false;
    }
    return true;
}

void TakeJson(std::vector<std::string>& args)
{
    g_json = TakeFlag(args, "--json");
}

bool NoneLeft(const std::vector<std::string>& args)
{
    if (args.empty())
        return true;
    Error("unexpected argument '%s' (see --help)", args.front().c_str());
    return false;
}

const char* UnitName(int unit)
{
    return unit == 1 ? "kPa" : "mmHg";
}

bool ParseUnit(const std::string& text, int& unit)
{
    if (strcasecmp(text.c_str(), "mmHg") == 0)
        unit = 0;
    else if (strcasecmp(text.c_str(), "kPa") == 0)
        unit = 1;
    else
        return false;
    return true;
}

const char* StatusName(VasqStatus status)
{
    switch (status) {
    case STATUS_WAIT_STABLE:
        return "WAIT_STABLE";
    case STATUS_RUNNING:
        return "RUNNING";
    case STATUS_HOLDING:
        return "HOLDING";
    case STATUS_COMPLETED:
        return "COMPLETED";
    default:
        return "NONE";
    }
}

}  // namespace vasqctl
