#include "Instrument.h"

#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Cli.h"

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

}  // namespace

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
