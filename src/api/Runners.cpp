// Test starts and the workers that follow a running test on the device.
#include "api/Runners.h"
#include "api/Instrument.h"

#include <stdint.h>
#include <string.h>

#include "api/ApiCall.h"
#include "api/Operations.h"
#include "api/Sampling.h"
#include "api/Workers.h"
#include "platform/InitOrder.h"
#include "platform/ProcessObjects.h"
#include "protocol/BPSimulation.h"
#include "protocol/DeviceControl.h"
#include "protocol/Leakage.h"
#include "protocol/Units.h"
#include "vasq_service.h"


namespace {

constexpr uint32_t g_nWaitTime = 200;
constexpr double kInitialWaitStableSeconds = 10.0;
constexpr int kEnvelopeBufferSize = 480;
constexpr int kEnvelopePointsMmhg = 360;
constexpr int kEnvelopePointsKpa = 479;
// Ticks (5 s) within which the device shows the started test in progress, or is taken not to have started it.
constexpr unsigned kTicksToTakeAStart = 25;

bool IsRunningCode(unsigned status)
{
    return status == kStatusPressureRunning || status == kStatusRunning;
}

// A code by which the device shows some test running.
bool IsTestCode(unsigned status)
{
    return IsRunningCode(status) || status == kStatusHolding || status == kStatusWaitStable;
}

// What the four workers share: the first status under the API lock, the first
// report without it, then one status poll per 200 ms tick under the lock
// until a stop or the worker's own end.
//
// A device may go on with a test it ran when the start came, or still show
// one that completed: no result counts until the device has shown this
// start's test in progress (a code of its kind). A completion seen before
// that is not this start's; when the device completes another test, or shows
// none of this kind within 5 s, it has not taken the start: the worker says
// so in the log, reports STATUS_NONE and ends.
class TestWorker {
public:
    TestWorker(Instrument& instrument, std::atomic<unsigned long>& handle, const char* test)
        : m_instrument(instrument), m_handle(handle), m_test(test)
    {
    }
    virtual ~TestWorker() = default;

    void Run()
    {
        MarkLibraryWorkerThread();
        bool reporting;
        {
            CAutoCriticalSection lock(m_instrument.m_APICriticalSection);
            // A stop, or the next start of this kind, may have come first.
            reporting = !m_instrument.Workers().tests.StopRequested(CurrentThreadHandle()) && Begin();
        }
        if (reporting) {
            m_loggedStatus = m_lastStatus;
            m_taken = InProgress(m_lastStatus);
            m_otherTestSeen = !m_taken && IsTestCode(m_lastStatus);
            FirstReport();
            uint32_t signalNumber = TIMER_SIGNAL_TEST;
            TimerId timer = CreateNewTimer(g_nWaitTime, signalNumber);
            CEvent* events[2] = {&m_instrument.m_hStopTestEvent, TimerTickEvent(timer, signalNumber)};
            while (!m_end) {
                const uint32_t result = WaitForMultipleObjects(2, events, 0, INFINITE_TIMEOUT);
                // A start racing a VasqFree may have cleared its stop: the release still ends the worker.
                // So may a start right after a VasqStopTest, before this worker looked at the event.
                if (result == 0 || result == WAIT_TIMEDOUT || m_instrument.Workers().tests.Released(CurrentThreadHandle()) ||
                    m_instrument.Workers().tests.StopRequested(CurrentThreadHandle())) {
                    m_end = true;
                } else if (result == 1) {
                    CAutoCriticalSection lock(m_instrument.m_APICriticalSection);
                    // A stop and the next start may have taken the lock first: the
                    // device now runs the next test, which is not this worker's.
                    if (m_instrument.Workers().tests.StopRequested(CurrentThreadHandle())) {
                        m_end = true;
                    } else {
                        const unsigned status = GetDeviceStatus(m_instrument);
                        if (status != m_loggedStatus && LogWanted(kLogInfo))
                            LogLine(kLogInfo, "test status %u -> %u", m_loggedStatus, status);
                        m_loggedStatus = status;
                        Follow(status);
                    }
                }
            }
            DeleteTimer(signalNumber, timer);
            LogLine(kLogInfo, "test worker ended (status %u)", m_loggedStatus);
        }
        unsigned long expected = CurrentThreadHandle();
        m_handle.compare_exchange_strong(expected, 0);
        m_instrument.Workers().tests.Ended(CurrentThreadHandle());
    }

protected:
    // Under the API lock: reads the first status; false when the worker ends at once.
    virtual bool Begin() = 0;
    // The device shows a test of this worker's kind in progress.
    virtual bool InProgress(unsigned status) const = 0;
    virtual void Report(VasqStatus status) = 0;
    // The first status as the first report gives it: a completion there is not this start's.
    VasqStatus FirstStatus() const
    {
        return m_lastStatus == kStatusCompleted ? STATUS_NONE : MappingStatus(static_cast<int>(m_lastStatus));
    }
    // Calls the application unless this worker has been told to end: once a
    // stop has returned, no report of it follows, and one already running has
    // finished.
    template <typename Call>
    void Deliver(Call&& call)
    {
        if (!m_instrument.Workers().tests.Report(CurrentThreadHandle(), call))
            m_end = true;
    }
    virtual void FirstReport() = 0;
    // Under the API lock, with the status just read.
    virtual void Tick(unsigned status) = 0;

    Instrument& m_instrument;
    unsigned m_lastStatus = 0;
    unsigned m_loggedStatus = 0;
    bool m_end = false;
    // The device has shown this start's test in progress.
    bool m_taken = false;

private:
    // Under the API lock, with the status just read: the runner's tick, once
    // the device has taken the start.
    void Follow(unsigned status)
    {
        if (!m_taken && InProgress(status))
            m_taken = true;
        if (m_taken) {
            Tick(status);
            if (status == kStatusCompleted)
                m_instrument.Workers().ownTestMayRun = false;
            return;
        }
        ++m_ticksUntaken;
        const bool anotherCompleted = status == kStatusCompleted && m_otherTestSeen;
        m_otherTestSeen = m_otherTestSeen || IsTestCode(status);
        if (anotherCompleted || m_ticksUntaken >= kTicksToTakeAStart) {
            LogLine(kLogError, "%s: the instrument did not take the start: %s (status %u); no result is reported",
                    m_test, anotherCompleted ? "it completed another test" : "it showed no such test in 5 s", status);
            m_instrument.Workers().ownTestMayRun = false;
            Report(STATUS_NONE);
            m_end = true;
        } else if (status == kStatusCompleted) {
            m_lastStatus = status;
        } else {
            Tick(status);
        }
    }

    std::atomic<unsigned long>& m_handle;
    const char* const m_test;
    bool m_otherTestSeen = false;
    unsigned m_ticksUntaken = 0;
};

class BPWorker : public TestWorker {
public:
    explicit BPWorker(Instrument& instrument) : TestWorker(instrument, instrument.m_hBPTestThread, "BP simulation") {}

private:
    bool Begin() override
    {
        m_lastStatus = GetDeviceStatus(m_instrument);
        m_callback = m_instrument.m_BPTestCallback.Load();
        return static_cast<bool>(m_callback);
    }
    bool InProgress(unsigned status) const override { return status == kStatusRunning; }
    void FirstReport() override { Report(STATUS_RUNNING); }
    void Tick(unsigned status) override
    {
        if (status == m_lastStatus)
            return;
        m_lastStatus = status;
        if (status == kStatusRunning) {
            Report(STATUS_RUNNING);
        } else if (status == kStatusCompleted) {
            GetBPTestResult(m_instrument, m_instrument.m_nPressureUnit.load(), &m_results[0], &m_results[1], &m_results[2], &m_results[3]);
            Report(STATUS_COMPLETED);
        }
    }
    void Report(VasqStatus status) override
    {
        Deliver([&] { m_callback(status, m_results[0], m_results[1], m_results[2], m_results[3]); });
    }

    BPTestTarget m_callback;
    double m_results[4] = {0.0, 0.0, 0.0, 0.0};
};

// Leakage and overpressure report the wait-stable time on every tick in code
// 13, running on entry into 2 or 10, and read their result on entry into 14.
class WaitStableWorker : public TestWorker {
public:
    WaitStableWorker(Instrument& instrument, std::atomic<unsigned long>& handle, const char* test, double initialWait)
        : TestWorker(instrument, handle, test), m_wait(initialWait)
    {
    }

protected:
    // Takes the callback of the start that made this worker; false when there is none.
    virtual bool HasCallback() = 0;
    virtual void ReadResult() = 0;

    double m_wait;

private:
    bool Begin() override
    {
        m_lastStatus = GetDeviceStatus(m_instrument);
        if (!HasCallback())
            return false;
        if (m_lastStatus == kStatusWaitStable)
            GetWaitStableTime(m_instrument, &m_wait);
        return true;
    }
    bool InProgress(unsigned status) const override
    {
        return IsRunningCode(status) || status == kStatusWaitStable;
    }
    void FirstReport() override { Report(FirstStatus()); }
    void Tick(unsigned status) override
    {
        if (status == kStatusWaitStable) {
            GetWaitStableTime(m_instrument, &m_wait);
            Report(STATUS_WAIT_STABLE);
        }
        if (status == m_lastStatus)
            return;
        m_lastStatus = status;
        if (IsRunningCode(status)) {
            Report(STATUS_RUNNING);
        } else if (status == kStatusCompleted) {
            ReadResult();
            Report(STATUS_COMPLETED);
            m_end = true;
        }
    }
};

class LeakageWorker : public WaitStableWorker {
public:
    LeakageWorker(Instrument& instrument, FUNCTION_ENUM function)
        : WaitStableWorker(instrument, instrument.m_hLeakageTestThread,
                           function == FUNCTION_LEAKAGE_TEST ? "leakage test" : "leakage calibration",
                           kInitialWaitStableSeconds),
          m_function(function)
    {
    }

private:
    bool HasCallback() override
    {
        m_callback = m_instrument.m_LeakageTestCallback.Load();
        return static_cast<bool>(m_callback);
    }
    void Report(VasqStatus status) override
    {
        Deliver([&] { m_callback(status, m_wait, m_leak, m_code); });
    }
    void ReadResult() override
    {
        const float resolution = m_instrument.m_fPressureresolution.load();
        if (m_function == FUNCTION_LEAKAGE_TEST)
            GetLeakageTestResult(m_instrument, nullptr, &m_leak, &m_code, resolution);
        else
            GetLeakageTestResult(m_instrument, &m_leak, nullptr, &m_code, resolution);
    }

    const FUNCTION_ENUM m_function;
    LeakageTestTarget m_callback;
    double m_leak = 0.0;
    int m_code = 0;
};

class OverpressureWorker : public WaitStableWorker {
public:
    explicit OverpressureWorker(Instrument& instrument)
        : WaitStableWorker(instrument, instrument.m_hOverpressureTestThread, "overpressure test", 0.0)
    {
    }

private:
    bool HasCallback() override
    {
        m_callback = m_instrument.m_OverpressureTestCallback.Load();
        return static_cast<bool>(m_callback);
    }
    void Report(VasqStatus status) override
    {
        Deliver([&] {
            m_callback(status, m_wait, m_results[0], m_results[1], m_results[2], m_results[3], m_results[4],
                       m_results[5]);
        });
    }
    void ReadResult() override
    {
        GetOverpressureTestResult(m_instrument, &m_results[0], &m_results[1], &m_results[2], &m_results[3], &m_results[4],
                                  &m_results[5], m_instrument.m_nPressureUnit.load());
    }

    OverpressureTestTarget m_callback;
    double m_results[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
};

class StaticPressureWorker : public TestWorker {
public:
    explicit StaticPressureWorker(Instrument& instrument)
        : TestWorker(instrument, instrument.m_hStaticPressureExThread, "static pressure")
    {
    }

private:
    bool Begin() override
    {
        m_callback = m_instrument.m_StaticPressureExCallback.Load();
        if (!m_callback)
            return false;
        m_lastStatus = GetDeviceStatus(m_instrument);
        GetStaticPressureTestResult(m_instrument, &m_result);
        if (m_lastStatus == kStatusWaitStable)
            GetWaitStableTime(m_instrument, &m_wait);
        return true;
    }
    bool InProgress(unsigned status) const override { return IsTestCode(status); }
    void FirstReport() override
    {
        Report(FirstStatus());
        m_lastReportedResult = m_result;
    }
    void Tick(unsigned status) override
    {
        GetStaticPressureTestResult(m_instrument, &m_result);
        if (status == kStatusWaitStable) {
            GetWaitStableTime(m_instrument, &m_wait);
            Report(STATUS_WAIT_STABLE);
        }
        // Until the device shows this run, its result is another test's.
        if (m_taken && m_result != m_lastReportedResult) {
            Report(MappingStatus(static_cast<int>(status)));
            m_lastReportedResult = m_result;
        }
        if (status == m_lastStatus)
            return;
        if (status == kStatusHolding) {
            Report(STATUS_HOLDING);
        } else if (IsRunningCode(status)) {
            Report(STATUS_RUNNING);
        } else if (status == kStatusCompleted) {
            Report(STATUS_COMPLETED);
            m_end = true;
        }
        m_lastStatus = status;
    }
    void Report(VasqStatus status) override
    {
        Deliver([&] { m_callback(status, m_wait, m_result); });
    }

    StaticPressureTarget m_callback;
    int m_result = 0;
    int m_lastReportedResult = 0;
    double m_wait = kInitialWaitStableSeconds;
};

// What a test worker is started with: its instrument, and the test's function.
struct WorkerStart {
    Instrument* instrument;
    FUNCTION_ENUM function;
};

// Called with the API lock held, after the device has started the test; the
// worker's first use of the lock waits until the start has returned. The
// workers of the same kind still running follow a test the device no longer
// runs: they end without another report.
bool StartWorker(Instrument& instrument, std::atomic<unsigned long>& handle, ThreadRoutine routine,
                 FUNCTION_ENUM function, const char* test)
{
    WorkerThreads& workers = instrument.Workers().tests;
    workers.RequestStop(&handle);
    workers.Join(workers.Take(true));
    unsigned long thread = 0;
    auto* start = new WorkerStart{&instrument, function};
    if (workers.Start(instrument, &thread, routine, start, &handle) == 0) {
        delete start;
        SetReason(kErrorSystem, "cannot start the %s's worker thread", test);
        return false;
    }
    LogLine(kLogInfo, "%s started", test);
    handle.store(thread);
    return true;
}

// Under the API lock, first in every start: a device may go on with the test
// it runs and ignore a start, so a test this process started and may still run
// is ended as VasqStopTest ends it. Nothing is sent when none may run.
void EndOwnTest(Instrument& instrument, int unit)
{
    WorkerState& workers = instrument.Workers();
    if (!workers.ownTestMayRun)
        return;
    LogLine(kLogInfo, "ending the test this program started before it starts the next");
    EnableDeviceDebugMode(instrument, false, false, unit, false);
    if (EnableDeviceStartTest(instrument, false))
        workers.ownTestMayRun = false;
    workers.tests.RequestStop();
}

// Under the API lock: starts the test on the device, which from then on may run it.
bool StartOnDevice(Instrument& instrument)
{
    if (!EnableDeviceStartTest(instrument, true))
        return false;
    instrument.Workers().ownTestMayRun = true;
    return true;
}

// Takes over the start the worker was given.
WorkerStart TakeStart(void* argument)
{
    const WorkerStart start = *static_cast<WorkerStart*>(argument);
    delete static_cast<WorkerStart*>(argument);
    return start;
}

// Writes the customised envelope's table after its parameter record.
bool SendCustomEnvelope(Instrument& instrument, BPEnvelopeCustomized* record, int unit)
{
    if (!SetBPCustom(instrument, record, unit))
        return false;
    double pressures[kEnvelopeBufferSize] = {};
    double amplitudes[kEnvelopeBufferSize] = {};
    const int count = unit == 1 ? kEnvelopePointsKpa : kEnvelopePointsMmhg;
    return GetEnvelopeRawDataOn(instrument, "VasqGetEnvelopeRawData", record, pressures, amplitudes, count, -1) == 1 &&
           SetEnvelopeRawDataOn(instrument, "VasqSetEnvelopeRawData", record, pressures, amplitudes, count) == 1;
}

// At unload the workers end before the code they run goes away; nothing is sent.
struct WorkerLifetime {
    ~WorkerLifetime()
    {
        if (!InForkedChild())
            StopWorkersAtUnload(DefaultInstrument());
    }
};
WorkerLifetime VASQ_INIT_WORKER_LIFETIME s_workerLifetime;

}  // namespace

void StopWorkersAtUnload(Instrument& instrument)
{
    StopSamplingAtUnload(instrument);
    instrument.m_hStopTestEvent.SetEvent();
    WorkerThreads& workers = instrument.Workers().tests;
    workers.Join(workers.Take(false));
}

VasqStatus MappingStatus(int deviceCode)
{
    switch (deviceCode) {
    case kStatusWaitStable:
        return STATUS_WAIT_STABLE;
    case kStatusPressureRunning:
    case kStatusRunning:
        return STATUS_RUNNING;
    case kStatusHolding:
        return STATUS_HOLDING;
    case kStatusCompleted:
        return STATUS_COMPLETED;
    default:
        return STATUS_NONE;
    }
}

void* BPTestThread(void* argument)
{
    BPWorker worker(*TakeStart(argument).instrument);
    worker.Run();
    return nullptr;
}

void* LeakageTestThread(void* argument)
{
    const WorkerStart start = TakeStart(argument);
    LeakageWorker worker(*start.instrument, start.function);
    worker.Run();
    return nullptr;
}

void* OverpressureTestThread(void* argument)
{
    OverpressureWorker worker(*TakeStart(argument).instrument);
    worker.Run();
    return nullptr;
}

void* StaticPressureExThread(void* argument)
{
    StaticPressureWorker worker(*TakeStart(argument).instrument);
    worker.Run();
    return nullptr;
}

void JoinTestWorkers(Instrument& instrument)
{
    WorkerThreads& workers = instrument.Workers().tests;
    workers.Join(workers.Take(OnLibraryWorkerThread()));
}

size_t TestWorkerCount(Instrument& instrument)
{
    return instrument.Workers().tests.Count();
}

namespace {

bool RunBPTestWith(Instrument& instrument, const char* name, FUNCTION_ENUM function, void* parameters,
                   const BPTestTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return false;
    if (parameters == nullptr)
        return call.Fail(false, kErrorInvalidArgument, "the BP record is null");
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const int unit = instrument.m_nPressureUnit.load();
    EndOwnTest(instrument, unit);
    if (!UpdateAirPortRelay(instrument) || !SwitchDeviceOperationMode(instrument, function) ||
        !EnableDeviceDebugMode(instrument, false, false, unit, false))
        return call.Result(false, false);
    int32_t method;
    memcpy(&method, parameters, sizeof(method));
    if (method == BP_METHOD_DEFAULT && !SetBPDefault(instrument, static_cast<BPCommon*>(parameters), unit))
        return call.Result(false, false);
    if (method == BP_METHOD_CUSTOMIZED && !SendCustomEnvelope(instrument, static_cast<BPEnvelopeCustomized*>(parameters), unit))
        return call.Result(false, false);
    if (!StartOnDevice(instrument))
        return call.Result(false, false);
    instrument.m_BPTestCallback.Store(callback);
    return call.Flag(StartWorker(instrument, instrument.m_hBPTestThread, BPTestThread, function, "BP simulation"));
}

bool RunLeakageTestWith(Instrument& instrument, const char* name, FUNCTION_ENUM function, double dPressure,
                        int nLeakParam, double dLeakRate, const LeakageTestTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return false;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const int unit = instrument.m_nPressureUnit.load();
    dPressure = CheckPressureLimit(LIMIT_STATIC_PRESSURE, dPressure, unit);
    EndOwnTest(instrument, unit);
    if (!UpdateAirPortRelay(instrument) || !SwitchDeviceOperationMode(instrument, function) ||
        !SetLeakTestSetting(instrument, dPressure, nLeakParam, dLeakRate, unit) || !StartOnDevice(instrument))
        return call.Result(false, false);
    instrument.m_LeakageTestCallback.Store(callback);
    const char* test = function == FUNCTION_LEAKAGE_TEST ? "leakage test" : "leakage calibration";
    return call.Flag(StartWorker(instrument, instrument.m_hLeakageTestThread, LeakageTestThread, function, test));
}

bool RunOverpressureTestWith(Instrument& instrument, const char* name, FUNCTION_ENUM function, bool bOverpressureFlag,
                             double dPressure1, double dPressure2, double dPressure3,
                             const OverpressureTestTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return false;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const int unit = instrument.m_nPressureUnit.load();
    dPressure1 = CheckPressureLimit(LIMIT_STATIC_PRESSURE, dPressure1, unit);
    dPressure2 = CheckPressureLimit(LIMIT_OVERPRESSURE_SECOND, dPressure2, unit);
    dPressure3 = CheckPressureLimit(LIMIT_OVERPRESSURE_THIRD, dPressure3, unit);
    EndOwnTest(instrument, unit);
    if (!UpdateAirPortRelay(instrument) || !SwitchDeviceOperationMode(instrument, function) ||
        !SetOverpressureTestSetting(instrument, bOverpressureFlag, dPressure1, dPressure2, dPressure3, unit) || !StartOnDevice(instrument))
        return call.Result(false, false);
    instrument.m_OverpressureTestCallback.Store(callback);
    return call.Flag(
        StartWorker(instrument, instrument.m_hOverpressureTestThread, OverpressureTestThread, function, "overpressure test"));
}

}  // namespace

// The service functions of release 1.0: on the default instrument.
bool RunBPTest(FUNCTION_ENUM function, void* parameters, BPTestCallback callback)
{
    return RunBPTestWith(DefaultInstrument(), "RunBPTest", function, parameters, BPTestTarget(callback));
}

bool RunLeakageTest(FUNCTION_ENUM function, double dPressure, int nLeakParam, double dLeakRate,
                    LeakageTestCallback callback)
{
    return RunLeakageTestWith(DefaultInstrument(), "RunLeakageTest", function, dPressure, nLeakParam, dLeakRate,
                              LeakageTestTarget(callback));
}

bool RunOverpressureTest(FUNCTION_ENUM function, bool bOverpressureFlag, double dPressure1, double dPressure2,
                         double dPressure3, OverpressureTestCallback callback)
{
    return RunOverpressureTestWith(DefaultInstrument(), "RunOverpressureTest", function, bOverpressureFlag, dPressure1,
                                   dPressure2, dPressure3, OverpressureTestTarget(callback));
}

int RunBPTestOn(Instrument& instrument, const char* name, void* parameters, const BPTestTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    return call.Flag(RunBPTestWith(instrument, name, FUNCTION_BP_TEST, parameters, callback));
}

int VasqRunBPTest(void* parameters, BPTestCallback callback)
{
    return RunBPTestOn(DefaultInstrument(), __func__, parameters, BPTestTarget(callback));
}

int RunLeakageTestOn(Instrument& instrument, const char* name, double dPressure, int nLeakParam, double dLeakRate,
                     const LeakageTestTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    return call.Flag(
        RunLeakageTestWith(instrument, name, FUNCTION_LEAKAGE_TEST, dPressure, nLeakParam, dLeakRate, callback));
}

int VasqRunLeakageTest(double dPressure, int nLeakParam, double dLeakRate, LeakageTestCallback callback)
{
    return RunLeakageTestOn(DefaultInstrument(), __func__, dPressure, nLeakParam, dLeakRate,
                            LeakageTestTarget(callback));
}

int RunLeakageCalibrationOn(Instrument& instrument, const char* name, double dPressure,
                            const LeakageTestTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    return call.Flag(RunLeakageTestWith(instrument, name, FUNCTION_LEAKAGE_CALIBRATION, dPressure, 60, 0.0, callback));
}

int VasqRunLeakageCalibration(double dPressure, LeakageTestCallback callback)
{
    return RunLeakageCalibrationOn(DefaultInstrument(), __func__, dPressure, LeakageTestTarget(callback));
}

int GetLeakageCalibrationRateOn(Instrument& instrument, const char* name, double* rate)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    // A null rate still reads the rate and succeeds: nothing is stored.
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    return call.Flag(GetLeakCalibrationRate(instrument, rate, instrument.m_fPressureresolution.load()));
}

int VasqGetLeakageCalibrationRate(double* rate)
{
    return GetLeakageCalibrationRateOn(DefaultInstrument(), __func__, rate);
}

int RunOverpressureTestOn(Instrument& instrument, const char* name, bool bOverpressureFlag, double dPressure1,
                          double dPressure2, double dPressure3, const OverpressureTestTarget& callback)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    return call.Flag(RunOverpressureTestWith(instrument, name, FUNCTION_OVERPRESSURE_TEST, bOverpressureFlag,
                                             dPressure1, dPressure2, dPressure3, callback));
}

int VasqRunOverpressureTest(bool bOverpressureFlag, double dPressure1, double dPressure2, double dPressure3,
                            OverpressureTestCallback callback)
{
    return RunOverpressureTestOn(DefaultInstrument(), __func__, bOverpressureFlag, dPressure1, dPressure2, dPressure3,
                                 OverpressureTestTarget(callback));
}

int RunStaticPressureOn(Instrument& instrument, const char* name, double dPressure, int nStaticParam,
                        const StaticPressureTarget& callback, bool bStaticFlag)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const int unit = instrument.m_nPressureUnit.load();
    dPressure = CheckPressureLimit(LIMIT_STATIC_PRESSURE, dPressure, unit);
    EndOwnTest(instrument, unit);
    if (!UpdateAirPortRelay(instrument) || !SwitchDeviceOperationMode(instrument, FUNCTION_STATIC_PRESSURE) ||
        !SetStaticPressure(instrument, dPressure, nStaticParam, bStaticFlag, unit) || !StartOnDevice(instrument))
        return call.Flag(false);
    instrument.m_StaticPressureExCallback.Store(callback);
    return call.Flag(StartWorker(instrument, instrument.m_hStaticPressureExThread, StaticPressureExThread, FUNCTION_STATIC_PRESSURE, "static pressure"));
}

int VasqRunStaticPressure(double dPressure, int nStaticParam, StaticPressureCallback callback, bool bStaticFlag)
{
    return RunStaticPressureOn(DefaultInstrument(), __func__, dPressure, nStaticParam, StaticPressureTarget(callback),
                               bStaticFlag);
}

int GetWaitStableTimeOn(Instrument& instrument, const char* name)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    double seconds = 0.0;
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    GetWaitStableTime(instrument, &seconds);
    return call.Result(static_cast<int>(seconds), ReasonCode() == kErrorNone);
}

int VasqGetWaitStableTime()
{
    return GetWaitStableTimeOn(DefaultInstrument(), __func__);
}

int StopTestOn(Instrument& instrument, const char* name)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    {
        CAutoCriticalSection lock(instrument.m_APICriticalSection);
        EnableDeviceDebugMode(instrument, false, false, instrument.m_nPressureUnit.load(), false);
        if (EnableDeviceStartTest(instrument, false))
            instrument.Workers().ownTestMayRun = false;
        instrument.Workers().tests.RequestStop();
    }
    if (!OnLibraryWorkerThread())
        instrument.Workers().tests.PassReportsOfStopped();
    instrument.Workers().tests.Join(instrument.Workers().tests.Take(true));
    // Always 1: whether the device was told shows in the last error.
    return call.Result(1, ReasonCode() == kErrorNone);
}

int VasqStopTest()
{
    return StopTestOn(DefaultInstrument(), __func__);
}
