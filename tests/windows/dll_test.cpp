// Vasq9x64.dll as an application sees it: its export and import tables, its
// version resource, and the window each loaded copy adds to the process.
#include "WinTest.h"

#include <tlhelp32.h>

#include <set>
#include <utility>

#include "vasq.h"
#include "vasq_version.h"

namespace {

// The public functions, the first 32 in alphabetical order and later ones
// after them; the ordinal is the place + 1.
constexpr unsigned kPublicCount = 68;
const char* const kPublicFunctions[kPublicCount] = {
    "VasqConnect", "VasqEnableAirPort", "VasqFree", "VasqGetDeviceInformation", "VasqGetEnvelopeRawData",
    "VasqGetHWInformation", "VasqGetLeakageCalibrationRate", "VasqGetPressureUnit", "VasqGetSampleRate",
    "VasqGetSerialNumber", "VasqGetVersion", "VasqGetWaitStableTime", "VasqInit", "VasqIs500mlMode",
    "VasqPausePump", "VasqRebaseZero", "VasqResetAirPort", "VasqRunBPTest", "VasqRunLeakageCalibration",
    "VasqRunLeakageTest", "VasqRunOverpressureTest", "VasqRunStaticPressure", "VasqSetEnvelopeRawData",
    "VasqSetPressureUnit", "VasqStartSampling", "VasqStopSampling", "VasqStopTest", "VasqSwitchTo500mlMode",
    "VasqSwitchToAdultMode", "VasqUpdateAirPort", "VasqWritePNG", "VasqWritePNGFileName", "VasqGetLastError",
    "VasqGetLastErrorText", "VasqSetLogCallback",
    "VasqOpenDevice", "VasqCloseDevice", "VasqDeviceGetSerialNumber", "VasqDeviceGetPortNumber",
    "VasqDeviceSetConnectionCallback", "VasqDeviceGetDeviceInformation", "VasqDeviceGetHWInformation",
    "VasqDeviceSetPressureUnit", "VasqDeviceGetPressureUnit", "VasqDeviceRebaseZero", "VasqDeviceStartSampling",
    "VasqDeviceStopSampling", "VasqDeviceGetSampleRate", "VasqDeviceEnableAirPort", "VasqDeviceResetAirPort",
    "VasqDeviceUpdateAirPort", "VasqDevicePausePump", "VasqDeviceStopTest", "VasqDeviceRunBPTest",
    "VasqDeviceRunLeakageTest", "VasqDeviceRunLeakageCalibration", "VasqDeviceGetLeakageCalibrationRate",
    "VasqDeviceRunOverpressureTest", "VasqDeviceRunStaticPressure", "VasqDeviceGetWaitStableTime",
    "VasqDeviceGetEnvelopeRawData", "VasqDeviceSetEnvelopeRawData", "VasqDeviceSwitchToAdultMode",
    "VasqDeviceSwitchTo500mlMode", "VasqDeviceIs500mlMode", "VasqDeviceWritePNGFileName", "VasqDeviceWritePNG",
    "VasqGetReleaseVersion"};

const char* const kServiceFunctions[] = {
    "VasqGetBootloaderInformation", "VasqGetDeviceHandle", "VasqSetDeviceHandle", "VasqReadMfgInfo",
    "VasqWriteMfgInfo", "VasqSetDeviceInformation", "VasqUpdateFwLoadBinFile", "VasqUpdateFwBurnBinFile"};

const char kClassPrefix[] = "MsgMonitorWnd-Vasq9{5d2e8c41-9b7a-4f06-b3c5-2e71a9d04f68}-";

std::string g_dllPath;

std::string ClassName(int index)
{
    char name[128];
    snprintf(name, sizeof(name), "%s%03d", kClassPrefix, index);
    return name;
}

// The threads of this process now; -1 when they cannot be listed.
int ProcessThreadCount()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

bool WindowExists(int index)
{
    return wintest::FindOwnWindow(ClassName(index).c_str(), "title") != nullptr;
}

bool ClassRegistered(int index)
{
    WNDCLASSEXA found = {};
    found.cbSize = sizeof(found);
    return GetClassInfoExA(GetModuleHandleA(nullptr), ClassName(index).c_str(), &found) != 0;
}

std::set<std::string> PendingExports()
{
    std::set<std::string> pending;
    std::string text = VASQ_PENDING_EXPORTS;
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
        pending.insert(text.substr(at, comma - at));
        at = comma + 1;
    }
    return pending;
}

template <typename T>
const T* At(HMODULE module, DWORD rva)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int entry)
{
    const auto* dos = At<IMAGE_DOS_HEADER>(module, 0);
    const auto* nt = At<IMAGE_NT_HEADERS64>(module, dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[entry];
}

}  // namespace

WIN_TEST(ExportsThePublicFunctionsByNameWithTheirOrdinalsAndNothingElse)
{
    HMODULE dll = LoadLibraryA(g_dllPath.c_str());
    CHECK(dll != nullptr);
    const auto* exports = At<IMAGE_EXPORT_DIRECTORY>(dll, Directory(dll, IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    const auto* names = At<DWORD>(dll, exports->AddressOfNames);
    const auto* ordinals = At<WORD>(dll, exports->AddressOfNameOrdinals);
    CHECK_EQ(1u, static_cast<unsigned>(exports->Base));
    const std::set<std::string> pending = PendingExports();
    std::set<std::string> exported;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const std::string name = At<char>(dll, names[i]);
        const unsigned ordinal = ordinals[i] + exports->Base;
        bool known = false;
        for (unsigned k = 0; k < kPublicCount; ++k) {
            if (name == kPublicFunctions[k]) {
                known = true;
                CHECK_EQ(k + 1, ordinal);
            }
        }
        if (!known)
            wintest::Fail(__FILE__, __LINE__, "unexpected export " + name);
        exported.insert(name);
    }
    for (unsigned k = 0; k < kPublicCount; ++k) {
        const char* name = kPublicFunctions[k];
        const FARPROC byName = GetProcAddress(dll, name);
        if (pending.count(name) != 0) {
            CHECK(byName == nullptr);
            continue;
        }
        if (byName == nullptr)
            wintest::Fail(__FILE__, __LINE__, std::string("missing export ") + name);
        CHECK(byName == GetProcAddress(dll, MAKEINTRESOURCEA(k + 1)));
    }
    for (const char* service : kServiceFunctions)
        CHECK(GetProcAddress(dll, service) == nullptr);
    CHECK_EQ(kPublicCount - pending.size(), exported.size());
    if (!pending.empty())
        printf("  %u public functions are not built yet: %s\n", static_cast<unsigned>(pending.size()),
               VASQ_PENDING_EXPORTS);
    FreeLibrary(dll);
}

WIN_TEST(ImportsSystemLibrariesOnly)
{
    HMODULE dll = LoadLibraryA(g_dllPath.c_str());
    CHECK(dll != nullptr);
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "setupapi.dll", "winmm.dll", "msvcrt.dll"};
    const auto* import = At<IMAGE_IMPORT_DESCRIPTOR>(dll, Directory(dll, IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    int count = 0;
    for (; import->Name != 0; ++import, ++count) {
        std::string name = At<char>(dll, import->Name);
        for (char& c : name)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        printf("  imports %s\n", name.c_str());
        if (allowed.count(name) == 0)
            wintest::Fail(__FILE__, __LINE__, "imports " + name);
    }
    CHECK(count > 0);
    FreeLibrary(dll);
}

// The resource states the interface's version, the text VasqGetVersion gives,
// whatever the release; the release has a string and a function of its own.
WIN_TEST(CarriesTheInterfaceVersionAndTheRelease)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(g_dllPath.c_str(), &ignored);
    CHECK(size > 0);
    std::string data(size, '\0');
    CHECK(GetFileVersionInfoA(g_dllPath.c_str(), 0, size, &data[0]));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    CHECK(VerQueryValueA(&data[0], "\\", reinterpret_cast<void**>(&info), &length));
    CHECK(info != nullptr);
    const unsigned long high = (1ul << 16) | 0ul;
    const unsigned long low = (3ul << 16) | 1ul;
    CHECK_EQ(high, static_cast<unsigned long>(info->dwFileVersionMS));
    CHECK_EQ(low, static_cast<unsigned long>(info->dwFileVersionLS));
    CHECK_EQ(high, static_cast<unsigned long>(info->dwProductVersionMS));
    CHECK_EQ(low, static_cast<unsigned long>(info->dwProductVersionLS));
    for (const char* name : {"FileVersion", "ProductVersion", "ReleaseVersion"}) {
        char* text = nullptr;
        CHECK(VerQueryValueA(&data[0], (std::string("\\StringFileInfo\\040904b0\\") + name).c_str(),
                             reinterpret_cast<void**>(&text), &length));
        CHECK(text != nullptr);
        CHECK_EQ(std::string(name) == "ReleaseVersion" ? std::string(VASQ_RELEASE) : std::string("1.0.3.1"),
                 std::string(text));
    }

    HMODULE dll = LoadLibraryA(g_dllPath.c_str());
    CHECK(dll != nullptr);
    using TextFn = const char* (*)();
    const auto version = reinterpret_cast<TextFn>(reinterpret_cast<void*>(GetProcAddress(dll, "VasqGetVersion")));
    const FARPROC byName = GetProcAddress(dll, "VasqGetReleaseVersion");
    CHECK(version != nullptr && byName != nullptr);
    CHECK(byName == GetProcAddress(dll, MAKEINTRESOURCEA(68)));
    const auto release = reinterpret_cast<TextFn>(reinterpret_cast<void*>(byName));
    CHECK_EQ(std::string("1.0.3.1"), std::string(version()));
    CHECK_EQ(std::string(VASQ_RELEASE), std::string(release()));
    CHECK(FreeLibrary(dll));
}

WIN_TEST(EachLoadedCopyHasItsWindowAndUnloadingRemovesThem)
{
    char folder[MAX_PATH] = {};
    GetTempPathA(sizeof(folder), folder);
    const std::string copy = std::string(folder) + "Vasq9x64-second-" + std::to_string(GetCurrentProcessId()) + ".dll";
    CHECK(CopyFileA(g_dllPath.c_str(), copy.c_str(), FALSE));

    for (int round = 0; round < 2; ++round) {
        HMODULE first = LoadLibraryA(g_dllPath.c_str());
        CHECK(first != nullptr);
        CHECK(wintest::WaitFor([] { return WindowExists(0); }, 5000));
        HMODULE second = LoadLibraryA(copy.c_str());
        CHECK(second != nullptr);
        CHECK(first != second);
        CHECK(wintest::WaitFor([] { return WindowExists(1); }, 5000));
        CHECK(!WindowExists(2));

        CHECK(FreeLibrary(second));
        CHECK(!WindowExists(1));
        CHECK(!ClassRegistered(1));
        CHECK(WindowExists(0));
        CHECK(FreeLibrary(first));
        CHECK(!WindowExists(0));
        CHECK(!ClassRegistered(0));
        CHECK(GetModuleHandleA("Vasq9x64.dll") == nullptr);
    }
    DeleteFileA(copy.c_str());
}

WIN_TEST(UnloadRightAfterLoadEndsCleanly)
{
    const int threadsBefore = ProcessThreadCount();
    CHECK(threadsBefore > 0);
    for (int round = 0; round < 3; ++round) {
        HMODULE dll = LoadLibraryA(g_dllPath.c_str());
        CHECK(dll != nullptr);
        const ULONGLONG start = GetTickCount64();
        CHECK(FreeLibrary(dll));
        printf("  unload right after load took %llu ms\n", GetTickCount64() - start);
        CHECK(!WindowExists(0));
        // A thread that had not yet entered the library's code when it went
        // ends by itself, never running that code: the process goes on.
        CHECK(wintest::WaitFor([&] { return ProcessThreadCount() <= threadsBefore; }, 5000));
    }
}

WIN_TEST(ConnectWithoutADeviceTimesOutAndFrees)
{
    HMODULE dll = LoadLibraryA(g_dllPath.c_str());
    CHECK(dll != nullptr);
    using Connect = bool (*)(int, uint32_t);
    using Free = void (*)();
    auto connect = reinterpret_cast<Connect>(reinterpret_cast<void*>(GetProcAddress(dll, "VasqConnect")));
    auto release = reinterpret_cast<Free>(reinterpret_cast<void*>(GetProcAddress(dll, "VasqFree")));
    CHECK(connect != nullptr && release != nullptr);
    CHECK(!connect(-1, 300));
    CHECK(!connect(3, 300));
    release();
    // A connection thread still searching when the library goes is stopped by the unload.
    using Init = bool (*)(void (*)(bool));
    auto init = reinterpret_cast<Init>(reinterpret_cast<void*>(GetProcAddress(dll, "VasqInit")));
    CHECK(init != nullptr);
    CHECK(init(nullptr));
    Sleep(100);
    CHECK(FreeLibrary(dll));
    CHECK(!WindowExists(0));
}

namespace {

struct LogRecord {
    CRITICAL_SECTION lock;
    std::vector<std::pair<int, std::string>> lines;
    LogRecord() { InitializeCriticalSection(&lock); }
    ~LogRecord() { DeleteCriticalSection(&lock); }
    std::vector<std::pair<int, std::string>> Lines()
    {
        EnterCriticalSection(&lock);
        const std::vector<std::pair<int, std::string>> copy = lines;
        LeaveCriticalSection(&lock);
        return copy;
    }
};

void OnLog(int level, const char* message, void* context)
{
    auto* record = static_cast<LogRecord*>(context);
    EnterCriticalSection(&record->lock);
    record->lines.emplace_back(level, message);
    LeaveCriticalSection(&record->lock);
}

bool Logged(const std::vector<std::pair<int, std::string>>& lines, int level, const char* start)
{
    for (const auto& line : lines) {
        if (line.first == level && line.second.compare(0, strlen(start), start) == 0)
            return true;
    }
    return false;
}

template <typename T>
T Function(HMODULE dll, const char* name)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

using LastErrorFn = int (*)();

DWORD WINAPI ReadLastError(void* function)
{
    return static_cast<DWORD>(reinterpret_cast<LastErrorFn>(function)());
}

}  // namespace

// Why a call failed, as an application reads it from the DLL, and the log of
// a search, which Wine's SetupAPI makes a search without any Vasq9.
WIN_TEST(LastErrorAndLogTellWhyAConnectFoundNothing)
{
    HMODULE dll = LoadLibraryA(g_dllPath.c_str());
    CHECK(dll != nullptr);
    for (unsigned ordinal = 33; ordinal <= 35; ++ordinal) {
        const FARPROC byName = GetProcAddress(dll, kPublicFunctions[ordinal - 1]);
        CHECK(byName != nullptr);
        CHECK(byName == GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)));
    }
    auto lastError = Function<LastErrorFn>(dll, "VasqGetLastError");
    auto lastErrorText = Function<const char* (*)()>(dll, "VasqGetLastErrorText");
    auto setLog = Function<void (*)(VasqLogCallback, int, void*)>(dll, "VasqSetLogCallback");
    auto connect = Function<bool (*)(int, uint32_t)>(dll, "VasqConnect");
    auto release = Function<void (*)()>(dll, "VasqFree");
    auto version = Function<const char* (*)()>(dll, "VasqGetVersion");
    CHECK(lastError != nullptr && lastErrorText != nullptr && setLog != nullptr);
    CHECK(connect != nullptr && release != nullptr && version != nullptr);

    LogRecord log;
    setLog(OnLog, VASQ_LOG_INFO, &log);
    CHECK(!connect(3, 1000));
    CHECK_EQ(static_cast<int>(VASQ_ERROR_NOT_FOUND), lastError());
    const std::string text = lastErrorText();
    printf("  %s\n", text.c_str());
    CHECK(text.find("COM3") != std::string::npos);
    // Another thread's last error is its own.
    const HANDLE other = CreateThread(nullptr, 0, ReadLastError, reinterpret_cast<void*>(lastError), 0, nullptr);
    CHECK(other != nullptr);
    CHECK_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(other, 5000));
    DWORD otherError = 99;
    GetExitCodeThread(other, &otherError);
    CloseHandle(other);
    CHECK_EQ(0ul, static_cast<unsigned long>(otherError));

    const auto lines = log.Lines();
    for (const auto& line : lines) {
        printf("  log %d: %s\n", line.first, line.second.c_str());
        CHECK(line.first >= VASQ_LOG_ERROR && line.first <= VASQ_LOG_INFO);
    }
    CHECK(Logged(lines, VASQ_LOG_INFO, "looking for a Vasq9 on COM3"));
    CHECK(Logged(lines, VASQ_LOG_INFO, "search: COM3: "));
    CHECK(Logged(lines, VASQ_LOG_ERROR, "VasqConnect: "));

    CHECK(version() != nullptr);
    CHECK_EQ(0, lastError());
    CHECK(std::string(lastErrorText()).empty());

    setLog(nullptr, 0, nullptr);
    const size_t heard = log.Lines().size();
    CHECK(!connect(4, 300));
    CHECK_EQ(static_cast<int>(VASQ_ERROR_NOT_FOUND), lastError());
    CHECK(std::string(lastErrorText()).find("COM4") != std::string::npos);
    release();
    CHECK_EQ(heard, log.Lines().size());
    CHECK(FreeLibrary(dll));
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        printf("usage: windows_dll_test PATH-OF-Vasq9x64.dll [TEST]\n");
        return 2;
    }
    g_dllPath = argv[1];
    if (!g_dllPath.empty() && g_dllPath[0] == '/')
        g_dllPath = "Z:" + g_dllPath;  // a Unix path under Wine
    for (char& c : g_dllPath) {
        if (c == '/')
            c = '\\';
    }
    return wintest::RunAll(argc - 1, argv + 1);
}
