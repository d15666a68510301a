// A small test runner for the Windows tests, which run under Wine where no
// test framework is built for the target. Each test is a function; a failed
// check ends it. The closing line counts the passed and failed tests.
#pragma once

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

namespace wintest {

struct Case {
    const char* name;
    void (*run)();
};

inline std::vector<Case>& Cases()
{
    static std::vector<Case> cases;
    return cases;
}

inline bool& Failed()
{
    static bool failed = false;
    return failed;
}

inline bool& Skipped()
{
    static bool skipped = false;
    return skipped;
}

struct Registrar {
    Registrar(const char* name, void (*run)()) { Cases().push_back({name, run}); }
};

inline void Fail(const char* file, int line, const std::string& what)
{
    printf("%s:%d: check failed: %s\n", file, line, what.c_str());
    fflush(stdout);
    Failed() = true;
}

inline void Skip(const char* why)
{
    printf("  skipped: %s\n", why);
    Skipped() = true;
}

// Waits until the condition holds or the deadline passes; true if it held.
inline bool WaitFor(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(5);
    }
}

// A top-level window of this process with the class name and title: other
// test processes share Wine's desktop, and their windows bear the same names.
inline HWND FindOwnWindow(const char* className, const char* title)
{
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, className, title)) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return window;
    }
    return nullptr;
}

// Runs every test, or the one named on the command line.
inline int RunAll(int argc, char** argv)
{
    int passed = 0, failed = 0, skipped = 0;
    for (const Case& c : Cases()) {
        if (argc > 1 && strcmp(argv[1], c.name) != 0)
            continue;
        printf("[ RUN      ] %s\n", c.name);
        fflush(stdout);
        Failed() = false;
        Skipped() = false;
        c.run();
        if (Failed()) {
            ++failed;
            printf("[  FAILED  ] %s\n", c.name);
        } else if (Skipped()) {
            ++skipped;
            printf("[  SKIPPED ] %s\n", c.name);
        } else {
            ++passed;
            printf("[       OK ] %s\n", c.name);
        }
        fflush(stdout);
    }
    printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    fflush(stdout);
    return failed == 0 ? 0 : 1;
}

// A value as a failed check shows it: numbers as numbers, texts quoted.
inline std::string Shown(const std::string& text)
{
    return "\"" + text + "\"";
}
inline std::string Shown(const char* text)
{
    return text == nullptr ? std::string("null") : Shown(std::string(text));
}
template <typename T>
std::string Shown(const T& value)
{
    return std::to_string(value);
}

}  // namespace wintest

#define WIN_TEST(name)                                                   \
    static void name();                                                  \
    static wintest::Registrar name##_registrar(#name, name);             \
    static void name()

#define CHECK(condition)                                                 \
    do {                                                                 \
        if (!(condition)) {                                              \
            wintest::Fail(__FILE__, __LINE__, #condition);               \
            return;                                                      \
        }                                                                \
    } while (0)

#define CHECK_EQ(expected, actual)                                                                     \
    do {                                                                                               \
        const auto expectedValue = (expected);                                                         \
        const auto actualValue = (actual);                                                             \
        if (!(expectedValue == actualValue)) {                                                         \
            wintest::Fail(__FILE__, __LINE__,                                                          \
                          std::string(#actual) + " is " + wintest::Shown(actualValue) + ", expected " + \
                              wintest::Shown(expectedValue));                                          \
            return;                                                                                    \
        }                                                                                              \
    } while (0)
