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

TransportState& Port()
{
    return CurrentDevice().Transport();
}

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
void MarkPortFailed()
{
    if (Port().portFailed.exchange(true))
        return;
    const DeviceLossFn loss = s_lossHandler.load();
    if (loss != nullptr)
        loss();
}

HANDLE OpenHandle()
{
    return LongToHandle(CurrentDevice().m_hDevice.load());
}

// The open handle as the calling thread may use it: none while another thread holds the port.
// Call with the gate held.
HANDLE UsableHandle()
{
    if (Port().held && Port().holder != GetCurrentThreadId())
        return INVALID_HANDLE_VALUE;
    return OpenHandle();
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
int TransferHeld(HANDLE device, bool write, uint8_t* buffer, int count, uint32_t waitMs)
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
        MarkPortFailed();
    // A time-out moves fewer bytes without an error; an abort is a close or a cancel.
    if (error != ERROR_SUCCESS && error != ERROR_OPERATION_ABORTED && LogWanted(kLogWarning)) {
        char text[kReasonSize];
        SystemText(error, text, sizeof(text));
        // While a port is probed its path is not yet stored.
        const int number = Port().openPort.load();
        const std::string port =
            number >= 0 || CurrentDevice().m_szDevicePath[0] != '\0' ? PortName(CurrentDevice().m_szDevicePath, number) : std::string("the port");
        LogLine(kLogWarning, "%s: %s failed: %s", port.c_str(), write ? "a write" : "a read", text);
    }
    CloseHandle(transfer.hEvent);
    return static_cast<int>(std::min<DWORD>(transferred, static_cast<DWORD>(count)));
}

int Transfer(bool write, uint8_t* buffer, int count, uint32_t waitMs)
{
    AcquireSRWLockShared(&Port().gate);
    const int moved = TransferHeld(UsableHandle(), write, buffer, count, waitMs);
    ReleaseSRWLockShared(&Port().gate);
    return moved;
}

void CloseHeld()
{
    const HANDLE device = OpenHandle();
    if (device == INVALID_HANDLE_VALUE)
        return;
    memset(CurrentDevice().m_szDevicePath, 0, sizeof(CurrentDevice().m_szDevicePath));
    CloseHandle(device);
    CurrentDevice().m_hDevice.store(-1);
    Port().openPort.store(-1);
    Port().connection.store(0);
    Port().held = false;
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
static bool HeldByAnotherDevice(const char* path)
{
    const Device* self = &CurrentDevice();
    bool held = false;
    ForEachDevice([&] {
        if (&CurrentDevice() == self)
            return;
        AcquireSRWLockShared(&Port().gate);
        held |= strcmp(CurrentDevice().m_szDevicePath, path) == 0;
        ReleaseSRWLockShared(&Port().gate);
    });
    return held;
}

// Opens the interface if it is a Vasq9's on an acceptable port.
static bool TryInterface(int portNumber, const char* path, int comNumber)
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
    if (HeldByAnotherDevice(path)) {
        NoteSearchFate(PortName(path, comNumber), kErrorPortBusy, "held by another device of this process");
        return false;
    }
    return OpenDevicePath(path, comNumber);
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

bool OpenDevicePath(const char* path, int comNumber)
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
    AcquireSRWLockExclusive(&Port().gate);
    CloseHeld();
    CurrentDevice().m_hDevice.store(HandleToLong(device));
    Port().openPort.store(comNumber);
    Port().connection.store(++Port().lastConnection);
    Port().portFailed.store(false);
    Port().held = true;
    Port().holder = GetCurrentThreadId();
    CurrentDevice().m_nDeviceReadTimeout.store(kReadTimeoutMs);
    CurrentDevice().m_nDeviceWriteTimeout.store(kWriteTimeoutMs);
    ConfigureLine(device);
    ReleaseSRWLockExclusive(&Port().gate);
    // A probe that records no reason got an answer that is not a Vasq9's.
    ClearReason();
    if (!probe()) {
        if (ReasonCode() != kErrorNone)
            NoteSearchFate(PortName(path, comNumber), kErrorNotFound, "no identity: %s", ReasonText());
        else
            NoteSearchFate(PortName(path, comNumber), kErrorNotFound, "answered, but is not a Vasq9");
        AcquireSRWLockExclusive(&Port().gate);
        if (OpenHandle() == device)
            CloseHeld();
        ReleaseSRWLockExclusive(&Port().gate);
        return false;
    }
    AcquireSRWLockExclusive(&Port().gate);
    const bool kept = OpenHandle() == device;  // a close may have come in during the probe
    if (kept) {
        const size_t length = strnlen(path, sizeof(CurrentDevice().m_szDevicePath) - 1);
        memcpy(CurrentDevice().m_szDevicePath, path, length);
        CurrentDevice().m_szDevicePath[length] = '\0';
        CurrentDevice().m_logSubject.SetPort(PortName(path, comNumber).c_str());
        Port().held = KeepHeldAfterSearch();
    }
    ReleaseSRWLockExclusive(&Port().gate);
    return kept;
}

bool FindDevice(int portNumber, HDEVINFO set)
{
    DeviceClose();
    for (DWORD index = 0;; ++index) {
        char path[512] = {};
        SP_DEVICE_INTERFACE_DATA record = EmptyInterface();
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &record)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                return false;
            continue;
        }
        const int comNumber = GetDeviceComPort(set, &record, path);
        if (TryInterface(portNumber, path, comNumber))
            return true;
    }
}

bool FindInListing(int portNumber)
{
    std::vector<DeviceInterfaceEntry> substitute;
    if (SubstituteInterfaces(substitute)) {
        DeviceClose();
        for (const DeviceInterfaceEntry& entry : substitute) {
            if (TryInterface(portNumber, entry.path.c_str(), ComPortFromFriendlyName(entry.friendlyName.c_str())))
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
    const bool found = FindDevice(portNumber, set);
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
    if (portNumber >= 0)
        return PortName(nullptr, portNumber);
    AcquireSRWLockShared(&Port().gate);
    const std::string path = CurrentDevice().m_szDevicePath;
    ReleaseSRWLockShared(&Port().gate);
    return path.empty() ? std::string("a port without a COM number") : path;
}

// The system's device-change broadcast ends the pause (see the monitor window).
SearchPause::SearchPause() = default;

SearchPause::~SearchPause() = default;

void SearchPause::Wait(uint32_t milliseconds)
{
    Port().searchStop.WaitTimeout(milliseconds);
}

void DeviceReleaseHeld()
{
    AcquireSRWLockExclusive(&Port().gate);
    if (Port().held && Port().holder == GetCurrentThreadId())
        Port().held = false;
    ReleaseSRWLockExclusive(&Port().gate);
}

void DeviceStopSearch()
{
    Port().searchStop.SetEvent();
}

void SetDeviceProbe(DeviceProbeFn probe)
{
    s_probe.store(probe);
}

void SetDeviceLossHandler(DeviceLossFn handler)
{
    s_lossHandler.store(handler);
}

bool DeviceClose()
{
    // Asks a transfer in progress to end early (under the shared gate, so the
    // handle cannot be closed and reused meanwhile); a synchronous transfer
    // that the system does not cancel holds the close for its time-out.
    AcquireSRWLockShared(&Port().gate);
    const HANDLE device = OpenHandle();
    if (device != INVALID_HANDLE_VALUE) {
        CancelIoEx(device, nullptr);
        PurgeComm(device, PURGE_RXABORT | PURGE_TXABORT);
    }
    ReleaseSRWLockShared(&Port().gate);
    // A loss keeps naming the port until the connection has ended; a close on purpose ends it here.
    CurrentDevice().m_logSubject.Clear();
    if (device == INVALID_HANDLE_VALUE)
        return true;
    AcquireSRWLockExclusive(&Port().gate);
    CloseHeld();
    ReleaseSRWLockExclusive(&Port().gate);
    return true;
}

bool DeviceIsAlive()
{
    char openPath[512];
    AcquireSRWLockShared(&Port().gate);
    const bool open = OpenHandle() != INVALID_HANDLE_VALUE && CurrentDevice().m_szDevicePath[0] != '\0';
    memcpy(openPath, CurrentDevice().m_szDevicePath, sizeof(openPath));
    ReleaseSRWLockShared(&Port().gate);
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

uint64_t DeviceConnectionNumber()
{
    return Port().connection.load();
}

bool DeviceCloseConnection(uint64_t connection)
{
    AcquireSRWLockExclusive(&Port().gate);
    const bool closing = connection != 0 && Port().connection.load() == connection;
    if (closing)
        CloseHeld();
    ReleaseSRWLockExclusive(&Port().gate);
    return closing;
}

// A device whose name carries no COM number is found by a search for any
// port, so it answers -1 though it has no number to report.
bool DeviceOpenPortMatches(int portNumber)
{
    AcquireSRWLockShared(&Port().gate);
    const bool found = OpenHandle() != INVALID_HANDLE_VALUE && CurrentDevice().m_szDevicePath[0] != '\0';
    const int open = Port().openPort.load();
    ReleaseSRWLockShared(&Port().gate);
    return found && (portNumber == -1 || portNumber == open);
}

bool DeviceIsConnected()
{
    return CurrentDevice().m_hDevice.load() != -1;
}

int DeviceOpenPortNumber()
{
    return Port().openPort.load();
}

int DeviceReadData(uint8_t* buffer, int count)
{
    return Transfer(false, buffer, count, CurrentDevice().m_nDeviceReadTimeout.load());
}

int DeviceWriteData(const uint8_t* buffer, int count)
{
    return Transfer(true, const_cast<uint8_t*>(buffer), count, CurrentDevice().m_nDeviceWriteTimeout.load());
}

int DeviceReadAvailable(uint8_t* buffer, int capacity)
{
    AcquireSRWLockShared(&Port().gate);
    const HANDLE device = UsableHandle();
    int result = -1;
    DWORD errors = 0;
    COMSTAT status = {};
    if (device != INVALID_HANDLE_VALUE && !Port().portFailed.load()) {
        // Some systems fail it without setting an error: an older one must not be taken for its reason.
        SetLastError(ERROR_SUCCESS);
        if (!ClearCommError(device, &errors, &status)) {
            if (IsRemovalError(GetLastError()))
                MarkPortFailed();
        } else {
            const int pending = static_cast<int>(std::min<DWORD>(status.cbInQue, static_cast<DWORD>(capacity)));
            result = pending == 0 ? 0 : TransferHeld(device, false, buffer, pending, CurrentDevice().m_nDeviceReadTimeout.load());
        }
    }
    ReleaseSRWLockShared(&Port().gate);
    return result;
}

int DeviceReadDataWithin(uint8_t* buffer, int count, uint32_t timeoutMs)
{
    AcquireSRWLockShared(&Port().gate);
    const HANDLE device = UsableHandle();
    int moved = 0;
    if (device != INVALID_HANDLE_VALUE) {
        SetReadTimeout(device, timeoutMs);
        moved = TransferHeld(device, false, buffer, count, timeoutMs);
        SetReadTimeout(device, kReadTimeoutMs);
    }
    ReleaseSRWLockShared(&Port().gate);
    return moved;
}

bool DevicePortFailed()
{
    return Port().portFailed.load();
}

// Every read takes exactly what it asks of the driver's queue: the transport keeps nothing read ahead.
bool DeviceHasBufferedInput()
{
    return false;
}
