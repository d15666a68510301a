#pragma once

// A simulated Vasq9 served by a child process, so that the benchmark process's
// own processor time is the library's (and the benchmark's few lines).
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "SimDevice.h"

class ForkedDevice {
public:
    // Serves port 0 in folder with a model set up by configure, sending its
    // answers at 115200 baud when paced; false in ready() when the child could
    // not start its device.
    ForkedDevice(const std::string& folder, const std::function<void(vasqsim::DeviceModel&)>& configure,
                 bool paced = false)
    {
        int ready[2];
        int stop[2];
        if (pipe(ready) != 0 || pipe(stop) != 0)
            return;
        m_child = fork();
        if (m_child == 0) {
            close(ready[0]);
            close(stop[1]);
            int status = 1;
            {
                vasqsim::SimDevice device(folder, 0);
                device.WithModel(configure);
                device.SetPacing(paced);
                const char ok = device.Plugged() ? 1 : 0;
                (void)!write(ready[1], &ok, 1);
                char byte;
                while (read(stop[0], &byte, 1) > 0) {
                }
                status = 0;
            }
            _exit(status);
        }
        close(ready[1]);
        close(stop[0]);
        m_stop = stop[1];
        char ok = 0;
        m_ready = read(ready[0], &ok, 1) == 1 && ok == 1;
        close(ready[0]);
    }
    ~ForkedDevice()
    {
        if (m_stop >= 0)
            close(m_stop);
        if (m_child > 0)
            waitpid(m_child, nullptr, 0);
    }
    bool ready() const { return m_ready; }

private:
    pid_t m_child = -1;
    int m_stop = -1;
    bool m_ready = false;
};

// A private folder for the device node and lock file.
inline std::string MakeBenchFolder()
{
    char name[] = "/tmp/vasq-bench-XXXXXX";
    return mkdtemp(name) != nullptr ? name : "";
}

inline void RemoveBenchFolder(const std::string& folder)
{
    const std::string command = folder + "/ttyACM0";
    unlink(command.c_str());
    unlink((folder + "/kestrova.ACM0.lock").c_str());
    rmdir(folder.c_str());
}
