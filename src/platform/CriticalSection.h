#pragma once

#include <pthread.h>

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
    pthread_mutex_t m_mutex;
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
