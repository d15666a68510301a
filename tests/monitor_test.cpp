#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "api/Instrument.h"
#include "device/Monitor.h"
#include "device/Transport.h"
#include "platform/ProcessObjects.h"
#include "device/Device.h"

namespace {
void IgnoreEvent(uint32_t, uint32_t, unsigned long) {}

std::mutex s_listingsMutex;
std::vector<uint64_t> s_listings;
void NoteListing()
{
    std::lock_guard<std::mutex> lock(s_listingsMutex);
    s_listings.push_back(GetTickCount64());
}
size_t ListingCount()
{
    std::lock_guard<std::mutex> lock(s_listingsMutex);
    return s_listings.size();
}
}  // namespace

TEST(NotifyRegistry, EntriesAreSetReplacedAndCleared)
{
    bool present = false;
    EXPECT_EQ(nullptr, RegisteredNotifyEvent(DEVICE_CHANGE_EVENT, &present));
    EXPECT_FALSE(present);
    RegisterNotifyEvent(DEVICE_CHANGE_EVENT, IgnoreEvent);
    EXPECT_EQ(&IgnoreEvent, RegisteredNotifyEvent(DEVICE_CHANGE_EVENT));
    RegisterNotifyEvent(DEVICE_CHANGE_EVENT, nullptr);
    EXPECT_EQ(nullptr, RegisteredNotifyEvent(DEVICE_CHANGE_EVENT, &present));
    EXPECT_TRUE(present) << "a cleared entry stays, with no callback";
}

TEST(NotifyRegistry, OnlyTheDeviceChangeCodeWakesTheConnectionThread)
{
    SetMonitorLossNotifier(WakeConnectionThread);
    // The callback of the first release is about the default device.
    Instrument& instrument = DefaultInstrument();
    instrument.m_hReconnectEvent.ResetEvent();
    WinEventCb(536, 0, 0);
    EXPECT_EQ(WAIT_TIMEDOUT, instrument.m_hReconnectEvent.WaitTimeout(0));
    WinEventCb(DEVICE_CHANGE_EVENT, 0, 0);
    EXPECT_EQ(WAIT_SIGNALED, instrument.m_hReconnectEvent.WaitTimeout(0));
}

using MonitorTest = DeviceTest;

TEST_F(MonitorTest, AWatcherClosesOnlyTheConnectionItWatched)
{
    auto first = StartDevice(0);
    auto second = StartDevice(1);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    const uint64_t watched = DeviceConnectionNumber(m_instrument);
    EXPECT_NE(0u, watched);
    DeviceClose(m_instrument);
    EXPECT_EQ(0u, DeviceConnectionNumber(m_instrument));
    ASSERT_TRUE(FindDevice(m_instrument, 1));
    EXPECT_FALSE(DeviceCloseConnection(m_instrument, watched)) << "a stale watcher closed a newer connection";
    EXPECT_TRUE(DeviceIsConnected(m_instrument));
    EXPECT_TRUE(FileExists(LockPath(1)));
    EXPECT_TRUE(DeviceCloseConnection(m_instrument, DeviceConnectionNumber(m_instrument)));
    EXPECT_FALSE(DeviceIsConnected(m_instrument));
    EXPECT_FALSE(FileExists(LockPath(1)));
}

// Starts a monitoring run on the open port, makes the device vanish, and
// waits for the monitor to declare the loss.
void ExpectLossDeclared(Instrument& instrument, const std::function<void()>& vanish)
{
    instrument.m_hReconnectEvent.ResetEvent();
    const uint32_t losses = MonitorLossCount();
    instrument.Monitor().StartMonitor();
    vanish();
    ASSERT_EQ(WAIT_SIGNALED, instrument.m_hReconnectEvent.WaitTimeout(8000));
    ASSERT_TRUE(WaitUntil([&] { return MonitorLossCount() == losses + 1; }, std::chrono::seconds(8)));
    EXPECT_FALSE(DeviceIsConnected(instrument)) << "the monitor closes the lost port";
}

TEST_F(MonitorTest, MonitorDeclaresAVanishedPortLost)
{
    auto device = StartDevice(2);
    ASSERT_TRUE(FindDevice(m_instrument, 2));
    ExpectLossDeclared(m_instrument, [&] { device->Unplug(); });
    EXPECT_TRUE(DevicePortFailed(m_instrument)) << "the hang-up was reported, not only the listing";
    EXPECT_FALSE(FileExists(LockPath(2)));
}

TEST_F(MonitorTest, ListingAloneNoticesANodeRemovedWhileThePortStaysOpen)
{
    auto device = StartDevice(3);
    ASSERT_TRUE(FindDevice(m_instrument, 3));
    ExpectLossDeclared(m_instrument, [&] { device->RemoveNode(); });
    EXPECT_FALSE(DevicePortFailed(m_instrument)) << "no hang-up was raised; the listing found the loss";
}

TEST_F(MonitorTest, HangUpOfAPortWhoseNodeStaysIsALoss)
{
    auto device = StartDevice(4);
    ASSERT_TRUE(FindDevice(m_instrument, 4));
    ExpectLossDeclared(m_instrument, [&] { device->HangUpKeepingNode(); });
    struct stat link;
    EXPECT_EQ(0, lstat(device->NodePath().c_str(), &link)) << "the node was meant to stay listed";
}

// A cycle is three listings even when the first one shows the port: the next
// two follow at once, then the cycle's pause.
TEST_F(MonitorTest, EveryCycleRunsItsThreeListingsWhileThePortIsSeen)
{
    auto device = StartDevice(5);
    ASSERT_TRUE(FindDevice(m_instrument, 5));
    SetMonitorListingHook(NoteListing);
    m_instrument.Monitor().StartMonitor();
    const bool listed = WaitUntil([] { return ListingCount() >= 7; }, std::chrono::seconds(10));
    SetMonitorListingHook(nullptr);
    ASSERT_TRUE(listed) << ListingCount() << " listings";
    std::vector<uint64_t> times;
    {
        std::lock_guard<std::mutex> lock(s_listingsMutex);
        times = s_listings;
    }
    for (size_t cycle = 0; cycle < 2; ++cycle) {
        const size_t first = 3 * cycle;
        EXPECT_LT(times[first + 2] - times[first], 1000u) << "cycle " << cycle << ": listings paused as if unseen";
        EXPECT_GE(times[first + 3] - times[first + 2], 1000u) << "cycle " << cycle << " had more than three listings";
    }
    EXPECT_TRUE(DeviceIsConnected(m_instrument));
    EXPECT_TRUE(DeviceClose(m_instrument));
}

// The monitor as release 1.0 made it: constructed without a device, it
// watches the default device's port; WaitMonitor takes each start once,
// also one made before it waited.
TEST_F(MonitorTest, AMonitorOfTheFirstReleaseWatchesTheDefaultDeviceAndWaitsForStarts)
{
    auto device = StartDevice(6);
    // The service forms of the first release work on the default device.
    ASSERT_TRUE(FindDevice(6));
    CAutoMonitor monitor;
    EXPECT_EQ(&DefaultDevice(), &monitor.Watched());
    std::atomic<int> taken{0};
    std::thread waiter([&] {
        monitor.WaitMonitor();
        taken.fetch_add(1);
        monitor.WaitMonitor();
        taken.fetch_add(1);
    });
    DefaultInstrument().m_hReconnectEvent.ResetEvent();
    monitor.StartMonitor();
    ASSERT_TRUE(WaitUntil([&] { return taken.load() == 1; }, std::chrono::seconds(5)));
    device->RemoveNode();
    EXPECT_EQ(WAIT_SIGNALED, DefaultInstrument().m_hReconnectEvent.WaitTimeout(8000)) << "the loss went unnoticed";
    EXPECT_FALSE(DeviceIsConnected());
    monitor.StartMonitor();
    waiter.join();
    EXPECT_EQ(2, taken.load());
    monitor.StartMonitor();
    monitor.WaitMonitor();  // made before the wait: taken at once
    DeviceClose();
}
