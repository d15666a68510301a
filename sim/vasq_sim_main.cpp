// vasq-sim: serves a simulated Vasq9 on a pseudo-terminal until interrupted.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "SimDevice.h"

namespace {

void Usage()
{
    fprintf(stderr,
            "usage: vasq-sim [--dir FOLDER] [--port N] [--cooked]\n"
            "  Serves a simulated Vasq9 as FOLDER/ttyACM<N> (default /tmp/vasq-sim/ttyACM0)\n"
            "  until interrupted. As root, --dir /dev makes the library find it unchanged.\n"
            "  --cooked leaves the port as another program might: CR/NL mapping, XON/XOFF,\n"
            "  echo, canonical mode, VMIN = VTIME = 0.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    std::string folder = "/tmp/vasq-sim";
    int port = 0;
    vasqsim::PortSettings settings = vasqsim::PortSettings::AsCreated;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            folder = argv[++i];
        } else if (strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--cooked") == 0) {
            settings = vasqsim::PortSettings::Cooked;
        } else {
            Usage();
            return 2;
        }
    }
    if (port < 0) {
        Usage();
        return 2;
    }
    mkdir(folder.c_str(), 0755);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    vasqsim::SimDevice device(folder, port, true, settings);
    if (!device.Plugged()) {
        fprintf(stderr, "vasq-sim: cannot create %s\n", device.NodePath().c_str());
        return 1;
    }
    printf("%s\n", device.NodePath().c_str());
    fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    return 0;
}
