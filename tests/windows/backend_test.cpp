// The Windows back end's pieces, linked in directly: primitives, timers, the
// device-change window, the friendly-name parsing and the COM-port transport.
#include "WinTest.h"

#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "api/Connection.h"
#include "api/Instrument.h"
#include "device/Monitor.h"
#include "device/Packet.h"
#include "device/SearchOutcome.h"
#include "device/Transport.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Diagnostics.h"
#include "platform/Platform.h"
#include "platform/ProcessObjects.h"
#include "protocol/Identity.h"
#include "vasq.h"
#include "windows/ComTransport.h"

extern char g_szMonitorWindowClass[128];

namespace {

const char kClassPrefix[] = "MsgMonitorWnd-Vasq9{5d2e8c41-9b7a-4f06-b3c5-2e71a9d04f68}-";

std::string ClassName(int index)
{
    char name[128];
    snprintf(name, sizeof(name), "%s%03d", kClassPrefix, index);
    return name;
}

HWND MonitorWindow()
{
    HWND window = nullptr;
    wintest::WaitFor([&] { return (window = wintest::FindOwnWindow(ClassName(0).c_str(), "title")) != nullptr; }, 5000);
    return window;
}

}  // namespace

WIN_TEST(AutoResetEventReleasesOneWaitPerSignal)
{
    CAutoResetEvent event(false);
    CHECK_EQ(WAIT_TIMEDOUT, event.WaitTimeout(0));
    event.SetEvent();
    event.SetEvent();
    CHECK_EQ(WAIT_SIGNALED, WaitForSingleObject(&event, 0));
    CHECK_EQ(WAIT_TIMEDOUT, event.WaitTimeout(0));
    CAutoResetEvent initiallySet(true);
    CHECK_EQ(WAIT_SIGNALED, initiallySet.WaitTimeout(0));
    CHECK_EQ(258u, WAIT_TIMEDOUT);
}

WIN_TEST(ManualResetEventStaysSetUntilReset)
{
    CManualResetEvent event(false);
    event.SetEvent();
    CHECK_EQ(WAIT_SIGNALED, event.WaitTimeout(0));
    event.Wait();
    CHECK_EQ(WAIT_SIGNALED, event.WaitTimeout(0));
    event.ResetEvent();
    CHECK_EQ(WAIT_TIMEDOUT, event.WaitTimeout(0));
}

WIN_TEST(TimedWaitEndsAtTheDeadlineOrAtTheSignal)
{
    CAutoResetEvent event(false);
    const ULONGLONG start = GetTickCount64();
    CHECK_EQ(WAIT_TIMEDOUT, event.WaitTimeout(200));
    CHECK(GetTickCount64() - start >= 180);  // the system clock ticks in steps of up to 16 ms

    struct Setter {
        static void* Run(void* argument)
        {
            Sleep(50);
            static_cast<CEvent*>(argument)->SetEvent();
            return nullptr;
        }
    };
    unsigned long thread = 0;
    CHECK(CreateThread(&thread, Setter::Run, &event) == 1);
    CHECK_EQ(WAIT_SIGNALED, WaitForSingleObject(&event, INFINITE_TIMEOUT));
    JoinThread(thread);
}

WIN_TEST(WaitOnSeveralEventsTakesTheLowestIndexAndConsumesOnlyIt)
{
    CManualResetEvent stop(false);
    CAutoResetEvent tick(false);
    CEvent* events[2] = {&stop, &tick};
    CHECK_EQ(WAIT_TIMEDOUT, WaitForMultipleObjects(2, events, 0, 0));
    stop.SetEvent();
    tick.SetEvent();
    CHECK_EQ(0u, WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT));
    CHECK_EQ(0u, WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT));
    stop.ResetEvent();
    CHECK_EQ(1u, WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT));
    CHECK_EQ(WAIT_TIMEDOUT, WaitForMultipleObjects(2, events, 0, 0));
}

WIN_TEST(CriticalSectionIsReentrantAndHeldUntilTheOuterUnlock)
{
    static CSimpleCriticalSection section;
    static CManualResetEvent entered(false);
    entered.ResetEvent();
    section.Lock();
    section.Lock();
    section.Unlock();
    struct Taker {
        static void* Run(void*)
        {
            CAutoCriticalSection lock(section);
            entered.SetEvent();
            return nullptr;
        }
    };
    unsigned long thread = 0;
    CHECK(CreateThread(&thread, Taker::Run, nullptr) == 1);
    const uint32_t whileHeld = entered.WaitTimeout(100);
    section.Unlock();
    CHECK_EQ(WAIT_TIMEDOUT, whileHeld);
    CHECK_EQ(WAIT_SIGNALED, entered.WaitTimeout(5000));
    JoinThread(thread);
}

WIN_TEST(ThreadsAreJoinedAndKnowThemselves)
{
    static std::atomic<bool> ranOnItself{false};
    static unsigned long self = 0;
    struct Worker {
        static void* Run(void*)
        {
            Sleep(20);
            ranOnItself.store(IsCurrentThread(self));
            return nullptr;
        }
    };
    CHECK(CreateThread(&self, Worker::Run, nullptr) == 1);
    CHECK(self != 0);
    CHECK(!IsCurrentThread(self));
    JoinThread(self);
    CHECK(ranOnItself.load());
    JoinThread(0);

    // A worker that closes its own handle ends by itself; nobody joins it.
    static CManualResetEvent done(false);
    static unsigned long worker = 0;
    struct SelfClosing {
        static void* Run(void*)
        {
            while (worker == 0)
                Sleep(1);
            CloseThread(worker);
            done.SetEvent();
            return nullptr;
        }
    };
    unsigned long handle = 0;
    CHECK(CreateThread(&handle, SelfClosing::Run, nullptr) == 1);
    worker = handle;
    CHECK_EQ(WAIT_SIGNALED, done.WaitTimeout(5000));
}

WIN_TEST(FiftyMillisecondTimerTicksAboutTwentyTimesASecond)
{
    uint32_t signal = 10;
    TimerId timer = CreateNewTimer(50, signal);
    CHECK(timer != nullptr);
    CEvent* tick = TimerTickEvent(timer, signal);
    int ticks = 0;
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < 1000) {
        if (tick->WaitTimeout(200) == WAIT_SIGNALED)
            ++ticks;
    }
    printf("  50 ms timer: %d ticks in one second\n", ticks);
    DeleteTimer(signal, timer);
    CHECK(timer == nullptr);
    CHECK(ticks >= 12 && ticks <= 28);
}

WIN_TEST(EachTimerHasItsOwnEventAndStopsAtDelete)
{
    uint32_t signal = 12;
    TimerId first = CreateNewTimer(200, signal);
    TimerId second = CreateNewTimer(200, signal);
    CEvent* firstTick = TimerTickEvent(first, signal);
    CEvent* secondTick = TimerTickEvent(second, signal);
    CHECK(firstTick != secondTick);
    CHECK_EQ(WAIT_SIGNALED, firstTick->WaitTimeout(2000));
    CHECK_EQ(WAIT_SIGNALED, secondTick->WaitTimeout(2000));
    DeleteTimer(signal, first);
    DeleteTimer(signal, second);
    // A timer that could not be made leaves the worker waiting on an event nobody sets.
    CEvent* none = TimerTickEvent(nullptr, signal);
    CHECK(none != nullptr);
    CHECK_EQ(WAIT_TIMEDOUT, none->WaitTimeout(0));
}

WIN_TEST(FriendlyNameGivesTheComNumber)
{
    CHECK_EQ(7, ComPortFromFriendlyName("USB Serial Device (COM7)"));
    CHECK_EQ(12, ComPortFromFriendlyName("Vasq9 (COM12)"));
    CHECK_EQ(3, ComPortFromFriendlyName("COM3"));
    CHECK_EQ(-1, ComPortFromFriendlyName("USB Serial Device"));
    CHECK_EQ(-1, ComPortFromFriendlyName(""));
    CHECK_EQ(-1, ComPortFromFriendlyName("com7 (lower case)"));
}

WIN_TEST(WindowThreadRunsTheFirstFreeClassName)
{
    HWND window = MonitorWindow();
    CHECK(window != nullptr);
    CHECK(std::string(g_szMonitorWindowClass) == ClassName(0));
    CHECK(GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId());
    CHECK(!IsWindowVisible(window));
    WNDCLASSEXA found = {};
    found.cbSize = sizeof(found);
    CHECK(GetClassInfoExA(GetModuleHandleA(nullptr), ClassName(0).c_str(), &found));
}

WIN_TEST(DeviceChangeSetsTheReconnectEventOnlyWhileRegistered)
{
    HWND window = MonitorWindow();
    CHECK(window != nullptr);
    DefaultInstrument().m_hReconnectEvent.ResetEvent();
    RegisterNotifyEvent(DEVICE_CHANGE_EVENT, nullptr);
    SendMessageA(window, WM_DEVICECHANGE, 0x8004, 0);
    CHECK_EQ(WAIT_TIMEDOUT, DefaultInstrument().m_hReconnectEvent.WaitTimeout(0));

    DefaultDevice().Monitor().StartMonitor();  // what the connection thread does once connected
    CHECK(RegisteredNotifyEvent(DEVICE_CHANGE_EVENT) == &WinEventCb);
    SendMessageA(window, WM_USER + 5, 0, 0);
    CHECK_EQ(WAIT_TIMEDOUT, DefaultInstrument().m_hReconnectEvent.WaitTimeout(0));
    SendMessageA(window, WM_DEVICECHANGE, 0x8004, 0);
    CHECK_EQ(WAIT_SIGNALED, DefaultInstrument().m_hReconnectEvent.WaitTimeout(0));

    RegisterNotifyEvent(DEVICE_CHANGE_EVENT, nullptr);
    bool present = false;
    CHECK(RegisteredNotifyEvent(DEVICE_CHANGE_EVENT, &present) == nullptr);
    CHECK(present);
    SendMessageA(window, WM_DEVICECHANGE, 0x8004, 0);
    CHECK_EQ(WAIT_TIMEDOUT, DefaultInstrument().m_hReconnectEvent.WaitTimeout(0));
}

WIN_TEST(SearchWithoutAUsbDeviceFindsNothing)
{
    Instrument instrument;
    // Wine lists no USB device interfaces for a serial port, so the search
    // through SetupAPI ends with nothing open.
    HDEVINFO set = ListUsbDeviceInterfaces();
    if (set != INVALID_HANDLE_VALUE) {
        CHECK(!FindDevice(instrument, -1, set));
        CHECK(!FindDevice(instrument, 5, set));
        SetupDiDestroyDeviceInfoList(set);
    }
    CHECK(!DeviceIsConnected(instrument));
    CHECK(!DeviceIsAlive(instrument));
    CHECK_EQ(-1, DeviceOpenPortNumber(instrument));
    CHECK(DeviceClose(instrument));
}

namespace {

// The simulated device's port, when the test script mapped one.
const char* SimulatorPort()
{
    const char* port = getenv("VASQ_SIM_COM");
    return port != nullptr && port[0] != '\0' ? port : nullptr;
}

// The USB interface path that the test script mapped to the simulated device;
// null (and the test skipped) when there is none.
const char* SimulatorInterface()
{
    const char* path = getenv("VASQ_SIM_INTERFACE");
    if (path != nullptr && path[0] != '\0')
        return path;
    wintest::Skip("VASQ_SIM_INTERFACE names no interface path mapped to the simulated device");
    return nullptr;
}

}  // namespace

WIN_TEST(TransportAndPacketsThroughAComPort)
{
    const char* port = SimulatorPort();
    if (port == nullptr) {
        wintest::Skip("VASQ_SIM_COM names no COM port mapped to the simulated device");
        return;
    }
    const std::string path = std::string("\\\\.\\") + port;
    const int number = atoi(port + 3);
    CHECK(OpenDevicePath(DefaultDevice(), path.c_str(), number));
    CHECK(DeviceIsConnected(DefaultDevice()));
    const uint64_t connection = DeviceConnectionNumber(DefaultDevice());
    CHECK(connection != 0);
    CHECK(!DeviceCloseConnection(DefaultDevice(), connection + 1));
    CHECK_EQ(number, DeviceOpenPortNumber(DefaultDevice()));
    CHECK(std::string(DefaultDevice().m_szDevicePath) == path);

    // The port is open without sharing, so Windows refuses a second opener;
    // Wine does not enforce that for a serial device, which is only reported here.
    HANDLE second = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (second != INVALID_HANDLE_VALUE) {
        printf("  this system let a second opener share the port\n");
        CloseHandle(second);
    }

    MODEL_INFORMATION model = {};
    CHECK(VasqGetDeviceInformation(&model) == 1);
    CHECK(model.chSignature[0] == 'Q' && model.chSignature[1] == 'X');
    CHECK_EQ(0x70, static_cast<int>(model.byModelCode));
    HW_INFORMATION hardware = {};
    CHECK(VasqGetHWInformation(&hardware) == 1);
    CHECK(strlen(VasqGetSerialNumber()) == 14);

    // Nothing comes unasked: a read ends at the line's 1000 ms read time-out.
    uint8_t buffer[7] = {};
    const ULONGLONG start = GetTickCount64();
    CHECK_EQ(0, DeviceReadData(DefaultDevice(), buffer, 7));
    const ULONGLONG waited = GetTickCount64() - start;
    printf("  empty read returned after %llu ms\n", waited);
    CHECK(waited >= 900);
    CHECK_EQ(0, DeviceReadAvailable(DefaultDevice(), buffer, sizeof(buffer)));

    // A pressure sample request answers with a stream packet.
    CHECK(SendPacket(DefaultDevice(), CATEGORY_PARAMETER, COMMAND_STREAM, nullptr, 0));
    uint8_t samples[20] = {};
    CHECK(ReceivePacket(DefaultDevice(), samples, sizeof(samples), 1, nullptr));

    // The path of a COM name is not a USB device interface: the presence check,
    // which enumerates those, does not find it.
    CHECK(!DeviceIsAlive(DefaultDevice()));
    CHECK(DeviceCloseConnection(DefaultDevice(), connection));
    CHECK_EQ(0ull, static_cast<unsigned long long>(DeviceConnectionNumber(DefaultDevice())));
    CHECK(DefaultDevice().m_szDevicePath[0] == '\0');
    CHECK(!DeviceIsConnected(DefaultDevice()));
    CHECK(!DeviceIsAlive(DefaultDevice()));
    CHECK(DeviceClose(DefaultDevice()));
}

WIN_TEST(CloseDuringAReadEndsTheReadAndReturnsPromptly)
{
    Instrument instrument;
    const char* port = SimulatorPort();
    if (port == nullptr) {
        wintest::Skip("VASQ_SIM_COM names no COM port mapped to the simulated device");
        return;
    }
    const std::string path = std::string("\\\\.\\") + port;
    CHECK(OpenDevicePath(instrument, path.c_str(), atoi(port + 3)));
    static CManualResetEvent reading(false);
    static std::atomic<int> got{-1};
    reading.ResetEvent();
    struct Reader {
        static void* Run(void* device)
        {
            uint8_t buffer[7];
            reading.SetEvent();
            got.store(DeviceReadData(*static_cast<Instrument*>(device), buffer, sizeof(buffer)));
            return nullptr;
        }
    };
    unsigned long thread = 0;
    CHECK(CreateThread(&thread, Reader::Run, &instrument) == 1);
    CHECK_EQ(WAIT_SIGNALED, reading.WaitTimeout(5000));
    const ULONGLONG start = GetTickCount64();
    CHECK(DeviceClose(instrument));
    printf("  close during a read returned after %llu ms\n", GetTickCount64() - start);
    JoinThread(thread);
    CHECK_EQ(0, got.load());
    CHECK(!DeviceIsConnected(instrument));
    uint8_t buffer[7];
    CHECK_EQ(0, DeviceReadData(instrument, buffer, sizeof(buffer)));
    CHECK_EQ(0, DeviceWriteData(instrument, buffer, sizeof(buffer)));
    CHECK_EQ(-1, DeviceReadAvailable(instrument, buffer, sizeof(buffer)));
}

namespace {

// Runs the call on a thread of its own and returns its result.
template <typename Call>
int OnOtherThread(Call call)
{
    static Call* pending;
    static int result;
    pending = &call;
    struct Runner {
        static void* Run(void*)
        {
            result = (*pending)();
            return nullptr;
        }
    };
    unsigned long thread = 0;
    if (CreateThread(&thread, Runner::Run, nullptr) != 1)
        return -100;
    JoinThread(thread);
    return result;
}

bool Refuse(Device&)
{
    return false;
}


}  // namespace

// The connection thread's search: a port it finds serves only that thread
// until it has been announced, a probe handed down decides, and a stop ends
// the pause between two attempts.
WIN_TEST(HeldPortServesOnlyItsFinderUntilReleased)
{
    Instrument instrument;
    const char* interfacePath = SimulatorInterface();
    if (interfacePath == nullptr)
        return;
    const std::vector<DeviceInterfaceEntry> present = {{interfacePath, "USB Serial Device (COM7)"}};
    SetDeviceInterfacesForTesting(&present);

    CHECK(DeviceConnectHeld(instrument, 7, 1));
    uint8_t buffer[7] = {};
    auto write = [&] { return DeviceWriteData(instrument, buffer, 1); };
    auto available = [&] { return DeviceReadAvailable(instrument, buffer, sizeof(buffer)); };
    CHECK_EQ(0, OnOtherThread(write));
    CHECK_EQ(-1, OnOtherThread(available));
    CHECK_EQ(0, OnOtherThread([&] {
        DeviceReleaseHeld(instrument);  // not the finder: no effect
        return DeviceWriteData(instrument, reinterpret_cast<const uint8_t*>("x"), 1);
    }));
    // The finder exchanges with it meanwhile.
    CHECK(SendPacket(instrument, CATEGORY_PARAMETER, COMMAND_STREAM, nullptr, 0));
    uint8_t samples[20] = {};
    CHECK(ReceivePacket(instrument, samples, sizeof(samples), 1, nullptr));
    DeviceReleaseHeld(instrument);
    CHECK_EQ(0, OnOtherThread(available));
    CHECK(DeviceClose(instrument));

    // A plain search leaves the port to every thread.
    CHECK(DeviceConnect(instrument, 7, 1));
    CHECK_EQ(0, OnOtherThread(available));
    CHECK(DeviceClose(instrument));

    // The probe is the one handed down: a refusal closes the port again.
    SetDeviceProbe(Refuse);
    DeviceStopSearch(instrument);
    CHECK(!DeviceConnect(instrument, 7, 1));
    CHECK(!DeviceIsConnected(instrument));
    SetDeviceProbe(ProbeInstrument);

    // A stop ends the pause after a failed attempt at once.
    const std::vector<DeviceInterfaceEntry> none;
    SetDeviceInterfacesForTesting(&none);
    DeviceStopSearch(instrument);
    const ULONGLONG start = GetTickCount64();
    CHECK(!DeviceConnect(instrument, -1, 1));
    const ULONGLONG searched = GetTickCount64() - start;
    printf("  a stopped search returned after %llu ms\n", searched);
    CHECK(searched < 900);
    SetDeviceInterfacesForTesting(nullptr);
}

namespace {

struct ConnectionLog {
    CRITICAL_SECTION lock;
    std::vector<bool> events;
    ConnectionLog() { InitializeCriticalSection(&lock); }
    void Add(bool connected)
    {
        EnterCriticalSection(&lock);
        events.push_back(connected);
        LeaveCriticalSection(&lock);
    }
    std::vector<bool> Events()
    {
        EnterCriticalSection(&lock);
        std::vector<bool> copy = events;
        LeaveCriticalSection(&lock);
        return copy;
    }
};

ConnectionLog g_connections;

void OnConnection(bool connected)
{
    g_connections.Add(connected);
}

}  // namespace

// The connection thread of the Windows build with the real transport and
// window: only the list of present USB interfaces is the test's, as Wine's
// SetupAPI lists no serial port. Unplugging is the interface leaving the list
// and the device-change broadcast reaching the window.
WIN_TEST(ConnectionLifeCycleThroughTheDeviceChangeWindow)
{
    const char* interfacePath = SimulatorInterface();
    if (interfacePath == nullptr)
        return;
    HWND window = MonitorWindow();
    CHECK(window != nullptr);
    const std::vector<DeviceInterfaceEntry> present = {
        {"\\\\?\\usb#vid_1234&pid_5678#other", "Other instrument (COM3)"},
        {interfacePath, "USB Serial Device (COM7)"}};
    const std::vector<DeviceInterfaceEntry> unplugged = {present[0]};
    SetDeviceInterfacesForTesting(&present);

    // The COM number comes from the friendly name.
    CHECK(!VasqConnect(5, 1500));
    CHECK(!DeviceIsConnected(DefaultDevice()));
    CHECK(VasqConnect(7, 10000));
    CHECK(std::string(DefaultDevice().m_szDevicePath) == interfacePath);
    CHECK(VasqConnect(-1, 0));  // already connected on an acceptable port
    VasqFree();
    CHECK(!DeviceIsConnected(DefaultDevice()));

    CHECK(VasqInit(OnConnection));
    CHECK(wintest::WaitFor([] { return g_connections.Events().size() == 1; }, 10000));
    CHECK(g_connections.Events()[0]);
    CHECK(wintest::WaitFor([] { return RegisteredNotifyEvent(DEVICE_CHANGE_EVENT) == &WinEventCb; }, 5000));
    CHECK(strlen(VasqGetSerialNumber()) == 14);

    // Another device's arrival wakes the thread, which finds its own still there.
    SendMessageA(window, WM_DEVICECHANGE, 0x8000, 0);
    MODEL_INFORMATION model = {};
    CHECK(VasqGetDeviceInformation(&model) == 1);
    CHECK(DeviceIsConnected(DefaultDevice()));

    SetDeviceInterfacesForTesting(&unplugged);
    SendMessageA(window, WM_DEVICECHANGE, 0x8004, 0);
    CHECK(wintest::WaitFor([] { return g_connections.Events().size() >= 2; }, 5000));
    CHECK(!g_connections.Events()[1]);
    CHECK(!DeviceIsConnected(DefaultDevice()));
    CHECK(wintest::WaitFor([] { return RegisteredNotifyEvent(DEVICE_CHANGE_EVENT) == nullptr; }, 5000));

    SetDeviceInterfacesForTesting(&present);
    CHECK(wintest::WaitFor([] { return g_connections.Events().size() >= 3; }, 10000));
    const std::vector<bool> events = g_connections.Events();
    CHECK_EQ(3u, static_cast<unsigned>(events.size()));
    CHECK(events[2]);
    VasqFree();
    CHECK(!DeviceIsConnected(DefaultDevice()));
    SetDeviceInterfacesForTesting(nullptr);
}

namespace {

bool Accept(Device&)
{
    return true;
}

std::atomic<int> g_losses{0};

void CountLoss(Device&)
{
    g_losses.fetch_add(1);
}


}  // namespace

// Only an error that says the device is gone makes the port failed; then the
// handler handed down hears of it once, at once, and the port counts as failed
// until the next opening. Any other failed transfer fails only itself.
WIN_TEST(OnlyAGoneDeviceFailsThePortAndCallsTheLossHandlerOnce)
{
    Instrument instrument;
    char folder[MAX_PATH] = {};
    char path[MAX_PATH] = {};
    CHECK(GetTempPathA(sizeof(folder), folder) != 0);
    CHECK(GetTempFileNameA(folder, "vsq", 0, path) != 0);
    SetDeviceProbe(Accept);
    SetDeviceLossHandler(CountLoss);
    g_losses.store(0);
    // A plain file is no serial port: the line's state cannot be read, and a
    // read at its end fails. Neither means that anything was removed.
    CHECK(OpenDevicePath(instrument, path, 9));
    uint8_t buffer[7] = {};
    CHECK_EQ(-1, DeviceReadAvailable(instrument, buffer, sizeof(buffer)));
    CHECK_EQ(0, DeviceReadData(instrument, buffer, sizeof(buffer)));
    CHECK(!DevicePortFailed(instrument));
    CHECK_EQ(0, g_losses.load());
    CHECK(DeviceClose(instrument));

    // A pipe whose other end went away says the device is gone.
    char pipeName[64];
    snprintf(pipeName, sizeof(pipeName), "\\\\.\\pipe\\vasq-removed-%lu", GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeA(pipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    CHECK(server != INVALID_HANDLE_VALUE);
    CHECK(OpenDevicePath(instrument, pipeName, 9));
    CHECK_EQ(3, DeviceWriteData(instrument, reinterpret_cast<const uint8_t*>("abc"), 3));
    CHECK(!DevicePortFailed(instrument));
    CHECK(DisconnectNamedPipe(server));
    CHECK_EQ(0, DeviceWriteData(instrument, reinterpret_cast<const uint8_t*>("abc"), 3));
    CHECK(DevicePortFailed(instrument));
    CHECK_EQ(1, g_losses.load());
    ClearReason();
    CHECK(!SendPacket(instrument, CATEGORY_PARAMETER, COMMAND_STREAM, nullptr, 0));
    CHECK_EQ(static_cast<int>(kErrorDeviceLost), ReasonCode());
    CHECK_EQ(-1, DeviceReadAvailable(instrument, buffer, sizeof(buffer)));
    CHECK_EQ(0, DeviceReadData(instrument, buffer, sizeof(buffer)));
    CHECK_EQ(1, g_losses.load());
    CHECK(DeviceClose(instrument));
    CloseHandle(server);
    CHECK(OpenDevicePath(instrument, path, 9));
    CHECK(!DevicePortFailed(instrument));
    CHECK(DeviceClose(instrument));
    SetDeviceLossHandler(OnInstrumentLost);
    SetDeviceProbe(ProbeInstrument);
    DeleteFileA(path);
}

namespace {

ConnectionLog g_failureConnections;

void OnConnectionDuringFailures(bool connected)
{
    g_failureConnections.Add(connected);
}

}  // namespace

// A transfer that fails, or an exchange that gets no answer, fails that call
// only: the device stays connected and answers the next call. Its unplugging
// is still a loss.
WIN_TEST(FailedTransfersLeaveTheDeviceConnectedUntilItIsUnplugged)
{
    const char* interfacePath = SimulatorInterface();
    if (interfacePath == nullptr)
        return;
    HWND window = MonitorWindow();
    CHECK(window != nullptr);
    const std::vector<DeviceInterfaceEntry> present = {{interfacePath, "USB Serial Device (COM7)"}};
    const std::vector<DeviceInterfaceEntry> unplugged;
    SetDeviceInterfacesForTesting(&present);
    CHECK(VasqInit(OnConnectionDuringFailures));
    CHECK(wintest::WaitFor([] { return g_failureConnections.Events().size() == 1; }, 10000));
    CHECK(g_failureConnections.Events()[0]);
    CHECK(wintest::WaitFor([] { return RegisteredNotifyEvent(DEVICE_CHANGE_EVENT) == &WinEventCb; }, 5000));

    // The system refuses a transfer whose buffer it may not use.
    uint8_t* readOnly = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READONLY));
    uint8_t* noAccess = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    CHECK(readOnly != nullptr && noAccess != nullptr);
    {
        CAutoCriticalSection lock(DefaultDevice().m_APICriticalSection);
        const ULONGLONG start = GetTickCount64();
        CHECK_EQ(0, DeviceReadData(DefaultDevice(), readOnly, 7));
        CHECK_EQ(0, DeviceWriteData(DefaultDevice(), noAccess, 7));
        printf("  the refused transfers returned after %llu ms\n", GetTickCount64() - start);
        // An answer that never comes: nothing was asked.
        uint8_t answer[16] = {};
        CHECK(!ReceivePacket(DefaultDevice(), answer, sizeof(answer), 0, nullptr));
    }
    VirtualFree(readOnly, 0, MEM_RELEASE);
    VirtualFree(noAccess, 0, MEM_RELEASE);
    // The device-change window wakes the connection thread, whose presence check finds the device.
    SendMessageA(window, WM_DEVICECHANGE, 0x0007, 0);
    CHECK(!wintest::WaitFor([] { return g_failureConnections.Events().size() > 1; }, 500));
    CHECK(VasqSetPressureUnit(0) == 1);
    CHECK_EQ(0, VasqGetPressureUnit());
    CHECK(!DevicePortFailed(DefaultDevice()));

    SetDeviceInterfacesForTesting(&unplugged);
    SendMessageA(window, WM_DEVICECHANGE, 0x8004, 0);
    CHECK(wintest::WaitFor([] { return g_failureConnections.Events().size() == 2; }, 5000));
    CHECK(!g_failureConnections.Events()[1]);
    CHECK(!DeviceIsConnected(DefaultDevice()));
    VasqFree();
    SetDeviceInterfacesForTesting(nullptr);
}

namespace {

std::atomic<bool> g_arrived{false};

void OnArrival(bool connected)
{
    if (connected)
        g_arrived.store(true);
}

}  // namespace

// The broadcast of a device's arrival ends the search's pause at once, so the
// device is connected without waiting for the next attempt.
WIN_TEST(DeviceChangeEndsTheSearchPause)
{
    const char* interfacePath = SimulatorInterface();
    if (interfacePath == nullptr)
        return;
    HWND window = MonitorWindow();
    CHECK(window != nullptr);
    const std::vector<DeviceInterfaceEntry> none;
    const std::vector<DeviceInterfaceEntry> present = {{interfacePath, "USB Serial Device (COM7)"}};
    SetDeviceInterfacesForTesting(&none);
    g_arrived.store(false);
    CHECK(VasqInit(OnArrival));
    // Most likely inside the 1 s pause after a failed attempt by now; the
    // result does not depend on it, only what the figure measures does.
    Sleep(100);
    SetDeviceInterfacesForTesting(&present);
    const ULONGLONG start = GetTickCount64();
    SendMessageA(window, WM_DEVICECHANGE, 0x0007, 0);  // the device nodes changed
    CHECK(wintest::WaitFor([] { return g_arrived.load(); }, 10000));
    const ULONGLONG took = GetTickCount64() - start;
    printf("  connected %llu ms after the broadcast\n", took);
    CHECK(took < 500);  // the pause alone would have lasted about 900 ms more
    VasqFree();
    CHECK(!DeviceIsConnected(DefaultDevice()));
    SetDeviceInterfacesForTesting(nullptr);
}

// A Vasq9 whose friendly name shows no COM number is found only by a search
// for any port; once connected it is the answer to such a search at once.
WIN_TEST(DeviceWithoutAComNumberAnswersASearchForAnyPort)
{
    const char* interfacePath = SimulatorInterface();
    if (interfacePath == nullptr)
        return;
    const std::vector<DeviceInterfaceEntry> present = {{interfacePath, "USB Serial Device"}};
    SetDeviceInterfacesForTesting(&present);
    CHECK(!VasqConnect(7, 1500));
    CHECK(VasqConnect(-1, 10000));
    CHECK_EQ(-1, DeviceOpenPortNumber(DefaultDevice()));
    const uint64_t connection = DeviceConnectionNumber(DefaultDevice());
    CHECK(VasqConnect(-1, 0));
    CHECK(DeviceIsConnected(DefaultDevice()));
    CHECK_EQ(static_cast<unsigned long long>(connection), static_cast<unsigned long long>(DeviceConnectionNumber(DefaultDevice())));
    // A numbered request is not answered by it: the wait runs out and frees it.
    CHECK(!VasqConnect(7, 0));
    CHECK(!DeviceIsConnected(DefaultDevice()));
    VasqFree();
    SetDeviceInterfacesForTesting(nullptr);
}

namespace {

std::string SearchOutcome(int* code)
{
    char text[kReasonSize] = {};
    LastSearchOutcome(code, text, sizeof(text));
    printf("  outcome %d: %s\n", *code, text);
    return text;
}

bool Has(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

void CollectLog(int, const char* message, void* context)
{
    static_cast<std::vector<std::string>*>(context)->push_back(message);
}

}  // namespace

// A search that takes no port tells why, port by port, with the code of the
// most telling fate: another program holding a port outweighs a port that
// does not answer. Files stand in for ports that the simulated device cannot
// play: Wine lets a second opener share a serial port, but not a file; and a
// file answers a request with the request itself, as a transfer starts at
// offset 0.
WIN_TEST(SearchTellsEachPortsFate)
{
    Instrument instrument;
    const char* interfacePath = SimulatorInterface();
    if (interfacePath == nullptr)
        return;
    const char* silentPath = getenv("VASQ_SILENT_INTERFACE");
    if (silentPath == nullptr || silentPath[0] == '\0') {
        wintest::Skip("VASQ_SILENT_INTERFACE names no interface path mapped to a device that never answers");
        return;
    }
    char folder[MAX_PATH] = {};
    CHECK(GetTempPathA(sizeof(folder), folder) != 0);
    const std::string prefix = std::string(folder) + "usb#vid_04d8&pid_0000#";
    const std::string suffix = std::to_string(GetCurrentProcessId());
    const std::string echo = prefix + "echo-" + suffix;
    const std::string held = prefix + "held-" + suffix;
    const std::string gone = prefix + "gone-" + suffix;
    CloseHandle(CreateFileA(echo.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    // Another program's handle, opened without sharing.
    const HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    // A line holds a few fates: two searches tell of them all.
    const std::vector<DeviceInterfaceEntry> present = {
        {"\\\\?\\usb#vid_1234&pid_5678#other", "Other Instrument (COM8)"},
        {"\\\\?\\usb#vid_1234&pid_5678#mouse", "USB Input Device"},
        {gone, "USB Serial Device (COM9)"},
        {held, "USB Serial Device (COM12)"},
    };
    const std::vector<DeviceInterfaceEntry> answering = {{silentPath, "USB Serial Device (COM10)"},
                                                         {echo, "USB Serial Device (COM11)"}};
    std::vector<std::string> log;
    SetLogSink(CollectLog, kLogInfo, &log);
    SetDeviceInterfacesForTesting(&present);
    const bool foundBusy = FindDevice(instrument, -1);
    int busyCode = -1;
    const std::string busyText = SearchOutcome(&busyCode);
    SetDeviceInterfacesForTesting(&answering);
    const bool foundSilent = FindDevice(instrument, -1);
    SetLogSink(nullptr, 0, nullptr);
    CloseHandle(holder);
    DeleteFileA(echo.c_str());
    CHECK(holder != INVALID_HANDLE_VALUE);
    CHECK(!foundBusy && !foundSilent);
    CHECK_EQ(static_cast<int>(kErrorPortBusy), busyCode);
    CHECK(Has(busyText, "COM8: skipped, the USB ids are another instrument's; "));
    CHECK(!Has(busyText, "mouse"));
    CHECK(Has(busyText, "COM9: cannot open, gone since it was listed: "));
    CHECK(Has(busyText, "COM12: cannot open, in use by another program: "));
    int code = -1;
    std::string text = SearchOutcome(&code);
    CHECK_EQ(static_cast<int>(kErrorNotFound), code);
    CHECK(Has(text, "COM10: no identity: no answer to "));
    CHECK(Has(text, "COM11: answered, but is not a Vasq9"));
    for (const char* port :
         {"search: COM8: ", "search: COM9: ", "search: COM10: ", "search: COM11: ", "search: COM12: "}) {
        bool logged = false;
        for (const std::string& line : log)
            logged = logged || line.compare(0, strlen(port), port) == 0;
        if (!logged)
            wintest::Fail(__FILE__, __LINE__, std::string("no log line ") + port);
    }

    // A search for one port tells of that port only.
    const std::vector<DeviceInterfaceEntry> device = {
        {"\\\\?\\usb#vid_1234&pid_5678#other", "Other Instrument (COM8)"},
        {interfacePath, "USB Serial Device (COM7)"}};
    SetDeviceInterfacesForTesting(&device);
    SetDeviceProbe(Refuse);
    const bool refused = FindDevice(instrument, 7);
    SetDeviceProbe(ProbeInstrument);
    CHECK(!refused);
    text = SearchOutcome(&code);
    CHECK_EQ(static_cast<int>(kErrorNotFound), code);
    CHECK(text == "COM7: answered, but is not a Vasq9");
    CHECK(!FindDevice(instrument, 5));
    text = SearchOutcome(&code);
    CHECK_EQ(static_cast<int>(kErrorNotFound), code);
    CHECK(Has(text, "COM5: ") && !Has(text, "COM8"));

    CHECK(FindDevice(instrument, -1));
    text = SearchOutcome(&code);
    CHECK_EQ(static_cast<int>(kErrorNone), code);
    CHECK(text.empty());
    CHECK(DeviceClose(instrument));
    SetDeviceInterfacesForTesting(nullptr);
}

namespace {

std::atomic<int> g_samples{0};
std::atomic<int> g_bpStatus{-1};
std::atomic<int> g_bpReports{0};

void OnSample(double)
{
    g_samples.fetch_add(1);
}

void OnBP(VasqStatus status, double, double, double, double)
{
    g_bpStatus.store(status);
    g_bpReports.fetch_add(1);
}

}  // namespace

// Sampling and a BP test on the Windows timers: each worker waits on its own
// multimedia timer's event while the device answers through the COM port.
WIN_TEST(SamplingAndABPTestRunOnTheirOwnTimers)
{
    const char* interfacePath = SimulatorInterface();
    if (interfacePath == nullptr)
        return;
    const std::vector<DeviceInterfaceEntry> present = {{interfacePath, "USB Serial Device (COM7)"}};
    SetDeviceInterfacesForTesting(&present);
    CHECK(VasqConnect(-1, 10000));

    CHECK(VasqStartSampling(OnSample) == 1);
    CHECK(wintest::WaitFor([] { return g_samples.load() >= 20; }, 5000));
    const int before = g_samples.load();
    const ULONGLONG start = GetTickCount64();
    wintest::WaitFor([] { return false; }, 1000);
    const int perSecond = static_cast<int>((g_samples.load() - before) * 1000 / (GetTickCount64() - start));
    VasqStopSampling();
    printf("  sampling delivered %d samples per second\n", perSecond);
    CHECK(perSecond >= 100);

    BPCommon record = {BP_METHOD_DEFAULT, 120.0, 80.0, 72, 1.0, 0.0, 0.0};
    CHECK(VasqRunBPTest(&record, OnBP) == 1);
    CHECK(wintest::WaitFor([] { return g_bpStatus.load() == STATUS_COMPLETED; }, 15000));
    CHECK(g_bpReports.load() >= 2);
    CHECK(VasqStopTest() == 1);
    VasqFree();
    SetDeviceInterfacesForTesting(nullptr);
}

WIN_TEST(WorkingDirectoryIsTheModulesFolder)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string folder = path;
    folder.erase(folder.find_last_of('\\') + 1);
    CHECK(g_Instance.GetWorkingDirectory() == folder);
}

int main(int argc, char** argv)
{
    return wintest::RunAll(argc, argv);
}

namespace {

struct CountedSamples {
    std::atomic<int> count{0};
    static void Take(double, void* context) { static_cast<CountedSamples*>(context)->count.fetch_add(1); }
};

// The interfaces of the two simulated instruments, COM7 and COM8; empty (and
// the test skipped) when the test script mapped no second one.
std::vector<DeviceInterfaceEntry> TwoInstruments()
{
    const char* firstPath = SimulatorInterface();
    const char* secondPath = getenv("VASQ_SIM2_INTERFACE");
    if (firstPath == nullptr)
        return {};
    if (secondPath == nullptr || secondPath[0] == '\0') {
        wintest::Skip("VASQ_SIM2_INTERFACE names no interface path mapped to a second simulated device");
        return {};
    }
    return {{firstPath, "USB Serial Device (COM7)"}, {secondPath, "USB Serial Device (COM8)"}};
}

}  // namespace

// Two instruments on two COM ports in one process: each device finds its own,
// never the port the other one holds, and each keeps its own unit and stream.
namespace {

// The log's lines, from whichever thread logs them.
struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;
    static void Take(int, const char* message, void* context)
    {
        auto* self = static_cast<LogLines*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->lines.emplace_back(message);
    }
    size_t Starting(const std::string& start)
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t count = 0;
        for (const std::string& line : lines)
            count += line.compare(0, start.size(), start) == 0 ? 1 : 0;
        return count;
    }
};

}  // namespace

WIN_TEST(TwoDevicesOnTwoComPorts)
{
    const std::vector<DeviceInterfaceEntry> present = TwoInstruments();
    if (present.empty())
        return;
    SetDeviceInterfacesForTesting(&present);
    VasqDevice* first = VasqOpenDevice(-1, 10000);
    VasqDevice* second = VasqOpenDevice(-1, 10000);
    CHECK(first != nullptr && second != nullptr);
    CHECK_EQ(7, VasqDeviceGetPortNumber(first));
    CHECK_EQ(8, VasqDeviceGetPortNumber(second));
    CHECK(std::string(VasqDeviceGetSerialNumber(first)) != VasqDeviceGetSerialNumber(second));
    CHECK(VasqOpenDevice(-1, 500) == nullptr);  // both instruments are held

    // Each device's frames name its own COM port and instrument.
    LogLines log;
    VasqSetLogCallback(LogLines::Take, VASQ_LOG_DEBUG, &log);
    CHECK_EQ(1, VasqDeviceSetPressureUnit(second, 1));
    CHECK_EQ(0, VasqDeviceGetPressureUnit(first));
    CHECK_EQ(1, VasqDeviceGetPressureUnit(second));
    VasqSetLogCallback(nullptr, 0, nullptr);
    const std::string firstLabel = std::string("COM7 ") + VasqDeviceGetSerialNumber(first) + ": ";
    const std::string secondLabel = std::string("COM8 ") + VasqDeviceGetSerialNumber(second) + ": ";
    CHECK_EQ(size_t{1}, log.Starting(firstLabel + "-> P/3 "));
    CHECK(log.Starting(secondLabel + "-> P/3 ") >= 1);
    // The unit was written to the second only.
    CHECK(log.Starting(secondLabel + "-> P/131 ") >= 1);
    CHECK_EQ(size_t{0}, log.Starting(firstLabel + "-> P/131 "));
    CountedSamples firstSamples, secondSamples;
    CHECK_EQ(1, VasqDeviceStartSampling(first, CountedSamples::Take, &firstSamples));
    CHECK_EQ(1, VasqDeviceStartSampling(second, CountedSamples::Take, &secondSamples));
    CHECK(wintest::WaitFor([&] { return firstSamples.count.load() >= 100 && secondSamples.count.load() >= 100; },
                           5000));
    VasqDeviceSetPressureUnit(second, 0);
    VasqCloseDevice(first);
    VasqCloseDevice(second);
    SetDeviceInterfacesForTesting(nullptr);
}

namespace {

struct DeviceConnections {
    ConnectionLog log;
    static void Take(bool connected, void* context) { static_cast<DeviceConnections*>(context)->log.Add(connected); }
    size_t Count() { return log.Events().size(); }
    bool Last() { return log.Events().back(); }
};

}  // namespace

// Two devices, one disconnecting while the other connects, again and again:
// the device that connected keeps the watch of the broadcasts, so its own
// unplug in the next round is noticed.
WIN_TEST(OneDevicesDisconnectLeavesTheOthersWatch)
{
    const std::vector<DeviceInterfaceEntry> entries = TwoInstruments();
    if (entries.empty())
        return;
    HWND window = MonitorWindow();
    CHECK(window != nullptr);
    std::vector<DeviceInterfaceEntry> present = entries;
    SetDeviceInterfacesForTesting(&present);
    VasqDevice* devices[2] = {VasqOpenDevice(7, 10000), VasqOpenDevice(8, 10000)};
    CHECK(devices[0] != nullptr && devices[1] != nullptr);
    DeviceConnections changes[2];
    for (int i = 0; i < 2; ++i)
        CHECK_EQ(1, VasqDeviceSetConnectionCallback(devices[i], DeviceConnections::Take, &changes[i]));

    // The second instrument is unplugged first; then each round unplugs the
    // connected one and plugs the other in with one broadcast.
    present = {entries[0]};
    SetDeviceInterfacesForTesting(&present);
    SendMessageA(window, WM_DEVICECHANGE, 0x8004, 0);
    CHECK(wintest::WaitFor([&] { return changes[1].Count() == 1; }, 5000));
    int unnoticed = 0;
    constexpr int kRounds = 8;
    for (int round = 0; round < kRounds; ++round) {
        const int leaving = round % 2;
        const int arriving = 1 - leaving;
        const size_t leftBefore = changes[leaving].Count();
        const size_t arrivedBefore = changes[arriving].Count();
        present = {entries[arriving]};
        SetDeviceInterfacesForTesting(&present);
        SendMessageA(window, WM_DEVICECHANGE, 0x8004, 0);
        if (!wintest::WaitFor([&] { return changes[leaving].Count() > leftBefore; }, 5000)) {
            ++unnoticed;
            break;  // the watch was lost: no later round can tell more
        }
        CHECK(!changes[leaving].Last());
        CHECK(wintest::WaitFor([&] { return changes[arriving].Count() > arrivedBefore; }, 10000));
        CHECK(changes[arriving].Last());
        CHECK(wintest::WaitFor([] { return RegisteredNotifyEvent(DEVICE_CHANGE_EVENT) == &WinEventCb; }, 5000));
    }
    printf("  %d rounds of one disconnect beside one connect, %d unplugs unnoticed\n", kRounds, unnoticed);
    CHECK_EQ(0, unnoticed);
    VasqCloseDevice(devices[0]);
    VasqCloseDevice(devices[1]);
    CHECK(RegisteredNotifyEvent(DEVICE_CHANGE_EVENT) == nullptr);
    SetDeviceInterfacesForTesting(nullptr);
}
