// A device's open port on Linux: the gate that lets a close run while a
// transfer waits, the reads and writes with their deadlines, and hang-ups.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <termios.h>
#include <time.h>

#include "device/Device.h"
#include "linux/PortState.h"
#include "platform/Platform.h"

TransportState* NewTransportState()
{
    return new TransportState;
}

void DeleteTransportState(TransportState* state)
{
    delete state;
}

namespace {

std::atomic<DeviceLossFn> s_lossHandler{nullptr};

class PortUse {
public:
    explicit PortUse(Device& device) : m_device(device)
    {
        TransportState& port = device.Transport();
        std::lock_guard<std::mutex> lock(port.gate.mutex);
        m_fd = device.m_hDevice.load();
        if (m_fd != -1 && port.held && !pthread_equal(port.holder, pthread_self()))
            m_fd = -1;
        if (m_fd != -1) {
            ++port.gate.users;
            m_epollFd = port.epollFd;
        }
    }
    ~PortUse()
    {
        if (m_fd == -1)
            return;
        TransportState& port = m_device.Transport();
        std::lock_guard<std::mutex> lock(port.gate.mutex);
        if (--port.gate.users == 0)
            port.gate.idle.notify_all();
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;

    Device& device() const { return m_device; }
    TransportState& state() const { return m_device.Transport(); }
    int fd() const { return static_cast<int>(m_fd); }
    int epollFd() const { return m_epollFd; }
    bool valid() const { return m_fd != -1 && m_device.m_hDevice.load() == m_fd; }

private:
    Device& m_device;
    long m_fd;
    int m_epollFd = -1;
};

// A hang-up is what the system reports as one; the connection thread is told
// at once instead of at the presence monitor's next listing.
void MarkHungUp(Device& device)
{
    if (device.Transport().hungUp.exchange(true))
        return;
    const DeviceLossFn loss = s_lossHandler.load();
    if (loss != nullptr)
        loss(device);
}

bool PortHungUp(int fd)
{
    pollfd probe = {fd, 0, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Waits on the port and the gate's wake-up: for room to write (only after the
// port refused a write), or for input on a port that epoll does not take.
bool WaitReady(const PortUse& port, short events, bool limited, int64_t deadlineUs)
{
    for (;;) {
        pollfd fds[2] = {{port.fd(), events, 0}, {port.state().gate.wakeFd, POLLIN, 0}};
        const int ready = poll(fds, 2, RemainingMs(limited, deadlineUs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || fds[1].revents != 0 || !port.valid() || (fds[0].revents & POLLNVAL) != 0)
            return false;
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            MarkHungUp(port.device());
            return false;
        }
        return true;
    }
}

enum class Ready { Yes, TimedOut, Failed };

// Waits until the port has input, it hangs up, it is being closed, or the
// deadline passes. A wait interrupted by a signal resumes with what is left.
Ready WaitReadable(const PortUse& port, bool limited, int64_t deadlineUs)
{
    if (port.epollFd() < 0)
        return WaitReady(port, POLLIN, limited, deadlineUs) ? Ready::Yes : Ready::Failed;
    for (;;) {
        const int timeoutMs = RemainingMs(limited, deadlineUs);
        epoll_event events[2];
        const int ready = epoll_wait(port.epollFd(), events, 2, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Ready::Failed;
        if (ready == 0)
            return Ready::TimedOut;
        bool input = false;
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd != port.fd() || !port.valid())
                return Ready::Failed;  // being closed
            if ((events[i].events & (EPOLLHUP | EPOLLERR)) != 0) {
                MarkHungUp(port.device());
                return Ready::Failed;
            }
            input = true;
        }
        if (input)
            return Ready::Yes;
    }
}

size_t TakeBuffered(TransportState& port, uint8_t* buffer, size_t count)
{
    const size_t take = std::min(count, port.rxEnd - port.rxBegin);
    memcpy(buffer, port.rx + port.rxBegin, take);
    port.rxBegin += take;
    if (port.rxBegin == port.rxEnd)
        port.rxBegin = port.rxEnd = 0;
    return take;
}

// Reads what the port holds into the empty receive buffer: the number of
// bytes, 0 when nothing is there, -1 when the port failed. Any read error but
// EAGAIN and EINTR counts as a hang-up: the connection thread then looks for
// the device afresh rather than exchanging on a port in an unknown state.
ssize_t FillBuffer(const PortUse& port, bool readable)
{
    const ssize_t done = read(port.fd(), port.state().rx, kReceiveBufferSize);
    if (done > 0) {
        port.state().rxBegin = 0;
        port.state().rxEnd = static_cast<size_t>(done);
        return done;
    }
    if (done < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    // 0 bytes from a port that was just reported readable is a hang-up; from
    // an idle port with VMIN = 0 it is only an empty read.
    if (done == 0 && !readable && !PortHungUp(port.fd()))
        return 0;
    MarkHungUp(port.device());
    return -1;
}

int ReadWithin(Device& device, uint8_t* buffer, int count, uint32_t timeoutMs)
{
    PortUse port(device);
    if (!port.valid())
        return 0;
    const bool limited = timeoutMs != INFINITE_TIMEOUT;
    const int64_t deadlineUs = MonotonicMicroseconds() + static_cast<int64_t>(timeoutMs) * 1000;
    size_t total = TakeBuffered(port.state(), buffer, static_cast<size_t>(count));
    while (total < static_cast<size_t>(count)) {
        if (WaitReadable(port, limited, deadlineUs) != Ready::Yes)
            return 0;
        if (FillBuffer(port, true) < 0)
            return 0;
        total += TakeBuffered(port.state(), buffer + total, static_cast<size_t>(count) - total);
    }
    return static_cast<int>(total);
}

int WriteWithin(Device& device, const uint8_t* buffer, int count, uint32_t timeoutMs)
{
    PortUse port(device);
    if (!port.valid())
        return 0;
    const bool limited = timeoutMs != INFINITE_TIMEOUT;
    const int64_t deadlineUs = MonotonicMicroseconds() + static_cast<int64_t>(timeoutMs) * 1000;
    int total = 0;
    while (total < count) {
        const ssize_t done = write(port.fd(), buffer + total, count - total);
        if (done > 0) {
            total += static_cast<int>(done);
            continue;
        }
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0 && errno != EAGAIN) {
            MarkHungUp(device);
            break;
        }
        if (!WaitReady(port, POLLOUT, limited, deadlineUs))
            return 0;
    }
    return total;
}

}  // namespace

int64_t MonotonicMicroseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int RemainingMs(bool limited, int64_t deadlineUs)
{
    if (!limited)
        return -1;
    const int64_t left = deadlineUs - MonotonicMicroseconds();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

void ConfigurePort(int fd)
{
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return;
    tio.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    tio.c_iflag |= IGNPAR;
    tio.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR);
    tio.c_lflag = 0;
    cfsetospeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
}

// Makes fd the open port, with the gate held: a fresh connection number, an
// empty receive buffer, and the wait set.
void OpenPortHeld(Device& device, long fd, int portNumber, bool held)
{
    TransportState& port = device.Transport();
    device.m_hDevice.store(fd);
    port.openPort = portNumber;
    port.connection = ++port.lastConnection;
    port.hungUp.store(false);
    port.rxBegin = port.rxEnd = 0;
    port.held = held;
    if (held)
        port.holder = pthread_self();
    port.epollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event input = {};
    input.events = EPOLLIN;
    input.data.fd = static_cast<int>(fd);
    epoll_event wake = {};
    wake.events = EPOLLIN;
    wake.data.fd = port.gate.wakeFd;
    // An adopted descriptor that epoll refuses is waited on with poll instead.
    if (port.epollFd >= 0 && (epoll_ctl(port.epollFd, EPOLL_CTL_ADD, static_cast<int>(fd), &input) != 0 ||
                           epoll_ctl(port.epollFd, EPOLL_CTL_ADD, port.gate.wakeFd, &wake) != 0)) {
        close(port.epollFd);
        port.epollFd = -1;
    }
}

void AnnouncePublished(Device& device)
{
    TransportState& port = device.Transport();
    const uint64_t one = 1;
    (void)!write(port.gate.publishedFd, &one, sizeof(one));
}

// Closes the open port with the gate held: the port is marked gone at once,
// transfers in progress are woken and waited for, then the descriptor goes.
void ClosePortHeld(Device& device, std::unique_lock<std::mutex>& lock)
{
    TransportState& port = device.Transport();
    const long fd = device.m_hDevice.load();
    if (fd == -1)
        return;
    device.m_hDevice.store(-1);
    const uint64_t one = 1;
    (void)!write(port.gate.wakeFd, &one, sizeof(one));
    port.gate.idle.wait(lock, [&port] { return port.gate.users == 0; });
    UnlockDeviceHeld(device);
    memset(device.m_szDevicePath, 0, sizeof(device.m_szDevicePath));
    close(static_cast<int>(fd));
    close(port.epollFd);
    port.epollFd = -1;
    port.held = false;
    port.rxBegin = port.rxEnd = 0;
    uint64_t drained;
    (void)!read(port.gate.wakeFd, &drained, sizeof(drained));
}

void SetDeviceLossHandler(DeviceLossFn handler)
{
    s_lossHandler.store(handler);
}

int DeviceOpenPortNumber(Device& device)
{
    std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
    return device.m_hDevice.load() == -1 ? -1 : device.Transport().openPort;
}

bool DeviceOpenPortMatches(Device& device, int portNumber)
{
    // An adopted port has no number: no search would have found it.
    const int open = DeviceOpenPortNumber(device);
    return open != -1 && (portNumber == -1 || portNumber == open);
}

void AdoptDeviceHandle(Device& device, long handle)
{
    std::unique_lock<std::mutex> lock(device.Transport().gate.mutex);
    if (device.m_hDevice.load() == handle)
        return;
    // The previous port and its lock go first; the adopted handle is the caller's.
    ClosePortHeld(device, lock);
    device.m_logSubject.Clear();
    if (handle == -1)
        return;
    OpenPortHeld(device, handle, -1, false);
    AnnouncePublished(device);
}

uint64_t DeviceConnectionNumber(Device& device)
{
    std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
    return device.m_hDevice.load() == -1 ? 0 : device.Transport().connection;
}

bool DeviceCloseConnection(Device& device, uint64_t connection)
{
    std::unique_lock<std::mutex> lock(device.Transport().gate.mutex);
    if (connection == 0 || device.m_hDevice.load() == -1 || device.Transport().connection != connection)
        return false;
    ClosePortHeld(device, lock);
    return true;
}

void DeviceReleaseHeld(Device& device)
{
    std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
    if (device.Transport().held && pthread_equal(device.Transport().holder, pthread_self())) {
        device.Transport().held = false;
        AnnouncePublished(device);
    }
}

void DeviceStopSearch(Device& device)
{
    const uint64_t one = 1;
    (void)!write(device.Transport().gate.searchStopFd, &one, sizeof(one));
}

// A loss keeps naming the port until the connection has ended
// (ClearDeviceIdentity); a close on purpose ends it here.
bool DeviceClose(Device& device)
{
    std::unique_lock<std::mutex> lock(device.Transport().gate.mutex);
    ClosePortHeld(device, lock);
    device.m_logSubject.Clear();
    return true;
}

bool DeviceIsConnected(Device& device)
{
    return device.m_hDevice.load() != -1;
}

bool DeviceCancelIO()
{
    // No transfer of this library is asynchronous; nothing is outstanding.
    return true;
}

bool DeviceCheckPath(Device& device, const char* path)
{
    if (path == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
    return device.m_szDevicePath[0] != '\0' && strcmp(device.m_szDevicePath, path) == 0;
}

bool DeviceSetTimeoutSetting(Device& device, uint32_t readMs, uint32_t writeMs)
{
    device.m_nDeviceReadTimeout.store(readMs);
    device.m_nDeviceWriteTimeout.store(writeMs);
    return true;
}

int DeviceReadData(Device& device, uint8_t* buffer, int count)
{
    return ReadWithin(device, buffer, count, device.m_nDeviceReadTimeout.load());
}

int DeviceReadDataWithin(Device& device, uint8_t* buffer, int count, uint32_t timeoutMs)
{
    return ReadWithin(device, buffer, count, timeoutMs);
}

int DeviceWriteData(Device& device, const uint8_t* buffer, int count)
{
    return WriteWithin(device, buffer, count, device.m_nDeviceWriteTimeout.load());
}

int DeviceReadAvailable(Device& device, uint8_t* buffer, int capacity)
{
    PortUse port(device);
    if (!port.valid())
        return -1;
    if (device.Transport().rxBegin == device.Transport().rxEnd) {
        // An adopted descriptor may be a blocking one: read only what is there.
        pollfd ready = {port.fd(), POLLIN, 0};
        if (poll(&ready, 1, 0) < 0)
            return 0;
        if (ready.revents == 0)
            return 0;
        if (FillBuffer(port, (ready.revents & POLLIN) != 0) < 0)
            return -1;
    }
    return static_cast<int>(TakeBuffered(port.state(), buffer, static_cast<size_t>(capacity)));
}

bool DeviceHasBufferedInput(Device& device)
{
    PortUse port(device);
    return port.valid() && device.Transport().rxBegin != device.Transport().rxEnd;
}

bool DevicePortFailed(Device& device)
{
    return device.Transport().hungUp.load();
}

PortWatch::PortWatch(Device& device) : m_device(device), m_use(new PortUse(device)) {}

PortWatch::~PortWatch()
{
    delete static_cast<PortUse*>(m_use);
}

int PortWatch::Fill(pollfd* fds) const
{
    const PortUse& port = *static_cast<const PortUse*>(m_use);
    // Events 0: only a hang-up or an error is reported, input is left alone.
    // Without a port the wait ends when one is published.
    fds[0] = {port.valid() ? m_device.Transport().gate.wakeFd : m_device.Transport().gate.publishedFd, POLLIN, 0};
    if (!port.valid())
        return 1;
    fds[1] = {port.fd(), 0, 0};
    return 2;
}

HangUpWait PortWatch::Result(const pollfd* fds)
{
    const PortUse& port = *static_cast<const PortUse*>(m_use);
    if (port.valid() && m_device.Transport().hungUp.load())
        return HangUpWait::HungUp;
    if (!port.valid()) {
        if (fds[0].revents == 0)
            return HangUpWait::TimedOut;
        uint64_t drained;
        (void)!read(m_device.Transport().gate.publishedFd, &drained, sizeof(drained));
        return HangUpWait::Changed;
    }
    if (fds[0].revents != 0 || (fds[1].revents & POLLNVAL) != 0)
        return HangUpWait::Changed;
    if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
        MarkHungUp(m_device);
        return HangUpWait::HungUp;
    }
    return HangUpWait::TimedOut;
}
