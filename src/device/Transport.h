#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/Export.h"

class Device;
struct TransportState;

constexpr int kPortCount = 128;

// The back end's state of a new device: made and freed by the Device
// constructor and destructor only.
TransportState* NewTransportState();
void DeleteTransportState(TransportState* state);

bool LockDevice(Device& device, int portNumber);
bool UnlockDevice(Device& device);
bool DoFindDevice(Device& device, int portNumber);
bool FindDevice(Device& device, int portNumber);
bool DeviceConnect(Device& device, int portNumber, int attempts);
bool DeviceClose(Device& device);
bool DeviceIsAlive(Device& device);
bool DeviceIsConnected(Device& device);
VASQ_EXPORT bool DeviceCancelIO();
// Three signatures stay as release 1.0 exported them, a const or a type more
// precise than the forms described elsewhere (DeviceCheckPath and
// DeviceWriteData take const data; DeleteTimer takes the timer's own type):
// the exported names are what programs linked against 1.0 call.
bool DeviceCheckPath(Device& device, const char* path);
bool DeviceSetTimeoutSetting(Device& device, uint32_t readMs, uint32_t writeMs);
int DeviceReadData(Device& device, uint8_t* buffer, int count);
int DeviceWriteData(Device& device, const uint8_t* buffer, int count);
VASQ_EXPORT void StringTrimRight(char* text);
VASQ_EXPORT void StringTrimLeft(char* text);
VASQ_EXPORT void StringTrim(char* text);

// Reads what has already arrived, without waiting: the number of bytes read,
// 0 when nothing is pending, -1 when no port is open or the port failed.
int DeviceReadAvailable(Device& device, uint8_t* buffer, int capacity);
// Whether bytes read ahead from the port wait to be taken.
bool DeviceHasBufferedInput(Device& device);
// True once the open port has hung up (the system reported it, or a read
// found a readable port empty); such a port counts as gone.
bool DevicePortFailed(Device& device);

enum class HangUpWait { TimedOut, HungUp, Changed };

// Holds the calling thread's device's open port for a watch that waits on
// several devices in one poll: while held, the descriptor stays this port's.
// The hold must end before anything closes the port on the same thread.
class PortWatch {
public:
    explicit PortWatch(Device& device);
    ~PortWatch();
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    // The descriptors to wait on (the gate's wake-up, and the port for its
    // hang-up); returns how many of the two were filled.
    int Fill(struct pollfd* fds) const;
    // After the wait on what Fill gave: HungUp (marked on the port), Changed
    // (the port is being closed, or one was published), or TimedOut (nothing).
    HangUpWait Result(const struct pollfd* fds);

private:
    Device& m_device;
    void* m_use;
};

// What the layers above hand down: the identity check that decides whether a
// port holds the device, and what to do when the open port is lost.
using DeviceProbeFn = bool (*)(Device& device);
using DeviceLossFn = void (*)(Device& device);
void SetDeviceProbe(DeviceProbeFn probe);
void SetDeviceLossHandler(DeviceLossFn handler);

// One search attempt over the ports the system lists (the port given, or
// every one for -1), written by each transport; true when the device is open.
bool FindInListing(Device& device, int portNumber);
// What an attempt that found nothing says when no port noted a fate of its own.
std::string NothingFoundText(int portNumber);
// Whether the port a search opens stays the searching thread's until DeviceReleaseHeld.
bool KeepHeldAfterSearch();

// The pause between two search attempts. It starts watching for new ports
// when it is made, before the attempt; Wait ends early when one appears or
// the search is stopped.
class SearchPause {
public:
    explicit SearchPause(Device& device);
    ~SearchPause();
    SearchPause(const SearchPause&) = delete;
    SearchPause& operator=(const SearchPause&) = delete;
    void Wait(uint32_t milliseconds);

private:
    Device& m_device;
    long m_watch = -1;
};

// DeviceConnect for the connection thread: a port found stays usable by the
// calling thread only until DeviceReleaseHeld, so that nothing else exchanges
// with it before it has been identified and announced.
bool DeviceConnectHeld(Device& device, int portNumber, int attempts);
void DeviceReleaseHeld(Device& device);
// Ends the pause between search attempts at once.
void DeviceStopSearch(Device& device);
// Whether the system publishes USB ids for the node and they are not the device's.
bool IsForeignPort(int portNumber);
// Points the sysfs root elsewhere (tests); null or empty restores /sys.
VASQ_EXPORT void SetSysfsRootForTesting(const char* root);
// DeviceReadData with its own time limit instead of the global one.
int DeviceReadDataWithin(Device& device, uint8_t* buffer, int count, uint32_t timeoutMs);

// The device nodes present now, as full paths; false if they cannot be listed.
bool ListDeviceNodes(std::vector<std::string>& paths);

enum class Listing { Failed, WithoutPort, WithPort };
// One listing of the device nodes, checked for the open port's path.
Listing ListOpenPort(Device& device);
// The same check on a listing already made.
Listing FindOpenPort(Device& device, const std::vector<std::string>& paths);

// Points the node and lock-file folders elsewhere (tests, the simulator's
// demo); null or empty restores /dev and /var/lock.
VASQ_EXPORT void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);
// Each opening of a port is a connection with a number of its own; 0 when no
// port is open. A watcher closes only the connection it watched, never one
// opened after it decided that its own was gone.
uint64_t DeviceConnectionNumber(Device& device);
bool DeviceCloseConnection(Device& device, uint64_t connection);
// The port number of the open port, -1 when none or when the port was adopted.
int DeviceOpenPortNumber(Device& device);
// Whether the open port answers a search for the port number (-1: any port
// the search may find).
bool DeviceOpenPortMatches(Device& device, int portNumber);
// Makes the descriptor the open port as it is: no configuration, no lock file.
// A port opened before, and its lock, are released first.
void AdoptDeviceHandle(Device& device, long handle);
std::string DeviceNodePath(int portNumber);
std::string DeviceLockPath(int portNumber);

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT bool LockDevice(int portNumber);
VASQ_EXPORT bool UnlockDevice();
VASQ_EXPORT bool DoFindDevice(int portNumber);
VASQ_EXPORT bool FindDevice(int portNumber);
VASQ_EXPORT bool DeviceConnect(int portNumber, int attempts);
VASQ_EXPORT bool DeviceClose();
VASQ_EXPORT bool DeviceIsAlive();
VASQ_EXPORT bool DeviceIsConnected();
VASQ_EXPORT bool DeviceCheckPath(const char* path);
VASQ_EXPORT bool DeviceSetTimeoutSetting(uint32_t readMs, uint32_t writeMs);
VASQ_EXPORT int DeviceReadData(uint8_t* buffer, int count);
VASQ_EXPORT int DeviceWriteData(const uint8_t* buffer, int count);
