// The one rule for the numbers given to the instrument: each is checked
// against the limits of the unit in force, as the library holds them, and is
// shown as the instrument is given it (on the unit's step, in the resolution
// its record carries). The command line and input files alike.
#pragma once

#include <string>

#include "vasq.h"

namespace vasqctl {

struct Range {
    double low;
    double high;
};

// The limits of a kind in a unit (0 mmHg, 1 kPa), read from the library's tables.
Range LimitOf(VasqLimitKind kind, int unit);

// The pressure of a kind the instrument is given for `value` (within the
// limits): the library rounds it to the unit's step (1 mmHg, 0.1 kPa), holds
// it within the limits and sends it in whole steps.
double GivenPressure(VasqLimitKind kind, double value, int unit);

// A value that the library sends as trunc(wire(value)) in whole counts of
// `perUnit`: rounded to that resolution, and moved up by the least amount
// where the binary fraction would truncate one count low (0.29 travels as 28
// hundredths otherwise). `shown` gets the value the instrument is given.
double ForTruncation(double value, double perUnit, double (*wire)(double), double& shown);
// The pulse volume, which travels as trunc(100 × v).
double PulseVolumeFor(double value, double& shown);

// False after saying "NAME VALUE UNIT is out of range: LOW to HIGH UNIT";
// unit is the name printed after the numbers (may be "").
bool WithinLimit(const std::string& name, double value, const Range& range, const char* unit);

// "1.0", "0.25": at least one decimal, at most `decimals`, no trailing zero beyond the first.
std::string Trimmed(double value, int decimals);

}  // namespace vasqctl
