#include "protocol/Leakage.h"

#include "device/Packet.h"
#include "protocol/Command.h"

namespace {

constexpr uint32_t kLeakSettingSize = 6;
constexpr uint32_t kOverpressureSettingSize = 7;
constexpr uint32_t kLeakageResultSize = 6;
constexpr uint32_t kOverpressureResultSize = 12;

void PutOverpressureSetting(uint8_t* record, bool flag, double p1, double p2, double p3, int unit)
{
    const double f = UnitFactor(unit);
    record[0] = flag ? 1 : 0;
    PutU16(record + 1, Truncate(p1 * f));
    PutU16(record + 3, Truncate(p2 * f));
    PutU16(record + 5, Truncate(p3 * f));
}

}  // namespace

bool SetLeakTestSetting(Device& device, double dPressure, int nLeakParam, double dLeakRate, int unit)
{
    const double f = UnitFactor(unit);
    uint8_t record[kLeakSettingSize] = {};
    PutU16(record, Truncate(dPressure * f));
    PutU16(record + 2, nLeakParam);
    PutU16(record + 4, Truncate(10.0 * (dLeakRate * f)));
    return Exchange(device, CATEGORY_PARAMETER, CMD_WRITE_LEAK_SETTING, record, sizeof(record));
}

bool GetLeakCalibrationRate(Device& device, double* rate, double divisor)
{
    const uint8_t query[kLeakSettingSize] = {20, 0, 3, 0, 0, 0};
    uint8_t answer[kLeakSettingSize];
    if (!Exchange(device, CATEGORY_PARAMETER, CMD_LEAK_CALIBRATION_RATE, query, sizeof(query), answer, sizeof(answer)))
        return false;
    if (rate != nullptr)
        *rate = GetU16(answer + 4) / divisor;
    return true;
}

bool SetLeakTestAutoSequenceSetting(Device& device, double dPressure, int nLeakParam, double dLeakRate, bool bFlag1, bool bFlag2,
                                    int nNumber, int unit)
{
    uint8_t step[8] = {};
    PutU16(step, Truncate(dPressure * UnitFactor(unit)));
    PutU16(step + 2, nLeakParam);
    PutU16(step + 4, Truncate(10.0 * dLeakRate));
    step[6] = AutoSequenceControl(bFlag1, bFlag2);
    PutU8(step + 7, nNumber);
    return Exchange(device, CATEGORY_PARAMETER, CMD_LEAK_AUTO_SEQUENCE, step, sizeof(step));
}

bool GetLeakageTestResult(Device& device, double* calibrationValue, double* leakValue, int* resultCode, float divisor)
{
    uint8_t answer[kLeakageResultSize];
    if (!Exchange(device, CATEGORY_RESULT, CMD_LEAKAGE_RESULT, nullptr, 0, answer, sizeof(answer)))
        return false;
    if (calibrationValue != nullptr)
        *calibrationValue = static_cast<double>(static_cast<float>(GetU16(answer)) / divisor);
    if (leakValue != nullptr)
        *leakValue = static_cast<double>(static_cast<float>(GetU16(answer + 2)) / divisor);
    if (resultCode != nullptr)
        *resultCode = answer[4];
    return true;
}

bool SetOverpressureTestSetting(Device& device, bool bOverpressureFlag, double dPressure1, double dPressure2, double dPressure3,
                                int unit)
{
    uint8_t record[kOverpressureSettingSize];
    if (!Exchange(device, CATEGORY_PARAMETER, CMD_READ_OVERPRESSURE, nullptr, 0, record, sizeof(record)))
        return false;
    PutOverpressureSetting(record, bOverpressureFlag, dPressure1, dPressure2, dPressure3, unit);
    return Exchange(device, CATEGORY_PARAMETER, CMD_WRITE_OVERPRESSURE, record, sizeof(record));
}

bool SetOverpressureAutoSequenceTestSetting(Device& device, bool bOverpressureFlag, double dPressure1, double dPressure2,
                                            double dPressure3, bool bFlag1, bool bFlag2, int nNumber, int unit)
{
    uint8_t step[kOverpressureSettingSize + 2] = {};
    PutOverpressureSetting(step, bOverpressureFlag, dPressure1, dPressure2, dPressure3, unit);
    step[7] = AutoSequenceControl(bFlag1, bFlag2);
    PutU8(step + 8, nNumber);
    return Exchange(device, CATEGORY_PARAMETER, CMD_OVERPRESSURE_AUTO_SEQUENCE, step, sizeof(step));
}

bool GetOverpressureTestResult(Device& device, double* r1, double* r2, double* r3, double* r4, double* r5, double* r6, int unit)
{
    uint8_t answer[kOverpressureResultSize];
    if (!Exchange(device, CATEGORY_RESULT, CMD_OVERPRESSURE_RESULT, nullptr, 0, answer, sizeof(answer)))
        return false;
    if (r1 != nullptr)
        *r1 = GetU16(answer) / UnitFactor(unit);
    double* rest[] = {r2, r3, r4, r5, r6};
    for (int i = 0; i < 5; ++i) {
        if (rest[i] != nullptr)
            *rest[i] = GetU16(answer + 2 + 2 * i) / 10.0;
    }
    return true;
}
