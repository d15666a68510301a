#include <fcntl.h>
#include <termios.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "TestSupport.h"
#include "device/Packet.h"
#include "device/Transport.h"
#include "protocol/DeviceControl.h"
#include "protocol/Identity.h"

using vasqsim::Fault;
using vasqsim::FaultKind;

TEST(Trim, CutsWhiteSpaceOnBothSides)
{
    char text[] = "  abc \t\n";
    StringTrim(text);
    EXPECT_STREQ("abc", text);
    char blank[] = " \t\r\n\v\f";
    StringTrim(blank);
    EXPECT_STREQ("", blank);
    char empty[] = "";
    StringTrim(empty);
    EXPECT_STREQ("", empty);
    char inner[] = "a b  ";
    StringTrimRight(inner);
    EXPECT_STREQ("a b", inner);
    char left[] = "\t x y";
    StringTrimLeft(left);
    EXPECT_STREQ("x y", left);
}

using TransportTest = DeviceTest;

TEST_F(TransportTest, ClosedTransportFailsAtOnce)
{
    EXPECT_FALSE(DeviceIsConnected());
    EXPECT_FALSE(DeviceCheckPath(""));
    EXPECT_FALSE(DeviceCheckPath("/dev/ttyACM0"));
    EXPECT_FALSE(DeviceIsAlive());
    uint8_t buffer[4];
    Stopwatch watch;
    EXPECT_EQ(0, DeviceReadData(buffer, 4));
    EXPECT_EQ(0, DeviceWriteData(buffer, 4));
    EXPECT_LT(watch.Ms(), 100.0);
    EXPECT_TRUE(DeviceClose());
    EXPECT_TRUE(UnlockDevice());
}

TEST_F(TransportTest, ScanFindsTheDeviceAndCloseReleasesEverything)
{
    auto device = StartDevice(3);
    EXPECT_FALSE(DeviceConnect(3, 0));
    EXPECT_TRUE(device->Log().empty()) << "a connect with no attempts touched the port";

    ASSERT_TRUE(DeviceConnect(-1, 1));
    EXPECT_TRUE(DeviceIsConnected());
    EXPECT_STREQ(device->NodePath().c_str(), g_szDevicePath);
    EXPECT_TRUE(DeviceCheckPath(device->NodePath().c_str()));
    EXPECT_FALSE(DeviceCheckPath((device->NodePath() + "1").c_str()));
    EXPECT_TRUE(DeviceIsAlive());
    EXPECT_TRUE(FileExists(LockPath(3)));
    EXPECT_NE(-1, g_nLockFile);

    DeviceClose();
    EXPECT_FALSE(DeviceIsConnected());
    EXPECT_FALSE(DeviceIsAlive());
    EXPECT_STREQ("", g_szDevicePath);
    EXPECT_FALSE(FileExists(LockPath(3)));
    EXPECT_EQ(-1, g_nLockFile);
}

TEST_F(TransportTest, PortsAreConfiguredRawAndNotInherited)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(0));
    const int fd = static_cast<int>(g_hDevice.load());
    termios tio;
    ASSERT_EQ(0, tcgetattr(fd, &tio));
    EXPECT_EQ(0u, tio.c_lflag);
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_EQ(0u, tio.c_iflag & (ICRNL | IXON));
    EXPECT_NE(0u, tio.c_iflag & IGNPAR);
    EXPECT_EQ(B115200, cfgetospeed(&tio));
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_NE(0, fcntl(g_nLockFile, F_GETFD) & FD_CLOEXEC);
}

TEST_F(TransportTest, LockedPortIsSkippedAndItsLockKept)
{
    auto first = StartDevice(0);
    auto second = StartDevice(1);
    // Another process holds port 0.
    const int held = open(LockPath(0).c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(FindDevice(-1));
    EXPECT_STREQ(second->NodePath().c_str(), g_szDevicePath);
    EXPECT_TRUE(first->Log().empty());
    EXPECT_TRUE(FileExists(LockPath(0))) << "the other holder's lock file was removed";
    close(held);
}

TEST_F(TransportTest, RefusedProbeReleasesThePort)
{
    auto wrongModel = StartDevice(0);
    wrongModel->WithModel([](vasqsim::DeviceModel& m) {
        auto bytes = IdentityBytes('Q', 'X', 0x71);
        std::copy(bytes.begin(), bytes.end(), m.identity.begin());
    });
    auto good = StartDevice(1);
    ASSERT_TRUE(FindDevice(-1));
    EXPECT_STREQ(good->NodePath().c_str(), g_szDevicePath);
    EXPECT_FALSE(FileExists(LockPath(0))) << "a refused port stays locked";
    DeviceClose();

    // A silent port costs one read timeout and is released too.
    good->InjectFault({FaultKind::NoAnswer});
    Stopwatch watch;
    EXPECT_FALSE(FindDevice(1));
    EXPECT_GE(watch.Ms(), 950.0);
    EXPECT_LT(watch.Ms(), 3000.0);
    EXPECT_FALSE(DeviceIsConnected());
    EXPECT_FALSE(FileExists(LockPath(1)));
}

TEST_F(TransportTest, PartialDataWithinTheBudgetReadsAsNothing)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(0));
    device->SendRaw({1, 2, 3});
    uint8_t buffer[8];
    Stopwatch watch;
    EXPECT_EQ(0, DeviceReadData(buffer, 8));
    EXPECT_GE(watch.Ms(), 950.0);
    device->SendRaw({4, 5, 6, 7});
    EXPECT_EQ(4, DeviceReadData(buffer, 4));
    EXPECT_EQ(0, memcmp(buffer, "\x04\x05\x06\x07", 4));
}

TEST_F(TransportTest, HangUpEndsAReadAtOnce)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(0));
    device->InjectFault({FaultKind::HangUpMidFrame});
    Stopwatch watch;
    EXPECT_FALSE(UpdateDeviceInformation());
    EXPECT_LT(watch.Ms(), 900.0);
    uint8_t buffer[4];
    Stopwatch again;
    EXPECT_EQ(0, DeviceReadData(buffer, 4));
    EXPECT_LT(again.Ms(), 900.0);
    EXPECT_FALSE(DeviceIsAlive());
}

TEST_F(TransportTest, CloseFromAnotherThreadEndsTheExchange)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(0));
    device->ClearLog();
    const size_t answered = device->AnswersSent();
    Fault slow{FaultKind::Delay};
    slow.delayMs = 2000;
    device->InjectFault(slow);
    std::atomic<int> result{-1};
    std::atomic<double> elapsed{0};
    std::thread exchange([&] {
        Stopwatch watch;
        result = UpdateDeviceInformation() ? 1 : 0;
        elapsed = watch.Ms();
    });
    ASSERT_TRUE(device->WaitForLogSize(1, std::chrono::seconds(5)));
    Stopwatch closing;
    DeviceClose();
    EXPECT_LT(closing.Ms(), 500.0);
    exchange.join();
    EXPECT_EQ(0, result.load());
    EXPECT_LT(elapsed.load(), 900.0) << "the exchange waited out its timeout on a closed port";
    EXPECT_FALSE(FileExists(LockPath(0)));

    // The next connection works normally, the stale answer notwithstanding.
    ASSERT_TRUE(device->WaitForAnswersSent(answered + 1, std::chrono::seconds(5)));
    ASSERT_TRUE(FindDevice(0));
    EXPECT_TRUE(UpdateDeviceInformation());
}

TEST_F(TransportTest, ScanWithoutNodesFails)
{
    Stopwatch watch;
    EXPECT_FALSE(FindDevice(-1));
    EXPECT_FALSE(FindDevice(128));
    EXPECT_LT(watch.Ms(), 500.0);
    Stopwatch paused;
    EXPECT_FALSE(DeviceConnect(-1, 1));
    EXPECT_GE(paused.Ms(), 990.0);
}

TEST(DefaultPaths, RealNodeAndLockFoldersAsRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create nodes in /dev and locks in /var/lock";
    int port = 127;
    while (port > 63 && (FileExists("/dev/ttyACM" + std::to_string(port)) ||
                         FileExists("/var/lock/kestrova.ACM" + std::to_string(port) + ".lock")))
        --port;
    SetDeviceFoldersForTesting("", "");
    SetDeviceProbe(IsTargetDevice);
    vasqsim::SimDevice device("/dev", port);
    ASSERT_TRUE(device.Plugged());
    const std::string lock = "/var/lock/kestrova.ACM" + std::to_string(port) + ".lock";
    ASSERT_TRUE(DeviceConnect(port, 1));
    EXPECT_STREQ(("/dev/ttyACM" + std::to_string(port)).c_str(), g_szDevicePath);
    EXPECT_TRUE(FileExists(lock));
    EXPECT_TRUE(DeviceIsAlive());
    EXPECT_STREQ("NQX7001-070042", FormatSerialNumber());
    DeviceClose();
    EXPECT_FALSE(FileExists(lock));
}

namespace {

// The termios record of a port as the simulated device left it, read through
// a descriptor of the test's own.
termios SettingsOf(const std::string& node)
{
    termios tio{};
    const int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(0, tcgetattr(fd, &tio));
    close(fd);
    return tio;
}

}  // namespace

TEST_F(TransportTest, CookedAndFreshPortsAreConfiguredExactlyAsTheTableSays)
{
    for (vasqsim::PortSettings settings : {vasqsim::PortSettings::Cooked, vasqsim::PortSettings::AsCreated}) {
        const bool cooked = settings == vasqsim::PortSettings::Cooked;
        SCOPED_TRACE(cooked ? "cooked port" : "fresh port");
        vasqsim::SimDevice device(m_folder.path(), 0, true, settings);
        const termios before = SettingsOf(device.NodePath());
        if (cooked) {
            ASSERT_NE(0u, before.c_iflag & ICRNL);
            ASSERT_NE(0u, before.c_lflag & ICANON);
            ASSERT_NE(0u, before.c_cflag & CLOCAL);
            ASSERT_EQ(0, before.c_cc[VMIN]);
        }
        termios expected = before;
        expected.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
        expected.c_iflag |= IGNPAR;
        expected.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
        expected.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
        expected.c_lflag = 0;
        cfsetospeed(&expected, B115200);

        ASSERT_TRUE(FindDevice(0));
        termios after{};
        ASSERT_EQ(0, tcgetattr(static_cast<int>(g_hDevice.load()), &after));
        EXPECT_EQ(expected.c_iflag, after.c_iflag);
        EXPECT_EQ(expected.c_oflag, after.c_oflag);
        EXPECT_EQ(expected.c_cflag, after.c_cflag);
        EXPECT_EQ(0u, after.c_cflag & CLOCAL);
        EXPECT_EQ(0u, after.c_lflag);
        EXPECT_EQ(before.c_cc[VMIN], after.c_cc[VMIN]) << "VMIN is the driver's";
        EXPECT_EQ(before.c_cc[VTIME], after.c_cc[VTIME]) << "VTIME is the driver's";
        EXPECT_EQ(B115200, cfgetospeed(&after));
        DeviceClose();
    }
}

TEST_F(TransportTest, IdleReadsOfACookedPortAreNotAHangUp)
{
    vasqsim::SimDevice device(m_folder.path(), 0, true, vasqsim::PortSettings::Cooked);
    ASSERT_TRUE(FindDevice(0));
    uint8_t nothing[8];
    EXPECT_EQ(0, DeviceReadAvailable(nothing, sizeof(nothing))) << "an idle VMIN = 0 port reads 0 bytes";
    EXPECT_FALSE(DevicePortFailed());

    // Bytes a cooked port would map, stop on or echo travel unchanged both ways.
    const uint8_t tricky[16] = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x7F, 0x1A,
                                0x0D, 0x0D, 0x0A, 0x00, 0xFF, 0x15, 0x17, 0x12};
    device.ClearLog();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(WriteMfgInfo(tricky, sizeof(tricky))) << "round " << round;
        uint8_t back[16] = {};
        ASSERT_TRUE(ReadMfgInfo(back, sizeof(back)));
        EXPECT_EQ(0, memcmp(tricky, back, sizeof(tricky)));
    }
    const auto log = device.Log();
    ASSERT_FALSE(log.empty());
    const auto& written = log[1].payload;
    ASSERT_EQ(64u, written.size());
    EXPECT_EQ(0, memcmp(tricky, written.data(), sizeof(tricky))) << "the device received altered bytes";
    EXPECT_FALSE(DevicePortFailed()) << "idle reads marked the port failed";

    // A real hang-up still ends a read at once.
    device.InjectFault({FaultKind::HangUpMidFrame});
    Stopwatch watch;
    EXPECT_FALSE(UpdateDeviceInformation());
    EXPECT_LT(watch.Ms(), 900.0);
    EXPECT_TRUE(DevicePortFailed());
}

TEST_F(TransportTest, BlockUploadOnACookedPortWaitsTheWholeAcknowledgementTime)
{
    vasqsim::SimDevice device(m_folder.path(), 0, true, vasqsim::PortSettings::Cooked);
    ASSERT_TRUE(FindDevice(0));
    device.InjectFault({FaultKind::NoAnswer}, 'I', 142);
    device.ClearLog();
    const std::string picture(200, '\x0D');
    EXPECT_TRUE(WritePNG(picture.data(), static_cast<int>(picture.size())));
    const auto log = device.Log();
    ASSERT_EQ(3u, log.size());
    const double waitedMs = std::chrono::duration<double, std::milli>(log[1].time - log[0].time).count();
    printf("block acknowledgement wait on a cooked port: %.0f ms\n", waitedMs);
    EXPECT_GE(waitedMs, 4900.0) << "the next block went out before the acknowledgement time was up";
    EXPECT_EQ(std::vector<uint8_t>(96, 0x0D), std::vector<uint8_t>(log[0].payload.begin() + 8, log[0].payload.end()));
    EXPECT_FALSE(DevicePortFailed());
}

TEST_F(TransportTest, ExplicitPortNumbersAreTriedAsGiven)
{
    auto high = StartDevice(200);
    EXPECT_FALSE(FindDevice(-1)) << "the scan covers 0 to 127 only";
    EXPECT_TRUE(high->Log().empty());
    EXPECT_FALSE(FindDevice(-5));
    ASSERT_TRUE(FindDevice(200));
    EXPECT_STREQ(high->NodePath().c_str(), g_szDevicePath);
    EXPECT_TRUE(FileExists(LockPath(200)));
    DeviceClose();
    EXPECT_FALSE(FileExists(LockPath(200)));
}
