// The Windows transport: a Vasq9 found among the USB device interfaces and
// driven through its COM port with the communication time-outs.
#include "windows/ComTransport.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "device/Device.h"
#include "device/SearchOutcome.h"
#include "device/Transport.h"
#include "platform/Diagnostics.h"
#include "platform/Event.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"

// A device's open handle is -1 (INVALID_HANDLE_VALUE) when none is open.
// System handles keep their value in 32 bits, so a long holds one.
struct TransportState {
    // Transfers hold it shared, a close holds it alone: the monitor side
    // closes the port without the API lock, and no transfer may use a closed
    // (or reused) handle.
    SRWLOCK gate = SRWLOCK_INIT;
    std::atomic<int> openPort{-1};
    // Each opening is a connection with a number of its own (0: none open), so
    // a watcher closes only the connection it watched. Changed with the gate
    // held alone.
    std::atomic<uint64_t> connection{0};
    uint64_t lastConnection = 0;
    std::atomic<bool> portFailed{false};
    // While a port is probed and announced, only the thread that opened it
    // may use it: no application call exchanges with a port that is not yet
    // identified. Changed with the gate held alone.
    bool held = false;
    DWORD holder = 0;
    // Ends the pause between two search attempts.
    CAutoResetEvent searchStop{false};
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

const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const char kDeviceMatch[] = "vid_04d8&pid_0000";
constexpr uint32_t kReadTimeoutMs = 1000;
constexpr uint32_t kWriteTimeoutMs = 2000;
constexpr DWORD kQueueSize = 4096;

std::atomic<DeviceProbeFn> s_probe{nullptr};
std::atomic<DeviceLossFn> s_lossHandler{nullptr};

// Whether a failed transfer's error says that the device is gone. Any other
// failure fails only that transfer; the presence check after the system's
// device-change broadcast decides whether the device is still there.
bool IsRemovalError(DWORD error)
{
    switch (error) {
    // The device is being deleted: our exclusive read-write handle is otherwise never refused.
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:  // a USB serial driver whose device was pulled out
    case ERROR_NOT_READY:    // the device is not connected; a hung-up port gives it too
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BROKEN_PIPE:  // the other end of the handle went away
    case ERROR_PIPE_NOT_CONNECTED:
        return true;
    default:
        // ERROR_OPERATION_ABORTED also ends a transfer that our own close or
        // cancel stopped; when a removal aborted it, the next transfer and the
        // broadcast tell. ERROR_GEN_FAILURE also comes from a passing USB fault.
        return false;
    }
}

// The system's text for the error, on one line, with its number.
void SystemText(DWORD error, char* out, size_t size)
{
    char text[kReasonSize] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof(text), nullptr);
    size_t end = strnlen(text, length);
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '.'))
        --end;
    text[end] = '\0';
    snprintf(out, size, "%s (error %lu)", end == 0 ? "unknown error" : text, static_cast<unsigned long>(error));
}

// How a port is named to people: its COM number, or its interface path when it has none.
std::string PortName(const char* path, int comNumber)
{
    return comNumber >= 0 ? "COM" + std::to_string(comNumber) : std::string(path);
}

// A COM port is opened without sharing, so another program's handle on it
// makes the system deny access or report a sharing violation.
void NoteOpenFailure(const std::string& port, DWORD error)
{
    char text[kReasonSize];
    SystemText(error, text, sizeof(text));
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        NoteSearchFate(port, kErrorPortBusy, "cannot open, in use by another program: %s", text);
        break;
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_ACCESS_DISABLED_BY_POLICY:
        NoteSearchFate(port, kErrorAccess, "cannot open, access denied: %s", text);
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
        NoteSearchFate(port, kErrorNotFound, "cannot open, gone since it was listed: %s", text);
        break;
    default:
        NoteSearchFate(port, kErrorSystem, "cannot open: %s", text);
        break;
    }
}

// A removed port is gone: the connection thread is told at once.
void MarkPortFailed(Device& device)
{
    if (device.Transport().portFailed.exchange(true))
        return;
    const DeviceLossFn loss = s_lossHandler.load();
    if (loss != nullptr)
        loss(device);
}

HANDLE OpenHandle(Device& device)
{
    return LongToHandle(device.m_hDevice.load());
}

// The open handle as the calling thread may use it: none while another thread holds the port.
// Call with the gate held.
HANDLE UsableHandle(Device& device)
{
    const TransportState& port = device.Transport();
    if (port.held && port.holder != GetCurrentThreadId())
        return INVALID_HANDLE_VALUE;
    return OpenHandle(device);
}

void SetReadTimeout(HANDLE device, uint32_t readMs)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = readMs;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    SetCommTimeouts(device, &timeouts);
}

void ConfigureLine(HANDLE device)
{
    DCB control = {};
    control.DCBlength = sizeof(control);
    if (!GetCommState(device, &control))
        return;
    control.BaudRate = CBR_115200;
    control.ByteSize = 8;
    control.Parity = NOPARITY;
    control.StopBits = ONESTOPBIT;
    // Frames are binary: a port left with XON/XOFF or character replacement
    // by another program would swallow or change bytes of them.
    control.fBinary = TRUE;
    control.fParity = FALSE;
    control.fOutX = FALSE;
    control.fInX = FALSE;
    control.fErrorChar = FALSE;
    control.fNull = FALSE;
    control.fAbortOnError = FALSE;
    SetCommState(device, &control);
    SetReadTimeout(device, kReadTimeoutMs);
    SetupComm(device, kQueueSize, kQueueSize);
}

// One ReadFile or WriteFile on the open handle, bounded by the time-outs of
// the line and by `waitMs`; the number of bytes moved. On the synchronous
// handle the call itself ends at the line's time-out and reports the count.
// Call with the gate held.
int TransferHeld(Device& owner, HANDLE device, bool write, uint8_t* buffer, int count, uint32_t waitMs)
{
    if (device == INVALID_HANDLE_VALUE || count <= 0)
        return 0;
    OVERLAPPED transfer = {};
    transfer.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (transfer.hEvent == nullptr)
        return 0;
    DWORD transferred = 0;
    BOOL done = write ? WriteFile(device, buffer, static_cast<DWORD>(count), &transferred, &transfer)
                      : ReadFile(device, buffer, static_cast<DWORD>(count), &transferred, &transfer);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
        WaitForSingleObject(transfer.hEvent, waitMs);
        done = GetOverlappedResult(device, &transfer, &transferred, FALSE);
        error = done ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            // Still running past its bound: end it before its record goes away.
            CancelIoEx(device, &transfer);
            done = GetOverlappedResult(device, &transfer, &transferred, TRUE);
            error = done ? ERROR_SUCCESS : GetLastError();
        }
    }
    if (IsRemovalError(error))
        MarkPortFailed(owner);
    // A time-out moves fewer bytes without an error; an abort is a close or a cancel.
    if (error != ERROR_SUCCESS && error != ERROR_OPERATION_ABORTED && LogWanted(kLogWarning)) {
        char text[kReasonSize];
        SystemText(error, text, sizeof(text));
        // While a port is probed its path is not yet stored.
        const int number = owner.Transport().openPort.load();
        const std::string port =
            number >= 0 || owner.m_szDevicePath[0] != '\0' ? PortName(owner.m_szDevicePath, number) : std::string("the port");
        LogLine(kLogWarning, "%s: %s failed: %s", port.c_str(), write ? "a write" : "a read", text);
    }
    CloseHandle(transfer.hEvent);
    return static_cast<int>(std::min<DWORD>(transferred, static_cast<DWORD>(count)));
}

int Transfer(Device& device, bool write, uint8_t* buffer, int count, uint32_t waitMs)
{
    AcquireSRWLockShared(&device.Transport().gate);
    const int moved = TransferHeld(device, UsableHandle(device), write, buffer, count, waitMs);
    ReleaseSRWLockShared(&device.Transport().gate);
    return moved;
}

void CloseHeld(Device& device)
{
    const HANDLE handle = OpenHandle(device);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    memset(device.m_szDevicePath, 0, sizeof(device.m_szDevicePath));
    CloseHandle(handle);
    device.m_hDevice.store(-1);
    TransportState& port = device.Transport();
    port.openPort.store(-1);
    port.connection.store(0);
    port.held = false;
}

SRWLOCK s_substituteLock = SRWLOCK_INIT;
bool s_substituted = false;
std::vector<DeviceInterfaceEntry> s_substitute;

bool SubstituteInterfaces(std::vector<DeviceInterfaceEntry>& interfaces)
{
    AcquireSRWLockShared(&s_substituteLock);
    const bool substituted = s_substituted;
    if (substituted)
        interfaces = s_substitute;
    ReleaseSRWLockShared(&s_substituteLock);
    return substituted;
}

// Empties an interface record for the next enumeration step.
SP_DEVICE_INTERFACE_DATA EmptyInterface()
{
    SP_DEVICE_INTERFACE_DATA record = {};
    record.cbSize = sizeof(record);
    return record;
}

}  // namespace

// Whether another device of this process has the interface open.
static bool HeldByAnotherDevice(Device& self, const char* path)
{
    bool held = false;
    ForEachDevice([&](Device& other) {
        if (&other == &self)
            return;
        AcquireSRWLockShared(&other.Transport().gate);
        held |= strcmp(other.m_szDevicePath, path) == 0;
        ReleaseSRWLockShared(&other.Transport().gate);
    });
    return held;
}

// Opens the interface if it is a Vasq9's on an acceptable port.
static bool TryInterface(Device& device, int portNumber, const char* path, int comNumber)
{
    if (portNumber != -1 && comNumber != portNumber)
        return false;
    if (strstr(path, kDeviceMatch) == nullptr) {
        // Another instrument behind a serial port is not written to; a USB
        // device without a COM number is no port at all and says nothing.
        if (comNumber >= 0)
            NoteSearchFate(PortName(path, comNumber), kErrorNotFound, "skipped, the USB ids are another instrument's");
        return false;
    }
    if (HeldByAnotherDevice(device, path)) {
        NoteSearchFate(PortName(path, comNumber), kErrorPortBusy, "held by another device of this process");
        return false;
    }
    return OpenDevicePath(device, path, comNumber);
}

void SetDeviceInterfacesForTesting(const std::vector<DeviceInterfaceEntry>* interfaces)
{
    AcquireSRWLockExclusive(&s_substituteLock);
    s_substituted = interfaces != nullptr;
    s_substitute = interfaces != nullptr ? *interfaces : std::vector<DeviceInterfaceEntry>();
    ReleaseSRWLockExclusive(&s_substituteLock);
}

int ComPortFromFriendlyName(const char* friendlyName)
{
    const char* com = strstr(friendlyName, "COM");
    if (com == nullptr)
        return -1;
    char number[300] = {};
    strncpy(number, com + 3, sizeof(number) - 1);
    char* close = strchr(number, ')');
    if (close != nullptr)
        *close = '\0';
    return atoi(number);
}

int GetDeviceComPort(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData, char (&path)[512])
{
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, interfaceData, nullptr, 0, &required, nullptr);
    required = std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(calloc(1, required));
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (detail != nullptr) {
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, required, nullptr, &device)) {
            const size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
            const size_t length = strnlen(detail->DevicePath, room);
            const size_t copied = std::min(length, sizeof(path) - 1);
            memcpy(path, detail->DevicePath, copied);
            path[copied] = '\0';
        }
        free(detail);
    }
    // One byte short of the buffer, so that the name always ends in a NUL.
    char name[300] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(name),
                                           sizeof(name) - 1, nullptr))
        return -1;
    return ComPortFromFriendlyName(name);
}

HDEVINFO ListUsbDeviceInterfaces()
{
    return SetupDiGetClassDevsA(&kUsbDeviceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

bool OpenDevicePath(Device& owner, const char* path, int comNumber)
{
    const DeviceProbeFn probe = s_probe.load();
    if (probe == nullptr)
        return false;
    const HANDLE device =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        NoteOpenFailure(PortName(path, comNumber), GetLastError());
        return false;
    }
    TransportState& port = owner.Transport();
    AcquireSRWLockExclusive(&port.gate);
    CloseHeld(owner);
    owner.m_hDevice.store(HandleToLong(device));
    port.openPort.store(comNumber);
    port.connection.store(++port.lastConnection);
    port.portFailed.store(false);
    port.held = true;
    port.holder = GetCurrentThreadId();
    owner.m_nDeviceReadTimeout.store(kReadTimeoutMs);
    owner.m_nDeviceWriteTimeout.store(kWriteTimeoutMs);
    ConfigureLine(device);
    ReleaseSRWLockExclusive(&port.gate);
    // A probe that records no reason got an answer that is not a Vasq9's.
    ClearReason();
    if (!probe(owner)) {
        if (ReasonCode() != kErrorNone)
            NoteSearchFate(PortName(path, comNumber), kErrorNotFound, "no identity: %s", ReasonText());
        else
            NoteSearchFate(PortName(path, comNumber), kErrorNotFound, "answered, but is not a Vasq9");
        AcquireSRWLockExclusive(&port.gate);
        if (OpenHandle(owner) == device)
            CloseHeld(owner);
        ReleaseSRWLockExclusive(&port.gate);
        return false;
    }
    AcquireSRWLockExclusive(&port.gate);
    const bool kept = OpenHandle(owner) == device;  // a close may have come in during the probe
    if (kept) {
        const size_t length = strnlen(path, sizeof(owner.m_szDevicePath) - 1);
        memcpy(owner.m_szDevicePath, path, length);
        owner.m_szDevicePath[length] = '\0';
        owner.m_logSubject.SetPort(PortName(path, comNumber).c_str());
        port.held = KeepHeldAfterSearch();
    }
    ReleaseSRWLockExclusive(&port.gate);
    return kept;
}

bool FindDevice(Device& device, int portNumber, HDEVINFO set)
{
    DeviceClose(device);
    for (DWORD index = 0;; ++index) {
        char path[512] = {};
        SP_DEVICE_INTERFACE_DATA record = EmptyInterface();
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &record)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                return false;
            continue;
        }
        const int comNumber = GetDeviceComPort(set, &record, path);
        if (TryInterface(device, portNumber, path, comNumber))
            return true;
    }
}

bool FindInListing(Device& device, int portNumber)
{
    std::vector<DeviceInterfaceEntry> substitute;
    if (SubstituteInterfaces(substitute)) {
        DeviceClose(device);
        for (const DeviceInterfaceEntry& entry : substitute) {
            if (TryInterface(device, portNumber, entry.path.c_str(), ComPortFromFriendlyName(entry.friendlyName.c_str())))
                return true;
        }
        return false;
    }
    const HDEVINFO set = ListUsbDeviceInterfaces();
    if (set == INVALID_HANDLE_VALUE) {
        char text[kReasonSize];
        SystemText(GetLastError(), text, sizeof(text));
        NoteSearchFate("USB devices", kErrorSystem, "cannot be listed: %s", text);
        return false;
    }
    const bool found = FindDevice(device, portNumber, set);
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::string NothingFoundText(int portNumber)
{
    return portNumber == -1 ? std::string("no USB device with the Vasq9's ids is present")
                            : "COM" + std::to_string(portNumber) + ": no USB device with the Vasq9's ids has this number";
}

std::string DeviceNodePath(int portNumber)
{
    return portNumber >= 0 ? PortName(nullptr, portNumber) : std::string("a port without a COM number");
}

std::string DeviceOpenPortName(Device& device)
{
    const int portNumber = DeviceOpenPortNumber(device);
    if (portNumber >= 0)
        return PortName(nullptr, portNumber);
    // A port without a COM number is named by its interface path.
    AcquireSRWLockShared(&device.Transport().gate);
    const std::string path = device.m_szDevicePath;
    ReleaseSRWLockShared(&device.Transport().gate);
    return path.empty() ? std::string("a port without a COM number") : path;
}

// The system's device-change broadcast ends the pause (see the monitor window).
SearchPause::SearchPause(Device& device) : m_device(device) {}

SearchPause::~SearchPause() = default;

void SearchPause::Wait(uint32_t milliseconds)
{
    m_device.Transport().searchStop.WaitTimeout(milliseconds);
}

void DeviceReleaseHeld(Device& device)
{
    TransportState& port = device.Transport();
    AcquireSRWLockExclusive(&port.gate);
    if (port.held && port.holder == GetCurrentThreadId())
        port.held = false;
    ReleaseSRWLockExclusive(&port.gate);
}

void DeviceStopSearch(Device& device)
{
    device.Transport().searchStop.SetEvent();
}

void SetDeviceProbe(DeviceProbeFn probe)
{
    s_probe.store(probe);
}

void SetDeviceLossHandler(DeviceLossFn handler)
{
    s_lossHandler.store(handler);
}

bool DeviceClose(Device& device)
{
    TransportState& port = device.Transport();
    // Asks a transfer in progress to end early (under the shared gate, so the
    // handle cannot be closed and reused meanwhile); a synchronous transfer
    // that the system does not cancel holds the close for its time-out.
    AcquireSRWLockShared(&port.gate);
    const HANDLE handle = OpenHandle(device);
    if (handle != INVALID_HANDLE_VALUE) {
        CancelIoEx(handle, nullptr);
        PurgeComm(handle, PURGE_RXABORT | PURGE_TXABORT);
    }
    ReleaseSRWLockShared(&port.gate);
    // A loss keeps naming the port until the connection has ended; a close on purpose ends it here.
    device.m_logSubject.Clear();
    if (handle == INVALID_HANDLE_VALUE)
        return true;
    AcquireSRWLockExclusive(&port.gate);
    CloseHeld(device);
    ReleaseSRWLockExclusive(&port.gate);
    return true;
}

bool DeviceIsAlive(Device& device)
{
    char openPath[512];
    AcquireSRWLockShared(&device.Transport().gate);
    const bool open = OpenHandle(device) != INVALID_HANDLE_VALUE && device.m_szDevicePath[0] != '\0';
    memcpy(openPath, device.m_szDevicePath, sizeof(openPath));
    ReleaseSRWLockShared(&device.Transport().gate);
    if (!open)
        return false;
    std::vector<DeviceInterfaceEntry> substitute;
    if (SubstituteInterfaces(substitute)) {
        for (const DeviceInterfaceEntry& entry : substitute) {
            if (entry.path == openPath)
                return true;
        }
        return false;
    }
    const HDEVINFO set = ListUsbDeviceInterfaces();
    if (set == INVALID_HANDLE_VALUE)
        return false;
    bool present = false;
    for (DWORD index = 0;; ++index) {
        char path[512] = {};
        SP_DEVICE_INTERFACE_DATA record = EmptyInterface();
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &record)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            continue;
        }
        GetDeviceComPort(set, &record, path);
        if (strcmp(path, openPath) == 0) {
            present = true;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return present;
}

uint64_t DeviceConnectionNumber(Device& device)
{
    return device.Transport().connection.load();
}

bool DeviceCloseConnection(Device& device, uint64_t connection)
{
    TransportState& port = device.Transport();
    AcquireSRWLockExclusive(&port.gate);
    const bool closing = connection != 0 && port.connection.load() == connection;
    if (closing)
        CloseHeld(device);
    ReleaseSRWLockExclusive(&port.gate);
    return closing;
}

// A device whose name carries no COM number is found by a search for any
// port, so it answers -1 though it has no number to report.
bool DeviceOpenPortMatches(Device& device, int portNumber)
{
    TransportState& port = device.Transport();
    AcquireSRWLockShared(&port.gate);
    const bool found = OpenHandle(device) != INVALID_HANDLE_VALUE && device.m_szDevicePath[0] != '\0';
    const int open = port.openPort.load();
    ReleaseSRWLockShared(&port.gate);
    return found && (portNumber == -1 || portNumber == open);
}

bool DeviceIsConnected(Device& device)
{
    return device.m_hDevice.load() != -1;
}

// The service forms of release 1.0 reach these on both systems. A COM port is
// opened without sharing, which keeps every other opener out: there is no
// lock file to take or to give back.
bool LockDevice(Device& /*device*/, int /*portNumber*/)
{
    return true;
}

bool UnlockDevice(Device& /*device*/)
{
    return true;
}

// A COM port is reached through the USB interface that carries its number.
bool DoFindDevice(Device& device, int portNumber)
{
    return portNumber >= 0 && FindInListing(device, portNumber);
}

bool DeviceCheckPath(Device& device, const char* path)
{
    if (path == nullptr)
        return false;
    AcquireSRWLockShared(&device.Transport().gate);
    const bool open = device.m_szDevicePath[0] != '\0' && strcmp(device.m_szDevicePath, path) == 0;
    ReleaseSRWLockShared(&device.Transport().gate);
    return open;
}

bool DeviceSetTimeoutSetting(Device& device, uint32_t readMs, uint32_t writeMs)
{
    device.m_nDeviceReadTimeout.store(readMs);
    device.m_nDeviceWriteTimeout.store(writeMs);
    return true;
}

int DeviceOpenPortNumber(Device& device)
{
    return device.Transport().openPort.load();
}

int DeviceReadData(Device& device, uint8_t* buffer, int count)
{
    return Transfer(device, false, buffer, count, device.m_nDeviceReadTimeout.load());
}

int DeviceWriteData(Device& device, const uint8_t* buffer, int count)
{
    return Transfer(device, true, const_cast<uint8_t*>(buffer), count, device.m_nDeviceWriteTimeout.load());
}

int DeviceReadAvailable(Device& device, uint8_t* buffer, int capacity)
{
    TransportState& port = device.Transport();
    AcquireSRWLockShared(&port.gate);
    const HANDLE handle = UsableHandle(device);
    int result = -1;
    DWORD errors = 0;
    COMSTAT status = {};
    if (handle != INVALID_HANDLE_VALUE && !port.portFailed.load()) {
        // Some systems fail it without setting an error: an older one must not be taken for its reason.
        SetLastError(ERROR_SUCCESS);
        if (!ClearCommError(handle, &errors, &status)) {
            if (IsRemovalError(GetLastError()))
                MarkPortFailed(device);
        } else {
            const int pending = static_cast<int>(std::min<DWORD>(status.cbInQue, static_cast<DWORD>(capacity)));
            result = pending == 0 ? 0
                                  : TransferHeld(device, handle, false, buffer, pending, device.m_nDeviceReadTimeout.load());
        }
    }
    ReleaseSRWLockShared(&port.gate);
    return result;
}

int DeviceReadDataWithin(Device& device, uint8_t* buffer, int count, uint32_t timeoutMs)
{
    TransportState& port = device.Transport();
    AcquireSRWLockShared(&port.gate);
    const HANDLE handle = UsableHandle(device);
    int moved = 0;
    if (handle != INVALID_HANDLE_VALUE) {
        SetReadTimeout(handle, timeoutMs);
        moved = TransferHeld(device, handle, false, buffer, count, timeoutMs);
        SetReadTimeout(handle, kReadTimeoutMs);
    }
    ReleaseSRWLockShared(&port.gate);
    return moved;
}

bool DevicePortFailed(Device& device)
{
    return device.Transport().portFailed.load();
}

// Every read takes exactly what it asks of the driver's queue: the transport keeps nothing read ahead.
bool DeviceHasBufferedInput(Device& /*device*/)
{
    return false;
}
