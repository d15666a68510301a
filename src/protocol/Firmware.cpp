#include "protocol/Firmware.h"
#include "device/Device.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "device/Packet.h"
#include "platform/InitOrder.h"
#include "platform/ProcessObjects.h"
#include "protocol/Command.h"
#include "protocol/DeviceControl.h"
#include "protocol/Identity.h"

namespace {

struct LoadedImage {
    std::mutex mutex;
    std::vector<unsigned char> bytes;  // empty: no image loaded
    HW_INFORMATION version{};
};

LoadedImage g_FlashImage VASQ_INIT_DEVICE;
std::atomic<FirmwareProgressFn> g_UpdateProgressCb{nullptr};
// The connection life cycle belongs to the layer above, which hands it down.
std::atomic<FirmwareConnectFn> s_connect{nullptr};
std::atomic<FirmwareReleaseFn> s_release{nullptr};

bool Connect(Device& device, int portNumber, uint32_t timeoutMs)
{
    const FirmwareConnectFn connect = s_connect.load();
    return connect != nullptr && connect(device, portNumber, timeoutMs);
}

void Release(Device& device)
{
    const FirmwareReleaseFn release = s_release.load();
    if (release != nullptr)
        release(device);
}

struct ChunkReporter {
    ChunkProgressFn progress;
    unsigned int total;
};

void ForwardChunk(void* context, uint32_t done)
{
    const auto* reporter = static_cast<ChunkReporter*>(context);
    reporter->progress(done, reporter->total);
}

}  // namespace

int FlashLoadBinFile(const char* /*path*/, int* /*first*/, int* /*second*/, int* /*third*/)
{
    return -1;
}

void NotifyUpdateStatus(int code, unsigned int done, unsigned int total)
{
    const FirmwareProgressFn progress = g_UpdateProgressCb.load();
    if (progress != nullptr)
        progress(code, done, total);
}

void FlashUpdateWriteHandler(unsigned int done, unsigned int total)
{
    NotifyUpdateStatus(FW_PROGRESS_WRITING, done, total);
}

void FlashUpdateVerifyHandler(unsigned int done, unsigned int total)
{
    NotifyUpdateStatus(FW_PROGRESS_VERIFYING, done, total);
}

bool WriteDataFWBinFile(Device& device, unsigned char* data, int size, ChunkProgressFn chunkProgress)
{
    if (data == nullptr && size > 0)
        return false;
    const uint32_t length = size > 0 ? static_cast<uint32_t>(size) : 0;
    ChunkReporter reporter = {chunkProgress, length};
    return ChunkedUpload(device, CMD_FIRMWARE_DATA, data, length, chunkProgress != nullptr ? ForwardChunk : nullptr,
                         &reporter);
}

unsigned int GetFWBinSize(Device& device)
{
    uint8_t answer[4];
    if (!Exchange(device, CATEGORY_INSTRUMENT, CMD_FIRMWARE_SIZE, nullptr, 0, answer, sizeof(answer)))
        return 0;
    return static_cast<unsigned int>(answer[0] | (answer[1] << 8) | (answer[2] << 16)) |
           (static_cast<unsigned int>(answer[3]) << 24);
}

bool UpdateFWAction(Device& device)
{
    return SendPacket(device, CATEGORY_INSTRUMENT, CMD_FIRMWARE_APPLY, nullptr, 0);
}

void SetFlashImageForTesting(const unsigned char* data, int size, const HW_INFORMATION* version)
{
    std::lock_guard<std::mutex> lock(g_FlashImage.mutex);
    g_FlashImage.bytes.clear();
    g_FlashImage.version = HW_INFORMATION{};
    if (data == nullptr || size <= 0)
        return;
    g_FlashImage.bytes.assign(data, data + size);
    if (version != nullptr)
        g_FlashImage.version = *version;
}

void SetFirmwareConnection(FirmwareConnectFn connect, FirmwareReleaseFn release)
{
    s_connect.store(connect);
    s_release.store(release);
}

HW_INFORMATION FlashImageVersion()
{
    std::lock_guard<std::mutex> lock(g_FlashImage.mutex);
    return g_FlashImage.version;
}

void FlashBurnBinFile(Device& device, FirmwareProgressFn progress)
{
    std::vector<unsigned char> image;
    HW_INFORMATION imageVersion;
    {
        std::lock_guard<std::mutex> lock(g_FlashImage.mutex);
        image = g_FlashImage.bytes;
        imageVersion = g_FlashImage.version;
    }
    if (image.empty())
        return;
    g_UpdateProgressCb.store(progress);
    if (!Connect(device, -1, 10000)) {
        NotifyUpdateStatus(FW_PROGRESS_CONNECT_FAILED, 0, 0);
        return;
    }
    const int length = static_cast<int>(image.size()) - kFirmwareTailSize;
    const unsigned int transferLength = length > 0 ? static_cast<unsigned int>(length) : 0;
    NotifyUpdateStatus(FW_PROGRESS_WRITING, 0, 0);
    bool written;
    {
        CAutoCriticalSection lock(device.m_APICriticalSection);
        written = WriteDataFWBinFile(device, image.data(), static_cast<int>(transferLength), FlashUpdateWriteHandler);
    }
    if (!written) {
        NotifyUpdateStatus(FW_PROGRESS_WRITE_FAILED, 0, 0);
        Release(device);
        return;
    }
    NotifyUpdateStatus(FW_PROGRESS_VERIFYING, 0, 0);
    unsigned int received;
    {
        CAutoCriticalSection lock(device.m_APICriticalSection);
        received = GetFWBinSize(device);
    }
    if (received == 0 || received != transferLength) {
        NotifyUpdateStatus(FW_PROGRESS_SIZE_MISMATCH, 0, 0);
        Release(device);
        return;
    }
    bool applied;
    {
        CAutoCriticalSection lock(device.m_APICriticalSection);
        applied = UpdateFWAction(device);
    }
    if (!applied) {
        NotifyUpdateStatus(FW_PROGRESS_APPLY_FAILED, 0, 0);
        Release(device);
        return;
    }
    Release(device);
    NotifyUpdateStatus(FW_PROGRESS_UPDATING, 0, 0);
    if (!Connect(device, -1, 15000)) {
        NotifyUpdateStatus(FW_PROGRESS_RECONNECT_FAILED, 0, 0);
        return;
    }
    {
        CAutoCriticalSection lock(device.m_APICriticalSection);
        HW_INFORMATION current;
        MODEL_INFORMATION model;
        GetHWInformation(device, &current);
        GetDeviceInformation(device, &model);
        {
            // The loaded image's record takes the device's own hardware version.
            std::lock_guard<std::mutex> image(g_FlashImage.mutex);
            g_FlashImage.version.nHWVersion1 = current.nHWVersion1;
            g_FlashImage.version.nHWVersion2 = current.nHWVersion2;
            imageVersion = g_FlashImage.version;
        }
        SetDeviceInformation(device, &model, &imageVersion);
    }
    NotifyUpdateStatus(FW_PROGRESS_DONE, 0, 0);
    Release(device);
    g_UpdateProgressCb.store(nullptr);
}

// The firmware functions of release 1.0 under their exported names, on the
// default device.

bool WriteDataFWBinFile(unsigned char* data, int size, ChunkProgressFn chunkProgress)
{
    return WriteDataFWBinFile(DefaultDevice(), data, size, chunkProgress);
}

unsigned int GetFWBinSize()
{
    return GetFWBinSize(DefaultDevice());
}

bool UpdateFWAction()
{
    return UpdateFWAction(DefaultDevice());
}

void FlashBurnBinFile(FirmwareProgressFn progress)
{
    FlashBurnBinFile(DefaultDevice(), progress);
}
