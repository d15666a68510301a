#include "device/Packet.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "device/Device.h"
#include "device/Transport.h"
#include "platform/Diagnostics.h"
#include "platform/Event.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"


struct PacketState {
    std::mutex queueMutex;
    uint64_t queueDropped = 0;
    // Set when an exchange gave up waiting for its answer: the device answers
    // every request in order, so that answer is still owed on this connection.
    std::atomic<uint64_t> answerOwedOn{0};
    // Set when a receive failed on bytes it could not take as a frame: what is
    // left of them is dropped before the next request.
    std::atomic<bool> resync{false};
};

PacketState* NewPacketState()
{
    return new PacketState;
}

void DeletePacketState(PacketState* state)
{
    delete state;
}

namespace {

// How long a frame whose beginning has already arrived may take to complete
// while late input is drained.
constexpr uint32_t kLateFrameCompletionMs = 50;


// The request this thread sent last and whose answer it has not received yet.
// The device echoes a request's category and command in its answer, so a
// frame with other codes (a stalled device's late answer to an earlier
// request) is not this request's answer. A request and its answer are always
// on one thread: the API lock holder's, or the connection thread's probe.
struct PendingRequest {
    uint8_t category = 0;
    uint8_t command = 0;
    bool awaiting = false;
    uint64_t sentAtUs = 0;
    // The port's connection the request went out on.
    uint64_t connection = 0;
};
thread_local PendingRequest t_request;

bool AnswersTheRequest(const uint8_t* frame)
{
    return !t_request.awaiting || (frame[1] == t_request.category && frame[2] == t_request.command);
}

uint64_t NowUs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

char Printable(uint8_t category)
{
    return category >= 0x20 && category < 0x7F ? static_cast<char>(category) : '?';
}

// One frame at debug level: its codes, length, status, bytes and, for an
// answer, the time since its request went out.
void LogFrame(const char* direction, const uint8_t* frame, size_t length)
{
    if (!LogWanted(kLogDebug))
        return;
    char hex[3 * 80];
    HexBytes(frame, length, hex, sizeof(hex));
    if (direction[0] == '<' && t_request.sentAtUs != 0)
        LogLine(kLogDebug, "%s %c/%u length %u status %u after %.3f ms: %s", direction, Printable(frame[1]), frame[2],
                frame[3], frame[4], static_cast<double>(NowUs() - t_request.sentAtUs) / 1000.0, hex);
    else
        LogLine(kLogDebug, "%s %c/%u length %u status %u: %s", direction, Printable(frame[1]), frame[2], frame[3],
                frame[4], hex);
}

// A transfer that failed because the port is gone says so; true when it did.
// connection is the port's connection the transfer began on, 0 if none.
bool PortGoneReason(Device& device, const char* during, uint8_t category, uint8_t command, uint64_t connection)
{
    const char code = Printable(category);
    if (connection != 0 && DeviceConnectionNumber(device) != connection)
        SetReason(kErrorDeviceLost, "the port was lost while %s %c/%u", during, code, command);
    else if (!DeviceIsConnected(device))
        SetReason(kErrorNotConnected, "no Vasq9 is connected (%s %c/%u)", during, code, command);
    else if (DevicePortFailed(device))
        SetReason(kErrorDeviceLost, "the port hung up while %s %c/%u", during, code, command);
    else
        return false;
    return true;
}

// Why no answer came: the port's state tells a loss from a silent device.
void NoAnswerReason(Device& device, bool broken)
{
    const char category = Printable(t_request.category);
    const unsigned command = t_request.command;
    if (PortGoneReason(device, "waiting for the answer to", t_request.category, t_request.command, t_request.connection))
        return;
    if (broken)
        SetReason(kErrorProtocol, "a broken frame (bad checksum or cut short) instead of the answer to %c/%u",
                  category, command);
    else
        SetReason(kErrorTimeout, "no answer to %c/%u within %u ms", category, command, device.m_nDeviceReadTimeout.load());
}

// An answer that came too late for the request it answered: dropped while
// this thread waits for its own answer, or before its next request.
void LogLateAnswer(const uint8_t* frame, bool waiting)
{
    if (!LogWanted(kLogWarning))
        return;
    if (waiting)
        LogLine(kLogWarning, "late answer %c/%u dropped while waiting for %c/%u", Printable(frame[1]), frame[2],
                Printable(t_request.category), t_request.command);
    else
        LogLine(kLogWarning, "late answer %c/%u dropped before the next request", Printable(frame[1]), frame[2]);
}

void QueueFrame(Device& device, const uint8_t* frame, size_t length)
{
    std::lock_guard<std::mutex> lock(device.Packets().queueMutex);
    if (device.m_vecDataBuffer.size() >= STREAM_QUEUE_LIMIT) {
        device.m_vecDataBuffer.erase(device.m_vecDataBuffer.begin());
        ++device.Packets().queueDropped;
        LogLine(kLogWarning, "stream queue full: the oldest of %u queued packets dropped (%llu so far)",
                static_cast<unsigned>(STREAM_QUEUE_LIMIT), static_cast<unsigned long long>(device.Packets().queueDropped));
    }
    device.m_vecDataBuffer.emplace_back(frame, frame + length);
}

// Takes the first queued entry if it is of the wanted kind. Queued answers
// that do not answer the pending request are dropped on the way.
bool TakeQueuedFrame(Device& device, bool wantStream, std::vector<uint8_t>& frame)
{
    std::lock_guard<std::mutex> lock(device.Packets().queueMutex);
    while (!wantStream && !device.m_vecDataBuffer.empty() && !IsStreamFrame(device.m_vecDataBuffer.front().data()) &&
           !AnswersTheRequest(device.m_vecDataBuffer.front().data())) {
        LogLateAnswer(device.m_vecDataBuffer.front().data(), true);
        device.m_vecDataBuffer.erase(device.m_vecDataBuffer.begin());
    }
    if (device.m_vecDataBuffer.empty() || IsStreamFrame(device.m_vecDataBuffer.front().data()) != wantStream)
        return false;
    frame.swap(device.m_vecDataBuffer.front());
    device.m_vecDataBuffer.erase(device.m_vecDataBuffer.begin());
    return true;
}

bool IsWholeFrame(const uint8_t* bytes, size_t length)
{
    return length >= FRAME_OVERHEAD && bytes[0] == FRAME_START &&
           length == bytes[3] + FRAME_OVERHEAD && bytes[length - 1] == FRAME_END &&
           FrameChecksum(bytes, length) == 0;
}

// Bytes that arrived since the last exchange are not an answer to the request
// about to be sent: stream packets among them are queued as a receive would
// queue them, everything else (a late answer to a failed exchange, a broken
// frame) is dropped.
void DrainLateInput(Device& device)
{
    std::vector<uint8_t> pending;
    uint8_t chunk[FRAME_BUFFER_SIZE];
    int got;
    while ((got = DeviceReadAvailable(device, chunk, sizeof(chunk))) > 0)
        pending.insert(pending.end(), chunk, chunk + got);
    size_t at = 0;
    while (at < pending.size()) {
        if (pending[at] != FRAME_START) {
            ++at;
            continue;
        }
        const size_t available = pending.size() - at;
        if (available < 4 || available < pending[at + 3] + FRAME_OVERHEAD) {
            const size_t wanted = (available < 4 ? FRAME_OVERHEAD : pending[at + 3] + FRAME_OVERHEAD);
            const size_t missing = wanted - available;
            pending.resize(pending.size() + missing);
            if (DeviceReadDataWithin(device, &pending[pending.size() - missing], static_cast<int>(missing),
                                     kLateFrameCompletionMs) != static_cast<int>(missing))
                return;
            if (available < 4)
                continue;  // the length byte is known now; look again
        }
        const size_t length = pending[at + 3] + FRAME_OVERHEAD;
        if (pending.size() - at < length)
            return;
        if (IsWholeFrame(&pending[at], length)) {
            if (IsStreamFrame(&pending[at]))
                QueueFrame(device, &pending[at], length);
            else
                LogLateAnswer(&pending[at], false);
            at += length;
        } else {
            ++at;
        }
    }
}

uint64_t RemainingMs(uint64_t deadlineMs)
{
    const uint64_t now = GetTickCount64();
    return now >= deadlineMs ? 0 : deadlineMs - now;
}

enum class Received { Frame, TimedOut, Broken };

// Reads one frame from the port within the time left.
Received ReadFrame(Device& device, uint8_t (&frame)[FRAME_BUFFER_SIZE], bool limited, uint64_t deadlineMs)
{
    const uint32_t header = limited ? static_cast<uint32_t>(RemainingMs(deadlineMs)) : INFINITE_TIMEOUT;
    if (limited && header == 0)
        return Received::TimedOut;
    if (DeviceReadDataWithin(device, frame, FRAME_OVERHEAD, header) == 0)
        return Received::TimedOut;
    const uint8_t length = frame[3];
    if (length != 0) {
        const uint32_t rest = limited ? static_cast<uint32_t>(RemainingMs(deadlineMs)) : INFINITE_TIMEOUT;
        if ((limited && rest == 0) || DeviceReadDataWithin(device, frame + FRAME_OVERHEAD, length, rest) == 0)
            return Received::Broken;
    }
    if (FrameChecksum(frame, length + FRAME_OVERHEAD) != 0)
        return Received::Broken;
    return Received::Frame;
}

// The answer still owed by an exchange that gave up is awaited for up to one
// more read timeout and dropped, so it is never taken for the next answer.
void AwaitOwedAnswer(Device& device)
{
    const uint64_t owedOn = device.Packets().answerOwedOn.exchange(0);
    if (owedOn == 0 || owedOn != DeviceConnectionNumber(device))
        return;
    const uint32_t timeout = device.m_nDeviceReadTimeout.load();
    const bool limited = timeout != INFINITE_TIMEOUT;
    const uint64_t deadline = GetTickCount64() + timeout;
    for (;;) {
        uint8_t frame[FRAME_BUFFER_SIZE] = {};
        const Received got = ReadFrame(device, frame, limited, deadline);
        if (got == Received::TimedOut)
            return;
        if (got == Received::Broken) {
            device.Packets().resync.store(true);
            return;
        }
        if (!IsStreamFrame(frame)) {
            LogLateAnswer(frame, false);
            return;
        }
        QueueFrame(device, frame, frame[3] + FRAME_OVERHEAD);
    }
}

}  // namespace

uint8_t FrameChecksum(const uint8_t* frame, size_t length)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum = static_cast<uint8_t>(sum + frame[i]);
    return sum;
}

bool SendPacket(Device& device, uint8_t category, uint8_t command, const uint8_t* payload, uint32_t length)
{
    if (length > MAX_PAYLOAD || (length > 0 && payload == nullptr)) {
        SetReason(kErrorInvalidArgument, "a payload of %u bytes for %c/%u does not fit a frame (at most 255)", length,
                  Printable(category), command);
        return false;
    }
    AwaitOwedAnswer(device);
    if (device.Packets().resync.exchange(false) || DeviceHasBufferedInput(device))
        DrainLateInput(device);
    uint8_t frame[FRAME_BUFFER_SIZE] = {};
    frame[0] = FRAME_START;
    frame[1] = category;
    frame[2] = command;
    frame[3] = static_cast<uint8_t>(length);
    if (length > 0)
        memcpy(frame + 6, payload, length);
    frame[length + 6] = FRAME_END;
    frame[5] = static_cast<uint8_t>(0u - FrameChecksum(frame, length + FRAME_OVERHEAD));
    const uint64_t sentAt = LogWanted(kLogDebug) ? NowUs() : 0;
    // Taken before the write: a device that answers and hangs up at once can
    // be closed by the presence watch before the write call returns.
    const uint64_t connection = DeviceConnectionNumber(device);
    if (DeviceWriteData(device, frame, static_cast<int>(length + FRAME_OVERHEAD)) == 0) {
        t_request.awaiting = false;
        if (!PortGoneReason(device, "sending", category, command, connection))
            SetReason(kErrorTimeout, "%c/%u could not be written within %u ms", Printable(category), command,
                      device.m_nDeviceWriteTimeout.load());
        return false;
    }
    t_request = {category, command, true, sentAt, connection};
    // Only a frame that went out is traced.
    LogFrame("->", frame, length + FRAME_OVERHEAD);
    return true;
}

bool ReceivePacket(Device& device, uint8_t* out, uint32_t outSize, int stream, uint8_t* status)
{
    const bool wantStream = stream != 0;
    // The wanted frame must arrive within one read timeout, however many
    // frames of the other kind arrive meanwhile.
    const uint32_t timeout = device.m_nDeviceReadTimeout.load();
    const bool limited = timeout != INFINITE_TIMEOUT;
    const uint64_t deadline = GetTickCount64() + timeout;
    for (;;) {
        std::vector<uint8_t> queued;
        if (TakeQueuedFrame(device, wantStream, queued)) {
            const uint32_t copy = std::min<uint32_t>(queued[3], outSize);
            if (copy > 0)
                memcpy(out, queued.data() + 6, copy);
            t_request.awaiting = false;
            return true;
        }
        uint8_t frame[FRAME_BUFFER_SIZE] = {};
        const Received got = ReadFrame(device, frame, limited, deadline);
        if (got != Received::Frame) {
            if (got == Received::Broken)
                device.Packets().resync.store(true);
            else if (!wantStream && t_request.awaiting)
                device.Packets().answerOwedOn.store(DeviceConnectionNumber(device));
            NoAnswerReason(device, got == Received::Broken);
            return false;
        }
        const uint8_t length = frame[3];
        LogFrame("<-", frame, length + FRAME_OVERHEAD);
        if (!wantStream && !IsStreamFrame(frame) && !AnswersTheRequest(frame)) {
            LogLateAnswer(frame, true);
            continue;
        }
        if (status != nullptr)
            *status = frame[4];
        if (IsStreamFrame(frame) == wantStream) {
            const uint32_t copy = std::min<uint32_t>(length, outSize);
            if (copy > 0)
                memcpy(out, frame + 6, copy);
            t_request.awaiting = false;
            if (frame[4] != 0)
                SetReason(kErrorRefused, "the instrument refused %c/%u with status %u", Printable(frame[1]), frame[2],
                          frame[4]);
            return frame[4] == 0;
        }
        QueueFrame(device, frame, length + FRAME_OVERHEAD);
    }
}

void ClearStreamQueue(Device& device)
{
    std::lock_guard<std::mutex> lock(device.Packets().queueMutex);
    device.m_vecDataBuffer.clear();
}

size_t StreamQueueSize(Device& device)
{
    std::lock_guard<std::mutex> lock(device.Packets().queueMutex);
    return device.m_vecDataBuffer.size();
}

uint64_t StreamQueueDropped(Device& device)
{
    std::lock_guard<std::mutex> lock(device.Packets().queueMutex);
    return device.Packets().queueDropped;
}

void ForgetOwedAnswer(Device& device)
{
    device.Packets().answerOwedOn.store(0);
}
