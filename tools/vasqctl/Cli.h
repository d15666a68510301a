// vasqctl's shared pieces: exit codes, the command table's entry, global
// options, messages on standard error, and the reading of options and numbers.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "vasq.h"

namespace vasqctl {

// Distinct so that scripts can tell what happened.
enum ExitCode {
    kExitSuccess = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitNotFound = 3,
    kExitLost = 4,
    kExitInterrupted = 130,
};

struct Command {
    const char* name;
    const char* help;
    int (*run)(std::vector<std::string>& args);
    // The command's long options, space separated; "name:" takes a value.
    const char* options;
};

// Global options.
extern int g_port;
// --serial: the instrument with this serial number, on whichever port it is (empty: any).
extern std::string g_serial;
// --device-folder: where the nodes and lock files are (empty: the system's).
extern std::string g_deviceFolder;
extern double g_timeoutSeconds;
extern int g_verbosity;
// The command's --json: results as JSON lines on standard output.
extern bool g_json;

// The signal that asks vasqctl to end, set from the handler; lock-free, so safe there.
extern std::atomic<int> g_signal;
// Standard output could not be written (its reader has gone): nobody follows any more.
extern std::atomic<bool> g_outputClosed;
// A call failed because the port hung up: the command ends with the device-lost code.
extern bool g_deviceLost;

bool Ended();

// printf into a string of whatever length it takes.
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "vasqctl: ..." on standard error.
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// What vasqctl tried and why the library says it failed, with a hint where the
// reason alone does not tell what to do.
void Explain(const char* what, int code, const std::string& reason);
// After a library call on this thread failed: Explain with the library's last error.
void Failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The library's log on standard error, one time-stamped line per event.
void LogToStderr(int level, const char* message, void*);

// Writes out what printf gathered; a failure ends the command as a signal would.
bool FlushOutput();
// A reader that has gone while vasqctl had nothing to write.
bool OutputGone();

bool ParseDouble(const std::string& text, double& out);
bool ParseInt(const std::string& text, long low, long high, int& out);

// The command's options, as main's getopt_long left them: "--name [value]" pairs, then operands.
bool TakeFlag(std::vector<std::string>& args, const char* name);
bool TakeOption(std::vector<std::string>& args, const char* name, std::string& value, bool& given);
bool TakeNumber(std::vector<std::string>& args, const char* name, double& value);
bool TakeInteger(std::vector<std::string>& args, const char* name, long low, long high, int& value);
// Takes --json into g_json.
void TakeJson(std::vector<std::string>& args);
bool NoneLeft(const std::vector<std::string>& args);

const char* UnitName(int unit);
bool ParseUnit(const std::string& text, int& unit);
const char* StatusName(VasqStatus status);

}  // namespace vasqctl
