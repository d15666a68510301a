// Measures, through the exported functions and a simulated Vasq9: the time to
// connect, to notice an unplugged device and to reconnect after it is plugged
// back in. Prints the median and range of several runs.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "SimDevice.h"
#include "vasq.h"
#include "ConnectionChanges.h"


int main(int argc, char** argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 7;
    char folderTemplate[] = "/tmp/vasq-bench-XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr || runs < 1)
        return 1;
    std::vector<double> connect, loss, reconnect;
    {
        vasqsim::SimDevice device(folder, 0);
        SetDeviceFoldersForTesting(folder, folder);
        for (int i = 0; i < runs; ++i) {
            const auto started = Clock::now();
            if (!VasqConnect(-1, 5000))
                return 1;
            connect.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
            VasqFree();
        }
        VasqInit(OnConnection);
        int changes = 1;
        if (WaitForChange(changes, Clock::now()) < 0)
            return 1;
        for (int i = 0; i < runs; ++i) {
            // Unplug at a different point of the monitor's cycle each time.
            usleep(static_cast<useconds_t>(1500000 + 397000 * i % 1700000));
            const auto unplugged = Clock::now();
            device.Unplug();
            const double lost = WaitForChange(++changes, unplugged);
            const auto plugged = Clock::now();
            device.Plug();
            const double back = WaitForChange(++changes, plugged);
            if (lost < 0 || back < 0)
                return 1;
            loss.push_back(lost);
            reconnect.push_back(back);
        }
        VasqFree();
    }
    rmdir(folder);
    Report("connect (VasqConnect)", connect, "ms", "<= 100 ms");
    Report("notice an unplug", loss, "ms", "<= 100 ms");
    Report("reconnect after plug-in", reconnect, "ms", "<= 100 ms");
    return 0;
}
