// The sampling thread: ten cuff-pressure samples every 50 ms.
#include "api/Sampling.h"

#include "api/ApiCall.h"
#include "api/Workers.h"
#include "device/Packet.h"
#include "platform/InitOrder.h"
#include "platform/ProcessObjects.h"
#include "protocol/Units.h"

std::atomic<SamplingCallback> g_SamplingCallback{nullptr};
std::atomic<unsigned long> g_hSamplingThread{0};

namespace {

constexpr uint32_t kSamplingPeriodMs = 50;
constexpr uint32_t kPausePollMs = 10;
constexpr uint32_t kAfterBurstMs = 5;
constexpr uint32_t kSampleBlockSize = 20;
constexpr int kSamplesPerBlock = 10;

WorkerThreads VASQ_INIT_DEVICE s_samplingThreads;

bool FetchSampleBlock(uint8_t* block, unsigned long self)
{
    CAutoCriticalSection lock(g_APICriticalSection);
    if (s_samplingThreads.StopRequested(self))
        return false;
    if (SendPacket(CATEGORY_PARAMETER, COMMAND_STREAM, nullptr, 0) &&
        ReceivePacket(block, kSampleBlockSize, 1, nullptr))
        return true;
    // This thread ends now: a start from here on must start a new one rather
    // than report that this one runs.
    if (g_hSamplingThread.load() == self)
        g_hSamplingThread.store(0);
    return false;
}

// A stop made inside a callback (this thread's, or a test's) lets the sample
// being delivered finish and no further one start.
void Deliver(const uint8_t* block, const std::atomic<SamplingCallback>& callbackGlobal, unsigned long self)
{
    for (int i = 0; i < kSamplesPerBlock; ++i) {
        if (s_samplingThreads.StopRequested(self))
            return;
        const int raw = block[2 * i] | (block[2 * i + 1] << 8);
        const int sample = (raw & 0x8000) != 0 ? raw - 65536 : raw;
        const float pressure = static_cast<float>(sample) / g_fPressureresolution.load();
        if (const SamplingCallback callback = callbackGlobal.load())
            callback(static_cast<double>(pressure));
    }
}

}  // namespace

void* SamplingThread(void* argument)
{
    MarkLibraryWorkerThread();
    const auto& callbackGlobal = *static_cast<std::atomic<SamplingCallback>*>(argument);
    const unsigned long self = CurrentThreadHandle();
    uint32_t signalNumber = TIMER_SIGNAL_SAMPLING;
    TimerId timer = CreateNewTimer(kSamplingPeriodMs, signalNumber);
    // Without a timer no tick would ever come, nor would a stop be seen.
    while (timer != nullptr) {
        // Released: a stop waits for this thread, even if a racing start set the event again.
        if (g_hSamplingEvent.WaitTimeout(0) == WAIT_TIMEDOUT || s_samplingThreads.Released(self) ||
            s_samplingThreads.StopRequested(self))
            break;
        if (WaitForSingleObject(TimerTickEvent(timer, signalNumber), INFINITE_TIMEOUT) != WAIT_SIGNALED)
            break;
        if (g_hSamplingPauseEvent.WaitTimeout(0) == WAIT_SIGNALED) {
            SleepEx(kPausePollMs);
            continue;
        }
        uint8_t block[kSampleBlockSize] = {};
        if (!FetchSampleBlock(block, self))
            break;
        Deliver(block, callbackGlobal, self);
        SleepEx(kAfterBurstMs);
    }
    DeleteTimer(signalNumber, timer);
    {
        CAutoCriticalSection lock(g_APICriticalSection);
        if (g_hSamplingThread.load() == self)
            g_hSamplingThread.store(0);
    }
    s_samplingThreads.Ended(self);
    return nullptr;
}

int VasqStartSampling(SamplingCallback callback)
{
    ApiCall call("VasqStartSampling");
    CAutoCriticalSection lock(g_APICriticalSection);
    const int unit = g_nPressureUnit.load();
    if (unit == 1)
        g_fPressureresolution.store(100.0f);
    else if (unit == 0)
        g_fPressureresolution.store(10.0f);
    g_SamplingCallback.store(callback);
    // A thread that ended by itself has left the lock for good: joining it here is safe.
    WorkerThreads::Join(s_samplingThreads.Take(true));
    if (g_hSamplingThread.load() != 0)
        return call.Flag(true);
    g_hSamplingEvent.SetEvent();
    unsigned long thread = 0;
    if (s_samplingThreads.Start(&thread, SamplingThread, &g_SamplingCallback) == 0)
        return call.Fail(0, kErrorSystem, "cannot start the sampling thread");
    g_hSamplingThread.store(thread);
    LogLine(kLogInfo, "sampling started");
    return call.Flag(true);
}

void VasqStopSampling()
{
    ApiCall call("VasqStopSampling");
    std::vector<unsigned long> threads;
    {
        CAutoCriticalSection lock(g_APICriticalSection);
        if (g_hSamplingThread.load() != 0)
            g_hSamplingEvent.ResetEvent();
        // Only the threads that exist now; one that a later start creates keeps
        // running. A thread that is not waited for (the stop comes from a
        // callback) no longer counts as running, so a start right after this
        // one starts a new thread instead of reporting one that is ending.
        if (g_hSamplingThread.load() != 0)
            LogLine(kLogInfo, "sampling stopped");
        s_samplingThreads.RequestStop();
        g_hSamplingThread.store(0);
        threads = s_samplingThreads.Take(OnLibraryWorkerThread());
    }
    // On the sampling thread or a test worker (which may hold the API lock that
    // the sampling thread needs) the thread is left to end at its next tick.
    WorkerThreads::Join(threads);
    call.Flag(true);
}

int VasqGetSampleRate()
{
    return ApiCall("VasqGetSampleRate").Result(g_nPlayDataMinSampleRate, true);
}

void StopSamplingAtUnload()
{
    g_hSamplingEvent.ResetEvent();
    WorkerThreads::Join(s_samplingThreads.Take(false));
}
