#include "api/Connection.h"

#include "api/Runners.h"
#include "device/Monitor.h"
#include "device/Transport.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/Identity.h"

unsigned long g_hConnectDeviceThread = 0;
std::atomic<int> g_bStopConnectDeviceThread{0};
std::atomic<ConnectedCallback> g_ConnectedCallback{nullptr};
std::atomic<int> g_bConnected{0};
std::atomic<int> g_nPortNumber{-1};

namespace {

// Set when VasqFree runs on the connection thread itself (from the connection
// callback): the thread cannot join itself, so it ends by itself and leaves
// its handle to be joined by the next VasqInit, VasqConnect, VasqFree or the
// unload. It is not detached: the unload must know it has left the library's code.
std::atomic<bool> s_releaseSelf{false};
unsigned long s_threadToReap = 0;
// Set by a thread that released itself, once it is about to end.
CManualResetEvent s_releasedThreadEnded VASQ_INIT_LIFETIME(false);

constexpr uint32_t kSearchRetryPauseMs = 10;

bool OnConnectionThread()
{
    return IsCurrentThread(g_hConnectDeviceThread);
}

void WaitWhileConnected()
{
    for (;;) {
        if (g_bStopConnectDeviceThread.load() != 0)
            return;
        g_hReconnectEvent.Wait();
        if (!DeviceIsAlive())
            return;
    }
}

void Disconnect()
{
    {
        CAutoCriticalSection lock(g_APICriticalSection);
        NotifyDeviceAPConnected(false);
    }
    DeviceClose();
    ClearDeviceIdentity();
    RegisterNotifyEvent(DEVICE_CHANGE_EVENT, nullptr);
    NotifyListener(false);
}

void ReapReleasedThread()
{
    unsigned long thread;
    {
        CAutoCriticalSection lock(g_APICriticalSection);
        thread = s_threadToReap;
        s_threadToReap = 0;
    }
    JoinThread(thread);
}

void StopConnectionThread()
{
    bool running;
    {
        CAutoCriticalSection lock(g_APICriticalSection);
        running = g_hConnectDeviceThread != 0;
    }
    if (!running) {
        ReapReleasedThread();
        return;
    }
    unsigned long thread;
    bool self;
    bool releasing;
    {
        CAutoCriticalSection lock(g_APICriticalSection);
        g_bStopConnectDeviceThread.store(1);
        g_ConnectedCallback.store(nullptr);
        ReconnectDevice();
        thread = g_hConnectDeviceThread;
        self = OnConnectionThread();
        releasing = s_releaseSelf.load();
        if (self && !releasing) {
            s_releasedThreadEnded.ResetEvent();
            s_releaseSelf.store(true);
        }
    }
    if (self)
        return;  // the thread ends by itself once its callback returns
    if (releasing) {
        // A callback already released the thread: wait for it to hand itself over.
        s_releasedThreadEnded.Wait();
        ReapReleasedThread();
        return;
    }
    JoinThread(thread);
    CAutoCriticalSection lock(g_APICriticalSection);
    if (g_hConnectDeviceThread == thread)
        g_hConnectDeviceThread = 0;
}

// At unload the connection thread must end before the code it runs goes away.
struct LibraryLifetime {
    ~LibraryLifetime() { VasqFree(); }
};
LibraryLifetime VASQ_INIT_LIFETIME s_lifetime;

}  // namespace

void ReconnectDevice()
{
    g_hReconnectEvent.SetEvent();
}

void NotifyListener(bool connected)
{
    g_bConnected.store(connected ? 1 : 0);
    const ConnectedCallback callback = g_ConnectedCallback.load();
    if (callback != nullptr)
        callback(connected);
}

void ConnectedHandler(bool connected)
{
    if (connected)
        g_hConnectedEvent.SetEvent();
}

bool ConnectionThreadRunning()
{
    CAutoCriticalSection lock(g_APICriticalSection);
    return g_hConnectDeviceThread != 0;
}

// Decides under the API lock whether the thread ends, so that a VasqInit that
// clears the stop request meanwhile keeps it running.
static bool ConnectionThreadEnds()
{
    if (g_bStopConnectDeviceThread.load() == 0)
        return false;
    CAutoCriticalSection lock(g_APICriticalSection);
    if (g_bStopConnectDeviceThread.load() == 0)
        return false;
    if (s_releaseSelf.exchange(false)) {
        s_threadToReap = g_hConnectDeviceThread;
        g_hConnectDeviceThread = 0;
        s_releasedThreadEnded.SetEvent();
    }
    return true;
}

void* ConnectDeviceThread(void* /*unused*/)
{
    while (!ConnectionThreadEnds()) {
        if (!DeviceConnect(g_nPortNumber.load(), 1)) {
            SleepEx(kSearchRetryPauseMs);
            continue;
        }
        {
            CAutoCriticalSection lock(g_APICriticalSection);
            NotifyDeviceAPConnected(true);
            ResetAirPort();
        }
        NotifyListener(true);
        g_AutoMonitor.StartMonitor();
        WaitWhileConnected();
        Disconnect();
    }
    return nullptr;
}

bool DoInit(ConnectedCallback callback)
{
    ReapReleasedThread();
    CAutoCriticalSection lock(g_APICriticalSection);
    g_hReconnectEvent.ResetEvent();
    g_bStopConnectDeviceThread.store(0);
    s_releaseSelf.store(false);
    g_ConnectedCallback.store(callback);
    if (g_hConnectDeviceThread != 0)
        return true;
    return CreateThread(&g_hConnectDeviceThread, ConnectDeviceThread, nullptr) != 0;
}

bool VasqInit(ConnectedCallback callback)
{
    g_nPortNumber.store(-1);
    return DoInit(callback);
}

bool VasqConnect(int portNumber, uint32_t timeoutMs)
{
    g_nPortNumber.store(portNumber);
    g_hConnectedEvent.ResetEvent();
    if (!DoInit(ConnectedHandler))
        return false;
    {
        // A device already connected on an acceptable port is the answer at once.
        CAutoCriticalSection lock(g_APICriticalSection);
        const int open = DeviceOpenPortNumber();
        if (g_bConnected.load() != 0 && open != -1 && (portNumber == -1 || portNumber == open))
            return true;
    }
    if (g_hConnectedEvent.WaitTimeout(timeoutMs) == WAIT_SIGNALED)
        return true;
    VasqFree();
    return false;
}

void VasqFree()
{
    VasqStopSampling();
    VasqStopTest();
    JoinTestWorkers();
    StopConnectionThread();
}
