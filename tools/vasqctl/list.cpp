// list: the Vasq9s found and their serial numbers. Each is opened to read its
// identity and left as it was: vasqctl ends without closing them, so the
// library tells none of them anything more (a close would stop its test).
#include <stdio.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Output.h"

namespace vasqctl {

namespace {

// Once one instrument is found, the next search only needs to look at the ports once.
constexpr uint32_t kNextSearchMs = 1000;

int RunList(std::vector<std::string>& args)
{
    TakeJson(args);
    if (!NoneLeft(args))
        return kExitUsage;
    if (g_port >= 0 || !g_serial.empty()) {
        Error("list looks at every port: --port and --serial do not go with it");
        return kExitUsage;
    }
    const uint32_t timeoutMs = static_cast<uint32_t>(std::min(std::max(g_timeoutSeconds, 0.0) * 1000.0, 3600000.0));
    std::vector<std::pair<int, std::string>> found;
    int code = VASQ_ERROR_NONE;
    std::string reason;
    // A search of the library's cannot be cut short: Ctrl-C takes effect when the current one ends.
    for (uint32_t wait = timeoutMs; !Ended(); wait = std::min(timeoutMs, kNextSearchMs)) {
        VasqDevice* device = VasqOpenDevice(-1, wait);
        if (device == nullptr) {
            code = VasqGetLastError();
            reason = VasqGetLastErrorText();
            break;
        }
        found.emplace_back(VasqDeviceGetPortNumber(device), VasqDeviceGetSerialNumber(device));
    }
    if (g_signal != 0) {
        Error("interrupted while looking for instruments");
        return kExitInterrupted;
    }
    std::sort(found.begin(), found.end());
    for (const auto& [port, serial] : found) {
        if (g_json) {
            Json line;
            line["port"] = port;
            line["serial_number"] = serial;
            PrintJson(line);
        } else {
            printf("ttyACM%d  serial number %s\n", port, serial.c_str());
        }
    }
    if (found.empty()) {
        Explain("looking for instruments", code, reason);
        return kExitNotFound;
    }
    return kExitSuccess;
}

}  // namespace

const Command kListCommand = {
    "list",
    "usage: vasqctl [--timeout SECONDS] list [--json]\n"
    "  Lists the Vasq9s found, the port and serial number of each, and leaves each as\n"
    "  it was (a test it runs goes on). The first search waits up to the timeout; the\n"
    "  ports are then looked at once more for each instrument found.\n"
    "  --json     one JSON line per instrument: {\"port\": 0, \"serial_number\": \"...\"}\n",
    RunList, "json"};

}  // namespace vasqctl
