#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "TestSupport.h"
#include "device/Transport.h"
#include "protocol/Firmware.h"
#include "vasq_service.h"

using vasqsim::DeviceModel;
using vasqsim::Fault;
using vasqsim::FaultKind;

namespace {

struct Progress {
    std::mutex mutex;
    std::vector<int> codes;
    int writing = 0;
    unsigned int lastDone = 0, lastTotal = 0;
};
Progress* g_progress = nullptr;

void RecordProgress(int code, unsigned int done, unsigned int total)
{
    std::lock_guard<std::mutex> lock(g_progress->mutex);
    if (code == FW_PROGRESS_WRITING) {
        ++g_progress->writing;
        g_progress->lastDone = done;
        g_progress->lastTotal = total;
        if (g_progress->codes.empty() || g_progress->codes.back() != code)
            g_progress->codes.push_back(code);
    } else {
        g_progress->codes.push_back(code);
    }
}

}  // namespace

// The update through the exported functions, which work on the default device.
class FirmwareTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        g_progress = &m_progress;
        m_device = StartDevice(0);
    }
    void TearDown() override
    {
        VasqFree();
        SetFlashImageForTesting(nullptr, 0, nullptr);
        g_progress = nullptr;
        DeviceTest::TearDown();
    }
    void LoadImage(int size)
    {
        std::vector<unsigned char> image(size);
        for (int i = 0; i < size; ++i)
            image[i] = static_cast<unsigned char>(i * 7);
        const HW_INFORMATION version = {3, 0, 9, 0, 0};
        SetFlashImageForTesting(image.data(), size, &version);
    }
    int Sent(uint8_t command)
    {
        int count = 0;
        for (const auto& frame : m_device->Log())
            count += frame.category == 'I' && frame.command == command ? 1 : 0;
        return count;
    }

    Progress m_progress;
    std::unique_ptr<vasqsim::SimDevice> m_device;
};

TEST_F(FirmwareTest, WithoutALoaderNothingHappens)
{
    int a = 7, b = 8, c = 9;
    EXPECT_EQ(-1, VasqUpdateFwLoadBinFile("/any/image.bin", &a, &b, &c));
    EXPECT_EQ(7, a);
    VasqUpdateFwBurnBinFile(RecordProgress);
    EXPECT_TRUE(m_progress.codes.empty());
    EXPECT_TRUE(m_device->Log().empty());
}

TEST_F(FirmwareTest, WholeUpdateTransfersAppliesAndRewritesTheIdentity)
{
    LoadImage(1000032);
    VasqUpdateFwBurnBinFile(RecordProgress);
    EXPECT_EQ(std::vector<int>({FW_PROGRESS_WRITING, FW_PROGRESS_VERIFYING, FW_PROGRESS_UPDATING, FW_PROGRESS_DONE}),
              m_progress.codes);
    EXPECT_EQ(10419, m_progress.writing) << "start, one per chunk, end";
    EXPECT_EQ(1000000u, m_progress.lastDone);
    EXPECT_EQ(1000000u, m_progress.lastTotal);
    EXPECT_EQ(10417, Sent(143));
    EXPECT_EQ(1, Sent(144));
    uint32_t received = 0;
    int applies = 0;
    std::array<uint8_t, 17> identity{};
    m_device->WithModel([&](DeviceModel& m) {
        received = m.firmwareBytes;
        applies = m.firmwareApplies;
        identity = m.identity;
    });
    EXPECT_EQ(1000000u, received);
    EXPECT_EQ(1, applies);
    EXPECT_EQ(1u, m_device->RestartsCompleted());
    EXPECT_EQ(3, identity[10]) << "the image's firmware version";
    EXPECT_EQ(9, identity[12]);
    EXPECT_EQ(2, identity[8]) << "the device's own hardware version";
    EXPECT_EQ(1, identity[9]);
    const HW_INFORMATION image = FlashImageVersion();
    EXPECT_EQ(2, image.nHWVersion1) << "the loaded image's record keeps the device's hardware version";
    EXPECT_EQ(1, image.nHWVersion2);
    EXPECT_EQ(3, image.nFWVersion1);
    EXPECT_FALSE(DeviceIsConnected(DefaultDevice()));
    EXPECT_FALSE(FileExists(LockPath(0)));
}

TEST_F(FirmwareTest, SizeMismatchIsNotApplied)
{
    LoadImage(999936 + 32);
    m_device->WithModel([](DeviceModel& m) { m.reportedFirmwareSize = 999904; });
    VasqUpdateFwBurnBinFile(RecordProgress);
    EXPECT_EQ(std::vector<int>({FW_PROGRESS_WRITING, FW_PROGRESS_VERIFYING, FW_PROGRESS_SIZE_MISMATCH}),
              m_progress.codes);
    EXPECT_EQ(0, Sent(144)) << "a device that received the wrong size must not apply it";
    EXPECT_FALSE(DeviceIsConnected(DefaultDevice()));
    EXPECT_FALSE(FileExists(LockPath(0)));
}

TEST_F(FirmwareTest, RefusedTransferEndsDisconnected)
{
    LoadImage(32 + 500);
    Fault refused{FaultKind::Status};
    refused.after = 5;  // the sixth and last block
    m_device->InjectFault(refused, 'I', 143);
    VasqUpdateFwBurnBinFile(RecordProgress);
    EXPECT_EQ(std::vector<int>({FW_PROGRESS_WRITING, FW_PROGRESS_WRITE_FAILED}), m_progress.codes);
    EXPECT_EQ(6, Sent(143));
    EXPECT_EQ(0, Sent(17));
    EXPECT_FALSE(DeviceIsConnected(DefaultDevice()));
}

using FirmwareCommands = ConnectedTest;

TEST_F(FirmwareCommands, ChunkProgressComesBeforeEachChunkAndAtTheEnd)
{
    static std::vector<std::pair<unsigned, unsigned>> calls;
    calls.clear();
    std::vector<unsigned char> data(200, 0x11);
    ASSERT_TRUE(WriteDataFWBinFile(m_instrument, data.data(), 200, [](unsigned done, unsigned total) { calls.emplace_back(done, total); }));
    const std::vector<std::pair<unsigned, unsigned>> expected = {{0, 200}, {96, 200}, {192, 200}, {200, 200}};
    EXPECT_EQ(expected, calls);
    EXPECT_EQ(200u, GetFWBinSize(m_instrument));
    m_device->InjectFault(FaultKind::NoAnswer, 'I', 17);
    EXPECT_EQ(0u, GetFWBinSize(m_instrument));
    m_device->ClearLog();
    EXPECT_TRUE(UpdateFWAction(m_instrument)) << "the apply request succeeds once written";
    ASSERT_TRUE(m_device->WaitForRestarts(1, std::chrono::seconds(5)));
}
