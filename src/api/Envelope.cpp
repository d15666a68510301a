// Expansion of a customised envelope into the device's raw table, and its upload.
#include <cmath>

#include "api/ApiCall.h"
#include "api/Operations.h"
#include "platform/ProcessObjects.h"
#include "protocol/BPSimulation.h"
#include "protocol/Command.h"
#include "protocol/Units.h"
#include "vasq_service.h"
#include "api/Instrument.h"

namespace {

constexpr int kPointsMmhg = 360;
constexpr int kPointsKpa = 479;
// The largest table: the callers' buffers of CalculateLineFunction hold this many entries.
constexpr int kLargestTable = 480;

bool CountFitsUnit(int unit, int count)
{
    return !((unit == 0 && count != kPointsMmhg) || (unit == 1 && count != kPointsKpa));
}

// The segment [x1, x2) of the table, x advancing by exactly 1.0 from x1; writes
// outside the table are skipped, and so are the steps that could only make such writes.
void FillSegment(double x1, double y1, double x2, double y2, double* pressures, double* amplitudes, int count)
{
    const bool flat = y1 - y2 == 0.0;
    if (!flat && x1 - x2 == 0.0)
        return;
    const double m = flat ? 0.0 : (y2 - y1) / (x2 - x1);
    const double b = y1 - m * x1;
    // Only x above -1 can write an entry: a segment that ends before that
    // writes nothing, and one that starts far below skips its whole steps
    // there at once (keeping the fraction of x1), so the work is bounded by
    // the table's size however far away the points lie.
    if (!(x2 > -1.0))
        return;
    double x = x1;
    if (x < -1.0)
        x += std::floor(-x) - 1.0;
    for (; x < x2 && x < count; x += 1.0) {
        if (x <= -1.0)
            continue;
        const int64_t i = Truncate(x);
        pressures[i] = x;
        amplitudes[i] = flat ? y1 : pressures[i] * m + b;
    }
}

struct Point {
    double x;
    double y;
};

}  // namespace

bool CalculateLineFunction(double x1, double y1, double x2, double y2, double* pressures, double* amplitudes)
{
    ApiCall call("CalculateLineFunction");
    if (pressures == nullptr || amplitudes == nullptr)
        return call.Fail(false, kErrorInvalidArgument, "a table is null");
    FillSegment(x1, y1, x2, y2, pressures, amplitudes, kLargestTable);
    return call.Result(true, true);
}

int GetEnvelopeRawDataOn(Instrument& instrument, const char* name, BPEnvelopeCustomized* record, double* pressures,
                         double* amplitudes, int count, int unit)
{
    ApiCall call(name, instrument);
    if (pressures == nullptr || amplitudes == nullptr || record == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record or a table is null");
    if (unit == -1)
        unit = instrument.m_nPressureUnit.load();
    if (!CountFitsUnit(unit, count))
        return call.Fail(0, kErrorInvalidArgument, "%d points do not fit unit %d (360 in mmHg, 479 in kPa)", count,
                         unit);
    const double s = unit == 1 ? 10.0 : 1.0;
    const double base = record->nBaseAmplitude;
    const Point points[10] = {
        {s * record->dBottomPressure, 0.0},
        {s * record->dBottomPressure + 1, base},
        {s * record->dLowerBasePressure, base},
        {s * record->dDiastolicOffset + s * record->dDiastolic, static_cast<double>(record->nDiastolicAmplitude)},
        {s * record->dLowerPeakPressure, static_cast<double>(record->nLowerPeakAmplitude)},
        {s * record->dUpperPeakPressure, static_cast<double>(record->nUpperPeakAmplitude)},
        {s * record->dSystolicOffset + s * record->dSystolic, static_cast<double>(record->nSystolicAmplitude)},
        {s * record->dUpperBasePressure, base},
        {s * record->dTopPressure - 1, base},
        {s * record->dTopPressure, 0.0},
    };
    for (const Point& point : points) {
        if (!std::isfinite(point.x) || !std::isfinite(point.y))
            return call.Fail(0, kErrorInvalidArgument, "an envelope point is not a finite number");
    }
    const double bottom = s * record->dBottomPressure;
    for (int j = 0; j < count && j <= bottom; ++j) {
        pressures[j] = j;
        amplitudes[j] = 0.0;
    }
    const int64_t top = Truncate(s * record->dTopPressure);
    for (int64_t j = top < 0 ? 0 : top; j < count; ++j) {
        pressures[j] = static_cast<double>(j);
        amplitudes[j] = 0.0;
    }
    for (int k = 0; k < 9; ++k)
        FillSegment(points[k].x, points[k].y, points[k + 1].x, points[k + 1].y, pressures, amplitudes, count);
    if (unit == 1) {
        for (int j = 0; j < count; ++j)
            pressures[j] /= s;
    }
    return call.Flag(true);
}

int VasqGetEnvelopeRawData(BPEnvelopeCustomized* record, double* pressures, double* amplitudes, int count, int unit)
{
    return GetEnvelopeRawDataOn(DefaultInstrument(), __func__, record, pressures, amplitudes, count, unit);
}

int SetEnvelopeRawDataOn(Instrument& instrument, const char* name, BPEnvelopeCustomized* record, double* pressures,
                         double* amplitudes, int count)
{
    ApiCall call(name, instrument);
    if (call.Refused())
        return 0;
    if (pressures == nullptr || amplitudes == nullptr || record == nullptr)
        return call.Fail(0, kErrorInvalidArgument, "the record or a table is null");
    const int unit = instrument.m_nPressureUnit.load();
    if (!CountFitsUnit(unit, count))
        return call.Fail(0, kErrorInvalidArgument, "%d points do not fit unit %d (360 in mmHg, 479 in kPa)", count,
                         unit);
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    // A table the device did not take is a failure: a BP start must not go on
    // to simulate with whatever envelope the device was left holding.
    if (!SetBPCustom(instrument, record, unit))
        return call.Flag(false);
    return call.Flag(SetBPCustomRawData(instrument, static_cast<int>(record->nHeartRate), pressures, amplitudes, count, unit));
}

int VasqSetEnvelopeRawData(BPEnvelopeCustomized* record, double* pressures, double* amplitudes, int count)
{
    return SetEnvelopeRawDataOn(DefaultInstrument(), __func__, record, pressures, amplitudes, count);
}

int VasqGetEnvelopeParam(BPMethodType method, BPEnvelopeCustomized* out)
{
    Instrument& instrument = DefaultInstrument();
    ApiCall call(__func__, instrument);
    if (call.Refused())
        return 0;
    // A null record still reads the parameter set and succeeds: nothing is stored.
    CAutoCriticalSection lock(instrument.m_APICriticalSection);
    const BPMethodType asked = method == BP_METHOD_DEFAULT ? BP_METHOD_CUSTOMIZED : method;
    return call.Flag(GetBPCustomParam(instrument, asked, out, instrument.m_nPressureUnit.load()));
}
