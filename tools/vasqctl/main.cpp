// vasqctl: drives a Vasq9 from the shell through libvasq. This file reads the
// global options, finds the command and reads its options; each command lives
// in a file of its own (Commands.h lists them).
#include <ctype.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "Cli.h"
#include "Commands.h"
#include "Output.h"
#include "vasq.h"

// Not part of the public interface: points the library at another node and
// lock-file folder, so that the tool can drive a simulated device anywhere.
void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace vasqctl {
namespace {

const char kMainHelp[] =
    "usage: vasqctl [-v|-vv] [--port N | --serial SN] [--timeout SECONDS] COMMAND [OPTIONS]\n"
    "       vasqctl --help | --version\n"
    "\n"
    "Drives a Vasq9 blood-pressure simulator on /dev/ttyACM<N>.\n"
    "\n"
    "  --port N            the instrument's port number (default: the first Vasq9 found)\n"
    "  --serial SN         the instrument with this serial number, on whichever port\n"
    "  --timeout SECONDS   how long to look for the instrument (default 5, at most 3600)\n"
    "  -h, --help          this text; 'vasqctl COMMAND --help' explains a command\n"
    "  --version           the releases of vasqctl and of the library, and the version of\n"
    "                      the library's interface\n"
    "  -v, -vv             log to standard error: -v the search, the connection and the tests,\n"
    "                      -vv also every frame sent (->) and received (<-)\n"
    "\n"
    "Commands:\n"
    "  list                the Vasq9s found: port and serial number of each\n"
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
    "Every value printed is labelled with its name and unit; every command takes --json\n"
    "to print its results as JSON lines instead (one JSON object a line), each value as\n"
    "{\"value\": ..., \"unit\": ...} (unit null: the instrument's own scale).\n"
    "A command that starts a test leaves it running on the instrument when vasqctl ends,\n"
    "unless --wait is given: then vasqctl follows the test's reports to its end and stops\n"
    "it, also when vasqctl is interrupted or the instrument is lost. A test left running\n"
    "runs until a later vasqctl command ends it: every command stops it (a test start\n"
    "before it starts its own).\n"
    "'vasqctl COMMAND --help' explains each command.\n"
    "\n"
    "Exit codes:\n"
    "  0    success\n"
    "  1    failure: the instrument refused or did not answer, an input file is missing,\n"
    "       unreadable or wrong (the message names the line, column or key), an output\n"
    "       file cannot be written\n"
    "  2    wrong usage\n"
    "  3    no instrument found\n"
    "  4    the instrument was lost while vasqctl used it\n"
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT, or standard output closed)\n";

// In the order of the help.
const Command* const kCommands[] = {&kListCommand, &kInfoCommand, &kSampleCommand, &kStaticCommand, &kBPCommand,
                                    &kLeakCommand, &kOverpressureCommand, &kStopCommand, &kUnitCommand,
                                    &kAirPortCommand, &kEnvelopeCommand};

// Options that belong before the command, as getopt_long reports them.
enum GlobalOption {
    kOptPort = 1000,
    kOptSerial,
    kOptTimeout,
    kOptDeviceFolder,
    kOptVersion,
    kOptHelp = 'h',
    kOptVerbose = 'v'
};

const option kGlobalOptions[] = {
    {"port", required_argument, nullptr, kOptPort},
    {"serial", required_argument, nullptr, kOptSerial},
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

int Main(int argc, char** argv)
{
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
            printf("vasqctl %s, libvasq %s, interface %s\n", VASQCTL_VERSION, VasqGetReleaseVersion(),
                   VasqGetVersion());
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
        case kOptSerial:
            g_serial = optarg;
            if (g_serial.empty()) {
                Error("--serial takes the instrument's serial number, as 'vasqctl list' shows it");
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
            g_deviceFolder = optarg;
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
    if (!g_serial.empty() && g_port >= 0) {
        Error("--port and --serial each pick an instrument: give one of them");
        return kExitUsage;
    }
    const std::string name = argv[optind];
    std::vector<std::string> args(argv + optind + 1, argv + argc);
    for (const Command* command : kCommands) {
        if (name != command->name)
            continue;
        const int parsed = ParseCommandOptions(*command, args);
        if (parsed == -1) {
            fputs(command->help, stdout);
            return FlushOutput() ? kExitSuccess : kExitInterrupted;
        }
        if (parsed != kExitSuccess)
            return parsed;
        if (!g_deviceFolder.empty())
            SetDeviceFoldersForTesting(g_deviceFolder.c_str(), g_deviceFolder.c_str());
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
        const int rc = command->run(args);
        // A command that has seen its output close and still succeeded took that for its normal end.
        const bool closedBefore = g_outputClosed;
        if (!FlushOutput() && rc == kExitSuccess && !closedBefore)
            return kExitInterrupted;
        return rc == kExitFailure && g_deviceLost ? kExitLost : rc;
    }
    Error("unknown command '%s' (see vasqctl --help)", name.c_str());
    return kExitUsage;
}

}  // namespace
}  // namespace vasqctl

int main(int argc, char** argv)
{
    return vasqctl::Main(argc, argv);
}
