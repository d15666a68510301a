#include "Instrument.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Cli.h"
#include "Output.h"

extern char** environ;

namespace vasqctl {

int g_unit = 0;

namespace {

using Clock = std::chrono::steady_clock;

// A signal does not end the library's wait for a device, so the search runs
// on a thread of its own while vasqctl looks at Ctrl-C this often.
constexpr auto kInterruptPoll = std::chrono::milliseconds(50);
// A search that ends sooner shows no progress line.
constexpr auto kQuietSearch = std::chrono::milliseconds(500);

// Why the search failed, read on the thread that searched: the library keeps
// one reason per thread.
struct SearchOutcome {
    bool found = false;
    int code = VASQ_ERROR_NONE;
    std::string reason;
};

// "searching for a Vasq9 on ttyACM5... 3 s" on a terminal's standard error,
// rewritten as the seconds pass; not with -v, whose log lines it would hide.
class SearchProgress {
public:
    SearchProgress() : shown_(isatty(STDERR_FILENO) != 0 && g_verbosity == 0) {}
    ~SearchProgress() { Clear(); }

    void Update()
    {
        const auto elapsed = Clock::now() - start_;
        if (!shown_ || elapsed < kQuietSearch)
            return;
        const long seconds = static_cast<long>(std::chrono::duration<double>(elapsed).count());
        if (seconds == lastSeconds_)
            return;
        lastSeconds_ = seconds;
        const std::string where = g_port < 0 ? std::string() : Printf(" on ttyACM%d", g_port);
        fprintf(stderr, "\r\033[Ksearching for a Vasq9%s... %ld s of %g s (Ctrl-C stops)", where.c_str(), seconds,
                g_timeoutSeconds);
        fflush(stderr);
        drawn_ = true;
    }

    void Clear()
    {
        if (drawn_)
            fputs("\r\033[K", stderr);
        drawn_ = false;
    }

private:
    const bool shown_;
    const Clock::time_point start_ = Clock::now();
    long lastSeconds_ = -1;
    bool drawn_ = false;
};

// Connected once a Vasq9 is connected within timeoutMs; not at the timeout or
// on Ctrl-C, with nothing left searching.
SearchOutcome FindInstrument(uint32_t timeoutMs)
{
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    SearchOutcome outcome;
    SearchProgress progress;
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
            progress.Update();
            if (!Ended())
                continue;
            // VasqFree ends the wait; repeated, as a first one may come before the search has begun.
            lock.unlock();
            VasqFree();
            lock.lock();
        }
    }
    search.join();
    progress.Clear();
    return outcome;
}

// What `vasqctl list --json` says, run as a child: it reads every instrument's
// serial number and ends without closing them, so that none is told anything
// more (this process could only close them, which stops their tests).
// kExitSuccess with the lines, or the exit code after saying why not.
int ListInstruments(std::string& lines)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0) {
        Error("cannot find vasqctl's own program to list the instruments: %s", strerror(errno));
        return kExitFailure;
    }
    self[length] = '\0';
    std::vector<std::string> args = {"vasqctl", "--timeout", Printf("%g", g_timeoutSeconds)};
    if (!g_deviceFolder.empty())
        args.insert(args.end(), {"--device-folder", g_deviceFolder});
    args.insert(args.end(), {"list", "--json"});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        Error("cannot list the instruments: %s", strerror(errno));
        return kExitFailure;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // Its words are for this process to say.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, self, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        Error("cannot list the instruments: %s", strerror(spawned));
        return kExitFailure;
    }
    lines.clear();
    for (;;) {
        pollfd from{out[0], POLLIN, 0};
        poll(&from, 1, static_cast<int>(kInterruptPoll.count()));
        if (Ended()) {
            kill(child, SIGTERM);
            break;
        }
        char buffer[4096];
        const ssize_t got = read(out[0], buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 && (from.revents & (POLLIN | POLLHUP)) != 0)
            break;
        if (got > 0)
            lines.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (Ended()) {
        Error("interrupted while looking for the instrument");
        return kExitInterrupted;
    }
    return kExitSuccess;
}

// Points g_port at the instrument with the serial number g_serial.
int FindPortOfSerial()
{
    std::string lines;
    if (int rc = ListInstruments(lines))
        return rc;
    std::vector<std::string> seen;
    size_t start = 0;
    for (size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
        const Json line = Json::parse(lines.substr(start, end - start), nullptr, false);
        if (!line.is_object() || !line.contains("port") || !line.contains("serial_number"))
            continue;
        const int port = line["port"].get<int>();
        const std::string serial = line["serial_number"].get<std::string>();
        if (serial == g_serial) {
            g_port = port;
            return kExitSuccess;
        }
        seen.push_back(Printf("ttyACM%d (%s)", port, serial.c_str()));
    }
    std::string where;
    for (const std::string& one : seen)
        where += (where.empty() ? "" : ", ") + one;
    Error("looking for the instrument: no Vasq9 with serial number %s within %g s; %s", g_serial.c_str(),
          g_timeoutSeconds, seen.empty() ? "no Vasq9 was seen on any port" : ("Vasq9s seen: " + where).c_str());
    return kExitNotFound;
}

}  // namespace

int Connect()
{
    if (!g_serial.empty()) {
        if (int rc = FindPortOfSerial())
            return rc;
    }
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
    if (!g_serial.empty() && g_serial != VasqGetSerialNumber()) {
        // Another instrument took its port meanwhile: left as it was, without a word to it.
        Error("looking for the instrument: ttyACM%d now has serial number %s, not %s", g_port, VasqGetSerialNumber(),
              g_serial.c_str());
        return kExitNotFound;
    }
    // 0 is both mmHg and the failure value: only the last error tells them apart.
    g_unit = VasqGetPressureUnit() == 1 ? 1 : 0;
    if (VasqGetLastError() != VASQ_ERROR_NONE) {
        Failure("reading the instrument's unit");
        VasqFree();
        return kExitFailure;
    }
    return kExitSuccess;
}

bool InstrumentLost()
{
    return VasqGetSerialNumber()[0] == '\0';
}

int Lost(const char* what)
{
    Error("the instrument was lost (unplugged or switched off); %s ended there", what);
    return kExitLost;
}

}  // namespace vasqctl
