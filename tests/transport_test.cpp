#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
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
#include "device/Device.h"

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
    EXPECT_FALSE(DeviceIsConnected(m_instrument));
    EXPECT_FALSE(DeviceCheckPath(m_instrument, ""));
    EXPECT_FALSE(DeviceCheckPath(m_instrument, "/dev/ttyACM0"));
    EXPECT_FALSE(DeviceIsAlive(m_instrument));
    uint8_t buffer[4];
    Stopwatch watch;
    EXPECT_EQ(0, DeviceReadData(m_instrument, buffer, 4));
    EXPECT_EQ(0, DeviceWriteData(m_instrument, buffer, 4));
    EXPECT_LT(watch.Ms(), 100.0);
    EXPECT_TRUE(DeviceClose(m_instrument));
    EXPECT_TRUE(UnlockDevice(m_instrument));
}

TEST_F(TransportTest, ScanFindsTheDeviceAndCloseReleasesEverything)
{
    auto device = StartDevice(3);
    EXPECT_FALSE(DeviceConnect(m_instrument, 3, 0));
    EXPECT_TRUE(device->Log().empty()) << "a connect with no attempts touched the port";

    ASSERT_TRUE(DeviceConnect(m_instrument, -1, 1));
    EXPECT_TRUE(DeviceIsConnected(m_instrument));
    EXPECT_STREQ(device->NodePath().c_str(), m_instrument.m_szDevicePath);
    EXPECT_TRUE(DeviceCheckPath(m_instrument, device->NodePath().c_str()));
    EXPECT_FALSE(DeviceCheckPath(m_instrument, (device->NodePath() + "1").c_str()));
    EXPECT_TRUE(DeviceIsAlive(m_instrument));
    EXPECT_TRUE(FileExists(LockPath(3)));
    EXPECT_NE(-1, m_instrument.m_nLockFile);

    DeviceClose(m_instrument);
    EXPECT_FALSE(DeviceIsConnected(m_instrument));
    EXPECT_FALSE(DeviceIsAlive(m_instrument));
    EXPECT_STREQ("", m_instrument.m_szDevicePath);
    EXPECT_FALSE(FileExists(LockPath(3)));
    EXPECT_EQ(-1, m_instrument.m_nLockFile);
}

TEST_F(TransportTest, PortsAreConfiguredRawAndNotInherited)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    const int fd = static_cast<int>(m_instrument.m_hDevice.load());
    termios tio;
    ASSERT_EQ(0, tcgetattr(fd, &tio));
    EXPECT_EQ(0u, tio.c_lflag);
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_EQ(0u, tio.c_iflag & (ICRNL | IXON));
    EXPECT_NE(0u, tio.c_iflag & IGNPAR);
    EXPECT_EQ(B115200, cfgetospeed(&tio));
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_NE(0, fcntl(m_instrument.m_nLockFile, F_GETFD) & FD_CLOEXEC);
}

TEST_F(TransportTest, LockedPortIsSkippedAndItsLockKept)
{
    auto first = StartDevice(0);
    auto second = StartDevice(1);
    // Another process holds port 0.
    const int held = open(LockPath(0).c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(FindDevice(m_instrument, -1));
    EXPECT_STREQ(second->NodePath().c_str(), m_instrument.m_szDevicePath);
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
    ASSERT_TRUE(FindDevice(m_instrument, -1));
    EXPECT_STREQ(good->NodePath().c_str(), m_instrument.m_szDevicePath);
    EXPECT_FALSE(FileExists(LockPath(0))) << "a refused port stays locked";
    DeviceClose(m_instrument);

    // A silent port costs one read timeout and is released too.
    good->InjectFault({FaultKind::NoAnswer});
    Stopwatch watch;
    EXPECT_FALSE(FindDevice(m_instrument, 1));
    EXPECT_GE(watch.Ms(), 950.0);
    EXPECT_LT(watch.Ms(), 3000.0);
    EXPECT_FALSE(DeviceIsConnected(m_instrument));
    EXPECT_FALSE(FileExists(LockPath(1)));
}

TEST_F(TransportTest, PartialDataWithinTheBudgetReadsAsNothing)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    device->SendRaw({1, 2, 3});
    uint8_t buffer[8];
    Stopwatch watch;
    EXPECT_EQ(0, DeviceReadData(m_instrument, buffer, 8));
    EXPECT_GE(watch.Ms(), 950.0);
    device->SendRaw({4, 5, 6, 7});
    EXPECT_EQ(4, DeviceReadData(m_instrument, buffer, 4));
    EXPECT_EQ(0, memcmp(buffer, "\x04\x05\x06\x07", 4));
}

TEST_F(TransportTest, HangUpEndsAReadAtOnce)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    device->InjectFault({FaultKind::HangUpMidFrame});
    Stopwatch watch;
    EXPECT_FALSE(UpdateDeviceInformation(m_instrument));
    EXPECT_LT(watch.Ms(), 900.0);
    uint8_t buffer[4];
    Stopwatch again;
    EXPECT_EQ(0, DeviceReadData(m_instrument, buffer, 4));
    EXPECT_LT(again.Ms(), 900.0);
    EXPECT_FALSE(DeviceIsAlive(m_instrument));
}

TEST_F(TransportTest, CloseFromAnotherThreadEndsTheExchange)
{
    auto device = StartDevice(0);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    device->ClearLog();
    // The probe's answer is counted once written, which may be after the library has read it.
    ASSERT_TRUE(device->WaitForAnswersSent(1, std::chrono::seconds(5)));
    const size_t answered = device->AnswersSent();
    Fault slow{FaultKind::Delay};
    slow.delayMs = 2000;
    device->InjectFault(slow);
    std::atomic<int> result{-1};
    std::atomic<double> elapsed{0};
    std::thread exchange([&] {
        Stopwatch watch;
        result = UpdateDeviceInformation(m_instrument) ? 1 : 0;
        elapsed = watch.Ms();
    });
    ASSERT_TRUE(device->WaitForLogSize(1, std::chrono::seconds(5)));
    Stopwatch closing;
    DeviceClose(m_instrument);
    EXPECT_LT(closing.Ms(), 500.0);
    exchange.join();
    EXPECT_EQ(0, result.load());
    EXPECT_LT(elapsed.load(), 900.0) << "the exchange waited out its timeout on a closed port";
    EXPECT_FALSE(FileExists(LockPath(0)));

    // The next connection works normally, the stale answer notwithstanding.
    ASSERT_TRUE(device->WaitForAnswersSent(answered + 1, std::chrono::seconds(5)));
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    EXPECT_TRUE(UpdateDeviceInformation(m_instrument));
}

TEST_F(TransportTest, ScanWithoutNodesFails)
{
    Stopwatch watch;
    EXPECT_FALSE(FindDevice(m_instrument, -1));
    EXPECT_FALSE(FindDevice(m_instrument, 128));
    EXPECT_LT(watch.Ms(), 500.0);
    Stopwatch paused;
    EXPECT_FALSE(DeviceConnect(m_instrument, -1, 1));
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
    SetDeviceProbe(ProbeIdentity);
    vasqsim::SimDevice device("/dev", port);
    Instrument instrument;
    ASSERT_TRUE(device.Plugged());
    const std::string lock = "/var/lock/kestrova.ACM" + std::to_string(port) + ".lock";
    ASSERT_TRUE(DeviceConnect(instrument, port, 1));
    EXPECT_STREQ(("/dev/ttyACM" + std::to_string(port)).c_str(), instrument.m_szDevicePath);
    EXPECT_TRUE(FileExists(lock));
    EXPECT_TRUE(DeviceIsAlive(instrument));
    EXPECT_STREQ("NQX7001-070042", FormatSerialNumber(instrument));
    DeviceClose(instrument);
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

        ASSERT_TRUE(FindDevice(m_instrument, 0));
        termios after{};
        ASSERT_EQ(0, tcgetattr(static_cast<int>(m_instrument.m_hDevice.load()), &after));
        EXPECT_EQ(expected.c_iflag, after.c_iflag);
        EXPECT_EQ(expected.c_oflag, after.c_oflag);
        EXPECT_EQ(expected.c_cflag, after.c_cflag);
        EXPECT_EQ(0u, after.c_cflag & CLOCAL);
        EXPECT_EQ(0u, after.c_lflag);
        EXPECT_EQ(before.c_cc[VMIN], after.c_cc[VMIN]) << "VMIN is the driver's";
        EXPECT_EQ(before.c_cc[VTIME], after.c_cc[VTIME]) << "VTIME is the driver's";
        EXPECT_EQ(B115200, cfgetospeed(&after));
        DeviceClose(m_instrument);
    }
}

TEST_F(TransportTest, IdleReadsOfACookedPortAreNotAHangUp)
{
    vasqsim::SimDevice device(m_folder.path(), 0, true, vasqsim::PortSettings::Cooked);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    uint8_t nothing[8];
    EXPECT_EQ(0, DeviceReadAvailable(m_instrument, nothing, sizeof(nothing))) << "an idle VMIN = 0 port reads 0 bytes";
    EXPECT_FALSE(DevicePortFailed(m_instrument));

    // Bytes a cooked port would map, stop on or echo travel unchanged both ways.
    const uint8_t tricky[16] = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x7F, 0x1A,
                                0x0D, 0x0D, 0x0A, 0x00, 0xFF, 0x15, 0x17, 0x12};
    device.ClearLog();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(WriteMfgInfo(m_instrument, tricky, sizeof(tricky))) << "round " << round;
        uint8_t back[16] = {};
        ASSERT_TRUE(ReadMfgInfo(m_instrument, back, sizeof(back)));
        EXPECT_EQ(0, memcmp(tricky, back, sizeof(tricky)));
    }
    const auto log = device.Log();
    ASSERT_FALSE(log.empty());
    const auto& written = log[1].payload;
    ASSERT_EQ(64u, written.size());
    EXPECT_EQ(0, memcmp(tricky, written.data(), sizeof(tricky))) << "the device received altered bytes";
    EXPECT_FALSE(DevicePortFailed(m_instrument)) << "idle reads marked the port failed";

    // A real hang-up still ends a read at once.
    device.InjectFault({FaultKind::HangUpMidFrame});
    Stopwatch watch;
    EXPECT_FALSE(UpdateDeviceInformation(m_instrument));
    EXPECT_LT(watch.Ms(), 900.0);
    EXPECT_TRUE(DevicePortFailed(m_instrument));
}

TEST_F(TransportTest, BlockUploadOnACookedPortWaitsTheWholeAcknowledgementTime)
{
    vasqsim::SimDevice device(m_folder.path(), 0, true, vasqsim::PortSettings::Cooked);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    device.InjectFault({FaultKind::NoAnswer}, 'I', 142);
    device.ClearLog();
    const std::string picture(200, '\x0D');
    EXPECT_TRUE(WritePNG(m_instrument, picture.data(), static_cast<int>(picture.size())));
    const auto log = device.Log();
    ASSERT_EQ(3u, log.size());
    const double waitedMs = std::chrono::duration<double, std::milli>(log[1].time - log[0].time).count();
    printf("block acknowledgement wait on a cooked port: %.0f ms\n", waitedMs);
    EXPECT_GE(waitedMs, 4900.0) << "the next block went out before the acknowledgement time was up";
    EXPECT_EQ(std::vector<uint8_t>(96, 0x0D), std::vector<uint8_t>(log[0].payload.begin() + 8, log[0].payload.end()));
    EXPECT_FALSE(DevicePortFailed(m_instrument));
}

TEST_F(TransportTest, ExplicitPortNumbersAreTriedAsGiven)
{
    auto high = StartDevice(200);
    EXPECT_FALSE(FindDevice(m_instrument, -1)) << "the scan covers 0 to 127 only";
    EXPECT_TRUE(high->Log().empty());
    EXPECT_FALSE(FindDevice(m_instrument, -5));
    ASSERT_TRUE(FindDevice(m_instrument, 200));
    EXPECT_STREQ(high->NodePath().c_str(), m_instrument.m_szDevicePath);
    EXPECT_TRUE(FileExists(LockPath(200)));
    DeviceClose(m_instrument);
    EXPECT_FALSE(FileExists(LockPath(200)));
}

namespace {

// A fake sysfs entry: the node's USB device publishes these ids.
void PublishUsbIds(const std::string& root, int port, const char* vendor, const char* product)
{
    const std::string usb = root + "/devices/usb1/1-" + std::to_string(port);
    const std::string interface = usb + "/1-" + std::to_string(port) + ":1.0";
    const std::string tty = root + "/class/tty/ttyACM" + std::to_string(port);
    for (const std::string& folder : {root + "/devices", root + "/devices/usb1", usb, interface, root + "/class",
                                      root + "/class/tty", tty})
        mkdir(folder.c_str(), 0755);
    ASSERT_EQ(0, symlink(interface.c_str(), (tty + "/device").c_str()));
    for (const auto& id : {std::make_pair("idVendor", vendor), std::make_pair("idProduct", product)}) {
        FILE* file = fopen((usb + "/" + id.first).c_str(), "w");
        ASSERT_NE(nullptr, file);
        fprintf(file, "%s\n", id.second);
        fclose(file);
    }
}

// Reports whether anything opened the pseudo-terminal behind a node.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& node)
    {
        char target[256] = {};
        EXPECT_GT(readlink(node.c_str(), target, sizeof(target) - 1), 0);
        m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        EXPECT_GE(inotify_add_watch(m_fd, target, IN_OPEN), 0);
    }
    ~OpenWatch() { close(m_fd); }
    bool Opened() const
    {
        alignas(inotify_event) char events[1024];
        return read(m_fd, events, sizeof(events)) > 0;
    }

private:
    int m_fd;
};

}  // namespace

TEST_F(TransportTest, ScanSkipsForeignPortsWithoutOpeningThem)
{
    TempFolder sysfs;
    SetSysfsRootForTesting(sysfs.path().c_str());
    std::vector<std::unique_ptr<vasqsim::SimDevice>> foreign;
    for (int port = 0; port < 4; ++port) {
        foreign.push_back(StartDevice(port));
        foreign.back()->InjectFault({FaultKind::NoAnswer});
        PublishUsbIds(sysfs.path(), port, port % 2 == 0 ? "0403" : "04d8", port % 2 == 0 ? "6001" : "0001");
    }
    auto withoutIds = StartDevice(5);
    std::vector<std::unique_ptr<OpenWatch>> watches;
    for (const auto& device : foreign)
        watches.push_back(std::make_unique<OpenWatch>(device->NodePath()));
    Stopwatch watch;
    ASSERT_TRUE(FindDevice(m_instrument, -1));
    EXPECT_STREQ(withoutIds->NodePath().c_str(), m_instrument.m_szDevicePath) << "a node without published ids is probed";
    EXPECT_LT(watch.Ms(), 900.0) << "a foreign port was waited on";
    for (size_t i = 0; i < foreign.size(); ++i) {
        EXPECT_FALSE(watches[i]->Opened()) << "foreign port " << i << " was opened";
        EXPECT_TRUE(foreign[i]->RawReceived().empty()) << "foreign port " << i << " was written to";
    }
    DeviceClose(m_instrument);

    // The device's own ids are probed; an explicit number is probed whatever its ids.
    auto own = StartDevice(6);
    PublishUsbIds(sysfs.path(), 6, "04D8", "0000");
    withoutIds->Unplug();
    ASSERT_TRUE(FindDevice(m_instrument, -1));
    EXPECT_STREQ(own->NodePath().c_str(), m_instrument.m_szDevicePath);
    DeviceClose(m_instrument);
    EXPECT_FALSE(FindDevice(m_instrument, 0));
    EXPECT_TRUE(watches[0]->Opened()) << "an explicit port number was not tried";
    SetSysfsRootForTesting(nullptr);
}

TEST_F(TransportTest, NewNodeEndsThePauseBetweenSearches)
{
    std::unique_ptr<vasqsim::SimDevice> device;
    std::thread plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the pause after the first attempt
        device = StartDevice(7);
    });
    Stopwatch watch;
    EXPECT_FALSE(DeviceConnect(m_instrument, -1, 1));
    const double paused = watch.Ms();
    plug.join();
    EXPECT_LT(paused, 800.0) << "the pause ran its full second although a node appeared";
    EXPECT_TRUE(DeviceConnect(m_instrument, -1, 1));
}

namespace {
std::atomic<int> g_probes{0};
bool AcceptAnyPort(Device&)
{
    g_probes.fetch_add(1);
    return true;
}
bool RefuseEveryPort(Device&)
{
    g_probes.fetch_add(1);
    return false;
}
}  // namespace

TEST_F(TransportTest, TheProbeIsHandedDownByTheLayerAbove)
{
    auto device = StartDevice(2);
    SetDeviceProbe(RefuseEveryPort);
    EXPECT_FALSE(FindDevice(m_instrument, 2));
    EXPECT_EQ(1, g_probes.load());
    EXPECT_FALSE(FileExists(LockPath(2)));
    SetDeviceProbe(AcceptAnyPort);
    ASSERT_TRUE(FindDevice(m_instrument, 2));
    EXPECT_EQ(2, g_probes.load());
    EXPECT_TRUE(device->Log().empty()) << "the transport sent something of its own";
    DeviceClose(m_instrument);
    SetDeviceProbe(nullptr);
    EXPECT_FALSE(FindDevice(m_instrument, 2)) << "without a probe no port can be taken for the device";
}
