#pragma once

#include <stdint.h>

#include <array>
#include <optional>
#include <vector>

#include "SimFrame.h"

namespace vasqsim {

constexpr uint8_t kIdentityCategory = 'S';
constexpr uint8_t kInstrumentCategory = 'I';
constexpr uint8_t kParameterCategory = 'P';
constexpr uint8_t kResultCategory = 'R';
constexpr uint8_t kStreamCommand = 2;
constexpr size_t kSamplesPerPacket = 10;

// What the device knows and how it answers one request. The simulator's port
// thread calls it under the simulator's lock; tests read and change it through
// SimDevice::WithModel.
class DeviceModel {
public:
    DeviceModel();

    // The answer to one request; nothing when the device sends no answer.
    std::optional<Frame> Handle(const Frame& request);

    // The next stream packet of the cuff-pressure waveform: ten little-endian
    // int16 samples numbered without gaps.
    Frame NextStreamPacket();

    std::array<uint8_t, 17> identity{};
    std::array<uint8_t, 64> mfgRecord{};
    // Status byte of the answer to a command the device does not know.
    uint8_t unknownCommandStatus = 0xEE;
    uint32_t samplesSent = 0;

private:
    static Frame Answer(const Frame& request, std::vector<uint8_t> payload = {}, uint8_t status = 0);
};

}  // namespace vasqsim
