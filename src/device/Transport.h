#pragma once

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/Export.h"

// The open port's descriptor, -1 when no port is open. Atomic because the
// monitor and the connection thread close the port without the API lock.
extern std::atomic<long> g_hDevice;
extern char g_szDevicePath[512];
extern int g_nLockFile;
extern char g_szLockFilePath[128];
extern std::atomic<uint32_t> g_nDeviceReadTimeout;
extern std::atomic<uint32_t> g_nDeviceWriteTimeout;

constexpr int kPortCount = 128;

VASQ_EXPORT bool LockDevice(int portNumber);
VASQ_EXPORT bool UnlockDevice();
VASQ_EXPORT bool DoFindDevice(int portNumber);
VASQ_EXPORT bool FindDevice(int portNumber);
VASQ_EXPORT bool DeviceConnect(int portNumber, int attempts);
VASQ_EXPORT bool DeviceClose();
VASQ_EXPORT bool DeviceIsAlive();
VASQ_EXPORT bool DeviceIsConnected();
VASQ_EXPORT bool DeviceCancelIO();
VASQ_EXPORT bool DeviceCheckPath(const char* path);
VASQ_EXPORT bool DeviceSetTimeoutSetting(uint32_t readMs, uint32_t writeMs);
VASQ_EXPORT int DeviceReadData(uint8_t* buffer, int count);
VASQ_EXPORT int DeviceWriteData(const uint8_t* buffer, int count);
VASQ_EXPORT void StringTrimRight(char* text);
VASQ_EXPORT void StringTrimLeft(char* text);
VASQ_EXPORT void StringTrim(char* text);

// Reads what has already arrived, without waiting: the number of bytes read,
// 0 when nothing is pending, -1 when no port is open or the port failed.
int DeviceReadAvailable(uint8_t* buffer, int capacity);
// True once a transfer on the open port has met a hang-up or an error other
// than a timeout; a port that failed this way answers every later read at once.
bool DevicePortFailed();
// DeviceReadData with its own time limit instead of the global one.
int DeviceReadDataWithin(uint8_t* buffer, int count, uint32_t timeoutMs);

// The device nodes present now, as full paths; false if they cannot be listed.
bool ListDeviceNodes(std::vector<std::string>& paths);

enum class Listing { Failed, WithoutPort, WithPort };
// One listing of the device nodes, checked for the open port's path.
Listing ListOpenPort();

// Points the node and lock-file folders elsewhere (tests, the simulator's
// demo); null or empty restores /dev and /var/lock.
VASQ_EXPORT void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);
// Each opening of a port is a connection with a number of its own; 0 when no
// port is open. A watcher closes only the connection it watched, never one
// opened after it decided that its own was gone.
uint64_t DeviceConnectionNumber();
bool DeviceCloseConnection(uint64_t connection);
// The port number of the open port, -1 when none or when the port was adopted.
int DeviceOpenPortNumber();
// Makes the descriptor the open port as it is: no configuration, no lock file.
void AdoptDeviceHandle(long handle);
std::string DeviceNodePath(int portNumber);
std::string DeviceLockPath(int portNumber);
