#include "protocol/Identity.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "device/Packet.h"
#include "protocol/Command.h"

MODEL_INFORMATION g_ModelInfo = {};
HW_INFORMATION g_HWInfo = {};
BOOTLOADER_INFORMATION g_bootloaderInfo = {};

namespace {

// The connection thread probes and clears the records without the API lock
// while application threads may copy them out.
std::mutex s_recordsMutex;

constexpr int kMaxSerialIndex = 9999;
constexpr size_t kSerialNumberLength = 14;

}  // namespace

bool UpdateDeviceInformation()
{
    uint8_t answer[IDENTITY_PAYLOAD_SIZE];
    if (!Exchange(CATEGORY_IDENTITY, CMD_IDENTITY_READ, nullptr, 0, answer, sizeof(answer)))
        return false;
    std::lock_guard<std::mutex> lock(s_recordsMutex);
    g_ModelInfo.chSignature[0] = static_cast<char>(answer[0]);
    g_ModelInfo.chSignature[1] = static_cast<char>(answer[1]);
    g_ModelInfo.byModelCode = answer[2];
    g_ModelInfo.byVariantCode = answer[3];
    g_ModelInfo.nSerialIndex = std::min(answer[4] | (answer[5] << 8), kMaxSerialIndex);
    g_ModelInfo.nSerialGroup = answer[6];
    g_HWInfo.nHWVersion1 = answer[8];
    g_HWInfo.nHWVersion2 = answer[9];
    g_HWInfo.nFWVersion1 = answer[10];
    g_HWInfo.nFWVersion2 = answer[11];
    g_HWInfo.nFWVersion3 = answer[12];
    g_bootloaderInfo.nBootVersion1 = answer[14];
    g_bootloaderInfo.nBootVersion2 = answer[15];
    g_bootloaderInfo.nBootVersion3 = answer[16];
    return true;
}

bool GetDeviceInformation(MODEL_INFORMATION* info)
{
    std::lock_guard<std::mutex> lock(s_recordsMutex);
    *info = g_ModelInfo;
    return true;
}

bool GetHWInformation(HW_INFORMATION* info)
{
    std::lock_guard<std::mutex> lock(s_recordsMutex);
    *info = g_HWInfo;
    return true;
}

bool GetBootloaderInformation(BOOTLOADER_INFORMATION* info)
{
    std::lock_guard<std::mutex> lock(s_recordsMutex);
    *info = g_bootloaderInfo;
    return true;
}

void ClearDeviceIdentity()
{
    std::lock_guard<std::mutex> lock(s_recordsMutex);
    g_ModelInfo = MODEL_INFORMATION{};
    g_HWInfo = HW_INFORMATION{};
}

bool SetDeviceInformation(MODEL_INFORMATION* model, HW_INFORMATION* hardware)
{
    uint8_t payload[IDENTITY_PAYLOAD_SIZE] = {};
    payload[0] = 'Q';
    payload[1] = 'X';
    payload[2] = model->byModelCode;
    payload[3] = model->byVariantCode;
    payload[4] = static_cast<uint8_t>(model->nSerialIndex);
    payload[5] = static_cast<uint8_t>(model->nSerialIndex >> 8);
    payload[6] = static_cast<uint8_t>(model->nSerialGroup);
    payload[8] = static_cast<uint8_t>(hardware->nHWVersion1);
    payload[9] = static_cast<uint8_t>(hardware->nHWVersion2);
    payload[10] = static_cast<uint8_t>(hardware->nFWVersion1);
    payload[11] = static_cast<uint8_t>(hardware->nFWVersion2);
    payload[12] = static_cast<uint8_t>(hardware->nFWVersion3);
    if (!Exchange(CATEGORY_IDENTITY, CMD_IDENTITY_WRITE, payload, sizeof(payload)))
        return false;
    return UpdateDeviceInformation();
}

bool IsTargetDevice()
{
    ClearStreamQueue();
    if (!UpdateDeviceInformation())
        return false;
    std::lock_guard<std::mutex> lock(s_recordsMutex);
    const auto first = static_cast<uint8_t>(g_ModelInfo.chSignature[0]);
    const auto second = static_cast<uint8_t>(g_ModelInfo.chSignature[1]);
    if (first == 0xFF && second == 0xFF)
        return true;
    return first == 'Q' && second == 'X' && g_ModelInfo.byModelCode == VASQ9_MODEL_CODE;
}

namespace {

bool ReadMfgRecord(uint8_t (&record)[MFG_RECORD_SIZE])
{
    return Exchange(CATEGORY_IDENTITY, CMD_MFG_READ, nullptr, 0, record, sizeof(record));
}

}  // namespace

bool ReadMfgInfo(uint8_t* buffer, unsigned long size)
{
    uint8_t record[MFG_RECORD_SIZE];
    if (!ReadMfgRecord(record))
        return false;
    memcpy(buffer, record, std::min<unsigned long>(size, MFG_INFO_SIZE));
    return true;
}

bool WriteMfgInfo(const uint8_t* data, unsigned long size)
{
    uint8_t record[MFG_RECORD_SIZE];
    if (!ReadMfgRecord(record))
        return false;
    memcpy(record, data, std::min<unsigned long>(size, MFG_INFO_SIZE));
    return Exchange(CATEGORY_IDENTITY, CMD_MFG_WRITE, record, sizeof(record));
}

const char* FormatSerialNumber()
{
    static char ret[32];
    MODEL_INFORMATION model;
    GetDeviceInformation(&model);
    memset(ret, 0, sizeof(ret));
    snprintf(ret, sizeof(ret), "N%c%c%02X%02X-%02d%04d", model.chSignature[0], model.chSignature[1],
             model.byModelCode, model.byVariantCode, model.nSerialGroup, model.nSerialIndex);
    // A signature byte of 0 ends the text early; a group of 100 or more makes it longer.
    if (strlen(ret) != kSerialNumberLength)
        memset(ret, 0, sizeof(ret));
    return ret;
}
