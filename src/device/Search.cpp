// The search loop of both transports: attempts, each over the ports the
// system lists, with a pause between them that a new port ends early.
#include "device/SearchOutcome.h"
#include "device/Transport.h"

namespace {

thread_local bool t_keepHeld = false;

}  // namespace

bool KeepHeldAfterSearch()
{
    return t_keepHeld;
}

bool FindDevice(Device& device, int portNumber)
{
    BeginSearchAttempt();
    const bool found = FindInListing(device, portNumber);
    EndSearchAttempt(found, found ? "" : NothingFoundText(portNumber).c_str());
    return found;
}

bool DeviceConnect(Device& device, int portNumber, int attempts)
{
    for (int attempt = 0; attempt < attempts; ++attempt) {
        SearchPause pause(device);
        if (FindDevice(device, portNumber))
            return true;
        pause.Wait(1000);
    }
    return false;
}

bool DeviceConnectHeld(Device& device, int portNumber, int attempts)
{
    t_keepHeld = true;
    const bool found = DeviceConnect(device, portNumber, attempts);
    t_keepHeld = false;
    return found;
}
