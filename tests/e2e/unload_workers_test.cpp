// Unloading the library while a test worker and sampling run: both end and are
// joined before the library's code goes away.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>

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
    EXPECT_EQ(baseline, e2e::ThreadCount()) << "a thread of the library outlived its unload";
    const size_t logged = device.Log().size();
    const int samples = g_samples.load();
    // Nothing polls any more: the next two sampling periods and a worker tick pass quietly.
    EXPECT_FALSE(device.WaitForLogSize(logged + 1, std::chrono::milliseconds(300)));
    EXPECT_EQ(samples, g_samples.load());
}
