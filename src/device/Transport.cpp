#include "device/Transport.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "platform/Event.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"
#include "protocol/Identity.h"

std::atomic<long> g_hDevice{-1};
char g_szDevicePath[512] = {};
int g_nLockFile = -1;
char g_szLockFilePath[128] = {};
std::atomic<uint32_t> g_nDeviceReadTimeout{1000};
std::atomic<uint32_t> g_nDeviceWriteTimeout{2000};

namespace {

// The gate lets DeviceClose run on any thread while another thread is inside a
// transfer: the close marks the port gone, wakes the transfer through an
// eventfd, waits until no transfer uses the descriptor any more, and only then
// closes it, so a descriptor number is never used after it may have been
// reused. It also guards the path and lock-file globals.
struct Gate {
    std::mutex mutex;
    std::condition_variable idle;
    int users = 0;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Gate() { close(wakeFd); }
};
Gate s_gate VASQ_INIT_DEVICE;

std::atomic<bool> s_portFailed{false};
int s_openPort = -1;
uint64_t s_connection = 0;
uint64_t s_lastConnection = 0;

std::mutex s_folderMutex;
std::string s_nodeFolder VASQ_INIT_DEVICE = "/dev";
std::string s_lockFolder VASQ_INIT_DEVICE = "/var/lock";

class PortUse {
public:
    PortUse()
    {
        std::lock_guard<std::mutex> lock(s_gate.mutex);
        m_fd = g_hDevice.load();
        if (m_fd != -1)
            ++s_gate.users;
    }
    ~PortUse()
    {
        if (m_fd == -1)
            return;
        std::lock_guard<std::mutex> lock(s_gate.mutex);
        if (--s_gate.users == 0)
            s_gate.idle.notify_all();
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;

    int fd() const { return static_cast<int>(m_fd); }
    bool valid() const { return m_fd != -1 && g_hDevice.load() == m_fd; }

private:
    long m_fd;
};

int64_t MonotonicMicroseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Waits for the port to become ready. Only the time spent waiting counts
// against the budget; a wait interrupted by a signal resumes with what is left.
// Returns false when the budget is used up, the port fails or is being closed.
bool WaitReady(const PortUse& port, short events, bool limited, int64_t& budgetUs)
{
    for (;;) {
        if (limited && budgetUs <= 0)
            return false;
        pollfd fds[2] = {{port.fd(), events, 0}, {s_gate.wakeFd, POLLIN, 0}};
        const int timeoutMs = limited ? static_cast<int>((budgetUs + 999) / 1000) : -1;
        const int64_t started = MonotonicMicroseconds();
        const int ready = poll(fds, 2, timeoutMs);
        if (limited)
            budgetUs -= MonotonicMicroseconds() - started;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || fds[1].revents != 0 || !port.valid())
            return false;
        if ((fds[0].revents & POLLNVAL) != 0)
            return false;
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            s_portFailed.store(true);
            return false;
        }
        return true;
    }
}

bool PortHungUp(int fd)
{
    pollfd probe = {fd, 0, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int Transfer(uint8_t* readBuffer, const uint8_t* writeBuffer, int count, uint32_t timeoutMs)
{
    PortUse port;
    if (!port.valid())
        return 0;
    const bool writing = writeBuffer != nullptr;
    const bool limited = timeoutMs != INFINITE_TIMEOUT;
    int64_t budgetUs = static_cast<int64_t>(timeoutMs) * 1000;
    int total = 0;
    while (total < count) {
        if (!WaitReady(port, writing ? POLLOUT : POLLIN, limited, budgetUs))
            return 0;
        const ssize_t done = writing ? write(port.fd(), writeBuffer + total, count - total)
                                     : read(port.fd(), readBuffer + total, count - total);
        if (done < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                usleep(10000);
                continue;
            }
            s_portFailed.store(true);
            break;
        }
        // A read of 0 bytes on a readable port means the port has hung up.
        if (done == 0) {
            s_portFailed.store(true);
            return 0;
        }
        total += static_cast<int>(done);
    }
    return total;
}

bool LockDeviceHeld(int portNumber)
{
    const std::string path = DeviceLockPath(portNumber);
    if (path.size() >= sizeof(g_szLockFilePath)) {
        g_nLockFile = -1;
        return false;
    }
    memset(g_szLockFilePath, 0, sizeof(g_szLockFilePath));
    memcpy(g_szLockFilePath, path.c_str(), path.size());
    g_nLockFile = open(g_szLockFilePath, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return g_nLockFile >= 0;
}

void UnlockDeviceHeld()
{
    if (g_nLockFile == -1)
        return;
    close(g_nLockFile);
    g_nLockFile = -1;
    unlink(g_szLockFilePath);
    memset(g_szLockFilePath, 0, sizeof(g_szLockFilePath));
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

// Closes the open port with the gate held: the port is marked gone at once,
// transfers in progress are woken and waited for, then the descriptor goes.
void ClosePortHeld(std::unique_lock<std::mutex>& lock)
{
    const long fd = g_hDevice.load();
    if (fd == -1)
        return;
    g_hDevice.store(-1);
    const uint64_t one = 1;
    (void)!write(s_gate.wakeFd, &one, sizeof(one));
    s_gate.idle.wait(lock, [] { return s_gate.users == 0; });
    UnlockDeviceHeld();
    memset(g_szDevicePath, 0, sizeof(g_szDevicePath));
    close(static_cast<int>(fd));
    uint64_t drained;
    (void)!read(s_gate.wakeFd, &drained, sizeof(drained));
}

}  // namespace

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    s_nodeFolder = nodeFolder == nullptr || *nodeFolder == '\0' ? "/dev" : nodeFolder;
    s_lockFolder = lockFolder == nullptr || *lockFolder == '\0' ? "/var/lock" : lockFolder;
}

int DeviceOpenPortNumber()
{
    std::lock_guard<std::mutex> lock(s_gate.mutex);
    return g_hDevice.load() == -1 ? -1 : s_openPort;
}

void AdoptDeviceHandle(long handle)
{
    std::lock_guard<std::mutex> lock(s_gate.mutex);
    g_hDevice.store(handle);
    s_openPort = -1;
    s_connection = ++s_lastConnection;
    s_portFailed.store(false);
}

uint64_t DeviceConnectionNumber()
{
    std::lock_guard<std::mutex> lock(s_gate.mutex);
    return g_hDevice.load() == -1 ? 0 : s_connection;
}

bool DeviceCloseConnection(uint64_t connection)
{
    std::unique_lock<std::mutex> lock(s_gate.mutex);
    if (connection == 0 || g_hDevice.load() == -1 || s_connection != connection)
        return false;
    ClosePortHeld(lock);
    return true;
}

std::string DeviceNodePath(int portNumber)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    return s_nodeFolder + "/ttyACM" + std::to_string(portNumber);
}

std::string DeviceLockPath(int portNumber)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    return s_lockFolder + "/kestrova.ACM" + std::to_string(portNumber) + ".lock";
}

bool LockDevice(int portNumber)
{
    std::lock_guard<std::mutex> lock(s_gate.mutex);
    return LockDeviceHeld(portNumber);
}

bool UnlockDevice()
{
    std::lock_guard<std::mutex> lock(s_gate.mutex);
    UnlockDeviceHeld();
    return true;
}

bool DoFindDevice(int portNumber)
{
    if (portNumber < 0)
        return false;
    const std::string path = DeviceNodePath(portNumber);
    if (path.size() >= sizeof(g_szDevicePath))
        return false;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    {
        std::lock_guard<std::mutex> lock(s_gate.mutex);
        if (g_hDevice.load() != -1) {
            close(fd);  // another port is already open in this process
            return false;
        }
        g_hDevice.store(fd);
        s_connection = ++s_lastConnection;
        s_portFailed.store(false);
        if (!LockDeviceHeld(portNumber)) {
            g_hDevice.store(-1);
            close(fd);
            return false;
        }
    }
    DeviceCancelIO();
    ConfigurePort(fd);
    if (!IsTargetDevice()) {
        // Releases the lock too, so the port is not skipped by later scans.
        DeviceClose();
        return false;
    }
    std::lock_guard<std::mutex> lock(s_gate.mutex);
    if (g_hDevice.load() != fd)
        return false;  // closed by another thread during the probe
    memset(g_szDevicePath, 0, sizeof(g_szDevicePath));
    memcpy(g_szDevicePath, path.c_str(), path.size());
    s_openPort = portNumber;
    return true;
}

bool FindDevice(int portNumber)
{
    if (portNumber != -1)
        return DoFindDevice(portNumber);
    for (int port = 0; port < kPortCount; ++port) {
        if (DoFindDevice(port))
            return true;
    }
    return false;
}

bool DeviceConnect(int portNumber, int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (FindDevice(portNumber))
            return true;
        SleepEx(1000);
    }
    return false;
}

bool DeviceClose()
{
    std::unique_lock<std::mutex> lock(s_gate.mutex);
    ClosePortHeld(lock);
    return true;
}

bool ListDeviceNodes(std::vector<std::string>& paths)
{
    std::string pattern;
    {
        std::lock_guard<std::mutex> lock(s_folderMutex);
        pattern = s_nodeFolder + "/ttyACM*";
    }
    glob_t found;
    const int result = glob(pattern.c_str(), 0, nullptr, &found);
    if (result != 0 && result != GLOB_NOMATCH)
        return false;
    paths.clear();
    for (size_t i = 0; result == 0 && i < found.gl_pathc; ++i)
        paths.emplace_back(found.gl_pathv[i]);
    globfree(&found);
    return true;
}

Listing ListOpenPort()
{
    std::vector<std::string> paths;
    if (!ListDeviceNodes(paths))
        return Listing::Failed;
    for (std::string& path : paths) {
        StringTrim(&path[0]);
        if (DeviceCheckPath(path.c_str()))
            return Listing::WithPort;
    }
    return Listing::WithoutPort;
}

bool DeviceIsAlive()
{
    return ListOpenPort() == Listing::WithPort;
}

bool DeviceIsConnected()
{
    return g_hDevice.load() != -1;
}

bool DeviceCancelIO()
{
    // No transfer of this library is asynchronous; nothing is outstanding.
    return true;
}

bool DeviceCheckPath(const char* path)
{
    if (path == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(s_gate.mutex);
    return g_szDevicePath[0] != '\0' && strcmp(g_szDevicePath, path) == 0;
}

bool DeviceSetTimeoutSetting(uint32_t readMs, uint32_t writeMs)
{
    g_nDeviceReadTimeout.store(readMs);
    g_nDeviceWriteTimeout.store(writeMs);
    return true;
}

int DeviceReadData(uint8_t* buffer, int count)
{
    return Transfer(buffer, nullptr, count, g_nDeviceReadTimeout.load());
}

int DeviceReadDataWithin(uint8_t* buffer, int count, uint32_t timeoutMs)
{
    return Transfer(buffer, nullptr, count, timeoutMs);
}

int DeviceWriteData(const uint8_t* buffer, int count)
{
    return Transfer(nullptr, buffer, count, g_nDeviceWriteTimeout.load());
}

int DeviceReadAvailable(uint8_t* buffer, int capacity)
{
    PortUse port;
    if (!port.valid())
        return -1;
    const ssize_t done = read(port.fd(), buffer, capacity);
    if (done > 0)
        return static_cast<int>(done);
    if (done < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    // An idle port with VMIN = 0 answers with 0 bytes as well; only the
    // system's own report tells a hang-up from an empty read.
    if (done == 0 && !PortHungUp(port.fd()))
        return 0;
    s_portFailed.store(true);
    return -1;
}

bool DevicePortFailed()
{
    return s_portFailed.load();
}

void StringTrimRight(char* text)
{
    char* runStart = nullptr;
    for (char* p = text; *p != '\0'; ++p) {
        if (isspace(static_cast<unsigned char>(*p))) {
            if (runStart == nullptr)
                runStart = p;
        } else {
            runStart = nullptr;
        }
    }
    if (runStart != nullptr)
        *runStart = '\0';
}

void StringTrimLeft(char* text)
{
    char* p = text;
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (p != text)
        memmove(text, p, strlen(p) + 1);
}

void StringTrim(char* text)
{
    StringTrimRight(text);
    StringTrimLeft(text);
}
