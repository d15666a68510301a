#include "protocol/BPSimulation.h"

#include <limits.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "device/Packet.h"
#include "platform/Platform.h"
#include "protocol/Command.h"
#include "protocol/Units.h"

namespace {

// Offsets in the envelope parameter record; its pressures run from the top of
// the envelope down, and the peak amplitudes stand upper before lower.
enum EnvelopeOffset {
    kTop = 0,
    kUpperBase = 2,
    kSystolic = 4,
    kUpperPeak = 6,
    kLowerPeak = 8,
    kDiastolic = 10,
    kLowerBase = 12,
    kBottom = 14,
    kSystolicOffset = 16,
    kDiastolicOffset = 18,
    kSystolicAmplitude = 20,
    kUpperPeakAmplitude = 21,
    kLowerPeakAmplitude = 22,
    kDiastolicAmplitude = 23,
    kBaseAmplitude = 24,
    kMethod = 25,
    kHeartRate = 26,
    kPulseVolume = 28,
};

constexpr uint32_t kEnvelopeAnswerSize = 36;
constexpr uint32_t kBPResultSize = 8;

bool ReadEnvelopeRecord(Device& device, int method, uint8_t* record, uint32_t size)
{
    uint8_t selector[1];
    PutU8(selector, method);
    return Exchange(device, CATEGORY_PARAMETER, CMD_READ_ENVELOPE_PARAMS, selector, sizeof(selector), record, size);
}

void PutCommon(uint8_t* record, const BPCommon& p, double f)
{
    PutU16(record + kSystolic, Truncate(f * p.dSystolic));
    PutU16(record + kDiastolic, Truncate(f * p.dDiastolic));
    PutU16(record + kHeartRate, p.nHeartRate);
    PutU16(record + kPulseVolume, Truncate(100.0 * p.dPulseVolume));
    PutU16(record + kSystolicOffset, Truncate(f * p.dSystolicOffset));
    PutU16(record + kDiastolicOffset, Truncate(f * p.dDiastolicOffset));
}

uint32_t LimitHeartRate(uint32_t heartRate)
{
    return static_cast<uint32_t>(CheckLimit(LIMIT_HEART_RATE, heartRate));
}

bool ReadBPSetting(Device& device, uint8_t* record, uint32_t size)
{
    return Exchange(device, CATEGORY_PARAMETER, CMD_READ_BP_SETTING, nullptr, 0, record, size);
}

bool WriteBPSetting(Device& device, const uint8_t* record, uint32_t size)
{
    return Exchange(device, CATEGORY_PARAMETER, CMD_WRITE_BP_SETTING, record, size);
}

}  // namespace

bool SetBPDefault(Device& device, BPCommon* p, int unit)
{
    if (p == nullptr)
        return false;
    uint8_t record[ENVELOPE_RECORD_SIZE];
    if (!ReadEnvelopeRecord(device, BP_METHOD_CUSTOMIZED, record, sizeof(record)))
        return false;
    const double f = UnitFactor(unit);
    PutU8(record + kMethod, p->eMethod);
    // The envelope's systolic and diastolic points, not the bare values, are held within their limits.
    p->dSystolic = CheckPressureLimit(LIMIT_SYSTOLIC, p->dSystolic + p->dSystolicOffset, unit) - p->dSystolicOffset;
    p->dDiastolic =
        CheckPressureLimit(LIMIT_DIASTOLIC, p->dDiastolic + p->dDiastolicOffset, unit) - p->dDiastolicOffset;
    p->dSystolicOffset = CheckPressureLimit(LIMIT_POINT_OFFSET, p->dSystolicOffset, unit);
    p->dDiastolicOffset = CheckPressureLimit(LIMIT_POINT_OFFSET, p->dDiastolicOffset, unit);
    p->nHeartRate = LimitHeartRate(p->nHeartRate);
    p->dPulseVolume = CheckLimit(LIMIT_PULSE_VOLUME, p->dPulseVolume);
    PutCommon(record, *p, f);
    return Exchange(device, CATEGORY_PARAMETER, CMD_WRITE_ENVELOPE_PARAMS, record, sizeof(record));
}

bool SetBPCustom(Device& device, BPEnvelopeCustomized* p, int unit)
{
    if (p == nullptr)
        return false;
    uint8_t record[ENVELOPE_RECORD_SIZE];
    if (!ReadEnvelopeRecord(device, p->eMethod, record, sizeof(record)))
        return false;
    const double f = UnitFactor(unit);
    p->dSystolic = CheckPressureLimit(LIMIT_SYSTOLIC, p->dSystolic, unit);
    p->dDiastolic = CheckPressureLimit(LIMIT_DIASTOLIC, p->dDiastolic, unit);
    p->nHeartRate = LimitHeartRate(p->nHeartRate);
    p->dPulseVolume = CheckLimit(LIMIT_PULSE_VOLUME, p->dPulseVolume);
    p->dSystolicOffset = CheckPressureLimit(LIMIT_POINT_OFFSET, p->dSystolicOffset, unit);
    p->dDiastolicOffset = CheckPressureLimit(LIMIT_POINT_OFFSET, p->dDiastolicOffset, unit);
    for (double* pressure : {&p->dTopPressure, &p->dUpperBasePressure, &p->dUpperPeakPressure,
                             &p->dLowerPeakPressure, &p->dLowerBasePressure, &p->dBottomPressure})
        *pressure = CheckPressureLimit(LIMIT_ENVELOPE_PRESSURE, *pressure, unit);

    const BPCommon common = {p->eMethod,      p->dSystolic,       p->dDiastolic,       p->nHeartRate,
                             p->dPulseVolume, p->dSystolicOffset, p->dDiastolicOffset};
    PutCommon(record, common, f);
    PutU16(record + kTop, Truncate(f * p->dTopPressure));
    PutU16(record + kUpperBase, Truncate(f * p->dUpperBasePressure));
    PutU16(record + kUpperPeak, Truncate(f * p->dUpperPeakPressure));
    PutU16(record + kLowerPeak, Truncate(f * p->dLowerPeakPressure));
    PutU16(record + kLowerBase, Truncate(f * p->dLowerBasePressure));
    PutU16(record + kBottom, Truncate(f * p->dBottomPressure));
    PutU8(record + kSystolicAmplitude, p->nSystolicAmplitude);
    PutU8(record + kUpperPeakAmplitude, p->nUpperPeakAmplitude);
    PutU8(record + kLowerPeakAmplitude, p->nLowerPeakAmplitude);
    PutU8(record + kDiastolicAmplitude, p->nDiastolicAmplitude);
    PutU8(record + kBaseAmplitude, p->nBaseAmplitude);
    PutU8(record + kMethod, p->eMethod);
    return Exchange(device, CATEGORY_PARAMETER, CMD_WRITE_ENVELOPE_PARAMS, record, sizeof(record));
}

bool GetBPCustomParam(Device& device, BPMethodType method, BPEnvelopeCustomized* out, int unit)
{
    uint8_t answer[kEnvelopeAnswerSize];
    if (!ReadEnvelopeRecord(device, method, answer, sizeof(answer)))
        return false;
    if (out == nullptr)
        return true;
    const double f = UnitFactor(unit);
    out->dTopPressure = GetU16(answer + kTop) / f;
    out->dUpperBasePressure = GetU16(answer + kUpperBase) / f;
    out->dSystolic = GetU16(answer + kSystolic) / f;
    out->dUpperPeakPressure = GetU16(answer + kUpperPeak) / f;
    out->dLowerPeakPressure = GetU16(answer + kLowerPeak) / f;
    out->dDiastolic = GetU16(answer + kDiastolic) / f;
    out->dLowerBasePressure = GetU16(answer + kLowerBase) / f;
    out->dBottomPressure = GetU16(answer + kBottom) / f;
    out->dSystolicOffset = GetI16(answer + kSystolicOffset) / f;
    out->dDiastolicOffset = GetI16(answer + kDiastolicOffset) / f;
    out->nSystolicAmplitude = answer[kSystolicAmplitude];
    out->nUpperPeakAmplitude = answer[kUpperPeakAmplitude];
    out->nLowerPeakAmplitude = answer[kLowerPeakAmplitude];
    out->nDiastolicAmplitude = answer[kDiastolicAmplitude];
    out->nBaseAmplitude = answer[kBaseAmplitude];
    out->eMethod = answer[kMethod];
    out->nHeartRate = GetU16(answer + kHeartRate);
    out->dPulseVolume = GetU16(answer + kPulseVolume) / 100.0;
    return true;
}

bool SetBPCustomRawData(Device& device, int nHeartRate, double* pressures, double* amplitudes, int count, int unit)
{
    if (count < 0 || count > INT_MAX / static_cast<int>(RAW_POINT_SIZE) ||
        (count > 0 && (pressures == nullptr || amplitudes == nullptr)))
        return false;
    const double f = UnitFactor(unit);
    std::vector<uint8_t> points(RAW_POINT_SIZE * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        uint8_t* point = &points[RAW_POINT_SIZE * i];
        PutU16(point, Truncate(pressures[i] * f));
        PutU16(point + 2, Truncate(amplitudes[i]));
        PutU16(point + 4, nHeartRate);
    }
    // A transfer whose length is a multiple of the block size ends with an empty block.
    const size_t packets = points.size() / kBlockDataSize + 1;
    for (size_t k = 0; k < packets; ++k) {
        const size_t begin = k * kBlockDataSize;
        const size_t length = std::min(kBlockDataSize, points.size() - begin);
        if (!SendPacket(device, CATEGORY_PARAMETER, CMD_ENVELOPE_RAW_POINTS, length > 0 ? &points[begin] : nullptr,
                        static_cast<uint32_t>(length)))
            return false;
        if (k + 1 < packets)
            AwaitBlockAcknowledgement(device, GetTickCount64());
    }
    return ReceivePacket(device, nullptr, 0, 0, nullptr);
}

bool SetBPAutoSequence(Device& device, BPCommon* p, bool bFlag1, bool bFlag2, int nNumber, int unit)
{
    if (p == nullptr)
        return false;
    const double f = UnitFactor(unit);
    uint8_t step[14];
    PutU16(step, Truncate(p->dSystolic * f));
    PutU16(step + 2, Truncate(p->dDiastolic * f));
    PutU16(step + 4, p->nHeartRate);
    PutU16(step + 6, Truncate(100.0 * p->dPulseVolume));
    PutU16(step + 8, Truncate(p->dSystolicOffset * f));
    PutU16(step + 10, Truncate(p->dDiastolicOffset * f));
    step[12] = AutoSequenceControl(bFlag1, bFlag2);
    PutU8(step + 13, nNumber);
    return Exchange(device, CATEGORY_PARAMETER, CMD_BP_AUTO_SEQUENCE, step, sizeof(step));
}

bool GetBPTestResult(Device& device, int unit, double* r1, double* r2, double* r3, double* r4)
{
    uint8_t answer[kBPResultSize];
    if (!Exchange(device, CATEGORY_RESULT, CMD_BP_RESULT, nullptr, 0, answer, sizeof(answer)))
        return false;
    if (r1 != nullptr)
        *r1 = GetU16(answer) / UnitFactor(unit);
    double* rest[] = {r2, r3, r4};
    for (int i = 0; i < 3; ++i) {
        if (rest[i] != nullptr)
            *rest[i] = GetU16(answer + 2 + 2 * i) / 10.0;
    }
    return true;
}

bool SetBPSetting(Device& device, unsigned int first, unsigned int second)
{
    uint8_t record[BP_SETTING_SHORT_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    PutU16(record, first);
    PutU16(record + 2, second);
    return WriteBPSetting(device, record, sizeof(record));
}

bool SetBPHR(Device& device, unsigned int nHeartRate)
{
    uint8_t record[BP_SETTING_SHORT_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    PutU16(record + 4, nHeartRate);
    return WriteBPSetting(device, record, sizeof(record));
}

bool SetBPPulseVolume(Device& device, double dPulseVolume)
{
    uint8_t record[BP_SETTING_SHORT_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    PutU16(record + 6, Truncate(100.0 * dPulseVolume));
    return WriteBPSetting(device, record, sizeof(record));
}

bool SetBPEnvelop(Device& device, int e1, int e2)
{
    uint8_t record[BP_SETTING_LONG_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    PutU16(record + 16, e1);
    PutU16(record + 18, e2);
    return WriteBPSetting(device, record, sizeof(record));
}

bool GetBPSetting(Device& device, unsigned int* first, unsigned int* second)
{
    uint8_t record[BP_SETTING_SHORT_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    if (first != nullptr)
        *first = GetU16(record);
    if (second != nullptr)
        *second = GetU16(record + 2);
    return true;
}

bool GetBPHR(Device& device, unsigned int* nHeartRate)
{
    uint8_t record[BP_SETTING_SHORT_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    if (nHeartRate != nullptr)
        *nHeartRate = GetU16(record + 4);
    return true;
}

bool GetBPPulseVolume(Device& device, double* dPulseVolume)
{
    uint8_t record[BP_SETTING_SHORT_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    if (dPulseVolume != nullptr)
        *dPulseVolume = GetU16(record + 6) / 100.0;
    return true;
}

bool GetBPEnvelop(Device& device, int* e1, int* e2)
{
    uint8_t record[BP_SETTING_LONG_SIZE];
    if (!ReadBPSetting(device, record, sizeof(record)))
        return false;
    if (e1 != nullptr)
        *e1 = GetI16(record + 16);
    if (e2 != nullptr)
        *e2 = GetI16(record + 18);
    return true;
}

bool SetCuffLocation(Device& device, int location)
{
    return ChangeDeviceSetting(device, 0, location);
}

int GetCuffLocation(Device& device, int /*unused*/)
{
    uint8_t settings[DEVICE_SETTINGS_SIZE];
    return ReadDeviceSettings(device, settings) ? settings[0] : 0;
}

bool SwitchToAdultMode(Device& device, bool adult)
{
    return ChangeDeviceSetting(device, 2, adult ? 0 : 1);
}

bool IsAdultMode(Device& device)
{
    uint8_t settings[DEVICE_SETTINGS_SIZE];
    return ReadDeviceSettings(device, settings) && settings[2] == 0;
}

bool SwitchTo500ml(Device& device, bool on)
{
    return ChangeDeviceSetting(device, 3, on ? 0 : 1);
}

bool Is500mlMode(Device& device)
{
    uint8_t settings[DEVICE_SETTINGS_SIZE];
    return ReadDeviceSettings(device, settings) && settings[3] == 0;
}
