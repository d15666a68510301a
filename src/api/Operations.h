#pragma once

// The work of the exported functions that exist twice: once on the default
// instrument, once on a device's handle. Each export chooses the instrument
// and calls one of these with it and with its own name, which the call's
// failure and log lines carry.
#include <stdint.h>

#include "api/Instrument.h"
#include "vasq.h"

bool ConnectOn(Instrument& instrument, const char* name, int portNumber, uint32_t timeoutMs);
void FreeOn(Instrument& instrument, const char* name);

int GetDeviceInformationOn(Instrument& instrument, const char* name, MODEL_INFORMATION* info);
int GetHWInformationOn(Instrument& instrument, const char* name, HW_INFORMATION* info);
int SetPressureUnitOn(Instrument& instrument, const char* name, int unit);
int GetPressureUnitOn(Instrument& instrument, const char* name);
int RebaseZeroOn(Instrument& instrument, const char* name, bool on);
int EnableAirPortOn(Instrument& instrument, const char* name, int port, bool enable);
int ResetAirPortOn(Instrument& instrument, const char* name);
int UpdateAirPortOn(Instrument& instrument, const char* name);
int PausePumpOn(Instrument& instrument, const char* name);
int SwitchToAdultModeOn(Instrument& instrument, const char* name, bool adult);
int SwitchTo500mlModeOn(Instrument& instrument, const char* name, bool on);
int Is500mlModeOn(Instrument& instrument, const char* name);
int WritePNGFileNameOn(Instrument& instrument, const char* name, const char* fileName);
int WritePNGOn(Instrument& instrument, const char* name, char* data, int length);

// Starts sampling with the callback, or keeps the running thread and gives it the callback.
int StartSamplingOn(Instrument& instrument, const char* name, const SamplingTarget& callback);
// Ends sampling; from a callback or a test worker the thread ends by itself.
void StopSamplingOn(Instrument& instrument, const char* name);

int RunBPTestOn(Instrument& instrument, const char* name, void* parameters, const BPTestTarget& callback);
int RunLeakageTestOn(Instrument& instrument, const char* name, double dPressure, int nLeakParam, double dLeakRate,
                     const LeakageTestTarget& callback);
int RunLeakageCalibrationOn(Instrument& instrument, const char* name, double dPressure,
                            const LeakageTestTarget& callback);
int GetLeakageCalibrationRateOn(Instrument& instrument, const char* name, double* rate);
int RunOverpressureTestOn(Instrument& instrument, const char* name, bool bOverpressureFlag, double dPressure1,
                          double dPressure2, double dPressure3, const OverpressureTestTarget& callback);
int RunStaticPressureOn(Instrument& instrument, const char* name, double dPressure, int nStaticParam,
                        const StaticPressureTarget& callback, bool bStaticFlag);
int GetWaitStableTimeOn(Instrument& instrument, const char* name);
int StopTestOn(Instrument& instrument, const char* name);

// unit -1 takes the instrument's current unit.
int GetEnvelopeRawDataOn(Instrument& instrument, const char* name, BPEnvelopeCustomized* record, double* pressures,
                         double* amplitudes, int count, int unit);
int SetEnvelopeRawDataOn(Instrument& instrument, const char* name, BPEnvelopeCustomized* record, double* pressures,
                         double* amplitudes, int count);
