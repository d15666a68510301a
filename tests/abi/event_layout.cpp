// The event classes as release 1.0 exported their constructors: the base
// holds no data, and each kind holds its mutex, condition and flag, in this
// order, after the pointer to its virtual functions. An application may have
// sized storage for an object from that layout, so each target's sizes and
// offsets are fixed here, and an object built in such storage works.
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>

#include <new>
#include <type_traits>

#include "platform/Event.h"

// What the layout is made of, as the target's compiler lays it out.
struct PartEvent {
    void* virtualFunctions;
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    bool m_bSignaled;
};

#pragma GCC diagnostic ignored "-Winvalid-offsetof"
struct EventLayout {
    template <typename Event>
    static constexpr bool Matches()
    {
        return sizeof(Event) == sizeof(PartEvent) && alignof(Event) == alignof(PartEvent) &&
               offsetof(Event, m_mutex) == offsetof(PartEvent, m_mutex) &&
               offsetof(Event, m_cond) == offsetof(PartEvent, m_cond) &&
               offsetof(Event, m_bSignaled) == offsetof(PartEvent, m_bSignaled);
    }
    // The figures of the targets the project builds for.
    template <typename Event>
    static constexpr bool Figures(size_t size, size_t mutex, size_t cond, size_t flag)
    {
        return sizeof(Event) == size && offsetof(Event, m_mutex) == mutex && offsetof(Event, m_cond) == cond &&
               offsetof(Event, m_bSignaled) == flag;
    }
};

static_assert(std::is_empty<CEvent>::value || sizeof(CEvent) == sizeof(void*), "the base holds no data");
static_assert(EventLayout::Matches<CAutoResetEvent>(), "CAutoResetEvent: mutex, condition, flag");
static_assert(EventLayout::Matches<CManualResetEvent>(), "CManualResetEvent: mutex, condition, flag");
#if defined(__x86_64__)
static_assert(EventLayout::Figures<CAutoResetEvent>(104, 8, 48, 96), "x86-64");
static_assert(EventLayout::Figures<CManualResetEvent>(104, 8, 48, 96), "x86-64");
#elif defined(__i386__)
static_assert(EventLayout::Figures<CAutoResetEvent>(80, 4, 28, 76), "i386");
static_assert(EventLayout::Figures<CManualResetEvent>(80, 4, 28, 76), "i386");
#elif defined(__aarch64__)
static_assert(EventLayout::Figures<CAutoResetEvent>(112, 8, 56, 104), "arm64");
static_assert(EventLayout::Figures<CManualResetEvent>(112, 8, 56, 104), "arm64");
#elif defined(__arm__)
static_assert(EventLayout::Figures<CAutoResetEvent>(88, 4, 32, 80), "armhf");
static_assert(EventLayout::Figures<CManualResetEvent>(88, 4, 32, 80), "armhf");
#else
#error "the event layout of this target is not known: add its figures"
#endif

namespace {

// Builds the event in storage of exactly the layout's size and uses it,
// alone and in a wait on several events.
template <typename Event>
bool WorksInItsOwnSize(bool consumes)
{
    alignas(PartEvent) unsigned char storage[sizeof(PartEvent)];
    Event* event = new (storage) Event(false);
    CAutoResetEvent other;
    CEvent* events[] = {&other, event};
    event->SetEvent();
    bool ok = WaitForMultipleObjects(2, events, 0, 1000) == 1;
    ok = ok && event->WaitTimeout(0) == (consumes ? WAIT_TIMEDOUT : WAIT_SIGNALED);
    event->ResetEvent();
    ok = ok && event->WaitTimeout(10) == WAIT_TIMEDOUT;
    event->~Event();
    return ok;
}

}  // namespace

int main()
{
    const bool autoReset = WorksInItsOwnSize<CAutoResetEvent>(true);
    const bool manualReset = WorksInItsOwnSize<CManualResetEvent>(false);
    printf("event classes: %zu bytes (mutex at %zu, condition at %zu, flag at %zu)\n", sizeof(CAutoResetEvent),
           offsetof(PartEvent, m_mutex), offsetof(PartEvent, m_cond), offsetof(PartEvent, m_bSignaled));
    if (!autoReset || !manualReset) {
        fprintf(stderr, "an event built in storage of its layout's size failed: auto %d, manual %d\n", autoReset,
                manualReset);
        return 1;
    }
    return 0;
}
