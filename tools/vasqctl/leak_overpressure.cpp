// leak and overpressure: the tests of the monitor's pneumatic system.
#include <limits.h>
#include <stdio.h>

#include <cmath>

#include "Commands.h"
#include "Follow.h"
#include "Instrument.h"
#include "Limits.h"

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

// The leak rate travels as trunc(10 × (rate × unit factor)): tenths of a mmHg, hundredths of a kPa.
double LeakRateMmhg(double rate)
{
    return std::trunc(10.0 * (rate * 1.0));
}
double LeakRateKpa(double rate)
{
    return std::trunc(10.0 * (rate * 10.0));
}

int RunLeak(std::vector<std::string>& args)
{
    TakeJson(args);
    const bool wait = TakeFlag(args, "--wait");
    double rate = 0.0;
    int param = 60;
    // The record keeps the parameter in 16 bits.
    if (!TakeNumber(args, "--rate", rate) || !TakeInteger(args, "--param", 0, 65535, param))
        return kExitUsage;
    double pressure = 0;
    if (args.size() != 1 || !ParseDouble(args[0], pressure)) {
        Error("leak needs one pressure (see vasqctl leak --help)");
        return kExitUsage;
    }
    if (int rc = Connect())
        return rc;
    const char* unit = UnitName(g_unit);
    // Refused before anything is sent: leaving without VasqFree tells the instrument nothing. A leak rate
    // beyond the highest pressure the instrument holds is none it could measure.
    const Range pressures = LimitOf(LIMIT_STATIC_PRESSURE, g_unit);
    if (!WithinLimit("leak: the test pressure", pressure, pressures, unit) ||
        !WithinLimit("leak: --rate", rate, Range{0.0, pressures.high}, unit))
        return kExitUsage;
    pressure = GivenPressure(LIMIT_STATIC_PRESSURE, pressure, g_unit);
    double shownRate = 0;
    const double sentRate =
        ForTruncation(rate, g_unit == 1 ? 100.0 : 10.0, g_unit == 1 ? LeakRateKpa : LeakRateMmhg, shownRate);
    const int rateDecimals = g_unit == 1 ? 2 : 1;
    if (!g_json)
        printf("leakage test: test pressure %s %s, allowed leak rate %s %s\n", Fixed(pressure, 1).c_str(), unit,
               Fixed(shownRate, rateDecimals).c_str(), unit);
    Json settings;
    settings["test_pressure"] = Quantity(pressure, unit, 1);
    settings["allowed_leak_rate"] = Quantity(shownRate, unit, rateDecimals);
    settings["leak_param"] = param;
    return StartTest("leakage test", settings, wait,
                     [&] { return VasqRunLeakageTest(pressure, param, sentRate, wait ? OnLeak : nullptr) != 0; });
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
    // Each to its own limit; refused before anything is sent.
    const VasqLimitKind kinds[3] = {LIMIT_STATIC_PRESSURE, LIMIT_OVERPRESSURE_SECOND, LIMIT_OVERPRESSURE_THIRD};
    for (int i = 0; i < 3; ++i) {
        if (!WithinLimit(Printf("overpressure: pressure %d", i + 1), p[i], LimitOf(kinds[i], g_unit), unit))
            return kExitUsage;
        p[i] = GivenPressure(kinds[i], p[i], g_unit);
    }
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
    "  Leakage test at PRESSURE (instrument's unit, to 1 mmHg or 0.1 kPa; 20 to 400 mmHg,\n"
    "  2.7 to 53.3 kPa); --rate is the allowed leak rate (to 0.1 mmHg or 0.01 kPa, from 0\n"
    "  to the highest test pressure; default 0), --param the instrument's leak parameter\n"
    "  (0 to 65535, default 60). A value out of range is refused before anything is sent.\n"
    "  --wait     follow the reports to COMPLETED; Ctrl-C stops the test. Each report:\n"
    "             seconds since the start, status, wait-stable time (s); at COMPLETED\n"
    "             also the leak value (instrument's unit) and the instrument's result code\n"
    "  --json     JSON lines: the start, each report, the end\n",
    RunLeak, "rate: param: wait json"};

const Command kOverpressureCommand = {
    "overpressure",
    "usage: vasqctl [--port N] overpressure P1 P2 P3 [--no-flag] [--wait] [--json]\n"
    "  Overpressure test with three pressures (instrument's unit, to 1 mmHg or 0.1 kPa),\n"
    "  each refused outside its own limits: P1 20 to 400 mmHg (2.7 to 53.3 kPa), P2 2 to\n"
    "  400 mmHg (0.2 to 53.3 kPa), P3 20 to 400 mmHg (2.6 to 53.3 kPa). --no-flag clears\n"
    "  the instrument's overpressure flag.\n"
    "  --wait     follow the reports to COMPLETED; Ctrl-C stops the test. Each report:\n"
    "             seconds since the start, status, wait-stable time (s); at COMPLETED\n"
    "             also the pressures reached at the three steps (instrument's unit) and\n"
    "             results 4 to 6, figures of the instrument's own that it does not name\n"
    "  --json     JSON lines: the start, each report, the end\n",
    RunOverpressure, "no-flag wait json"};

}  // namespace vasqctl
