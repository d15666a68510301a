#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "device/Packet.h"
#include "device/Transport.h"
#include "protocol/Identity.h"
#include "device/Device.h"

using vasqsim::EncodeFrame;
using vasqsim::Fault;
using vasqsim::FaultKind;
using vasqsim::Frame;

namespace {

std::vector<uint8_t> Encoded(uint8_t category, uint8_t command, std::vector<uint8_t> payload,
                             uint8_t status = 0)
{
    Frame frame;
    frame.category = category;
    frame.command = command;
    frame.status = status;
    frame.payload = std::move(payload);
    return EncodeFrame(frame);
}

std::vector<uint8_t> StreamPacket(uint8_t marker)
{
    return Encoded('P', 2, std::vector<uint8_t>(20, marker));
}

}  // namespace

using PacketTest = ConnectedTest;

TEST_F(PacketTest, RequestsAreFramedByteExact)
{
    ASSERT_TRUE(SendPacket(m_instrument, 'I', 0, nullptr, 0));
    const uint8_t payload[] = {0x10, 0x27, 0xFF};
    ASSERT_TRUE(SendPacket(m_instrument, 'P', 0x83, payload, sizeof(payload)));
    ASSERT_TRUE(m_device->WaitForLogSize(2, std::chrono::seconds(5)));
    const std::vector<uint8_t> expected = {0x53, 0x49, 0x00, 0x00, 0x00, 0x1F, 0x45,
                                           0x53, 0x50, 0x83, 0x03, 0x00, 0x00, 0x10, 0x27, 0xFF, 0x45};
    std::vector<uint8_t> raw = m_device->RawReceived();
    raw[12] = 0;  // checksum checked below
    EXPECT_EQ(expected, raw);
    EXPECT_EQ(0, FrameChecksum(m_device->RawReceived().data() + 7, 10));
}

TEST_F(PacketTest, OversizedPayloadIsRefusedAndNothingSent)
{
    std::vector<uint8_t> big(256, 1);
    EXPECT_FALSE(SendPacket(m_instrument, 'I', 0x8D, big.data(), static_cast<uint32_t>(big.size())));
    EXPECT_FALSE(SendPacket(m_instrument, 'I', 0x8D, nullptr, 3));
    big.resize(255);
    EXPECT_TRUE(SendPacket(m_instrument, 'I', 0x8D, big.data(), 255));
    ASSERT_TRUE(m_device->WaitForLogSize(1, std::chrono::seconds(5)));
    EXPECT_EQ(255u, m_device->Log()[0].payload.size());
    EXPECT_EQ(255u + 7, m_device->RawReceived().size());
}

TEST_F(PacketTest, ChecksumAndStatusDecideTheResult)
{
    m_device->InjectFault({FaultKind::BadChecksum});
    uint8_t answer[17] = {};
    ASSERT_TRUE(SendPacket(m_instrument, 'S', 0, nullptr, 0));
    EXPECT_FALSE(ReceivePacket(m_instrument, answer, sizeof(answer), 0, nullptr));

    Fault refused{FaultKind::Status};
    refused.status = 5;
    m_device->InjectFault(refused);
    uint8_t status = 0;
    memset(answer, 0, sizeof(answer));
    ASSERT_TRUE(SendPacket(m_instrument, 'S', 0, nullptr, 0));
    EXPECT_FALSE(ReceivePacket(m_instrument, answer, sizeof(answer), 0, &status));
    EXPECT_EQ(5, status);
    EXPECT_EQ('Q', answer[0]) << "the payload of a refused answer is still copied";
}

TEST_F(PacketTest, PayloadIsCutToTheCallersBuffer)
{
    uint8_t small[4] = {9, 9, 9, 9};
    ASSERT_TRUE(SendPacket(m_instrument, 'S', 0, nullptr, 0));
    EXPECT_TRUE(ReceivePacket(m_instrument, small, sizeof(small), 0, nullptr));
    EXPECT_EQ(0, memcmp(small, "QX\x70\x01", 4));

    uint8_t untouched[4] = {9, 9, 9, 9};
    m_device->SendRaw(Encoded('I', 0x87, {}));
    EXPECT_TRUE(ReceivePacket(m_instrument, untouched, sizeof(untouched), 0, nullptr));
    EXPECT_EQ(0, memcmp(untouched, "\x09\x09\x09\x09", 4));
}

TEST_F(PacketTest, StreamPacketAheadOfAnAnswerIsQueued)
{
    std::vector<uint8_t> bytes = StreamPacket(0x11);
    const std::vector<uint8_t> answer = Encoded('I', 0, {14});
    bytes.insert(bytes.end(), answer.begin(), answer.end());
    m_device->SendRaw(bytes);
    uint8_t status = 0;
    ASSERT_TRUE(ReceivePacket(m_instrument, &status, 1, 0, nullptr));
    EXPECT_EQ(14, status);
    ASSERT_EQ(1u, StreamQueueSize(m_instrument));

    // Taken from the queue without reading the port.
    uint8_t samples[20] = {};
    EXPECT_TRUE(ReceivePacket(m_instrument, samples, sizeof(samples), 1, nullptr));
    EXPECT_EQ(0x11, samples[19]);
    EXPECT_EQ(0u, StreamQueueSize(m_instrument));
}

TEST_F(PacketTest, OnlyTheFirstQueuedEntryIsLookedAt)
{
    const std::vector<uint8_t> stream = StreamPacket(0x22);
    const std::vector<uint8_t> queuedAnswer = Encoded('R', 1, {0xAA}, 7);
    m_instrument.m_vecDataBuffer.push_back(stream);
    m_instrument.m_vecDataBuffer.push_back(queuedAnswer);

    m_device->SendRaw(Encoded('R', 1, {0xBB}));
    uint8_t value = 0;
    ASSERT_TRUE(ReceivePacket(m_instrument, &value, 1, 0, nullptr));
    EXPECT_EQ(0xBB, value) << "the receiver searched behind the first entry";
    EXPECT_EQ(2u, StreamQueueSize(m_instrument));

    uint8_t samples[20] = {};
    ASSERT_TRUE(ReceivePacket(m_instrument, samples, sizeof(samples), 1, nullptr));
    EXPECT_EQ(0x22, samples[0]);
    // A queued entry yields true whatever its status.
    uint8_t status = 0;
    ASSERT_TRUE(ReceivePacket(m_instrument, &value, 1, 0, &status));
    EXPECT_EQ(0xAA, value);
    EXPECT_EQ(0, status);
    EXPECT_EQ(0u, StreamQueueSize(m_instrument));
}

TEST_F(PacketTest, FloodOfStreamPacketsIsQueuedInOrder)
{
    m_device->WithModel([](vasqsim::DeviceModel& m) { m.sampleMode = vasqsim::SampleMode::Counter; });
    Fault flood{FaultKind::StreamFlood};
    flood.count = 40;
    m_device->InjectFault(flood);
    ASSERT_TRUE(UpdateDeviceInformation(m_instrument));
    EXPECT_EQ(40u, StreamQueueSize(m_instrument));
    uint8_t previous = 0;
    for (int i = 0; i < 40; ++i) {
        uint8_t samples[20];
        ASSERT_TRUE(ReceivePacket(m_instrument, samples, sizeof(samples), 1, nullptr));
        const uint8_t number = samples[0] & 0x3F;
        if (i > 0) {
            EXPECT_EQ(static_cast<uint8_t>((previous + 10) & 0x3F), number) << "packet " << i;
        }
        previous = number;
    }
}

TEST_F(PacketTest, LateAnswerIsNotTakenForTheNextOne)
{
    Fault late{FaultKind::Delay};
    late.delayMs = 1300;
    m_device->InjectFault(late, 'S', 1);
    const size_t answered = m_device->AnswersSent();
    uint8_t mfg[16];
    EXPECT_FALSE(ReadMfgInfo(m_instrument, mfg, sizeof(mfg)));
    ASSERT_TRUE(m_device->WaitForAnswersSent(answered + 1, std::chrono::seconds(5)));
    // An unsolicited stream packet waiting beside it is kept.
    m_device->SendRaw(StreamPacket(0x33));
    ASSERT_TRUE(WaitForPendingInput(m_instrument, 64 + 7 + 27, std::chrono::seconds(5)));

    m_instrument.m_ModelInfo = MODEL_INFORMATION{};
    ASSERT_TRUE(UpdateDeviceInformation(m_instrument));
    EXPECT_EQ('Q', m_instrument.m_ModelInfo.chSignature[0]);
    EXPECT_EQ(42, m_instrument.m_ModelInfo.nSerialIndex) << "the late manufacturing answer was decoded as identity";
    EXPECT_EQ(1u, StreamQueueSize(m_instrument));
}

TEST_F(PacketTest, GarbageFailsOneExchangeOnly)
{
    Fault garbage{FaultKind::Garbage};
    garbage.bytes = {0x00, 0x53, 0x99, 0x01, 0x02, 0x03, 0x04, 0x05};
    m_device->InjectFault(garbage);
    EXPECT_FALSE(UpdateDeviceInformation(m_instrument));
    EXPECT_TRUE(UpdateDeviceInformation(m_instrument));
    EXPECT_EQ(42, m_instrument.m_ModelInfo.nSerialIndex);
}

TEST_F(PacketTest, AnswerDeadlineHoldsThroughAFloodOfStreamPackets)
{
    Fault flood{FaultKind::StreamFloodWithoutAnswer};
    flood.count = 60;
    flood.delayMs = 25;  // 1.5 s of stream packets, and no answer
    m_device->InjectFault(flood, 'S', 0);
    const uint64_t droppedBefore = StreamQueueDropped(m_instrument);
    Stopwatch watch;
    EXPECT_FALSE(UpdateDeviceInformation(m_instrument));
    const double elapsed = watch.Ms();
    EXPECT_GE(elapsed, 950.0);
    EXPECT_LT(elapsed, 1400.0) << "the flood kept the exchange waiting past its read timeout";
    EXPECT_GE(StreamQueueSize(m_instrument), 20u) << "stream packets that arrived meanwhile were lost";
    EXPECT_EQ(droppedBefore, StreamQueueDropped(m_instrument));
}

TEST_F(PacketTest, StreamQueueKeepsTheNewestPacketsAndCountsTheDropped)
{
    const uint64_t droppedBefore = StreamQueueDropped(m_instrument);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 250; ++i) {
        const std::vector<uint8_t> packet = StreamPacket(static_cast<uint8_t>(i));
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    const std::vector<uint8_t> answer = Encoded('I', 0, {3});
    bytes.insert(bytes.end(), answer.begin(), answer.end());
    m_device->SendRaw(bytes);
    uint8_t status = 0;
    ASSERT_TRUE(ReceivePacket(m_instrument, &status, 1, 0, nullptr));
    EXPECT_EQ(3, status);
    EXPECT_EQ(STREAM_QUEUE_LIMIT, StreamQueueSize(m_instrument));
    EXPECT_EQ(droppedBefore + 250 - STREAM_QUEUE_LIMIT, StreamQueueDropped(m_instrument));
    uint8_t samples[20] = {};
    ASSERT_TRUE(ReceivePacket(m_instrument, samples, sizeof(samples), 1, nullptr));
    EXPECT_EQ(250 - STREAM_QUEUE_LIMIT, samples[0]) << "the oldest packets go first";
}

TEST_F(PacketTest, AnswerOwedByATimedOutExchangeIsAwaitedAndDropped)
{
    for (int lateMs : {1100, 1700}) {
        SCOPED_TRACE("answer " + std::to_string(lateMs) + " ms late");
        Fault late{FaultKind::Delay};
        late.delayMs = lateMs;
        m_device->InjectFault(late, 'S', 1);
        uint8_t mfg[16];
        EXPECT_FALSE(ReadMfgInfo(m_instrument, mfg, sizeof(mfg)));
        // The next request goes out before the late answer has arrived.
        m_instrument.m_ModelInfo = MODEL_INFORMATION{};
        ASSERT_TRUE(UpdateDeviceInformation(m_instrument));
        EXPECT_EQ('Q', m_instrument.m_ModelInfo.chSignature[0]) << "the late manufacturing answer was decoded as identity";
        EXPECT_EQ(42, m_instrument.m_ModelInfo.nSerialIndex);
        EXPECT_TRUE(ReadMfgInfo(m_instrument, mfg, sizeof(mfg)));
    }
}
