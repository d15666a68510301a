#pragma once

// How an exported function reports: the thread's pending reason is cleared
// on entry, and the result turns it into the thread's last error on return.
#include <stdarg.h>
#include <stdio.h>

#include <optional>
#include <string>

#include "api/Instrument.h"
#include "platform/Diagnostics.h"

// An exported function reports through one of these. The instrument it works
// on is chosen once, where the function is exported: the default instrument
// for the interface's own functions, the handle's for a per-device one. Every
// function below takes that instrument as its first argument and passes it on;
// its lines are about that instrument for the call's lifetime.
class ApiCall {
public:
    // An exported function that another one calls inside the library leaves
    // the reason and the last error to the outermost call.
    ApiCall(const char* name, Instrument& instrument) : ApiCall(name, &instrument) {}
    // A function about no instrument (versions, tables).
    explicit ApiCall(const char* name) : ApiCall(name, nullptr) {}
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
    ApiCall(const char* name, Instrument* instrument)
        : m_name(name), m_instrument(instrument), m_refused(InLogSink()), m_outermost(t_depth++ == 0 || m_refused)
    {
        // From inside the log callback: the line may come from under any lock
        // of the library, so the call does nothing and says so at once.
        if (m_refused) {
            SetLastError(kErrorBusy, (std::string(name) + ": not from inside the log callback").c_str());
            return;
        }
        if (instrument != nullptr)
            m_lines.emplace(instrument->m_logSubject);
        if (m_outermost)
            ClearReason();
    }
    void Failed();

    static thread_local int t_depth;
    const char* m_name;
    Instrument* const m_instrument;
    const bool m_refused;
    const bool m_outermost;
    std::optional<LogScope> m_lines;
};

// The instrument that a per-device function's handle names, or null with the
// last error saying why (the handle is null, closed or unknown; the call comes
// from inside the log callback).
Instrument* InstrumentOf(const char* function, VasqDevice* handle);
