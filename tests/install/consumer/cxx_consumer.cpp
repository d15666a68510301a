// A C++ application of <vasq.hpp> built against the installed tree. Without an
// instrument it checks what needs none, and prints the file the library was
// loaded from, so the test can tell the installed copy was used.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include <vasq.hpp>

int main()
{
    if (vasq::version() != VasqGetVersion()) {
        std::fprintf(stderr, "version '%s' is not the library's\n", vasq::version().c_str());
        return 1;
    }
    vasq::Device none;
    try {
        none.unit();
        std::fprintf(stderr, "a Device without an instrument read a unit\n");
        return 1;
    } catch (const vasq::Error& e) {
        if (e.code() != VASQ_ERROR_INVALID_ARGUMENT) {
            std::fprintf(stderr, "unexpected error %d: %s\n", e.code(), e.what());
            return 1;
        }
    }
    Dl_info where;
    if (dladdr(reinterpret_cast<void*>(&VasqGetVersion), &where) == 0 || where.dli_fname == nullptr) {
        std::fprintf(stderr, "cannot tell where the library was loaded from\n");
        return 1;
    }
    std::printf("%s\n", where.dli_fname);
    return 0;
}
