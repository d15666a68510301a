// Loads and unloads the shared library repeatedly, connected, searching and idle:
// nothing may crash, and no thread or lock file may outlive an unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

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
    }
    void* handle;
    void (*setFolders)(const char*, const char*) = nullptr;
    bool (*connect)(int, uint32_t) = nullptr;
    bool (*init)(void (*)(bool)) = nullptr;
    const char* (*serial)() = nullptr;
};

}  // namespace

TEST(Unload, WhileConnectedSearchingOrIdle)
{
    e2e::TempFolder withDevice;
    e2e::TempFolder empty;
    vasqsim::SimDevice device(withDevice.path(), 0);
    ASSERT_TRUE(device.Plugged());
    const int baseline = e2e::ThreadCount();

    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Library library(VASQ_SHARED_LIBRARY);
        ASSERT_NE(nullptr, library.handle) << dlerror();
        ASSERT_TRUE(library.setFolders && library.connect && library.init && library.serial);
        switch (round % 3) {
        case 0:
            library.setFolders(withDevice.path().c_str(), withDevice.path().c_str());
            ASSERT_TRUE(library.connect(-1, 5000));
            EXPECT_STREQ("NQX7001-070042", library.serial());
            EXPECT_TRUE(e2e::FileExists(withDevice.LockPath(0)));
            break;
        case 1:
            library.setFolders(empty.path().c_str(), empty.path().c_str());
            ASSERT_TRUE(library.init(nullptr));  // searching when unloaded
            break;
        default:
            break;  // loaded and never used
        }
        EXPECT_GT(e2e::ThreadCount(), baseline) << "the library's own threads run while it is loaded";
        dlclose(library.handle);
        EXPECT_EQ(baseline, e2e::ThreadCount()) << "a thread of the library outlived its unload";
        EXPECT_FALSE(e2e::FileExists(withDevice.LockPath(0))) << "an unload left the port locked";
    }
}
