#include "EnvelopeFile.h"

#include <math.h>
#include <stddef.h>

#include <algorithm>
#include <vector>

#include "Cli.h"
#include "InputFile.h"
#include "Limits.h"

namespace vasqctl {

namespace {

enum class Kind { Number, Whole, Text };

// Amplitudes travel as single bytes; the library's tables hold no limit for them.
constexpr int kNoLimitKind = -1;
constexpr double kLargestAmplitude = 255;

// One key: its field, the kind of its limits (the library's, once per unit), whether it is a pressure.
struct Key {
    const char* name;
    Kind kind;
    double BPEnvelopeCustomized::*number;
    int32_t BPEnvelopeCustomized::*whole;
    int limit;
    bool pressure;
};

const Key kKeys[] = {
    {"unit", Kind::Text, nullptr, nullptr, kNoLimitKind, false},
    {"name", Kind::Text, nullptr, nullptr, kNoLimitKind, false},
    {"systolic", Kind::Number, &BPEnvelopeCustomized::dSystolic, nullptr, LIMIT_SYSTOLIC, true},
    {"diastolic", Kind::Number, &BPEnvelopeCustomized::dDiastolic, nullptr, LIMIT_DIASTOLIC, true},
    // The heart rate is unsigned: handled by name.
    {"heart_rate", Kind::Whole, nullptr, nullptr, LIMIT_HEART_RATE, false},
    {"pulse_volume", Kind::Number, &BPEnvelopeCustomized::dPulseVolume, nullptr, LIMIT_PULSE_VOLUME, false},
    {"systolic_offset", Kind::Number, &BPEnvelopeCustomized::dSystolicOffset, nullptr, LIMIT_POINT_OFFSET, true},
    {"diastolic_offset", Kind::Number, &BPEnvelopeCustomized::dDiastolicOffset, nullptr, LIMIT_POINT_OFFSET, true},
    {"top_pressure", Kind::Number, &BPEnvelopeCustomized::dTopPressure, nullptr, LIMIT_ENVELOPE_PRESSURE, true},
    {"upper_base_pressure", Kind::Number, &BPEnvelopeCustomized::dUpperBasePressure, nullptr, LIMIT_ENVELOPE_PRESSURE,
     true},
    {"upper_peak_pressure", Kind::Number, &BPEnvelopeCustomized::dUpperPeakPressure, nullptr, LIMIT_ENVELOPE_PRESSURE,
     true},
    {"lower_peak_pressure", Kind::Number, &BPEnvelopeCustomized::dLowerPeakPressure, nullptr, LIMIT_ENVELOPE_PRESSURE,
     true},
    {"lower_base_pressure", Kind::Number, &BPEnvelopeCustomized::dLowerBasePressure, nullptr, LIMIT_ENVELOPE_PRESSURE,
     true},
    {"bottom_pressure", Kind::Number, &BPEnvelopeCustomized::dBottomPressure, nullptr, LIMIT_ENVELOPE_PRESSURE, true},
    {"systolic_amplitude", Kind::Whole, nullptr, &BPEnvelopeCustomized::nSystolicAmplitude, kNoLimitKind, false},
    {"lower_peak_amplitude", Kind::Whole, nullptr, &BPEnvelopeCustomized::nLowerPeakAmplitude, kNoLimitKind, false},
    {"upper_peak_amplitude", Kind::Whole, nullptr, &BPEnvelopeCustomized::nUpperPeakAmplitude, kNoLimitKind, false},
    {"diastolic_amplitude", Kind::Whole, nullptr, &BPEnvelopeCustomized::nDiastolicAmplitude, kNoLimitKind, false},
    {"base_amplitude", Kind::Whole, nullptr, &BPEnvelopeCustomized::nBaseAmplitude, kNoLimitKind, false},
};

Range RangeOf(const Key& key, int unit)
{
    return key.limit == kNoLimitKind ? Range{0, kLargestAmplitude} : LimitOf(static_cast<VasqLimitKind>(key.limit), unit);
}

const Key* FindKey(const std::string& name)
{
    for (const Key& key : kKeys) {
        if (name == key.name)
            return &key;
    }
    return nullptr;
}

// Letters to change, add or drop to turn a into b.
size_t Distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Suggestion(const std::string& name)
{
    const Key* best = nullptr;
    size_t bestDistance = 4;
    for (const Key& key : kKeys) {
        // A few letters off, or the start of a key ("lower_peak" for "lower_peak_pressure").
        const bool start = name.size() >= 3 && std::string(key.name).rfind(name, 0) == 0;
        const size_t distance = start ? 1 : Distance(name, key.name);
        if (distance < bestDistance) {
            best = &key;
            bestDistance = distance;
        }
    }
    return best == nullptr ? std::string() : Printf(" (did you mean \"%s\"?)", best->name);
}

const char* TypeName(const Json& value)
{
    if (value.is_number())
        return "a number";
    if (value.is_string())
        return "a string";
    if (value.is_boolean())
        return "true or false";
    if (value.is_null())
        return "null";
    if (value.is_array())
        return "an array";
    return "an object";
}

// How a value reads in a message: its own JSON, cut short.
std::string Shown(const Json& value)
{
    return Shortened(JsonText(value), 40);
}

}  // namespace

bool LoadEnvelopeFile(const std::string& path, EnvelopeFile& file)
{
    file = EnvelopeFile();
    file.path = path;
    Json value;
    if (!ReadJsonFile(path, value))
        return false;
    if (!value.is_object()) {
        Error("%s: an envelope description is one JSON object ({\"systolic\": 120, ...}), not %s", path.c_str(),
              TypeName(value));
        return false;
    }
    bool ok = true;
    for (const auto& [name, entry] : value.items()) {
        const Key* key = FindKey(name);
        if (key == nullptr) {
            Error("%s: unknown key \"%s\"%s; see 'vasqctl envelope --help' for the keys", path.c_str(),
                  ValidUtf8(name).c_str(), Suggestion(name).c_str());
            ok = false;
            continue;
        }
        switch (key->kind) {
        case Kind::Text:
            if (!entry.is_string()) {
                Error("%s: \"%s\" must be a string, not %s (%s)", path.c_str(), key->name, TypeName(entry),
                      Shown(entry).c_str());
                ok = false;
            } else if (name == "unit" && !ParseUnit(entry.get<std::string>(), file.unit)) {
                Error("%s: \"unit\" must be \"mmHg\" or \"kPa\", not %s", path.c_str(), Shown(entry).c_str());
                ok = false;
            } else if (name == "name") {
                file.name = entry.get<std::string>();
            }
            break;
        case Kind::Number:
        case Kind::Whole: {
            if (!entry.is_number()) {
                Error("%s: \"%s\" must be a number, not %s (%s)", path.c_str(), key->name, TypeName(entry),
                      Shown(entry).c_str());
                ok = false;
                break;
            }
            const double number = entry.get<double>();
            if (!std::isfinite(number)) {
                Error("%s: \"%s\" is not a finite number: %s", path.c_str(), key->name, Shown(entry).c_str());
                ok = false;
            } else if (key->kind == Kind::Whole && number != std::floor(number)) {
                Error("%s: \"%s\" must be a whole number, not %s", path.c_str(), key->name, Shown(entry).c_str());
                ok = false;
            }
            break;
        }
        }
    }
    if (ok)
        file.values = std::move(value);
    return ok;
}

BPEnvelopeCustomized DefaultEnvelope(int unit)
{
    // In mmHg, or converted to kPa at the kPa resolution of 0.1.
    const double s = unit == 1 ? 0.133322 : 1.0;
    const auto p = [s](double mmHg) { return std::round(mmHg * s * 10) / 10; };
    BPEnvelopeCustomized r{};
    r.eMethod = BP_METHOD_CUSTOMIZED;
    r.dSystolic = p(120);
    r.dDiastolic = p(80);
    r.nHeartRate = 72;
    r.dPulseVolume = 1.0;
    r.dTopPressure = p(300);
    r.dUpperBasePressure = p(200);
    r.dUpperPeakPressure = p(110);
    r.dLowerPeakPressure = p(90);
    r.dLowerBasePressure = p(40);
    r.dBottomPressure = p(20);
    r.nSystolicAmplitude = 60;
    r.nLowerPeakAmplitude = 100;
    r.nUpperPeakAmplitude = 100;
    r.nDiastolicAmplitude = 70;
    r.nBaseAmplitude = 30;
    return r;
}

namespace {

// Comparisons of pressures given to a tenth: a little slack for their binary fractions.
constexpr double kSlack = 1e-9;

// "\"systolic\" 120 mmHg", marked "(default)" when the file does not give it.
std::string Named(const char* key, double value, const char* unit, const EnvelopeFile* file)
{
    const bool given = file != nullptr && file->values.contains(key);
    return Printf("\"%s\" %g%s%s%s", key, value, unit[0] != '\0' ? " " : "", unit, given ? "" : " (default)");
}

// One of the envelope's points in the order they must rise, named for a message.
struct Point {
    double x;
    std::string name;
};

}  // namespace

bool MakeEnvelope(const EnvelopeFile* file, int unit, BPEnvelopeCustomized& r)
{
    const std::string path = file != nullptr ? file->path : "the default envelope";
    const int u = unit == 1 ? 1 : 0;
    const char* unitName = UnitName(u);
    r = DefaultEnvelope(u);
    bool ok = true;
    for (const Key& key : kKeys) {
        if (key.kind == Kind::Text)
            continue;
        const bool given = file != nullptr && file->values.contains(key.name);
        double value = 0;
        if (given)
            value = file->values.at(key.name).get<double>();
        else if (key.number != nullptr)
            value = r.*key.number;
        else if (key.whole != nullptr)
            value = r.*key.whole;
        else
            value = r.nHeartRate;
        if (!WithinLimit(path + ": \"" + key.name + "\"", value, RangeOf(key, u), key.pressure ? unitName : "")) {
            ok = false;
            continue;
        }
        // As the instrument is given it: pressures on the unit's step, the pulse volume in hundredths.
        double sent = value;
        if (key.pressure)
            sent = GivenPressure(static_cast<VasqLimitKind>(key.limit), value, u);
        else if (key.number == &BPEnvelopeCustomized::dPulseVolume)
            sent = PulseVolumeFor(value, value);
        if (key.number != nullptr)
            r.*key.number = sent;
        else if (key.whole != nullptr)
            r.*key.whole = static_cast<int32_t>(value);
        else
            r.nHeartRate = static_cast<uint32_t>(value);
    }
    if (!ok)
        return false;
    // The envelope's pressures the file leaves out follow its systolic and diastolic points, placed as in the
    // default envelope (120/80 mmHg: 20, 40, 90, 110, 200, 300), on the unit's steps and within its limit.
    const double step = u == 1 ? 0.1 : 1.0;
    const double limit = u == 1 ? 47.9 : 359.0;
    const auto onStep = [&](double value) { return std::clamp(std::round(value / step) * step, 0.0, limit); };
    const auto missing = [&](const char* key) { return file == nullptr || !file->values.contains(key); };
    const double diastolicPoint = r.dDiastolic + r.dDiastolicOffset;
    const double systolicPoint = r.dSystolic + r.dSystolicOffset;
    const double span = systolicPoint - diastolicPoint;
    if (missing("bottom_pressure"))
        r.dBottomPressure = onStep(diastolicPoint / 4);
    if (missing("lower_base_pressure"))
        r.dLowerBasePressure = onStep(diastolicPoint / 2);
    if (missing("lower_peak_pressure"))
        r.dLowerPeakPressure = onStep(diastolicPoint + span / 4);
    if (missing("upper_peak_pressure"))
        r.dUpperPeakPressure = onStep(diastolicPoint + span * 3 / 4);
    if (missing("top_pressure"))
        r.dTopPressure = onStep(systolicPoint + span * 4.5);
    if (missing("upper_base_pressure"))
        r.dUpperBasePressure = onStep(std::min(systolicPoint + span * 2, (systolicPoint + r.dTopPressure) / 2));
    if (!(r.dSystolic > r.dDiastolic + kSlack)) {
        Error("%s: %s is not above %s", path.c_str(), Named("systolic", r.dSystolic, unitName, file).c_str(),
              Named("diastolic", r.dDiastolic, unitName, file).c_str());
        return false;
    }
    // The ten control points, meant to rise from P0 to P9; one step is the unit's resolution.
    const std::vector<Point> points = {
        {r.dBottomPressure + step, Named("bottom_pressure", r.dBottomPressure, unitName, file) + " + one step"},
        {r.dLowerBasePressure, Named("lower_base_pressure", r.dLowerBasePressure, unitName, file)},
        {r.dDiastolic + r.dDiastolicOffset,
         Printf("the diastolic point %g %s = %s + %s", r.dDiastolic + r.dDiastolicOffset, unitName,
                Named("diastolic", r.dDiastolic, "", file).c_str(),
                Named("diastolic_offset", r.dDiastolicOffset, "", file).c_str())},
        {r.dLowerPeakPressure, Named("lower_peak_pressure", r.dLowerPeakPressure, unitName, file)},
        {r.dUpperPeakPressure, Named("upper_peak_pressure", r.dUpperPeakPressure, unitName, file)},
        {r.dSystolic + r.dSystolicOffset,
         Printf("the systolic point %g %s = %s + %s", r.dSystolic + r.dSystolicOffset, unitName,
                Named("systolic", r.dSystolic, "", file).c_str(),
                Named("systolic_offset", r.dSystolicOffset, "", file).c_str())},
        {r.dUpperBasePressure, Named("upper_base_pressure", r.dUpperBasePressure, unitName, file)},
        {r.dTopPressure - step, Named("top_pressure", r.dTopPressure, unitName, file) + " - one step"},
    };
    for (size_t i = 1; i < points.size(); ++i) {
        if (points[i].x < points[i - 1].x - kSlack) {
            Error("%s: %s lies below %s; the envelope's points rise from bottom_pressure to top_pressure (see "
                  "'vasqctl envelope --help')",
                  path.c_str(), points[i].name.c_str(), points[i - 1].name.c_str());
            return false;
        }
    }
    return true;
}

Json EnvelopeJson(const BPEnvelopeCustomized& r, int unit)
{
    const char* unitName = UnitName(unit);
    Json description;
    description["unit"] = unitName;
    for (const Key& key : kKeys) {
        if (key.kind == Kind::Text)
            continue;
        if (key.number != nullptr)
            description[key.name] = Quantity(r.*key.number, key.pressure ? unitName : nullptr, 2);
        else if (key.whole != nullptr)
            description[key.name] = Quantity(r.*key.whole, nullptr, 0);
        else
            description[key.name] = Quantity(r.nHeartRate, "bpm", 0);
    }
    return description;
}

}  // namespace vasqctl
