// The sampling thread: ten cuff-pressure samples every 50 ms.
#include "api/Sampling.h"

#include "api/ApiCall.h"
#include "api/Operations.h"
#include "api/Workers.h"
#include "device/Packet.h"
#include "platform/InitOrder.h"
#include "platform/ProcessObjects.h"
#include "protocol/Units.h"
#include "api/Instrument.h"


namespace {

constexpr uint32_t kSamplingPeriodMs = 50;
constexpr uint32_t kPausePollMs = 10;
constexpr uint32_t kAfterBurstMs = 5;
constexpr uint32_t kSampleBlockSize = 20;
constexpr int kSamplesPerBlock = 10;

bool FetchSampleBlock(Instrument& instrument, uint8_t* block, unsigned long self)
{
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    if (instrument.Workers().sampling.StopRequested(self))
        return false;
    if (SendPacket(instrument, CATEGORY_PARAMETER, COMMAND_STREAM, nullptr, 0) &&
        ReceivePacket(instrument, block, kSampleBlockSize, 1, nullptr))
        return true;
    // This thread ends now: a start from here on must start a new one rather
    // than report that this one runs.
    if (instrument.m_hSamplingThread.load() == self)
        instrument.m_hSamplingThread.store(0);
    return false;
}

// A stop made inside a callback (this thread's, or a test's) lets the sample
// being delivered finish and no further one start.
void Deliver(Instrument& instrument, const uint8_t* block, unsigned long self)
{
    for (int i = 0; i < kSamplesPerBlock; ++i) {
        if (instrument.Workers().sampling.StopRequested(self))
            return;
        const int raw = block[2 * i] | (block[2 * i + 1] << 8);
        const int sample = (raw & 0x8000) != 0 ? raw - 65536 : raw;
        const float pressure = static_cast<float>(sample) / instrument.m_fPressureresolution.load();
        if (const SamplingTarget callback = instrument.m_SamplingCallback.Load())
            callback(static_cast<double>(pressure));
    }
}

}  // namespace

void* SamplingThread(void* argument)
{
    MarkLibraryWorkerThread();
    Instrument& instrument = *static_cast<Instrument*>(argument);
    WorkerThreads& threads = instrument.Workers().sampling;
    const unsigned long self = CurrentThreadHandle();
    uint32_t signalNumber = TIMER_SIGNAL_SAMPLING;
    TimerId timer = CreateNewTimer(kSamplingPeriodMs, signalNumber);
    // Without a timer no tick would ever come, nor would a stop be seen.
    while (timer != nullptr) {
        // Released: a stop waits for this thread, even if a racing start set the event again.
        if (instrument.m_hSamplingEvent.WaitTimeout(0) == WAIT_TIMEDOUT || threads.Released(self) ||
            threads.StopRequested(self))
            break;
        if (WaitForSingleObject(TimerTickEvent(timer, signalNumber), INFINITE_TIMEOUT) != WAIT_SIGNALED)
            break;
        if (instrument.m_hSamplingPauseEvent.WaitTimeout(0) == WAIT_SIGNALED) {
            SleepEx(kPausePollMs);
            continue;
        }
        uint8_t block[kSampleBlockSize] = {};
        if (!FetchSampleBlock(instrument, block, self))
            break;
        Deliver(instrument, block, self);
        SleepEx(kAfterBurstMs);
    }
    DeleteTimer(signalNumber, timer);
    {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
        if (instrument.m_hSamplingThread.load() == self)
            instrument.m_hSamplingThread.store(0);
    }
    threads.Ended(self);
    return nullptr;
}

int StartSamplingOn(Instrument& instrument, const char* name, const SamplingTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const int unit = instrument.m_nPressureUnit.load();
    if (unit == 1)
        instrument.m_fPressureresolution.store(100.0f);
    else if (unit == 0)
        instrument.m_fPressureresolution.store(10.0f);
    instrument.m_SamplingCallback.Store(callback);
    WorkerThreads& threads = instrument.Workers().sampling;
    // A thread that ended by itself has left the lock for good: joining it here is safe.
    WorkerThreads::Join(threads.Take(true));
    if (instrument.m_hSamplingThread.load() != 0)
        return call.Flag(true);
    instrument.m_hSamplingEvent.SetEvent();
    unsigned long thread = 0;
    if (threads.Start(instrument, &thread, SamplingThread, &instrument) == 0)
        return call.Fail(0, kErrorSystem, "cannot start the sampling thread");
    instrument.m_hSamplingThread.store(thread);
    LogLine(kLogInfo, "sampling started");
    return call.Flag(true);
}

int VasqStartSampling(SamplingCallback callback)
{
    return StartSamplingOn(DefaultInstrument(), __func__, SamplingTarget(callback));
}

void StopSamplingOn(Instrument& instrument, const char* name)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return;
    WorkerThreads& sampling = instrument.Workers().sampling;
    std::vector<unsigned long> threads;
    {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
        if (instrument.m_hSamplingThread.load() != 0)
            instrument.m_hSamplingEvent.ResetEvent();
        // Only the threads that exist now; one that a later start creates keeps
        // running. A thread that is not waited for (the stop comes from a
        // callback) no longer counts as running, so a start right after this
        // one starts a new thread instead of reporting one that is ending.
        if (instrument.m_hSamplingThread.load() != 0)
            LogLine(kLogInfo, "sampling stopped");
        sampling.RequestStop();
        instrument.m_hSamplingThread.store(0);
        threads = sampling.Take(OnLibraryWorkerThread());
    }
    // On the sampling thread or a test worker (which may hold the API lock that
    // the sampling thread needs) the thread is left to end at its next tick.
    WorkerThreads::Join(threads);
    call.Flag(true);
}

void VasqStopSampling()
{
    StopSamplingOn(DefaultInstrument(), __func__);
}

int VasqGetSampleRate()
{
    return ApiCall(__func__).Result(g_nPlayDataMinSampleRate, true);
}

void StopSamplingAtUnload(Instrument& instrument)
{
    instrument.m_hSamplingEvent.ResetEvent();
    WorkerThreads::Join(instrument.Workers().sampling.Take(false));
}
