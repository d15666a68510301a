#include "Limits.h"

#include <cmath>

#include "Cli.h"
#include "Output.h"

// Public symbols of the Linux library: its limit tables, the same the starts
// clamp to. Not in the installed headers, as they are not in the interface.
double CheckLimit(int kind, double value);
double CheckPressureLimit(int kind, double value, int unit);

namespace vasqctl {

namespace {

// Past every limit of either table.
constexpr double kBeyond = 1e9;

bool IsPressureKind(VasqLimitKind kind)
{
    return kind != LIMIT_HEART_RATE && kind != LIMIT_PULSE_VOLUME;
}

double TruncatedPulseVolume(double value)
{
    return std::trunc(100.0 * value);
}

}  // namespace

Range LimitOf(VasqLimitKind kind, int unit)
{
    if (IsPressureKind(kind))
        return {CheckPressureLimit(kind, -kBeyond, unit), CheckPressureLimit(kind, kBeyond, unit)};
    return {CheckLimit(kind, -kBeyond), CheckLimit(kind, kBeyond)};
}

double GivenPressure(VasqLimitKind kind, double value, int unit)
{
    const double factor = unit == 1 ? 10.0 : 1.0;
    return std::trunc(factor * CheckPressureLimit(kind, value, unit)) / factor;
}

double ForTruncation(double value, double perUnit, double (*wire)(double), double& shown)
{
    const double counts = std::round(value * perUnit);
    shown = counts / perUnit;
    double given = shown;
    for (int i = 0; i < 8 && wire(given) < counts; ++i)
        given = std::nextafter(given, HUGE_VAL);
    return given;
}

double PulseVolumeFor(double value, double& shown)
{
    return ForTruncation(value, 100.0, TruncatedPulseVolume, shown);
}

bool WithinLimit(const std::string& name, double value, const Range& range, const char* unit)
{
    // Limits and values alike are exact to their step; the slack only absorbs binary fractions.
    constexpr double kSlack = 1e-9;
    if (value >= range.low - kSlack && value <= range.high + kSlack)
        return true;
    const char* space = unit[0] != '\0' ? " " : "";
    Error("%s %g%s%s is out of range: %g to %g%s%s", name.c_str(), value, space, unit, range.low, range.high, space,
          unit);
    return false;
}

std::string Trimmed(double value, int decimals)
{
    std::string text = Fixed(value, decimals);
    const size_t point = text.find('.');
    if (point == std::string::npos)
        return text;
    while (text.size() > point + 2 && text.back() == '0')
        text.pop_back();
    return text;
}

}  // namespace vasqctl
