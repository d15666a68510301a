// Lock files: the convention every program that uses a serial port follows,
// and the takeover of a file that a killed holder left.
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>

#include "device/Device.h"
#include "linux/PortState.h"
#include "platform/Diagnostics.h"
#include "platform/InitOrder.h"

namespace {

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

// The lock files this process holds, each by one device: a second device of
// the process is refused here, whatever the lock folder lets through.
struct Claims {
    std::mutex mutex;
    std::set<std::string> paths;
};
// Outlives every device, which releases its lock file when it ends.
Claims s_claims VASQ_INIT_PLATFORM_CORE;
Claims& HeldHere()
{
    return s_claims;
}

bool Claim(const std::string& path)
{
    std::lock_guard<std::mutex> lock(HeldHere().mutex);
    return HeldHere().paths.insert(path).second;
}

void Unclaim(const std::string& path)
{
    std::lock_guard<std::mutex> lock(HeldHere().mutex);
    HeldHere().paths.erase(path);
}

// A lock file that no live process holds open was left by a holder that was
// killed; it is removed and created afresh. The folder's advisory lock is held
// then, and also while this library creates a lock file: between its creation
// and the moment its descriptor shows in /proc, a new file has no visible
// holder, so it must not be judged then. Two processes of this library never
// both judge the same file stale: the second finds the first one's new file
// held. A program that only follows the file convention never removes a file
// it did not create, and it creates one only with O_EXCL, so it can at most
// win the port between the removal and the creation, and then this process
// loses it.
int CreateInFolder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Without the folder's lock a new file is still safe from this library's
    // takers, which judge nothing without it.
    const bool locked = folderFd >= 0 && LockFolder(folderFd);
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST && locked) {
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
        // Whatever the look through /proc left in errno, the port is held.
        if (fd < 0)
            errno = EBUSY;
    }
    const int error = errno;
    if (locked)
        flock(folderFd, LOCK_UN);
    if (folderFd >= 0)
        close(folderFd);
    errno = error;
    return fd;
}

}  // namespace

// Creates the port's lock file, or takes over a stale one: its descriptor, or
// -1 when the port is held (or that cannot be told).
int CreateLockFile(const std::string& path, bool* heldHere)
{
    if (heldHere != nullptr)
        *heldHere = false;
    if (!Claim(path)) {
        if (heldHere != nullptr)
            *heldHere = true;
        errno = EBUSY;
        return -1;
    }
    const int fd = CreateInFolder(path);
    if (fd < 0) {
        const int error = errno;
        Unclaim(path);
        errno = error;
    }
    return fd;
}

void ReleaseLockFile(const std::string& path, int fd)
{
    // Removed while still open: a file nobody holds would be taken for a
    // stale one, and another process's new file removed in its place. Only
    // the file this descriptor holds is removed: should someone have replaced
    // it, the new file is its creator's.
    struct stat held, named;
    if (fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino)
        unlink(path.c_str());
    close(fd);
    Unclaim(path);
}

bool LockDeviceHeld(Device& device, const std::string& path, int fd)
{
    memset(device.m_szLockFilePath, 0, sizeof(device.m_szLockFilePath));
    memcpy(device.m_szLockFilePath, path.c_str(), path.size());
    device.m_nLockFile = fd;
    return device.m_nLockFile >= 0;
}

void UnlockDeviceHeld(Device& device)
{
    if (device.m_nLockFile == -1)
        return;
    ReleaseLockFile(device.m_szLockFilePath, device.m_nLockFile);
    device.m_nLockFile = -1;
    memset(device.m_szLockFilePath, 0, sizeof(device.m_szLockFilePath));
}

std::string LockHolderText(const std::string& lockPath, bool heldHere)
{
    if (heldHere)
        return "held by another device of this process (" + lockPath + ")";
    struct stat lock;
    const size_t slash = lockPath.rfind('/');
    const char* name = lockPath.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    long pid = 0;
    if (lstat(lockPath.c_str(), &lock) == 0 && FindHolder(lock, name, &pid) == Holder::Live && pid > 0)
        return "held by process " + std::to_string(pid) + " (" + (pid == getpid() ? "this" : "another") +
               " process; " + lockPath + ")";
    return "held by another process (" + lockPath + ")";
}

bool LockDevice(Device& device, int portNumber)
{
    const std::string path = DeviceLockPath(portNumber);
    const int fd = path.size() < sizeof(device.m_szLockFilePath) ? CreateLockFile(path) : -1;
    std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
    // The file already held is released first: one device holds one lock file.
    UnlockDeviceHeld(device);
    return LockDeviceHeld(device, fd >= 0 ? path : std::string(), fd);
}

bool UnlockDevice(Device& device)
{
    std::lock_guard<std::mutex> lock(device.Transport().gate.mutex);
    UnlockDeviceHeld(device);
    return true;
}
