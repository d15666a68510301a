#pragma once

// What the files of the Linux transport share: a device's open port and the
// gate that guards it, and the steps that open, publish and close it.
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "device/Transport.h"

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

TransportState& Port();

int64_t MonotonicMicroseconds();
// The milliseconds left until the deadline, for poll: -1 without a limit.
int RemainingMs(bool limited, int64_t deadlineUs);

// Makes fd the open port, with the gate held: a fresh connection number, an
// empty receive buffer, and the wait set.
void OpenPortHeld(Device& device, long fd, int portNumber, bool held);
// Wakes a watch that began without a port: one has become usable by every thread.
void AnnouncePublished(Device& device);
// Closes the open port with the gate held: the port is marked gone at once,
// transfers in progress are woken and waited for, then the descriptor goes.
void ClosePortHeld(Device& device, std::unique_lock<std::mutex>& lock);
// The line settings the device needs, whatever another program left.
void ConfigurePort(int fd);

// Creates the port's lock file, or takes over a stale one: its descriptor, or
// -1 when the port is held (or that cannot be told); heldHere tells whether
// another device of this process holds it.
int CreateLockFile(const std::string& path, bool* heldHere = nullptr);
// Removes and closes a lock file that CreateLockFile gave.
void ReleaseLockFile(const std::string& path, int fd);
// With the gate held: the lock file becomes the open port's (or none, fd -1).
bool LockDeviceHeld(Device& device, const std::string& path, int fd);
void UnlockDeviceHeld(Device& device);
// Who holds a lock file, for the reason a search gives.
std::string LockHolderText(const std::string& lockPath, bool heldHere);

// The folder of the device nodes, and the sysfs root where their USB ids are read.
std::string NodeFolder();
std::string SysfsRoot();
