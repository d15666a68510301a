// vasq-sim: serves a simulated Vasq9 on a pseudo-terminal until interrupted,
// or for as long as a given command runs.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "SimDevice.h"

extern char** environ;

namespace {

const char kUsage[] =
    "usage: vasq-sim [OPTIONS] [-- COMMAND [ARGS...]]\n"
    "\n"
    "Serves a simulated Vasq9 as FOLDER/ttyACM<N> until Ctrl-C or SIGTERM, then\n"
    "removes the node. Prints the node's path once it is ready. With a COMMAND,\n"
    "runs it against the simulated device and ends with it, exiting with its status;\n"
    "when FOLDER is not /dev, the command's libvasq is pointed at FOLDER through the\n"
    "preloaded helper libvasq-sim-folder.so, which lies next to vasq-sim in a build\n"
    "tree and in the library folder's vasq/ when installed. The helper loads no\n"
    "libvasq of its own: a command that does not use the library runs as without\n"
    "it. When the environment\n"
    "variable VASQ_LIBRARY names a libvasq, that file is preloaded too: it is then\n"
    "the only libvasq in the command and in every program it starts.\n"
    "\n"
    "Where:\n"
    "  --dir FOLDER         folder of the node (default: /dev when writable, else\n"
    "                       /tmp/vasq-sim); an existing node is never replaced\n"
    "  --port N             node number (default: the first free one from 0)\n"
    "  --cooked             leave the port as another program might: CR/NL mapping,\n"
    "                       XON/XOFF, echo, canonical mode, VMIN = VTIME = 0\n"
    "Identity:\n"
    "  --serial GROUP-INDEX serial group (0-255) and index (0-9999), default 7-42\n"
    "  --firmware A.B.C     firmware version (default 1.4.2)\n"
    "  --hardware A.B       hardware version (default 2.1)\n"
    "Behaviour:\n"
    "  --unit mmHg|kPa      pressure unit the device starts in (default mmHg)\n"
    "  --paced              send answers at the speed of 115200 baud\n"
    "  --ignore-start-during-test\n"
    "                       acknowledge a test start that comes while a test runs\n"
    "                       and go on with the running test (by default the new\n"
    "                       test replaces it)\n"
    "  --statuses LIST      status codes the next status queries report, one each,\n"
    "                       comma separated (the last one stays), e.g. 13,13,2,2,14\n"
    "  --samples waveform|counter\n"
    "                       stream the cuff pressure of what runs (default) or a\n"
    "                       running sample number that shows gaps and repeats\n"
    "  --counter-from N     the first sample number (0-65535, default 0), so that\n"
    "                       several instruments' streams can be told apart\n"
    "  --fault KIND         spoil the answer to every Nth request (see --fault-every):\n"
    "                       no-answer, bad-checksum, status, delay, garbage\n"
    "  --fault-every N      which requests the fault spoils (default 10)\n"
    "The monitor under test (pressures in the unit of --unit):\n"
    "  --dut-leak VALUE     the leak a leakage test measures on its cuff system\n"
    "                       (default 4.5 mmHg)\n"
    "  --dut-valve PRESSURE where its overpressure valve opens, which an overpressure\n"
    "                       test reports as its first result (default: at the test's\n"
    "                       first pressure)\n"
    "Output:\n"
    "  --verbose            print each request received and the answer given\n"
    "  --help               print this text\n"
    "  --version            print the release and the library interface's version\n"
    "\n"
    "Memory stays flat however long it runs: the program keeps no frame log.\n";

struct Options {
    std::string folder;
    int port = -1;
    vasqsim::PortSettings settings = vasqsim::PortSettings::AsCreated;
    int serialGroup = 7;
    int serialIndex = 42;
    int firmware[3] = {1, 4, 2};
    int hardware[2] = {2, 1};
    int unit = 0;
    bool paced = false;
    bool ignoreStartDuringTest = false;
    std::vector<uint8_t> statuses;
    vasqsim::SampleMode samples = vasqsim::SampleMode::Waveform;
    int counterFrom = 0;
    bool faulty = false;
    vasqsim::FaultKind fault = vasqsim::FaultKind::NoAnswer;
    int faultEvery = 10;
    double dutLeak = -1.0;   // in the unit of --unit; negative: the simulator's default
    double dutValve = -1.0;  // likewise; negative: at the test's first pressure
    bool verbose = false;
    std::vector<char*> command;
};

bool Fail(const char* what, const char* value)
{
    fprintf(stderr, "vasq-sim: %s: '%s' (see vasq-sim --help)\n", what, value);
    return false;
}

// Reads "A.B.C"-style numbers, each 0 to 255.
bool ParseNumbers(const char* text, char separator, int* out, int count)
{
    const char* at = text;
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        errno = 0;
        const long value = strtol(at, &end, 10);
        if (end == at || errno != 0 || value < 0 || value > 255)
            return false;
        out[i] = static_cast<int>(value);
        if (i + 1 < count) {
            if (*end != separator)
                return false;
            at = end + 1;
        } else if (*end != '\0') {
            return false;
        }
    }
    return true;
}

bool ParseInt(const char* text, long low, long high, int& out)
{
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

bool ParseReal(const char* text, double low, double high, double& out)
{
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(value >= low && value <= high))
        return false;
    out = value;
    return true;
}

bool ParseSerial(const char* text, Options& options)
{
    int group = 0;
    int index = 0;
    const char* dash = strchr(text, '-');
    if (dash == nullptr)
        return false;
    const std::string groupText(text, dash);
    if (!ParseInt(groupText.c_str(), 0, 255, group) || !ParseInt(dash + 1, 0, 9999, index))
        return false;
    options.serialGroup = group;
    options.serialIndex = index;
    return true;
}

bool ParseStatuses(const char* text, std::vector<uint8_t>& out)
{
    std::string list(text);
    size_t start = 0;
    while (start <= list.size()) {
        const size_t comma = list.find(',', start);
        const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        int code = 0;
        if (!ParseInt(item.c_str(), 0, 255, code))
            return false;
        out.push_back(static_cast<uint8_t>(code));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return !out.empty();
}

bool ParseFault(const char* text, vasqsim::FaultKind& kind)
{
    static const struct {
        const char* name;
        vasqsim::FaultKind kind;
    } kinds[] = {{"no-answer", vasqsim::FaultKind::NoAnswer},
                 {"bad-checksum", vasqsim::FaultKind::BadChecksum},
                 {"status", vasqsim::FaultKind::Status},
                 {"delay", vasqsim::FaultKind::Delay},
                 {"garbage", vasqsim::FaultKind::Garbage}};
    for (const auto& k : kinds) {
        if (strcmp(text, k.name) == 0) {
            kind = k.kind;
            return true;
        }
    }
    return false;
}

// 0: go on, 1: help or version printed, 2: error.
int ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--") == 0) {
            options.command.assign(argv + i + 1, argv + argc);
            if (options.command.empty())
                return Fail("missing command after", "--") ? 0 : 2;
            options.command.push_back(nullptr);
            return 0;
        }
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(kUsage, stdout);
            return 1;
        }
        if (strcmp(arg, "--version") == 0) {
            // The release it belongs to; it serves the programs of that release.
            fputs("vasq-sim " VASQ_SIM_VERSION ", libvasq " VASQ_SIM_VERSION ", interface " VASQ_SIM_INTERFACE "\n",
                  stdout);
            return 1;
        }
        if (strcmp(arg, "--cooked") == 0) {
            options.settings = vasqsim::PortSettings::Cooked;
            continue;
        }
        if (strcmp(arg, "--paced") == 0) {
            options.paced = true;
            continue;
        }
        if (strcmp(arg, "--ignore-start-during-test") == 0) {
            options.ignoreStartDuringTest = true;
            continue;
        }
        if (strcmp(arg, "--verbose") == 0 || strcmp(arg, "-v") == 0) {
            options.verbose = true;
            continue;
        }
        if (i + 1 >= argc || strncmp(arg, "--", 2) != 0)
            return Fail(i + 1 >= argc && strncmp(arg, "--", 2) == 0 ? "missing value for" : "unknown option", arg)
                       ? 0
                       : 2;
        const char* value = argv[++i];
        bool ok = true;
        if (strcmp(arg, "--dir") == 0) {
            options.folder = value;
        } else if (strcmp(arg, "--port") == 0) {
            ok = ParseInt(value, 0, 4095, options.port) || Fail("bad port number", value);
        } else if (strcmp(arg, "--serial") == 0) {
            ok = ParseSerial(value, options) || Fail("bad serial (GROUP-INDEX, 0-255 and 0-9999)", value);
        } else if (strcmp(arg, "--firmware") == 0) {
            ok = ParseNumbers(value, '.', options.firmware, 3) || Fail("bad firmware version (A.B.C)", value);
        } else if (strcmp(arg, "--hardware") == 0) {
            ok = ParseNumbers(value, '.', options.hardware, 2) || Fail("bad hardware version (A.B)", value);
        } else if (strcmp(arg, "--unit") == 0) {
            if (strcasecmp(value, "mmHg") == 0)
                options.unit = 0;
            else if (strcasecmp(value, "kPa") == 0)
                options.unit = 1;
            else
                ok = Fail("bad unit (mmHg or kPa)", value);
        } else if (strcmp(arg, "--statuses") == 0) {
            ok = ParseStatuses(value, options.statuses) || Fail("bad status list", value);
        } else if (strcmp(arg, "--samples") == 0) {
            if (strcmp(value, "waveform") == 0)
                options.samples = vasqsim::SampleMode::Waveform;
            else if (strcmp(value, "counter") == 0)
                options.samples = vasqsim::SampleMode::Counter;
            else
                ok = Fail("bad sample mode (waveform or counter)", value);
        } else if (strcmp(arg, "--counter-from") == 0) {
            ok = ParseInt(value, 0, 65535, options.counterFrom) || Fail("bad counter start (0-65535)", value);
        } else if (strcmp(arg, "--fault") == 0) {
            options.faulty = true;
            ok = ParseFault(value, options.fault) || Fail("unknown fault", value);
        } else if (strcmp(arg, "--dut-leak") == 0) {
            ok = ParseReal(value, 0.0, 400.0, options.dutLeak) || Fail("bad leak (0-400)", value);
        } else if (strcmp(arg, "--dut-valve") == 0) {
            ok = ParseReal(value, 0.1, 400.0, options.dutValve) || Fail("bad valve pressure (0.1-400)", value);
        } else if (strcmp(arg, "--fault-every") == 0) {
            ok = ParseInt(value, 1, 1000000, options.faultEvery) || Fail("bad fault period", value);
        } else {
            ok = Fail("unknown option", arg);
        }
        if (!ok)
            return 2;
    }
    return 0;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string NodeName(const std::string& folder, int port)
{
    return folder + "/ttyACM" + std::to_string(port);
}

void PrintFrame(FILE* out, const vasqsim::Frame& frame)
{
    fprintf(out, "%c/%u", frame.category >= 0x20 && frame.category < 0x7F ? frame.category : '?', frame.command);
    fprintf(out, " status %u, %zu bytes", frame.status, frame.payload.size());
    const size_t shown = std::min<size_t>(frame.payload.size(), 32);
    for (size_t i = 0; i < shown; ++i)
        fprintf(out, "%s%02X", i == 0 ? ": " : " ", frame.payload[i]);
    if (shown < frame.payload.size())
        fputs(" ...", out);
}

void PrintExchange(const vasqsim::Frame& request, const std::optional<vasqsim::Frame>& answer, bool spoilt)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[16];
    strftime(stamp, sizeof(stamp), "%H:%M:%S", &local);
    // One call per line keeps lines whole when the output is a pipe.
    char* text = nullptr;
    size_t size = 0;
    FILE* line = open_memstream(&text, &size);
    if (line == nullptr)
        return;
    fprintf(line, "%s.%03ld  <- ", stamp, now.tv_nsec / 1000000);
    PrintFrame(line, request);
    fputs("\n              -> ", line);
    if (answer)
        PrintFrame(line, *answer);
    else
        fputs("(no answer)", line);
    if (spoilt)
        fputs("  [spoilt by --fault]", line);
    fputc('\n', line);
    fclose(line);
    fwrite(text, 1, size, stdout);
    fflush(stdout);
    free(text);
}

std::string PreloadHelper()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        return {};
    std::string path(self, static_cast<size_t>(n));
    path.erase(path.rfind('/') + 1);
    const std::string beside = path + "libvasq-sim-folder.so";
    if (access(beside.c_str(), R_OK) == 0)
        return beside;
    return path + VASQ_SIM_HELPER_DIR "/libvasq-sim-folder.so";
}

// The file VASQ_LIBRARY names, as an absolute path fit for LD_PRELOAD; empty
// when it names none; false with a message when it cannot be preloaded.
bool NamedLibrary(std::string& library)
{
    library.clear();
    const char* named = getenv("VASQ_LIBRARY");
    if (named == nullptr || named[0] == '\0')
        return true;
    char* real = realpath(named, nullptr);
    if (real == nullptr) {
        fprintf(stderr, "vasq-sim: VASQ_LIBRARY=%s: %s\n", named, strerror(errno));
        return false;
    }
    library = real;
    free(real);
    struct stat st;
    if (stat(library.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "vasq-sim: VASQ_LIBRARY=%s: not a library file\n", named);
        return false;
    }
    // LD_PRELOAD separates its entries with colons and spaces.
    if (library.find_first_of(": \t\n") != std::string::npos) {
        fprintf(stderr, "vasq-sim: VASQ_LIBRARY=%s: a path with a colon or a space cannot be preloaded\n", named);
        return false;
    }
    return true;
}

// Starts the command with the device's folder made known to its libvasq. When
// VASQ_LIBRARY names a library, that file is preloaded ahead of the helper, so
// it is the one copy in the command: the helper's, the program's and a later
// dlopen of libvasq.so.1 all resolve to it by its SONAME, and the helper checks
// that it is.
pid_t StartCommand(const Options& options, const std::string& library, const sigset_t& blocked)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (strncmp(*e, "LD_PRELOAD=", 11) != 0 && strncmp(*e, "VASQ_SIM_FOLDER=", 16) != 0 &&
            strncmp(*e, "VASQ_SIM_LIBRARY=", 17) != 0)
            env.emplace_back(*e);
    }
    if (options.folder != "/dev" || !library.empty()) {
        // What was preloaded already (a sanitizer's runtime) stays first.
        std::string preload;
        if (const char* old = getenv("LD_PRELOAD"); old != nullptr && old[0] != '\0')
            preload = std::string(old) + ":";
        if (!library.empty())
            preload += library + ":";
        preload += PreloadHelper();
        env.push_back("LD_PRELOAD=" + preload);
        if (options.folder != "/dev")
            env.push_back("VASQ_SIM_FOLDER=" + options.folder);
        if (!library.empty())
            env.push_back("VASQ_SIM_LIBRARY=" + library);
    }
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &blocked);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const int error = posix_spawnp(&child, options.command[0], nullptr, &attr, options.command.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (error != 0) {
        fprintf(stderr, "vasq-sim: cannot run %s: %s\n", options.command[0], strerror(error));
        return -1;
    }
    return child;
}

void Configure(vasqsim::DeviceModel& model, const Options& options)
{
    model.identity[4] = static_cast<uint8_t>(options.serialIndex & 0xFF);
    model.identity[5] = static_cast<uint8_t>(options.serialIndex >> 8);
    model.identity[6] = static_cast<uint8_t>(options.serialGroup);
    model.identity[8] = static_cast<uint8_t>(options.hardware[0]);
    model.identity[9] = static_cast<uint8_t>(options.hardware[1]);
    for (int i = 0; i < 3; ++i)
        model.identity[10 + i] = static_cast<uint8_t>(options.firmware[i]);
    model.deviceSettings[1] = static_cast<uint8_t>(options.unit);
    model.scriptedStatuses.assign(options.statuses.begin(), options.statuses.end());
    model.ignoresStartDuringTest = options.ignoreStartDuringTest;
    model.sampleMode = options.samples;
    model.counterBase = static_cast<uint16_t>(options.counterFrom);
    // The model keeps the monitor's figures in mmHg, as it keeps the cuff.
    const double toMmhg = options.unit == 1 ? 1.0 / 0.133322 : 1.0;
    if (options.dutLeak >= 0.0)
        model.dutLeakMmhg = options.dutLeak * toMmhg;
    if (options.dutValve > 0.0)
        model.dutValveMmhg = options.dutValve * toMmhg;
}

vasqsim::Fault MakeFault(const Options& options)
{
    vasqsim::Fault fault(options.fault);
    fault.after = options.faultEvery - 1;
    fault.delayMs = 1500;  // past the library's read timeout
    fault.bytes = {0x00, 0xFF, 0x55};
    return fault;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    const int parsed = ParseOptions(argc, argv, options);
    if (parsed != 0)
        return parsed == 1 ? 0 : 2;
    // Checked before the device appears, as a wrong option is.
    std::string library;
    if (!options.command.empty() && !NamedLibrary(library))
        return 127;
    if (options.folder.empty())
        options.folder = access("/dev", W_OK) == 0 ? "/dev" : "/tmp/vasq-sim";
    mkdir(options.folder.c_str(), 0755);
    if (options.port < 0) {
        for (int port = 0; port < 128 && options.port < 0; ++port) {
            if (!Exists(NodeName(options.folder, port)))
                options.port = port;
        }
        if (options.port < 0) {
            fprintf(stderr, "vasq-sim: no free ttyACM number in %s\n", options.folder.c_str());
            return 1;
        }
    } else if (Exists(NodeName(options.folder, options.port))) {
        fprintf(stderr, "vasq-sim: %s already exists; choose another --port\n",
                NodeName(options.folder, options.port).c_str());
        return 1;
    }

    // Blocked before the device's threads start, so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::atomic<unsigned long> requests{0};
    vasqsim::SimDevice device(options.folder, options.port, false, options.settings);
    device.SetLogging(false);
    device.SetPacing(options.paced);
    device.WithModel([&](vasqsim::DeviceModel& model) { Configure(model, options); });
    if (options.faulty)
        device.InjectFault(MakeFault(options));
    device.SetTrace([&](const vasqsim::Frame& request, const std::optional<vasqsim::Frame>& answer) {
        const unsigned long count = ++requests;
        if (options.faulty && count % static_cast<unsigned long>(options.faultEvery) == 0)
            device.InjectFault(MakeFault(options));
        if (options.verbose)
            PrintExchange(request, answer, options.faulty && count % static_cast<unsigned long>(options.faultEvery) == 0);
    });
    if (!device.Plug()) {
        fprintf(stderr, "vasq-sim: cannot create %s: %s\n", device.NodePath().c_str(), strerror(errno));
        return 1;
    }
    if (options.command.empty()) {
        printf("%s\n", device.NodePath().c_str());
        fflush(stdout);
    } else {
        fprintf(stderr, "vasq-sim: a simulated Vasq9 on %s\n", device.NodePath().c_str());
    }

    pid_t child = -1;
    if (!options.command.empty()) {
        child = StartCommand(options, library, stopSignals);
        if (child < 0)
            return 127;
    }
    int exitCode = 0;
    for (;;) {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (signal == SIGCHLD) {
            int status = 0;
            if (child > 0 && waitpid(child, &status, WNOHANG) == child) {
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            continue;
        }
        if (child > 0) {
            // The command ends first, so that it never sees its device vanish.
            kill(child, SIGTERM);
            int status = 0;
            waitpid(child, &status, 0);
        }
        // Serving alone, an interrupt is the normal end.
        exitCode = child > 0 ? 128 + signal : 0;
        break;
    }
    device.SetTrace(nullptr);
    return exitCode;
}
