// vasq-soak: runs the library against a simulated Vasq9 for a given time and
// checks that nothing is lost or grows. Sampling runs beside repeated
// static-pressure, BP (default and customised), leakage and overpressure runs;
// between rounds the device is unplugged and plugged in again, or restarts
// itself. Prints the samples received against those the device sent while
// connected, memory, descriptors and threads at start and end, every callback
// sequence out of its order, and last "lost N, grown: none|<what>".
#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimDevice.h"
#include "vasq.h"
#include "vasq_service.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What the callbacks saw; they run on the library's threads.
std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<int> g_reports;           // statuses of the current run
std::vector<bool> g_connections;      // every connection callback
uint64_t g_samplesReceived = 0;
long g_lastSample = -1;
uint64_t g_sampleBreaks = 0;          // a sample that did not follow its predecessor

void OnConnection(bool connected)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_connections.push_back(connected);
    g_changed.notify_all();
}

// The device sends a running sample number; in mmHg each sample is number / 10.
void OnSample(double value)
{
    const long number = std::lround(value * 10.0) & 0xFFFF;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_lastSample >= 0 && number != ((g_lastSample + 1) & 0xFFFF))
        ++g_sampleBreaks;
    g_lastSample = number;
    ++g_samplesReceived;
}

void Report(int status)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_reports.push_back(status);
    g_changed.notify_all();
}

void OnBP(VasqStatus status, double, double, double, double) { Report(status); }
void OnLeakage(VasqStatus status, double, double, int) { Report(status); }
void OnOverpressure(VasqStatus status, double, double, double, double, double, double, double) { Report(status); }
void OnStatic(VasqStatus status, double, int) { Report(status); }

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, timeout, done);
}

int CountEntries(const char* folder)
{
    int count = 0;
    if (DIR* dir = opendir(folder)) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

struct Resources {
    long rssKiB = 0;
    int descriptors = 0;
    int threads = 0;
};

Resources Measure()
{
    Resources r;
    if (FILE* f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof(line), f) != nullptr) {
            if (strncmp(line, "VmRSS:", 6) == 0)
                r.rssKiB = strtol(line + 6, nullptr, 10);
        }
        fclose(f);
    }
    r.descriptors = CountEntries("/proc/self/fd") - 1;  // the listing's own
    r.threads = CountEntries("/proc/self/task");
    return r;
}

const char* StatusName(int status)
{
    static const char* names[] = {"NONE", "WAIT_STABLE", "RUNNING", "HOLDING", "COMPLETED"};
    return status >= 0 && status <= 4 ? names[status] : "?";
}

std::string Sequence(const std::vector<int>& reports)
{
    std::string text;
    for (int s : reports)
        text += (text.empty() ? "" : " ") + std::string(StatusName(s));
    return text;
}

// Phases in the order a run goes through them.
int Phase(int status)
{
    switch (status) {
    case STATUS_NONE:
        return 0;
    case STATUS_WAIT_STABLE:
        return 1;
    case STATUS_RUNNING:
    case STATUS_HOLDING:
        return 2;
    default:
        return 3;
    }
}

// A run of a test that ends by itself: it never goes back a phase, reports
// completion last, and stays silent after it (a static-pressure tick that
// completes and changes the result reports completion twice).
std::string CheckEndingRun(const std::vector<int>& reports, size_t maxCompleted)
{
    if (reports.empty() || reports.back() != STATUS_COMPLETED)
        return "does not end with COMPLETED";
    size_t completed = 0;
    for (size_t i = 0; i < reports.size(); ++i) {
        completed += reports[i] == STATUS_COMPLETED ? 1 : 0;
        // A report made because the static-pressure result changed carries the mapped status, NONE included.
        if (i > 0 && reports[i] != STATUS_NONE && Phase(reports[i]) < Phase(reports[i - 1]))
            return "goes back a phase";
    }
    if (completed > maxCompleted)
        return "COMPLETED reported too often";
    return "";
}

// A BP run: RUNNING first, then RUNNING on entering 10, COMPLETED once on entering 14.
std::string CheckBPRun(const std::vector<int>& reports)
{
    if (reports.empty() || reports.front() != STATUS_RUNNING)
        return "first report is not RUNNING";
    size_t completed = 0;
    for (size_t i = 1; i < reports.size(); ++i) {
        if (reports[i] != STATUS_RUNNING && reports[i] != STATUS_COMPLETED)
            return "reports a status the BP worker never reports";
        if (completed > 0)
            return "reports after COMPLETED";
        completed += reports[i] == STATUS_COMPLETED ? 1 : 0;
    }
    return completed == 1 ? "" : "no COMPLETED";
}

class Soak {
public:
    explicit Soak(int seconds) : m_seconds(seconds)
    {
        char name[] = "/tmp/vasq-soak-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            perror("mkdtemp");
            exit(2);
        }
        m_folder = name;
    }
    ~Soak()
    {
        nftw(
            m_folder.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

    int Run()
    {
        SetDeviceFoldersForTesting(m_folder.c_str(), m_folder.c_str());
        m_device = std::make_unique<vasqsim::SimDevice>(m_folder, 0);
        m_device->SetRestartDelay(300ms);
        m_device->WithModel([](vasqsim::DeviceModel& m) { m.sampleMode = vasqsim::SampleMode::Counter; });
        if (!VasqInit(OnConnection) || !WaitForConnections(1)) {
            fprintf(stderr, "vasq-soak: the simulated device was not connected\n");
            return 2;
        }
        const auto end = Clock::now() + std::chrono::seconds(m_seconds);
        // The first round warms up what stays allocated (thread stacks, the
        // allocator's arenas): the start figures are taken after it.
        Round(0);
        const Resources start = SettledMeasure();
        int rounds = 1;
        while (Clock::now() < end)
            Round(rounds++);
        const Resources last = SettledMeasure();
        VasqFree();
        m_device.reset();
        SetDeviceFoldersForTesting(nullptr, nullptr);

        printf("rounds: %d in %d s; connections %zu, losses %zu\n", rounds, m_seconds, Connections(true),
               Connections(false));
        printf("runs: %d static pressure, %d BP default, %d BP customised, %d leakage, %d overpressure\n",
               m_runs[0], m_runs[1], m_runs[2], m_runs[3], m_runs[4]);
        printf("unplug/replug cycles %d, device restarts %d\n", m_replugs, m_restarts);
        const uint64_t lost = m_samplesSent > m_samplesReceived ? m_samplesSent - m_samplesReceived : 0;
        printf("samples: sent while connected %llu, received %llu, breaks in the sequence %llu\n",
               static_cast<unsigned long long>(m_samplesSent), static_cast<unsigned long long>(m_samplesReceived),
               static_cast<unsigned long long>(m_sampleBreaks));
        printf("start: resident %ld KiB, descriptors %d, threads %d\n", start.rssKiB, start.descriptors,
               start.threads);
        printf("end:   resident %ld KiB, descriptors %d, threads %d\n", last.rssKiB, last.descriptors,
               last.threads);
        printf("callback sequences out of order: %zu\n", m_violations.size());
        for (const std::string& v : m_violations)
            printf("  %s\n", v.c_str());

        std::string grown;
        auto add = [&](const std::string& what) { grown += (grown.empty() ? "" : ", ") + what; };
        // Resident memory may move by a few pages; a leak grows with the rounds.
        if (last.rssKiB > start.rssKiB + kRssToleranceKiB)
            add("resident memory +" + std::to_string(last.rssKiB - start.rssKiB) + " KiB");
        if (last.descriptors > start.descriptors)
            add("descriptors +" + std::to_string(last.descriptors - start.descriptors));
        if (last.threads > start.threads)
            add("threads +" + std::to_string(last.threads - start.threads));
        const uint64_t lostTotal = lost + m_sampleBreaks;
        printf("lost %llu, grown: %s\n", static_cast<unsigned long long>(lostTotal),
               grown.empty() ? "none" : grown.c_str());
        return lostTotal == 0 && grown.empty() && m_violations.empty() ? 0 : 1;
    }

private:
    static constexpr long kRssToleranceKiB = 2048;

    size_t Connections(bool connected)
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        size_t n = 0;
        for (bool c : g_connections)
            n += c == connected ? 1 : 0;
        return n;
    }

    bool WaitForConnections(size_t count)
    {
        return WaitFor([&] { return g_connections.size() >= count; }, 15s);
    }

    // Measured connected and idle, once the workers that ended have been joined.
    Resources SettledMeasure()
    {
        VasqStopTest();
        Resources r = Measure();
        for (int i = 0; i < 50 && r.threads > m_idleThreads && m_idleThreads > 0; ++i) {
            std::this_thread::sleep_for(20ms);
            r = Measure();
        }
        if (m_idleThreads == 0)
            m_idleThreads = r.threads;
        return r;
    }

    void Violation(const std::string& what)
    {
        fprintf(stderr, "vasq-soak: %s\n", what.c_str());
        m_violations.push_back(what);
    }

    uint32_t DeviceSamples()
    {
        uint32_t sent = 0;
        m_device->WithModel([&](vasqsim::DeviceModel& m) { sent = m.samplesSent; });
        return sent;
    }

    void BeginRun()
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_reports.clear();
    }

    std::vector<int> Reports()
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_reports;
    }

    bool WaitForCompleted()
    {
        return WaitFor([] { return !g_reports.empty() && g_reports.back() == STATUS_COMPLETED; }, 20s);
    }

    // Runs one test to its end and checks its callback sequence.
    void TestRun(const char* name, const std::function<int()>& start, bool bp, size_t maxCompleted)
    {
        BeginRun();
        if (start() != 1) {
            Violation(std::string(name) + ": the start failed");
            return;
        }
        const bool completed = WaitForCompleted();
        if (bp) {
            // The BP worker goes on polling after completion until it is stopped.
            std::this_thread::sleep_for(500ms);
            VasqStopTest();
        }
        const std::vector<int> reports = Reports();
        const std::string fault = !completed ? "did not complete" : bp ? CheckBPRun(reports)
                                                                      : CheckEndingRun(reports, maxCompleted);
        if (!fault.empty())
            Violation(std::string(name) + ": " + fault + ": " + Sequence(reports));
    }

    void Round(int round)
    {
        const uint32_t sentBefore = DeviceSamples();
        uint64_t receivedBefore;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            receivedBefore = g_samplesReceived;
            g_lastSample = -1;  // the device's sequence goes on; a restart of sampling may not
        }
        if (VasqStartSampling(OnSample) != 1)
            Violation("sampling did not start");

        TestRun("static pressure", [] { return VasqRunStaticPressure(120, 5, OnStatic, true); }, false, 2);
        ++m_runs[0];
        TestRun("BP default", [] {
            BPCommon p{};
            p.eMethod = BP_METHOD_DEFAULT;
            p.dSystolic = 120;
            p.dDiastolic = 80;
            p.nHeartRate = 70;
            p.dPulseVolume = 1.0;
            return VasqRunBPTest(&p, OnBP);
        }, true, 1);
        ++m_runs[1];
        TestRun("BP customised", [] {
            BPEnvelopeCustomized r{};
            r.eMethod = BP_METHOD_CUSTOMIZED;
            r.dSystolic = 130;
            r.dDiastolic = 85;
            r.nHeartRate = 75;
            r.dPulseVolume = 1.2;
            r.dTopPressure = 300;
            r.dUpperBasePressure = 200;
            r.dUpperPeakPressure = 140;
            r.dLowerPeakPressure = 100;
            r.dLowerBasePressure = 40;
            r.dBottomPressure = 20;
            r.nSystolicAmplitude = 60;
            r.nLowerPeakAmplitude = 90;
            r.nUpperPeakAmplitude = 95;
            r.nDiastolicAmplitude = 70;
            r.nBaseAmplitude = 30;
            return VasqRunBPTest(&r, OnBP);
        }, true, 1);
        ++m_runs[2];
        TestRun("leakage", [] { return VasqRunLeakageTest(150, 10, 1.0, OnLeakage); }, false, 1);
        ++m_runs[3];
        TestRun("overpressure", [] { return VasqRunOverpressureTest(true, 150, 250, 280, OnOverpressure); }, false, 1);
        ++m_runs[4];

        VasqStopSampling();
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            m_samplesReceived += g_samplesReceived - receivedBefore;
            m_sampleBreaks = g_sampleBreaks;
        }
        m_samplesSent += static_cast<uint32_t>(DeviceSamples() - sentBefore);

        // The device goes away and comes back: unplugged by hand, or restarting itself.
        size_t connections;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            connections = g_connections.size();
        }
        if (round % 2 == 0) {
            m_device->Unplug();
            std::this_thread::sleep_for(200ms);
            m_device->Plug();
            ++m_replugs;
        } else {
            const size_t restarts = m_device->RestartsCompleted();
            if (VasqRestart() != 1 || !m_device->WaitForRestarts(restarts + 1, 10s))
                Violation("the device did not restart");
            ++m_restarts;
        }
        if (!WaitForConnections(connections + 2))
            Violation("the device was not reconnected after it came back");
        CheckConnectionOrder();
        // The simulator logs every frame it receives; that memory is not the library's.
        m_device->ClearLog();
    }

    // Connection callbacks alternate, beginning with a connection.
    void CheckConnectionOrder()
    {
        std::vector<bool> seen;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            seen = g_connections;
        }
        for (size_t i = m_connectionsChecked; i < seen.size(); ++i) {
            if (seen[i] != (i % 2 == 0)) {
                std::string text;
                for (bool c : seen)
                    text += c ? "T" : "F";
                Violation("connection callbacks out of order: " + text);
                break;
            }
        }
        m_connectionsChecked = seen.size();
    }

    const int m_seconds;
    std::string m_folder;
    std::unique_ptr<vasqsim::SimDevice> m_device;
    int m_idleThreads = 0;
    int m_runs[5] = {};
    int m_replugs = 0;
    int m_restarts = 0;
    uint64_t m_samplesSent = 0;
    uint64_t m_samplesReceived = 0;
    uint64_t m_sampleBreaks = 0;
    size_t m_connectionsChecked = 0;
    std::vector<std::string> m_violations;
};

}  // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    if (seconds <= 0) {
        fprintf(stderr, "vasq-soak: --seconds wants a positive number\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Soak soak(seconds);
    return soak.Run();
}
