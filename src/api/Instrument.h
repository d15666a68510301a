#pragma once

// One instrument as the interface's layer holds it: what the lower layers keep
// for it (Device) and, on top, its connection, its test and sampling threads
// and the callbacks the application registered. The functions of the public
// interface work on the default instrument; one opened by number or search is
// another object of the same kind, so nothing one instrument does waits for
// another.
#include <atomic>
#include <memory>
#include <mutex>

#include "device/Device.h"
#include "platform/Event.h"
#include "vasq.h"

// A callback as the application registered it: one of the interface's kind,
// or one that takes the application's context after its own arguments.
template <typename... Args>
struct Callback {
    using Plain = void (*)(Args...);
    using WithContext = void (*)(Args..., void*);

    Callback() = default;
    Callback(Plain function) : plain(function) {}  // NOLINT: a plain callback is one
    Callback(WithContext function, void* data) : withContext(function), context(data) {}

    explicit operator bool() const { return plain != nullptr || withContext != nullptr; }
    void operator()(Args... arguments) const
    {
        if (plain != nullptr)
            plain(arguments...);
        else if (withContext != nullptr)
            withContext(arguments..., context);
    }

    Plain plain = nullptr;
    WithContext withContext = nullptr;
    void* context = nullptr;
};

// A callback that one thread registers while another calls it.
template <typename... Args>
class SharedCallback {
public:
    void Store(const Callback<Args...>& callback)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_callback = callback;
    }
    Callback<Args...> Load() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_callback;
    }

private:
    mutable std::mutex m_mutex;
    Callback<Args...> m_callback;
};

using ConnectionTarget = Callback<bool>;
using SamplingTarget = Callback<double>;
using BPTestTarget = Callback<VasqStatus, double, double, double, double>;
using LeakageTestTarget = Callback<VasqStatus, double, double, int>;
using OverpressureTestTarget = Callback<VasqStatus, double, double, double, double, double, double, double>;
using StaticPressureTarget = Callback<VasqStatus, double, int>;


// What this layer keeps for an instrument, defined where it is written.
struct ConnectionState;
struct WorkerState;

class Instrument : public Device {
public:
    Instrument();
    ~Instrument() override;

    CAutoResetEvent m_hConnectedEvent{false};
    // Wakes the connection thread when the port may be gone.
    CAutoResetEvent m_hReconnectEvent{false};
    CManualResetEvent m_hSamplingEvent{false};
    CManualResetEvent m_hSamplingPauseEvent{false};

    // The connection.
    unsigned long m_hConnectDeviceThread = 0;
    std::atomic<int> m_bStopConnectDeviceThread{0};
    SharedCallback<bool> m_ConnectedCallback;
    std::atomic<int> m_bConnected{0};
    std::atomic<int> m_nPortNumber{-1};

    // Sampling and the four kinds of test.
    SharedCallback<double> m_SamplingCallback;
    std::atomic<unsigned long> m_hSamplingThread{0};
    SharedCallback<VasqStatus, double, double, double, double> m_BPTestCallback;
    SharedCallback<VasqStatus, double, double, int> m_LeakageTestCallback;
    SharedCallback<VasqStatus, double, double, double, double, double, double, double> m_OverpressureTestCallback;
    SharedCallback<VasqStatus, double, int> m_StaticPressureExCallback;
    std::atomic<unsigned long> m_hBPTestThread{0};
    std::atomic<unsigned long> m_hLeakageTestThread{0};
    std::atomic<unsigned long> m_hOverpressureTestThread{0};
    std::atomic<unsigned long> m_hStaticPressureExThread{0};

    ConnectionState& Connection() { return *m_connection; }
    WorkerState& Workers() { return *m_workers; }

private:
    template <typename State>
    using Owned = std::unique_ptr<State, void (*)(State*)>;
    Owned<ConnectionState> m_connection;
    Owned<WorkerState> m_workers;
};

// Every device is an instrument: this layer makes them all, so a device that a
// lower layer hands back (to a hook) is one.
Instrument& DefaultInstrument();

ConnectionState* NewConnectionState();
void DeleteConnectionState(ConnectionState* state);
WorkerState* NewWorkerState();
void DeleteWorkerState(WorkerState* state);
