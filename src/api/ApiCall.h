#pragma once

// How an exported function reports: the thread's pending reason is cleared
// on entry, and the result turns it into the thread's last error on return.
#include <stdarg.h>
#include <stdio.h>

#include <optional>
#include <string>

#include "api/Instrument.h"
#include "platform/Diagnostics.h"

// The outermost exported call also chooses the device the work is for: the
// one a per-device function names (see DeviceCall), or the default device.
class ApiCall {
public:
    // An exported function that another one calls inside the library leaves
    // the reason and the last error to the outermost call, and works on the
    // device the outermost call chose.
    explicit ApiCall(const char* name)
        : m_name(name), m_refused(InLogSink()), m_outermost(t_depth++ == 0 || m_refused)
    {
        // From inside the log callback: the line may come from under any lock
        // of the library, so the call does nothing and says so at once.
        if (m_refused) {
            SetLastError(kErrorBusy, (std::string(name) + ": not from inside the log callback").c_str());
            return;
        }
        if (t_forwarded != nullptr) {
            m_device.emplace(*t_forwarded);
            m_name = t_forwardedName;
            t_forwarded = nullptr;
        } else if (m_outermost) {
            m_device.emplace(DefaultInstrument());
        }
        if (m_outermost)
            ClearReason();
    }
    ~ApiCall() { --t_depth; }
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;

    // The result as it goes back: success clears the last error; a failure
    // takes the reason the work recorded, or says what is known without one.
    template <typename T>
    T Result(T value, bool ok)
    {
        if (!m_outermost)
            return value;
        if (ok)
            SetLastError(kErrorNone, "");
        else
            Failed();
        return value;
    }
    int Flag(bool ok) { return Result(ok ? 1 : 0, ok); }
    // A failure whose reason the function itself knows.
    template <typename T>
    __attribute__((format(printf, 4, 5))) T Fail(T value, int code, const char* format, ...)
    {
        va_list arguments;
        va_start(arguments, format);
        char text[kReasonSize];
        vsnprintf(text, sizeof(text), format, arguments);
        va_end(arguments);
        SetReason(code, "%s", text);
        if (m_outermost)
            Failed();
        return value;
    }
    const char* Name() const { return m_name; }
    // A call from inside the log callback, refused: return at once.
    bool Refused() const { return m_refused; }

private:
    friend class DeviceCall;
    void Failed();

    static thread_local int t_depth;
    static thread_local Device* t_forwarded;
    static thread_local const char* t_forwardedName;
    const char* m_name;
    const bool m_refused;
    const bool m_outermost;
    std::optional<DeviceScope> m_device;
};

// A per-device function: hands its device and its name to the call of the
// interface's function that does the work, which then reports under that name.
class DeviceCall {
public:
    // A device, or why there is none ("the device is closed").
    struct Target {
        Device* device;
        const char* fault;
    };

    DeviceCall(const char* name, Device* device) : DeviceCall(name, Target{device, "the device is null"}) {}
    DeviceCall(const char* name, const Target& target) : m_valid(target.device != nullptr && !InLogSink())
    {
        if (InLogSink()) {
            SetLastError(kErrorBusy, (std::string(name) + ": not from inside the log callback").c_str());
        } else if (m_valid) {
            ApiCall::t_forwarded = target.device;
            ApiCall::t_forwardedName = name;
        } else {
            SetLastError(kErrorInvalidArgument, (std::string(name) + ": " + target.fault).c_str());
        }
    }
    ~DeviceCall() { ApiCall::t_forwarded = nullptr; }
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

    bool Valid() const { return m_valid; }

private:
    bool m_valid;
};
