// bp: a blood-pressure simulation with the default or a customised envelope.
#include <stdio.h>

#include <algorithm>

#include "Commands.h"
#include "EnvelopeFile.h"
#include "Follow.h"
#include "Instrument.h"
#include "Limits.h"

namespace vasqctl {

namespace {

// The simulated measurement the instrument reads at COMPLETED (all 0.0
// before): systolic and diastolic pressure in the unit, heart rate and pulse
// volume in the scales of their settings. The text shows them at COMPLETED.
void OnBP(VasqStatus status, double systolic, double diastolic, double heartRate, double pulseVolume)
{
    const char* unit = UnitName(g_unit);
    Json fields;
    fields["systolic"] = Quantity(systolic, unit, 1);
    fields["diastolic"] = Quantity(diastolic, unit, 1);
    fields["heart_rate"] = Quantity(heartRate, "bpm", 1);
    fields["pulse_volume"] = Quantity(pulseVolume, nullptr, 1);
    std::string text;
    if (status == STATUS_COMPLETED)
        text = Printf("systolic %s %s  diastolic %s %s  heart rate %s bpm  pulse volume %s", Fixed(systolic, 1).c_str(),
                      unit, Fixed(diastolic, 1).c_str(), unit, Fixed(heartRate, 1).c_str(), Fixed(pulseVolume, 1).c_str());
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
    const Range rates = LimitOf(LIMIT_HEART_RATE, 0);
    if (!TakeNumber(args, "--systolic", common.dSystolic) || !TakeNumber(args, "--diastolic", common.dDiastolic) ||
        !TakeInteger(args, "--rate", static_cast<long>(rates.low), static_cast<long>(rates.high), rate) ||
        !TakeNumber(args, "--volume", common.dPulseVolume) || !NoneLeft(args))
        return kExitUsage;
    common.nHeartRate = static_cast<uint32_t>(rate);
    if (!WithinLimit("bp: --volume", common.dPulseVolume, LimitOf(LIMIT_PULSE_VOLUME, 0), ""))
        return kExitUsage;
    // In the hundredths it travels in.
    double volume = 0;
    common.dPulseVolume = PulseVolumeFor(common.dPulseVolume, volume);
    if (custom) {
        // Everything the unit does not decide is checked before the instrument is looked for.
        EnvelopeFile file;
        if (!LoadEnvelopeFile(envelope, file))
            return g_signal != 0 ? kExitInterrupted : kExitFailure;
        BPEnvelopeCustomized record{};
        if (file.unit >= 0 && !MakeEnvelope(&file, file.unit, record))
            return kExitFailure;
        if (int rc = Connect())
            return rc;
        // Refused before anything is sent: leaving without VasqFree tells the instrument nothing.
        if (file.unit >= 0 && file.unit != g_unit) {
            Error("%s is in %s but the instrument works in %s (switch with 'vasqctl unit %s')", envelope.c_str(),
                  UnitName(file.unit), UnitName(g_unit), UnitName(file.unit));
            return kExitFailure;
        }
        if (file.unit < 0 && !MakeEnvelope(&file, g_unit, record))
            return kExitFailure;
        const char* unit = UnitName(g_unit);
        if (!g_json)
            printf("BP simulation, customised envelope from %s: systolic %s %s, diastolic %s %s, heart rate %u bpm, "
                   "pulse volume %s\n",
                   envelope.c_str(), Fixed(record.dSystolic, 1).c_str(), unit, Fixed(record.dDiastolic, 1).c_str(),
                   unit, record.nHeartRate, Trimmed(record.dPulseVolume, 2).c_str());
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
    // Refused before anything is sent: leaving without VasqFree tells the instrument nothing.
    if (!WithinLimit("bp: --systolic", common.dSystolic, LimitOf(LIMIT_SYSTOLIC, g_unit), unit) ||
        !WithinLimit("bp: --diastolic", common.dDiastolic, LimitOf(LIMIT_DIASTOLIC, g_unit), unit))
        return kExitUsage;
    common.dSystolic = GivenPressure(LIMIT_SYSTOLIC, common.dSystolic, g_unit);
    common.dDiastolic = GivenPressure(LIMIT_DIASTOLIC, common.dDiastolic, g_unit);
    if (!(common.dSystolic > common.dDiastolic)) {
        Error("bp: systolic %g %s is not above diastolic %g %s", common.dSystolic, unit, common.dDiastolic, unit);
        return kExitUsage;
    }
    if (!g_json)
        printf("BP simulation, default envelope: systolic %s %s, diastolic %s %s, heart rate %u bpm, pulse volume %s\n",
               Fixed(common.dSystolic, 1).c_str(), unit, Fixed(common.dDiastolic, 1).c_str(), unit,
               common.nHeartRate, Trimmed(volume, 2).c_str());
    Json described;
    described["envelope"] = "default";
    described["systolic"] = Quantity(common.dSystolic, unit, 2);
    described["diastolic"] = Quantity(common.dDiastolic, unit, 2);
    described["heart_rate"] = Quantity(common.nHeartRate, "bpm", 0);
    described["pulse_volume"] = Quantity(volume, nullptr, 2);
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
    "  from a JSON description, checked whole before the test starts. Pressures are in\n"
    "  the instrument's unit, to 1 mmHg or 0.1 kPa: systolic 5 to 320 mmHg (0.6 to\n"
    "  42.66 kPa) and above diastolic, 0 to 270 mmHg (0 to 35.99 kPa); --rate 30 to 300\n"
    "  bpm; --volume 0.1 to 2.0, to 0.01. A value out of range is refused before\n"
    "  anything is sent.\n"
    "  --wait     follow the reports to COMPLETED, then stop; Ctrl-C stops it. The\n"
    "             COMPLETED report gives what the instrument measured: systolic and\n"
    "             diastolic pressure (the instrument's unit), heart rate (bpm) and\n"
    "             pulse volume (the scale of --volume)\n"
    "  --json     JSON lines: the start, each report, the end\n" VASQCTL_ENVELOPE_KEYS_HELP,
    RunBP, "envelope: systolic: diastolic: rate: volume: wait json"};

}  // namespace vasqctl
