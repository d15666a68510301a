#pragma once

// How an exported function reports: the thread's pending reason is cleared
// on entry, and the result turns it into the thread's last error on return.
#include <stdarg.h>
#include <stdio.h>

#include "platform/Diagnostics.h"

class ApiCall {
public:
    // An exported function that another one calls inside the library leaves
    // the reason and the last error to the outermost call.
    explicit ApiCall(const char* name) : m_name(name), m_outermost(t_depth++ == 0)
    {
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

private:
    void Failed();

    static thread_local int t_depth;
    const char* m_name;
    const bool m_outermost;
};
