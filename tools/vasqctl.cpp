// vasqctl: drives a Vasq9 from the shell through libvasq.
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "json/Json.h"
#include "vasq.h"
#include "vasq_service.h"

// Not part of the public interface: points the library at another node and
// lock-file folder, so that the tool can drive a simulated device anywhere.
void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

using Clock = std::chrono::steady_clock;

// The signal that asks vasqctl to end, set from the handler; lock-free, so safe there.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
// Standard output could not be written (its reader has gone): nobody follows any more.
std::atomic<bool> g_outputClosed{false};

bool Ended()
{
    return g_signal != 0 || g_outputClosed;
}

// Distinct so that scripts can tell what happened.
enum ExitCode {
    kExitSuccess = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitNotFound = 3,
    kExitLost = 4,
    kExitInterrupted = 130,
};

const char kMainHelp[] =
    "usage: vasqctl [-v|-vv] [--port N] [--timeout SECONDS] COMMAND [OPTIONS]\n"
    "       vasqctl --help | --version\n"
    "\n"
    "Drives a Vasq9 blood-pressure simulator on /dev/ttyACM<N>.\n"
    "\n"
    "  --port N            the instrument's port number (default: the first Vasq9 found)\n"
    "  --timeout SECONDS   how long to look for the instrument (default 5, at most 3600)\n"
    "  -h, --help          this text; 'vasqctl COMMAND --help' explains a command\n"
    "  --version           vasqctl's and the library's versions\n"
    "  -v, -vv             log to standard error: -v the search, the connection and the tests,\n"
    "                      -vv also every frame sent (->) and received (<-)\n"
    "\n"
    "Commands:\n"
    "  info                serial number, model and versions\n"
    "  sample              live cuff pressure (--csv for a table)\n"
    "  static              build up and hold a static pressure\n"
    "  bp                  BP simulation, default or customised envelope\n"
    "  leak                leakage test\n"
    "  overpressure        overpressure test\n"
    "  stop                stop whatever test the instrument runs\n"
    "  unit                show or set the pressure unit\n"
    "  airport             enable or disable the air ports\n"
    "  envelope            write an envelope table as CSV or SVG (no instrument needed)\n"
    "\n"
    "A command that starts a test leaves it running on the instrument when vasqctl ends,\n"
    "unless --wait is given: then vasqctl follows the test's reports to its end and stops\n"
    "it, also when vasqctl is interrupted or the instrument is lost.\n"
    "'vasqctl COMMAND --help' explains each command.\n"
    "\n"
    "Exit codes:\n"
    "  0    success\n"
    "  1    failure (the instrument refused or did not answer, a file cannot be read)\n"
    "  2    wrong usage\n"
    "  3    no instrument found\n"
    "  4    the instrument was lost while vasqctl used it\n"
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT, or standard output closed)\n";

struct Command {
    const char* name;
    const char* help;
    int (*run)(std::vector<std::string>& args);
    // The command's long options, space separated; "name:" takes a value.
    const char* options;
};

// Global options.
int g_port = -1;
double g_timeoutSeconds = 5.0;
int g_verbosity = 0;

// ---- small helpers ------------------------------------------------------

void Error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("vasqctl: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

// What vasqctl tried and why the library says it failed, with a hint where the
// reason alone does not tell what to do.
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

// A call failed because the port hung up: the command ends with the device-lost code.
bool g_deviceLost = false;

// After a library call on this thread failed.
void Failure(const char* format, ...)
{
    char what[256];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof(what), format, args);
    va_end(args);
    const int code = VasqGetLastError();
    if (code == VASQ_ERROR_DEVICE_LOST)
        g_deviceLost = true;
    Explain(what, code, VasqGetLastErrorText());
}

// The library's log on standard error, one time-stamped line per event. Runs on
// any of the library's threads, perhaps under its lock: one write, nothing else.
void LogToStderr(int level, const char* message, void*)
{
    static const char* const kLevels[] = {"?", "error", "warning", "info", "debug"};
    const int savedErrno = errno;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char line[1024];
    int length = snprintf(line, sizeof(line), "%02d:%02d:%02d.%03ld %s: %s\n", local.tm_hour, local.tm_min,
                          local.tm_sec, now.tv_nsec / 1000000L, kLevels[level >= 1 && level <= 4 ? level : 0],
                          message);
    if (length >= static_cast<int>(sizeof(line))) {
        length = sizeof(line) - 1;
        line[length - 1] = '\n';
    }
    for (const char* at = line; length > 0;) {
        const ssize_t written = write(STDERR_FILENO, at, static_cast<size_t>(length));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        at += written;
        length -= static_cast<int>(written);
    }
    errno = savedErrno;
}

// Writes out what printf gathered; a failure ends the command as a signal would.
bool FlushOutput()
{
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        g_outputClosed = true;
        return false;
    }
    return true;
}

// A reader that has gone while vasqctl had nothing to write: a pipe's write end
// then polls as an error, a hung-up terminal as a hang-up.
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

// Takes "--name" (a flag) out of args.
bool TakeFlag(std::vector<std::string>& args, const char* name)
{
    auto found = std::find(args.begin(), args.end(), name);
    if (found == args.end())
        return false;
    args.erase(found);
    return true;
}

// Takes "--name VALUE" out of args; false with a message when the value is missing.
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

// ---- the instrument -------------------------------------------------------

// The library's current unit, read once after connecting.
int g_unit = 0;

// A signal does not end the library's wait for a device, so the search runs
// on a thread of its own while main looks at Ctrl-C this often.
constexpr auto kInterruptPoll = std::chrono::milliseconds(50);

// Why the search failed, read on the thread that searched: the library keeps
// one reason per thread.
struct SearchOutcome {
    bool found = false;
    int code = VASQ_ERROR_NONE;
    std::string reason;
};

// Connected once a Vasq9 is connected within timeoutMs; not at the timeout or
// on Ctrl-C, with nothing left searching.
SearchOutcome FindInstrument(uint32_t timeoutMs)
{
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    SearchOutcome outcome;
    // One wait for the whole timeout: a device slow to be identified still connects.
    std::thread search([&] {
        SearchOutcome result;
        result.found = VasqConnect(g_port, timeoutMs);
        result.code = VasqGetLastError();
        result.reason = VasqGetLastErrorText();
        {
            std::lock_guard<std::mutex> lock(mutex);
            outcome = result;
            done = true;
        }
        ended.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!ended.wait_for(lock, kInterruptPoll, [&] { return done; })) {
            if (!Ended())
                continue;
            // VasqFree ends the wait; repeated, as a first one may come before the search has begun.
            lock.unlock();
            VasqFree();
            lock.lock();
        }
    }
    search.join();
    return outcome;
}

int Connect()
{
    const double ms = std::min(std::max(g_timeoutSeconds, 0.0) * 1000.0, 3600000.0);
    const SearchOutcome outcome = FindInstrument(static_cast<uint32_t>(ms));
    if (Ended()) {
        Error("interrupted while looking for the instrument");
        VasqFree();
        return kExitInterrupted;
    }
    if (!outcome.found) {
        Explain("looking for the instrument", outcome.code, outcome.reason);
        VasqFree();
        return kExitNotFound;
    }
    // 0 is both mmHg and the failure value: only the last error tells them apart.
    g_unit = VasqGetPressureUnit() == 1 ? 1 : 0;
    if (VasqGetLastError() != VASQ_ERROR_NONE) {
        Failure("reading the instrument's unit");
        VasqFree();
        return 1;
    }
    return 0;
}

// Reports of a running test, gathered from the worker thread for main to print.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    VasqStatus last = STATUS_NONE;
    bool completed = false;
};
Reports g_reports;

void Report(VasqStatus status, const std::string& line)
{
    {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        g_reports.lines.push_back(line);
        g_reports.last = status;
        if (status == STATUS_COMPLETED)
            g_reports.completed = true;
    }
    g_reports.changed.notify_all();
}

std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void OnStatic(VasqStatus status, double wait, int result)
{
    Report(status, Format("%-11s wait-stable %.1f s  test result %d", StatusName(status), wait, result));
}

void OnBP(VasqStatus status, double r1, double r2, double r3, double r4)
{
    Report(status, status == STATUS_COMPLETED
                       ? Format("%-11s systolic %.1f %s  results 2-4: %.1f %.1f %.1f", StatusName(status), r1,
                                UnitName(g_unit), r2, r3, r4)
                       : Format("%-11s", StatusName(status)));
}

void OnLeak(VasqStatus status, double wait, double leak, int code)
{
    Report(status, Format("%-11s wait-stable %.1f s  leak %.2f %s  result code %d", StatusName(status), wait, leak,
                          UnitName(g_unit), code));
}

void OnOverpressure(VasqStatus status, double wait, double r1, double r2, double r3, double r4, double r5, double r6)
{
    Report(status, Format("%-11s wait-stable %.1f s  results: %.1f %s, %.1f %.1f %.1f %.1f %.1f", StatusName(status),
                          wait, r1, UnitName(g_unit), r2, r3, r4, r5, r6));
}

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Whether the instrument is gone: the library forgets the serial number once
// it notices the loss. Talks to nobody, so it is cheap enough to ask often.
bool InstrumentLost()
{
    return VasqGetSerialNumber()[0] == '\0';
}

int Lost(const char* what)
{
    Error("the instrument was lost (unplugged or switched off); %s ended there", what);
    return kExitLost;
}

// After a start: either leaves the test running, or follows it to its end.
int FollowOrLeave(const char* what, bool started, bool wait)
{
    if (!started) {
        Failure("starting the %s", what);
        VasqFree();
        return kExitFailure;
    }
    if (!wait && !Ended()) {
        // Leaving without VasqFree: the library then sends nothing more, so the test carries on.
        printf("%s started on %s; it keeps running (stop it with 'vasqctl stop')\n", what, VasqGetSerialNumber());
        return FlushOutput() ? kExitSuccess : kExitInterrupted;
    }
    // A progress line would hide the log's lines.
    const bool progress = isatty(STDERR_FILENO) != 0 && g_verbosity == 0;
    const auto start = Clock::now();
    bool completed = false;
    bool lost = false;
    while (!Ended() && !completed) {
        std::vector<std::string> lines;
        VasqStatus last;
        {
            std::unique_lock<std::mutex> lock(g_reports.mutex);
            g_reports.changed.wait_for(lock, std::chrono::milliseconds(200),
                                       [] { return !g_reports.lines.empty() || Ended(); });
            lines.swap(g_reports.lines);
            last = g_reports.last;
            completed = g_reports.completed;
        }
        if (progress)
            fputs("\r\033[K", stderr);
        for (const auto& line : lines)
            printf("%7.1f s  %s\n", Since(start), line.c_str());
        if (!FlushOutput() || OutputGone())
            break;
        if (!completed && InstrumentLost()) {
            lost = true;
            break;
        }
        if (progress && !completed)
            fprintf(stderr, "  %s: %s, %.0f s (Ctrl-C stops it)", what, StatusName(last), Since(start));
    }
    if (progress)
        fputs("\r\033[K", stderr);
    // Said before the release, which may wait for the library's search to end.
    const int lostCode = lost ? Lost(what) : kExitSuccess;
    VasqStopTest();
    VasqFree();
    if (lost)
        return lostCode;
    if (g_signal != 0) {
        printf("%s stopped\n", what);
        FlushOutput();
        return kExitInterrupted;
    }
    if (g_outputClosed)
        return kExitInterrupted;
    printf("%s completed and stopped\n", what);
    return FlushOutput() ? kExitSuccess : kExitInterrupted;
}

// ---- commands -----------------------------------------------------------------

int CmdInfo(std::vector<std::string>& args)
{
    if (!NoneLeft(args))
        return 2;
    if (int rc = Connect())
        return rc;
    MODEL_INFORMATION model{};
    HW_INFORMATION hw{};
    BOOTLOADER_INFORMATION boot{};
    if (!VasqGetDeviceInformation(&model) || !VasqGetHWInformation(&hw)) {
        Failure("reading the instrument's identity");
        VasqFree();
        return 1;
    }
    printf("serial number:  %s\n", VasqGetSerialNumber());
    printf("model:          0x%02X, variant %u\n", model.byModelCode, model.byVariantCode);
    printf("firmware:       %d.%d.%d\n", hw.nFWVersion1, hw.nFWVersion2, hw.nFWVersion3);
    printf("hardware:       %d.%d\n", hw.nHWVersion1, hw.nHWVersion2);
    if (VasqGetBootloaderInformation(&boot))
        printf("boot loader:    %d.%d.%d\n", boot.nBootVersion1, boot.nBootVersion2, boot.nBootVersion3);
    printf("unit:           %s\n", UnitName(g_unit));
    printf("library:        %s\n", VasqGetVersion());
    VasqFree();
    return 0;
}

struct Samples {
    std::mutex mutex;
    std::vector<double> values;
};
Samples g_samples;

void OnSample(double pressure)
{
    std::lock_guard<std::mutex> lock(g_samples.mutex);
    g_samples.values.push_back(pressure);
}

constexpr double kMaxSampleSeconds = 1e6;

int CmdSample(std::vector<std::string>& args)
{
    const bool csv = TakeFlag(args, "--csv");
    double seconds = csv ? 2.0 : 0.0;
    if (!TakeNumber(args, "--seconds", seconds) || !NoneLeft(args))
        return kExitUsage;
    // Beyond this the sample count would not fit its type; 0 samples until interrupted.
    if (seconds < 0 || seconds > kMaxSampleSeconds) {
        Error("--seconds takes 0 (until interrupted) to %.0f seconds", kMaxSampleSeconds);
        return kExitUsage;
    }
    if (int rc = Connect())
        return rc;
    if (!VasqStartSampling(OnSample)) {
        Failure("starting the pressure stream");
        VasqFree();
        return 1;
    }
    const double period = 1.0 / VasqGetSampleRate();
    const bool progress = csv && isatty(STDERR_FILENO) != 0 && g_verbosity == 0;
    if (csv)
        printf("time_s,pressure_%s\n", UnitName(g_unit));
    long index = 0;
    const auto start = Clock::now();
    bool lost = false;
    while (!Ended() && (seconds <= 0 || index < std::lround(seconds * VasqGetSampleRate()))) {
        std::vector<double> got;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        {
            std::lock_guard<std::mutex> lock(g_samples.mutex);
            got.swap(g_samples.values);
        }
        for (double value : got) {
            if (seconds > 0 && index >= std::lround(seconds * VasqGetSampleRate()))
                break;
            if (csv)
                printf("%.3f,%.2f\n", index * period, value);
            ++index;
        }
        if (!csv && !got.empty()) {
            const auto [low, high] = std::minmax_element(got.begin(), got.end());
            printf("%8.1f s  %8.2f %s   (%.2f to %.2f over %zu samples)\n", Since(start), got.back(),
                   UnitName(g_unit), *low, *high, got.size());
        }
        if (!FlushOutput() || OutputGone())
            break;
        if (got.empty() && InstrumentLost()) {
            lost = true;
            break;
        }
        if (progress)
            fprintf(stderr, "\r\033[K  sampling: %.1f of %.0f s", index * period, seconds);
    }
    if (progress)
        fputs("\r\033[K", stderr);
    const int lostCode = lost ? Lost("sampling") : kExitSuccess;
    VasqStopSampling();
    VasqFree();
    if (lost)
        return lostCode;
    // Without a length, sampling runs until it is interrupted: that is its normal end.
    return Ended() && seconds > 0 ? kExitInterrupted : kExitSuccess;
}

int CmdStatic(std::vector<std::string>& args)
{
    const bool wait = TakeFlag(args, "--wait");
    int param = -1;
    if (!TakeInteger(args, "--param", INT_MIN, INT_MAX, param))
        return kExitUsage;
    if (args.size() != 1) {
        Error("static needs one pressure (see vasqctl static --help)");
        return 2;
    }
    double pressure = 0;
    if (!ParseDouble(args[0], pressure)) {
        Error("not a pressure: '%s'", args[0].c_str());
        return 2;
    }
    if (int rc = Connect())
        return rc;
    printf("static pressure %.1f %s\n", pressure, UnitName(g_unit));
    return FollowOrLeave("static pressure",
                         VasqRunStaticPressure(pressure, param, wait ? OnStatic : nullptr, false),
                         wait);
}

// Reads a customised envelope description; the same keys serve bp and envelope.
bool ReadEnvelope(const std::string& path, BPEnvelopeCustomized& r, int* unit)
{
    JSONFile file(path);
    JSONNode reader(&file);
    std::unique_ptr<JSONNode> root(reader.ReadValueNode());
    if (!root || root->GetType() != JSON_TYPE_OBJECT) {
        Error("%s: cannot be read as a JSON object", path.c_str());
        return false;
    }
    const auto* object = static_cast<const JSONObject*>(root.get());
    bool ok = true;
    auto number = [&](const char* key, double& field) {
        const JSONNode* node = object->GetValue(key);
        if (node == nullptr)
            return;
        if (node->GetType() != JSON_TYPE_NUMBER) {
            Error("%s: \"%s\" must be a number", path.c_str(), key);
            ok = false;
            return;
        }
        field = JSONNodeToDouble(node, field);
    };
    auto integer = [&](const char* key, int32_t& field, long low, long high) {
        double value = field;
        number(key, value);
        if (value < low || value > high || value != std::floor(value)) {
            Error("%s: \"%s\" must be a whole number from %ld to %ld", path.c_str(), key, low, high);
            ok = false;
            return;
        }
        field = static_cast<int32_t>(value);
    };
    if (const JSONNode* node = object->GetValue("unit")) {
        if (node->GetType() != JSON_TYPE_STRING || !ParseUnit(static_cast<const JSONString*>(node)->GetValue(), *unit)) {
            Error("%s: \"unit\" must be \"mmHg\" or \"kPa\"", path.c_str());
            ok = false;
        }
    }
    int32_t heartRate = static_cast<int32_t>(r.nHeartRate);
    number("systolic", r.dSystolic);
    number("diastolic", r.dDiastolic);
    integer("heart_rate", heartRate, 30, 300);
    r.nHeartRate = static_cast<uint32_t>(heartRate);
    number("pulse_volume", r.dPulseVolume);
    number("systolic_offset", r.dSystolicOffset);
    number("diastolic_offset", r.dDiastolicOffset);
    number("top_pressure", r.dTopPressure);
    number("upper_base_pressure", r.dUpperBasePressure);
    number("upper_peak_pressure", r.dUpperPeakPressure);
    number("lower_peak_pressure", r.dLowerPeakPressure);
    number("lower_base_pressure", r.dLowerBasePressure);
    number("bottom_pressure", r.dBottomPressure);
    integer("systolic_amplitude", r.nSystolicAmplitude, 0, 255);
    integer("lower_peak_amplitude", r.nLowerPeakAmplitude, 0, 255);
    integer("upper_peak_amplitude", r.nUpperPeakAmplitude, 0, 255);
    integer("diastolic_amplitude", r.nDiastolicAmplitude, 0, 255);
    integer("base_amplitude", r.nBaseAmplitude, 0, 255);
    return ok;
}

// A plausible envelope in mmHg; a description overrides any of its fields.
BPEnvelopeCustomized DefaultEnvelope(int unit)
{
    const double s = unit == 1 ? 0.133322 : 1.0;
    BPEnvelopeCustomized r{};
    r.eMethod = BP_METHOD_CUSTOMIZED;
    r.dSystolic = std::round(120 * s * 10) / 10;
    r.dDiastolic = std::round(80 * s * 10) / 10;
    r.nHeartRate = 72;
    r.dPulseVolume = 1.0;
    r.dTopPressure = std::round(300 * s * 10) / 10;
    r.dUpperBasePressure = std::round(200 * s * 10) / 10;
    r.dUpperPeakPressure = std::round(110 * s * 10) / 10;
    r.dLowerPeakPressure = std::round(90 * s * 10) / 10;
    r.dLowerBasePressure = std::round(40 * s * 10) / 10;
    r.dBottomPressure = std::round(20 * s * 10) / 10;
    r.nSystolicAmplitude = 60;
    r.nLowerPeakAmplitude = 100;
    r.nUpperPeakAmplitude = 100;
    r.nDiastolicAmplitude = 70;
    r.nBaseAmplitude = 30;
    return r;
}

int CmdBP(std::vector<std::string>& args)
{
    const bool wait = TakeFlag(args, "--wait");
    std::string envelope;
    bool custom = false;
    BPCommon common{};
    common.eMethod = BP_METHOD_DEFAULT;
    common.dSystolic = 120;
    common.dDiastolic = 80;
    common.nHeartRate = 72;
    common.dPulseVolume = 1.0;
    double rate = common.nHeartRate;
    if (!TakeOption(args, "--envelope", envelope, custom) || !TakeNumber(args, "--systolic", common.dSystolic) ||
        !TakeNumber(args, "--diastolic", common.dDiastolic) || !TakeNumber(args, "--rate", rate) ||
        !TakeNumber(args, "--volume", common.dPulseVolume) || !NoneLeft(args))
        return 2;
    if (rate < 30 || rate > 300) {
        Error("--rate must be 30 to 300 beats per minute");
        return 2;
    }
    common.nHeartRate = static_cast<uint32_t>(rate);
    BPEnvelopeCustomized record{};
    if (custom) {
        int fileUnit = -1;
        record = DefaultEnvelope(0);
        if (!ReadEnvelope(envelope, record, &fileUnit))
            return 1;
        if (int rc = Connect())
            return rc;
        if (fileUnit >= 0 && fileUnit != g_unit) {
            Error("%s is in %s but the instrument works in %s (switch with 'vasqctl unit %s')", envelope.c_str(),
                  UnitName(fileUnit), UnitName(g_unit), UnitName(fileUnit));
            VasqFree();
            return 1;
        }
        printf("BP simulation, customised envelope from %s: %.1f/%.1f %s, %u bpm\n", envelope.c_str(),
               record.dSystolic, record.dDiastolic, UnitName(g_unit), record.nHeartRate);
        return FollowOrLeave("BP simulation", VasqRunBPTest(&record, wait ? OnBP : nullptr), wait);
    }
    if (int rc = Connect())
        return rc;
    printf("BP simulation, default envelope: %.1f/%.1f %s, %u bpm, pulse volume %.1f\n", common.dSystolic,
           common.dDiastolic, UnitName(g_unit), common.nHeartRate, common.dPulseVolume);
    return FollowOrLeave("BP simulation", VasqRunBPTest(&common, wait ? OnBP : nullptr), wait);
}

int CmdLeak(std::vector<std::string>& args)
{
    const bool wait = TakeFlag(args, "--wait");
    double rate = 0.0;
    int param = 60;
    if (!TakeNumber(args, "--rate", rate) || !TakeInteger(args, "--param", INT_MIN, INT_MAX, param))
        return kExitUsage;
    double pressure = 0;
    if (args.size() != 1 || !ParseDouble(args[0], pressure)) {
        Error("leak needs one pressure (see vasqctl leak --help)");
        return 2;
    }
    if (int rc = Connect())
        return rc;
    printf("leakage test at %.1f %s, allowed leak rate %.2f %s\n", pressure, UnitName(g_unit), rate, UnitName(g_unit));
    return FollowOrLeave("leakage test",
                         VasqRunLeakageTest(pressure, param, rate, wait ? OnLeak : nullptr), wait);
}

int CmdOverpressure(std::vector<std::string>& args)
{
    const bool wait = TakeFlag(args, "--wait");
    const bool noFlag = TakeFlag(args, "--no-flag");
    double p[3];
    if (args.size() != 3 || !ParseDouble(args[0], p[0]) || !ParseDouble(args[1], p[1]) ||
        !ParseDouble(args[2], p[2])) {
        Error("overpressure needs three pressures (see vasqctl overpressure --help)");
        return 2;
    }
    if (int rc = Connect())
        return rc;
    printf("overpressure test: %.1f, %.1f and %.1f %s\n", p[0], p[1], p[2], UnitName(g_unit));
    return FollowOrLeave("overpressure test",
                         VasqRunOverpressureTest(!noFlag, p[0], p[1], p[2], wait ? OnOverpressure : nullptr), wait);
}

int CmdStop(std::vector<std::string>& args)
{
    if (!NoneLeft(args))
        return 2;
    if (int rc = Connect())
        return rc;
    VasqStopTest();
    // VasqStopTest returns 1 also when the device could not be told.
    if (VasqGetLastError() != VASQ_ERROR_NONE) {
        Failure("stopping the test");
        VasqFree();
        return 1;
    }
    printf("stopped\n");
    VasqFree();
    return 0;
}

int CmdUnit(std::vector<std::string>& args)
{
    int wanted = -1;
    if (args.size() > 1 || (args.size() == 1 && !ParseUnit(args[0], wanted))) {
        Error("unit takes mmHg or kPa, or nothing");
        return 2;
    }
    if (int rc = Connect())
        return rc;
    if (wanted >= 0 && !VasqSetPressureUnit(wanted)) {
        Failure("switching to %s", UnitName(wanted));
        VasqFree();
        return 1;
    }
    const int unit = VasqGetPressureUnit();
    if (VasqGetLastError() != VASQ_ERROR_NONE) {
        Failure("reading the unit");
        VasqFree();
        return 1;
    }
    printf("%s\n", UnitName(unit));
    VasqFree();
    return wanted >= 0 && unit != wanted ? 1 : 0;
}

bool TakePorts(std::vector<std::string>& args, const char* name, std::vector<int>& ports)
{
    std::string list;
    bool given = false;
    if (!TakeOption(args, name, list, given))
        return false;
    size_t start = 0;
    while (given && start <= list.size()) {
        const size_t comma = list.find(',', start);
        int port = 0;
        if (!ParseInt(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start), 0, 4,
                      port)) {
            Error("%s takes air port numbers 0 to 4, comma separated", name);
            return false;
        }
        ports.push_back(port);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

int CmdAirPort(std::vector<std::string>& args)
{
    std::vector<int> enable;
    std::vector<int> disable;
    const bool reset = TakeFlag(args, "--reset");
    if (!TakePorts(args, "--enable", enable) || !TakePorts(args, "--disable", disable) || !NoneLeft(args))
        return 2;
    if (int rc = Connect())
        return rc;
    if (reset || !enable.empty() || !disable.empty()) {
        if (reset)
            VasqResetAirPort();
        for (int port : enable)
            VasqEnableAirPort(port, true);
        for (int port : disable)
            VasqEnableAirPort(port, false);
        if (!VasqUpdateAirPort()) {
            Failure("sending the air-port setting");
            VasqFree();
            return 1;
        }
        printf("air ports set:");
        for (int port = 0; port <= 4; ++port) {
            const bool off = std::find(disable.begin(), disable.end(), port) != disable.end();
            printf(" %d=%s", port, off ? "disabled" : "enabled");
        }
        printf("\n");
    }
    bool bit1 = false;
    bool bit0 = false;
    if (!VasqGetAirPortStatus(&bit1, &bit0)) {
        Failure("reading the air-port status");
        VasqFree();
        return 1;
    }
    printf("air-port status: bit 1 %s, bit 0 %s\n", bit1 ? "set" : "clear", bit0 ? "set" : "clear");
    VasqFree();
    return 0;
}

// ---- envelope -------------------------------------------------------------------

std::string SvgPlot(const BPEnvelopeCustomized& r, int unit, const std::vector<double>& pressure,
                    const std::vector<double>& amplitude)
{
    const double width = 800, height = 480, left = 70, right = 20, top = 40, bottom = 60;
    const double xMax = unit == 1 ? 48.0 : 360.0;
    double yMax = 0;
    for (double a : amplitude)
        yMax = std::max(yMax, a);
    // Headroom above the highest point for its label.
    yMax = std::max(40.0, std::ceil((yMax + 15.0) / 20.0) * 20.0);
    const double yStep = yMax <= 140.0 ? 20.0 : 40.0;
    auto X = [&](double p) { return left + p / xMax * (width - left - right); };
    auto Y = [&](double a) { return height - bottom - a / yMax * (height - top - bottom); };
    std::string svg = Format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
        "font-family=\"sans-serif\" font-size=\"12\">\n"
        "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
        "<text x=\"%.0f\" y=\"22\" font-size=\"15\" text-anchor=\"middle\">Oscillation envelope: %.1f/%.1f %s, "
        "%u bpm</text>\n",
        width, height, width, height, width / 2, r.dSystolic, r.dDiastolic, UnitName(unit), r.nHeartRate);
    // Axes with ticks and units.
    svg += Format("<g stroke=\"black\"><line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/></g>\n",
                  left, Y(0), X(xMax), Y(0), left, Y(0), left, Y(yMax));
    const double xStep = unit == 1 ? 5.0 : 50.0;
    for (double p = 0; p <= xMax + 1e-9; p += xStep)
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>"
                      "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>\n",
                      X(p), Y(0), X(p), Y(0) + 5, X(p), Y(0) + 18, p);
    for (double a = 0; a <= yMax + 1e-9; a += yStep)
        svg += Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>"
                      "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%g</text>\n",
                      left - 5, Y(a), left, Y(a), left - 8, Y(a) + 4, a);
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">cuff pressure (%s)</text>\n",
                  (left + X(xMax)) / 2, height - 15, UnitName(unit));
    svg += Format("<text x=\"18\" y=\"%.1f\" text-anchor=\"middle\" transform=\"rotate(-90 18 %.1f)\">"
                  "pulse amplitude (device units, 0-255)</text>\n",
                  (top + Y(0)) / 2, (top + Y(0)) / 2);
    // The curve.
    svg += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1.5\" points=\"";
    for (size_t i = 0; i < pressure.size(); ++i)
        svg += Format("%s%.1f,%.1f", i == 0 ? "" : " ", X(pressure[i]), Y(amplitude[i]));
    svg += "\"/>\n";
    // The ten control points.
    const double d = unit == 1 ? 0.1 : 1.0;
    const struct {
        double p;
        double a;
        const char* name;
    } points[10] = {{r.dBottomPressure, 0, "bottom"},
                    {r.dBottomPressure + d, double(r.nBaseAmplitude), ""},
                    {r.dLowerBasePressure, double(r.nBaseAmplitude), "lower base"},
                    {r.dDiastolic + r.dDiastolicOffset, double(r.nDiastolicAmplitude), "diastolic"},
                    {r.dLowerPeakPressure, double(r.nLowerPeakAmplitude), "lower peak"},
                    {r.dUpperPeakPressure, double(r.nUpperPeakAmplitude), "upper peak"},
                    {r.dSystolic + r.dSystolicOffset, double(r.nSystolicAmplitude), "systolic"},
                    {r.dUpperBasePressure, double(r.nBaseAmplitude), "upper base"},
                    {r.dTopPressure - d, double(r.nBaseAmplitude), ""},
                    {r.dTopPressure, 0, "top"}};
    svg += "<g fill=\"#d62728\">\n";
    for (const auto& pt : points) {
        svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\"><title>%s %.1f %s, amplitude %.0f</title></circle>\n",
                      X(pt.p), Y(pt.a), pt.name, pt.p, UnitName(unit), pt.a);
        // The two peaks sit close together: their labels lean away from each other.
        const bool lower = strcmp(pt.name, "lower peak") == 0;
        const bool upper = strcmp(pt.name, "upper peak") == 0;
        if (pt.name[0] != '\0')
            svg += Format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\" text-anchor=\"%s\">%s</text>\n",
                          X(pt.p) + (lower ? -4 : upper ? 4 : 0), Y(pt.a) - 8,
                          lower ? "end" : upper ? "start" : "middle", pt.name);
    }
    svg += "</g>\n</svg>\n";
    return svg;
}

bool WriteFile(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        Error("cannot write %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    if (fclose(f) != 0 || !ok) {
        Error("cannot write %s", path.c_str());
        return false;
    }
    return true;
}

int CmdEnvelope(std::vector<std::string>& args)
{
    std::string json, csv, svg, unitText;
    bool haveJson = false, haveCsv = false, haveSvg = false, haveUnit = false;
    if (!TakeOption(args, "--json", json, haveJson) || !TakeOption(args, "--csv", csv, haveCsv) ||
        !TakeOption(args, "--svg", svg, haveSvg) || !TakeOption(args, "--unit", unitText, haveUnit) ||
        !NoneLeft(args))
        return 2;
    int unit = 0;
    if (haveUnit && !ParseUnit(unitText, unit)) {
        Error("--unit takes mmHg or kPa");
        return 2;
    }
    if (!haveCsv && !haveSvg) {
        Error("envelope needs --csv FILE or --svg FILE (or both)");
        return 2;
    }
    int fileUnit = -1;
    BPEnvelopeCustomized record = DefaultEnvelope(unit);
    if (haveJson) {
        BPEnvelopeCustomized fromFile = DefaultEnvelope(0);
        if (!ReadEnvelope(json, fromFile, &fileUnit))
            return 1;
        if (fileUnit >= 0 && haveUnit && fileUnit != unit) {
            Error("%s is in %s, not %s", json.c_str(), UnitName(fileUnit), UnitName(unit));
            return 1;
        }
        if (fileUnit == 1 && !haveUnit) {
            unit = 1;
            fromFile = DefaultEnvelope(1);
            ReadEnvelope(json, fromFile, &fileUnit);
        }
        record = fromFile;
    }
    const int count = unit == 1 ? 479 : 360;
    std::vector<double> raw(480, 0.0), amplitude(480, 0.0);
    if (!VasqGetEnvelopeRawData(&record, raw.data(), amplitude.data(), count, unit)) {
        Failure("computing the envelope table");
        return 1;
    }
    amplitude.resize(count);
    std::vector<double> pressure(count);
    for (int i = 0; i < count; ++i)
        pressure[i] = unit == 1 ? i / 10.0 : i;
    if (haveCsv) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += Format(unit == 1 ? "%.1f,%.0f\n" : "%.0f,%.0f\n", pressure[i], amplitude[i]);
        if (!WriteFile(csv, text))
            return 1;
        printf("%s: %d points, pressure (%s) and amplitude\n", csv.c_str(), count, UnitName(unit));
    }
    if (haveSvg) {
        if (!WriteFile(svg, SvgPlot(record, unit, pressure, amplitude)))
            return 1;
        printf("%s: envelope plot\n", svg.c_str());
    }
    return 0;
}

const Command kCommands[] = {
    {"info",
     "usage: vasqctl [--port N] info\n"
     "  Prints the instrument's serial number, model, firmware, hardware and boot-loader\n"
     "  versions and its pressure unit.\n",
     CmdInfo, ""},
    {"sample",
     "usage: vasqctl [--port N] sample [--seconds N] [--csv]\n"
     "  Streams the instrument's cuff pressure (200 samples/s), in its current unit.\n"
     "  Without --csv: ten lines a second (last value, range) until Ctrl-C or N seconds.\n"
     "  With --csv: every sample as 'time_s,pressure_<unit>' for N seconds (default 2).\n"
    "  --seconds 0 samples until vasqctl is interrupted; at most 1000000.\n",
     CmdSample, "seconds: csv"},
    {"static",
     "usage: vasqctl [--port N] static PRESSURE [--param N] [--wait]\n"
     "  Builds up and holds PRESSURE (in the instrument's unit; clamped to its limits).\n"
     "  --param N  the instrument's static-pressure parameter (default: leave it)\n"
     "  --wait     follow the reports to COMPLETED, then stop; Ctrl-C stops it\n",
     CmdStatic, "param: wait"},
    {"bp",
     "usage: vasqctl [--port N] bp [--systolic P] [--diastolic P] [--rate BPM] [--volume V] [--wait]\n"
     "       vasqctl [--port N] bp --envelope FILE.json [--wait]\n"
     "  Simulates a blood-pressure measurement: with the instrument's default envelope\n"
     "  (default 120/80, 72 bpm, pulse volume 1.0), or with a customised envelope read\n"
     "  from a JSON object (keys as in 'vasqctl envelope --help').\n"
     "  --wait     follow the reports to COMPLETED, then stop; Ctrl-C stops it\n",
     CmdBP, "envelope: systolic: diastolic: rate: volume: wait"},
    {"leak",
     "usage: vasqctl [--port N] leak PRESSURE [--rate R] [--param N] [--wait]\n"
     "  Leakage test at PRESSURE (instrument's unit); --rate is the allowed leak rate\n"
     "  (default 0), --param the instrument's leak parameter (default 60).\n"
     "  --wait     follow the reports to COMPLETED; Ctrl-C stops the test\n",
     CmdLeak, "rate: param: wait"},
    {"overpressure",
     "usage: vasqctl [--port N] overpressure P1 P2 P3 [--no-flag] [--wait]\n"
     "  Overpressure test with three pressures (instrument's unit; each clamped to its\n"
     "  own limit). --no-flag clears the instrument's overpressure flag.\n"
     "  --wait     follow the reports to COMPLETED; Ctrl-C stops the test\n",
     CmdOverpressure, "no-flag wait"},
    {"stop",
     "usage: vasqctl [--port N] stop\n"
     "  Stops whatever test the instrument runs.\n",
     CmdStop, ""},
    {"unit",
     "usage: vasqctl [--port N] unit [mmHg|kPa]\n"
     "  Prints the instrument's pressure unit, or switches it (refused while a test runs).\n",
     CmdUnit, ""},
    {"airport",
     "usage: vasqctl [--port N] airport [--reset] [--enable LIST] [--disable LIST]\n"
     "  Sends the air-port setting (ports 0 to 4, e.g. --disable 1,3; all others enabled)\n"
     "  and prints the air-port status. Every test start sends the setting of the program\n"
     "  that starts it, so a later 'vasqctl static' enables all ports again.\n",
     CmdAirPort, "reset enable: disable:"},
    {"envelope",
     "usage: vasqctl envelope [--json FILE] [--unit mmHg|kPa] [--csv FILE] [--svg FILE]\n"
     "  Computes a customised envelope's table without an instrument: 360 points in mmHg\n"
     "  (0 to 359), 479 in kPa (0.0 to 47.8). --csv writes 'pressure,amplitude' lines;\n"
     "  --svg draws the curve with its ten control points.\n"
     "  The JSON object may give any of (missing ones keep a plausible default; numbers\n"
     "  in its \"unit\", \"mmHg\" or \"kPa\"; spaces and line feeds only, no tabs):\n"
     "    systolic, diastolic, heart_rate, pulse_volume, systolic_offset, diastolic_offset,\n"
     "    top_pressure, upper_base_pressure, upper_peak_pressure, lower_peak_pressure,\n"
     "    lower_base_pressure, bottom_pressure, systolic_amplitude, lower_peak_amplitude,\n"
     "    upper_peak_amplitude, diastolic_amplitude, base_amplitude (amplitudes 0-255)\n",
     CmdEnvelope, "json: csv: svg: unit:"},
};

// Options that belong before the command, as getopt_long reports them.
enum GlobalOption { kOptPort = 1000, kOptTimeout, kOptDeviceFolder, kOptVersion, kOptHelp = 'h', kOptVerbose = 'v' };

const option kGlobalOptions[] = {
    {"port", required_argument, nullptr, kOptPort},
    {"timeout", required_argument, nullptr, kOptTimeout},
    {"device-folder", required_argument, nullptr, kOptDeviceFolder},  // a simulated device's folder, for tests
    {"version", no_argument, nullptr, kOptVersion},
    {"help", no_argument, nullptr, kOptHelp},
    {"verbose", no_argument, nullptr, kOptVerbose},
};

// How the user wrote the option getopt_long just stopped at, for a message.
std::string OffendingOption(char** argv)
{
    const std::string written = argv[optind - 1];
    if (optopt != 0 && written.rfind("--", 0) != 0)
        return std::string("-") + static_cast<char>(optopt);
    return written.substr(0, written.find('='));
}

// Parses a command's options the usual way into "--name [value]" pairs followed by its
// operands; kExitSuccess when it should run, -1 for its help, else the usage code.
int ParseCommandOptions(const Command& command, std::vector<std::string>& args)
{
    // Split first: the option table points into these strings.
    std::vector<std::string> names;
    for (const char* at = command.options; *at != '\0';) {
        const char* end = strchrnul(at, ' ');
        names.emplace_back(at, end);
        at = *end == ' ' ? end + 1 : end;
    }
    std::vector<option> options;
    for (std::string& name : names) {
        const bool value = name.back() == ':';
        if (value)
            name.pop_back();
        options.push_back({name.c_str(), value ? required_argument : no_argument, nullptr,
                           static_cast<int>(options.size())});
    }
    for (const option& global : kGlobalOptions)
        options.push_back(global);
    options.push_back({nullptr, 0, nullptr, 0});

    std::string title = std::string("vasqctl ") + command.name;
    std::vector<char*> argv{title.data()};
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> parsed;
    optind = 0;  // glibc: start afresh
    opterr = 0;
    const int argc = static_cast<int>(argv.size()) - 1;
    for (int got; (got = getopt_long(argc, argv.data(), ":hv", options.data(), nullptr)) != -1;) {
        if (got == kOptHelp)
            return -1;
        if (got == '?' && strchr(argv[static_cast<size_t>(optind) - 1], '=') != nullptr &&
            strncmp(argv[static_cast<size_t>(optind) - 1], "--", 2) == 0) {
            const std::string written = OffendingOption(argv.data());
            for (const option& known : options)
                if (known.name != nullptr && written == std::string("--") + known.name && known.has_arg == no_argument) {
                    Error("%s takes no value (see vasqctl %s --help)", written.c_str(), command.name);
                    return kExitUsage;
                }
        }
        if (got == '?' && isdigit(optopt)) {
            Error("%s: -%c is taken for an option; put -- before a negative number", command.name, optopt);
            return kExitUsage;
        }
        if (got == '?') {
            Error("%s: unknown option %s (see vasqctl %s --help)", command.name, OffendingOption(argv.data()).c_str(),
                  command.name);
            return kExitUsage;
        }
        if (got == ':') {
            Error("%s needs a value (see vasqctl %s --help)", OffendingOption(argv.data()).c_str(), command.name);
            return kExitUsage;
        }
        if (got >= kOptPort || got == kOptVerbose) {
            std::string global = "-v";
            for (const option& known : kGlobalOptions)
                if (known.val == got && got != kOptVerbose)
                    global = std::string("--") + known.name;
            Error("%s is a global option: global options come before the command (vasqctl %s ... %s ...)",
                  global.c_str(), global.c_str(), command.name);
            return kExitUsage;
        }
        parsed.push_back(std::string("--") + options[static_cast<size_t>(got)].name);
        if (options[static_cast<size_t>(got)].has_arg == required_argument)
            parsed.push_back(optarg);
    }
    for (int i = optind; i < argc; ++i)
        parsed.push_back(argv[static_cast<size_t>(i)]);
    args = parsed;
    return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string deviceFolder;
    std::vector<option> globals(std::begin(kGlobalOptions), std::end(kGlobalOptions));
    globals.push_back({nullptr, 0, nullptr, 0});
    opterr = 0;
    // "+": the first operand is the command; what follows it is the command's.
    for (int got; (got = getopt_long(argc, argv, "+:hv", globals.data(), nullptr)) != -1;) {
        switch (got) {
        case kOptHelp:
            fputs(kMainHelp, stdout);
            return FlushOutput() ? kExitSuccess : kExitInterrupted;
        case kOptVersion:
            printf("vasqctl %s\nlibvasq %s\n", VASQCTL_VERSION, VasqGetVersion());
            return FlushOutput() ? kExitSuccess : kExitInterrupted;
        case kOptVerbose:
            ++g_verbosity;
            break;
        case kOptPort:
            if (!ParseInt(optarg, 0, 4095, g_port)) {
                Error("--port takes a port number 0 to 4095, as N of /dev/ttyACM<N>, not '%s'", optarg);
                return kExitUsage;
            }
            break;
        case kOptTimeout:
            // Beyond an hour the wait would not fit the library's milliseconds anyway.
            if (!ParseDouble(optarg, g_timeoutSeconds) || g_timeoutSeconds < 0 || g_timeoutSeconds > 3600) {
                Error("--timeout takes 0 to 3600 seconds, not '%s'", optarg);
                return kExitUsage;
            }
            break;
        case kOptDeviceFolder:
            deviceFolder = optarg;
            break;
        case ':':
            Error("%s needs a value (see vasqctl --help)", OffendingOption(argv).c_str());
            return kExitUsage;
        default:
            Error("unknown option %s (see vasqctl --help)", OffendingOption(argv).c_str());
            return kExitUsage;
        }
    }
    if (optind >= argc) {
        fputs(kMainHelp, stderr);
        return kExitUsage;
    }
    const std::string name = argv[optind];
    std::vector<std::string> args(argv + optind + 1, argv + argc);
    for (const Command& command : kCommands) {
        if (name != command.name)
            continue;
        const int parsed = ParseCommandOptions(command, args);
        if (parsed == -1) {
            fputs(command.help, stdout);
            return FlushOutput() ? kExitSuccess : kExitInterrupted;
        }
        if (parsed != kExitSuccess)
            return parsed;
        if (!deviceFolder.empty())
            SetDeviceFoldersForTesting(deviceFolder.c_str(), deviceFolder.c_str());
        // Left set to the end: the library's last lines come from its unload.
        if (g_verbosity > 0)
            VasqSetLogCallback(LogToStderr, g_verbosity > 1 ? VASQ_LOG_DEBUG : VASQ_LOG_INFO, nullptr);
        // The library may have threads from its load on, so a handler (not a
        // blocked mask) takes the signals; SA_RESTART spares their system calls.
        struct sigaction action {};
        action.sa_handler = [](int signo) { g_signal = signo; };
        action.sa_flags = SA_RESTART;
        for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaction(signo, &action, nullptr);
        // A closed output shows as a failed write instead, so that the test is stopped.
        signal(SIGPIPE, SIG_IGN);
        const int rc = command.run(args);
        if (!FlushOutput() && rc == kExitSuccess)
            return kExitInterrupted;
        return rc == kExitFailure && g_deviceLost ? kExitLost : rc;
    }
    Error("unknown command '%s' (see vasqctl --help)", name.c_str());
    return kExitUsage;
}
