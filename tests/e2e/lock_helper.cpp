// A second process for the lock-file tests, through the shared library's
// exported functions. It prints "ready", waits until descriptor 50 (when open)
// reaches its end, so that several helpers start at the same moment, then:
//   connect FOLDER MS   connects to any port of FOLDER and prints the serial
//                       number or "none";
//   lock FOLDER PORT    takes the port's lock file and prints "won" or "lost";
//   lock-as FOLDER PORT UID   the same after dropping to that user id.
// It then holds what it got until its standard input reaches its end, and
// exits without releasing anything: a killed or crashed holder.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vasq.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);
bool LockDevice(int portNumber);

namespace {

// Far above the descriptors the library opens at load.
constexpr int kStartFd = 50;

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
