// A second process for the lock-file tests, through the shared library's
// exported functions. It prints "ready", waits until descriptor 50 (when open)
// reaches its end, so that several helpers start at the same moment, then:
//   connect FOLDER MS   connects to any port of FOLDER and prints the serial
//                       number or "none";
//   lock FOLDER PORT    takes the port's lock file and prints "won" or "lost";
//   lock-as FOLDER PORT UID   the same after dropping to that user id;
//   churn FOLDER PORT MS COUNTER   for MS milliseconds takes and releases the
//                       port's lock file; while it holds it, it counts itself
//                       in the shared int of the file COUNTER, and prints how
//                       often it found another holder counted there, then
//                       exits.
// It then holds what it got until its standard input reaches its end, and
// exits without releasing anything: a killed or crashed holder.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "vasq.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);
bool LockDevice(int portNumber);
bool UnlockDevice();

namespace {

// Far above the descriptors the library opens at load.
constexpr int kStartFd = 50;

long Milliseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

int Churn(int port, long milliseconds, const char* counterPath)
{
    const int fd = open(counterPath, O_RDWR);
    void* shared = fd < 0 ? MAP_FAILED : mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (shared == MAP_FAILED)
        return 4;
    auto* holders = static_cast<std::atomic<int>*>(shared);
    int doubles = 0, wins = 0;
    const long end = Milliseconds() + milliseconds;
    while (Milliseconds() < end) {
        if (!LockDevice(port))
            continue;
        ++wins;
        if (holders->fetch_add(1) != 0)
            ++doubles;
        sched_yield();
        holders->fetch_sub(1);
        UnlockDevice();
    }
    printf("%d %d\n", doubles, wins);
    return 0;
}

void WaitForEnd(int fd)
{
    char buffer[16];
    while (read(fd, buffer, sizeof(buffer)) > 0) {
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    const char* mode = argv[1];
    SetDeviceFoldersForTesting(argv[2], argv[2]);
    if (strcmp(mode, "lock-as") == 0 && (argc != 5 || setuid(static_cast<uid_t>(atoi(argv[4]))) != 0))
        return 3;
    printf("ready\n");
    fflush(stdout);
    if (fcntl(kStartFd, F_GETFD) != -1) {
        WaitForEnd(kStartFd);
        close(kStartFd);
    }
    if (strcmp(mode, "churn") == 0)
        return argc == 6 ? Churn(atoi(argv[3]), atol(argv[4]), argv[5]) : 2;
    if (strcmp(mode, "connect") == 0) {
        const bool connected = VasqConnect(-1, static_cast<unsigned>(atoi(argv[3])));
        printf("%s\n", connected ? VasqGetSerialNumber() : "none");
    } else {
        printf("%s\n", LockDevice(atoi(argv[3])) ? "won" : "lost");
    }
    fflush(stdout);
    WaitForEnd(STDIN_FILENO);
    _exit(0);
}
