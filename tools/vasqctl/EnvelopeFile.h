// A customised envelope's description: a JSON object read from a file (bp
// --envelope, envelope --envelope), checked whole before anything is sent.
#pragma once

#include <string>

#include "Output.h"
#include "vasq.h"

namespace vasqctl {

struct EnvelopeFile {
    std::string path;
    Json values;     // the object as read: known keys, values of the right types, finite
    int unit = -1;   // its "unit", -1 when it names none
    std::string name;  // its "name", empty when it has none
};

// Reads the file and checks what can be checked without the unit: JSON, one
// object, known keys, the type of each value, finite numbers. False after
// saying on standard error what is wrong, naming the file and the key.
bool LoadEnvelopeFile(const std::string& path, EnvelopeFile& file);

// The envelope in `unit`: the plausible default with the file's values (when
// there is a file), checked against the instrument's limits and for order
// (systolic above diastolic, the points rising). False after saying what is wrong.
bool MakeEnvelope(const EnvelopeFile* file, int unit, BPEnvelopeCustomized& record);

// A plausible envelope in `unit`.
BPEnvelopeCustomized DefaultEnvelope(int unit);

// The envelope's values under the description's keys, each a quantity.
Json EnvelopeJson(const BPEnvelopeCustomized& record, int unit);

// The keys, for the commands' help.
#define VASQCTL_ENVELOPE_KEYS_HELP \
    "  The description is one JSON object; it may give any of these keys, numbers in\n" \
    "  its \"unit\" (missing ones keep a plausible default; missing envelope pressures\n" \
    "  follow the systolic and diastolic points, placed as in the default 120/80 mmHg\n" \
    "  envelope: 20, 40, 90, 110, 200, 300 mmHg):\n" \
    "    unit                 \"mmHg\" or \"kPa\" (default: the instrument's, or --unit)\n" \
    "    name                 any text, shown as the plot's title\n" \
    "    systolic, diastolic  pressures, systolic above diastolic\n" \
    "    heart_rate           beats per minute, 30 to 300, whole\n" \
    "    pulse_volume         0.1 to 2.0\n" \
    "    systolic_offset, diastolic_offset    the points' shifts, -20 to 20 mmHg (2.6 kPa)\n" \
    "    bottom_pressure, lower_base_pressure, lower_peak_pressure, upper_peak_pressure,\n" \
    "    upper_base_pressure, top_pressure    0 to 359 mmHg (47.9 kPa)\n" \
    "    base_amplitude, diastolic_amplitude, lower_peak_amplitude, upper_peak_amplitude,\n" \
    "    systolic_amplitude   0 to 255, whole, the instrument's amplitude scale\n" \
    "  The envelope's points rise in this order: bottom_pressure (+ one step),\n" \
    "  lower_base_pressure, diastolic + diastolic_offset, lower_peak_pressure,\n" \
    "  upper_peak_pressure, systolic + systolic_offset, upper_base_pressure,\n" \
    "  (one step below) top_pressure. The file is refused, naming the key, for an\n" \
    "  unknown key, a wrong type, a number out of range or out of order.\n"

}  // namespace vasqctl
