#include "api/Connection.h"
#include "api/Instrument.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "api/ApiCall.h"
#include "api/Runners.h"
#include "api/Workers.h"
#include "device/Monitor.h"
#include "device/SearchOutcome.h"
#include "device/Transport.h"
#include "platform/InitOrder.h"
#include "platform/Platform.h"
#include "platform/ProcessObjects.h"
#include "protocol/DeviceControl.h"
#include "protocol/Identity.h"


namespace {

// One connection thread's own state. Each thread has its own stop request and
// wake-up, so a stop meant for an ending thread is never taken back by a
// VasqInit that starts the next one.
struct Run {
    unsigned long handle = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
    CManualResetEvent stopEvent{false};
};

// What a VasqConnect waits on: every connection change and every release
// counts up here, so that all callers waiting at once see the device they
// wait for, and a release ends every wait.
struct ConnectWaits {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t changes = 0;
    uint64_t releases = 0;
};

}  // namespace

// A device's connection threads and what its connects wait on.
struct ConnectionState {
    // Under the API lock: the thread that runs now, and the threads that were
    // told to stop and are not yet joined. Exactly one caller joins a handle:
    // the one that takes it out of the list.
    Run* run = nullptr;
    // run, readable without the lock.
    std::atomic<Run*> current{nullptr};
    std::vector<Run*> toJoin;
    // Held while joining, so that a second VasqFree returns only once the
    // thread the first one stopped is gone.
    std::mutex joinMutex;
    ConnectWaits connectWaits;
};

ConnectionState* NewConnectionState()
{
    return new ConnectionState;
}

void DeleteConnectionState(ConnectionState* state)
{
    delete state;
}

namespace {

ConnectionState& Connection()
{
    return CurrentInstrument().Connection();
}

thread_local Run* t_run = nullptr;

// At unload nothing is sent: a short-lived program relies on the device
// carrying on with what it was told.
std::atomic<bool> s_unloading{false};

constexpr uint32_t kSearchRetryPauseMs = 10;

void CountConnectEvent(uint64_t ConnectWaits::*counter)
{
    {
        std::lock_guard<std::mutex> lock(Connection().connectWaits.mutex);
        ++(Connection().connectWaits.*counter);
    }
    Connection().connectWaits.changed.notify_all();
}

bool ConnectedOnPort(int portNumber)
{
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return CurrentInstrument().m_bConnected.load() != 0 && DeviceOpenPortMatches(CurrentDevice(), portNumber);
}

enum class ConnectWait { Connected, Released, TimedOut };

ConnectWait WaitForConnection(int portNumber, uint32_t timeoutMs, uint64_t releases)
{
    const bool limited = timeoutMs != INFINITE_TIMEOUT;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(Connection().connectWaits.mutex);
            if (Connection().connectWaits.releases != releases)
                return ConnectWait::Released;
            seen = Connection().connectWaits.changes;
        }
        if (ConnectedOnPort(portNumber))
            return ConnectWait::Connected;
        std::unique_lock<std::mutex> lock(Connection().connectWaits.mutex);
        const auto changed = [&] {
            return Connection().connectWaits.changes != seen || Connection().connectWaits.releases != releases;
        };
        if (!limited) {
            Connection().connectWaits.changed.wait(lock, changed);
        } else if (!Connection().connectWaits.changed.wait_until(lock, deadline, changed)) {
            return ConnectWait::TimedOut;
        }
    }
}

void WaitWhileConnected(Run& run, uint64_t connection)
{
    CEvent* events[2] = {&run.stopEvent, &CurrentInstrument().m_hReconnectEvent};
    for (;;) {
        if (run.stop.load())
            return;
        WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT);
        if (run.stop.load())
            return;
        // A port that hung up is gone even when a node of its name is listed again.
        if (DevicePortFailed(CurrentDevice()) || DeviceConnectionNumber(CurrentDevice()) != connection || !DeviceIsAlive(CurrentDevice()))
            return;
    }
}

void Disconnect(Run& run, uint64_t connection)
{
    if (!run.stop.load())
        LogLine(kLogWarning, "the Vasq9 was lost");
    // A port that is gone or hung up cannot be told anything: the loss is
    // reported without waiting for the API lock, which a busy caller may hold.
    if (!s_unloading.load() && DeviceConnectionNumber(CurrentDevice()) == connection && !DevicePortFailed(CurrentDevice())) {
        CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
        if (DeviceConnectionNumber(CurrentDevice()) == connection)
            NotifyDeviceAPConnected(CurrentDevice(), false);
    }
    const Run* running = Connection().current.load();
    const bool current = running == &run || running == nullptr;
    DeviceCloseConnection(CurrentDevice(), connection);
    // A thread that was stopped while a new one already runs leaves the
    // identity and the connected state to the new one.
    if (!current)
        return;
    // A release leaves no port open, an adopted one included.
    if (run.stop.load())
        DeviceClose(CurrentDevice());
    ClearDeviceIdentity(CurrentDevice());
    EndDeviceChangeWatch(CurrentInstrument().Monitor());
    NotifyListener(false);
}

// Joins the stopped threads that are ready: all of them, or (without waiting)
// only those that have ended already. A connection thread (a callback that
// frees) never waits for a join: it may itself be the thread being joined. Nor
// does a test worker or the sampling thread: its callback may hold the API
// lock that the stopping thread needs to say goodbye to the device. The thread
// then ends by itself and a later call, or the unload, joins it.
void JoinStopped(bool onlyEnded)
{
    if (t_run != nullptr || OnLibraryWorkerThread())
        return;
    std::lock_guard<std::mutex> joining(Connection().joinMutex);
    std::vector<Run*> runs;
    {
        CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
        for (auto it = Connection().toJoin.begin(); it != Connection().toJoin.end();) {
            if (!onlyEnded || (*it)->ended.load()) {
                runs.push_back(*it);
                it = Connection().toJoin.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Run* run : runs) {
        JoinThread(run->handle);
        delete run;
    }
}

void StopConnectionThread()
{
    {
        CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
        if (Connection().run != nullptr) {
            Run* run = Connection().run;
            Connection().run = nullptr;
            Connection().current.store(nullptr);
            CurrentInstrument().m_hConnectDeviceThread = 0;
            CurrentInstrument().m_bStopConnectDeviceThread.store(1);
            CurrentInstrument().m_ConnectedCallback.Store({});
            run->stop.store(true);
            run->stopEvent.SetEvent();
            ReconnectDevice();
            Connection().toJoin.push_back(run);
        }
        // Counted under the API lock: a connect that started this thread sees
        // the release, one that starts the next thread does not.
        CountConnectEvent(&ConnectWaits::releases);
    }
    DeviceStopSearch(CurrentDevice());
    JoinStopped(false);
}

void* RunConnection(Run& run)
{
    while (!run.stop.load()) {
        if (!DeviceConnectHeld(CurrentDevice(), CurrentInstrument().m_nPortNumber.load(), 1)) {
            SleepEx(kSearchRetryPauseMs);
            continue;
        }
        const uint64_t connection = DeviceConnectionNumber(CurrentDevice());
        if (run.stop.load()) {
            // Released while it probed: the port is never announced, to the
            // device or the application (so no disconnection is either), and
            // its identity is not kept.
            DeviceCloseConnection(CurrentDevice(), connection);
            ClearDeviceIdentity(CurrentDevice());
            break;
        }
        {
            CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
            NotifyDeviceAPConnected(CurrentDevice(), true);
            ResetAirPort(CurrentDevice());
            // Identified and announced: from now on every caller may use the port.
            DeviceReleaseHeld(CurrentDevice());
            if (LogWanted(kLogInfo)) {
                HW_INFORMATION hw{};
                GetHWInformation(CurrentDevice(), &hw);
                LogLine(kLogInfo, "connected to %s: serial number %s, firmware %d.%d.%d",
                        DeviceNodePath(DeviceOpenPortNumber(CurrentDevice())).c_str(), FormatSerialNumber(CurrentDevice()), hw.nFWVersion1,
                        hw.nFWVersion2, hw.nFWVersion3);
            }
        }
        NotifyListener(true);
        CurrentInstrument().Monitor().StartMonitor();
        WaitWhileConnected(run, connection);
        Disconnect(run, connection);
    }
    return nullptr;
}

}  // namespace

bool ProbeInstrument(Device& device)
{
    return IsTargetDevice(device);
}

void OnInstrumentLost(Device& device)
{
    DeviceScope scope(device);
    ReconnectDevice();
}

namespace {

// The api layer hands the probe and the loss notification down to the transport and the monitor.
struct LayerHooks {
    LayerHooks()
    {
        SetDeviceProbe(ProbeInstrument);
        SetDeviceLossHandler(OnInstrumentLost);
        SetMonitorLossNotifier(OnInstrumentLost);
    }
};
LayerHooks VASQ_INIT_LIFETIME s_hooks;

// At unload the connection thread must end before the code it runs goes away;
// the port is closed and its lock file removed, and the device is told nothing.
struct LibraryLifetime {
    ~LibraryLifetime()
    {
        if (!InForkedChild())
            ReleaseConnectionAtUnload();
    }
};
LibraryLifetime VASQ_INIT_LIFETIME s_lifetime;

}  // namespace

void ReleaseConnectionAtUnload()
{
    s_unloading.store(true);
    StopConnectionThread();
    DeviceClose(CurrentDevice());
}

void ReconnectDevice()
{
    CurrentInstrument().m_hReconnectEvent.SetEvent();
}

void NotifyListener(bool connected)
{
    // Read before the change is published: a caller whose connect returns on
    // it and then registers a callback must not hear of that same connection.
    const ConnectionTarget callback = CurrentInstrument().m_ConnectedCallback.Load();
    CurrentInstrument().m_bConnected.store(connected ? 1 : 0);
    CountConnectEvent(&ConnectWaits::changes);
    if (callback)
        callback(connected);
}

void ConnectedHandler(bool connected)
{
    if (connected)
        CurrentInstrument().m_hConnectedEvent.SetEvent();
}

bool ConnectionThreadRunning()
{
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    return CurrentInstrument().m_hConnectDeviceThread != 0;
}

void* ConnectDeviceThread(void* argument)
{
    Run& run = *static_cast<Run*>(argument);
    t_run = &run;
    RunConnection(run);
    t_run = nullptr;
    run.ended.store(true);
    return nullptr;
}

bool DoInit(const ConnectionTarget& callback, uint64_t* releases)
{
    JoinStopped(true);
    CAutoCriticalSection lock(CurrentInstrument().m_APICriticalSection);
    if (releases != nullptr) {
        std::lock_guard<std::mutex> counting(Connection().connectWaits.mutex);
        *releases = Connection().connectWaits.releases;
    }
    CurrentInstrument().m_hReconnectEvent.ResetEvent();
    CurrentInstrument().m_bStopConnectDeviceThread.store(0);
    CurrentInstrument().m_ConnectedCallback.Store(callback);
    if (Connection().run != nullptr)
        return true;
    Run* run = new Run;
    if (CreateDeviceThread(CurrentInstrument(), &run->handle, ConnectDeviceThread, run) == 0) {
        delete run;
        return false;
    }
    Connection().run = run;
    Connection().current.store(run);
    CurrentInstrument().m_hConnectDeviceThread = run->handle;
    return true;
}

bool VasqInit(ConnectedCallback callback)
{
    ApiCall call("VasqInit");
    if (call.Refused())
        return false;
    CurrentInstrument().m_nPortNumber.store(-1);
    if (!DoInit(callback))
        return call.Fail(false, kErrorSystem, "cannot start the connection thread");
    return call.Result(true, true);
}

bool VasqConnect(int portNumber, uint32_t timeoutMs)
{
    ApiCall call("VasqConnect");
    if (call.Refused())
        return false;
    if (portNumber < -1)
        return call.Fail(false, kErrorInvalidArgument, "port number %d: give 0 or more, or -1 to search", portNumber);
    // Told before the connection thread starts: once it runs, it may find the
    // device before this line, which would then name it.
    if (LogWanted(kLogInfo)) {
        const std::string where = portNumber == -1 ? "on any port" : "on " + DeviceNodePath(portNumber);
        LogLine(kLogInfo, "looking for a Vasq9 %s", where.c_str());
    }
    CurrentInstrument().m_nPortNumber.store(portNumber);
    CurrentInstrument().m_hConnectedEvent.ResetEvent();
    uint64_t releases = 0;
    if (!DoInit(ConnectedHandler, &releases))
        return call.Fail(false, kErrorSystem, "cannot start the connection thread");
    // A device already connected on an acceptable port, also by another
    // caller's connect, is the answer. A release meanwhile ends the wait and
    // leaves nothing to release.
    switch (WaitForConnection(portNumber, timeoutMs, releases)) {
    case ConnectWait::Connected:
        return call.Result(true, true);
    case ConnectWait::Released:
        return call.Fail(false, kErrorNotFound, "the search was ended by VasqFree on another thread");
    case ConnectWait::TimedOut:
        break;
    }
    int code = kErrorNotFound;
    char outcome[kReasonSize];
    LastSearchOutcome(&code, outcome, sizeof(outcome));
    VasqFree();
    const std::string where = portNumber == -1 ? "on any port" : "on " + DeviceNodePath(portNumber);
    if (code == kErrorNone) {
        // The search took a port, but announcing the device (exchanges of its
        // own) had not ended when the wait did: its answers are late or missing.
        return call.Fail(false, kErrorTimeout,
                         "no Vasq9 %s within %u ms: a port answered the identity request, but connecting did not "
                         "finish in time (answers late or missing)",
                         where.c_str(), timeoutMs);
    }
    if (code == kErrorBusy || code == kErrorSystem)
        code = kErrorNotFound;
    return call.Fail(false, code, "no Vasq9 %s within %u ms: %s", where.c_str(), timeoutMs, outcome);
}

void VasqFree()
{
    ApiCall call("VasqFree");
    if (call.Refused())
        return;
    VasqStopSampling();
    VasqStopTest();
    JoinTestWorkers(CurrentInstrument());
    StopConnectionThread();
    call.Result(0, true);
}
