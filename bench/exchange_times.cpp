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
// paces only its answers; a pseudo-terminal hands it each request at once, so
// the ratio is taken to the answers' share, which the run cannot beat.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

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
// The simulator sleeps 87 us a byte before it sends an answer.
constexpr double kPacedByteMs = 0.087;

double MsSince(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// The bytes this process has read and written so far (rchar, wchar). The
// counters shown do not yet include the read that fetches them.
struct Io {
    long long read = -1;
    long long written = -1;
    long long fetched = 0;
};

Io ReadIo()
{
    Io io;
    const int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return io;
    char text[1024];
    const ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0)
        return io;
    text[n] = '\0';
    io.fetched = n;
    const char* r = strstr(text, "rchar:");
    const char* w = strstr(text, "wchar:");
    if (r == nullptr || w == nullptr)
        return io;
    io.read = atoll(r + 6);
    io.written = atoll(w + 6);
    return io;
}

// What the port carried between two readings, without the first reading's own bytes.
struct PortBytes {
    long long answers = -1;   // read from the port: what the simulator paces
    long long requests = -1;  // written to the port
};

PortBytes Between(const Io& before, const Io& after)
{
    PortBytes bytes;
    if (before.read < 0 || after.read < 0)
        return bytes;
    bytes.answers = after.read - before.read - before.fetched;
    bytes.requests = after.written - before.written;
    return bytes;
}

struct Timed {
    std::vector<double> ms;
    // The fewest seen: a worker's first poll may fall inside a measurement.
    PortBytes bytes;

    void Add(double elapsedMs, const PortBytes& port)
    {
        ms.push_back(elapsedMs);
        if (port.answers >= 0 && (bytes.answers < 0 || port.answers + port.requests < bytes.answers + bytes.requests))
            bytes = port;
    }
};

// Reports the times against the wire time of both directions, and each run's
// ratio to the time the simulator takes to send its answers at 115200 baud.
void ReportAgainstWire(const std::string& what, const Timed& timed, double perCall = 1.0)
{
    const double wireMs = (timed.bytes.answers + timed.bytes.requests) / perCall * kByteMs;
    const double pacedMs = timed.bytes.answers / perCall * kPacedByteMs;
    char target[96];
    snprintf(target, sizeof(target), "wire time %.2f ms both ways, answers %.2f ms", wireMs, pacedMs);
    Report(what.c_str(), timed.bytes.answers >= 0 ? timed.ms : std::vector<double>{}, "ms", target);
    std::vector<double> ratio;
    if (timed.bytes.answers > 0) {
        for (double ms : timed.ms)
            ratio.push_back(ms / pacedMs);
    }
    Report((what + " / answers' wire time").c_str(), ratio, "x", "<= 1.05 x");
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
            const Io before = ReadIo();
            const auto started = Clock::now();
            for (int k = 0; ok && k < exchangesPerRun; ++k)
                ok = VasqReadMfgInfo(record, sizeof(record)) == 1;
            const double ms = MsSince(started) / exchangesPerRun;
            exchange.Add(ms, Between(before, ReadIo()));
        }
        for (int unit : {0, 1}) {
            ok = ok && VasqSetPressureUnit(unit) == 1;
            Timed& timed = unit == 0 ? start360 : start479;
            for (int i = 0; ok && i < runs; ++i) {
                // The device's own customised set, in the unit just chosen.
                BPEnvelopeCustomized custom{};
                ok = VasqGetEnvelopeParam(BP_METHOD_CUSTOMIZED, &custom) == 1;
                custom.eMethod = BP_METHOD_CUSTOMIZED;
                const Io before = ReadIo();
                const auto started = Clock::now();
                ok = ok && VasqRunBPTest(&custom, NoReport) == 1;
                const double ms = MsSince(started);
                timed.Add(ms, Between(before, ReadIo()));
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
