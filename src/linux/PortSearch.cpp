// The search for a Vasq9 among the ttyACM nodes: each port is opened, locked
// and probed in turn, and the pause between attempts ends when a node appears.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/inotify.h>

#include "device/Device.h"
#include "device/SearchOutcome.h"
#include "linux/PortState.h"
#include "platform/Diagnostics.h"

namespace {

std::atomic<DeviceProbeFn> s_probe{nullptr};
// A scan passes over every number: the ports that do not exist say nothing.
thread_local bool t_scanning = false;

}  // namespace

void SetDeviceProbe(DeviceProbeFn probe)
{
    s_probe.store(probe);
}

bool DoFindDevice(Device& device, int portNumber)
{
    const DeviceProbeFn probe = s_probe.load();
    if (portNumber < 0 || probe == nullptr)
        return false;
    const std::string path = DeviceNodePath(portNumber);
    if (path.size() >= sizeof(device.m_szDevicePath))
        return false;
    const std::string lockPath = DeviceLockPath(portNumber);
    if (lockPath.size() >= sizeof(device.m_szLockFilePath))
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
    // One device holds one port: a search never replaces an open (or
    // adopted) port, so a handle adopted during a search keeps the device.
    if (DeviceIsConnected(device)) {
        close(fd);
        NoteSearchFate(path, kErrorBusy, "another port is open in this process");
        return false;
    }
    // Outside the gate: deciding on a stale lock file looks through /proc.
    bool heldHere = false;
    const int lockFd = CreateLockFile(lockPath, &heldHere);
    if (lockFd < 0) {
        const int error = errno;
        close(fd);
        if (error == EACCES || error == EPERM || error == EROFS) {
            NoteSearchFate(path, kErrorAccess, "cannot create the lock file %s: %s", lockPath.c_str(),
                           strerror(error));
        } else {
            const std::string holder = LockHolderText(lockPath, heldHere);
            NoteSearchFate(path, kErrorPortBusy, "busy, %s", holder.c_str());
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
        if (device.m_hDevice.load() != -1) {
            ReleaseLockFile(lockPath, lockFd);
            close(fd);
            return false;
        }
        LockDeviceHeld(device, lockPath, lockFd);
        OpenPortHeld(device, fd, portNumber, true);
    }
    DeviceCancelIO();
    ConfigurePort(fd);
    ClearReason();
    if (!probe(device)) {
        if (ReasonCode() != kErrorNone)
            NoteSearchFate(path, kErrorNotFound, "no identity: %s", ReasonText());
        else
            NoteSearchFate(path, kErrorNotFound, "answered, but is not a Vasq9");
        // Releases the lock too, so the port is not skipped by later scans.
        DeviceClose(device);
        return false;
    }
    std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
    if (device.m_hDevice.load() != fd)
        return false;  // closed by another thread during the probe
    memset(device.m_szDevicePath, 0, sizeof(device.m_szDevicePath));
    memcpy(device.m_szDevicePath, path.c_str(), path.size());
    device.m_logSubject.SetPort(path.c_str() + path.rfind('/') + 1);
    device.Transport().held = KeepHeldAfterSearch();
    if (!device.Transport().held)
        AnnouncePublished(device);
    return true;
}

bool FindInListing(Device& device, int portNumber)
{
    t_scanning = portNumber == -1;
    if (portNumber != -1)
        return DoFindDevice(device, portNumber);
    for (int port = 0; port < kPortCount; ++port) {
        // Another instrument behind a USB serial port is not written to.
        if (IsForeignPort(port)) {
            NoteSearchFate(DeviceNodePath(port), kErrorNotFound, "skipped, the USB ids are another instrument's");
            continue;
        }
        if (DoFindDevice(device, port))
            return true;
    }
    return false;
}

std::string NothingFoundText(int portNumber)
{
    if (portNumber != -1)
        return "nothing found";
    const std::string firstNode = DeviceNodePath(0);
    return "no ttyACM node in " + firstNode.substr(0, firstNode.rfind('/'));
}

// Waits up to the pause for a ttyACM node to appear in the node folder (or
// the search to be stopped); watching starts before the attempt it follows.
// The pause between search attempts watches the node folder from before the
// attempt, so a node that appears during it ends the pause at once.
SearchPause::SearchPause(Device& device) : m_device(device)
{
    const std::string folder = NodeFolder();
    m_watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_watch >= 0 && inotify_add_watch(static_cast<int>(m_watch), folder.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
        close(static_cast<int>(m_watch));
        m_watch = -1;
    }
}

SearchPause::~SearchPause()
{
    if (m_watch >= 0)
        close(static_cast<int>(m_watch));
}

namespace {

bool NodeAppeared(int watch)
{
    alignas(inotify_event) char events[4096];
    bool appeared = false;
    ssize_t got;
    while ((got = read(watch, events, sizeof(events))) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if (event->len > 0 && strncmp(event->name, "ttyACM", 6) == 0)
                appeared = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return appeared;
}

}  // namespace

void SearchPause::Wait(uint32_t milliseconds)
{
    const int watch = static_cast<int>(m_watch);
    const int64_t deadlineUs = MonotonicMicroseconds() + static_cast<int64_t>(milliseconds) * 1000;
    for (;;) {
        pollfd fds[2] = {{m_device.Transport().gate.searchStopFd, POLLIN, 0}, {watch, POLLIN, 0}};
        const int ready = poll(fds, watch >= 0 ? 2 : 1, RemainingMs(true, deadlineUs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        if (fds[0].revents != 0) {
            uint64_t drained;
            (void)!read(m_device.Transport().gate.searchStopFd, &drained, sizeof(drained));
            return;
        }
        if (NodeAppeared(watch))
            return;
    }
}
