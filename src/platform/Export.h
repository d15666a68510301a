#pragma once

// Symbols of the shared library are hidden unless marked; only the public
// functions and the service functions carry this mark.
#define VASQ_EXPORT __attribute__((visibility("default")))

// A member of an exported class that is not part of the library's interface.
#if defined(_WIN32)
#define VASQ_INTERNAL
#else
#define VASQ_INTERNAL __attribute__((visibility("hidden")))
#endif
