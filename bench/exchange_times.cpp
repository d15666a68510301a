// Measures, through the exported functions against a simulated Vasq9 that
// sends its answers at 115200 baud (served by a child process): the round trip
// of one exchange and the time to start a customised BP test with its 360-point
// (mmHg) and 479-point (kPa) envelope, each against its wire time, and the time
// of a connect/free cycle. Prints the median and range of several runs.
//
//   exchange_times [runs]
//
// The wire time is what the bytes this process read from and wrote to the port
// during the call take at 115200 baud, 8N1 (ten bits a byte). The simulator
// paces only its answers; a pseudo-terminal hands it each request at once.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "Figures.h"
#include "ForkedDevice.h"
#include "vasq.h"
#include "vasq_service.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kByteMs = 10.0 * 1000.0 / 115200.0;

double MsSince(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Bytes this process has read plus written so far (rchar + wchar), -1 when unknown.
long long IoBytes()
{
    long long total = 0;
    int found = 0;
    if (FILE* file = fopen("/proc/self/io", "r")) {
        char name[32];
        long long value;
        while (fscanf(file, "%31s %lld", name, &value) == 2) {
            if (strcmp(name, "rchar:") == 0 || strcmp(name, "wchar:") == 0) {
                total += value;
                ++found;
            }
        }
        fclose(file);
    }
    return found == 2 ? total : -1;
}

struct Timed {
    std::vector<double> ms;
    long long bytes = -1;  // the fewest seen: a worker's first poll may fall inside a measurement

    void Add(double elapsedMs, long long ioBytes)
    {
        ms.push_back(elapsedMs);
        if (ioBytes >= 0 && (bytes < 0 || ioBytes < bytes))
            bytes = ioBytes;
    }
};

// Reports the times, the wire time of the fewest bytes and each run's ratio to it.
void ReportAgainstWire(const std::string& what, const Timed& timed, double perCall = 1.0)
{
    const double wireMs = timed.bytes >= 0 ? timed.bytes / perCall * kByteMs : 0.0;
    char target[64];
    snprintf(target, sizeof(target), "wire time %.2f ms", wireMs);
    Report(what.c_str(), timed.ms, "ms", target);
    std::vector<double> ratio;
    if (wireMs > 0.0) {
        for (double ms : timed.ms)
            ratio.push_back(ms / wireMs);
    }
    Report((what + " / wire time").c_str(), ratio, "x", "<= 1.05 x");
}

void NoReport(VasqStatus, double, double, double, double) {}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 7;
    const int exchangesPerRun = runs < 5 ? 20 : 50;
    const std::string folder = MakeBenchFolder();
    if (folder.empty() || runs < 1)
        return 1;
    int result = 1;
    {
        ForkedDevice device(folder, [](vasqsim::DeviceModel&) {}, true);
        SetDeviceFoldersForTesting(folder.c_str(), folder.c_str());
        Timed exchange, start360, start479;
        std::vector<double> cycle;
        bool ok = device.ready();
        for (int i = 0; ok && i < runs; ++i) {
            const auto started = Clock::now();
            ok = VasqConnect(0, 5000);
            VasqFree();
            cycle.push_back(MsSince(started));
        }
        ok = ok && VasqConnect(0, 5000);
        unsigned char record[64];
        for (int i = 0; ok && i < runs; ++i) {
            const long long before = IoBytes();
            const auto started = Clock::now();
            for (int k = 0; ok && k < exchangesPerRun; ++k)
                ok = VasqReadMfgInfo(record, sizeof(record)) == 1;
            const double ms = MsSince(started) / exchangesPerRun;
            exchange.Add(ms, before >= 0 ? IoBytes() - before : -1);
        }
        for (int unit : {0, 1}) {
            ok = ok && VasqSetPressureUnit(unit) == 1;
            Timed& timed = unit == 0 ? start360 : start479;
            for (int i = 0; ok && i < runs; ++i) {
                // The device's own customised set, in the unit just chosen.
                BPEnvelopeCustomized custom{};
                ok = VasqGetEnvelopeParam(BP_METHOD_CUSTOMIZED, &custom) == 1;
                custom.eMethod = BP_METHOD_CUSTOMIZED;
                const long long before = IoBytes();
                const auto started = Clock::now();
                ok = ok && VasqRunBPTest(&custom, NoReport) == 1;
                const double ms = MsSince(started);
                timed.Add(ms, before >= 0 ? IoBytes() - before : -1);
                VasqStopTest();
            }
        }
        VasqSetPressureUnit(0);
        VasqFree();
        SetDeviceFoldersForTesting(nullptr, nullptr);
        if (!ok) {
            fprintf(stderr, "exchange_times: no simulated device, or a call failed\n");
        } else {
            // exchange.bytes covers a whole run of exchanges.
            ReportAgainstWire("exchange round trip, paced (VasqReadMfgInfo)", exchange, exchangesPerRun);
            ReportAgainstWire("start a customised BP test, 360 points", start360);
            ReportAgainstWire("start a customised BP test, 479 points", start479);
            Report("connect/free cycle, paced (VasqConnect + VasqFree)", cycle, "ms", "<= 100 ms");
            result = 0;
        }
    }
    RemoveBenchFolder(folder);
    return result;
}
