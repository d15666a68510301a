#pragma once

// The transport: what each platform back end (src/linux, src/windows)
// implements and the layers above call. Every function that works for an
// instrument takes it as its first argument; the rest are process-wide. The
// forms without a device, at the end, are release 1.0's exported service
// functions and work on the default device.
//
// "The API lock" is the instrument's m_APICriticalSection, which no function
// here takes; "the gate" is the back end's own lock of the port (a mutex on
// Linux, a slim reader-writer lock on Windows), taken inside and never held
// on return. Functions marked Linux have no Windows form: their callers are
// built for Linux only.
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

// Creates the port's lock file (Linux; replacing the one the device held):
// true when the device holds one now, false when the port is held elsewhere.
// UnlockDevice gives it back and returns true. On Windows both return true:
// a COM port opened without sharing keeps every other opener out. Called by
// the 1.0 service forms only, without the API lock; the gate inside.
bool LockDevice(Device& device, int portNumber);
bool UnlockDevice(Device& device);
// Opens (on Linux also locks) and probes one port: true when the device is open on it,
// false (the port's fate noted for the search) otherwise or for a negative
// number. Called by the Linux search for each port, and by the 1.0 service
// form; without the API lock, the gate taken inside around the publishing.
bool DoFindDevice(Device& device, int portNumber);
// One search attempt with its outcome recorded (device/Search.cpp): true when
// the device is open. Called by DeviceConnect, the 1.0 service form and tests.
bool FindDevice(Device& device, int portNumber);
// Up to `attempts` search attempts with a pause between them: true when the
// device is open. Called by DeviceConnectHeld, the 1.0 service form and tests.
bool DeviceConnect(Device& device, int portNumber, int attempts);
// Closes the open port, if any, and (Linux) its lock file: the gate is taken inside
// and the close waits for transfers in progress to let go. Called by the
// connection thread after a release, at unload, by the search (a port whose
// probe failed; on Windows before each listing), the 1.0 service form and
// tests; without the API lock. Always true.
bool DeviceClose(Device& device);
// Whether the open port is still listed by the system (device nodes on
// Linux, USB interfaces on Windows); false without a port or a listing.
// Called by the connection thread while connected, without the API lock, and
// by the 1.0 service form.
bool DeviceIsAlive(Device& device);
// Whether a port is open, held or not; lock-free. Called by the packet
// layer's exchanges, by the failure report of any exported function, by the
// Linux search and by the 1.0 service form.
bool DeviceIsConnected(Device& device);
// Linux, release 1.0's export: no transfer is asynchronous, so always true.
// Called by the search after opening a port.
VASQ_EXPORT bool DeviceCancelIO();
// Three signatures stay as release 1.0 exported them, a const or a type more
// precise than the forms described elsewhere (DeviceCheckPath and
// DeviceWriteData take const data; DeleteTimer takes the timer's own type):
// the exported names are what programs linked against 1.0 call.
//
// Whether the path is the open port's; false for null. The gate inside.
// Called through FindOpenPort (the Linux presence watch, DeviceIsAlive), by
// the 1.0 service form and tests.
bool DeviceCheckPath(Device& device, const char* path);
// Sets the time-outs of DeviceReadData and DeviceWriteData; lock-free, always
// true. Called by the 1.0 service form and tests.
bool DeviceSetTimeoutSetting(Device& device, uint32_t readMs, uint32_t writeMs);
// Reads count bytes within the read time-out: count, or 0 when the port is
// closed, held by another thread, fails or the time runs out (on Linux also
// when part had come; Windows returns the part). Called by the 1.0 service
// form and tests; the gate held as a user for the transfer.
int DeviceReadData(Device& device, uint8_t* buffer, int count);
// Writes within the write time-out: count; the part written when the port
// fails, or (Windows) the time runs out, midway; 0 without a usable port or
// (Linux) on a time-out.
// Called by SendPacket (exchanges run under the API lock, except a search's
// probe, whose port is the searching thread's alone), the 1.0 service form
// and tests; the gate held as a user for the transfer.
int DeviceWriteData(Device& device, const uint8_t* buffer, int count);
// Linux, release 1.0's exports: remove white space in place. Called on
// listed node paths and on USB ids read from sysfs.
VASQ_EXPORT void StringTrimRight(char* text);
VASQ_EXPORT void StringTrimLeft(char* text);
VASQ_EXPORT void StringTrim(char* text);

// Reads what has already arrived, without waiting: the number of bytes read,
// 0 when nothing is pending, -1 when no port is open or the port failed.
// Called by the packet layer before a request, to drain late answers, and by
// tests; like DeviceWriteData for the locks.
int DeviceReadAvailable(Device& device, uint8_t* buffer, int capacity);
// Whether bytes read ahead from the port wait to be taken (Linux; Windows
// reads nothing ahead and says false). Called by SendPacket.
bool DeviceHasBufferedInput(Device& device);
// True once the open port has hung up (the system reported it, or a read
// found a readable port empty); such a port counts as gone. Lock-free; false
// again once a new port opens. Called by the connection thread, the presence
// watch, the packet layer and the protocol's block transfers.
bool DevicePortFailed(Device& device);

enum class HangUpWait { TimedOut, HungUp, Changed };

// Linux. Holds the device's open port for a watch that
// waits on several devices in one poll: while held, the descriptor stays this
// port's. The hold must end before anything closes the port on the same
// thread. Made and used by the presence watch only, without the API lock.
class PortWatch {
public:
    // Registers as a user of the port under the gate, which a close waits for.
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
// port holds the device, and what to do when the open port is lost. Set once
// by the interface's layer as the library loads (tests set their own). The
// probe runs on the searching thread, which holds the port, without the API
// lock. The loss handler runs on whichever thread first sees the loss, maybe
// inside a transfer with the gate held: it may only signal.
using DeviceProbeFn = bool (*)(Device& device);
using DeviceLossFn = void (*)(Device& device);
void SetDeviceProbe(DeviceProbeFn probe);
void SetDeviceLossHandler(DeviceLossFn handler);

// One search attempt over the ports the system lists (the port given, or
// every one for -1), written by each transport; true when the device is open.
// Called by FindDevice (and the Windows DoFindDevice) on the searching thread.
bool FindInListing(Device& device, int portNumber);
// What an attempt that found nothing says when no port noted a fate of its
// own. Called by FindDevice.
std::string NothingFoundText(int portNumber);
// Whether the port a search opens stays the searching thread's until
// DeviceReleaseHeld. Defined by device/Search.cpp for the back ends, which
// ask it on the searching thread once a probe has succeeded.
bool KeepHeldAfterSearch();

// The pause between two search attempts. It starts watching for new ports
// when it is made, before the attempt; Wait ends early when one appears or
// the search is stopped. Used by DeviceConnect on the searching thread.
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
// with it before it has been identified and announced. Defined by
// device/Search.cpp; called by the connection thread without the API lock.
bool DeviceConnectHeld(Device& device, int portNumber, int attempts);
// Makes the port the calling thread holds usable by every thread; nothing
// when it holds none. Called by the connection thread under the API lock once
// the device is announced; the gate inside.
void DeviceReleaseHeld(Device& device);
// Ends the pause between search attempts at once. Called when the connection
// thread is stopped (after the API lock is let go) and, on Windows, for every
// device when the system broadcasts a device change.
void DeviceStopSearch(Device& device);
// Linux: whether the system publishes USB ids for the node and they are not
// the device's (unreadable ids: false). Called by the search for each port.
bool IsForeignPort(int portNumber);
// Linux: points the sysfs root elsewhere (tests); null or empty restores /sys.
VASQ_EXPORT void SetSysfsRootForTesting(const char* root);
// DeviceReadData with its own time limit instead of the global one; returns
// as DeviceReadData. Called by the packet layer to read frames (exchanges and
// a search's probe).
int DeviceReadDataWithin(Device& device, uint8_t* buffer, int count, uint32_t timeoutMs);

// Linux: the device nodes present now, as full paths; false if they cannot be
// listed. Called by the presence watch, once for all devices due.
bool ListDeviceNodes(std::vector<std::string>& paths);

enum class Listing { Failed, WithoutPort, WithPort };
// Linux: one listing of the device nodes, checked for the open port's path.
// Called by DeviceIsAlive.
Listing ListOpenPort(Device& device);
// Linux: the same check on a listing already made. Called by the presence
// watch; the gate inside.
Listing FindOpenPort(Device& device, const std::vector<std::string>& paths);

// Linux: points the node and lock-file folders elsewhere (tests, benchmarks,
// the simulator's demo), before any search; null or empty restores /dev and
// /var/lock.
VASQ_EXPORT void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);
// Each opening of a port is a connection with a number of its own; 0 when no
// port is open. A watcher closes only the connection it watched, never one
// opened after it decided that its own was gone. Read by the connection
// thread, the presence watch and the packet layer, with or without the API
// lock (under the gate on Linux; lock-free on Windows).
uint64_t DeviceConnectionNumber(Device& device);
// Closes the port if it is still that connection: true when it closed it,
// false when it was gone or replaced. Called by the connection thread and the
// presence watch, without the API lock; the gate inside.
bool DeviceCloseConnection(Device& device, uint64_t connection);
// The port number of the open port, -1 when none, when the port was adopted
// (Linux) or has no COM number (Windows). Called by the connection thread
// under the API lock and by VasqDeviceGetPortNumber without it.
int DeviceOpenPortNumber(Device& device);
// Whether the open port answers a search for the port number (-1: any port
// the search may find). Called by VasqConnect's wait under the API lock.
bool DeviceOpenPortMatches(Device& device, int portNumber);
// Linux: makes the descriptor the open port as it is: no configuration, no
// lock file. A port opened before, and its lock, are released first; -1 only
// closes. Called by VasqSetDeviceHandle under the API lock, and the fuzzer.
void AdoptDeviceHandle(Device& device, long handle);
// How a port number is named: its node path on Linux, COMn on Windows. Called
// by the connection's log lines and failure texts and by the Linux search.
std::string DeviceNodePath(int portNumber);
// The name of the port the device holds: as DeviceNodePath names its number;
// on Windows a port without a COM number by its interface path. Called by the
// connection's log line, under the API lock.
std::string DeviceOpenPortName(Device& device);
// Linux: the lock file of a port number. Called by LockDevice and the search.
std::string DeviceLockPath(int portNumber);

// The service functions of release 1.0 under their exported names: each works
// on the default device, for programs linked against 1.0 and tests; none
// takes the API lock.
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
