#include "protocol/DeviceControl.h"
#include "device/Device.h"

#include <string.h>

#include <algorithm>

#include "device/Packet.h"
#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "platform/ProcessObjects.h"
#include "protocol/Command.h"
#include "protocol/Units.h"


namespace {
constexpr int kAirPortBits = 8;
constexpr uint32_t kBlockHeaderSize = 8;
}  // namespace

bool EnableAirPort(Device& device, int port, bool enable)
{
    if (port < 0 || port >= kAirPortBits)
        return true;
    const auto bit = static_cast<uint8_t>(1u << port);
    if (enable)
        device.m_nAirPort.fetch_and(static_cast<uint8_t>(~bit));
    else
        device.m_nAirPort.fetch_or(bit);
    return true;
}

bool ResetAirPort(Device& device)
{
    device.m_nAirPort.store(0);
    return true;
}

bool UpdateAirPortRelay(Device& device)
{
    const uint8_t mask = device.m_nAirPort.load();
    return Exchange(device, CATEGORY_PARAMETER, CMD_AIR_PORT_RELAY, &mask, 1);
}

bool GetAirPortStatus(Device& device, bool* bit1Set, bool* bit0Set)
{
    uint8_t answer[2];
    if (!Exchange(device, CATEGORY_PARAMETER, CMD_AIR_PORT_STATUS, nullptr, 0, answer, sizeof(answer)))
        return false;
    const uint16_t status = GetU16(answer);
    if (bit1Set != nullptr)
        *bit1Set = (status & 2) != 0;
    if (bit0Set != nullptr)
        *bit0Set = (status & 1) != 0;
    return true;
}

unsigned int GetDeviceStatus(Device& device)
{
    uint8_t status[1];
    if (!Exchange(device, CATEGORY_INSTRUMENT, CMD_DEVICE_STATUS, nullptr, 0, status, sizeof(status)))
        return 0;
    return status[0];
}

bool SetCalibrationPressureNumber(Device& device, int n)
{
    uint8_t payload[1];
    PutU8(payload, n);
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_CALIBRATION_NUMBER, payload, sizeof(payload));
}

bool EnableDeviceStartTest(Device& device, bool start)
{
    if (start)
        device.m_hStopTestEvent.ResetEvent();
    else
        device.m_hStopTestEvent.SetEvent();
    return Exchange(device, CATEGORY_INSTRUMENT, start ? CMD_START_TEST : CMD_STOP_TEST, nullptr, 0);
}

bool NotifyDeviceAPConnected(Device& device, bool connected)
{
    const uint8_t payload = connected ? 1 : 0;
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_HOST_CONNECTED, &payload, 1);
}

bool SwitchDeviceOperationMode(Device& device, FUNCTION_ENUM function)
{
    uint8_t payload[1];
    PutU8(payload, static_cast<int64_t>(function));
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_OPERATION_MODE, payload, sizeof(payload));
}

bool StartDeviceBuzzer(Device& device)
{
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_BUZZER, nullptr, 0);
}

bool EnableBuzzer(Device& device)
{
    return StartDeviceBuzzer(device);
}

bool CheckSDCardStatus(Device& device)
{
    uint8_t present[1];
    if (!Exchange(device, CATEGORY_INSTRUMENT, CMD_SD_CARD, nullptr, 0, present, sizeof(present)))
        return false;
    return present[0] != 0;
}

bool SDCardTest(Device& device)
{
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_SD_CARD, nullptr, 0);
}

bool ReadSDCard(Device& device, int nFirst, int nSecond, int nLength, unsigned char* buffer)
{
    if (nLength > 0 && buffer == nullptr)
        return false;
    uint8_t request[5];
    PutU16(request, nSecond);
    PutU16(request + 2, nLength);
    PutU8(request + 4, nFirst);
    if (!SendPacket(device, CATEGORY_RESULT, CMD_READ_SD_CARD, request, sizeof(request)))
        return false;
    return ReceivePacket(device, buffer, nLength > 0 ? static_cast<uint32_t>(nLength) : 0, 0, nullptr);
}

bool PausePump(Device& device)
{
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_PAUSE_PUMP, nullptr, 0);
}

bool EnableDeviceDebugMode(Device& device, bool bEnableDebug, bool bFineResolution, int unit, bool bOnlyLowerSensor)
{
    device.m_fPressureresolution.store(bFineResolution || unit == 1 ? 100.0f : 10.0f);
    const uint8_t payload[3] = {static_cast<uint8_t>(bEnableDebug ? 1 : 0),
                                static_cast<uint8_t>(bFineResolution ? 1 : 0),
                                static_cast<uint8_t>(bOnlyLowerSensor ? 1 : 0)};
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_DEBUG_MODE, payload, sizeof(payload));
}

bool WritePNGFileName(Device& device, const char* name)
{
    if (name == nullptr)
        return false;
    const size_t length = strlen(name);
    // The name travels in one packet; a longer one would need a length byte it cannot have.
    if (length > MAX_PAYLOAD) {
        SetReason(kErrorInvalidArgument, "a picture name of %u bytes is longer than 255",
                  static_cast<unsigned>(length));
        return false;
    }
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_PICTURE_NAME, reinterpret_cast<const uint8_t*>(name),
                    static_cast<uint32_t>(length));
}

bool ChunkedUpload(Device& device, uint8_t command, const uint8_t* data, uint32_t size, UploadProgressFn progress, void* context)
{
    // Nothing to send means no request, so no answer to wait for.
    if (size == 0) {
        SetReason(kErrorInvalidArgument, "nothing to upload");
        return false;
    }
    for (uint32_t offset = 0; offset < size; offset += kBlockDataSize) {
        if (progress != nullptr)
            progress(context, offset);
        const uint32_t count = std::min<uint32_t>(kBlockDataSize, size - offset);
        uint8_t packet[kBlockHeaderSize + kBlockDataSize] = {};
        PutU32(packet, offset);
        memcpy(packet + kBlockHeaderSize, data + offset, count);
        if (!SendPacket(device, CATEGORY_INSTRUMENT, command, packet, kBlockHeaderSize + count))
            return false;
        if (size - offset > kBlockDataSize)
            AwaitBlockAcknowledgement(device, GetTickCount64());
    }
    if (progress != nullptr)
        progress(context, size);
    return ReceivePacket(device, nullptr, 0, 0, nullptr);
}

bool WritePNG(Device& device, const char* data, int size)
{
    if (data == nullptr)
        return false;
    return ChunkedUpload(device, CMD_PICTURE_DATA, reinterpret_cast<const uint8_t*>(data),
                         size > 0 ? static_cast<uint32_t>(size) : 0);
}

bool Restart(Device& device)
{
    return SendPacket(device, CATEGORY_INSTRUMENT, CMD_RESTART, nullptr, 0);
}
