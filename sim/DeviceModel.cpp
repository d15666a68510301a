#include "DeviceModel.h"

#include <cmath>

namespace vasqsim {

DeviceModel::DeviceModel()
{
    // "QX", model 'p', variant 1, serial 07-0042, hardware 2.1, firmware 1.4.2, boot loader 1.0.3.
    identity = {'Q', 'X', 0x70, 0x01, 42, 0, 7, 0, 2, 1, 1, 4, 2, 0, 1, 0, 3};
    for (size_t i = 0; i < mfgRecord.size(); ++i)
        mfgRecord[i] = static_cast<uint8_t>(0xA0 + i);
}

Frame DeviceModel::Answer(const Frame& request, std::vector<uint8_t> payload, uint8_t status)
{
    Frame answer;
    answer.category = request.category;
    answer.command = request.command;
    answer.status = status;
    answer.payload = std::move(payload);
    return answer;
}

Frame DeviceModel::NextStreamPacket()
{
    Frame packet;
    packet.category = kParameterCategory;
    packet.command = kStreamCommand;
    for (size_t i = 0; i < kSamplesPerPacket; ++i) {
        // A slow cuff-pressure swing; the low bits carry the running sample
        // number so that a reader can check for gaps and repeats.
        const double seconds = samplesSent / 200.0;
        const int base = static_cast<int>(std::lround(800 + 400 * std::sin(seconds)));
        const int16_t sample = static_cast<int16_t>((base & ~0x3F) | (samplesSent & 0x3F));
        packet.payload.push_back(static_cast<uint8_t>(sample & 0xFF));
        packet.payload.push_back(static_cast<uint8_t>((sample >> 8) & 0xFF));
        ++samplesSent;
    }
    return packet;
}

std::optional<Frame> DeviceModel::Handle(const Frame& request)
{
    const auto& p = request.payload;
    if (request.category == kIdentityCategory) {
        switch (request.command) {
        case 0:
            return Answer(request, std::vector<uint8_t>(identity.begin(), identity.end()));
        case 1:
            return Answer(request, std::vector<uint8_t>(mfgRecord.begin(), mfgRecord.end()));
        case 128:
            if (p.size() != identity.size())
                break;
            // The boot loader version is the device's own; a write leaves it.
            for (size_t i = 0; i < 13; ++i)
                identity[i] = p[i];
            return Answer(request);
        case 129:
            if (p.size() != mfgRecord.size())
                break;
            std::copy(p.begin(), p.end(), mfgRecord.begin());
            return Answer(request);
        default:
            break;
        }
    } else if (request.category == kParameterCategory && request.command == kStreamCommand) {
        return NextStreamPacket();
    }
    return Answer(request, {}, unknownCommandStatus);
}

}  // namespace vasqsim
