// Loads and unloads the shared library repeatedly, connected, searching and idle:
// nothing may crash, and no thread or lock file may outlive an unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>

#include "E2ESupport.h"

namespace {

struct Library {
    explicit Library(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL))
    {
        if (handle == nullptr)
            return;
        setFolders = reinterpret_cast<void (*)(const char*, const char*)>(
            dlsym(handle, "_Z26SetDeviceFoldersForTestingPKcS0_"));
        connect = reinterpret_cast<bool (*)(int, uint32_t)>(dlsym(handle, "VasqConnect"));
        init = reinterpret_cast<bool (*)(void (*)(bool))>(dlsym(handle, "VasqInit"));
        serial = reinterpret_cast<const char* (*)()>(dlsym(handle, "VasqGetSerialNumber"));
        release = reinterpret_cast<void (*)()>(dlsym(handle, "VasqFree"));
    }
    void* handle;
    void (*setFolders)(const char*, const char*) = nullptr;
    bool (*connect)(int, uint32_t) = nullptr;
    bool (*init)(void (*)(bool)) = nullptr;
    const char* (*serial)() = nullptr;
    void (*release)() = nullptr;
};

void (*g_release)() = nullptr;
std::atomic<int> g_releasedFromCallback{0};

void ReleaseOnConnect(bool connected)
{
    if (connected && g_release != nullptr) {
        g_release();
        g_releasedFromCallback.fetch_add(1);
    }
}

}  // namespace

TEST(Unload, WhileConnectedSearchingOrIdle)
{
    e2e::TempFolder withDevice;
    e2e::TempFolder empty;
    vasqsim::SimDevice device(withDevice.path(), 0);
    ASSERT_TRUE(device.Plugged());
    const int baseline = e2e::ThreadCount();

    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Library library(VASQ_SHARED_LIBRARY);
        ASSERT_NE(nullptr, library.handle) << dlerror();
        ASSERT_TRUE(library.setFolders && library.connect && library.init && library.serial && library.release);
        switch (round % 4) {
        case 0:
            library.setFolders(withDevice.path().c_str(), withDevice.path().c_str());
            ASSERT_TRUE(library.connect(-1, 5000));
            EXPECT_STREQ("NQX7001-070042", library.serial());
            EXPECT_TRUE(e2e::FileExists(withDevice.LockPath(0)));
            device.ClearLog();
            break;
        case 1:
            library.setFolders(empty.path().c_str(), empty.path().c_str());
            ASSERT_TRUE(library.init(nullptr));  // searching when unloaded
            break;
        case 2: {
            // Released from its own connection callback, then unloaded.
            library.setFolders(withDevice.path().c_str(), withDevice.path().c_str());
            g_release = library.release;
            const int before = g_releasedFromCallback.load();
            ASSERT_TRUE(library.init(ReleaseOnConnect));
            e2e::Condition poll;
            ASSERT_TRUE(poll.WaitFor([&] { return g_releasedFromCallback.load() > before; }, std::chrono::seconds(5)));
            break;
        }
        default:
            break;  // loaded and never used
        }
        EXPECT_GT(e2e::ThreadCount(), baseline) << "the library's own threads run while it is loaded";
        dlclose(library.handle);
        EXPECT_TRUE(e2e::ThreadCountSettlesAt(baseline)) << "a thread of the library outlived its unload";
        EXPECT_FALSE(e2e::FileExists(withDevice.LockPath(0))) << "an unload left the port locked";
        if (round % 4 == 0) {
            EXPECT_TRUE(device.Log().empty()) << "the unload sent " << device.Log().size() << " frames to the device";
        }
    }
}

// Devices opened beside the default one are released at unload as it is:
// their threads end, their lock files go, and nothing is sent.
TEST(Unload, WithDevicesOpenAndSampling)
{
    e2e::TempFolder folder;
    vasqsim::SimDevice first(folder.path(), 0);
    vasqsim::SimDevice second(folder.path(), 1);
    second.WithModel([](vasqsim::DeviceModel& model) { model.identity[4] = 43; });
    const int baseline = e2e::ThreadCount();
    const int descriptors = e2e::DescriptorCount();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Library library(VASQ_SHARED_LIBRARY);
        ASSERT_NE(nullptr, library.handle) << dlerror();
        auto open = reinterpret_cast<void* (*)(int, uint32_t)>(dlsym(library.handle, "VasqOpenDevice"));
        auto sample = reinterpret_cast<int (*)(void*, void (*)(double, void*), void*)>(
            dlsym(library.handle, "VasqDeviceStartSampling"));
        ASSERT_TRUE(open != nullptr && sample != nullptr);
        library.setFolders(folder.path().c_str(), folder.path().c_str());
        void* devices[2] = {open(-1, 5000), open(-1, 5000)};
        ASSERT_TRUE(devices[0] != nullptr && devices[1] != nullptr);
        std::atomic<int> samples{0};
        auto count = [](double, void* context) { static_cast<std::atomic<int>*>(context)->fetch_add(1); };
        if (round != 2) {
            ASSERT_EQ(1, sample(devices[0], count, &samples));
            ASSERT_EQ(1, sample(devices[1], count, &samples));
            e2e::Condition poll;
            ASSERT_TRUE(poll.WaitFor([&] { return samples.load() >= 40; }, std::chrono::seconds(5)));
        }
        if (round == 1)
            ASSERT_TRUE(library.connect(-1, 300) == false) << "both instruments are held by the open devices";
        first.ClearLog();
        second.ClearLog();
        dlclose(library.handle);
        EXPECT_TRUE(e2e::ThreadCountSettlesAt(baseline)) << "a thread of the library outlived its unload";
        EXPECT_EQ(descriptors, e2e::DescriptorCount()) << "a descriptor outlived the unload";
        EXPECT_FALSE(e2e::FileExists(folder.LockPath(0)));
        EXPECT_FALSE(e2e::FileExists(folder.LockPath(1)));
        // A sample request already on its way when the unload began may arrive; nothing else may.
        for (vasqsim::SimDevice* device : {&first, &second}) {
            for (const auto& logged : device->Log())
                EXPECT_TRUE(logged.category == 'P' && logged.command == 2) << "the unload sent a request of its own";
        }
    }
}
