#include "device/Transport.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/inotify.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "device/Device.h"
#include "device/SearchOutcome.h"
#include "platform/Diagnostics.h"
#include "platform/Event.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"


// The gate lets DeviceClose run on any thread while another thread is inside a
// transfer: the close marks the port gone, wakes the transfer through an
// eventfd, waits until no transfer uses the descriptor any more, and only then
// closes it, so a descriptor number is never used after it may have been
// reused. It also guards the path and lock-file members of the device.
struct Gate {
    std::mutex mutex;
    std::condition_variable idle;
    int users = 0;
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Ends the pause between search attempts early when the search is stopped.
    int searchStopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Readable once a port has become usable by every thread, so that a watch
    // that began without a port takes up the new one at once.
    int publishedFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Gate()
    {
        close(wakeFd);
        close(searchStopFd);
        close(publishedFd);
    }
};

// Bytes read from the port but not yet asked for: one read takes a whole frame.
constexpr size_t kReceiveBufferSize = 4096;

struct TransportState {
    Gate gate;
    // The open port's wait set: the port for input and the gate's wake-up, so a
    // read waits in one call on one descriptor.
    int epollFd = -1;
    std::atomic<bool> hungUp{false};
    int openPort = -1;
    uint64_t connection = 0;
    uint64_t lastConnection = 0;
    // While a port is probed and announced, only the thread that opened it may
    // use it: no application call exchanges with a port that is not yet identified.
    bool held = false;
    pthread_t holder;
    uint8_t rx[kReceiveBufferSize];
    size_t rxBegin = 0;
    size_t rxEnd = 0;
};

TransportState* NewTransportState()
{
    return new TransportState;
}

void DeleteTransportState(TransportState* state)
{
    delete state;
}

namespace {

TransportState& Port()
{
    return CurrentDevice().Transport();
}

thread_local bool t_keepHeld = false;

std::atomic<DeviceProbeFn> s_probe{nullptr};
std::atomic<DeviceLossFn> s_lossHandler{nullptr};

std::mutex s_folderMutex;
std::string s_nodeFolder VASQ_INIT_DEVICE = "/dev";
std::string s_lockFolder VASQ_INIT_DEVICE = "/var/lock";
std::string s_sysfsRoot VASQ_INIT_DEVICE = "/sys";

constexpr const char* kVendorId = "04d8";
constexpr const char* kProductId = "0000";

class PortUse {
public:
    PortUse()
    {
        std::lock_guard<std::mutex> lock(Port().gate.mutex);
        m_fd = CurrentDevice().m_hDevice.load();
        if (m_fd != -1 && Port().held && !pthread_equal(Port().holder, pthread_self()))
            m_fd = -1;
        if (m_fd != -1) {
            ++Port().gate.users;
            m_epollFd = Port().epollFd;
        }
    }
    ~PortUse()
    {
        if (m_fd == -1)
            return;
        std::lock_guard<std::mutex> lock(Port().gate.mutex);
        if (--Port().gate.users == 0)
            Port().gate.idle.notify_all();
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;

    int fd() const { return static_cast<int>(m_fd); }
    int epollFd() const { return m_epollFd; }
    bool valid() const { return m_fd != -1 && CurrentDevice().m_hDevice.load() == m_fd; }

private:
    long m_fd;
    int m_epollFd = -1;
};

int64_t MonotonicMicroseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// A hang-up is what the system reports as one; the connection thread is told
// at once instead of at the presence monitor's next listing.
void MarkHungUp()
{
    if (Port().hungUp.exchange(true))
        return;
    const DeviceLossFn loss = s_lossHandler.load();
    if (loss != nullptr)
        loss();
}

bool PortHungUp(int fd)
{
    pollfd probe = {fd, 0, 0};
    return poll(&probe, 1, 0) > 0 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int RemainingMs(bool limited, int64_t deadlineUs)
{
    if (!limited)
        return -1;
    const int64_t left = deadlineUs - MonotonicMicroseconds();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

// Waits on the port and the gate's wake-up: for room to write (only after the
// port refused a write), or for input on a port that epoll does not take.
bool WaitReady(const PortUse& port, short events, bool limited, int64_t deadlineUs)
{
    for (;;) {
        pollfd fds[2] = {{port.fd(), events, 0}, {Port().gate.wakeFd, POLLIN, 0}};
        const int ready = poll(fds, 2, RemainingMs(limited, deadlineUs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || fds[1].revents != 0 || !port.valid() || (fds[0].revents & POLLNVAL) != 0)
            return false;
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            MarkHungUp();
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
                MarkHungUp();
                return Ready::Failed;
            }
            input = true;
        }
        if (input)
            return Ready::Yes;
    }
}

size_t TakeBuffered(uint8_t* buffer, size_t count)
{
    const size_t take = std::min(count, Port().rxEnd - Port().rxBegin);
    memcpy(buffer, Port().rx + Port().rxBegin, take);
    Port().rxBegin += take;
    if (Port().rxBegin == Port().rxEnd)
        Port().rxBegin = Port().rxEnd = 0;
    return take;
}

// Reads what the port holds into the empty receive buffer: the number of
// bytes, 0 when nothing is there, -1 when the port failed.
ssize_t FillBuffer(const PortUse& port, bool readable)
{
    const ssize_t done = read(port.fd(), Port().rx, kReceiveBufferSize);
    if (done > 0) {
        Port().rxBegin = 0;
        Port().rxEnd = static_cast<size_t>(done);
        return done;
    }
    if (done < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    // 0 bytes from a port that was just reported readable is a hang-up; from
    // an idle port with VMIN = 0 it is only an empty read.
    if (done == 0 && !readable && !PortHungUp(port.fd()))
        return 0;
    MarkHungUp();
    return -1;
}

int ReadWithin(uint8_t* buffer, int count, uint32_t timeoutMs)
{
    PortUse port;
    if (!port.valid())
        return 0;
    const bool limited = timeoutMs != INFINITE_TIMEOUT;
    const int64_t deadlineUs = MonotonicMicroseconds() + static_cast<int64_t>(timeoutMs) * 1000;
    size_t total = TakeBuffered(buffer, static_cast<size_t>(count));
    while (total < static_cast<size_t>(count)) {
        if (WaitReadable(port, limited, deadlineUs) != Ready::Yes)
            return 0;
        if (FillBuffer(port, true) < 0)
            return 0;
        total += TakeBuffered(buffer + total, static_cast<size_t>(count) - total);
    }
    return static_cast<int>(total);
}

int WriteWithin(const uint8_t* buffer, int count, uint32_t timeoutMs)
{
    PortUse port;
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
            MarkHungUp();
            break;
        }
        if (!WaitReady(port, POLLOUT, limited, deadlineUs))
            return 0;
    }
    return total;
}

enum class Holder { None, Live, Unknown };

// Whether a live process has the file open, by its descriptors in /proc. A
// descriptor counts when its link names a file of the lock file's name and
// that file is the lock file (device and inode); other descriptors are not
// stat'ed, so a hung network mount of some other program cannot stall the scan.
Holder FindHolder(const struct stat& lock, const char* name, long* holderPid = nullptr)
{
    DIR* processes = opendir("/proc");
    if (processes == nullptr)
        return Holder::Unknown;
    bool unknown = false;
    bool live = false;
    const size_t nameLength = strlen(name);
    while (!live) {
        const dirent* process = readdir(processes);
        if (process == nullptr)
            break;
        if (!isdigit(static_cast<unsigned char>(process->d_name[0])))
            continue;
        const std::string fdFolder = std::string("/proc/") + process->d_name + "/fd";
        DIR* fds = opendir(fdFolder.c_str());
        if (fds == nullptr) {
            // A process that ended meanwhile holds nothing; one we may not look
            // into might hold the file.
            if (errno != ENOENT && errno != ESRCH)
                unknown = true;
            continue;
        }
        while (const dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            char target[PATH_MAX];
            const ssize_t length = readlinkat(dirfd(fds), fd->d_name, target, sizeof(target) - 1);
            if (length <= 0 || static_cast<size_t>(length) <= nameLength)
                continue;
            target[length] = '\0';
            const char* tail = target + length - nameLength;
            if (tail[-1] != '/' || strcmp(tail, name) != 0)
                continue;
            struct stat held;
            if (fstatat(dirfd(fds), fd->d_name, &held, 0) == 0 && held.st_dev == lock.st_dev &&
                held.st_ino == lock.st_ino) {
                live = true;
                if (holderPid != nullptr)
                    *holderPid = strtol(process->d_name, nullptr, 10);
                break;
            }
        }
        closedir(fds);
    }
    closedir(processes);
    return live ? Holder::Live : unknown ? Holder::Unknown : Holder::None;
}

// Takes the lock-folder's own advisory lock, which every process of this
// library takes while it decides on a lock file that already exists. Bounded:
// another program that keeps the folder locked makes the port count as taken.
bool LockFolder(int folderFd)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (flock(folderFd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        const timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// A lock file that no live process holds open was left by a holder that was
// killed; it is removed and created afresh. The decision is taken under the
// folder's advisory lock, so two processes of this library never both judge
// the same file stale: the second finds the first one's new file held. A
// program that only follows the file convention never removes a file it did
// not create, and it creates one only with O_EXCL, so it can at most win the
// port between the removal and the creation, and then this process loses it.
int TakeOverStaleLock(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return -1;
    int fd = -1;
    if (LockFolder(folderFd)) {
        struct stat before;
        if (lstat(path.c_str(), &before) != 0) {
            if (errno == ENOENT)  // released meanwhile
                fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        } else if (S_ISREG(before.st_mode) && FindHolder(before, name) == Holder::None) {
            struct stat now;
            if (lstat(path.c_str(), &now) == 0 && now.st_dev == before.st_dev && now.st_ino == before.st_ino &&
                unlink(path.c_str()) == 0) {
                LogLine(kLogWarning, "%s: no live process holds this lock file: taken over", path.c_str());
                fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            }
        }
        flock(folderFd, LOCK_UN);
    }
    close(folderFd);
    return fd;
}

// Creates the port's lock file, or takes over a stale one: its descriptor, or
// -1 when the port is held (or that cannot be told).
int CreateLockFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    const int taken = TakeOverStaleLock(path);
    // Whatever the look through /proc left in errno, the port is held.
    if (taken < 0)
        errno = EBUSY;
    return taken;
}

bool LockDeviceHeld(const std::string& path, int fd)
{
    memset(CurrentDevice().m_szLockFilePath, 0, sizeof(CurrentDevice().m_szLockFilePath));
    memcpy(CurrentDevice().m_szLockFilePath, path.c_str(), path.size());
    CurrentDevice().m_nLockFile = fd;
    return CurrentDevice().m_nLockFile >= 0;
}

void UnlockDeviceHeld()
{
    if (CurrentDevice().m_nLockFile == -1)
        return;
    // Removed while still open: a file nobody holds would be taken for a
    // stale one, and another process's new file removed in its place.
    unlink(CurrentDevice().m_szLockFilePath);
    close(CurrentDevice().m_nLockFile);
    CurrentDevice().m_nLockFile = -1;
    memset(CurrentDevice().m_szLockFilePath, 0, sizeof(CurrentDevice().m_szLockFilePath));
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
void OpenPortHeld(long fd, int portNumber, bool held)
{
    CurrentDevice().m_hDevice.store(fd);
    Port().openPort = portNumber;
    Port().connection = ++Port().lastConnection;
    Port().hungUp.store(false);
    Port().rxBegin = Port().rxEnd = 0;
    Port().held = held;
    if (held)
        Port().holder = pthread_self();
    Port().epollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event port = {};
    port.events = EPOLLIN;
    port.data.fd = static_cast<int>(fd);
    epoll_event wake = {};
    wake.events = EPOLLIN;
    wake.data.fd = Port().gate.wakeFd;
    // An adopted descriptor that epoll refuses is waited on with poll instead.
    if (Port().epollFd >= 0 && (epoll_ctl(Port().epollFd, EPOLL_CTL_ADD, static_cast<int>(fd), &port) != 0 ||
                           epoll_ctl(Port().epollFd, EPOLL_CTL_ADD, Port().gate.wakeFd, &wake) != 0)) {
        close(Port().epollFd);
        Port().epollFd = -1;
    }
}

void AnnouncePublished()
{
    const uint64_t one = 1;
    (void)!write(Port().gate.publishedFd, &one, sizeof(one));
}

// Closes the open port with the gate held: the port is marked gone at once,
// transfers in progress are woken and waited for, then the descriptor goes.
void ClosePortHeld(std::unique_lock<std::mutex>& lock)
{
    const long fd = CurrentDevice().m_hDevice.load();
    if (fd == -1)
        return;
    CurrentDevice().m_hDevice.store(-1);
    const uint64_t one = 1;
    (void)!write(Port().gate.wakeFd, &one, sizeof(one));
    Port().gate.idle.wait(lock, [] { return Port().gate.users == 0; });
    UnlockDeviceHeld();
    memset(CurrentDevice().m_szDevicePath, 0, sizeof(CurrentDevice().m_szDevicePath));
    close(static_cast<int>(fd));
    close(Port().epollFd);
    Port().epollFd = -1;
    Port().held = false;
    Port().rxBegin = Port().rxEnd = 0;
    uint64_t drained;
    (void)!read(Port().gate.wakeFd, &drained, sizeof(drained));
}

bool ReadIdText(const std::string& path, const char* expected, bool& known)
{
    char text[16] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        known = false;
        return false;
    }
    const ssize_t got = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (got <= 0) {
        known = false;
        return false;
    }
    StringTrim(text);
    known = true;
    return strcasecmp(text, expected) == 0;
}

// Waits up to the pause for a ttyACM node to appear in the node folder (or
// the search to be stopped); watching starts before the attempt it follows.
class NodeWatch {
public:
    NodeWatch()
    {
        std::string folder;
        {
            std::lock_guard<std::mutex> lock(s_folderMutex);
            folder = s_nodeFolder;
        }
        m_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_fd >= 0 && inotify_add_watch(m_fd, folder.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~NodeWatch()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    NodeWatch(const NodeWatch&) = delete;
    NodeWatch& operator=(const NodeWatch&) = delete;

    void Pause(uint32_t milliseconds)
    {
        const int64_t deadlineUs = MonotonicMicroseconds() + static_cast<int64_t>(milliseconds) * 1000;
        for (;;) {
            pollfd fds[2] = {{Port().gate.searchStopFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
            const int ready = poll(fds, m_fd >= 0 ? 2 : 1, RemainingMs(true, deadlineUs));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return;
            if (fds[0].revents != 0) {
                uint64_t drained;
                (void)!read(Port().gate.searchStopFd, &drained, sizeof(drained));
                return;
            }
            if (NodeAppeared())
                return;
        }
    }

private:
    bool NodeAppeared()
    {
        alignas(inotify_event) char events[4096];
        bool appeared = false;
        ssize_t got;
        while ((got = read(m_fd, events, sizeof(events))) > 0) {
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->len > 0 && strncmp(event->name, "ttyACM", 6) == 0)
                    appeared = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return appeared;
    }

    int m_fd = -1;
};

}  // namespace

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    s_nodeFolder = nodeFolder == nullptr || *nodeFolder == '\0' ? "/dev" : nodeFolder;
    s_lockFolder = lockFolder == nullptr || *lockFolder == '\0' ? "/var/lock" : lockFolder;
}

void SetSysfsRootForTesting(const char* root)
{
    std::lock_guard<std::mutex> lock(s_folderMutex);
    s_sysfsRoot = root == nullptr || *root == '\0' ? "/sys" : root;
}

void SetDeviceProbe(DeviceProbeFn probe)
{
    s_probe.store(probe);
}

void SetDeviceLossHandler(DeviceLossFn handler)
{
    s_lossHandler.store(handler);
}

int DeviceOpenPortNumber()
{
    std::lock_guard<std::mutex> lock(Port().gate.mutex);
    return CurrentDevice().m_hDevice.load() == -1 ? -1 : Port().openPort;
}

bool DeviceOpenPortMatches(int portNumber)
{
    // An adopted port has no number: no search would have found it.
    const int open = DeviceOpenPortNumber();
    return open != -1 && (portNumber == -1 || portNumber == open);
}

void AdoptDeviceHandle(long handle)
{
    std::unique_lock<std::mutex> lock(Port().gate.mutex);
    if (CurrentDevice().m_hDevice.load() == handle)
        return;
    // The previous port and its lock go first; the adopted handle is the caller's.
    ClosePortHeld(lock);
    if (handle == -1)
        return;
    OpenPortHeld(handle, -1, false);
    AnnouncePublished();
}

uint64_t DeviceConnectionNumber()
{
    std::lock_guard<std::mutex> lock(Port().gate.mutex);
    return CurrentDevice().m_hDevice.load() == -1 ? 0 : Port().connection;
}

bool DeviceCloseConnection(uint64_t connection)
{
    std::unique_lock<std::mutex> lock(Port().gate.mutex);
    if (connection == 0 || CurrentDevice().m_hDevice.load() == -1 || Port().connection != connection)
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

bool IsForeignPort(int portNumber)
{
    std::string usbDevice;
    {
        std::lock_guard<std::mutex> lock(s_folderMutex);
        usbDevice = s_sysfsRoot + "/class/tty/ttyACM" + std::to_string(portNumber) + "/device/../";
    }
    bool vendorKnown = false;
    bool productKnown = false;
    const bool vendor = ReadIdText(usbDevice + "idVendor", kVendorId, vendorKnown);
    const bool product = ReadIdText(usbDevice + "idProduct", kProductId, productKnown);
    return vendorKnown && productKnown && !(vendor && product);
}

namespace {

// A scan passes over every number: the ports that do not exist say nothing.
thread_local bool t_scanning = false;

// Only a process of another program or another library instance is named.
std::string LockHolderText(const std::string& lockPath)
{
    struct stat lock;
    const size_t slash = lockPath.rfind('/');
    const char* name = lockPath.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    long pid = 0;
    if (lstat(lockPath.c_str(), &lock) == 0 && FindHolder(lock, name, &pid) == Holder::Live && pid > 0)
        return "held by process " + std::to_string(pid) + " (" + lockPath + ")";
    return "held by another process (" + lockPath + ")";
}

}  // namespace

bool LockDevice(int portNumber)
{
    const std::string path = DeviceLockPath(portNumber);
    const int fd = path.size() < sizeof(CurrentDevice().m_szLockFilePath) ? CreateLockFile(path) : -1;
    std::lock_guard<std::mutex> lock(Port().gate.mutex);
    return LockDeviceHeld(fd >= 0 ? path : std::string(), fd);
}

bool UnlockDevice()
{
    std::lock_guard<std::mutex> lock(Port().gate.mutex);
    UnlockDeviceHeld();
    return true;
}

bool DoFindDevice(int portNumber)
{
    const DeviceProbeFn probe = s_probe.load();
    if (portNumber < 0 || probe == nullptr)
        return false;
    const std::string path = DeviceNodePath(portNumber);
    if (path.size() >= sizeof(CurrentDevice().m_szDevicePath))
        return false;
    const std::string lockPath = DeviceLockPath(portNumber);
    if (lockPath.size() >= sizeof(CurrentDevice().m_szLockFilePath))
        return false;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            if (!t_scanning)
                NoteSearchFate(path, kErrorNotFound, "does not exist");
        } else {
            NoteSearchFate(path, error == EACCES || error == EPERM ? kErrorAccess : kErrorSystem,
                           "cannot open: %s%s", strerror(error),
                           error == EACCES ? " (is the user in the port's group?)" : "");
        }
        return false;
    }
    if (DeviceIsConnected()) {
        close(fd);  // another port is already open in this process
        NoteSearchFate(path, kErrorBusy, "another port is open in this process");
        return false;
    }
    // Outside the gate: deciding on a stale lock file looks through /proc.
    const int lockFd = CreateLockFile(lockPath);
    if (lockFd < 0) {
        const int error = errno;
        close(fd);
        if (error == EACCES || error == EPERM || error == EROFS) {
            NoteSearchFate(path, kErrorAccess, "cannot create the lock file %s: %s", lockPath.c_str(),
                           strerror(error));
        } else {
            const std::string holder = LockHolderText(lockPath);
            NoteSearchFate(path, kErrorPortBusy, "busy, %s", holder.c_str());
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(Port().gate.mutex);
        if (CurrentDevice().m_hDevice.load() != -1) {
            unlink(lockPath.c_str());
            close(lockFd);
            close(fd);
            return false;
        }
        LockDeviceHeld(lockPath, lockFd);
        OpenPortHeld(fd, portNumber, true);
    }
    DeviceCancelIO();
    ConfigurePort(fd);
    ClearReason();
    if (!probe()) {
        if (ReasonCode() != kErrorNone)
            NoteSearchFate(path, kErrorNotFound, "no identity: %s", ReasonText());
        else
            NoteSearchFate(path, kErrorNotFound, "answered, but is not a Vasq9");
        // Releases the lock too, so the port is not skipped by later scans.
        DeviceClose();
        return false;
    }
    std::lock_guard<std::mutex> lock(Port().gate.mutex);
    if (CurrentDevice().m_hDevice.load() != fd)
        return false;  // closed by another thread during the probe
    memset(CurrentDevice().m_szDevicePath, 0, sizeof(CurrentDevice().m_szDevicePath));
    memcpy(CurrentDevice().m_szDevicePath, path.c_str(), path.size());
    Port().held = t_keepHeld;
    if (!Port().held)
        AnnouncePublished();
    return true;
}

bool FindDevice(int portNumber)
{
    BeginSearchAttempt();
    t_scanning = portNumber == -1;
    if (portNumber != -1) {
        const bool found = DoFindDevice(portNumber);
        EndSearchAttempt(found, "nothing found");
        return found;
    }
    for (int port = 0; port < kPortCount; ++port) {
        // Another instrument behind a USB serial port is not written to.
        if (IsForeignPort(port)) {
            NoteSearchFate(DeviceNodePath(port), kErrorNotFound, "skipped, the USB ids are another instrument's");
            continue;
        }
        if (DoFindDevice(port)) {
            EndSearchAttempt(true, "");
            return true;
        }
    }
    const std::string firstNode = DeviceNodePath(0);
    const std::string none = "no ttyACM node in " + firstNode.substr(0, firstNode.rfind('/'));
    EndSearchAttempt(false, none.c_str());
    return false;
}

bool DeviceConnect(int portNumber, int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        NodeWatch watch;
        if (FindDevice(portNumber))
            return true;
        watch.Pause(1000);
    }
    return false;
}

bool DeviceConnectHeld(int portNumber, int attempts)
{
    t_keepHeld = true;
    const bool found = DeviceConnect(portNumber, attempts);
    t_keepHeld = false;
    return found;
}

void DeviceReleaseHeld()
{
    std::lock_guard<std::mutex> lock(Port().gate.mutex);
    if (Port().held && pthread_equal(Port().holder, pthread_self())) {
        Port().held = false;
        AnnouncePublished();
    }
}

void DeviceStopSearch()
{
    const uint64_t one = 1;
    (void)!write(Port().gate.searchStopFd, &one, sizeof(one));
}

bool DeviceClose()
{
    std::unique_lock<std::mutex> lock(Port().gate.mutex);
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
    return CurrentDevice().m_hDevice.load() != -1;
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
    std::lock_guard<std::mutex> lock(Port().gate.mutex);
    return CurrentDevice().m_szDevicePath[0] != '\0' && strcmp(CurrentDevice().m_szDevicePath, path) == 0;
}

bool DeviceSetTimeoutSetting(uint32_t readMs, uint32_t writeMs)
{
    CurrentDevice().m_nDeviceReadTimeout.store(readMs);
    CurrentDevice().m_nDeviceWriteTimeout.store(writeMs);
    return true;
}

int DeviceReadData(uint8_t* buffer, int count)
{
    return ReadWithin(buffer, count, CurrentDevice().m_nDeviceReadTimeout.load());
}

int DeviceReadDataWithin(uint8_t* buffer, int count, uint32_t timeoutMs)
{
    return ReadWithin(buffer, count, timeoutMs);
}

int DeviceWriteData(const uint8_t* buffer, int count)
{
    return WriteWithin(buffer, count, CurrentDevice().m_nDeviceWriteTimeout.load());
}

int DeviceReadAvailable(uint8_t* buffer, int capacity)
{
    PortUse port;
    if (!port.valid())
        return -1;
    if (Port().rxBegin == Port().rxEnd) {
        // An adopted descriptor may be a blocking one: read only what is there.
        pollfd ready = {port.fd(), POLLIN, 0};
        if (poll(&ready, 1, 0) < 0)
            return 0;
        if (ready.revents == 0)
            return 0;
        if (FillBuffer(port, (ready.revents & POLLIN) != 0) < 0)
            return -1;
    }
    return static_cast<int>(TakeBuffered(buffer, static_cast<size_t>(capacity)));
}

bool DeviceHasBufferedInput()
{
    PortUse port;
    return port.valid() && Port().rxBegin != Port().rxEnd;
}

bool DevicePortFailed()
{
    return Port().hungUp.load();
}

HangUpWait DeviceWaitForHangUp(uint32_t milliseconds, int stopFd)
{
    const int64_t deadlineUs = MonotonicMicroseconds() + static_cast<int64_t>(milliseconds) * 1000;
    PortUse port;
    for (;;) {
        if (port.valid() && Port().hungUp.load())
            return HangUpWait::HungUp;
        // Events 0: only a hang-up or an error is reported, input is left alone.
        // Without a port the wait ends when one is published.
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {port.valid() ? Port().gate.wakeFd : Port().gate.publishedFd, POLLIN, 0},
                         {port.fd(), 0, 0}};
        const int ready = poll(fds, port.valid() ? 3 : 2, RemainingMs(true, deadlineUs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return HangUpWait::TimedOut;
        if (ready < 0 || fds[0].revents != 0)
            return HangUpWait::Stopped;
        if (!port.valid()) {
            uint64_t drained;
            (void)!read(Port().gate.publishedFd, &drained, sizeof(drained));
            return HangUpWait::Changed;
        }
        if (fds[1].revents != 0 || (fds[2].revents & POLLNVAL) != 0)
            return HangUpWait::Changed;
        if ((fds[2].revents & (POLLHUP | POLLERR)) != 0) {
            MarkHungUp();
            return HangUpWait::HungUp;
        }
    }
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
