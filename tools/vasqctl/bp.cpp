// bp: a blood-pressure simulation with the default or a customised envelope.
#include <stdio.h>

#include <algorithm>

#include "Commands.h"
#include "EnvelopeFile.h"
#include "Follow.h"
#include "Instrument.h"

namespace vasqctl {

namespace {

// Four results, all 0.0 until COMPLETED; result 1 is a pressure in
// the unit, results 2 to 4 the instrument's values divided by 10, in a scale
// of its own. The text shows them at COMPLETED.
void OnBP(VasqStatus status, double r1, double r2, double r3, double r4)
{
    const char* unit = UnitName(g_unit);
    const double results[4] = {r1, r2, r3, r4};
    Json fields;
    std::string text;
    for (int i = 0; i < 4; ++i) {
        fields[Printf("result_%d", i + 1)] = Quantity(results[i], i == 0 ? unit : nullptr, 1);
        if (status == STATUS_COMPLETED)
            text += Printf("%sresult %d %s %s", i == 0 ? "" : "  ", i + 1, Fixed(results[i], 1).c_str(),
                           i == 0 ? unit : "device units");
    }
    Report(status, text, std::move(fields));
}

int RunBP(std::vector<std::string>& args)
{
    TakeJson(args);
    const bool wait = TakeFlag(args, "--wait");
    std::string envelope;
    bool custom = false;
    BPCommon common{};
    common.eMethod = BP_METHOD_DEFAULT;
    common.dSystolic = 120;
    common.dDiastolic = 80;
    common.nHeartRate = 72;
    common.dPulseVolume = 1.0;
    int rate = static_cast<int>(common.nHeartRate);
    if (!TakeOption(args, "--envelope", envelope, custom))
        return kExitUsage;
    const std::vector<std::string> settings = {"--systolic", "--diastolic", "--rate", "--volume"};
    if (custom) {
        for (const std::string& setting : settings) {
            if (std::find(args.begin(), args.end(), setting) != args.end()) {
                Error("bp: %s does not go with --envelope: give it in the description (see vasqctl bp --help)",
                      setting.c_str());
                return kExitUsage;
            }
        }
    }
    if (!TakeNumber(args, "--systolic", common.dSystolic) || !TakeNumber(args, "--diastolic", common.dDiastolic) ||
        !TakeInteger(args, "--rate", 30, 300, rate) || !TakeNumber(args, "--volume", common.dPulseVolume) ||
        !NoneLeft(args))
        return kExitUsage;
    common.nHeartRate = static_cast<uint32_t>(rate);
    if (custom) {
        // Everything the unit does not decide is checked before the instrument is looked for.
        EnvelopeFile file;
        if (!LoadEnvelopeFile(envelope, file))
            return kExitFailure;
        BPEnvelopeCustomized record{};
        if (file.unit >= 0 && !MakeEnvelope(&file, file.unit, record))
            return kExitFailure;
        if (int rc = Connect())
            return rc;
        if (file.unit >= 0 && file.unit != g_unit) {
            Error("%s is in %s but the instrument works in %s (switch with 'vasqctl unit %s')", envelope.c_str(),
                  UnitName(file.unit), UnitName(g_unit), UnitName(file.unit));
            VasqFree();
            return kExitFailure;
        }
        if (file.unit < 0 && !MakeEnvelope(&file, g_unit, record)) {
            VasqFree();
            return kExitFailure;
        }
        const char* unit = UnitName(g_unit);
        if (!g_json)
            printf("BP simulation, customised envelope from %s: systolic %s %s, diastolic %s %s, heart rate %u bpm, "
                   "pulse volume %s\n",
                   envelope.c_str(), Fixed(record.dSystolic, 1).c_str(), unit, Fixed(record.dDiastolic, 1).c_str(),
                   unit, record.nHeartRate, Fixed(record.dPulseVolume, 1).c_str());
        Json described;
        described["envelope"] = "customised";
        described["description_file"] = envelope;
        if (!file.name.empty())
            described["name"] = file.name;
        const Json values = EnvelopeJson(record, g_unit);
        for (const auto& [key, value] : values.items())
            described[key] = value;
        return StartTest("BP simulation", described, wait,
                         [&] { return VasqRunBPTest(&record, wait ? OnBP : nullptr) != 0; });
    }
    if (int rc = Connect())
        return rc;
    const char* unit = UnitName(g_unit);
    if (!g_json)
        printf("BP simulation, default envelope: systolic %s %s, diastolic %s %s, heart rate %u bpm, pulse volume %s\n",
               Fixed(common.dSystolic, 1).c_str(), unit, Fixed(common.dDiastolic, 1).c_str(), unit,
               common.nHeartRate, Fixed(common.dPulseVolume, 1).c_str());
    Json described;
    described["envelope"] = "default";
    described["systolic"] = Quantity(common.dSystolic, unit, 2);
    described["diastolic"] = Quantity(common.dDiastolic, unit, 2);
    described["heart_rate"] = Quantity(common.nHeartRate, "bpm", 0);
    described["pulse_volume"] = Quantity(common.dPulseVolume, nullptr, 2);
    return StartTest("BP simulation", described, wait,
                     [&] { return VasqRunBPTest(&common, wait ? OnBP : nullptr) != 0; });
}

}  // namespace

const Command kBPCommand = {
    "bp",
    "usage: vasqctl [--port N] bp [--systolic P] [--diastolic P] [--rate BPM] [--volume V] [--wait] [--json]\n"
    "       vasqctl [--port N] bp --envelope FILE.json [--wait] [--json]\n"
    "  Simulates a blood-pressure measurement: with the instrument's default envelope\n"
    "  (default 120/80, 72 bpm, pulse volume 1.0), or with a customised envelope read\n"
    "  from a JSON description, checked whole before the test starts.\n"
    "  --wait     follow the reports to COMPLETED, then stop; Ctrl-C stops it. The\n"
    "             COMPLETED report gives results 1 to 4: result 1 a pressure (the\n"
    "             instrument's unit), results 2 to 4 the instrument's own values\n"
    "             (device units)\n"
    "  --json     JSON lines: the start, each report, the end\n" VASQCTL_ENVELOPE_KEYS_HELP,
    RunBP, "envelope: systolic: diastolic: rate: volume: wait json"};

}  // namespace vasqctl
