// sample: the live cuff pressure, as labelled lines, a CSV table or JSON lines.
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "Commands.h"
#include "Instrument.h"
#include "Output.h"

namespace vasqctl {

namespace {

using Clock = std::chrono::steady_clock;

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

// Beyond this the sample count would not fit its type.
constexpr double kMaxSampleSeconds = 1e6;
// Samples come in tenths of a mmHg or hundredths of a kPa: two places show both.
constexpr int kPressureDecimals = 2;

int RunSample(std::vector<std::string>& args)
{
    TakeJson(args);
    const bool csv = TakeFlag(args, "--csv");
    const bool every = csv || g_json;
    double seconds = every ? 2.0 : 0.0;
    if (!TakeNumber(args, "--seconds", seconds) || !NoneLeft(args))
        return kExitUsage;
    if (csv && g_json) {
        Error("sample: --csv and --json each print every sample; give one of them");
        return kExitUsage;
    }
    // 0 samples until interrupted.
    if (seconds < 0 || seconds > kMaxSampleSeconds) {
        Error("--seconds takes 0 (until interrupted) to %.0f seconds", kMaxSampleSeconds);
        return kExitUsage;
    }
    if (int rc = Connect())
        return rc;
    if (!VasqStartSampling(OnSample)) {
        Failure("starting the pressure stream");
        VasqFree();
        return kExitFailure;
    }
    const char* unit = UnitName(g_unit);
    const double rate = VasqGetSampleRate();
    const double period = 1.0 / rate;
    const long wanted = std::lround(seconds * rate);
    const bool progress = every && isatty(STDERR_FILENO) != 0 && g_verbosity == 0;
    if (csv)
        printf("time_s,pressure_%s\n", unit);
    long index = 0;
    const auto start = Clock::now();
    bool lost = false;
    while (!Ended() && (seconds <= 0 || index < wanted)) {
        std::vector<double> got;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        {
            std::lock_guard<std::mutex> lock(g_samples.mutex);
            got.swap(g_samples.values);
        }
        if (seconds > 0 && index + static_cast<long>(got.size()) > wanted)
            got.resize(static_cast<size_t>(wanted - index));
        for (double value : got) {
            const double time = index * period;
            if (csv) {
                printf("%.3f,%s\n", time, CsvNumber(value, kPressureDecimals).c_str());
            } else if (g_json) {
                Json sample;
                sample["time"] = Quantity(time, "s", 3);
                sample["pressure"] = Quantity(value, unit, kPressureDecimals);
                PrintJson(sample);
            }
            ++index;
        }
        if (!every && !got.empty()) {
            const auto [low, high] = std::minmax_element(got.begin(), got.end());
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            printf("%8.1f s  pressure %8s %s  (last %zu samples: %s to %s %s)\n", elapsed,
                   Fixed(got.back(), kPressureDecimals).c_str(), unit, got.size(),
                   Fixed(*low, kPressureDecimals).c_str(), Fixed(*high, kPressureDecimals).c_str(), unit);
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

}  // namespace

const Command kSampleCommand = {
    "sample",
    "usage: vasqctl [--port N] sample [--seconds N] [--csv | --json]\n"
    "  Streams the instrument's cuff pressure (200 samples/s), in its current unit.\n"
    "  Without --csv or --json: ten lines a second until Ctrl-C or N seconds, each with\n"
    "  the time since the start, the last pressure and the range of the samples since\n"
    "  the line before.\n"
    "  --csv      every sample as 'time_s,pressure_<unit>' for N seconds (default 2)\n"
    "  --json     every sample as a JSON line for N seconds (default 2):\n"
    "             {\"time\": {\"value\": 0.005, \"unit\": \"s\"}, \"pressure\": {\"value\": 0.0, \"unit\": \"mmHg\"}}\n"
    "  --seconds 0 samples until vasqctl is interrupted; at most 1000000.\n",
    RunSample, "seconds: csv json"};

}  // namespace vasqctl
