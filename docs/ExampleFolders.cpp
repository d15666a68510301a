// Linked into the README's example for its test only: points the library at
// the test's private folder before main runs, so the example's scan finds the
// simulated device there and never a real port.
#include <stdlib.h>

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

struct ExampleFolders {
    ExampleFolders()
    {
        if (const char* folder = getenv("VASQ_EXAMPLE_FOLDER"))
            SetDeviceFoldersForTesting(folder, folder);
    }
} s_folders;

}  // namespace
