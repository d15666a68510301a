// Processor time the library uses while a static-pressure run and sampling run
// together against the simulated Vasq9 (served by a child process, so its share
// is not counted). Prints it as % of one core. Usage: worker_cpu [seconds]
#include <stdio.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Figures.h"
#include "ForkedDevice.h"
#include "vasq.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

std::atomic<long> g_samples{0};
std::atomic<long> g_reports{0};

void OnSample(double)
{
    g_samples.fetch_add(1, std::memory_order_relaxed);
}

void OnStatic(VasqStatus, double, int)
{
    g_reports.fetch_add(1, std::memory_order_relaxed);
}

double ProcessCpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 10.0;
    const std::string folder = MakeBenchFolder();
    int result = 1;
    {
        // The run waits for a stable pressure for a second, then holds until stopped.
        ForkedDevice device(folder, [](vasqsim::DeviceModel& m) {
            m.runsStatusSequences = false;
            m.scriptedStatuses = {13, 13, 13, 13, 13, 12};
        });
        SetDeviceFoldersForTesting(folder.c_str(), folder.c_str());
        if (!device.ready() || !VasqConnect(0, 5000)) {
            fprintf(stderr, "worker_cpu: no simulated device\n");
        } else if (VasqRunStaticPressure(100.0, -1, OnStatic, false) != 1 || VasqStartSampling(OnSample) != 1) {
            fprintf(stderr, "worker_cpu: the run or sampling did not start\n");
        } else {
            const double cpuBefore = ProcessCpuSeconds();
            const auto wallBefore = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            const double cpu = ProcessCpuSeconds() - cpuBefore;
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
            VasqStopSampling();
            VasqStopTest();
            printf("worker_cpu: static-pressure worker + sampling for %.1f s\n", wall);
            printf("  library CPU            %.3f s = %.2f %% of one core (target < 1 %%)\n", cpu,
                   100.0 * cpu / wall);
            printf("  samples delivered      %ld (%.1f per second)\n", g_samples.load(), g_samples.load() / wall);
            printf("  test reports           %ld\n", g_reports.load());
            ReportOnce("library processor time, static-pressure run + sampling", 100.0 * cpu / wall, "% core", "< 1 % core");
            ReportOnce("samples delivered while a test runs", g_samples.load() / wall, "/s", "200 /s");
            result = 0;
        }
        VasqFree();
        SetDeviceFoldersForTesting(nullptr, nullptr);
    }
    RemoveBenchFolder(folder);
    return result;
}
