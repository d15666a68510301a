// Simulated Vasq9s driven at once, each sampling (counting its samples) while
// a static-pressure run holds, in three ways:
//   1. one process with N devices (VasqOpenDevice): samples per second, gaps,
//      repeats, burst spacing, the library's processor time per device, the
//      process's threads and memory;
//   2. N processes, each with the default device (VasqConnect): the same
//      figures in all, against the first;
//   3. one process with eight devices, one of which is unplugged and plugged
//      back on another port: the others' gaps, the time to reconnect.
// Parts 1 and 2 run with 8, 16 and 32 instruments (up to the largest count
// asked for), then a table sets them side by side. Each instrument is a
// vasq-sim process of its own, so no simulator's work is counted as the library's.
// Usage: multi_device [seconds per part] [largest count: 8, 16 or 32]
//        multi_device --devices N seconds   (only the first part, with N devices)
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Figures.h"
#include "vasq.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxDevices = 32;
// The replug part's instruments.
constexpr int kDevices = 8;
constexpr int kSpareNode = kMaxDevices;  // where the unplugged device comes back
// Each instrument counts from a base of its own, so that a sample delivered to
// the wrong device shows as a jump.
constexpr int kCounterSpacing = 65536 / kMaxDevices;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Millis(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double ProcessCpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

long StatusKb(const char* field)
{
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long value = -1;
    const size_t length = strlen(field);
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, field, length) == 0 && line[length] == ':') {
            value = atol(line + length + 1);
            break;
        }
    }
    fclose(f);
    return value;
}

int ThreadCount()
{
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

// Processor time of another process, in seconds: the sum over its threads of
// the scheduler's run time, which counts in nanoseconds where /proc/PID/stat
// counts in clock ticks (10 ms, more than a simulator uses in seconds).
double OtherProcessCpuSeconds(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return 0.0;
    double seconds = 0.0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (FILE* f = fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r")) {
            unsigned long long ns = 0;
            if (fscanf(f, "%llu", &ns) == 1)
                seconds += ns / 1e9;
            fclose(f);
        }
    }
    closedir(dir);
    return seconds;
}

// Context switches of all the process's threads: each is a thread that went
// to sleep, so they count the wake-ups, which processor time on a shared
// machine shows only roughly.
long ProcessSwitches()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// One instrument's stream, checked as it arrives (on the device's sampling
// thread; read by the main thread once sampling has stopped, or through the
// atomics while it runs).
struct Stream {
    long last = -1;
    long gaps = 0;
    long repeats = 0;
    Clock::time_point lastTime;
    Clock::time_point burstStart;
    std::vector<double> spacing;  // ms between the first samples of successive bursts
    std::atomic<long> samples{0};
    std::atomic<long> lastValue{-1};
    // Set by the main thread before sampling starts again after a loss: the
    // burst spacing across the loss is not a spacing.
    std::atomic<bool> resumed{false};
    std::atomic<int64_t> firstAfterResumeNs{0};
    std::atomic<long> testReports{0};
    std::atomic<int> lastStatus{-1};

    void Add(double pressure)
    {
        const Clock::time_point now = Clock::now();
        const long value = ((std::lround(pressure * 10.0) % 65536) + 65536) % 65536;
        const bool afterResume = resumed.exchange(false);
        if (afterResume)
            firstAfterResumeNs.store(now.time_since_epoch().count());
        if (last >= 0) {
            // The counter wraps at 16 bits.
            const long step = ((value - last) % 65536 + 65536) % 65536;
            if (step == 0 || step > 32768)
                ++repeats;
            else if (step > 1)
                gaps += step - 1;
        }
        // Ten samples come back to back; 20 ms of quiet means a new burst.
        if (last < 0 || now - lastTime > std::chrono::milliseconds(20)) {
            if (last >= 0 && !afterResume)
                spacing.push_back(Millis(now - burstStart));
            burstStart = now;
        }
        last = value;
        lastTime = now;
        lastValue.store(value, std::memory_order_relaxed);
        samples.fetch_add(1, std::memory_order_relaxed);
    }
};

void OnDeviceSample(double pressure, void* context)
{
    static_cast<Stream*>(context)->Add(pressure);
}

void OnDeviceStatic(VasqStatus status, double, int, void* context)
{
    auto* stream = static_cast<Stream*>(context);
    stream->testReports.fetch_add(1, std::memory_order_relaxed);
    stream->lastStatus.store(status, std::memory_order_relaxed);
}

// A vasq-sim process serving one instrument.
class SimProcess {
public:
    // Starts it and waits for its node; false if it did not come up.
    bool Start(const std::string& folder, int port, int serialIndex, int counterFrom)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, out[1]);
        const std::string portText = std::to_string(port);
        const std::string serial = "7-" + std::to_string(serialIndex);
        const std::string counter = std::to_string(counterFrom);
        // The run waits for a stable pressure, then holds until stopped.
        const char* argv[] = {VASQ_SIM_PROGRAM, "--dir",      folder.c_str(),  "--port",    portText.c_str(),
                              "--serial",       serial.c_str(), "--samples",   "counter",   "--counter-from",
                              counter.c_str(),  "--statuses", "13,13,13,13,13,12", nullptr};
        const int error = posix_spawn(&m_pid, VASQ_SIM_PROGRAM, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (error != 0) {
            fprintf(stderr, "multi_device: cannot run %s: %s\n", VASQ_SIM_PROGRAM, strerror(error));
            close(out[0]);
            m_pid = -1;
            return false;
        }
        // The node's path, printed once it is ready.
        char line[PATH_MAX];
        size_t length = 0;
        char c;
        while (length + 1 < sizeof(line) && read(out[0], &c, 1) == 1 && c != '\n')
            line[length++] = c;
        close(out[0]);
        return length > 0;
    }
    double CpuSeconds() const { return m_pid > 0 ? OtherProcessCpuSeconds(m_pid) : 0.0; }
    // Ends it; it removes its node first.
    void Stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    ~SimProcess() { Stop(); }

private:
    pid_t m_pid = -1;
};

std::string MakeFolder()
{
    char name[] = "/tmp/vasq-bench-XXXXXX";
    return mkdtemp(name) != nullptr ? name : "";
}

void RemoveFolder(const std::string& folder)
{
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                unlink((folder + "/" + entry->d_name).c_str());
        }
        closedir(dir);
    }
    rmdir(folder.c_str());
}

// Starts the instruments on ports 0 to count - 1, serials 7-100 up.
bool StartSimulators(const std::string& folder, SimProcess* sims, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!sims[i].Start(folder, i, 100 + i, i * kCounterSpacing)) {
            fprintf(stderr, "multi_device: simulator %d did not start\n", i);
            return false;
        }
    }
    return true;
}

double SimulatorsCpu(const SimProcess* sims, int count)
{
    double cpu = 0.0;
    for (int i = 0; i < count; ++i)
        cpu += sims[i].CpuSeconds();
    return cpu;
}

bool StartLoad(VasqDevice* device, Stream& stream)
{
    return VasqDeviceRunStaticPressure(device, 100.0, -1, OnDeviceStatic, &stream, false) == 1 &&
           VasqDeviceStartSampling(device, OnDeviceSample, &stream) == 1;
}

// Lines of the library's log at warning level or worse (losses noticed,
// packets dropped, late answers), kept for the report.
std::mutex g_logMutex;
std::vector<std::string> g_warnings;
long g_warningCount = 0;

void OnLog(int, const char* message, void*)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_warnings.size() < 20)
        g_warnings.push_back(message);
    ++g_warningCount;
}

void PrintWarnings()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    printf("   library warnings       %ld\n", g_warningCount);
    for (const std::string& line : g_warnings)
        printf("     %s\n", line.c_str());
    g_warnings.clear();
    g_warningCount = 0;
}

// A part's folder of nodes, with the library pointed at it and its warnings
// gathered (OnLog).
std::string BeginPart()
{
    const std::string folder = MakeFolder();
    SetDeviceFoldersForTesting(folder.c_str(), folder.c_str());
    VasqSetLogCallback(OnLog, VASQ_LOG_WARNING, nullptr);
    return folder;
}

// Once the simulators have gone.
void EndPart(const std::string& folder)
{
    VasqSetLogCallback(nullptr, 0, nullptr);
    SetDeviceFoldersForTesting(nullptr, nullptr);
    RemoveFolder(folder);
}

void CloseAll(VasqDevice** devices, int count)
{
    for (int i = 0; i < count; ++i) {
        if (devices[i] != nullptr)
            VasqCloseDevice(devices[i]);
    }
}

// Read once sampling has stopped.
struct Totals {
    long gaps = 0;
    long repeats = 0;
    std::vector<double> spacing;
};

Totals Sum(const Stream* streams, int count, int skip = -1)
{
    Totals t;
    for (int i = 0; i < count; ++i) {
        if (i == skip)
            continue;
        t.gaps += streams[i].gaps;
        t.repeats += streams[i].repeats;
        t.spacing.insert(t.spacing.end(), streams[i].spacing.begin(), streams[i].spacing.end());
    }
    return t;
}

// What parts 1 and 2 measured, for the table that sets the counts side by side.
struct ScaleFigures {
    bool ok = false;
    int count = 0;
    double cpuSeconds = 0.0;
    long switches = 0;
    double wall = 0.0;
    long rssKb = 0;
    int threads = 0;
    double samplesPerSecond = 0.0;  // per device
    long gaps = 0;
    long repeats = 0;
    double p99 = 0.0;
    double CpuPerDevice() const { return wall > 0.0 && count > 0 ? 100.0 * cpuSeconds / wall / count : 0.0; }
};

// Part 1: one process, count devices.
ScaleFigures OneProcess(double seconds, int count)
{
    ScaleFigures figures;
    figures.count = count;
    const std::string folder = BeginPart();
    {
        SimProcess sims[kMaxDevices];
        Stream streams[kMaxDevices];
        VasqDevice* devices[kMaxDevices] = {};
        bool ready = StartSimulators(folder, sims, count);
        for (int i = 0; ready && i < count; ++i) {
            streams[i].spacing.reserve(static_cast<size_t>(seconds * 20) + 100);
            devices[i] = VasqOpenDevice(i, 5000);
            ready = devices[i] != nullptr && StartLoad(devices[i], streams[i]);
            if (!ready)
                fprintf(stderr, "multi_device: device %d did not open or start\n", i);
        }
        if (ready) {
            long before[kMaxDevices];
            for (int i = 0; i < count; ++i)
                before[i] = streams[i].samples.load();
            const long switchesBefore = ProcessSwitches();
            const double cpuBefore = ProcessCpuSeconds();
            const double simBefore = SimulatorsCpu(sims, count);
            const auto start = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            figures.cpuSeconds = ProcessCpuSeconds() - cpuBefore;
            figures.switches = ProcessSwitches() - switchesBefore;
            figures.wall = Seconds(Clock::now() - start);
            const double simCpu = SimulatorsCpu(sims, count) - simBefore;
            long inWindow[kMaxDevices];
            long allInWindow = 0;
            for (int i = 0; i < count; ++i) {
                inWindow[i] = streams[i].samples.load() - before[i];
                allInWindow += inWindow[i];
            }
            figures.rssKb = StatusKb("VmRSS");
            figures.threads = ThreadCount();
            long holding = 0;
            for (int i = 0; i < count; ++i) {
                VasqDeviceStopSampling(devices[i]);
                holding += streams[i].lastStatus.load() == STATUS_HOLDING ? 1 : 0;
            }
            const Totals t = Sum(streams, count);
            const double perDevice = figures.CpuPerDevice();
            figures.samplesPerSecond = allInWindow / figures.wall / count;
            figures.gaps = t.gaps;
            figures.repeats = t.repeats;
            figures.p99 = Percentile(t.spacing, 0.99);
            printf("\n1. One process, %d devices (VasqOpenDevice), %.1f s\n", count, figures.wall);
            printf("   %-6s %10s %8s %8s %10s %10s %8s\n", "device", "samples/s", "gaps", "repeats", "p50 ms",
                   "p99 ms", "reports");
            // Beyond eight, the devices with the fewest samples and the widest spacing stand for the rest.
            int fewest = 0, widest = 0;
            for (int i = 0; i < count; ++i) {
                if (inWindow[i] < inWindow[fewest])
                    fewest = i;
                if (Percentile(streams[i].spacing, 0.99) > Percentile(streams[widest].spacing, 0.99))
                    widest = i;
            }
            for (int i = 0; i < count; ++i) {
                if (count > 8 && i != fewest && i != widest)
                    continue;
                printf("   %-6d %10.1f %8ld %8ld %10.2f %10.2f %8ld\n", i, inWindow[i] / figures.wall,
                       streams[i].gaps, streams[i].repeats, Percentile(streams[i].spacing, 0.5),
                       Percentile(streams[i].spacing, 0.99), streams[i].testReports.load());
            }
            printf("   %-6s %10.1f %8ld %8ld %10.2f %10.2f   (targets: 200.0, 0, 0, p99 within 5 of 50)\n", "all",
                   allInWindow / figures.wall / count, t.gaps, t.repeats, Percentile(t.spacing, 0.5),
                   Percentile(t.spacing, 0.99));
            printf("   static-pressure runs holding at the end: %ld of %d\n", holding, count);
            printf("   library CPU            %.3f s = %.2f %% of one core, %.3f %% per device (target <= 0.6 %%)\n",
                   figures.cpuSeconds, 100.0 * figures.cpuSeconds / figures.wall, perDevice);
            printf("   context switches       %.0f per second per device\n", figures.switches / figures.wall / count);
            printf("   simulators' CPU        %.3f s (other processes, not counted)\n", simCpu);
            printf("   threads                %d\n", figures.threads);
            printf("   resident memory        %ld kB\n", figures.rssKb);
            PrintWarnings();
            const std::string label = std::to_string(count) + " devices, one process: ";
            ReportOnce((label + "samples per second per device").c_str(), allInWindow / figures.wall / count,
                       "/s", "200 /s");
            ReportOnce((label + "missing samples").c_str(), static_cast<double>(t.gaps), "samples", "0");
            ReportOnce((label + "repeated samples").c_str(), static_cast<double>(t.repeats), "samples", "0");
            ReportOnce((label + "p99 burst spacing").c_str(), Percentile(t.spacing, 0.99), "ms",
                       "within 5 ms of 50 ms");
            ReportOnce((label + "library CPU per device").c_str(), perDevice, "% core", "<= 0.6 % core");
            ReportOnce((label + "threads").c_str(), figures.threads, "threads", "");
            ReportOnce((label + "resident memory").c_str(), figures.rssKb / 1024.0, "MiB", "");
            ReportOnce((label + "context switches per device").c_str(), figures.switches / figures.wall / count, "/s",
                       "");
            figures.ok = true;
        }
        CloseAll(devices, count);
    }
    EndPart(folder);
    return figures;
}

// What one process of part 2 reports on its stdout: one line of figures, then
// one line with the spacing of its bursts.
struct ChildFigures {
    double cpuSeconds = 0.0;
    long switches = 0;
    double wall = 0.0;
    long rssKb = 0;
    int threads = 0;
    long samples = 0;
    long gaps = 0;
    long repeats = 0;
};

Stream g_defaultStream;

void OnSample(double pressure)
{
    g_defaultStream.Add(pressure);
}

void OnStatic(VasqStatus status, double, int)
{
    g_defaultStream.testReports.fetch_add(1);
    g_defaultStream.lastStatus.store(status);
}

// One process of part 2: the default device on the given port.
int SingleDevice(const char* folder, int port, double seconds)
{
    SetDeviceFoldersForTesting(folder, folder);
    int result = 1;
    g_defaultStream.spacing.reserve(static_cast<size_t>(seconds * 20) + 100);
    if (!VasqConnect(port, 5000) || VasqRunStaticPressure(100.0, -1, OnStatic, false) != 1 ||
        VasqStartSampling(OnSample) != 1) {
        fprintf(stderr, "multi_device: port %d: no device, or the run or sampling did not start\n", port);
    } else {
        const long before = g_defaultStream.samples.load();
        const long switchesBefore = ProcessSwitches();
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        ChildFigures f;
        f.cpuSeconds = ProcessCpuSeconds() - cpuBefore;
        f.switches = ProcessSwitches() - switchesBefore;
        f.wall = Seconds(Clock::now() - start);
        f.rssKb = StatusKb("VmRSS");
        f.threads = ThreadCount();
        VasqStopSampling();
        f.samples = g_defaultStream.samples.load() - before;
        f.gaps = g_defaultStream.gaps;
        f.repeats = g_defaultStream.repeats;
        printf("%.6f %.6f %ld %d %ld %ld %ld %ld\n", f.cpuSeconds, f.wall, f.rssKb, f.threads, f.samples, f.gaps,
               f.repeats, f.switches);
        for (double ms : g_defaultStream.spacing)
            printf("%.3f ", ms);
        printf("\n");
        result = 0;
    }
    VasqFree();
    return result;
}

// All a child printed, until it ends.
std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// Part 2: count processes, each with the default device.
ScaleFigures ManyProcesses(double seconds, int count, const ScaleFigures& one)
{
    ScaleFigures figures;
    figures.count = count;
    const std::string folder = MakeFolder();
    {
        SimProcess sims[kMaxDevices];
        if (StartSimulators(folder, sims, count)) {
            char self[PATH_MAX];
            const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
            self[n > 0 ? n : 0] = '\0';
            const std::string secondsText = std::to_string(seconds);
            pid_t pids[kMaxDevices] = {};
            int outputs[kMaxDevices];
            std::fill(outputs, outputs + kMaxDevices, -1);
            for (int i = 0; i < count; ++i) {
                int out[2];
                if (pipe2(out, O_CLOEXEC) != 0)
                    break;
                posix_spawn_file_actions_t actions;
                posix_spawn_file_actions_init(&actions);
                posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
                posix_spawn_file_actions_addclose(&actions, out[0]);
                posix_spawn_file_actions_addclose(&actions, out[1]);
                const std::string port = std::to_string(i);
                const char* argv[] = {self, "--single", folder.c_str(), port.c_str(), secondsText.c_str(), nullptr};
                if (posix_spawn(&pids[i], self, &actions, nullptr, const_cast<char**>(argv), environ) != 0)
                    pids[i] = -1;
                posix_spawn_file_actions_destroy(&actions);
                close(out[1]);
                outputs[i] = out[0];
            }
            const double simBefore = SimulatorsCpu(sims, count);
            ChildFigures sum;
            // Each child's rate over its own window: the windows start apart.
            double rates = 0.0;
            std::vector<double> spacing;
            int reported = 0;
            for (int i = 0; i < count; ++i) {
                const std::string text = outputs[i] >= 0 ? ReadAll(outputs[i]) : std::string();
                if (outputs[i] >= 0)
                    close(outputs[i]);
                int status = 1;
                if (pids[i] > 0)
                    waitpid(pids[i], &status, 0);
                ChildFigures f;
                if (status == 0 && sscanf(text.c_str(), "%lf %lf %ld %d %ld %ld %ld %ld", &f.cpuSeconds, &f.wall,
                                          &f.rssKb, &f.threads, &f.samples, &f.gaps, &f.repeats, &f.switches) == 8) {
                    ++reported;
                    sum.cpuSeconds += f.cpuSeconds;
                    sum.wall = std::max(sum.wall, f.wall);
                    sum.rssKb += f.rssKb;
                    sum.threads += f.threads;
                    sum.samples += f.samples;
                    rates += f.wall > 0.0 ? f.samples / f.wall : 0.0;
                    sum.gaps += f.gaps;
                    sum.repeats += f.repeats;
                    sum.switches += f.switches;
                    const size_t newline = text.find('\n');
                    const char* at = newline == std::string::npos ? "" : text.c_str() + newline + 1;
                    char* end = nullptr;
                    for (double ms = strtod(at, &end); end != at; ms = strtod(at, &end)) {
                        spacing.push_back(ms);
                        at = end;
                    }
                }
            }
            const double simCpu = SimulatorsCpu(sims, count) - simBefore;
            if (reported == count && sum.wall > 0.0) {
                figures.ok = true;
                figures.cpuSeconds = sum.cpuSeconds;
                figures.switches = sum.switches;
                figures.wall = sum.wall;
                figures.rssKb = sum.rssKb;
                figures.threads = sum.threads;
                figures.samplesPerSecond = rates / count;
                figures.gaps = sum.gaps;
                figures.repeats = sum.repeats;
                figures.p99 = Percentile(spacing, 0.99);
                const double cpuPercent = 100.0 * sum.cpuSeconds / sum.wall;
                const std::string many = std::to_string(count) + " processes";
                printf("\n2. %d processes, one default device each (VasqConnect), %.1f s\n", count, sum.wall);
                printf("   %-28s %14s %14s %8s\n", "", "one process", many.c_str(), "ratio");
                if (one.ok) {
                    const double onePercent = 100.0 * one.cpuSeconds / one.wall;
                    printf("   %-28s %12.2f %% %12.2f %% %8.2f\n", "library CPU, % of one core", onePercent,
                           cpuPercent, cpuPercent / onePercent);
                    printf("   %-28s %11ld kB %11ld kB %8.2f\n", "resident memory (VmRSS)", one.rssKb, sum.rssKb,
                           static_cast<double>(sum.rssKb) / one.rssKb);
                    printf("   %-28s %14d %14d %8.2f\n", "threads", one.threads, sum.threads,
                           static_cast<double>(sum.threads) / one.threads);
                    const double oneSwitches = one.switches / one.wall;
                    const double manySwitches = sum.switches / sum.wall;
                    printf("   %-28s %14.0f %14.0f %8.2f\n", "context switches per second", oneSwitches,
                           manySwitches, manySwitches / oneSwitches);
                    ReportOnce((many + " against one: CPU ratio").c_str(), cpuPercent / onePercent, "x", "");
                    ReportOnce((many + " against one: memory ratio").c_str(),
                               static_cast<double>(sum.rssKb) / one.rssKb, "x", "");
                }
                printf("   samples per second per device %.1f, gaps %ld, repeats %ld, p99 burst spacing %.2f ms\n",
                       figures.samplesPerSecond, sum.gaps, sum.repeats, figures.p99);
                printf("   simulators' CPU        %.3f s (not counted)\n", simCpu);
                ReportOnce((many + ": library CPU per device").c_str(), figures.CpuPerDevice(), "% core", "");
                ReportOnce((many + ": resident memory in all").c_str(), sum.rssKb / 1024.0, "MiB", "");
                ReportOnce((many + ": missing samples").c_str(), static_cast<double>(sum.gaps), "samples", "0");
                ReportOnce((many + ": p99 burst spacing").c_str(), figures.p99, "ms", "within 5 ms of 50 ms");
            } else {
                fprintf(stderr, "multi_device: %d of %d processes reported\n", reported, count);
            }
        }
    }
    RemoveFolder(folder);
    return figures;
}

// Parts 1 and 2 for each count, side by side.
void PrintScale(const std::vector<ScaleFigures>& rows)
{
    printf("\nScale: one process with N devices against N processes with one each\n");
    printf("   %-22s %10s %6s %8s %8s %12s %8s %10s\n", "", "samples/s", "gaps", "repeats", "p99 ms",
           "CPU/device", "threads", "memory");
    for (size_t i = 0; i + 1 < rows.size(); i += 2) {
        for (size_t j = i; j < i + 2; ++j) {
            const ScaleFigures& r = rows[j];
            const std::string what = std::to_string(r.count) + (j == i ? " devices, 1 process" : " processes");
            if (!r.ok) {
                printf("   %-22s (did not run)\n", what.c_str());
                continue;
            }
            printf("   %-22s %10.1f %6ld %8ld %8.2f %10.3f %% %8d %7.1f MiB\n", what.c_str(), r.samplesPerSecond,
                   r.gaps, r.repeats, r.p99, r.CpuPerDevice(), r.threads, r.rssKb / 1024.0);
        }
    }
    printf("   (targets: 200 samples/s, 0 gaps, 0 repeats, p99 within 5 ms of 50; CPU per device at 32 no more "
           "than at 8)\n");
}

struct ConnectionChange {
    bool connected;
    Clock::time_point time;
};

std::mutex g_changesMutex;
std::condition_variable g_changed;
std::vector<ConnectionChange> g_changes[kDevices];

void OnConnection(bool connected, void* context)
{
    const auto index = reinterpret_cast<intptr_t>(context);
    std::lock_guard<std::mutex> lock(g_changesMutex);
    g_changes[index].push_back({connected, Clock::now()});
    g_changed.notify_all();
}

// The time of the device's first change to connected (or lost) after since.
bool WaitForChange(int index, bool connected, Clock::time_point since, double seconds, Clock::time_point& when)
{
    std::unique_lock<std::mutex> lock(g_changesMutex);
    return g_changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        for (const ConnectionChange& change : g_changes[index]) {
            if (change.connected == connected && change.time >= since) {
                when = change.time;
                return true;
            }
        }
        return false;
    });
}

// Part 3: one device unplugged and plugged back on another port.
bool Replug(double seconds)
{
    constexpr int kReplugged = 3;
    bool ok = false;
    const std::string folder = BeginPart();
    {
        SimProcess sims[kDevices];
        SimProcess comeback;
        Stream streams[kDevices];
        VasqDevice* devices[kDevices] = {};
        bool ready = StartSimulators(folder, sims, kDevices);
        for (int i = 0; ready && i < kDevices; ++i) {
            streams[i].spacing.reserve(static_cast<size_t>(seconds * 20) + 100);
            devices[i] = VasqOpenDevice(i, 5000);
            ready = devices[i] != nullptr &&
                    VasqDeviceSetConnectionCallback(devices[i], OnConnection, reinterpret_cast<void*>(intptr_t{i})) == 1 &&
                    StartLoad(devices[i], streams[i]);
        }
        if (!ready)
            fprintf(stderr, "multi_device: the devices did not open or start\n");
        long othersBefore = 0;
        for (int i = 0; i < kDevices; ++i)
            othersBefore += i == kReplugged ? 0 : streams[i].samples.load();
        const auto start = Clock::now();
        double lossMs = -1.0;
        double reconnectMs = -1.0;
        double resumeMs = -1.0;
        double outage = 0.0;
        long beforeLoss = 0;
        Clock::time_point unplugged;
        if (ready) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 4));
            unplugged = Clock::now();
            sims[kReplugged].Stop();
            Clock::time_point lost;
            if (WaitForChange(kReplugged, false, unplugged, 10.0, lost))
                lossMs = Millis(lost - unplugged);
            beforeLoss = streams[kReplugged].samples.load();
            // Off the bus for a second, then back on a port of its own with the same serial;
            // its count goes on from the last sample delivered, so that a sample lost shows.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long next = (streams[kReplugged].lastValue.load() + 1) % 65536;
            const auto pluggedBack = Clock::now();
            Clock::time_point reconnected;
            if (!comeback.Start(folder, kSpareNode, 100 + kReplugged, static_cast<int>(next))) {
                fprintf(stderr, "multi_device: the replugged simulator did not start\n");
            } else if (!WaitForChange(kReplugged, true, pluggedBack, 20.0, reconnected)) {
                fprintf(stderr, "multi_device: the unplugged device did not come back\n");
            } else {
                reconnectMs = Millis(reconnected - pluggedBack);
                outage = Seconds(reconnected - unplugged);
                // Sampling and the run end with the loss; the application starts them again.
                streams[kReplugged].resumed.store(true);
                if (StartLoad(devices[kReplugged], streams[kReplugged])) {
                    const auto until = Clock::now() + std::chrono::seconds(5);
                    while (streams[kReplugged].firstAfterResumeNs.load() == 0 && Clock::now() < until)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (streams[kReplugged].firstAfterResumeNs.load() != 0)
                        resumeMs = Millis(Clock::time_point(Clock::duration(streams[kReplugged].firstAfterResumeNs.load())) -
                                          reconnected);
                } else {
                    fprintf(stderr, "multi_device: sampling or the run did not start again\n");
                }
            }
            const auto end = start + std::chrono::duration<double>(seconds);
            if (Clock::now() < end)
                std::this_thread::sleep_until(end);
            const double wall = Seconds(Clock::now() - start);
            long othersDelivered = -othersBefore;
            for (int i = 0; i < kDevices; ++i)
                othersDelivered += i == kReplugged ? 0 : streams[i].samples.load();
            for (int i = 0; i < kDevices; ++i)
                VasqDeviceStopSampling(devices[i]);
            const Totals others = Sum(streams, kDevices, kReplugged);
            const Stream& back = streams[kReplugged];
            printf("\n3. One process, %d devices, device %d unplugged after %.1f s and back 1 s later on port %d, "
                   "%.1f s\n",
                   kDevices, kReplugged, seconds / 4, kSpareNode, wall);
            printf("   the other %d: %.1f samples/s each, gaps %ld, repeats %ld, p99 burst spacing %.2f ms\n",
                   kDevices - 1, othersDelivered / wall / (kDevices - 1), others.gaps, others.repeats,
                   Percentile(others.spacing, 0.99));
            printf("   device %d: loss noticed after %.0f ms, reconnected %.0f ms after its node came back,\n"
                   "             first sample %.0f ms after the reconnection; %ld samples before the loss, %ld after;\n"
                   "             gaps %ld, repeats %ld (its count goes on across the replug), %.1f s without samples\n",
                   kReplugged, lossMs, reconnectMs, resumeMs, beforeLoss, back.samples.load() - beforeLoss, back.gaps,
                   back.repeats, outage + resumeMs / 1000.0);
            printf("   port of device %d now: %d\n", kReplugged, VasqDeviceGetPortNumber(devices[kReplugged]));
            long othersChanges = 0;
            {
                std::lock_guard<std::mutex> lock(g_changesMutex);
                for (int i = 0; i < kDevices; ++i) {
                    for (const ConnectionChange& change : g_changes[i]) {
                        // Expected: the replugged device's loss and return, nothing else.
                        if (i == kReplugged && change.time >= unplugged)
                            continue;
                        if (change.time >= unplugged)
                            ++othersChanges;
                        printf("   device %d reported %s at %+.3f s%s\n", i, change.connected ? "connected" : "lost",
                               Seconds(change.time - start),
                               change.time < unplugged ? " (before the unplug, with no loss before it)" : "");
                    }
                }
            }
            printf("   connection changes of the other %d while device %d was replugged: %ld (target 0)\n",
                   kDevices - 1, kReplugged, othersChanges);
            PrintWarnings();
            ReportOnce("replug: the other devices' connection changes", static_cast<double>(othersChanges), "changes",
                       "0");
            ReportOnce("replug: the other devices' missing samples", static_cast<double>(others.gaps), "samples", "0");
            ReportOnce("replug: the other devices' repeated samples", static_cast<double>(others.repeats), "samples",
                       "0");
            if (reconnectMs >= 0.0)
                ReportOnce("replug: time to reconnect after plugging back", reconnectMs, "ms", "<= 100 ms");
            ReportOnce("replug: the replugged device's missing samples", static_cast<double>(back.gaps), "samples",
                       "0");
            ok = reconnectMs >= 0.0;
        }
        CloseAll(devices, kDevices);
    }
    EndPart(folder);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "--single") == 0)
        return SingleDevice(argv[2], atoi(argv[3]), atof(argv[4]));
    // Only the first part, with 1 to 32 devices: how the library's cost grows with them.
    if (argc == 4 && strcmp(argv[1], "--devices") == 0) {
        const int count = atoi(argv[2]);
        if (count < 1 || count > kMaxDevices || atof(argv[3]) <= 0.0) {
            fprintf(stderr, "usage: multi_device --devices 1-%d seconds\n", kMaxDevices);
            return 2;
        }
        return OneProcess(atof(argv[3]), count).ok ? 0 : 1;
    }
    const double seconds = argc > 1 ? atof(argv[1]) : 60.0;
    const int largest = argc > 2 ? atoi(argv[2]) : kMaxDevices;
    if (seconds <= 0.0 || argc > 3 || (largest != 8 && largest != 16 && largest != 32)) {
        fprintf(stderr, "usage: multi_device [seconds per part] [largest count: 8, 16 or 32] | --devices 1-%d seconds\n",
                kMaxDevices);
        return 2;
    }
    // Each instrument is a vasq-sim process, and part 2 adds as many of its own.
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    printf("multi_device: simulated Vasq9s (vasq-sim processes), sampling in counter mode while a static-pressure run "
           "holds on each; %.0f s a part, 8 to %d instruments\n",
           seconds, largest);
    fflush(stdout);
    std::vector<ScaleFigures> rows;
    bool ok = true;
    for (int count = 8; count <= largest; count *= 2) {
        const ScaleFigures one = OneProcess(seconds, count);
        const ScaleFigures many = ManyProcesses(seconds, count, one);
        ok = ok && one.ok && many.ok;
        rows.push_back(one);
        rows.push_back(many);
        fflush(stdout);
    }
    PrintScale(rows);
    const bool replugged = Replug(seconds);
    return ok && replugged ? 0 : 1;
}
