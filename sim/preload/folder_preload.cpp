// Preloaded by `vasq-sim -- COMMAND`: points the command's libvasq at the
// folder where the simulator serves its node, before the command runs.
#include <stdlib.h>

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

__attribute__((constructor)) void PointAtSimulatedDevice()
{
    const char* folder = getenv("VASQ_SIM_FOLDER");
    if (folder != nullptr && folder[0] != '\0')
        SetDeviceFoldersForTesting(folder, folder);
}

}  // namespace
