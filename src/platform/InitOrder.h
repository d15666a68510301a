#pragma once

// Construction order of the process-wide objects across files: lower numbers
// are constructed first and destroyed last. The threads of the library (the
// presence monitor, the connection thread) are stopped by objects constructed
// last, so that at unload they end before anything they use is destroyed.
#define VASQ_INIT_PLATFORM_CORE __attribute__((init_priority(101)))
#define VASQ_INIT_PLATFORM __attribute__((init_priority(102)))
#define VASQ_INIT_DEVICE __attribute__((init_priority(103)))
#define VASQ_INIT_MONITOR __attribute__((init_priority(110)))
#define VASQ_INIT_LIFETIME __attribute__((init_priority(111)))
// The devices opened beside the default one are released before its workers end.
#define VASQ_INIT_DEVICES_LIFETIME __attribute__((init_priority(113)))
// Constructed last, destroyed first: marks the start of the unload.
#define VASQ_INIT_UNLOAD_MARK __attribute__((init_priority(120)))
