#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "platform/Export.h"

class Device;

constexpr uint8_t FRAME_START = 'S';
constexpr uint8_t FRAME_END = 'E';
constexpr uint8_t CATEGORY_IDENTITY = 'S';
constexpr uint8_t CATEGORY_INSTRUMENT = 'I';
constexpr uint8_t CATEGORY_PARAMETER = 'P';
constexpr uint8_t CATEGORY_RESULT = 'R';
constexpr uint8_t COMMAND_STREAM = 2;
constexpr size_t FRAME_OVERHEAD = 7;
constexpr size_t FRAME_BUFFER_SIZE = 1024;
constexpr uint32_t MAX_PAYLOAD = 255;

// Frames that arrived while a receiver waited for the other kind, in arrival
// order; each entry is a whole frame. Guarded by its own lock because the
// connection thread empties it without the API lock.

bool SendPacket(Device& device, uint8_t category, uint8_t command, const uint8_t* payload, uint32_t length);
bool ReceivePacket(Device& device, uint8_t* out, uint32_t outSize, int stream, uint8_t* status);

void ClearStreamQueue(Device& device);
size_t StreamQueueSize(Device& device);
// The queue keeps a few seconds of samples (20 stream packets a second); when
// it is full the oldest entry goes, and is counted here.
constexpr size_t STREAM_QUEUE_LIMIT = 100;
uint64_t StreamQueueDropped(Device& device);
// A block transfer that has waited its whole acknowledgement time does not
// wait again for that acknowledgement before the next block.
void ForgetOwedAnswer(Device& device);

uint8_t FrameChecksum(const uint8_t* frame, size_t length);
inline bool IsStreamFrame(const uint8_t* frame)
{
    return frame[1] == CATEGORY_PARAMETER && frame[2] == COMMAND_STREAM;
}

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT bool SendPacket(uint8_t category, uint8_t command, const uint8_t* payload, uint32_t length);
VASQ_EXPORT bool ReceivePacket(uint8_t* out, uint32_t outSize, int stream, uint8_t* status);
VASQ_EXPORT void ClearStreamQueue();
