#pragma once

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "platform/Export.h"

// A re-entrant lock: the holder may lock it again; it is free once every Lock
// has been matched by an Unlock.
class VASQ_EXPORT CSimpleCriticalSection {
public:
    CSimpleCriticalSection();
    ~CSimpleCriticalSection();
    CSimpleCriticalSection(const CSimpleCriticalSection&) = delete;
    CSimpleCriticalSection& operator=(const CSimpleCriticalSection&) = delete;

    void Lock();
    void Unlock();

private:
#if defined(_WIN32)
    // The system's critical section, kept opaque here so that callers need not
    // see the system headers; the back end checks that it fits.
    alignas(8) unsigned char m_section[40];
#else
    pthread_mutex_t m_mutex;
#endif
};

class VASQ_EXPORT CAutoCriticalSection {
public:
    explicit CAutoCriticalSection(CSimpleCriticalSection& cs);
    ~CAutoCriticalSection();
    CAutoCriticalSection(const CAutoCriticalSection&) = delete;
    CAutoCriticalSection& operator=(const CAutoCriticalSection&) = delete;

private:
    CSimpleCriticalSection& m_cs;
};
