#include "protocol/Units.h"

#include <cmath>

#include "device/Packet.h"
#include "protocol/Command.h"
#include "protocol/DeviceControl.h"
#include "device/Device.h"


// (upper, lower) pairs per limit kind. The kPa bounds are constants of their
// own, not conversions of the mmHg ones.
const double g_limitMmhg[kLimitTableSize] = {
    400.0, 20.0,  // static pressure
    320.0, 5.0,   // systolic
    270.0, 0.0,   // diastolic
    20.0,  -20.0, // point offset
    400.0, 2.0,   // overpressure, second value
    400.0, 20.0,  // overpressure, third value
    359.0, 0.0,   // envelope pressure
    300.0, 30.0,  // heart rate
    2.0,   0.1,   // pulse volume
};
const double g_limitKpa[kLimitTableSize] = {
    53.3,  2.7,
    42.66, 0.6,
    35.99, 0.0,
    2.6,   -2.6,
    53.3,  0.2,
    53.3,  2.6,
    47.9,  0.0,
    300.0, 30.0,
    2.0,   0.1,
};

namespace {

// The comparisons are written so that NaN fails both and comes out as the lower bound.
double Clamp(const double* table, int kind, double value)
{
    const double upper = table[kind];
    const double lower = table[kind + 1];
    const double m = value > lower ? value : lower;
    return upper > m ? m : upper;
}

bool ValidKind(int kind)
{
    return kind >= 0 && kind + 1 < kLimitTableSize && kind % 2 == 0;
}

void PutPressures(uint8_t* record, const double* pressures, const bool* enabled, int count, double factor)
{
    uint16_t mask = 0;
    for (int i = 0; i < count; ++i) {
        if (enabled[i])
            mask = static_cast<uint16_t>(mask | (1u << i));
        PutU16(record + 2 + 2 * i, Truncate(pressures[i] * factor));
    }
    PutU16(record, mask);
}

bool ValidPressureList(const double* pressures, const bool* enabled, int count)
{
    return count >= 0 && count <= kMaxStaticPressures && (count == 0 || (pressures != nullptr && enabled != nullptr));
}

}  // namespace

double CheckLimit(int kind, double value)
{
    if (!ValidKind(kind))
        return value;
    return Clamp(g_limitMmhg, kind, value);
}

double CheckPressureLimit(int kind, double value, int unit)
{
    if (!ValidKind(kind))
        return value;
    if (unit != 0)
        return Clamp(g_limitKpa, kind, std::round(10.0 * value) / 10.0);
    return Clamp(g_limitMmhg, kind, std::round(value));
}

bool ReadDeviceSettings(Device& device, uint8_t* settings)
{
    return Exchange(device, CATEGORY_PARAMETER, CMD_READ_DEVICE_SETTINGS, nullptr, 0, settings, DEVICE_SETTINGS_SIZE);
}

bool ChangeDeviceSetting(Device& device, int index, int64_t value)
{
    uint8_t settings[DEVICE_SETTINGS_SIZE];
    if (!ReadDeviceSettings(device, settings))
        return false;
    PutU8(settings + index, value);
    return Exchange(device, CATEGORY_PARAMETER, CMD_WRITE_DEVICE_SETTINGS, settings, sizeof(settings));
}

bool SetUnit(Device& device, int unit)
{
    return ChangeDeviceSetting(device, 1, unit);
}

int GetUnit(Device& device)
{
    uint8_t settings[DEVICE_SETTINGS_SIZE];
    return ReadDeviceSettings(device, settings) ? settings[1] : 0;
}

bool ReadPressureUnit(Device& device, int* unit)
{
    uint8_t settings[DEVICE_SETTINGS_SIZE];
    if (!ReadDeviceSettings(device, settings) || settings[1] > 1)
        return false;
    *unit = settings[1];
    return true;
}

void HoldPressureUnit(Device& device, int unit)
{
    device.m_nPressureUnit.store(unit);
    device.m_fPressureresolution.store(unit == 1 ? 100.0f : 10.0f);
}

bool SetStaticPressureEx(Device& device, double* pressures, bool* enabled, int count, int nStaticParam, bool bStaticFlag, int unit)
{
    if (!ValidPressureList(pressures, enabled, count))
        return false;
    uint8_t record[STATIC_PRESSURE_RECORD_SIZE];
    if (!Exchange(device, CATEGORY_PARAMETER, CMD_READ_STATIC_PRESSURE, nullptr, 0, record, sizeof(record)))
        return false;
    PutPressures(record, pressures, enabled, count, UnitFactor(unit));
    if (nStaticParam >= 0)
        PutU16(record + 22, nStaticParam);
    record[24] = bStaticFlag ? 1 : 0;
    return Exchange(device, CATEGORY_PARAMETER, CMD_WRITE_STATIC_PRESSURE, record, sizeof(record));
}

bool SetStaticPressure(Device& device, double dPressure, int nStaticParam, bool bStaticFlag, int unit)
{
    if (!UpdateAirPortRelay(device))
        return false;
    bool enabled = true;
    return SetStaticPressureEx(device, &dPressure, &enabled, 1, nStaticParam, bStaticFlag, unit);
}

bool SetFixedStaticPressure(Device& device, double dPressure, int unit)
{
    uint8_t payload[2];
    PutU16(payload, Truncate(dPressure * UnitFactor(unit)));
    return Exchange(device, CATEGORY_PARAMETER, CMD_FIXED_STATIC_PRESSURE, payload, sizeof(payload));
}

bool SetStaticPressureAutoSequence(Device& device, double* pressures, bool* enabled, int count, int nStaticParam, bool bStaticFlag,
                                   bool bFlag1, bool bFlag2, int nNumber, int unit)
{
    if (!ValidPressureList(pressures, enabled, count))
        return false;
    uint8_t step[STATIC_PRESSURE_RECORD_SIZE + 2] = {};
    PutPressures(step, pressures, enabled, count, UnitFactor(unit));
    PutU16(step + 22, nStaticParam > 0 ? nStaticParam : 0);
    step[24] = bStaticFlag ? 1 : 0;
    step[25] = AutoSequenceControl(bFlag1, bFlag2);
    PutU8(step + 26, nNumber);
    return Exchange(device, CATEGORY_PARAMETER, CMD_STATIC_AUTO_SEQUENCE, step, sizeof(step));
}

bool SetMaxNumberAutoSequence(Device& device, int n)
{
    uint8_t payload[1];
    PutU8(payload, n);
    return Exchange(device, CATEGORY_PARAMETER, CMD_SET_MAX_AUTO_SEQUENCE, payload, sizeof(payload));
}

bool GetStaticPressureTestResult(Device& device, int* result)
{
    uint8_t answer[1];
    if (!Exchange(device, CATEGORY_RESULT, CMD_STATIC_RESULT, nullptr, 0, answer, sizeof(answer)))
        return false;
    if (result != nullptr)
        *result = answer[0];
    return true;
}

bool GetWaitStableTime(Device& device, double* waitTime)
{
    uint8_t answer[1];
    if (!Exchange(device, CATEGORY_INSTRUMENT, CMD_WAIT_STABLE_TIME, nullptr, 0, answer, sizeof(answer)))
        return false;
    if (waitTime != nullptr)
        *waitTime = answer[0] / 10.0;
    return true;
}

bool RebaseZero(Device& device, bool on)
{
    uint8_t state[1];
    if (!Exchange(device, CATEGORY_INSTRUMENT, CMD_READ_ZERO_BASE, nullptr, 0, state, sizeof(state)))
        return false;
    const uint8_t wanted = on ? 1 : 0;
    if (state[0] == wanted)
        return true;
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_SET_ZERO_BASE, &wanted, 1);
}

bool SetStandPressure(Device& device, double value)
{
    uint8_t payload[4];
    PutU32(payload, Truncate(100.0 * value));
    return Exchange(device, CATEGORY_INSTRUMENT, CMD_SET_STAND_PRESSURE, payload, sizeof(payload));
}
