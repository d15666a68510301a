// Preloaded by `vasq-sim -- COMMAND`: points the command's libvasq at the
// folder where the simulator serves its node. It does not load libvasq
// itself: a command that does not use the library must run as without it (a
// loaded libvasq starts a thread, which programs that change their user, such
// as setpriv, refuse). A libvasq the program links is pointed just before its
// main runs, one it opens later (Python's ctypes) as it is opened. When
// vasq-sim preloads the library VASQ_LIBRARY names (VASQ_SIM_LIBRARY, ahead of
// this helper), it checks before main that this is the libvasq in the command.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

// The library's test hook, SetDeviceFoldersForTesting(const char*, const char*), by its symbol.
constexpr char kHook[] = "_Z26SetDeviceFoldersForTestingPKcS0_";
using Hook = void (*)(const char*, const char*);
using Main = int (*)(int, char**, char**);
using StartMain = int (*)(Main, int, char**, void (*)(), void (*)(), void (*)(), void*);
using Open = void* (*)(const char*, int);

// Read once at load, before the program may change its environment.
const char* s_folder = nullptr;
const char* s_wanted = nullptr;
Main s_main = nullptr;
// The hook of the libvasq last pointed at the folder.
std::atomic<void*> s_pointed{nullptr};

const char* Setting(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? strdup(value) : nullptr;
}

__attribute__((constructor)) void ReadSettings()
{
    s_folder = Setting("VASQ_SIM_FOLDER");
    s_wanted = Setting("VASQ_SIM_LIBRARY");
}

bool SameFile(const char* a, const char* b)
{
    struct stat first;
    struct stat second;
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// The hook of the libvasq that `scope` reaches, if any; no lookup failure stays behind for the program.
void* FindHook(void* scope)
{
    void* hook = dlsym(scope, kHook);
    if (hook == nullptr)
        dlerror();
    return hook;
}

void Point(void* hook)
{
    if (hook == nullptr || s_folder == nullptr || s_pointed.exchange(hook) == hook)
        return;
    reinterpret_cast<Hook>(hook)(s_folder, s_folder);
}

int PointThenRun(int argc, char** argv, char** envp)
{
    void* hook = FindHook(RTLD_DEFAULT);
    if (s_wanted != nullptr) {
        Dl_info info{};
        const bool found = hook != nullptr && dladdr(hook, &info) != 0 && info.dli_fname != nullptr;
        if (!found || !SameFile(info.dli_fname, s_wanted)) {
            // The loader could not preload it (and said why): the command would run another copy.
            fprintf(stderr, "vasq-sim: VASQ_LIBRARY %s is not the libvasq loaded in %d (%s); not running it\n",
                    s_wanted, static_cast<int>(getpid()), found ? info.dli_fname : "none found");
            _exit(127);
        }
    }
    Point(hook);
    return s_main(argc, argv, envp);
}

}  // namespace

// Every library the program needs is loaded and initialised when the C
// library calls its main through here.
extern "C" int __libc_start_main(Main main, int argc, char** argv, void (*init)(), void (*fini)(),
                                 void (*rtldFini)(), void* stackEnd)
{
    const auto start = reinterpret_cast<StartMain>(dlsym(RTLD_NEXT, "__libc_start_main"));
    s_main = main;
    return start(PointThenRun, argc, argv, init, fini, rtldFini, stackEnd);
}

// A libvasq the program opens itself is initialised when the real dlopen
// returns. One it asks for by name alone and the system does not know is the
// libvasq beside this helper's folder (the build's, or the installed one).
extern "C" void* dlopen(const char* file, int mode)
{
    static const auto open = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "dlopen"));
    void* handle = open(file, mode);
    if (handle == nullptr && file != nullptr && strncmp(file, "libvasq.so", 10) == 0 && strchr(file, '/') == nullptr) {
        Dl_info self{};
        if (dladdr(reinterpret_cast<void*>(&PointThenRun), &self) != 0 && self.dli_fname != nullptr) {
            const char* slash = strrchr(self.dli_fname, '/');
            if (slash != nullptr) {
                char path[4096];
                snprintf(path, sizeof(path), "%.*s/../%s", static_cast<int>(slash - self.dli_fname), self.dli_fname,
                         file);
                handle = open(path, mode);
                // Failed too: the program's error is about the file it asked for.
                if (handle == nullptr)
                    open(file, mode);
            }
        }
    }
    if (handle != nullptr && s_folder != nullptr)
        Point(FindHook(handle));
    return handle;
}
