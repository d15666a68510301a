// Measures, through the exported functions and simulated Vasq9s on
// pseudo-terminals: the time to connect, to notice an unplug while idle and
// while an exchange runs, to reconnect after a plug-in, and to connect with 8
// silent foreign-looking ports ahead of the device; and the time, processor
// time and system calls of one exchange against a minimal C client doing the
// same reads and writes on the same port. Prints the median and range of
// several runs (7 by default).
//
//   presence_times [runs]
//
// System calls are counted with strace when it is installed.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimDevice.h"
#include "vasq.h"
#include "vasq_service.h"
#include "ConnectionChanges.h"

namespace {

double MsSince(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// The sysfs hook exists only in libraries that skip foreign ports.
void SetSysfsRoot(const char* root)
{
    using SetRoot = void (*)(const char*);
    static const auto set = reinterpret_cast<SetRoot>(dlsym(RTLD_DEFAULT, "_Z22SetSysfsRootForTestingPKc"));
    if (set != nullptr)
        set(root);
}

void WriteText(const std::string& path, const char* text)
{
    if (FILE* file = fopen(path.c_str(), "w")) {
        fputs(text, file);
        fclose(file);
    }
}

// Marks ttyACM<port> in a fake sysfs tree as another maker's USB serial adapter.
void PublishForeignIds(const std::string& root, int port)
{
    const std::string usb = root + "/devices/usb1/1-" + std::to_string(port);
    const std::string interface = usb + "/1-" + std::to_string(port) + ":1.0";
    const std::string tty = root + "/class/tty/ttyACM" + std::to_string(port);
    for (const std::string& folder :
         {root + "/devices", root + "/devices/usb1", usb, interface, root + "/class", root + "/class/tty", tty})
        mkdir(folder.c_str(), 0755);
    if (symlink(interface.c_str(), (tty + "/device").c_str()) != 0)
        return;
    WriteText(usb + "/idVendor", "0403\n");
    WriteText(usb + "/idProduct", "6001\n");
}

// ---- one exchange: the library against a minimal C client ----

struct ExchangeFigures {
    double wallUs;
    double cpuUs;
};

double ProcessCpuUs()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_sec * 1e6 + usage.ru_stime.tv_usec;
}

// The manufacturing-record read, 'S' 1 without payload, answered by a 71-byte frame.
const uint8_t kRequest[7] = {'S', 'S', 1, 0, 0, static_cast<uint8_t>(0u - ('S' + 'S' + 1 + 'E')), 'E'};

bool ClientExchange(int fd)
{
    if (write(fd, kRequest, sizeof(kRequest)) != static_cast<ssize_t>(sizeof(kRequest)))
        return false;
    uint8_t frame[1024];
    size_t got = 0;
    size_t wanted = 7;
    while (got < wanted) {
        pollfd in = {fd, POLLIN, 0};
        if (poll(&in, 1, 1000) <= 0)
            return false;
        const ssize_t n = read(fd, frame + got, sizeof(frame) - got);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
        if (got >= 4)
            wanted = frame[3] + 7u;
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < wanted; ++i)
        sum = static_cast<uint8_t>(sum + frame[i]);
    return sum == 0 && frame[4] == 0;
}

void IgnoreLogLine(int, const char*, void*) {}

// Runs count exchanges in this process and prints "wall_us cpu_us". A logged
// run is the library's with a debug-level log callback that does nothing.
int RunExchanges(bool library, bool logged, int count, const char* folder)
{
    int fd = -1;
    if (logged)
        VasqSetLogCallback(IgnoreLogLine, VASQ_LOG_DEBUG, nullptr);
    if (library) {
        SetDeviceFoldersForTesting(folder, folder);
        if (!VasqConnect(-1, 5000))
            return 1;
    } else {
        fd = open((std::string(folder) + "/ttyACM0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio;
        if (fd < 0 || tcgetattr(fd, &tio) != 0)
            return 1;
        cfmakeraw(&tio);
        cfsetospeed(&tio, B115200);
        tcsetattr(fd, TCSANOW, &tio);
    }
    unsigned char record[16];
    const double cpuStart = ProcessCpuUs();
    const auto started = Clock::now();
    for (int i = 0; i < count; ++i) {
        const bool ok = library ? VasqReadMfgInfo(record, sizeof(record)) == 1 : ClientExchange(fd);
        if (!ok)
            return 1;
    }
    const double wallUs = MsSince(started) * 1000.0;
    const double cpuUs = ProcessCpuUs() - cpuStart;
    printf("%f %f\n", count > 0 ? wallUs / count : 0.0, count > 0 ? cpuUs / count : 0.0);
    if (library)
        VasqFree();
    else
        close(fd);
    return 0;
}

// Runs this program in exchange mode, under strace when asked; returns its output.
std::string RunChild(const char* self, bool library, int count, const char* folder, const char* straceOut,
                     bool logged = false)
{
    std::string command;
    if (straceOut != nullptr)
        command = std::string("strace -f -qq -c -o ") + straceOut + " ";
    command += std::string(self) + " --exchanges " + (logged ? "logged " : library ? "library " : "client ") +
               std::to_string(count) + " " + folder;
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof(line), pipe) != nullptr)
            output += line;
        pclose(pipe);
    }
    return output;
}

// The total of strace's summary table.
long StraceTotal(const char* path)
{
    long total = -1;
    if (FILE* file = fopen(path, "r")) {
        char line[512];
        while (fgets(line, sizeof(line), file) != nullptr) {
            if (strstr(line, " total") == nullptr)
                continue;
            double percent, seconds;
            long usecs, calls;
            if (sscanf(line, "%lf %lf %ld %ld", &percent, &seconds, &usecs, &calls) == 4)
                total = calls;
        }
        fclose(file);
    }
    return total;
}

void MeasureExchanges(const char* self, int runs, const char* folder)
{
    constexpr int kExchanges = 2000;
    std::vector<double> libWall, libCpu, clientWall, clientCpu, loggedWall, loggedCpu;
    for (int run = 0; run < runs; ++run) {
        for (int mode = 0; mode < 3; ++mode) {
            const bool library = mode != 1;
            const bool logged = mode == 2;
            ExchangeFigures figures{};
            const std::string out = RunChild(self, library, kExchanges, folder, nullptr, logged);
            if (sscanf(out.c_str(), "%lf %lf", &figures.wallUs, &figures.cpuUs) != 2)
                continue;
            (logged ? loggedWall : library ? libWall : clientWall).push_back(figures.wallUs);
            (logged ? loggedCpu : library ? libCpu : clientCpu).push_back(figures.cpuUs);
        }
    }
    // Runs alternate, so the ratio of each pair cancels most of a changing load.
    std::vector<double> wallRatio, cpuRatio, loggedWallRatio, loggedCpuRatio;
    for (size_t i = 0; i < std::min(libWall.size(), clientWall.size()); ++i) {
        wallRatio.push_back(libWall[i] / clientWall[i]);
        cpuRatio.push_back(libCpu[i] / clientCpu[i]);
    }
    for (size_t i = 0; i < std::min(loggedWall.size(), clientWall.size()); ++i) {
        loggedWallRatio.push_back(loggedWall[i] / clientWall[i]);
        loggedCpuRatio.push_back(loggedCpu[i] / clientCpu[i]);
    }
    Report("exchange, library (wall)", libWall, "us", "ratio below");
    Report("exchange, minimal C client (wall)", clientWall, "us", "reference");
    Report("exchange, library (processor)", libCpu, "us", "ratio below");
    Report("exchange, minimal C client (processor)", clientCpu, "us", "reference");
    Report("exchange, library / C client (wall)", wallRatio, "x", "<= 1.05 x");
    Report("exchange, library / C client (processor)", cpuRatio, "x", "<= 1.05 x");
    Report("exchange, library with a debug log callback that does nothing / C client (wall)", loggedWallRatio, "x",
           "for information");
    Report("exchange, library with a debug log callback that does nothing / C client (processor)", loggedCpuRatio,
           "x", "for information");
    if (system("command -v strace >/dev/null 2>&1") != 0) {
        printf("system calls per exchange: strace is not installed\n");
        return;
    }
    const std::string trace = std::string(folder) + "/strace.out";
    double clientCalls = -1.0;
    for (bool library : {false, true}) {
        // Calls of the run's own setting up and ending are the difference to a run without exchanges.
        RunChild(self, library, 0, folder, trace.c_str());
        const long baseline = StraceTotal(trace.c_str());
        RunChild(self, library, kExchanges, folder, trace.c_str());
        const long total = StraceTotal(trace.c_str());
        const double calls = baseline >= 0 && total >= 0 ? static_cast<double>(total - baseline) / kExchanges : -1.0;
        const char* what = library ? "system calls per exchange, library" : "system calls per exchange, C client";
        printf("%-44s %.2f\n", what, calls);
        char target[64] = "reference";
        if (library)
            snprintf(target, sizeof(target), "<= C client's (%.2f)", clientCalls);
        else
            clientCalls = calls;
        ReportOnce(what, calls, "calls", target);
    }
    unlink(trace.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "--exchanges") == 0)
        return RunExchanges(strcmp(argv[2], "client") != 0, strcmp(argv[2], "logged") == 0, atoi(argv[3]), argv[4]);
    const int runs = argc > 1 ? atoi(argv[1]) : 7;
    char folderTemplate[] = "/tmp/vasq-bench-XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr || runs < 1)
        return 1;
    const std::string sysfs = std::string(folder) + "/sys";
    mkdir(sysfs.c_str(), 0755);
    SetDeviceFoldersForTesting(folder, folder);
    std::vector<double> connect, lossIdle, lossBusy, reconnect, foreignConnect;
    {
        vasqsim::SimDevice device(folder, 0);
        for (int i = 0; i < runs; ++i) {
            const auto started = Clock::now();
            if (!VasqConnect(-1, 5000))
                return 1;
            connect.push_back(MsSince(started));
            VasqFree();
        }
        VasqInit(OnConnection);
        if (WaitForChange(1, Clock::now()) < 0)
            return 1;
        for (int i = 0; i < runs; ++i) {
            // Unplug at a different point of the monitor's cycle each time.
            usleep(static_cast<useconds_t>(200000 + 397000 * i % 1700000));
            int changes = Changes();
            auto unplugged = Clock::now();
            device.Unplug();
            const double lostIdle = WaitForChange(++changes, unplugged);
            // Plug in at a different point of the search's pause each time.
            usleep(static_cast<useconds_t>(100000 + 131000 * i % 900000));
            auto plugged = Clock::now();
            device.Plug();
            const double back = WaitForChange(++changes, plugged);

            // Unplugged while another thread exchanges without pause.
            std::atomic<bool> stop{false};
            std::thread busy([&] {
                unsigned char record[16];
                while (!stop)
                    VasqReadMfgInfo(record, sizeof(record));
            });
            usleep(static_cast<useconds_t>(300000 + 97000 * i % 500000));
            unplugged = Clock::now();
            device.Unplug();
            const double lostBusy = WaitForChange(++changes, unplugged);
            stop = true;
            busy.join();
            plugged = Clock::now();
            device.Plug();
            if (lostIdle < 0 || back < 0 || lostBusy < 0 || WaitForChange(++changes, plugged) < 0) {
                fprintf(stderr, "run %d: a connection change did not come (%.1f %.1f %.1f)\n", i, lostIdle, back,
                        lostBusy);
                return 1;
            }
            fprintf(stderr, "run %d: unplug noticed idle %.1f ms, busy %.1f ms; reconnect %.1f ms\n", i, lostIdle,
                    lostBusy, back);
            lossIdle.push_back(lostIdle);
            lossBusy.push_back(lostBusy);
            reconnect.push_back(back);
        }
        VasqFree();
    }
    {
        // Eight silent ports that the system marks as another maker's, then the device.
        SetSysfsRoot(sysfs.c_str());
        std::vector<std::unique_ptr<vasqsim::SimDevice>> silent;
        for (int port = 0; port < 8; ++port) {
            silent.push_back(std::make_unique<vasqsim::SimDevice>(folder, port));
            PublishForeignIds(sysfs, port);
        }
        vasqsim::SimDevice device(folder, 8);
        for (int i = 0; i < runs; ++i) {
            for (auto& port : silent)
                port->InjectFault({vasqsim::FaultKind::NoAnswer});
            const auto started = Clock::now();
            if (!VasqConnect(-1, 20000))
                return 1;
            foreignConnect.push_back(MsSince(started));
            VasqFree();
        }
        SetSysfsRoot(nullptr);
    }
    {
        vasqsim::SimDevice device(folder, 0);
        Report("connect (VasqConnect)", connect, "ms", "<= 100 ms");
        Report("notice an unplug, idle", lossIdle, "ms", "<= 100 ms");
        Report("notice an unplug, during exchanges", lossBusy, "ms", "<= 100 ms");
        Report("reconnect after plug-in", reconnect, "ms", "<= 100 ms");
        Report("connect, 8 silent foreign ports first", foreignConnect, "ms", "<= 100 ms");
        MeasureExchanges(argv[0], runs, folder);
    }
    char remove[128];
    snprintf(remove, sizeof(remove), "rm -rf %s", folder);
    return system(remove) == 0 ? 0 : 1;
}
