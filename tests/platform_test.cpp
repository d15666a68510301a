#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "platform/ProcessObjects.h"

namespace {

double ThreadCpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

}  // namespace

TEST(Events, AutoResetReleasesOneWaitPerSignal)
{
    CAutoResetEvent event(false);
    EXPECT_EQ(WAIT_TIMEDOUT, event.WaitTimeout(0));
    event.SetEvent();
    event.SetEvent();
    EXPECT_EQ(WAIT_SIGNALED, event.WaitTimeout(0));
    EXPECT_EQ(WAIT_TIMEDOUT, event.WaitTimeout(0));

    CAutoResetEvent initiallySet(true);
    initiallySet.Wait();
    EXPECT_EQ(WAIT_TIMEDOUT, initiallySet.WaitTimeout(0));
}

TEST(Events, ManualResetStaysSignalledUntilReset)
{
    CManualResetEvent event(false);
    event.SetEvent();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_SIGNALED, event.WaitTimeout(0));
    event.Wait();
    EXPECT_EQ(WAIT_SIGNALED, WaitForSingleObject(&event, 10));
    event.ResetEvent();
    EXPECT_EQ(WAIT_TIMEDOUT, event.WaitTimeout(0));
}

TEST(Events, TimedWaitRunsItsWholeIntervalAndWakesOnSet)
{
    CAutoResetEvent event;
    Stopwatch watch;
    EXPECT_EQ(WAIT_TIMEDOUT, event.WaitTimeout(200));
    EXPECT_GE(watch.Ms(), 199.0);

    std::thread setter([&] { event.SetEvent(); });
    Stopwatch woken;
    EXPECT_EQ(WAIT_SIGNALED, WaitForSingleObject(&event, INFINITE_TIMEOUT));
    setter.join();
    EXPECT_LT(woken.Ms(), 1000.0);
}

TEST(Events, CriticalSectionIsReentrantAndExcludesOthers)
{
    CSimpleCriticalSection section;
    CManualResetEvent otherHasLock;
    section.Lock();
    section.Lock();
    std::thread other([&] {
        CAutoCriticalSection lock(section);
        otherHasLock.SetEvent();
    });
    section.Unlock();
    EXPECT_EQ(WAIT_TIMEDOUT, otherHasLock.WaitTimeout(100)) << "inner unlock released the section";
    section.Unlock();
    EXPECT_EQ(WAIT_SIGNALED, otherHasLock.WaitTimeout(5000));
    other.join();
}

TEST(WaitForMultiple, LowestIndexWinsAndOnlyItIsConsumed)
{
    CManualResetEvent first;
    CAutoResetEvent second;
    CEvent* events[] = {&first, &second};
    first.SetEvent();
    second.SetEvent();
    EXPECT_EQ(0u, WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT));
    EXPECT_EQ(0u, WaitForMultipleObjects(2, events, 0, 0));
    first.ResetEvent();
    EXPECT_EQ(1u, WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT));
    EXPECT_EQ(WAIT_TIMEDOUT, WaitForMultipleObjects(2, events, 0, 0));
}

TEST(WaitForMultiple, WaitAllAndTimeoutsGive110)
{
    CAutoResetEvent a(true), b(true);
    CEvent* events[] = {&a, &b};
    EXPECT_EQ(WAIT_TIMEDOUT, WaitForMultipleObjects(2, events, 1, INFINITE_TIMEOUT));
    EXPECT_EQ(WAIT_SIGNALED, a.WaitTimeout(0)) << "wait-all consumed a signal";

    CAutoResetEvent quiet;
    CEvent* one[] = {&quiet};
    Stopwatch watch;
    EXPECT_EQ(WAIT_TIMEDOUT, WaitForMultipleObjects(1, one, 0, 150));
    EXPECT_GE(watch.Ms(), 149.0);
    EXPECT_EQ(WAIT_TIMEDOUT, WaitForMultipleObjects(0, nullptr, 0, 20));
}

TEST(WaitForMultiple, BlockedWaiterUsesNoProcessorAndWakesOnSet)
{
    CManualResetEvent stop;
    CAutoResetEvent tick;
    CEvent* events[] = {&stop, &tick};
    std::atomic<double> cpuMs{-1};
    std::atomic<uint32_t> result{99};
    CManualResetEvent waiting;
    std::thread waiter([&] {
        const double before = ThreadCpuMs();
        waiting.SetEvent();
        result = WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT);
        cpuMs = ThreadCpuMs() - before;
    });
    ASSERT_EQ(WAIT_SIGNALED, waiting.WaitTimeout(5000));
    // Give a spinning implementation time to show itself, then wake the waiter.
    CAutoResetEvent pause;
    pause.WaitTimeout(400);
    tick.SetEvent();
    waiter.join();
    EXPECT_EQ(1u, result.load());
    EXPECT_LT(cpuMs.load(), 100.0) << "the waiter spun instead of blocking";
}

// Many devices' threads each wait on a few events of their own: a set of any
// other event must not wake them, or every set costs every waiter a wake-up.
TEST(WaitForMultiple, OnlyItsOwnEventsWakeAWaiter)
{
    CManualResetEvent stop;
    CAutoResetEvent own;
    CEvent* events[] = {&stop, &own};
    std::atomic<long> wakeUps{-1};
    CManualResetEvent waiting;
    std::thread waiter([&] {
        const uint64_t before = MultiWaitSleeps();
        waiting.SetEvent();
        EXPECT_EQ(1u, WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT));
        wakeUps = static_cast<long>(MultiWaitSleeps() - before);
    });
    ASSERT_EQ(WAIT_SIGNALED, waiting.WaitTimeout(5000));
    CAutoResetEvent other;
    CAutoResetEvent pause;
    for (int i = 0; i < 100; ++i) {
        other.SetEvent();
        pause.WaitTimeout(1);
    }
    own.SetEvent();
    waiter.join();
    EXPECT_LT(wakeUps.load(), 20) << "sets of another event woke the waiter";
}

namespace {

// An event that counts the polls it gets through its WaitTimeout slot.
template <typename Base>
class CountingEvent : public Base {
public:
    uint32_t WaitTimeout(uint32_t milliseconds) override
    {
        if (milliseconds == 0)
            polls.fetch_add(1);
        return Base::WaitTimeout(milliseconds);
    }
    std::atomic<int> polls{0};
};

}  // namespace

// The wait polls each event through its virtual WaitTimeout(0), in index
// order, stopping at the first that is signalled.
TEST(WaitForMultiple, PollsEachEventThroughItsWaitTimeoutSlot)
{
    CountingEvent<CManualResetEvent> stop;
    CountingEvent<CAutoResetEvent> tick;
    CountingEvent<CAutoResetEvent> after;
    CEvent* events[] = {&stop, &tick, &after};
    tick.SetEvent();
    after.SetEvent();
    EXPECT_EQ(1u, WaitForMultipleObjects(3, events, 0, INFINITE_TIMEOUT));
    EXPECT_EQ(1, stop.polls.load());
    EXPECT_EQ(1, tick.polls.load());
    EXPECT_EQ(0, after.polls.load()) << "an event after the signalled one was polled";
    EXPECT_EQ(WAIT_SIGNALED, after.WaitTimeout(0)) << "its signal stays";

    std::thread setter([&] {
        CAutoResetEvent pause;
        pause.WaitTimeout(50);
        tick.SetEvent();
    });
    EXPECT_EQ(1u, WaitForMultipleObjects(2, events, 0, 5000));
    setter.join();
    EXPECT_GE(tick.polls.load(), 3) << "polled before the sleep and after the wake-up";
}

// An event of the application's own class wakes nobody when set; the wait
// still notices it by polling.
TEST(WaitForMultiple, AnEventOfAnotherClassIsPolled)
{
    class Flag : public CEvent {
    public:
        void SetEvent() override { m_set.store(true); }
        void ResetEvent() override { m_set.store(false); }
        void Wait() override {}
        uint32_t WaitTimeout(uint32_t) override { return m_set.exchange(false) ? WAIT_SIGNALED : WAIT_TIMEDOUT; }

    private:
        std::atomic<bool> m_set{false};
    };
    Flag flag;
    CAutoResetEvent own;
    CEvent* events[] = {&own, &flag};
    std::thread setter([&] {
        CAutoResetEvent pause;
        pause.WaitTimeout(30);
        flag.SetEvent();
    });
    EXPECT_EQ(1u, WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT));
    setter.join();
}

TEST(Timers, FiftyMillisecondTimerTicksAboutTwentyTimesASecond)
{
    uint32_t signal = TIMER_SIGNAL_SAMPLING;
    g_hSigUsr1Event.ResetEvent();
    TimerId timer = CreateNewTimer(50, signal);
    ASSERT_NE(nullptr, timer);
    int ticks = 0;
    Stopwatch watch;
    while (watch.Ms() < 1000)
        if (WaitForSingleObject(&g_hSigUsr1Event, 2000) == WAIT_SIGNALED)
            ++ticks;
    DeleteTimer(signal, timer);
    EXPECT_EQ(nullptr, timer);
    EXPECT_GE(ticks, 12);
    EXPECT_LE(ticks, 22);
}

TEST(Timers, NoTickAfterDeleteButAPendingOneStays)
{
    uint32_t signal = TIMER_SIGNAL_TEST;
    g_hSigUsr2Event.ResetEvent();
    TimerId timer = CreateNewTimer(20, signal);
    ASSERT_EQ(WAIT_SIGNALED, g_hSigUsr2Event.WaitTimeout(2000));
    // Ten periods without touching the event: a tick is pending when the timer goes.
    CAutoResetEvent unrelated;
    unrelated.WaitTimeout(200);
    DeleteTimer(signal, timer);
    EXPECT_EQ(WAIT_SIGNALED, g_hSigUsr2Event.WaitTimeout(0)) << "a pending tick was lost";
    EXPECT_EQ(WAIT_TIMEDOUT, g_hSigUsr2Event.WaitTimeout(150)) << "a tick came after DeleteTimer";

    TimerId none = nullptr;
    DeleteTimer(signal, none);
    uint32_t unknownSignal = 15;
    EXPECT_EQ(nullptr, CreateNewTimer(50, unknownSignal));
}

TEST(Timers, TheApplicationKeepsItsSignals)
{
    uint32_t sampling = TIMER_SIGNAL_SAMPLING;
    uint32_t test = TIMER_SIGNAL_TEST;
    TimerId a = CreateNewTimer(20, sampling);
    TimerId b = CreateNewTimer(20, test);
    EXPECT_EQ(WAIT_SIGNALED, g_hSigUsr1Event.WaitTimeout(2000));
    for (int signal : {SIGUSR1, SIGUSR2}) {
        struct sigaction action;
        ASSERT_EQ(0, sigaction(signal, nullptr, &action));
        EXPECT_EQ(SIG_DFL, action.sa_handler) << "the library took signal " << signal;
    }
    DeleteTimer(sampling, a);
    DeleteTimer(test, b);
}

TEST(Timers, TwoTestTimersShareOneEvent)
{
    uint32_t signal = TIMER_SIGNAL_TEST;
    g_hSigUsr2Event.ResetEvent();
    TimerId a = CreateNewTimer(30, signal);
    TimerId b = CreateNewTimer(30, signal);
    EXPECT_EQ(WAIT_SIGNALED, g_hSigUsr2Event.WaitTimeout(2000));
    DeleteTimer(signal, a);
    EXPECT_EQ(WAIT_SIGNALED, g_hSigUsr2Event.WaitTimeout(2000));
    DeleteTimer(signal, b);
}

TEST(Sleep, LastsItsWholeIntervalWhileTimersRun)
{
    uint32_t signal = TIMER_SIGNAL_SAMPLING;
    TimerId timer = CreateNewTimer(50, signal);
    Stopwatch watch;
    SleepEx(500);
    EXPECT_GE(watch.Ms(), 499.0);
    DeleteTimer(signal, timer);

    Stopwatch zero;
    SleepEx(0);
    EXPECT_LT(zero.Ms(), 50.0);
}

TEST(Platform, ClockThreadsHandlesAndInstance)
{
    const uint64_t first = GetTickCount64();
    const uint64_t second = GetTickCount64();
    EXPECT_LE(first, second);

    EXPECT_EQ("./", g_Instance.GetWorkingDirectory());

    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(1, CloseHandle(fd));
    EXPECT_EQ(0, CloseHandle(fd));

    unsigned long handle = 0;
    static std::atomic<int> ran{0};
    ASSERT_EQ(1, CreateThread(
                     &handle, [](void*) -> void* { ran = 1; return nullptr; }, nullptr));
    EXPECT_NE(0ul, handle);
    JoinThread(handle);
    EXPECT_EQ(1, ran.load());
}
