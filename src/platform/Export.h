#pragma once

// Symbols of the shared library are hidden unless marked; only the public
// functions and the service functions carry this mark.
#define VASQ_EXPORT __attribute__((visibility("default")))
