#include "SimDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace vasqsim {

namespace {

constexpr std::chrono::microseconds kByteTimeAt115200{87};

}  // namespace

SimDevice::SimDevice(std::string folder, int portNumber, bool plugIn, PortSettings settings)
    : m_folder(std::move(folder)),
      m_portNumber(portNumber),
      m_nodePath(m_folder + "/ttyACM" + std::to_string(portNumber)),
      m_settings(settings)
{
    if (plugIn)
        Plug();
}

SimDevice::~SimDevice()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
    // The port thread may be starting a restart; once it has been joined the
    // restart thread is known, and it no longer plugs in once closing is set.
    Unplug();
    if (m_restartThread.joinable())
        m_restartThread.join();
    Unplug();
}

void SimDevice::SetRestartDelay(std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_restartDelay = delay;
}

size_t SimDevice::RestartsCompleted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_restartsCompleted;
}

bool SimDevice::WaitForRestarts(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_restartsCompleted >= count; });
}

// Called on the port thread: the restart runs on a thread of its own, since
// unplugging joins the port thread.
void SimDevice::RestartLater()
{
    // A previous restart has already plugged this port thread in; it is done
    // or about to be, and does not wait for this thread.
    if (m_restartThread.joinable())
        m_restartThread.join();
    m_restartThread = std::thread([this] {
        Unplug();
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_changed.wait_for(lock, m_restartDelay, [this] { return m_closing; }))
            return;
        lock.unlock();
        Plug();
        lock.lock();
        ++m_restartsCompleted;
        lock.unlock();
        m_changed.notify_all();
    });
}

bool SimDevice::Plug()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_masterFd != -1) {
        if (!m_hungUp.load())
            return true;
        m_thread.join();
        CloseLocked();
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    char slaveName[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slaveName, sizeof(slaveName)) != 0) {
        close(master);
        return false;
    }
    // The simulator keeps the slave open itself, so the master never sees a
    // hang-up when the library closes the port between connections.
    const int slave = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        return false;
    }
    if (m_settings == PortSettings::Cooked) {
        termios tio;
        tcgetattr(slave, &tio);
        tio.c_iflag |= ICRNL | IXON;
        tio.c_oflag |= OPOST | ONLCR;
        tio.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
        tio.c_cflag |= CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(slave, TCSANOW, &tio);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    unlink(m_nodePath.c_str());
    if (symlink(slaveName, m_nodePath.c_str()) != 0) {
        close(slave);
        close(master);
        return false;
    }
    m_masterFd = master;
    m_slaveFd = slave;
    m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread(&SimDevice::Serve, this, m_masterFd, m_slaveFd, m_stopFd);
    return true;
}

void SimDevice::Unplug()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_masterFd == -1)
        return;
    unlink(m_nodePath.c_str());
    const uint64_t one = 1;
    (void)!write(m_stopFd, &one, sizeof(one));
    m_thread.join();
    CloseLocked();
}

void SimDevice::RemoveNode()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    unlink(m_nodePath.c_str());
}

void SimDevice::HangUpKeepingNode()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_masterFd == -1)
        return;
    const uint64_t one = 1;
    (void)!write(m_stopFd, &one, sizeof(one));
    m_thread.join();
    CloseLocked();
    // The terminal's name is free again and another program's new terminal may
    // take it at once: the node is pointed at a name that never exists instead.
    const std::string name = "ttyACM" + std::to_string(m_portNumber);
    const std::string gone = m_folder + "/gone-" + name;
    const std::string link = m_folder + "/link-" + name;
    unlink(link.c_str());
    if (symlink(gone.c_str(), link.c_str()) == 0 && rename(link.c_str(), m_nodePath.c_str()) != 0)
        unlink(link.c_str());
}

void SimDevice::CloseLocked()
{
    // After a hang-up the port thread has closed the port's descriptors itself.
    if (!m_hungUp.exchange(false)) {
        close(m_masterFd);
        close(m_slaveFd);
    }
    close(m_stopFd);
    m_masterFd = m_slaveFd = m_stopFd = -1;
}

bool SimDevice::Plugged() const
{
    return access(m_nodePath.c_str(), F_OK) == 0;
}

void SimDevice::WithModel(const std::function<void(DeviceModel&)>& fn)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fn(m_model);
}

void SimDevice::InjectFault(const Fault& fault, int category, int command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back({fault, category, command});
}

size_t SimDevice::PendingFaults() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults.size();
}

bool SimDevice::WaitForFaultsApplied(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_faults.empty(); });
}

void SimDevice::ClearFaults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

void SimDevice::SendRaw(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_masterFd != -1)
        WriteAll(m_masterFd, bytes);
}

void SimDevice::SetPacing(bool paced)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paced = paced;
}

void SimDevice::SetLogging(bool keep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_logging = keep;
    if (!keep) {
        m_log = {};
        m_raw = {};
    }
}

void SimDevice::SetTrace(Trace trace)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_trace = std::move(trace);
}

std::vector<LoggedFrame> SimDevice::Log() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_log;
}

std::vector<uint8_t> SimDevice::RawReceived() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_raw;
}

void SimDevice::ClearLog()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_log.clear();
    m_raw.clear();
}

bool SimDevice::WaitForLogSize(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_log.size() >= count; });
}

size_t SimDevice::AnswersSent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_answersSent;
}

bool SimDevice::WaitForAnswersSent(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_answersSent >= count; });
}

bool SimDevice::WriteAll(int masterFd, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(masterFd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd out = {masterFd, POLLOUT, 0};
            if (poll(&out, 1, 1000) <= 0)
                return false;
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool SimDevice::SleepUnlessStopped(int stopFd, int milliseconds)
{
    pollfd stop = {stopFd, POLLIN, 0};
    return poll(&stop, 1, milliseconds) == 0;
}

void SimDevice::Serve(int masterFd, int slaveFd, int stopFd)
{
    FrameDecoder decoder;
    uint8_t chunk[512];
    for (;;) {
        pollfd fds[2] = {{masterFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        const ssize_t n = read(masterFd, chunk, sizeof(chunk));
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            // Nobody holds the slave: wait for the stop instead of spinning.
            SleepUnlessStopped(stopFd, 10);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_logging)
                m_raw.insert(m_raw.end(), chunk, chunk + n);
        }
        decoder.Feed(chunk, static_cast<size_t>(n));
        Frame request;
        while (decoder.Next(request)) {
            if (!HandleRequest(masterFd, slaveFd, stopFd, request))
                return;
        }
    }
}

bool SimDevice::HandleRequest(int masterFd, int slaveFd, int stopFd, const Frame& request)
{
    std::optional<Frame> answer;
    std::optional<Fault> fault;
    bool paced;
    bool restart;
    Trace trace;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_logging)
            m_log.push_back({std::chrono::steady_clock::now(), request.category, request.command, request.payload});
        for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
            if ((it->category == kAnyCode || it->category == request.category) &&
                (it->command == kAnyCode || it->command == request.command)) {
                if (it->fault.after > 0) {
                    --it->fault.after;
                    break;
                }
                fault = it->fault;
                m_faults.erase(it);
                break;
            }
        }
        answer = m_model.Handle(request);
        paced = m_paced;
        restart = m_model.restartRequested && !m_closing;
        m_model.restartRequested = false;
        trace = m_trace;
    }
    m_changed.notify_all();
    if (trace)
        trace(request, answer);
    if (restart) {
        RestartLater();
        return false;
    }
    if (!answer)
        return true;

    std::vector<uint8_t> prefix;
    if (fault) {
        switch (fault->kind) {
        case FaultKind::NoAnswer:
            return true;
        case FaultKind::Status:
            answer->status = fault->status;
            break;
        case FaultKind::Delay:
            if (!SleepUnlessStopped(stopFd, fault->delayMs))
                return false;
            break;
        case FaultKind::Garbage:
            prefix = fault->bytes;
            break;
        case FaultKind::StreamFlood: {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int i = 0; i < fault->count; ++i) {
                const std::vector<uint8_t> packet = EncodeFrame(m_model.NextStreamPacket());
                prefix.insert(prefix.end(), packet.begin(), packet.end());
            }
            break;
        }
        case FaultKind::StreamFloodWithoutAnswer:
            for (int i = 0; i < fault->count; ++i) {
                std::vector<uint8_t> packet;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    packet = EncodeFrame(m_model.NextStreamPacket());
                }
                if (!WriteAll(masterFd, packet) || !SleepUnlessStopped(stopFd, fault->delayMs))
                    return false;
            }
            return true;
        case FaultKind::BadChecksum:
        case FaultKind::HangUpMidFrame:
            break;
        }
    }
    std::vector<uint8_t> bytes = EncodeFrame(*answer);
    if (fault && fault->kind == FaultKind::BadChecksum)
        bytes[5] = static_cast<uint8_t>(bytes[5] + 1);
    if (fault && fault->kind == FaultKind::HangUpMidFrame) {
        bytes.resize(bytes.size() / 2);
        WriteAll(masterFd, bytes);
        // The device vanishes: the node goes and the port hangs up. Plug and
        // Unplug join this thread before they touch the descriptors again;
        // marked first, so that a plug that comes at once does not take the
        // port for one still plugged in.
        m_hungUp.store(true);
        unlink(m_nodePath.c_str());
        close(slaveFd);
        close(masterFd);
        return false;
    }
    bytes.insert(bytes.begin(), prefix.begin(), prefix.end());
    if (paced)
        std::this_thread::sleep_for(kByteTimeAt115200 * bytes.size());
    WriteAll(masterFd, bytes);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_answersSent;
    }
    m_changed.notify_all();
    return true;
}

}  // namespace vasqsim
