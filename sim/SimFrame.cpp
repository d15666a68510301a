#include "SimFrame.h"

namespace vasqsim {

namespace {
constexpr uint8_t kStart = 0x53;
constexpr uint8_t kEnd = 0x45;
constexpr size_t kHeaderAndEnd = 7;
}  // namespace

std::vector<uint8_t> EncodeFrame(const Frame& frame)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(frame.payload.size() + kHeaderAndEnd);
    bytes.push_back(kStart);
    bytes.push_back(frame.category);
    bytes.push_back(frame.command);
    bytes.push_back(static_cast<uint8_t>(frame.payload.size()));
    bytes.push_back(frame.status);
    bytes.push_back(0);
    bytes.insert(bytes.end(), frame.payload.begin(), frame.payload.end());
    bytes.push_back(kEnd);
    unsigned sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    bytes[5] = static_cast<uint8_t>(256 - (sum & 0xFF));
    return bytes;
}

void FrameDecoder::Feed(const uint8_t* bytes, size_t count)
{
    m_bytes.insert(m_bytes.end(), bytes, bytes + count);
}

bool FrameDecoder::Next(Frame& frame)
{
    for (;;) {
        size_t skip = 0;
        while (skip < m_bytes.size() && m_bytes[skip] != kStart)
            ++skip;
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<long>(skip));
        if (m_bytes.size() < 4)
            return false;
        const size_t length = m_bytes[3] + kHeaderAndEnd;
        if (m_bytes.size() < length)
            return false;
        unsigned sum = 0;
        for (size_t i = 0; i < length; ++i)
            sum += m_bytes[i];
        if ((sum & 0xFF) != 0 || m_bytes[length - 1] != kEnd) {
            m_bytes.erase(m_bytes.begin());
            continue;
        }
        frame.category = m_bytes[1];
        frame.command = m_bytes[2];
        frame.status = m_bytes[4];
        frame.payload.assign(m_bytes.begin() + 6, m_bytes.begin() + static_cast<long>(length) - 1);
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<long>(length));
        return true;
    }
}

}  // namespace vasqsim
