// leak and overpressure: the tests of the monitor's pneumatic system.
#include <limits.h>
#include <stdio.h>

#include "Commands.h"
#include "Follow.h"
#include "Instrument.h"

namespace vasqctl {

namespace {

// Leak values come in tenths of a mmHg or hundredths of a kPa: two places show both.
constexpr int kLeakDecimals = 2;

// The wait-stable time, the leak value (in the unit) and the result
// code, whose meaning belongs to the instrument. The leak value and the code
// hold their initial values until COMPLETED, so the text shows them only then.
void OnLeak(VasqStatus status, double wait, double leak, int code)
{
    const char* unit = UnitName(g_unit);
    Json fields;
    fields["wait_stable_time"] = Quantity(wait, "s", 1);
    fields["leak_value"] = Quantity(leak, unit, kLeakDecimals);
    fields["result_code"] = code;
    std::string text = Printf("wait-stable time %s s", Fixed(wait, 1).c_str());
    if (status == STATUS_COMPLETED)
        text += Printf("  leak value %s %s  result code %d", Fixed(leak, kLeakDecimals).c_str(), unit, code);
    Report(status, text, std::move(fields));
}

// The wait-stable time and six results: results 1 to 3 the pressures the
// instrument reached at the test's three steps, in the unit, results 4 to 6
// figures of the instrument's own that it does not name. They hold 0.0 until
// COMPLETED, so the text shows them only then.
void OnOverpressure(VasqStatus status, double wait, double r1, double r2, double r3, double r4, double r5, double r6)
{
    const char* unit = UnitName(g_unit);
    const double results[6] = {r1, r2, r3, r4, r5, r6};
    Json fields;
    fields["wait_stable_time"] = Quantity(wait, "s", 1);
    std::string text = Printf("wait-stable time %s s", Fixed(wait, 1).c_str());
    for (int i = 0; i < 6; ++i) {
        const bool pressure = i < 3;
        fields[Printf(pressure ? "pressure_%d" : "result_%d", i + 1)] = Quantity(results[i], pressure ? unit : nullptr, 1);
        if (status == STATUS_COMPLETED)
            text += Printf(pressure ? "  pressure %d %s %s" : "  result %d %s", i + 1, Fixed(results[i], 1).c_str(),
                           unit);
    }
    Report(status, text, std::move(fields));
}

int RunLeak(std::vector<std::string>& args)
{
    TakeJson(args);
    const bool wait = TakeFlag(args, "--wait");
    double rate = 0.0;
    int param = 60;
    if (!TakeNumber(args, "--rate", rate) || !TakeInteger(args, "--param", INT_MIN, INT_MAX, param))
        return kExitUsage;
    double pressure = 0;
    if (args.size() != 1 || !ParseDouble(args[0], pressure)) {
        Error("leak needs one pressure (see vasqctl leak --help)");
        return kExitUsage;
    }
    if (int rc = Connect())
        return rc;
    const char* unit = UnitName(g_unit);
    if (!g_json)
        printf("leakage test: test pressure %s %s, allowed leak rate %s %s\n", Fixed(pressure, 1).c_str(), unit,
               Fixed(rate, 2).c_str(), unit);
    Json settings;
    settings["test_pressure"] = Quantity(pressure, unit, 1);
    settings["allowed_leak_rate"] = Quantity(rate, unit, 2);
    settings["leak_param"] = param;
    return StartTest("leakage test", settings, wait,
                     [&] { return VasqRunLeakageTest(pressure, param, rate, wait ? OnLeak : nullptr) != 0; });
}

int RunOverpressure(std::vector<std::string>& args)
{
    TakeJson(args);
    const bool wait = TakeFlag(args, "--wait");
    const bool noFlag = TakeFlag(args, "--no-flag");
    double p[3];
    if (args.size() != 3 || !ParseDouble(args[0], p[0]) || !ParseDouble(args[1], p[1]) ||
        !ParseDouble(args[2], p[2])) {
        Error("overpressure needs three pressures (see vasqctl overpressure --help)");
        return kExitUsage;
    }
    if (int rc = Connect())
        return rc;
    const char* unit = UnitName(g_unit);
    if (!g_json)
        printf("overpressure test: pressure 1 %s %s, pressure 2 %s %s, pressure 3 %s %s, overpressure flag %s\n",
               Fixed(p[0], 1).c_str(), unit, Fixed(p[1], 1).c_str(), unit, Fixed(p[2], 1).c_str(), unit,
               noFlag ? "clear" : "set");
    Json settings;
    for (int i = 0; i < 3; ++i)
        settings[Printf("pressure_%d", i + 1)] = Quantity(p[i], unit, 1);
    settings["overpressure_flag"] = !noFlag;
    return StartTest("overpressure test", settings, wait, [&] {
        return VasqRunOverpressureTest(!noFlag, p[0], p[1], p[2], wait ? OnOverpressure : nullptr) != 0;
    });
}

}  // namespace

const Command kLeakCommand = {
    "leak",
    "usage: vasqctl [--port N] leak PRESSURE [--rate R] [--param N] [--wait] [--json]\n"
    "  Leakage test at PRESSURE (instrument's unit); --rate is the allowed leak rate\n"
    "  (default 0), --param the instrument's leak parameter (default 60).\n"
    "  --wait     follow the reports to COMPLETED; Ctrl-C stops the test. Each report:\n"
    "             seconds since the start, status, wait-stable time (s); at COMPLETED\n"
    "             also the leak value (instrument's unit) and the instrument's result code\n"
    "  --json     JSON lines: the start, each report, the end\n",
    RunLeak, "rate: param: wait json"};

const Command kOverpressureCommand = {
    "overpressure",
    "usage: vasqctl [--port N] overpressure P1 P2 P3 [--no-flag] [--wait] [--json]\n"
    "  Overpressure test with three pressures (instrument's unit; each clamped to its\n"
    "  own limit). --no-flag clears the instrument's overpressure flag.\n"
    "  --wait     follow the reports to COMPLETED; Ctrl-C stops the test. Each report:\n"
    "             seconds since the start, status, wait-stable time (s); at COMPLETED\n"
    "             also the pressures reached at the three steps (instrument's unit) and\n"
    "             results 4 to 6, figures of the instrument's own that it does not name\n"
    "  --json     JSON lines: the start, each report, the end\n",
    RunOverpressure, "no-flag wait json"};

}  // namespace vasqctl
