// Sampling against the simulated Vasq9 counting its samples: samples per second,
// gaps and repeats, and the spacing of the ten-sample bursts (p50, p99, max).
// Usage: sampling_cadence [seconds]
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "Figures.h"
#include "ForkedDevice.h"
#include "vasq.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    Clock::time_point time;
    long count;
};

// Written only by the sampling thread until the stop has joined it.
std::vector<Sample> g_samples;

void OnSample(double pressure)
{
    if (g_samples.size() < g_samples.capacity())
        g_samples.push_back({Clock::now(), std::lround(pressure * 10.0)});
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 30.0;
    const std::string folder = MakeBenchFolder();
    g_samples.reserve(static_cast<size_t>(seconds * 400) + 1000);
    int result = 1;
    {
        ForkedDevice device(folder, [](vasqsim::DeviceModel& m) { m.sampleMode = vasqsim::SampleMode::Counter; });
        SetDeviceFoldersForTesting(folder.c_str(), folder.c_str());
        if (!device.ready() || !VasqConnect(0, 5000) || VasqStartSampling(OnSample) != 1) {
            fprintf(stderr, "sampling_cadence: no simulated device or no sampling\n");
        } else {
            const auto start = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            VasqStopSampling();
            const double wall = std::chrono::duration<double>(Clock::now() - start).count();
            long gaps = 0;
            long repeats = 0;
            std::vector<double> spacing;
            for (size_t i = 1; i < g_samples.size(); ++i) {
                // The counter wraps at 16 bits, and samples are signed.
                const long step = ((g_samples[i].count - g_samples[i - 1].count) % 65536 + 65536) % 65536;
                if (step == 0 || step > 32768)
                    ++repeats;
                else if (step > 1)
                    gaps += step - 1;
                if (i % 10 == 0)
                    spacing.push_back(
                        std::chrono::duration<double, std::milli>(g_samples[i].time - g_samples[i - 10].time).count());
            }
            printf("sampling_cadence: %.1f s of sampling\n", wall);
            printf("  samples per second     %.1f (target 200.0)\n", g_samples.size() / wall);
            printf("  missing samples (gaps) %ld\n", gaps);
            printf("  repeated samples       %ld\n", repeats);
            printf("  burst spacing ms       p50 %.2f  p99 %.2f  max %.2f (target p99 within 5 of 50)\n",
                   Percentile(spacing, 0.5), Percentile(spacing, 0.99),
                   spacing.empty() ? 0.0 : *std::max_element(spacing.begin(), spacing.end()));
            ReportOnce("samples per second", g_samples.size() / wall, "/s", "200 /s");
            ReportOnce("missing samples", static_cast<double>(gaps), "samples", "0");
            ReportOnce("repeated samples", static_cast<double>(repeats), "samples", "0");
            Report("spacing of ten-sample bursts", spacing, "ms", "50 ms, p99 within 5 ms");
            result = 0;
        }
        VasqFree();
        SetDeviceFoldersForTesting(nullptr, nullptr);
    }
    RemoveBenchFolder(folder);
    return result;
}
