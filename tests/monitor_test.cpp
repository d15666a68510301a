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
    CurrentInstrument().m_hReconnectEvent.ResetEvent();
    WinEventCb(536, 0, 0);
    EXPECT_EQ(WAIT_TIMEDOUT, CurrentInstrument().m_hReconnectEvent.WaitTimeout(0));
    WinEventCb(DEVICE_CHANGE_EVENT, 0, 0);
    EXPECT_EQ(WAIT_SIGNALED, CurrentInstrument().m_hReconnectEvent.WaitTimeout(0));
}

using MonitorTest = DeviceTest;

TEST_F(MonitorTest, AWatcherClosesOnlyTheConnectionItWatched)
{
    auto first = StartDevice(0);
    auto second = StartDevice(1);
    ASSERT_TRUE(FindDevice(0));
    const uint64_t watched = DeviceConnectionNumber(DefaultDevice());
    EXPECT_NE(0u, watched);
    DeviceClose();
    EXPECT_EQ(0u, DeviceConnectionNumber(DefaultDevice()));
    ASSERT_TRUE(FindDevice(1));
    EXPECT_FALSE(DeviceCloseConnection(DefaultDevice(), watched)) << "a stale watcher closed a newer connection";
    EXPECT_TRUE(DeviceIsConnected());
    EXPECT_TRUE(FileExists(LockPath(1)));
    EXPECT_TRUE(DeviceCloseConnection(DefaultDevice(), DeviceConnectionNumber(DefaultDevice())));
    EXPECT_FALSE(DeviceIsConnected());
    EXPECT_FALSE(FileExists(LockPath(1)));
}

// Starts a monitoring run on the open port, makes the device vanish, and
// waits for the monitor to declare the loss.
void ExpectLossDeclared(const std::function<void()>& vanish)
{
    CurrentInstrument().m_hReconnectEvent.ResetEvent();
    const uint32_t losses = MonitorLossCount();
    CurrentDevice().Monitor().StartMonitor();
    vanish();
    ASSERT_EQ(WAIT_SIGNALED, CurrentInstrument().m_hReconnectEvent.WaitTimeout(8000));
    ASSERT_TRUE(WaitUntil([&] { return MonitorLossCount() == losses + 1; }, std::chrono::seconds(8)));
    EXPECT_FALSE(DeviceIsConnected()) << "the monitor closes the lost port";
}

TEST_F(MonitorTest, MonitorDeclaresAVanishedPortLost)
{
    auto device = StartDevice(2);
    ASSERT_TRUE(FindDevice(2));
    ExpectLossDeclared([&] { device->Unplug(); });
    EXPECT_TRUE(DevicePortFailed(DefaultDevice())) << "the hang-up was reported, not only the listing";
    EXPECT_FALSE(FileExists(LockPath(2)));
}

TEST_F(MonitorTest, ListingAloneNoticesANodeRemovedWhileThePortStaysOpen)
{
    auto device = StartDevice(3);
    ASSERT_TRUE(FindDevice(3));
    ExpectLossDeclared([&] { device->RemoveNode(); });
    EXPECT_FALSE(DevicePortFailed(DefaultDevice())) << "no hang-up was raised; the listing found the loss";
}

TEST_F(MonitorTest, HangUpOfAPortWhoseNodeStaysIsALoss)
{
    auto device = StartDevice(4);
    ASSERT_TRUE(FindDevice(4));
    ExpectLossDeclared([&] { device->HangUpKeepingNode(); });
    struct stat link;
    EXPECT_EQ(0, lstat(device->NodePath().c_str(), &link)) << "the node was meant to stay listed";
}

// A cycle is three listings even when the first one shows the port: the next
// two follow at once, then the cycle's pause.
TEST_F(MonitorTest, EveryCycleRunsItsThreeListingsWhileThePortIsSeen)
{
    auto device = StartDevice(5);
    ASSERT_TRUE(FindDevice(5));
    SetMonitorListingHook(NoteListing);
    CurrentDevice().Monitor().StartMonitor();
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
    EXPECT_TRUE(DeviceIsConnected());
    EXPECT_TRUE(DeviceClose());
}

// The monitor as release 1.0 made it: constructed without a device, it
// watches the default device's port; WaitMonitor takes each start once,
// also one made before it waited.
TEST_F(MonitorTest, AMonitorOfTheFirstReleaseWatchesTheDefaultDeviceAndWaitsForStarts)
{
    auto device = StartDevice(6);
    {
        DeviceScope scope(DefaultDevice());
        ASSERT_TRUE(FindDevice(6));
    }
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
    {
        DeviceScope scope(DefaultDevice());
        EXPECT_FALSE(DeviceIsConnected());
    }
    monitor.StartMonitor();
    waiter.join();
    EXPECT_EQ(2, taken.load());
    monitor.StartMonitor();
    monitor.WaitMonitor();  // made before the wait: taken at once
}
