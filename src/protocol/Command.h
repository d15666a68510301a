#pragma once

#include <stddef.h>
#include <stdint.h>

class Device;

// What every device command shares: one request, one answer, little-endian
// fields, pressures scaled by the unit factor and truncated.

// Sends a request and reads its answer into a zeroed buffer of answerSize
// bytes (none for an acknowledgement). True when the answer arrived whole with status 0.
bool Exchange(Device& device, uint8_t category, uint8_t command, const uint8_t* payload, uint32_t length,
              uint8_t* answer = nullptr, uint32_t answerSize = 0);

// A pressure travels as the value times 10 in kPa (unit 1), times 1 otherwise.
inline double UnitFactor(int unit)
{
    return unit == 1 ? 10.0 : 1.0;
}

// Truncation toward zero. Values beyond the 64-bit range saturate and NaN
// gives 0, so no caller's value can make the conversion undefined; the wire
// fields then take the low bits as they would of any integer.
int64_t Truncate(double value);

inline void PutU8(uint8_t* at, int64_t value)
{
    at[0] = static_cast<uint8_t>(value & 0xFF);
}

inline void PutU16(uint8_t* at, int64_t value)
{
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

inline void PutU32(uint8_t* at, int64_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
}

inline uint16_t GetU16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline int16_t GetI16(const uint8_t* at)
{
    return static_cast<int16_t>(GetU16(at));
}

// The control byte that closes every auto-sequence step.
inline uint8_t AutoSequenceControl(bool flag1, bool flag2)
{
    return static_cast<uint8_t>((flag1 ? 0 : 1) | (flag2 ? 0 : 2));
}

// During a block transfer the device acknowledges each block. Reads answers
// until one succeeds or more than 5000 ms have passed since the block was sent;
// a missing acknowledgement is not an error.
void AwaitBlockAcknowledgement(Device& device, uint64_t sentAtMs);

constexpr uint32_t kBlockAcknowledgementMs = 5000;
constexpr size_t kBlockDataSize = 96;
