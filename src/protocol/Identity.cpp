#include "protocol/Identity.h"
#include "device/Device.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "device/Packet.h"
#include "platform/Diagnostics.h"
#include "protocol/Command.h"


namespace {

constexpr int kMaxSerialIndex = 9999;
constexpr size_t kSerialNumberLength = 14;

// The serial-number text of a model record; empty unless it is exactly 14 characters.
void SerialNumberText(const MODEL_INFORMATION& model, char* text, size_t size)
{
    memset(text, 0, size);
    snprintf(text, size, "N%c%c%02X%02X-%02d%04d", model.chSignature[0], model.chSignature[1], model.byModelCode,
             model.byVariantCode, model.nSerialGroup, model.nSerialIndex);
    // A signature byte of 0 ends the text early; a group of 100 or more makes it longer.
    if (strlen(text) != kSerialNumberLength)
        memset(text, 0, size);
}

}  // namespace

namespace {

struct IdentityRecords {
    MODEL_INFORMATION model{};
    HW_INFORMATION hardware{};
    BOOTLOADER_INFORMATION bootloader{};
};

bool ReadIdentity(Device& device, IdentityRecords& records)
{
    uint8_t answer[IDENTITY_PAYLOAD_SIZE];
    if (!Exchange(device, CATEGORY_IDENTITY, CMD_IDENTITY_READ, nullptr, 0, answer, sizeof(answer)))
        return false;
    records.model.chSignature[0] = static_cast<char>(answer[0]);
    records.model.chSignature[1] = static_cast<char>(answer[1]);
    records.model.byModelCode = answer[2];
    records.model.byVariantCode = answer[3];
    records.model.nSerialIndex = std::min(answer[4] | (answer[5] << 8), kMaxSerialIndex);
    records.model.nSerialGroup = answer[6];
    records.hardware.nHWVersion1 = answer[8];
    records.hardware.nHWVersion2 = answer[9];
    records.hardware.nFWVersion1 = answer[10];
    records.hardware.nFWVersion2 = answer[11];
    records.hardware.nFWVersion3 = answer[12];
    records.bootloader.nBootVersion1 = answer[14];
    records.bootloader.nBootVersion2 = answer[15];
    records.bootloader.nBootVersion3 = answer[16];
    return true;
}

void StoreIdentity(Device& device, const IdentityRecords& records)
{
    {
        std::lock_guard<std::mutex> lock(device.m_recordsMutex);
        device.m_ModelInfo = records.model;
        device.m_HWInfo = records.hardware;
        device.m_bootloaderInfo = records.bootloader;
    }
    // An erased instrument's signature bytes are not text: its lines name the port only.
    char serial[32];
    SerialNumberText(records.model, serial, sizeof(serial));
    for (const char* c = serial; *c != '\0'; ++c) {
        if (*c < ' ' || *c > '~') {
            serial[0] = '\0';
            break;
        }
    }
    device.m_logSubject.SetSerialNumber(serial);
}

}  // namespace

bool UpdateDeviceInformation(Device& device)
{
    IdentityRecords records;
    if (!ReadIdentity(device, records))
        return false;
    StoreIdentity(device, records);
    return true;
}

bool GetDeviceInformation(Device& device, MODEL_INFORMATION* info)
{
    std::lock_guard<std::mutex> lock(device.m_recordsMutex);
    *info = device.m_ModelInfo;
    return true;
}

bool GetHWInformation(Device& device, HW_INFORMATION* info)
{
    std::lock_guard<std::mutex> lock(device.m_recordsMutex);
    *info = device.m_HWInfo;
    return true;
}

bool GetBootloaderInformation(Device& device, BOOTLOADER_INFORMATION* info)
{
    std::lock_guard<std::mutex> lock(device.m_recordsMutex);
    *info = device.m_bootloaderInfo;
    return true;
}

// The connection has ended: its lines stop naming its port and instrument.
void ClearDeviceIdentity(Device& device)
{
    {
        std::lock_guard<std::mutex> lock(device.m_recordsMutex);
        device.m_ModelInfo = MODEL_INFORMATION{};
        device.m_HWInfo = HW_INFORMATION{};
    }
    device.m_logSubject.Clear();
}

bool SetDeviceInformation(Device& device, MODEL_INFORMATION* model, HW_INFORMATION* hardware)
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
    if (!Exchange(device, CATEGORY_IDENTITY, CMD_IDENTITY_WRITE, payload, sizeof(payload)))
        return false;
    return UpdateDeviceInformation(device);
}

// Only an accepted answer becomes the identity: a port that is not a Vasq9
// leaves nothing of its answer behind.
namespace {

// A device that binds to its instrument takes the first one it identifies
// and from then on only that one; the default device takes any.
bool IsBoundInstrument(Device& device, const MODEL_INFORMATION& model)
{
    if (!device.m_bindsToSerialNumber)
        return true;
    char serial[sizeof(device.m_szBoundSerialNumber)];
    SerialNumberText(model, serial, sizeof(serial));
    std::lock_guard<std::mutex> lock(device.m_recordsMutex);
    if (device.m_szBoundSerialNumber[0] == '\0') {
        memcpy(device.m_szBoundSerialNumber, serial, sizeof(serial));
        return true;
    }
    if (strcmp(device.m_szBoundSerialNumber, serial) == 0)
        return true;
    SetReason(kErrorNotFound, "another Vasq9 (serial number %s); this device is bound to %s", serial,
              device.m_szBoundSerialNumber);
    return false;
}

}  // namespace

bool IsTargetDevice(Device& device)
{
    ClearStreamQueue(device);
    IdentityRecords records;
    if (!ReadIdentity(device, records))
        return false;
    const auto first = static_cast<uint8_t>(records.model.chSignature[0]);
    const auto second = static_cast<uint8_t>(records.model.chSignature[1]);
    const bool erased = first == 0xFF && second == 0xFF;
    if (!erased && !(first == 'Q' && second == 'X' && records.model.byModelCode == VASQ9_MODEL_CODE))
        return false;
    if (!IsBoundInstrument(device, records.model))
        return false;
    StoreIdentity(device, records);
    return true;
}

namespace {

bool ReadMfgRecord(Device& device, uint8_t (&record)[MFG_RECORD_SIZE])
{
    return Exchange(device, CATEGORY_IDENTITY, CMD_MFG_READ, nullptr, 0, record, sizeof(record));
}

}  // namespace

bool ReadMfgInfo(Device& device, uint8_t* buffer, unsigned long size)
{
    uint8_t record[MFG_RECORD_SIZE];
    if (!ReadMfgRecord(device, record))
        return false;
    memcpy(buffer, record, std::min<unsigned long>(size, MFG_INFO_SIZE));
    return true;
}

bool WriteMfgInfo(Device& device, const uint8_t* data, unsigned long size)
{
    uint8_t record[MFG_RECORD_SIZE];
    if (!ReadMfgRecord(device, record))
        return false;
    memcpy(record, data, std::min<unsigned long>(size, MFG_INFO_SIZE));
    return Exchange(device, CATEGORY_IDENTITY, CMD_MFG_WRITE, record, sizeof(record));
}

const char* FormatSerialNumber(Device& device)
{
    MODEL_INFORMATION model;
    GetDeviceInformation(device, &model);
    SerialNumberText(model, device.m_szSerialNumber, sizeof(device.m_szSerialNumber));
    return device.m_szSerialNumber;
}
