// Lock files left by killed programs, through real processes: a file no live
// process holds open is taken over, a held one is respected, a holder that
// cannot be looked into keeps the port skipped, and of several processes that
// find the same stale file at once exactly one gets it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "ChildProcess.h"
#include "E2ESupport.h"
#include "vasq.h"

bool LockDevice(int portNumber);
bool UnlockDevice();

namespace {

// The helper program, with the shared start pipe (when given) as descriptor 50.
class Helper {
public:
    Helper(const std::vector<std::string>& args, int startFd = -1) : m_child(VASQ_LOCK_HELPER, args, startFd, 50) {}
    ~Helper()
    {
        Kill();
        close(m_child.output);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // The next line the helper prints; empty when it ended.
    std::string ReadLine() const { return m_child.ReadLine(); }
    // Lets the helper end by itself (it releases nothing) and reaps it.
    bool End()
    {
        closeInput();
        return Reap() == 0;
    }
    // SIGKILL, as a crash or an impatient user would end it.
    void Kill()
    {
        if (m_child.pid <= 0)
            return;
        kill(m_child.pid, SIGKILL);
        Reap();
    }

private:
    void closeInput()
    {
        if (m_child.input >= 0)
            close(m_child.input);
        m_child.input = -1;
    }
    int Reap()
    {
        closeInput();
        int status = -1;
        const pid_t pid = m_child.pid;
        m_child.pid = -1;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }

    e2e::ChildProcess m_child;
};

off_t FileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Takeover needs every process's descriptors to be visible to this user.
bool AllProcessesVisible()
{
    DIR* processes = opendir("/proc");
    if (processes == nullptr)
        return false;
    bool all = true;
    while (const dirent* process = readdir(processes)) {
        if (process->d_name[0] < '0' || process->d_name[0] > '9')
            continue;
        DIR* fds = opendir(("/proc/" + std::string(process->d_name) + "/fd").c_str());
        if (fds != nullptr)
            closedir(fds);
        else if (errno == EACCES || errno == EPERM)
            all = false;
    }
    closedir(processes);
    return all;
}

class StaleLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!AllProcessesVisible())
            GTEST_SKIP() << "other users' processes cannot be looked into: every existing lock file is respected";
        SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str());
    }
    void TearDown() override
    {
        VasqFree();
        SetDeviceFoldersForTesting(nullptr, nullptr);
    }

    e2e::TempFolder m_folder;
};

TEST_F(StaleLock, KilledHolderLeavesThePortToTheNextProcessButALiveOneKeepsIt)
{
    vasqsim::SimDevice device(m_folder.path(), 0);
    ASSERT_TRUE(device.Plugged());
    const std::string lock = m_folder.LockPath(0);
    {
        Helper killed({"connect", m_folder.path(), "5000"});
        ASSERT_EQ("ready", killed.ReadLine());
        ASSERT_EQ("NQX7001-070042", killed.ReadLine());
        killed.Kill();
    }
    ASSERT_TRUE(e2e::FileExists(lock)) << "the killed process's lock file is the case under test";

    // The next process connects as it would to a free port.
    Helper next({"connect", m_folder.path(), "5000"});
    ASSERT_EQ("ready", next.ReadLine());
    e2e::Stopwatch watch;
    ASSERT_EQ("NQX7001-070042", next.ReadLine());
    printf("connect over a stale lock file: %.0f ms\n", watch.Ms());
    EXPECT_LT(watch.Ms(), 2500.0) << "longer than one search and its pause";

    // That process is alive and holds the port: this one must not take it.
    device.ClearLog();
    EXPECT_FALSE(VasqConnect(-1, 1200));
    EXPECT_EQ(VASQ_ERROR_PORT_BUSY, VasqGetLastError());
    EXPECT_NE(std::string::npos, std::string(VasqGetLastErrorText()).find("(another process; " + lock + ")"))
        << VasqGetLastErrorText();
    EXPECT_TRUE(device.Log().empty()) << "a held port was written to";
    EXPECT_TRUE(e2e::FileExists(lock));
    next.Kill();

    // Now it is stale again, and this process takes it.
    ASSERT_TRUE(VasqConnect(-1, 5000));
    EXPECT_STREQ("NQX7001-070042", VasqGetSerialNumber());
    VasqFree();
    EXPECT_FALSE(e2e::FileExists(lock));
}

TEST_F(StaleLock, ProcessesRacingForOneStaleFileHaveExactlyOneWinner)
{
    const std::string lock = m_folder.LockPath(7);
    const int stale = open(lock.c_str(), O_RDONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(stale, 0);
    close(stale);
    constexpr int kRacers = 5;
#if defined(__SANITIZE_THREAD__)
    constexpr int kRounds = 3;  // each process of the thread sanitizer takes about a second to start
#else
    constexpr int kRounds = 8;
#endif
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int start[2];
        ASSERT_EQ(0, pipe2(start, O_CLOEXEC));
        std::vector<std::unique_ptr<Helper>> racers;
        for (int i = 0; i < kRacers; ++i)
            racers.push_back(std::make_unique<Helper>(std::vector<std::string>{"lock", m_folder.path(), "7"}, start[0]));
        close(start[0]);
        for (auto& racer : racers)
            ASSERT_EQ("ready", racer->ReadLine());
        close(start[1]);  // all of them go at once
        int winners = 0;
        for (auto& racer : racers) {
            const std::string result = racer->ReadLine();
            EXPECT_TRUE(result == "won" || result == "lost") << result;
            winners += result == "won" ? 1 : 0;
        }
        EXPECT_EQ(1, winners);
        // Every racer ends without releasing: the winner's file is the next round's stale one.
        for (auto& racer : racers)
            EXPECT_TRUE(racer->End());
        ASSERT_TRUE(e2e::FileExists(lock));
    }
}

// Processes that take and release one port's lock file over and over: while
// one has just created the file, its descriptor is not yet to be seen in
// /proc, and another must not take the new file for a stale one then.
TEST_F(StaleLock, ProcessesChurningOnOnePortNeverHoldItTogether)
{
    const std::string counter = m_folder.path() + "/holders";
    const int counterFd = open(counter.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(counterFd, 0);
    ASSERT_EQ(0, ftruncate(counterFd, sizeof(int)));
    close(counterFd);
    constexpr int kChurners = 4;
    const char* configured = getenv("VASQ_STORM_SECONDS");
    const std::string ms = std::to_string(1000 * (configured != nullptr ? atoi(configured) : 3));
    int start[2];
    ASSERT_EQ(0, pipe2(start, O_CLOEXEC));
    std::vector<std::unique_ptr<Helper>> churners;
    for (int i = 0; i < kChurners; ++i)
        churners.push_back(
            std::make_unique<Helper>(std::vector<std::string>{"churn", m_folder.path(), "3", ms, counter}, start[0]));
    close(start[0]);
    for (auto& churner : churners)
        ASSERT_EQ("ready", churner->ReadLine());
    close(start[1]);
    int doubles = 0, wins = 0;
    for (auto& churner : churners) {
        int d = -1, w = -1;
        const std::string result = churner->ReadLine();
        ASSERT_EQ(2, sscanf(result.c_str(), "%d %d", &d, &w)) << result;
        doubles += d;
        wins += w;
        EXPECT_TRUE(churner->End());
    }
    printf("lock churn: %d holds by %d processes, %d times two holders\n", wins, kChurners, doubles);
    EXPECT_EQ(0, doubles) << "a lock file that a live process had just created was taken over";
    EXPECT_GT(wins, kChurners);
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(3)));
}

TEST_F(StaleLock, HolderThatCannotBeLookedIntoKeepsThePort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start a helper under another user id";
    // The helper runs as nobody and cannot see root's processes, this one included.
    ASSERT_EQ(0, chmod(m_folder.path().c_str(), 0777));
    const std::string lock = m_folder.LockPath(2);
    // Marked with a byte: a file created afresh in its place would be empty.
    const int stale = open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(stale, 0);
    ASSERT_EQ(1, write(stale, "x", 1));
    close(stale);
    Helper helper({"lock-as", m_folder.path(), "2", "65534"});
    ASSERT_EQ("ready", helper.ReadLine());
    EXPECT_EQ("lost", helper.ReadLine());
    EXPECT_TRUE(helper.End());
    EXPECT_EQ(1, FileSize(lock)) << "a lock file was removed without knowing that nobody holds it";
}

TEST_F(StaleLock, OnlyAnUnheldPlainFileIsTakenOver)
{
    // A link in place of the lock file is not the convention's file: left alone.
    const std::string target = m_folder.path() + "/elsewhere";
    const int other = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(other, 0);
    close(other);
    ASSERT_EQ(0, symlink(target.c_str(), m_folder.LockPath(4).c_str()));
    EXPECT_FALSE(LockDevice(4));
    struct stat link;
    EXPECT_EQ(0, lstat(m_folder.LockPath(4).c_str(), &link));
    EXPECT_TRUE(S_ISLNK(link.st_mode));

    // A file this very process has open is held, as any other live holder's.
    const int held = open(m_folder.LockPath(5).c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    e2e::Stopwatch scan;
    EXPECT_FALSE(LockDevice(5));
    printf("deciding that a lock file is held (every process's descriptors): %.1f ms\n", scan.Ms());
    close(held);
    EXPECT_TRUE(LockDevice(5)) << "closed, the same file is stale";
    EXPECT_TRUE(UnlockDevice());
    EXPECT_FALSE(e2e::FileExists(m_folder.LockPath(5)));
}

}  // namespace
