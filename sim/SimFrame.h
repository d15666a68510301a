#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace vasqsim {

// The simulator's own frame codec, written apart from the library's so that a
// fault in one cannot cancel out a fault in the other.
struct Frame {
    uint8_t category = 0;
    uint8_t command = 0;
    uint8_t status = 0;
    std::vector<uint8_t> payload;
};

std::vector<uint8_t> EncodeFrame(const Frame& frame);

// Collects bytes from the port and yields whole, well-formed frames. Bytes
// that cannot start a frame, and frames with a wrong checksum or end byte, are
// skipped one byte at a time, as a device resynchronises on its next start byte.
class FrameDecoder {
public:
    void Feed(const uint8_t* bytes, size_t count);
    bool Next(Frame& frame);
    size_t Buffered() const { return m_bytes.size(); }

private:
    std::vector<uint8_t> m_bytes;
};

}  // namespace vasqsim
