/**
 * @file vasq.hpp
 * @brief libvasq for C++17: devices that close themselves, exceptions that
 * carry the library's code and reason, lambdas for callbacks.
 *
 * Header-only, over the C functions of vasq.h (which it includes). The rules
 * (which calls throw, where callbacks run and what they may call, how a device
 * is closed from one of its own callbacks, threads) are on the page
 * @ref cpp "The C++ interface".
 */
#ifndef VASQ_HPP
#define VASQ_HPP

#include "vasq.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

/** The C++ interface of libvasq. */
namespace vasq {

/** A pressure unit: every pressure argument and result is in the device's current unit. */
enum class Unit {
    mmHg = 0, /**< millimetres of mercury */
    kPa = 1   /**< kilopascal */
};

/** A test's status, the first argument of every test report (::VasqStatus). */
enum class Status {
    None = 0,       /**< no test, or a device code without meaning here */
    WaitStable = 1, /**< waiting for a stable pressure */
    Running = 2,    /**< running; also the first report after a start */
    Holding = 3,    /**< holding the pressure */
    Completed = 4   /**< completed; the results are in the report */
};

/** The level of a log line (VASQ_LOG_ERROR to VASQ_LOG_DEBUG). */
enum class LogLevel {
    Error = 1,   /**< every failure that sets a code, and every exception a callback threw */
    Warning = 2, /**< late answers and stream packets dropped, a stale lock taken over, a loss noticed */
    Info = 3,    /**< searches, connections, test starts and status changes, sampling */
    Debug = 4    /**< every frame sent and received */
};

/**
 * A failed call: what() is the library's reason text (VasqGetLastErrorText())
 * and code() the ::VasqError value (VasqGetLastError()) of the C call that
 * failed.
 */
class Error : public std::runtime_error {
public:
    /**
     * @param code a ::VasqError value.
     * @param what the reason, for people.
     */
    Error(int code, const std::string& what) : std::runtime_error(what), m_code(code) {}
    /** @return the ::VasqError value, never ::VASQ_ERROR_NONE. */
    int code() const noexcept { return m_code; }

private:
    int m_code;
};

/** Receives each sample: the cuff pressure in the current unit. */
using SampleCallback = std::function<void(double pressure)>;
/** Receives each loss (false) and reconnection (true) of the instrument. */
using ConnectionCallback = std::function<void(bool connected)>;
/** Receives a BP simulation's reports: the systolic pressure in the current unit, then three results in tenths. */
using BPReportCallback = std::function<void(Status status, double systolic, double result2, double result3,
                                            double result4)>;
/** Receives a leakage test's or calibration's reports (the calibration value in place of the leak value). */
using LeakageReportCallback = std::function<void(Status status, double waitStableSeconds, double leakValue,
                                                 int resultCode)>;
/** Receives an overpressure test's reports: a pressure in the current unit, then five results in tenths. */
using OverpressureReportCallback =
    std::function<void(Status status, double waitStableSeconds, double result1, double result2, double result3,
                       double result4, double result5, double result6)>;
/** Receives a static-pressure run's reports: the wait-stable time in seconds and the device's test result. */
using StaticPressureReportCallback = std::function<void(Status status, double waitStableSeconds, int testResult)>;
/** Receives one log line (no newline); the text is valid during the call only. */
using LogHandler = std::function<void(LogLevel level, std::string_view message)>;

/** A raw envelope table: as many pressures as amplitudes (360 in mmHg, 479 in kPa). */
struct EnvelopeTable {
    std::vector<double> pressures;  /**< the table's pressures, in the table's unit */
    std::vector<double> amplitudes; /**< the amplitude at each pressure */
};

/// @cond detail
namespace detail {

// A callback registered with the library. The library is handed a key, never
// the callback's address: a callback that the library calls after its Device
// has gone finds no key and does nothing, and one that is running keeps its
// callback alive through its own reference.
class Target {
public:
    virtual ~Target() = default;
};

template <typename... Args>
class Callback final : public Target {
public:
    Callback(std::function<void(Args...)> function_, const char* kind_, std::string serial_)
        : function(std::move(function_)), kind(kind_), serial(std::move(serial_))
    {
    }
    const std::function<void(Args...)> function;
    const char* const kind;
    const std::string serial;
};

class Registry {
public:
    static Registry& instance()
    {
        // Never destroyed: the library's threads may still deliver while the
        // program's static objects are being destroyed.
        static Registry* registry = new Registry;
        return *registry;
    }
    std::uintptr_t add(std::shared_ptr<Target> target)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::uintptr_t key = 0;
        do {
            key = m_next++;
        } while (key == 0 || m_targets.count(key) != 0);
        m_targets.emplace(key, std::move(target));
        return key;
    }
    std::shared_ptr<Target> find(std::uintptr_t key) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_targets.find(key);
        return found == m_targets.end() ? nullptr : found->second;
    }
    void remove(std::uintptr_t key) noexcept
    {
        std::shared_ptr<Target> gone;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto found = m_targets.find(key);
            if (found == m_targets.end())
                return;
            gone = std::move(found->second);
            m_targets.erase(found);
        }
        // The callback's captures are destroyed here, outside the lock: their
        // destructors may do anything, a Device's close included.
    }

private:
    mutable std::mutex m_mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Target>> m_targets;
    std::uintptr_t m_next = 1;
};

// Owns one key of a registry; an empty function registers nothing.
class Registration {
public:
    Registration() noexcept = default;
    template <typename... Args>
    Registration(std::function<void(Args...)> function, const char* kind, const std::string& serial)
    {
        if (!function)
            return;
        auto target = std::make_shared<Callback<Args...>>(std::move(function), kind, serial);
        // The registry of this program module, where this module's trampolines look.
        Registry& registry = Registry::instance();
        m_key = registry.add(std::move(target));
        m_registry = &registry;
    }
    Registration(Registration&& other) noexcept
        : m_registry(std::exchange(other.m_registry, nullptr)), m_key(std::exchange(other.m_key, 0))
    {
    }
    Registration& operator=(Registration&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_registry = std::exchange(other.m_registry, nullptr);
            m_key = std::exchange(other.m_key, 0);
        }
        return *this;
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { reset(); }

    void reset() noexcept
    {
        if (m_registry != nullptr)
            m_registry->remove(m_key);
        m_registry = nullptr;
        m_key = 0;
    }
    explicit operator bool() const noexcept { return m_registry != nullptr; }
    std::uintptr_t key() const noexcept { return m_key; }
    void* context() const noexcept { return reinterpret_cast<void*>(m_key); }

private:
    Registry* m_registry = nullptr;
    std::uintptr_t m_key = 0;
};

// The log handler set through setLogHandler, also reached by the lines about
// callbacks that threw.
struct LogSink {
    LogSink(LogHandler handler_, LogLevel maxLevel_) : handler(std::move(handler_)), maxLevel(maxLevel_) {}
    const LogHandler handler;
    const LogLevel maxLevel;
};

struct LogState {
    static LogState& instance()
    {
        // Never destroyed, like the registry: the library logs at unload too.
        static LogState* state = new LogState;
        return *state;
    }
    std::mutex mutex;
    std::shared_ptr<LogSink> current;
};

inline void onLogLine(int level, const char* message, void* context) noexcept
{
    const auto* sink = static_cast<const LogSink*>(context);
    try {
        sink->handler(static_cast<LogLevel>(level), message != nullptr ? message : "");
    } catch (...) {
        // A log handler that throws loses its line; there is nowhere left to report it.
    }
}

inline void logLine(LogLevel level, const std::string& message) noexcept
{
    try {
        std::shared_ptr<LogSink> sink;
        {
            LogState& state = LogState::instance();
            std::lock_guard<std::mutex> lock(state.mutex);
            sink = state.current;
        }
        if (sink && static_cast<int>(level) <= static_cast<int>(sink->maxLevel))
            sink->handler(level, message);
    } catch (...) {
    }
}

inline void reportThrow(const char* kind, const std::string& serial, const char* what) noexcept
{
    try {
        std::string line = std::string("the ") + kind + " callback of " + (serial.empty() ? "a device" : serial) +
                           " threw ";
        line += what != nullptr ? std::string("an exception: ") + what : std::string("an exception of unknown type");
        line += "; ignored";
        logLine(LogLevel::Error, line);
    } catch (...) {
    }
}

template <typename... Args>
void deliver(void* context, Args... args) noexcept
{
    std::shared_ptr<Target> target;
    try {
        target = Registry::instance().find(reinterpret_cast<std::uintptr_t>(context));
    } catch (...) {
        return;
    }
    if (!target)
        return;
    // Each trampoline is paired only with registrations of its own signature.
    const auto& callback = static_cast<const Callback<Args...>&>(*target);
    try {
        callback.function(args...);
    } catch (const std::exception& e) {
        reportThrow(callback.kind, callback.serial, e.what());
    } catch (...) {
        reportThrow(callback.kind, callback.serial, nullptr);
    }
}

inline void onConnection(bool connected, void* context) noexcept
{
    deliver<bool>(context, connected);
}

inline void onSample(double pressure, void* context) noexcept
{
    deliver<double>(context, pressure);
}

inline void onBPReport(VasqStatus status, double result1, double result2, double result3, double result4,
                       void* context) noexcept
{
    deliver<Status, double, double, double, double>(context, static_cast<Status>(status), result1, result2, result3,
                                                    result4);
}

inline void onLeakageReport(VasqStatus status, double waitStableSeconds, double leakValue, int resultCode,
                            void* context) noexcept
{
    deliver<Status, double, double, int>(context, static_cast<Status>(status), waitStableSeconds, leakValue,
                                         resultCode);
}

inline void onOverpressureReport(VasqStatus status, double waitStableSeconds, double result1, double result2,
                                 double result3, double result4, double result5, double result6,
                                 void* context) noexcept
{
    deliver<Status, double, double, double, double, double, double, double>(
        context, static_cast<Status>(status), waitStableSeconds, result1, result2, result3, result4, result5, result6);
}

inline void onStaticPressureReport(VasqStatus status, double waitStableSeconds, int testResult,
                                   void* context) noexcept
{
    deliver<Status, double, int>(context, static_cast<Status>(status), waitStableSeconds, testResult);
}

[[noreturn]] inline void throwLastError(const char* call)
{
    int code = VasqGetLastError();
    const char* text = VasqGetLastErrorText();
    std::string what = text != nullptr ? text : "";
    if (code == VASQ_ERROR_NONE) {
        code = VASQ_ERROR_SYSTEM;
        what = std::string(call) + ": failed without a reason";
    } else if (what.empty()) {
        what = std::string(call) + ": error " + std::to_string(code);
    }
    throw Error(code, what);
}

// For calls whose result is a success flag.
inline void check(int result, const char* call)
{
    if (result == 0)
        throwLastError(call);
}

// For calls whose result is a value that a failure cannot be told from.
inline void checkLastError(const char* call)
{
    if (VasqGetLastError() != VASQ_ERROR_NONE)
        throwLastError(call);
}

inline std::uint32_t timeoutMs(std::chrono::milliseconds timeout) noexcept
{
    constexpr auto forever = std::numeric_limits<std::uint32_t>::max();
    if (timeout.count() <= 0)
        return 0;
    if (static_cast<unsigned long long>(timeout.count()) >= forever)
        return forever;
    return static_cast<std::uint32_t>(timeout.count());
}

inline int envelopePoints(Unit unit) noexcept
{
    return unit == Unit::kPa ? 479 : 360;
}

enum Slot { ConnectionSlot, SamplingSlot, BPSlot, LeakageSlot, OverpressureSlot, StaticPressureSlot, SlotCount };

struct DeviceState {
    std::atomic<VasqDevice*> handle{nullptr};
    std::string serial;
    std::mutex mutex;
    // The callback each kind reports to now.
    Registration slots[SlotCount];
};

}  // namespace detail
/// @endcond

/**
 * The library's version, "MAJOR.MINOR.PATCH.BUILD" (VasqGetVersion()).
 * @return the version text.
 */
inline std::string version()
{
    const char* text = VasqGetVersion();
    return text != nullptr ? text : "";
}

/**
 * Sets the process-wide log handler (VasqSetLogCallback()), which also
 * receives a line at LogLevel::Error for every exception that a callback of a
 * Device threw.
 * @param handler receives every line up to maxLevel; an empty function turns the log off.
 * @param maxLevel the most detailed level wanted.
 *
 * The handler runs on the thread where the event happens, possibly while the
 * library holds a device's lock: it must return promptly and must call
 * neither the library nor this interface. An exception it throws is dropped
 * with its line. Once setLogHandler() has returned, the previous handler is
 * not called any more, and it is destroyed before setLogHandler() returns
 * unless a line is being delivered to it at that moment. Any thread but the
 * log handler's; does not throw but for lack of memory.
 */
inline void setLogHandler(LogHandler handler, LogLevel maxLevel = LogLevel::Info)
{
    std::shared_ptr<detail::LogSink> sink;
    if (handler)
        sink = std::make_shared<detail::LogSink>(std::move(handler), maxLevel);
    std::shared_ptr<detail::LogSink> previous;
    detail::LogState& state = detail::LogState::instance();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        VasqSetLogCallback(sink ? &detail::onLogLine : nullptr, static_cast<int>(maxLevel), sink.get());
        previous = std::move(state.current);
        state.current = std::move(sink);
    }
}

/**
 * Computes the raw envelope table of a customised record for a unit, without
 * any device (VasqGetEnvelopeRawData()).
 * @param record the envelope's points, in the unit given.
 * @param unit the table's unit: 360 points in mmHg, 479 in kPa.
 * @return the table.
 * @throws Error when the library refuses the record.
 */
inline EnvelopeTable envelopeTable(const BPEnvelopeCustomized& record, Unit unit)
{
    const int count = detail::envelopePoints(unit);
    EnvelopeTable table{std::vector<double>(static_cast<std::size_t>(count)),
                        std::vector<double>(static_cast<std::size_t>(count))};
    BPEnvelopeCustomized copy = record;
    detail::check(VasqGetEnvelopeRawData(&copy, table.pressures.data(), table.amplitudes.data(), count,
                                         static_cast<int>(unit)),
                  "VasqGetEnvelopeRawData");
    return table;
}

/**
 * One Vasq9, opened with open() (VasqOpenDevice()); the destructor closes it.
 * Move-only: a moved-from or default-constructed Device holds no instrument,
 * and its calls fail with ::VASQ_ERROR_INVALID_ARGUMENT.
 *
 * Calls that talk to the device throw Error when they fail; serialNumber(),
 * portNumber(), native(), the stops and close() never do. Every call may be
 * made from any thread, several at once, and from the device's callbacks
 * (see @ref cpp "the rules"); the destructor, the moves and close() must not
 * overlap another call on the same Device.
 */
class Device {
public:
    /** A Device that holds no instrument. */
    Device() noexcept = default;
    /** Closes the instrument (see close()). */
    ~Device() { close(); }
    /**
     * Takes over other's instrument and callbacks; other holds none after.
     * Callbacks already registered keep running: they never refer to the Device object.
     * @param other the Device to take over.
     */
    Device(Device&& other) noexcept = default;
    /**
     * Closes this Device's instrument, then takes over other's.
     * @param other the Device to take over.
     * @return this Device.
     */
    Device& operator=(Device&& other) noexcept
    {
        if (this != &other) {
            close();
            m_state = std::move(other.m_state);
        }
        return *this;
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    /**
     * Opens one Vasq9 and keeps it connected (VasqOpenDevice()).
     * @param port the port's number (0 for ttyACM0), or -1 for the first free Vasq9.
     * @param timeout the longest wait; zero or less does not wait,
     *        std::chrono::milliseconds::max() (or 2^32-1 ms and more) waits without limit.
     * @return the open Device.
     * @throws Error when no instrument was found in time (::VASQ_ERROR_NOT_FOUND,
     *         ::VASQ_ERROR_PORT_BUSY, ...), and with ::VASQ_ERROR_BUSY from a callback.
     */
    static Device open(int port = -1, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        Device device;
        device.m_state = std::make_unique<detail::DeviceState>();
        VasqDevice* handle = VasqOpenDevice(port, detail::timeoutMs(timeout));
        if (handle == nullptr)
            detail::throwLastError("VasqOpenDevice");
        device.m_state->handle.store(handle);
        const char* serial = VasqDeviceGetSerialNumber(handle);
        device.m_state->serial = serial != nullptr ? serial : "";
        return device;
    }

    /**
     * Closes the instrument (VasqCloseDevice()): stops its test and sampling,
     * releases its port and lock file, ends its threads. Afterwards the Device
     * holds no instrument; a second close does nothing.
     *
     * From a thread of the application it returns once no callback of the
     * device runs, and the callbacks (with what they captured) are destroyed
     * before it returns. From a callback (of this device or another one) it
     * does not wait: no further callback of the device starts, the callbacks
     * running at that moment finish, and each is destroyed once it has
     * returned, possibly on a thread of the library.
     */
    void close() noexcept
    {
        if (!m_state)
            return;
        if (VasqDevice* handle = m_state->handle.exchange(nullptr))
            VasqCloseDevice(handle);
        // Released after the unlock: the callbacks' captures may do anything.
        detail::Registration released[detail::SlotCount];
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            for (int slot = 0; slot < detail::SlotCount; ++slot)
                released[slot] = std::move(m_state->slots[slot]);
        }
    }

    /**
     * The serial number of the device's instrument, also while it is lost (VasqDeviceGetSerialNumber()).
     * @return the serial number; "" for a Device that holds no instrument.
     */
    std::string serialNumber() const
    {
        const char* serial = VasqDeviceGetSerialNumber(native());
        return serial != nullptr ? serial : "";
    }
    /**
     * The number of the port the instrument is connected on (VasqDeviceGetPortNumber()).
     * @return the port's number; -1 while the instrument is lost, or for a Device that holds none.
     */
    int portNumber() const { return VasqDeviceGetPortNumber(native()); }
    /**
     * The C handle, for the functions of vasq.h; it belongs to this Device.
     * @return the handle; null for a Device that holds no instrument.
     */
    VasqDevice* native() const noexcept { return m_state ? m_state->handle.load() : nullptr; }

    /**
     * Registers the callback for the instrument's losses and reconnections
     * (VasqDeviceSetConnectionCallback()); it replaces the previous one.
     * @param onChange called with false on a loss and true on a reconnection, on
     *        the device's connection thread; an empty function for none.
     * @throws Error when the library refuses it.
     */
    void setConnectionCallback(ConnectionCallback onChange)
    {
        detail::Registration registration(std::move(onChange), "connection", serial());
        detail::check(VasqDeviceSetConnectionCallback(native(), registration ? &detail::onConnection : nullptr,
                                                      registration.context()),
                      "VasqDeviceSetConnectionCallback");
        install(detail::ConnectionSlot, std::move(registration));
    }

    /**
     * Reads the instrument's model identity (VasqDeviceGetDeviceInformation()).
     * @return the record.
     * @throws Error when the read fails.
     */
    MODEL_INFORMATION deviceInformation()
    {
        MODEL_INFORMATION info{};
        detail::check(VasqDeviceGetDeviceInformation(native(), &info), "VasqDeviceGetDeviceInformation");
        return info;
    }
    /**
     * Reads the instrument's firmware and hardware versions (VasqDeviceGetHWInformation()).
     * @return the record.
     * @throws Error when the read fails.
     */
    HW_INFORMATION hardwareInformation()
    {
        HW_INFORMATION info{};
        detail::check(VasqDeviceGetHWInformation(native(), &info), "VasqDeviceGetHWInformation");
        return info;
    }

    /**
     * Reads the unit from the instrument and makes it the device's (VasqDeviceGetPressureUnit()).
     * @return the unit.
     * @throws Error when the read fails.
     */
    Unit unit()
    {
        const int unit = VasqDeviceGetPressureUnit(native());
        detail::checkLastError("VasqDeviceGetPressureUnit");
        return static_cast<Unit>(unit);
    }
    /**
     * Switches the instrument's unit (VasqDeviceSetPressureUnit()).
     * @param unit the unit wanted.
     * @throws Error when the switch fails; with ::VASQ_ERROR_BUSY while a test
     *         runs, and from a callback while sampling runs.
     */
    void setUnit(Unit unit)
    {
        detail::check(VasqDeviceSetPressureUnit(native(), static_cast<int>(unit)), "VasqDeviceSetPressureUnit");
    }
    /**
     * Sets the zeroing state (VasqDeviceRebaseZero()).
     * @param on the state wanted.
     * @throws Error when the exchange fails.
     */
    void rebaseZero(bool on) { detail::check(VasqDeviceRebaseZero(native(), on), "VasqDeviceRebaseZero"); }

    /**
     * Starts sampling, or replaces the sampling callback when sampling runs (VasqDeviceStartSampling()).
     * @param onSample receives 200 samples a second, ten in a row every 50 ms,
     *        on the device's sampling thread; an empty function drops them.
     * @throws Error when sampling could not be started; the previous callback then stays.
     */
    void startSampling(SampleCallback onSample)
    {
        detail::Registration registration(std::move(onSample), "sampling", serial());
        detail::check(VasqDeviceStartSampling(native(), registration ? &detail::onSample : nullptr,
                                              registration.context()),
                      "VasqDeviceStartSampling");
        install(detail::SamplingSlot, std::move(registration));
    }
    /**
     * Stops sampling (VasqDeviceStopSampling()). From a thread of the
     * application no sample is delivered once it has returned; from a callback
     * it does not wait, and no further sample is delivered after the running
     * callback. Never throws.
     */
    void stopSampling()
    {
        const std::uintptr_t running = key(detail::SamplingSlot);
        VasqDeviceStopSampling(native());
        release(detail::SamplingSlot, running);
    }
    /**
     * The sampling rate (VasqDeviceGetSampleRate()).
     * @return samples per second (200).
     * @throws Error for a Device that holds no instrument.
     */
    int sampleRate()
    {
        const int rate = VasqDeviceGetSampleRate(native());
        detail::checkLastError("VasqDeviceGetSampleRate");
        return rate;
    }

    /**
     * Enables or disables an air port in the device's mask; nothing is sent
     * (VasqDeviceEnableAirPort()).
     * @param port the port, 0 to 4 (below 0 acts on 0, above 4 on 4).
     * @param enable true to enable it, false to disable it.
     * @throws Error for a Device that holds no instrument.
     */
    void enableAirPort(int port, bool enable = true)
    {
        detail::check(VasqDeviceEnableAirPort(native(), port, enable), "VasqDeviceEnableAirPort");
    }
    /**
     * Enables every air port in the device's mask; nothing is sent (VasqDeviceResetAirPort()).
     * @throws Error for a Device that holds no instrument.
     */
    void resetAirPorts() { detail::check(VasqDeviceResetAirPort(native()), "VasqDeviceResetAirPort"); }
    /**
     * Sends the air-port mask to the instrument's relays (VasqDeviceUpdateAirPort()).
     * @throws Error when the exchange fails.
     */
    void updateAirPorts() { detail::check(VasqDeviceUpdateAirPort(native()), "VasqDeviceUpdateAirPort"); }
    /**
     * Pauses the instrument's pump (VasqDevicePausePump()).
     * @throws Error when the exchange fails.
     */
    void pausePump() { detail::check(VasqDevicePausePump(native()), "VasqDevicePausePump"); }

    /**
     * Starts a BP simulation with the device's default envelope (VasqDeviceRunBPTest()).
     * @param parameters the simulation's parameters in the current unit; eMethod is set to ::BP_METHOD_DEFAULT.
     * @param onReport receives the reports on the test's worker thread; an empty function for none.
     * @return the parameters as sent, clamped to the limits.
     * @throws Error when a step of the start failed; nothing runs then, and the previous callback stays.
     */
    BPCommon runBPTest(BPCommon parameters, BPReportCallback onReport)
    {
        parameters.eMethod = BP_METHOD_DEFAULT;
        startBPTest(&parameters, std::move(onReport));
        return parameters;
    }
    /**
     * Starts a BP simulation with a customised envelope (VasqDeviceRunBPTest());
     * its raw table, computed from the record, is sent too.
     * @param envelope the simulation's parameters and envelope in the current
     *        unit; eMethod is set to ::BP_METHOD_CUSTOMIZED.
     * @param onReport receives the reports on the test's worker thread; an empty function for none.
     * @return the record as sent, clamped to the limits.
     * @throws Error when a step of the start failed; nothing runs then, and the previous callback stays.
     */
    BPEnvelopeCustomized runBPTest(BPEnvelopeCustomized envelope, BPReportCallback onReport)
    {
        envelope.eMethod = BP_METHOD_CUSTOMIZED;
        startBPTest(&envelope, std::move(onReport));
        return envelope;
    }
    /**
     * Starts a leakage test (VasqDeviceRunLeakageTest()).
     * @param pressure the test pressure in the current unit (clamped).
     * @param leakParam the leakage parameter, sent as given.
     * @param leakRate the leak rate.
     * @param onReport receives the reports on the test's worker thread; an empty function for none.
     * @throws Error when a step of the start failed.
     */
    void runLeakageTest(double pressure, int leakParam, double leakRate, LeakageReportCallback onReport)
    {
        detail::Registration registration(std::move(onReport), "leakage test", serial());
        detail::check(VasqDeviceRunLeakageTest(native(), pressure, leakParam, leakRate,
                                               registration ? &detail::onLeakageReport : nullptr,
                                               registration.context()),
                      "VasqDeviceRunLeakageTest");
        install(detail::LeakageSlot, std::move(registration));
    }
    /**
     * Starts a leakage calibration (VasqDeviceRunLeakageCalibration()); it
     * ends a running leakage test, as a second leakage test would.
     * @param pressure the calibration pressure in the current unit (clamped).
     * @param onReport receives the reports, the calibration value in place of the leak value.
     * @throws Error when a step of the start failed.
     */
    void runLeakageCalibration(double pressure, LeakageReportCallback onReport)
    {
        detail::Registration registration(std::move(onReport), "leakage calibration", serial());
        detail::check(VasqDeviceRunLeakageCalibration(native(), pressure,
                                                      registration ? &detail::onLeakageReport : nullptr,
                                                      registration.context()),
                      "VasqDeviceRunLeakageCalibration");
        install(detail::LeakageSlot, std::move(registration));
    }
    /**
     * Reads the leakage calibration rate (VasqDeviceGetLeakageCalibrationRate()).
     * @return the rate in the device's unit.
     * @throws Error when the read fails.
     */
    double leakageCalibrationRate()
    {
        double rate = 0.0;
        detail::check(VasqDeviceGetLeakageCalibrationRate(native(), &rate), "VasqDeviceGetLeakageCalibrationRate");
        return rate;
    }
    /**
     * Starts an overpressure test (VasqDeviceRunOverpressureTest()).
     * @param overpressureFlag sent as 0 or 1.
     * @param pressure1 the first pressure in the current unit (clamped).
     * @param pressure2 the second pressure (clamped).
     * @param pressure3 the third pressure (clamped).
     * @param onReport receives the reports on the test's worker thread; an empty function for none.
     * @throws Error when a step of the start failed.
     */
    void runOverpressureTest(bool overpressureFlag, double pressure1, double pressure2, double pressure3,
                             OverpressureReportCallback onReport)
    {
        detail::Registration registration(std::move(onReport), "overpressure test", serial());
        detail::check(VasqDeviceRunOverpressureTest(native(), overpressureFlag, pressure1, pressure2, pressure3,
                                                    registration ? &detail::onOverpressureReport : nullptr,
                                                    registration.context()),
                      "VasqDeviceRunOverpressureTest");
        install(detail::OverpressureSlot, std::move(registration));
    }
    /**
     * Starts a static-pressure run keeping the device's static parameter and
     * with the static flag off (VasqDeviceRunStaticPressure()).
     * @param pressure the pressure in the current unit (clamped).
     * @param onReport receives the reports (status, wait-stable time in seconds,
     *        the device's test result) on the run's worker thread; an empty function for none.
     * @throws Error when a step of the start failed.
     */
    void runStaticPressure(double pressure, StaticPressureReportCallback onReport)
    {
        runStaticPressure(pressure, -1, false, std::move(onReport));
    }
    /**
     * Starts a static-pressure run (VasqDeviceRunStaticPressure()).
     * @param pressure the pressure in the current unit (clamped).
     * @param staticParam sent as given; a negative value keeps the device's.
     * @param staticFlag sent as 0 or 1.
     * @param onReport receives the reports on the run's worker thread; an empty function for none.
     * @throws Error when a step of the start failed.
     */
    void runStaticPressure(double pressure, int staticParam, bool staticFlag, StaticPressureReportCallback onReport)
    {
        detail::Registration registration(std::move(onReport), "static-pressure", serial());
        detail::check(VasqDeviceRunStaticPressure(native(), pressure, staticParam,
                                                  registration ? &detail::onStaticPressureReport : nullptr,
                                                  registration.context(), staticFlag),
                      "VasqDeviceRunStaticPressure");
        install(detail::StaticPressureSlot, std::move(registration));
    }
    /**
     * Tells the instrument to stop any test and ends every test worker
     * (VasqDeviceStopTest()). From a thread of the application no report
     * runs once it has returned; from a callback no further report starts.
     * Never throws.
     */
    void stopTest()
    {
        constexpr detail::Slot tests[] = {detail::BPSlot, detail::LeakageSlot, detail::OverpressureSlot,
                                          detail::StaticPressureSlot};
        std::uintptr_t running[4] = {};
        for (int i = 0; i < 4; ++i)
            running[i] = key(tests[i]);
        VasqDeviceStopTest(native());
        for (int i = 0; i < 4; ++i)
            release(tests[i], running[i]);
    }
    /**
     * Reads the instrument's wait-stable time (VasqDeviceGetWaitStableTime()).
     * @return whole seconds.
     * @throws Error when the read fails.
     */
    int waitStableSeconds()
    {
        const int seconds = VasqDeviceGetWaitStableTime(native());
        detail::checkLastError("VasqDeviceGetWaitStableTime");
        return seconds;
    }

    /**
     * Sends a customised record and its raw table, in the current unit (VasqDeviceSetEnvelopeRawData()).
     * @param record the record; eMethod is set to ::BP_METHOD_CUSTOMIZED.
     * @param table the table (envelopeTable()): 360 points in mmHg, 479 in kPa.
     * @return the record as sent, clamped to the limits.
     * @throws Error when the instrument refused either, or the table's two
     *         columns differ in length (::VASQ_ERROR_INVALID_ARGUMENT).
     */
    BPEnvelopeCustomized setEnvelope(BPEnvelopeCustomized record, const EnvelopeTable& table)
    {
        if (table.pressures.size() != table.amplitudes.size() ||
            table.pressures.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            throw Error(VASQ_ERROR_INVALID_ARGUMENT, "setEnvelope: the table's pressures and amplitudes differ in "
                                                     "number");
        record.eMethod = BP_METHOD_CUSTOMIZED;
        std::vector<double> pressures = table.pressures;
        std::vector<double> amplitudes = table.amplitudes;
        detail::check(VasqDeviceSetEnvelopeRawData(native(), &record, pressures.data(), amplitudes.data(),
                                                   static_cast<int>(pressures.size())),
                      "VasqDeviceSetEnvelopeRawData");
        return record;
    }

    /**
     * Turns adult cuff mode on or off (VasqDeviceSwitchToAdultMode()).
     * @param adult true for adult mode.
     * @throws Error when the exchange fails.
     */
    void switchToAdultMode(bool adult)
    {
        detail::check(VasqDeviceSwitchToAdultMode(native(), adult), "VasqDeviceSwitchToAdultMode");
    }
    /**
     * Turns 500 ml volume mode on or off (VasqDeviceSwitchTo500mlMode()).
     * @param on true for 500 ml mode.
     * @throws Error when the exchange fails.
     */
    void switchTo500mlMode(bool on)
    {
        detail::check(VasqDeviceSwitchTo500mlMode(native(), on), "VasqDeviceSwitchTo500mlMode");
    }
    /**
     * Reads the volume mode (VasqDeviceIs500mlMode()).
     * @return true in 500 ml mode.
     * @throws Error when the read fails.
     */
    bool is500mlMode()
    {
        const int on = VasqDeviceIs500mlMode(native());
        detail::checkLastError("VasqDeviceIs500mlMode");
        return on != 0;
    }
    /**
     * Names the picture that writePng() uploads next (VasqDeviceWritePNGFileName()).
     * @param name the file name, at most 255 bytes.
     * @throws Error when the exchange fails or the name is too long.
     */
    void writePngFileName(const std::string& name)
    {
        detail::check(VasqDeviceWritePNGFileName(native(), name.c_str()), "VasqDeviceWritePNGFileName");
    }
    /**
     * Uploads a picture (VasqDeviceWritePNG()).
     * @param data the picture's bytes.
     * @param size their number; none, or more than an int counts, fails.
     * @throws Error when the transfer fails.
     */
    void writePng(const void* data, std::size_t size)
    {
        if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            throw Error(VASQ_ERROR_INVALID_ARGUMENT, "writePng: the picture is too large");
        const auto* bytes = static_cast<const char*>(data);
        std::vector<char> copy(bytes, bytes + (bytes != nullptr ? size : 0));
        detail::check(VasqDeviceWritePNG(native(), copy.empty() ? nullptr : copy.data(), static_cast<int>(size)),
                      "VasqDeviceWritePNG");
    }

private:
    std::string serial() const { return m_state ? m_state->serial : std::string(); }

    void startBPTest(void* record, BPReportCallback onReport)
    {
        detail::Registration registration(std::move(onReport), "BP test", serial());
        detail::check(VasqDeviceRunBPTest(native(), record, registration ? &detail::onBPReport : nullptr,
                                          registration.context()),
                      "VasqDeviceRunBPTest");
        install(detail::BPSlot, std::move(registration));
    }

    // After a successful start: the kind's callback is now the new one. A
    // Device closed meanwhile keeps none.
    void install(detail::Slot slot, detail::Registration registration)
    {
        if (!m_state)
            return;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (m_state->handle.load() != nullptr)
                std::swap(m_state->slots[slot], registration);
        }
        // registration, now the previous callback (or the unused new one), goes here, unlocked.
    }

    std::uintptr_t key(detail::Slot slot) const
    {
        if (!m_state)
            return 0;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->slots[slot].key();
    }

    // After a stop: the callback that ran before it goes, unless a start on
    // another thread has replaced it meanwhile.
    void release(detail::Slot slot, std::uintptr_t running)
    {
        if (!m_state || running == 0)
            return;
        detail::Registration released;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (m_state->slots[slot].key() == running)
                released = std::move(m_state->slots[slot]);
        }
    }

    std::unique_ptr<detail::DeviceState> m_state;
};

}  // namespace vasq

#endif
