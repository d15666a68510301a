#include <fcntl.h>
#include <termios.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "TestSupport.h"
#include "device/Packet.h"
#include "device/Transport.h"
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
    // The simulator counts the probe's answer after writing it, which can be
    // after FindDevice has already read it.
    ASSERT_TRUE(device->WaitForAnswersSent(1, std::chrono::seconds(5)));
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
