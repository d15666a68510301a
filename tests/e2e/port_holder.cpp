// A second process for the lock-file test: connects through the library to
// any port in the given folder, prints the serial number it found, and holds
// the port until its standard input closes. With --no-free it returns from
// main without VasqFree and leaves the rest to the library's unload.
#include <stdio.h>
#include <unistd.h>

#include "vasq.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3)
        return 2;
    SetDeviceFoldersForTesting(argv[1], argv[1]);
    if (!VasqConnect(-1, 5000)) {
        printf("none\n%d %s\n", VasqGetLastError(), VasqGetLastErrorText());
        return 1;
    }
    printf("%s\n", VasqGetSerialNumber());
    fflush(stdout);
    char buffer[16];
    while (read(STDIN_FILENO, buffer, sizeof(buffer)) > 0) {
    }
    if (argc == 3)
        return 0;
    VasqFree();
    return 0;
}
