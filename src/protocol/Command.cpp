#include "protocol/Command.h"

#include <string.h>

#include <cmath>

#include "device/Device.h"
#include "device/Packet.h"
#include "device/Transport.h"
#include "platform/Platform.h"

bool Exchange(Device& device, uint8_t category, uint8_t command, const uint8_t* payload, uint32_t length, uint8_t* answer,
              uint32_t answerSize)
{
    if (!SendPacket(device, category, command, payload, length))
        return false;
    if (answerSize > 0)
        memset(answer, 0, answerSize);
    return ReceivePacket(device, answer, answerSize, 0, nullptr);
}

int64_t Truncate(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 9.2e18)
        return INT64_MAX;
    if (value <= -9.2e18)
        return INT64_MIN;
    return static_cast<int64_t>(value);
}

void AwaitBlockAcknowledgement(Device& device, uint64_t sentAtMs)
{
    while (!ReceivePacket(device, nullptr, 0, 0, nullptr)) {
        // A port that has hung up answers every read at once: waiting on would only spin.
        if (GetTickCount64() - sentAtMs > kBlockAcknowledgementMs || DevicePortFailed(device)) {
            ForgetOwedAnswer(device);
            return;
        }
    }
}
