// The hidden window that passes the system's device-change broadcasts to the
// connection thread; it lives on a thread of its own from load to unload.
#include <windows.h>
#include <stdio.h>

#include <atomic>
#include <map>
#include <set>

#include "device/Device.h"
#include "device/Monitor.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"
#include "platform/ProcessObjects.h"
#include "windows/Threads.h"

unsigned long g_hMonitorWindowThread = 0;
char g_szMonitorWindowClass[128];

namespace {

const char kClassFormat[] = "MsgMonitorWnd-Vasq9{5d2e8c41-9b7a-4f06-b3c5-2e71a9d04f68}-%03d";
const char kWindowTitle[] = "title";
constexpr int kClassIndexes = 1000;
// How long the unload waits for the window thread to enter the library's code,
// and then for its window to pump messages.
constexpr uint32_t kEnterWaitMs = 100;
constexpr DWORD kStartWaitMs = 2000;

// The window procedure reads it on the window thread while the connection
// thread registers and clears entries.
// The monitors that watch the broadcasts: the entry of the device-change code
// holds WinEventCb exactly while one of them does.
struct NotifyRegistry {
    SRWLOCK lock = SRWLOCK_INIT;
    std::map<uint32_t, NotifyEventCallback> callbacks;
    std::set<const CAutoMonitor*> watching;
};

// Outlives the devices, whose monitors leave it when they end.
NotifyRegistry g_mapNotifyEvent VASQ_INIT_PLATFORM;

std::atomic<DeviceLossFn> s_lossNotifier{nullptr};

// Set by the window thread once its window pumps messages (or it gave up), so
// that the unload can post it the quit message.
CManualResetEvent s_windowThreadReady VASQ_INIT_DEVICE(false);
DWORD s_windowThreadId = 0;

LRESULT CALLBACK MonitorWindowProc(HWND window, UINT message, WPARAM first, LPARAM second)
{
    // A device that arrives is searched for at once, not after the search's pause.
    if (message == WM_DEVICECHANGE)
        ForEachDevice(DeviceStopSearch);
    const NotifyEventCallback callback = RegisteredNotifyEvent(message);
    if (callback != nullptr)
        callback(message, static_cast<uint32_t>(first), static_cast<unsigned long>(second));
    return DefWindowProcA(window, message, first, second);
}

// Runs the window under the first free class name until the quit message,
// then destroys it and unregisters its class, so nothing of it outlives the unload.
void* MonitorWindowThread(void* classBuffer)
{
    char* className = static_cast<char*>(classBuffer);
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    s_windowThreadId = GetCurrentThreadId();

    const HINSTANCE instance = GetModuleHandleA(nullptr);
    for (int index = 0; index < kClassIndexes; ++index) {
        snprintf(className, sizeof(g_szMonitorWindowClass), kClassFormat, index);
        WNDCLASSEXA windowClass = {};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.style = CS_DBLCLKS;
        windowClass.lpfnWndProc = MonitorWindowProc;
        windowClass.hInstance = instance;
        windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
        windowClass.hIconSm = windowClass.hIcon;
        windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        windowClass.lpszClassName = className;
        if (RegisterClassExA(&windowClass) == 0)
            continue;
        HWND window = CreateWindowExA(0, className, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                      CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
        if (window == nullptr) {
            // A class left behind would name this library's procedure after the unload.
            UnregisterClassA(className, instance);
            continue;
        }
        s_windowThreadReady.SetEvent();
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        DestroyWindow(window);
        UnregisterClassA(className, instance);
        break;
    }
    s_windowThreadReady.SetEvent();
    return nullptr;
}

}  // namespace

namespace {

// One window serves every device, from load to unload.
class MonitorWindow {
public:
    MonitorWindow()
    {
        m_started = CreateThread(&g_hMonitorWindowThread, MonitorWindowThread, g_szMonitorWindowClass) != 0;
    }
    ~MonitorWindow();

private:
    bool m_started = false;
};

// Runs inside the loader's lock at unload: the window thread is asked to quit
// and leaves the library's code before this returns (see JoinThread).
MonitorWindow::~MonitorWindow()
{
    if (!m_started)
        return;
    const HANDLE thread = LongToHandle(static_cast<long>(g_hMonitorWindowThread));
    // A thread that never entered is ended by the join (see JoinThread).
    if (WaitThreadEntered(g_hMonitorWindowThread, kEnterWaitMs)) {
        HANDLE started[2] = {s_windowThreadReady.Handle(), thread};
        const DWORD result = ::WaitForMultipleObjects(2, started, FALSE, kStartWaitMs);
        if (result == WAIT_OBJECT_0) {
            PostThreadMessageA(s_windowThreadId, WM_QUIT, 0, 0);
        } else if (result == WAIT_TIMEOUT) {
            // Its set-up waits for the loader's lock that this unload holds
            // (a system library being loaded for the window): it cannot finish.
            TerminateThread(thread, 0);
        }
    }
    JoinThread(g_hMonitorWindowThread);
    g_hMonitorWindowThread = 0;
}

MonitorWindow VASQ_INIT_MONITOR s_window;

}  // namespace

// A device's watch is the window's broadcasts: it has no thread of its own.
CAutoMonitor::CAutoMonitor(Device& device) : m_device(device) {}

CAutoMonitor::~CAutoMonitor()
{
    EndDeviceChangeWatch(*this);
}

void CAutoMonitor::StartMonitor()
{
    AcquireSRWLockExclusive(&g_mapNotifyEvent.lock);
    g_mapNotifyEvent.watching.insert(this);
    g_mapNotifyEvent.callbacks[DEVICE_CHANGE_EVENT] = WinEventCb;
    ReleaseSRWLockExclusive(&g_mapNotifyEvent.lock);
}

void EndDeviceChangeWatch(CAutoMonitor& monitor)
{
    AcquireSRWLockExclusive(&g_mapNotifyEvent.lock);
    g_mapNotifyEvent.watching.erase(&monitor);
    if (g_mapNotifyEvent.watching.empty())
        g_mapNotifyEvent.callbacks[DEVICE_CHANGE_EVENT] = nullptr;
    ReleaseSRWLockExclusive(&g_mapNotifyEvent.lock);
}

void RegisterNotifyEvent(uint32_t code, NotifyEventCallback callback)
{
    AcquireSRWLockExclusive(&g_mapNotifyEvent.lock);
    g_mapNotifyEvent.callbacks[code] = callback;
    ReleaseSRWLockExclusive(&g_mapNotifyEvent.lock);
}

NotifyEventCallback RegisteredNotifyEvent(uint32_t code, bool* present)
{
    AcquireSRWLockShared(&g_mapNotifyEvent.lock);
    const auto found = g_mapNotifyEvent.callbacks.find(code);
    const bool known = found != g_mapNotifyEvent.callbacks.end();
    const NotifyEventCallback callback = known ? found->second : nullptr;
    ReleaseSRWLockShared(&g_mapNotifyEvent.lock);
    if (present != nullptr)
        *present = known;
    return callback;
}

void WinEventCb(uint32_t code, uint32_t /*first*/, unsigned long /*second*/)
{
    if (code != DEVICE_CHANGE_EVENT)
        return;
    const DeviceLossFn notify = s_lossNotifier.load();
    if (notify == nullptr)
        return;
    // Each device checks whether its own port is still there.
    ForEachDevice(notify);
}

void SetMonitorLossNotifier(DeviceLossFn notify)
{
    s_lossNotifier.store(notify);
}
