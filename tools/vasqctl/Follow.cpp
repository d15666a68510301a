#include "Follow.h"

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "Cli.h"
#include "Instrument.h"

namespace vasqctl {

namespace {

using Clock = std::chrono::steady_clock;

struct Line {
    VasqStatus status;
    double seconds;
    std::string text;
    Json fields;
};

// Reports of a running test, gathered from the worker thread for the main thread to print.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Line> lines;
    VasqStatus last = STATUS_NONE;
    bool completed = false;
    // A report after the first says STATUS_NONE: the instrument does not run this test.
    bool notRunning = false;
    size_t count = 0;
    Clock::time_point start = Clock::now();
};
Reports g_reports;

double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void PrintReport(const char* what, const Line& line)
{
    if (g_json) {
        Json report;
        report["event"] = "report";
        report["test"] = what;
        report["time"] = Quantity(line.seconds, "s", 1);
        report["status"] = StatusName(line.status);
        report["status_value"] = static_cast<int>(line.status);
        for (const auto& [key, value] : line.fields.items())
            report[key] = value;
        PrintJson(report);
        return;
    }
    if (line.text.empty())
        printf("%7.1f s  %s\n", line.seconds, StatusName(line.status));
    else
        printf("%7.1f s  %-11s  %s\n", line.seconds, StatusName(line.status), line.text.c_str());
}

void PrintEnd(const char* what, const char* outcome, bool stopped)
{
    if (g_json) {
        Json end;
        end["event"] = "ended";
        end["test"] = what;
        end["outcome"] = outcome;
        end["stopped"] = stopped;
        PrintJson(end);
    }
}

}  // namespace

double SecondsSinceStart()
{
    std::lock_guard<std::mutex> lock(g_reports.mutex);
    return Since(g_reports.start);
}

void Report(VasqStatus status, const std::string& text, Json fields)
{
    {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        g_reports.lines.push_back({status, Since(g_reports.start), text, std::move(fields)});
        g_reports.last = status;
        if (status == STATUS_COMPLETED)
            g_reports.completed = true;
        if (status == STATUS_NONE && g_reports.count > 0)
            g_reports.notRunning = true;
        ++g_reports.count;
    }
    g_reports.changed.notify_all();
}

int StartTest(const char* what, const Json& settings, bool wait, const std::function<bool()>& start)
{
    // A test another vasqctl left running ends first: an instrument may ignore a start during a test and
    // go on with the one it runs, whose results would then pass for this test's.
    VasqStopTest();
    {
        std::lock_guard<std::mutex> lock(g_reports.mutex);
        g_reports.start = Clock::now();
    }
    if (!start()) {
        Failure("starting the %s", what);
        VasqFree();
        return kExitFailure;
    }
    if (g_json) {
        Json started;
        started["event"] = "started";
        started["test"] = what;
        started["serial_number"] = VasqGetSerialNumber();
        started["settings"] = settings;
        started["following"] = wait;
        PrintJson(started);
    }
    if (!wait && !Ended()) {
        // Leaving without VasqFree: the library then sends nothing more, so the test carries on.
        if (!g_json)
            printf("%s started on %s; it keeps running (stop it with 'vasqctl stop')\n", what, VasqGetSerialNumber());
        return FlushOutput() ? kExitSuccess : kExitInterrupted;
    }
    // A progress line would hide the log's lines.
    const bool progress = isatty(STDERR_FILENO) != 0 && g_verbosity == 0;
    bool completed = false;
    bool notRunning = false;
    bool lost = false;
    while (!Ended() && !completed && !notRunning) {
        std::vector<Line> lines;
        VasqStatus last;
        Clock::time_point started;
        {
            std::unique_lock<std::mutex> lock(g_reports.mutex);
            g_reports.changed.wait_for(lock, std::chrono::milliseconds(200),
                                       [] { return !g_reports.lines.empty() || Ended(); });
            lines.swap(g_reports.lines);
            last = g_reports.last;
            completed = g_reports.completed;
            notRunning = g_reports.notRunning;
            started = g_reports.start;
        }
        if (progress)
            fputs("\r\033[K", stderr);
        for (const auto& line : lines)
            PrintReport(what, line);
        if (!FlushOutput() || OutputGone())
            break;
        if (!completed && InstrumentLost()) {
            lost = true;
            break;
        }
        if (progress && !completed)
            fprintf(stderr, "  %s: %s, %.0f s (Ctrl-C stops it)", what, StatusName(last), Since(started));
    }
    if (progress)
        fputs("\r\033[K", stderr);
    // Said before the release, which may wait for the library's search to end.
    if (lost) {
        PrintEnd(what, "lost", false);
        FlushOutput();
        const int code = Lost(what);
        VasqStopTest();
        VasqFree();
        return code;
    }
    VasqStopTest();
    VasqFree();
    if (notRunning && !completed) {
        if (g_json)
            PrintEnd(what, "not running", true);
        FlushOutput();
        Error("the instrument is not running the %s (it did not take the start, or went idle); "
              "no result of it was read (-v shows the library's reason)",
              what);
        return kExitFailure;
    }
    if (g_signal != 0) {
        if (g_json)
            PrintEnd(what, "interrupted", true);
        else
            printf("%s stopped\n", what);
        FlushOutput();
        return kExitInterrupted;
    }
    if (g_outputClosed)
        return kExitInterrupted;
    if (g_json)
        PrintEnd(what, "completed", true);
    else
        printf("%s completed and stopped\n", what);
    return FlushOutput() ? kExitSuccess : kExitInterrupted;
}

}  // namespace vasqctl
