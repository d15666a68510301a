// Unloading the library while a test worker and sampling run: both end and are
// joined before the library's code goes away. Loaded and unloaded many times,
// each time while connected, while searching or while a worker and sampling
// run, the library must leave no thread, descriptor, lock file or mapping of
// its own behind, and send the device nothing of its own at unload.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <atomic>
#include <fstream>

#include "E2ESupport.h"

namespace {

std::atomic<int> g_samples{0};
std::atomic<int> g_reports{0};

void OnSample(double)
{
    g_samples.fetch_add(1);
}

void OnStatic(int, double, int)
{
    g_reports.fetch_add(1);
}

template <typename T>
T Symbol(void* library, const char* name)
{
    return reinterpret_cast<T>(dlsym(library, name));
}

constexpr int kCycles = 100;

// The functions the cycles use, from one load of the library.
struct Library {
    explicit Library(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL))
    {
        if (handle == nullptr)
            return;
        setFolders = Symbol<void (*)(const char*, const char*)>(handle, "_Z26SetDeviceFoldersForTestingPKcS0_");
        connect = Symbol<bool (*)(int, uint32_t)>(handle, "VasqConnect");
        init = Symbol<bool (*)(void (*)(bool))>(handle, "VasqInit");
        startSampling = Symbol<int (*)(void (*)(double))>(handle, "VasqStartSampling");
        runStatic = Symbol<int (*)(double, int, void (*)(int, double, int), bool)>(handle, "VasqRunStaticPressure");
    }
    bool Complete() const { return setFolders && connect && init && startSampling && runStatic; }

    void* handle;
    void (*setFolders)(const char*, const char*) = nullptr;
    bool (*connect)(int, uint32_t) = nullptr;
    bool (*init)(void (*)(bool)) = nullptr;
    int (*startSampling)(void (*)(double)) = nullptr;
    int (*runStatic)(double, int, void (*)(int, double, int), bool) = nullptr;
};

// Lines of /proc/self/maps that map the file, and all lines.
std::pair<int, int> Mappings(const std::string& file)
{
    std::ifstream maps("/proc/self/maps");
    std::pair<int, int> counts{0, 0};
    for (std::string line; std::getline(maps, line);) {
        ++counts.second;
        if (line.size() >= file.size() && line.compare(line.size() - file.size(), file.size(), file) == 0)
            ++counts.first;
    }
    return counts;
}

}  // namespace

TEST(Unload, EndsAndJoinsTheWorkersAndTheSamplingThread)
{
    e2e::TempFolder folder;
    vasqsim::SimDevice device(folder.path(), 0);
    device.WithModel([](vasqsim::DeviceModel& m) {
        m.runsStatusSequences = false;
        m.status = 12;  // holding until stopped
    });
    const int baseline = e2e::ThreadCount();

    void* library = dlopen(VASQ_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    auto setFolders = Symbol<void (*)(const char*, const char*)>(library, "_Z26SetDeviceFoldersForTestingPKcS0_");
    auto connect = Symbol<bool (*)(int, uint32_t)>(library, "VasqConnect");
    auto startSampling = Symbol<int (*)(void (*)(double))>(library, "VasqStartSampling");
    auto runStatic = Symbol<int (*)(double, int, void (*)(int, double, int), bool)>(library, "VasqRunStaticPressure");
    ASSERT_TRUE(setFolders && connect && startSampling && runStatic);
    setFolders(folder.path().c_str(), folder.path().c_str());
    ASSERT_TRUE(connect(0, 5000));
    ASSERT_EQ(1, startSampling(OnSample));
    ASSERT_EQ(1, runStatic(100.0, -1, OnStatic, false));
    e2e::Condition running;
    ASSERT_TRUE(running.WaitFor([] { return g_samples.load() >= 20 && g_reports.load() >= 1; }, std::chrono::seconds(5)));

    dlclose(library);
    EXPECT_TRUE(e2e::ThreadCountSettlesAt(baseline)) << "a thread of the library outlived its unload";
    const size_t logged = device.Log().size();
    const int samples = g_samples.load();
    // Nothing polls any more: the next two sampling periods and a worker tick pass quietly.
    EXPECT_FALSE(device.WaitForLogSize(logged + 1, std::chrono::milliseconds(300)));
    EXPECT_EQ(samples, g_samples.load());
}

TEST(Unload, UnderLoadLeavesNothingBehind)
{
    e2e::TempFolder withDevice;
    e2e::TempFolder empty;
    vasqsim::SimDevice device(withDevice.path(), 0);
    ASSERT_TRUE(device.Plugged());
    device.WithModel([](vasqsim::DeviceModel& m) {
        m.runsStatusSequences = false;
        m.status = 12;  // holding a pressure until stopped
    });
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath(VASQ_SHARED_LIBRARY, resolved));
    const std::string file = resolved;
    const int threads = e2e::ThreadCount();
    const int descriptors = e2e::DescriptorCount();
    int mappingsAfterFirst = 0;
    e2e::Stopwatch total;

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        Library library(VASQ_SHARED_LIBRARY);
        ASSERT_NE(nullptr, library.handle) << dlerror();
        ASSERT_TRUE(library.Complete());
        const int kind = cycle % 3;
        if (kind == 1) {
            library.setFolders(empty.path().c_str(), empty.path().c_str());
            ASSERT_TRUE(library.init(nullptr));  // searching when unloaded
        } else {
            library.setFolders(withDevice.path().c_str(), withDevice.path().c_str());
            ASSERT_TRUE(library.connect(-1, 5000));
            ASSERT_TRUE(e2e::FileExists(withDevice.LockPath(0)));
        }
        if (kind == 2) {
            const int samples = g_samples.load();
            const int reports = g_reports.load();
            ASSERT_EQ(1, library.startSampling(OnSample));
            ASSERT_EQ(1, library.runStatic(100.0, -1, OnStatic, false));
            e2e::Condition running;
            ASSERT_TRUE(running.WaitFor(
                [&] { return g_samples.load() >= samples + 10 && g_reports.load() > reports; },
                std::chrono::seconds(5)));
        }

        device.ClearLog();
        dlclose(library.handle);
        // Frames logged meanwhile are the load's own reads (status polls,
        // sampling requests) that were on the wire; an unload that stopped the
        // test or told the device it is released would send a setting (0x80 and up).
        for (const auto& frame : device.Log())
            EXPECT_LT(frame.command, 0x80) << "sent at unload: " << frame.category << int(frame.command);
        if (kind != 2) {
            EXPECT_TRUE(device.Log().empty()) << "an idle connection sent frames at unload";
        }

        EXPECT_TRUE(e2e::ThreadCountSettlesAt(threads)) << "a thread of the library outlived its unload";
        EXPECT_EQ(descriptors, e2e::DescriptorCount()) << "a descriptor outlived the unload";
        EXPECT_FALSE(e2e::FileExists(withDevice.LockPath(0))) << "an unload left the port locked";
        const std::pair<int, int> mappings = Mappings(file);
        EXPECT_EQ(0, mappings.first) << "the library is still mapped";
        if (cycle == 0)
            mappingsAfterFirst = mappings.second;
        if (HasFailure())
            break;
    }
    const int mappingsAtEnd = Mappings(file).second;
    printf("%d load/unload cycles under load: %.0f ms; mappings after the first %d, at the end %d\n", kCycles,
           total.Ms(), mappingsAfterFirst, mappingsAtEnd);
    // Thread stacks and allocator arenas are reused, not added per cycle. The
    // thread sanitizer's runtime keeps mappings of its own for ended threads.
#if !defined(__SANITIZE_THREAD__)
    EXPECT_LE(mappingsAtEnd, mappingsAfterFirst + 16) << "mappings grow with each load";
#endif
}
