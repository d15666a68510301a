#pragma once

#include <stdint.h>

#include "platform/Export.h"
#include "vasq.h"

class Device;

constexpr uint8_t CMD_READ_BP_SETTING = 5;
constexpr uint8_t CMD_READ_ENVELOPE_PARAMS = 8;
constexpr uint8_t CMD_WRITE_BP_SETTING = 133;
constexpr uint8_t CMD_WRITE_ENVELOPE_PARAMS = 136;
constexpr uint8_t CMD_ENVELOPE_RAW_POINTS = 138;
constexpr uint8_t CMD_BP_AUTO_SEQUENCE = 140;
constexpr uint8_t CMD_BP_RESULT = 1;

constexpr uint32_t ENVELOPE_RECORD_SIZE = 30;
constexpr uint32_t BP_SETTING_SHORT_SIZE = 12;
constexpr uint32_t BP_SETTING_LONG_SIZE = 30;
constexpr uint32_t RAW_POINT_SIZE = 6;

bool SetBPDefault(Device& device, BPCommon* p, int unit);
bool SetBPCustom(Device& device, BPEnvelopeCustomized* p, int unit);
bool GetBPCustomParam(Device& device, BPMethodType method, BPEnvelopeCustomized* out, int unit);
bool SetBPCustomRawData(Device& device, int nHeartRate, double* pressures, double* amplitudes, int count, int unit);
bool SetBPAutoSequence(Device& device, BPCommon* p, bool bFlag1, bool bFlag2, int nNumber, int unit);
bool GetBPTestResult(Device& device, int unit, double* r1, double* r2, double* r3, double* r4);

bool SetBPSetting(Device& device, unsigned int first, unsigned int second);
bool SetBPHR(Device& device, unsigned int nHeartRate);
bool SetBPPulseVolume(Device& device, double dPulseVolume);
bool SetBPEnvelop(Device& device, int e1, int e2);
bool GetBPSetting(Device& device, unsigned int* first, unsigned int* second);
bool GetBPHR(Device& device, unsigned int* nHeartRate);
bool GetBPPulseVolume(Device& device, double* dPulseVolume);
bool GetBPEnvelop(Device& device, int* e1, int* e2);

bool SetCuffLocation(Device& device, int location);
int GetCuffLocation(Device& device, int unused);
bool SwitchToAdultMode(Device& device, bool adult);
bool IsAdultMode(Device& device);
bool SwitchTo500ml(Device& device, bool on);
bool Is500mlMode(Device& device);

// The service functions of release 1.0 under their exported names: each works
// on the default device.
VASQ_EXPORT bool SetBPDefault(BPCommon* p, int unit);
VASQ_EXPORT bool SetBPCustom(BPEnvelopeCustomized* p, int unit);
VASQ_EXPORT bool GetBPCustomParam(BPMethodType method, BPEnvelopeCustomized* out, int unit);
VASQ_EXPORT bool SetBPCustomRawData(int nHeartRate, double* pressures, double* amplitudes, int count, int unit);
VASQ_EXPORT bool SetBPAutoSequence(BPCommon* p, bool bFlag1, bool bFlag2, int nNumber, int unit);
VASQ_EXPORT bool GetBPTestResult(int unit, double* r1, double* r2, double* r3, double* r4);
VASQ_EXPORT bool SetBPSetting(unsigned int first, unsigned int second);
VASQ_EXPORT bool SetBPHR(unsigned int nHeartRate);
VASQ_EXPORT bool SetBPPulseVolume(double dPulseVolume);
VASQ_EXPORT bool SetBPEnvelop(int e1, int e2);
VASQ_EXPORT bool GetBPSetting(unsigned int* first, unsigned int* second);
VASQ_EXPORT bool GetBPHR(unsigned int* nHeartRate);
VASQ_EXPORT bool GetBPPulseVolume(double* dPulseVolume);
VASQ_EXPORT bool GetBPEnvelop(int* e1, int* e2);
VASQ_EXPORT bool SetCuffLocation(int location);
VASQ_EXPORT int GetCuffLocation(int unused);
VASQ_EXPORT bool SwitchToAdultMode(bool adult);
VASQ_EXPORT bool IsAdultMode();
VASQ_EXPORT bool SwitchTo500ml(bool on);
VASQ_EXPORT bool Is500mlMode();
