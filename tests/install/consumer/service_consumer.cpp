// A C++ service tool built against the installed tree: the service header must
// be usable on its own, and its functions resolve under their C++ names.
#include <vasq_service.h>

#include <cstdio>

int main()
{
    if (VasqGetDeviceHandle() != -1) {
        std::fprintf(stderr, "a device handle without a device\n");
        return 1;
    }
    return 0;
}
