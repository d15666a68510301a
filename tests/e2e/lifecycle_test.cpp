// The connection life cycle through the shared library's exported functions only.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "E2ESupport.h"
#include "vasq.h"
#include "vasq_service.h"

using e2e::Stopwatch;
using vasqsim::SimDevice;
using Bytes = std::vector<uint8_t>;

namespace {

struct Calls {
    std::atomic<int> connected{0};
    std::atomic<int> disconnected{0};
    std::chrono::steady_clock::time_point lastChange;
    std::mutex mutex;
    e2e::Condition changed;

    void Record(bool up)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            lastChange = std::chrono::steady_clock::now();
        }
        (up ? connected : disconnected).fetch_add(1);
        changed.Notify();
    }
    std::chrono::steady_clock::time_point LastChange()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lastChange;
    }
};

Calls* g_calls = nullptr;

void RecordCallback(bool connected)
{
    g_calls->Record(connected);
}

std::atomic<int> g_freesFromCallback{0};

void FreeFromCallback(bool connected)
{
    if (connected) {
        VasqFree();
        g_freesFromCallback.fetch_add(1);
    }
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_calls = &m_calls;
        SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str());
        m_baselineThreads = e2e::ThreadCount();
    }
    void TearDown() override
    {
        VasqFree();
        SetDeviceFoldersForTesting(nullptr, nullptr);
        g_calls = nullptr;
    }
    std::unique_ptr<SimDevice> Device(int port)
    {
        auto device = std::make_unique<SimDevice>(m_folder.path(), port);
        EXPECT_TRUE(device->Plugged());
        // The simulator's port thread is the device's, not the library's.
        ++m_baselineThreads;
        return device;
    }
    static bool Sent(const SimDevice& device, uint8_t category, uint8_t command, const Bytes& payload)
    {
        for (const auto& frame : device.Log())
            if (frame.category == category && frame.command == command && frame.payload == payload)
                return true;
        return false;
    }

    e2e::TempFolder m_folder;
    Calls m_calls;
    int m_baselineThreads = 0;
};

// The port-holder program in a process of its own.
struct Holder : e2e::ChildProcess {
    Holder(const std::string& folder, bool exitWithoutFree)
        : ChildProcess(VASQ_PORT_HOLDER, exitWithoutFree ? std::vector<std::string>{folder, "--no-free"}
                                                         : std::vector<std::string>{folder})
    {
    }
};

}  // namespace

TEST_F(Lifecycle, ConnectFindsTheDeviceAndFreeReleasesIt)
{
    auto device = Device(5);
    ASSERT_TRUE(VasqConnect(-1, 5000));
    EXPECT_STREQ("NQX7001-070042", VasqGetSerialNumber());
    EXPECT_TRUE(Sent(*device, 'I', 135, {1})) << "the device is told it is connected";
    EXPECT_TRUE(e2e::FileExists(m_folder.LockPath(5)));
    EXPECT_NE(-1, VasqGetDeviceHandle());

    VasqFree();
    EXPECT_TRUE(Sent(*device, 'I', 135, {0})) << "the device is told it is released";
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(5)));
    EXPECT_EQ(-1, VasqGetDeviceHandle());
    EXPECT_STREQ("", VasqGetSerialNumber());
    EXPECT_EQ(m_baselineThreads, e2e::ThreadCount()) << "a thread of the library outlived VasqFree";
}

TEST_F(Lifecycle, ConnectWithoutADeviceGivesUpAfterItsTimeout)
{
    Stopwatch watch;
    EXPECT_FALSE(VasqConnect(-1, 1000));
    EXPECT_GE(watch.Ms(), 999.0);
    EXPECT_LT(watch.Ms(), 1000.0 + 2500.0) << "more than one scan and its pause after the timeout";
    EXPECT_EQ(m_baselineThreads, e2e::ThreadCount());

    // A device on another port does not satisfy a connect to a given port.
    auto device = Device(2);
    EXPECT_FALSE(VasqConnect(3, 800));
    EXPECT_TRUE(device->Log().empty());
}

TEST_F(Lifecycle, ConnectWhenAlreadyConnectedAnswersAtOnce)
{
    auto device = Device(1);
    ASSERT_TRUE(VasqConnect(-1, 5000));
    Stopwatch watch;
    EXPECT_TRUE(VasqConnect(-1, 5000));
    EXPECT_TRUE(VasqConnect(1, 5000));
    EXPECT_LT(watch.Ms(), 1000.0);
    EXPECT_STREQ("NQX7001-070042", VasqGetSerialNumber()) << "the device stays connected";
}

TEST_F(Lifecycle, CallbackSeesEachConnectionAndLossOnce)
{
    auto device = Device(0);
    ASSERT_TRUE(VasqInit(RecordCallback));
    ASSERT_TRUE(m_calls.changed.WaitFor([&] { return m_calls.connected == 1; }, std::chrono::seconds(5)));
    BOOTLOADER_INFORMATION boot{};
    ASSERT_EQ(1, VasqGetBootloaderInformation(&boot));
    EXPECT_EQ(3, boot.nBootVersion3);

    const auto unplugged = std::chrono::steady_clock::now();
    device->Unplug();
    ASSERT_TRUE(m_calls.changed.WaitFor([&] { return m_calls.disconnected == 1; }, std::chrono::seconds(8)));
    const double lossMs = std::chrono::duration<double, std::milli>(m_calls.LastChange() - unplugged).count();
    EXPECT_LT(lossMs, 3500.0) << "the loss was noticed late";
    MODEL_INFORMATION model;
    memset(&model, 0x5A, sizeof(model));
    ASSERT_EQ(1, VasqGetDeviceInformation(&model));
    EXPECT_EQ(0, model.byModelCode);
    EXPECT_EQ(0, model.nSerialIndex);
    HW_INFORMATION hw;
    ASSERT_EQ(1, VasqGetHWInformation(&hw));
    EXPECT_EQ(0, hw.nFWVersion1);
    ASSERT_EQ(1, VasqGetBootloaderInformation(&boot));
    EXPECT_EQ(3, boot.nBootVersion3) << "the boot loader record keeps the last device's values";

    const auto replugged = std::chrono::steady_clock::now();
    ASSERT_TRUE(device->Plug());
    ASSERT_TRUE(m_calls.changed.WaitFor([&] { return m_calls.connected == 2; }, std::chrono::seconds(8)));
    const double backMs = std::chrono::duration<double, std::milli>(m_calls.LastChange() - replugged).count();
    EXPECT_LT(backMs, 3000.0) << "the device came back late";
    EXPECT_EQ(1, m_calls.disconnected.load());

    VasqFree();
    EXPECT_EQ(1, m_calls.disconnected.load()) << "a release is not reported as a loss";
    EXPECT_EQ(2, m_calls.connected.load());
}

TEST_F(Lifecycle, DeviceOnAnotherPortAndSeveralDevices)
{
    auto first = Device(4);
    ASSERT_TRUE(VasqInit(RecordCallback));
    ASSERT_TRUE(m_calls.changed.WaitFor([&] { return m_calls.connected == 1; }, std::chrono::seconds(5)));
    auto second = Device(9);
    second->WithModel([](vasqsim::DeviceModel& m) { m.identity[4] = 77; });
    first->Unplug();
    ASSERT_TRUE(m_calls.changed.WaitFor([&] { return m_calls.connected == 2; }, std::chrono::seconds(10)));
    EXPECT_STREQ("NQX7001-070077", VasqGetSerialNumber()) << "the library moved to the device on port 9";
}

TEST_F(Lifecycle, FreeFromTheConnectionCallbackDoesNotDeadlock)
{
    auto device = Device(0);
    g_freesFromCallback = 0;
    ASSERT_TRUE(VasqInit(FreeFromCallback));
    e2e::Condition poll;
    ASSERT_TRUE(poll.WaitFor([] { return g_freesFromCallback.load() == 1; }, std::chrono::seconds(5)));
    ASSERT_TRUE(poll.WaitFor([&] { return Sent(*device, 'I', 135, {0}); }, std::chrono::seconds(5)));
    ASSERT_TRUE(poll.WaitFor([&] { return e2e::ThreadCount() == m_baselineThreads; }, std::chrono::seconds(5)))
        << "the connection thread did not end by itself";
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(0)));
    // The library can be started again afterwards.
    EXPECT_TRUE(VasqConnect(-1, 5000));
}

TEST_F(Lifecycle, IdentityExportsRefuseNullRecords)
{
    auto device = Device(0);
    ASSERT_TRUE(VasqConnect(0, 5000));
    EXPECT_EQ(0, VasqGetDeviceInformation(nullptr));
    EXPECT_EQ(0, VasqGetHWInformation(nullptr));
    EXPECT_EQ(0, VasqGetBootloaderInformation(nullptr));
    EXPECT_EQ(0, VasqSetDeviceInformation(nullptr, nullptr));
    EXPECT_EQ(0, VasqReadMfgInfo(nullptr, 16));
    EXPECT_EQ(0, VasqWriteMfgInfo(nullptr, 16));

    unsigned char mfg[16] = {};
    ASSERT_EQ(1, VasqReadMfgInfo(mfg, sizeof(mfg)));
    EXPECT_EQ(0xA0, mfg[0]);
    const unsigned char patch[] = {1, 2};
    ASSERT_EQ(1, VasqWriteMfgInfo(patch, sizeof(patch)));
    ASSERT_EQ(1, VasqReadMfgInfo(mfg, sizeof(mfg)));
    EXPECT_EQ(2, mfg[1]);
    EXPECT_EQ(0xA2, mfg[2]);

    MODEL_INFORMATION model{};
    HW_INFORMATION hw{};
    ASSERT_EQ(1, VasqGetDeviceInformation(&model));
    ASSERT_EQ(1, VasqGetHWInformation(&hw));
    model.nSerialIndex = 1234;
    ASSERT_EQ(1, VasqSetDeviceInformation(&model, &hw));
    EXPECT_STREQ("NQX7001-071234", VasqGetSerialNumber());
}

TEST_F(Lifecycle, SecondLibraryInstanceSkipsTheLockedPort)
{
    auto held = Device(0);
    auto other = Device(1);
    ASSERT_TRUE(VasqConnect(0, 5000));

    // A second copy of the library, loaded from another file, has state of its
    // own, as another process would: it must leave port 0 alone.
    const std::string copy = m_folder.path() + "/libvasq-copy.so";
    {
        std::ifstream in(VASQ_SHARED_LIBRARY, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
    }
    void* library = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    auto setFolders = reinterpret_cast<void (*)(const char*, const char*)>(
        dlsym(library, "_Z26SetDeviceFoldersForTestingPKcS0_"));
    auto connect = reinterpret_cast<bool (*)(int, uint32_t)>(dlsym(library, "VasqConnect"));
    auto release = reinterpret_cast<void (*)()>(dlsym(library, "VasqFree"));
    ASSERT_TRUE(setFolders && connect && release);
    setFolders(m_folder.path().c_str(), m_folder.path().c_str());
    EXPECT_TRUE(connect(-1, 5000));
    EXPECT_TRUE(e2e::FileExists(m_folder.LockPath(1)));
    release();
    dlclose(library);
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(1)));
    EXPECT_TRUE(e2e::FileExists(m_folder.LockPath(0))) << "the first instance's lock was touched";
    EXPECT_STREQ("NQX7001-070042", VasqGetSerialNumber());
}

TEST_F(Lifecycle, AnotherProcessSkipsTheLockedPort)
{
    auto held = Device(0);
    auto other = Device(1);
    other->WithModel([](vasqsim::DeviceModel& m) { m.identity[4] = 77; });
    ASSERT_TRUE(VasqConnect(0, 5000));

    Holder holder(m_folder.path(), false);
    ASSERT_GT(holder.pid, 0);
    EXPECT_EQ("NQX7001-070077", holder.ReadLine()) << "the other process took the locked port";
    EXPECT_TRUE(e2e::FileExists(m_folder.LockPath(1)));
    close(holder.input);
    int status = -1;
    ASSERT_EQ(holder.pid, waitpid(holder.pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(holder.output);
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(1))) << "the other process left its lock behind";
    EXPECT_TRUE(e2e::FileExists(m_folder.LockPath(0)));
    EXPECT_STREQ("NQX7001-070042", VasqGetSerialNumber());
}

TEST_F(Lifecycle, ProgramThatExitsWithoutFreeSendsNothingMore)
{
    auto device = Device(0);
    Holder holder(m_folder.path(), true);
    ASSERT_GT(holder.pid, 0);
    EXPECT_EQ("NQX7001-070042", holder.ReadLine());
    close(holder.input);
    int status = -1;
    ASSERT_EQ(holder.pid, waitpid(holder.pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(holder.output);
    std::string codes;
    for (const auto& frame : device->Log())
        codes += std::string(codes.empty() ? "" : " ") + static_cast<char>(frame.category) +
                 std::to_string(frame.command) + (frame.payload.size() == 1 ? "[" + std::to_string(frame.payload[0]) + "]" : "");
    EXPECT_EQ("S0 I135[1]", codes) << "the exit sent commands after the connection's own frames";
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(0))) << "the exit left the lock file";
}

TEST_F(Lifecycle, ExplicitPortNumbersAreTriedAsGiven)
{
    auto high = Device(200);
    Stopwatch refused;
    EXPECT_FALSE(VasqConnect(-5, 5000));
    EXPECT_LT(refused.Ms(), 500.0) << "a negative port number other than -1 is refused at once";
    ASSERT_TRUE(VasqConnect(200, 5000));
    EXPECT_TRUE(e2e::FileExists(m_folder.LockPath(200)));
    VasqFree();
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(200)));
}
