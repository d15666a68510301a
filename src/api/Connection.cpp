#include "api/Connection.h"
#include "api/Instrument.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "api/ApiCall.h"
#include "api/Operations.h"
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
    explicit Run(Instrument& owner) : instrument(owner) {}
    Instrument& instrument;
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

thread_local bool t_onConnectionThread = false;

// At unload nothing is sent: a short-lived program relies on the device
// carrying on with what it was told.
std::atomic<bool> s_unloading{false};

constexpr uint32_t kSearchRetryPauseMs = 10;

void CountConnectEvent(Instrument& instrument, uint64_t ConnectWaits::*counter)
{
    {
        std::lock_guard<std::mutex> lock(instrument.Connection().connectWaits.mutex);
        ++(instrument.Connection().connectWaits.*counter);
    }
    instrument.Connection().connectWaits.changed.notify_all();
}

bool ConnectedOnPort(Instrument& instrument, int portNumber)
{
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return instrument.m_bConnected.load() != 0 && DeviceOpenPortMatches(instrument, portNumber);
}

enum class ConnectWait { Connected, Released, TimedOut };

ConnectWait WaitForConnection(Instrument& instrument, int portNumber, uint32_t timeoutMs, uint64_t releases)
{
    const bool limited = timeoutMs != INFINITE_TIMEOUT;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(instrument.Connection().connectWaits.mutex);
            if (instrument.Connection().connectWaits.releases != releases)
                return ConnectWait::Released;
            seen = instrument.Connection().connectWaits.changes;
        }
        if (ConnectedOnPort(instrument, portNumber))
            return ConnectWait::Connected;
        std::unique_lock<std::mutex> lock(instrument.Connection().connectWaits.mutex);
        const auto changed = [&] {
            return instrument.Connection().connectWaits.changes != seen || instrument.Connection().connectWaits.releases != releases;
        };
        if (!limited) {
            instrument.Connection().connectWaits.changed.wait(lock, changed);
        } else if (!instrument.Connection().connectWaits.changed.wait_until(lock, deadline, changed)) {
            return ConnectWait::TimedOut;
        }
    }
}

void WaitWhileConnected(Run& run, uint64_t connection)
{
    Instrument& instrument = run.instrument;
    CEvent* events[2] = {&run.stopEvent, &instrument.m_hReconnectEvent};
    for (;;) {
        if (run.stop.load())
            return;
        WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT);
        if (run.stop.load())
            return;
        // A port that hung up is gone even when a node of its name is listed again.
        if (DevicePortFailed(instrument) || DeviceConnectionNumber(instrument) != connection || !DeviceIsAlive(instrument))
            return;
    }
}

void Disconnect(Run& run, uint64_t connection)
{
    Instrument& instrument = run.instrument;
    if (!run.stop.load())
        LogLine(kLogWarning, "the Vasq9 was lost");
    // A port that is gone or hung up cannot be told anything: the loss is
    // reported without waiting for the API lock, which a busy caller may hold.
    if (!s_unloading.load() && DeviceConnectionNumber(instrument) == connection && !DevicePortFailed(instrument)) {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
        if (DeviceConnectionNumber(instrument) == connection)
            NotifyDeviceAPConnected(instrument, false);
    }
    const Run* running = instrument.Connection().current.load();
    const bool current = running == &run || running == nullptr;
    DeviceCloseConnection(instrument, connection);
    // A thread that was stopped while a new one already runs leaves the
    // identity and the connected state to the new one.
    if (!current)
        return;
    // A release leaves no port open, an adopted one included.
    if (run.stop.load())
        DeviceClose(instrument);
    ClearDeviceIdentity(instrument);
    EndDeviceChangeWatch(instrument.Monitor());
    NotifyListener(instrument, false);
}

// Joins the stopped threads that are ready: all of them, or (without waiting)
// only those that have ended already. A connection thread (a callback that
// frees) never waits for a join: it may itself be the thread being joined. Nor
// does a test worker or the sampling thread: its callback may hold the API
// lock that the stopping thread needs to say goodbye to the device. The thread
// then ends by itself and a later call, or the unload, joins it.
void JoinStopped(Instrument& instrument, bool onlyEnded)
{
    if (t_onConnectionThread || OnLibraryWorkerThread())
        return;
    std::lock_guard<std::mutex> joining(instrument.Connection().joinMutex);
    std::vector<Run*> runs;
    {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
        for (auto it = instrument.Connection().toJoin.begin(); it != instrument.Connection().toJoin.end();) {
            if (!onlyEnded || (*it)->ended.load()) {
                runs.push_back(*it);
                it = instrument.Connection().toJoin.erase(it);
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

void StopConnectionThread(Instrument& instrument)
{
    {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
        if (instrument.Connection().run != nullptr) {
            Run* run = instrument.Connection().run;
            instrument.Connection().run = nullptr;
            instrument.Connection().current.store(nullptr);
            instrument.m_hConnectDeviceThread = 0;
            instrument.m_bStopConnectDeviceThread.store(1);
            instrument.m_ConnectedCallback.Store({});
            run->stop.store(true);
            run->stopEvent.SetEvent();
            ReconnectDevice(instrument);
            instrument.Connection().toJoin.push_back(run);
        }
        // Counted under the API lock: a connect that started this thread sees
        // the release, one that starts the next thread does not.
        CountConnectEvent(instrument, &ConnectWaits::releases);
    }
    DeviceStopSearch(instrument);
    JoinStopped(instrument, false);
}

void* RunConnection(Run& run)
{
    Instrument& instrument = run.instrument;
    while (!run.stop.load()) {
        if (!DeviceConnectHeld(instrument, instrument.m_nPortNumber.load(), 1)) {
            SleepEx(kSearchRetryPauseMs);
            continue;
        }
        const uint64_t connection = DeviceConnectionNumber(instrument);
        if (run.stop.load()) {
            // Released while it probed: the port is never announced, to the
            // device or the application (so no disconnection is either), and
            // its identity is not kept.
            DeviceCloseConnection(instrument, connection);
            ClearDeviceIdentity(instrument);
            break;
        }
        {
            CAutoCriticalSection lock(instrument.m_APICriticalSection);
            NotifyDeviceAPConnected(instrument, true);
            ResetAirPort(instrument);
            // Identified and announced: from now on every caller may use the port.
            DeviceReleaseHeld(instrument);
            if (LogWanted(kLogInfo)) {
                HW_INFORMATION hw{};
                GetHWInformation(instrument, &hw);
                LogLine(kLogInfo, "connected to %s: serial number %s, firmware %d.%d.%d",
                        DeviceOpenPortName(instrument).c_str(), FormatSerialNumber(instrument), hw.nFWVersion1,
                        hw.nFWVersion2, hw.nFWVersion3);
            }
        }
        NotifyListener(instrument, true);
        instrument.Monitor().StartMonitor();
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
    ReconnectDevice(static_cast<Instrument&>(device));
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
            ReleaseConnectionAtUnload(DefaultInstrument());
    }
};
LibraryLifetime VASQ_INIT_LIFETIME s_lifetime;

}  // namespace

void ReleaseConnectionAtUnload(Instrument& instrument)
{
    s_unloading.store(true);
    StopConnectionThread(instrument);
    DeviceClose(instrument);
}

void ReconnectDevice(Instrument& instrument)
{
    instrument.m_hReconnectEvent.SetEvent();
}

void NotifyListener(Instrument& instrument, bool connected)
{
    // Read before the change is published: a caller whose connect returns on
    // it and then registers a callback must not hear of that same connection.
    const ConnectionTarget callback = instrument.m_ConnectedCallback.Load();
    instrument.m_bConnected.store(connected ? 1 : 0);
    CountConnectEvent(instrument, &ConnectWaits::changes);
    if (callback)
        callback(connected);
}

void ConnectedHandler(bool connected, void* instrument)
{
    if (connected)
        static_cast<Instrument*>(instrument)->m_hConnectedEvent.SetEvent();
}

bool ConnectionThreadRunning(Instrument& instrument)
{
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return instrument.m_hConnectDeviceThread != 0;
}

void* ConnectDeviceThread(void* argument)
{
    Run& run = *static_cast<Run*>(argument);
    t_onConnectionThread = true;
    RunConnection(run);
    t_onConnectionThread = false;
    run.ended.store(true);
    return nullptr;
}

bool DoInit(Instrument& instrument, const ConnectionTarget& callback, uint64_t* releases)
{
    JoinStopped(instrument, true);
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    if (releases != nullptr) {
        std::lock_guard<std::mutex> counting(instrument.Connection().connectWaits.mutex);
        *releases = instrument.Connection().connectWaits.releases;
    }
    instrument.m_hReconnectEvent.ResetEvent();
    instrument.m_bStopConnectDeviceThread.store(0);
    instrument.m_ConnectedCallback.Store(callback);
    if (instrument.Connection().run != nullptr)
        return true;
    Run* run = new Run(instrument);
    if (CreateDeviceThread(instrument, &run->handle, ConnectDeviceThread, run) == 0) {
        delete run;
        return false;
    }
    instrument.Connection().run = run;
    instrument.Connection().current.store(run);
    instrument.m_hConnectDeviceThread = run->handle;
    return true;
}

bool VasqInit(ConnectedCallback callback)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return false;
    instrument.m_nPortNumber.store(-1);
    if (!DoInit(instrument, callback))
        return call.Fail(false, kErrorSystem, "cannot start the connection thread");
    return call.Result(true, true);
}

bool ConnectOn(Instrument& instrument, const char* name, int portNumber, uint32_t timeoutMs)
{
    ApiCall call(name, instrument);
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
    instrument.m_nPortNumber.store(portNumber);
    instrument.m_hConnectedEvent.ResetEvent();
    uint64_t releases = 0;
    if (!DoInit(instrument, ConnectionTarget(ConnectedHandler, &instrument), &releases))
        return call.Fail(false, kErrorSystem, "cannot start the connection thread");
    // A device already connected on an acceptable port, also by another
    // caller's connect, is the answer. A release meanwhile ends the wait and
    // leaves nothing to release.
    switch (WaitForConnection(instrument, portNumber, timeoutMs, releases)) {
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
    FreeOn(instrument, name);
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

bool VasqConnect(int portNumber, uint32_t timeoutMs)
{
    return ConnectOn(DefaultInstrument(), __func__, portNumber, timeoutMs);
}

void FreeOn(Instrument& instrument, const char* name)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return;
    StopSamplingOn(instrument, name);
    StopTestOn(instrument, name);
    JoinTestWorkers(instrument);
    StopConnectionThread(instrument);
    call.Result(0, true);
}

void VasqFree()
{
    FreeOn(DefaultInstrument(), __func__);
}
