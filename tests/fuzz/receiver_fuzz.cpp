// libFuzzer target: the frame receiver (ReceivePacket with the stream queue,
// and the late-input drain before a request) on arbitrary bytes that arrive
// from the device's end of a socket pair. The input is a script of steps:
//   op % 4 == 0  the device sends the next N bytes (N = the following byte);
//   op % 4 == 1  a receive waits for an answer,
//   op % 4 == 2  a receive waits for a stream packet, each into a buffer of
//                exactly the following byte's size (bit 2 of op: with status);
//   op % 4 == 3  a request is sent (late input is drained first).
// Steps past the 48th are ignored.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "device/Device.h"
#include "device/Packet.h"
#include "device/Transport.h"

namespace {

constexpr int kMaxSteps = 48;

void Discard(int fd)
{
    uint8_t buffer[4096];
    while (recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
}

bool ShortTimeouts()
{
    // A frame that never completes costs one read timeout: keep it short.
    return DeviceSetTimeoutSetting(2, 100);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool configured = ShortTimeouts();
    (void)configured;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    AdoptDeviceHandle(DefaultDevice(), pair[0]);  // the library's end; DeviceClose closes it
    const int device = pair[1];
    ClearStreamQueue();
    ForgetOwedAnswer(DefaultDevice());
    // A first request leaves no drain pending from the previous input.
    SendPacket(CATEGORY_INSTRUMENT, 0, nullptr, 0);
    Discard(device);

    // Each receive that finds no whole frame waits out the read timeout: a
    // bounded number of steps keeps an input's time short.
    size_t at = 0;
    for (int step = 0; step < kMaxSteps && at < size; ++step) {
        const uint8_t op = data[at++];
        const uint8_t argument = at < size ? data[at++] : 0;
        switch (op % 4) {
        case 0: {
            const size_t count = std::min<size_t>(argument, size - at);
            if (count > 0 && write(device, data + at, count) != static_cast<ssize_t>(count))
                abort();
            at += count;
            break;
        }
        case 1:
        case 2: {
            // Exactly the size asked for, so that a write past it is caught.
            std::unique_ptr<uint8_t[]> out(argument > 0 ? new uint8_t[argument] : nullptr);
            uint8_t status = 0;
            ReceivePacket(out.get(), argument, op % 4 == 2, (op & 4) != 0 ? &status : nullptr);
            break;
        }
        default:
            SendPacket(CATEGORY_INSTRUMENT, argument, nullptr, 0);
            Discard(device);
            break;
        }
        if (StreamQueueSize(DefaultDevice()) > STREAM_QUEUE_LIMIT)
            abort();
    }
    DeviceClose();
    close(device);
    return 0;
}
