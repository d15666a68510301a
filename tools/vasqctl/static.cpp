// static: build up and hold a pressure; stop: stop whatever test runs.
#include <limits.h>
#include <stdio.h>

#include "Commands.h"
#include "Follow.h"
#include "Instrument.h"
#include "Limits.h"

namespace vasqctl {

namespace {

// Every report carries the wait-stable time and the device's test
// result, a code whose meaning belongs to the instrument.
void OnStatic(VasqStatus status, double wait, int result)
{
    Json fields;
    fields["wait_stable_time"] = Quantity(wait, "s", 1);
    fields["test_result_code"] = result;
    Report(status, Printf("wait-stable time %s s  test result: code %d", Fixed(wait, 1).c_str(), result),
           std::move(fields));
}

int RunStatic(std::vector<std::string>& args)
{
    TakeJson(args);
    const bool wait = TakeFlag(args, "--wait");
    int param = -1;
    // The record keeps it in 16 bits; without it the instrument's own stays.
    if (!TakeInteger(args, "--param", 0, 65535, param))
        return kExitUsage;
    if (args.size() != 1) {
        Error("static needs one pressure (see vasqctl static --help)");
        return kExitUsage;
    }
    double pressure = 0;
    if (!ParseDouble(args[0], pressure)) {
        Error("not a pressure: '%s'", args[0].c_str());
        return kExitUsage;
    }
    if (int rc = Connect())
        return rc;
    const char* unit = UnitName(g_unit);
    // Refused before anything is sent: leaving without VasqFree tells the instrument nothing.
    if (!WithinLimit("static: the pressure", pressure, LimitOf(LIMIT_STATIC_PRESSURE, g_unit), unit))
        return kExitUsage;
    pressure = GivenPressure(LIMIT_STATIC_PRESSURE, pressure, g_unit);
    if (!g_json)
        printf("static pressure: target pressure %s %s\n", Fixed(pressure, 1).c_str(), unit);
    Json settings;
    settings["target_pressure"] = Quantity(pressure, unit, 1);
    settings["static_param"] = param < 0 ? Json(nullptr) : Json(param);
    return StartTest("static pressure", settings, wait,
                     [&] { return VasqRunStaticPressure(pressure, param, wait ? OnStatic : nullptr, false) != 0; });
}

int RunStop(std::vector<std::string>& args)
{
    TakeJson(args);
    if (!NoneLeft(args))
        return kExitUsage;
    if (int rc = Connect())
        return rc;
    VasqStopTest();
    // VasqStopTest returns 1 also when the device could not be told.
    if (VasqGetLastError() != VASQ_ERROR_NONE) {
        Failure("stopping the test");
        VasqFree();
        return kExitFailure;
    }
    if (g_json) {
        Json result;
        result["test_stopped"] = true;
        PrintJson(result);
    } else {
        printf("test stopped\n");
    }
    VasqFree();
    return kExitSuccess;
}

}  // namespace

const Command kStaticCommand = {
    "static",
    "usage: vasqctl [--port N] static PRESSURE [--param N] [--wait] [--json]\n"
    "  Builds up and holds PRESSURE (in the instrument's unit, to 1 mmHg or 0.1 kPa;\n"
    "  refused outside the instrument's limits for it: 20 to 400 mmHg, 2.7 to 53.3 kPa).\n"
    "  --param N  the instrument's static-pressure parameter, 0 to 65535 (default: leave it)\n"
    "  --wait     follow the reports to COMPLETED, then stop; Ctrl-C stops it. Each\n"
    "             report: seconds since the start, status, wait-stable time (s) and\n"
    "             the instrument's test result code\n"
    "  --json     JSON lines: the start, each report, the end\n",
    RunStatic, "param: wait json"};

const Command kStopCommand = {
    "stop",
    "usage: vasqctl [--port N] stop [--json]\n"
    "  Stops whatever test the instrument runs.\n",
    RunStop, "json"};

}  // namespace vasqctl
