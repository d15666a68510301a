// Why calls fail: the code and text each thread reads after its own call, and
// the log; through the shared library's exported functions, against the
// simulated device and peers that misbehave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConnectedDevice.h"
#include "vasq.h"
#include "vasq_service.h"

using vasqsim::DeviceModel;
using vasqsim::Fault;
using vasqsim::FaultKind;
using vasqsim::SimDevice;
using namespace std::chrono_literals;

namespace {

std::string Text()
{
    return VasqGetLastErrorText();
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The lines the log callback received, with their levels.
struct Log {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;

    static void Receive(int level, const char* message, void* context)
    {
        auto* log = static_cast<Log*>(context);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->lines.emplace_back(level, message);
    }
    size_t Count(int level, const std::string& part)
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t count = 0;
        for (const auto& line : lines)
            count += line.first == level && Has(line.second, part) ? 1 : 0;
        return count;
    }
    size_t Size()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lines.size();
    }
    int MostDetailed()
    {
        std::lock_guard<std::mutex> lock(mutex);
        int level = 0;
        for (const auto& line : lines)
            level = std::max(level, line.first);
        return level;
    }
};

class Reasons : public e2e::ConnectedDevice {
protected:
    void TearDown() override
    {
        VasqSetLogCallback(nullptr, 0, nullptr);
        ConnectedDevice::TearDown();
    }
};

void Ignore(VasqStatus, double, int) {}

}  // namespace

TEST_F(Reasons, EachFailingExchangeSaysWhatFailedAndSuccessClearsIt)
{
    bool bit1 = false;
    m_device->InjectFault(FaultKind::NoAnswer, 'P', 9);
    EXPECT_EQ(0, VasqGetAirPortStatus(&bit1, nullptr));
    EXPECT_EQ(VASQ_ERROR_TIMEOUT, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "no answer to P/9 within 1000 ms")) << Text();
    EXPECT_EQ(VASQ_ERROR_TIMEOUT, VasqGetLastError()) << "reading the error changes nothing";

    EXPECT_EQ(1, VasqGetAirPortStatus(&bit1, nullptr));
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError());
    EXPECT_EQ("", Text());

    m_device->InjectFault(FaultKind::BadChecksum, 'P', 9);
    EXPECT_EQ(0, VasqGetAirPortStatus(&bit1, nullptr));
    EXPECT_EQ(VASQ_ERROR_PROTOCOL, VasqGetLastError()) << Text();

    Fault refusal(FaultKind::Status);
    refusal.status = 5;
    m_device->InjectFault(refusal, 'I', 139);
    EXPECT_EQ(0, VasqPausePump());
    EXPECT_EQ(VASQ_ERROR_REFUSED, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "refused I/139 with status 5")) << Text();

    // A result that cannot show the failure still sets the code.
    m_device->InjectFault(FaultKind::NoAnswer, 'P', 3);
    EXPECT_EQ(0, VasqGetPressureUnit());
    EXPECT_EQ(VASQ_ERROR_TIMEOUT, VasqGetLastError());
    EXPECT_EQ(0, VasqGetPressureUnit());
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError()) << "a good read of mmHg answers 0 too";

    m_device->InjectFault(FaultKind::HangUpMidFrame, 'P', 9);
    EXPECT_EQ(0, VasqGetAirPortStatus(&bit1, nullptr));
    EXPECT_EQ(VASQ_ERROR_DEVICE_LOST, VasqGetLastError()) << Text();
}

TEST_F(Reasons, ArgumentsStateAndFilesHaveCodesOfTheirOwn)
{
    EXPECT_EQ(0, VasqRunBPTest(nullptr, nullptr));
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, VasqGetLastError());
    EXPECT_FALSE(VasqConnect(-5, 100));
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "-5")) << Text();
    char picture[1] = {0};
    EXPECT_EQ(0, VasqWritePNG(picture, 0));
    EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, VasqGetLastError());

    WithModel([](DeviceModel& m) {
        m.runsStatusSequences = false;
        m.scriptedStatuses = {10};
    });
    ASSERT_EQ(1, VasqRunStaticPressure(100, -1, Ignore, false));
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError());
    EXPECT_EQ(0, VasqSetPressureUnit(1));
    EXPECT_EQ(VASQ_ERROR_BUSY, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "status 10")) << Text();
    VasqStopTest();

    int a = 0, b = 0, c = 0;
    EXPECT_EQ(-1, VasqUpdateFwLoadBinFile("/nonexistent/image.bin", &a, &b, &c));
    EXPECT_EQ(VASQ_ERROR_FILE, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "No such file")) << Text();
}

TEST_F(Reasons, CodesAndTextsBelongToTheThreadThatCalled)
{
    m_device->InjectFault(FaultKind::NoAnswer, 'P', 9);
    bool bit = false;
    EXPECT_EQ(0, VasqGetAirPortStatus(&bit, nullptr));
    const std::string mine = Text();
    std::thread other([] {
        EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError()) << "a new thread has no error";
        EXPECT_EQ(0, VasqRunBPTest(nullptr, nullptr));
        EXPECT_EQ(VASQ_ERROR_INVALID_ARGUMENT, VasqGetLastError());
        bool b = false;
        EXPECT_EQ(1, VasqGetAirPortStatus(&b, nullptr));
    });
    other.join();
    EXPECT_EQ(VASQ_ERROR_TIMEOUT, VasqGetLastError());
    EXPECT_EQ(mine, Text());
    EXPECT_LE(Text().size(), 255u);
    EXPECT_EQ(std::string::npos, Text().find('\n'));
}

TEST_F(Reasons, TheLogHasItsLevelsAndItsOffSwitch)
{
    Log log;
    VasqSetLogCallback(Log::Receive, VASQ_LOG_INFO, &log);
    VasqFree();
    ASSERT_TRUE(VasqConnect(0, 5000));
    EXPECT_EQ(1u, log.Count(VASQ_LOG_INFO, "looking for a Vasq9 on"));
    EXPECT_EQ(1u, log.Count(VASQ_LOG_INFO, "connected to")) << "with serial number and firmware";
    EXPECT_EQ(1u, log.Count(VASQ_LOG_INFO, "NQX7001-070042"));
    ASSERT_EQ(1, VasqRunStaticPressure(100, -1, Ignore, false));
    VasqStopTest();
    EXPECT_EQ(1u, log.Count(VASQ_LOG_INFO, "static pressure started"));
    EXPECT_EQ(VASQ_LOG_INFO, log.MostDetailed()) << "nothing more detailed than asked for";

    VasqSetLogCallback(Log::Receive, VASQ_LOG_DEBUG, &log);
    bool bit = false;
    EXPECT_EQ(1, VasqGetAirPortStatus(&bit, nullptr));
    EXPECT_EQ(1u, log.Count(VASQ_LOG_DEBUG, "-> P/9 length 0 status 0: 53 50 09 00 00"));
    EXPECT_EQ(1u, log.Count(VASQ_LOG_DEBUG, "<- P/9 length 2 status 0 after"));

    m_device->InjectFault(FaultKind::NoAnswer, 'P', 9);
    EXPECT_EQ(0, VasqGetAirPortStatus(&bit, nullptr));
    EXPECT_EQ(1u, log.Count(VASQ_LOG_ERROR, "VasqGetAirPortStatus: no answer to P/9"));

    // The unanswered request is answered late by a stalled device: dropped, and said so.
    Fault stall(FaultKind::Delay);
    stall.delayMs = 2300;
    m_device->InjectFault(stall, 'P', 9);
    EXPECT_EQ(0, VasqGetAirPortStatus(&bit, nullptr));
    VasqIs500mlMode();
    EXPECT_GE(log.Count(VASQ_LOG_WARNING, "late answer P/9 dropped"), 1u);

    VasqSetLogCallback(nullptr, VASQ_LOG_DEBUG, &log);
    const size_t lines = log.Size();
    EXPECT_EQ(1, VasqGetAirPortStatus(&bit, nullptr));
    VasqFree();
    EXPECT_EQ(lines, log.Size()) << "a null callback turns the log off";
}

namespace {

// Log callbacks that call back into the library, from the threads that log:
// the application's, the sampling thread, the connection thread.
struct Reentrant {
    std::atomic<int> lines{0};
    std::atomic<int> refused{0};
    std::atomic<int> worked{0};

    // Calls device functions, one of which waits for a thread of the library.
    static void CallDevice(int, const char*, void* context)
    {
        auto* self = static_cast<Reentrant*>(context);
        self->lines.fetch_add(1);
        const int unit = VasqGetPressureUnit();
        const bool busy = VasqGetLastError() == VASQ_ERROR_BUSY &&
                          Has(Text(), "VasqGetPressureUnit: not from inside the log callback");
        VasqStopSampling();
        const bool stopRefused = VasqGetLastError() == VASQ_ERROR_BUSY;
        (unit == 0 && busy && stopRefused ? self->refused : self->worked).fetch_add(1);
    }
    // Replaces the log callback with itself.
    static void Replace(int, const char*, void* context)
    {
        auto* self = static_cast<Reentrant*>(context);
        self->lines.fetch_add(1);
        VasqSetLogCallback(Replace, VASQ_LOG_DEBUG, self);
        (VasqGetLastError() == VASQ_ERROR_BUSY ? self->refused : self->worked).fetch_add(1);
    }
};

// Runs the work on a thread of its own; a deadlock ends the test program
// rather than leaving it hanging.
void WithinDeadline(const std::function<void()>& work)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done.store(true);
    });
    e2e::Condition finished;
    if (!finished.WaitFor([&] { return done.load(); }, std::chrono::seconds(20))) {
        fprintf(stderr, "deadlock: the work did not end within 20 s\n");
        fflush(stderr);
        abort();
    }
    worker.join();
}

// Exchanges on this thread and the sampling thread, a release and a
// connection, all logged to the callback.
void LoggedWork(VasqLogCallback callback, void* context)
{
    VasqSetLogCallback(callback, VASQ_LOG_DEBUG, context);
    ASSERT_EQ(1, VasqStartSampling(nullptr));
    for (int i = 0; i < 20; ++i) {
        bool bit = false;
        EXPECT_EQ(1, VasqGetAirPortStatus(&bit, nullptr));
        EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError()) << "a refusal inside the callback leaked out";
    }
    VasqStopSampling();
    VasqFree();
    EXPECT_TRUE(VasqConnect(0, 5000));
    VasqSetLogCallback(nullptr, 0, nullptr);
}

}  // namespace

TEST_F(Reasons, ALogCallbackThatCallsDeviceFunctionsIsRefusedAndNeverDeadlocks)
{
    Reentrant reentrant;
    WithinDeadline([&] { LoggedWork(Reentrant::CallDevice, &reentrant); });
    EXPECT_GT(reentrant.lines.load(), 40);
    EXPECT_EQ(reentrant.lines.load(), reentrant.refused.load());
    EXPECT_EQ(0, reentrant.worked.load()) << "a call from inside the log callback did its work";
    EXPECT_EQ(0, VasqGetPressureUnit());
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError()) << "outside the callback the library works";
}

TEST_F(Reasons, ALogCallbackThatReplacesItselfIsRefusedAndNeverDeadlocks)
{
    Reentrant reentrant;
    WithinDeadline([&] { LoggedWork(Reentrant::Replace, &reentrant); });
    EXPECT_GT(reentrant.lines.load(), 40);
    EXPECT_EQ(reentrant.lines.load(), reentrant.refused.load());
    EXPECT_EQ(0, reentrant.worked.load());
}

namespace {

class Searches : public e2e::PrivateFolder {};

}  // namespace

TEST_F(Searches, WithoutADeviceTheTextNamesThePortAndWhy)
{
    EXPECT_STREQ("", VasqGetSerialNumber());
    EXPECT_EQ(VASQ_ERROR_NOT_CONNECTED, VasqGetLastError());
    EXPECT_EQ(0, VasqPausePump());
    EXPECT_EQ(VASQ_ERROR_NOT_CONNECTED, VasqGetLastError());

    Log log;
    VasqSetLogCallback(Log::Receive, VASQ_LOG_DEBUG, &log);
    EXPECT_FALSE(VasqConnect(5, 300));
    EXPECT_EQ(VASQ_ERROR_NOT_FOUND, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "ttyACM5: does not exist")) << Text();
    EXPECT_TRUE(Has(Text(), "within 300 ms")) << Text();
    VasqSetLogCallback(nullptr, 0, nullptr);
    EXPECT_EQ(0u, log.Count(VASQ_LOG_DEBUG, "->")) << "no frame is traced that never went out";
}

TEST_F(Searches, ADeviceThatIsFoundButNotReadyInTimeSaysSo)
{
    SimDevice device(m_folder.path(), 0);
    // The identity answer comes; the announcement that follows does not.
    device.InjectFault(FaultKind::NoAnswer, 'I', 135);
    EXPECT_FALSE(VasqConnect(0, 300));
    EXPECT_EQ(VASQ_ERROR_TIMEOUT, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "connecting did not finish in time")) << Text();
}

TEST_F(Searches, ALockFileHeldElsewhereNamesItsProcess)
{
    SimDevice device(m_folder.path(), 0);
    const int held = open(m_folder.LockPath(0).c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    EXPECT_FALSE(VasqConnect(0, 300));
    EXPECT_EQ(VASQ_ERROR_PORT_BUSY, VasqGetLastError());
    EXPECT_TRUE(Has(Text(), "held by process " + std::to_string(getpid()) + " (this process; ")) << Text();
    EXPECT_FALSE(VasqConnect(-1, 300));
    EXPECT_EQ(VASQ_ERROR_PORT_BUSY, VasqGetLastError()) << "a scan says why the one port was not taken";
    close(held);
    unlink(m_folder.LockPath(0).c_str());
    EXPECT_TRUE(VasqConnect(0, 5000));
    EXPECT_EQ(VASQ_ERROR_NONE, VasqGetLastError());
}

TEST_F(Searches, APortThisUserMayNotOpenSaysAccess)
{
    SimDevice device(m_folder.path(), 0);
    if (geteuid() != 0) {
        // Its owner may not open a node without permissions either.
        char target[256] = {};
        ASSERT_GT(readlink(device.NodePath().c_str(), target, sizeof(target) - 1), 0);
        ASSERT_EQ(0, chmod(target, 0));
        EXPECT_FALSE(VasqConnect(0, 300));
        EXPECT_EQ(VASQ_ERROR_ACCESS, VasqGetLastError());
        EXPECT_TRUE(Has(Text(), "Permission denied")) << Text();
        chmod(target, 0620);
        return;
    }
    // As root, a child process of an unprivileged user tries the port.
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv is not installed: no unprivileged user to try with";
    ASSERT_EQ(0, chmod(m_folder.path().c_str(), 0755));
    e2e::ChildProcess child("/usr/bin/setpriv",
                            {"--reuid=65534", "--regid=65534", "--clear-groups", VASQ_PORT_HOLDER, m_folder.path()});
    ASSERT_GT(child.pid, 0);
    const std::string first = child.ReadLine();
    const std::string reason = child.ReadLine();
    close(child.input);
    int status = 0;
    waitpid(child.pid, &status, 0);
    close(child.output);
    if (first != "none")
        GTEST_SKIP() << "the unprivileged user could open the port here: " << first;
    EXPECT_EQ(std::to_string(VASQ_ERROR_ACCESS), reason.substr(0, reason.find(' '))) << reason;
    EXPECT_TRUE(Has(reason, "Permission denied")) << reason;
    EXPECT_TRUE(Has(reason, "ttyACM0")) << reason;
}
