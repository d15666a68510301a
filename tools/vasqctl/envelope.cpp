// envelope: a customised envelope's table and plot, without an instrument.
#include <stdio.h>

#include <vector>

#include "Commands.h"
#include "EnvelopeFile.h"
#include "Output.h"
#include "Svg.h"

namespace vasqctl {

namespace {

int RunEnvelope(std::vector<std::string>& args)
{
    TakeJson(args);
    std::string description, csv, svg, unitText, title;
    bool haveDescription = false, haveCsv = false, haveSvg = false, haveUnit = false, haveTitle = false;
    if (!TakeOption(args, "--envelope", description, haveDescription) || !TakeOption(args, "--csv", csv, haveCsv) ||
        !TakeOption(args, "--svg", svg, haveSvg) || !TakeOption(args, "--unit", unitText, haveUnit) ||
        !TakeOption(args, "--title", title, haveTitle))
        return kExitUsage;
    if (g_json && args.size() == 1 && !haveDescription) {
        Error("envelope: --json asks for JSON output; read the description with --envelope %s", args[0].c_str());
        return kExitUsage;
    }
    if (!NoneLeft(args))
        return kExitUsage;
    int unit = 0;
    if (haveUnit && !ParseUnit(unitText, unit)) {
        Error("--unit takes mmHg or kPa");
        return kExitUsage;
    }
    if (!haveCsv && !haveSvg && !g_json) {
        Error("envelope needs --csv FILE, --svg FILE or --json (or several)");
        return kExitUsage;
    }
    if (haveCsv && haveSvg && csv == svg) {
        Error("envelope: --csv and --svg name the same file, %s", csv.c_str());
        return kExitUsage;
    }
    EnvelopeFile file;
    if (haveDescription) {
        if (!LoadEnvelopeFile(description, file))
            return g_signal != 0 ? kExitInterrupted : kExitFailure;
        if (file.unit >= 0 && haveUnit && file.unit != unit) {
            Error("%s is in %s, not %s", description.c_str(), UnitName(file.unit), UnitName(unit));
            return kExitFailure;
        }
        if (file.unit >= 0)
            unit = file.unit;
    }
    BPEnvelopeCustomized record{};
    if (!MakeEnvelope(haveDescription ? &file : nullptr, unit, record))
        return kExitFailure;
    const int count = unit == 1 ? 479 : 360;
    const char* unitName = UnitName(unit);
    std::vector<double> raw(480, 0.0), amplitude(480, 0.0);
    if (!VasqGetEnvelopeRawData(&record, raw.data(), amplitude.data(), count, unit)) {
        Failure("computing the envelope table");
        return kExitFailure;
    }
    amplitude.resize(count);
    std::vector<double> pressure(count);
    for (int i = 0; i < count; ++i)
        pressure[i] = unit == 1 ? i / 10.0 : i;
    const int pressureDecimals = unit == 1 ? 1 : 0;
    if (!haveTitle)
        title = (file.name.empty() ? std::string("Oscillation envelope") : file.name) +
                Printf(": systolic %s %s, diastolic %s %s, heart rate %u bpm", Fixed(record.dSystolic, 1).c_str(),
                       unitName, Fixed(record.dDiastolic, 1).c_str(), unitName, record.nHeartRate);
    // Everything is computed and checked before a file is written.
    std::string table = Printf("pressure_%s,amplitude_device_units\n", unitName);
    for (int i = 0; i < count; ++i)
        table += CsvNumber(pressure[i], pressureDecimals) + "," + CsvNumber(amplitude[i], 0) + "\n";
    std::string plot;
    if (haveSvg) {
        plot = SvgPlot(record, unit, pressure, amplitude, title);
        if (plot.empty()) {
            Error("envelope: the plot would hold a number that is not finite; no file written");
            return kExitFailure;
        }
    }
    if (haveCsv && !WriteFile(csv, table))
        return kExitFailure;
    if (haveSvg && !WriteFile(svg, plot))
        return kExitFailure;
    if (g_json) {
        Json result;
        result["unit"] = unitName;
        result["title"] = title;
        result["envelope"] = EnvelopeJson(record, unit);
        result["points"] = count;
        Json rows = Json::array();
        for (int i = 0; i < count; ++i)
            rows.push_back(
                {{"pressure", Rounded(pressure[i], pressureDecimals)}, {"amplitude", Rounded(amplitude[i], 0)}});
        result["table"] = {{"pressure_unit", unitName}, {"amplitude_unit", nullptr}, {"rows", rows}};
        result["csv_file"] = haveCsv ? Json(csv) : Json(nullptr);
        result["svg_file"] = haveSvg ? Json(svg) : Json(nullptr);
        PrintJson(result);
        return kExitSuccess;
    }
    if (haveCsv)
        printf("%s: the envelope's table, %d points (pressure in %s, amplitude in device units)\n", csv.c_str(),
               count, unitName);
    if (haveSvg)
        printf("%s: the envelope's plot\n", svg.c_str());
    return kExitSuccess;
}

}  // namespace

const Command kEnvelopeCommand = {
    "envelope",
    "usage: vasqctl envelope [--envelope FILE.json] [--unit mmHg|kPa] [--csv FILE] [--svg FILE]\n"
    "                        [--title TEXT] [--json]\n"
    "  Computes a customised envelope's table without an instrument: 360 points in mmHg\n"
    "  (0 to 359), 479 in kPa (0.0 to 47.8), from the description FILE.json or from the\n"
    "  plausible default.\n"
    "  --csv FILE   the table with the header 'pressure_<unit>,amplitude_device_units'\n"
    "  --svg FILE   the curve with its ten control points and both axes, under TEXT\n"
    "               (--title; default: the description's name and its values)\n"
    "  --json       the envelope's values and its table as one JSON object\n"
    "  --unit       the unit of the table (default: the description's, else mmHg)\n" VASQCTL_ENVELOPE_KEYS_HELP,
    RunEnvelope, "envelope: csv: svg: unit: title: json"};

}  // namespace vasqctl
