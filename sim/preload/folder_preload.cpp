// Preloaded by `vasq-sim -- COMMAND`: points the command's libvasq at the
// folder where the simulator serves its node, before the command runs. When
// vasq-sim preloads the library VASQ_LIBRARY names (VASQ_SIM_LIBRARY, ahead of
// this helper), checks that it is the libvasq this helper is bound to.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

bool SameFile(const char* a, const char* b)
{
    struct stat first;
    struct stat second;
    return stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

__attribute__((constructor)) void PointAtSimulatedDevice()
{
    const char* wanted = getenv("VASQ_SIM_LIBRARY");
    if (wanted != nullptr && wanted[0] != '\0') {
        Dl_info info{};
        const bool found = dladdr(reinterpret_cast<void*>(&SetDeviceFoldersForTesting), &info) != 0 &&
                           info.dli_fname != nullptr;
        if (!found || !SameFile(info.dli_fname, wanted)) {
            // The loader could not preload it (and said why): the command would run another copy.
            fprintf(stderr, "vasq-sim: VASQ_LIBRARY %s is not the libvasq loaded in %d (%s); not running it\n",
                    wanted, static_cast<int>(getpid()), found ? info.dli_fname : "none found");
            _exit(127);
        }
    }
    const char* folder = getenv("VASQ_SIM_FOLDER");
    if (folder != nullptr && folder[0] != '\0')
        SetDeviceFoldersForTesting(folder, folder);
}

}  // namespace
