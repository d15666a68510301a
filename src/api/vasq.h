/* libvasq: drives the Vasq9 blood-pressure simulator and analyser. */
#ifndef VASQ_H
#define VASQ_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VASQ_API __attribute__((visibility("default")))

/* Identity records, copied whole; field order and widths are fixed. */
typedef struct MODEL_INFORMATION {
    char chSignature[2];   /* "QX"; 0xFF 0xFF while the identity is unwritten */
    uint8_t byModelCode;   /* 0x70 */
    uint8_t byVariantCode;
    int32_t nSerialGroup;
    int32_t nSerialIndex;  /* 0 to 9999 */
} MODEL_INFORMATION;

typedef struct HW_INFORMATION {
    int32_t nFWVersion1;
    int32_t nFWVersion2;
    int32_t nFWVersion3;
    int32_t nHWVersion1;
    int32_t nHWVersion2;
} HW_INFORMATION;

typedef struct BOOTLOADER_INFORMATION {
    int32_t nBootVersion1;
    int32_t nBootVersion2;
    int32_t nBootVersion3;
} BOOTLOADER_INFORMATION;

/* Simulation method: selects an envelope parameter set of the device; only the low byte travels. */
typedef enum BPMethodType {
    BP_METHOD_DEFAULT = 0,
    BP_METHOD_CUSTOMIZED = 1
} BPMethodType;

/* Common BP simulation parameters. Pressures are in the current unit. The
   library clamps the values to their limits and writes them back. */
typedef struct BPCommon {
    int32_t eMethod; /* BPMethodType: 0 for this record */
    double dSystolic;
    double dDiastolic;
    uint32_t nHeartRate;  /* beats per minute, 30 to 300 */
    double dPulseVolume;  /* 0.1 to 2.0 */
    double dSystolicOffset;
    double dDiastolicOffset;
} BPCommon;

/* A customised envelope: the BPCommon fields, then the envelope's points. */
typedef struct BPEnvelopeCustomized {
    int32_t eMethod; /* BPMethodType: 1 for this record */
    double dSystolic;
    double dDiastolic;
    uint32_t nHeartRate;
    double dPulseVolume;
    double dSystolicOffset;
    double dDiastolicOffset;
    double dTopPressure;
    double dUpperBasePressure;
    double dUpperPeakPressure;
    double dLowerPeakPressure;
    double dLowerBasePressure;
    double dBottomPressure;
    int32_t nSystolicAmplitude;
    int32_t nLowerPeakAmplitude;
    int32_t nUpperPeakAmplitude;
    int32_t nDiastolicAmplitude;
    int32_t nBaseAmplitude;
} BPEnvelopeCustomized;

/* Limit kinds: each selects an (upper, lower) pair of the limit table of a unit. */
typedef enum VasqLimitKind {
    LIMIT_STATIC_PRESSURE = 0,
    LIMIT_SYSTOLIC = 2,
    LIMIT_DIASTOLIC = 4,
    LIMIT_POINT_OFFSET = 6,
    LIMIT_OVERPRESSURE_SECOND = 8,
    LIMIT_OVERPRESSURE_THIRD = 10,
    LIMIT_ENVELOPE_PRESSURE = 12,
    LIMIT_HEART_RATE = 14,
    LIMIT_PULSE_VOLUME = 16
} VasqLimitKind;

/* Operating function selected on the device before a test starts. */
typedef enum FUNCTION_ENUM {
    FUNCTION_STATIC_PRESSURE = 0,
    FUNCTION_BP_TEST = 2,
    FUNCTION_LEAKAGE_TEST = 3,
    FUNCTION_LEAKAGE_CALIBRATION = 4,
    FUNCTION_OVERPRESSURE_TEST = 5,
    FUNCTION_CALIBRATION_OFF = 8
} FUNCTION_ENUM;

/* Status of a running test, the first argument of every test callback.
   Device codes 2 and 10 read as RUNNING, 12 as HOLDING, 13 as WAIT_STABLE,
   14 as COMPLETED, every other code as NONE. Passed as a 32-bit integer. */
typedef enum VasqStatus {
    STATUS_NONE = 0,
    STATUS_WAIT_STABLE = 1,
    STATUS_RUNNING = 2,
    STATUS_HOLDING = 3,
    STATUS_COMPLETED = 4
} VasqStatus;

/* Threads and callbacks
   ---------------------
   Every function below may be called from any thread. One lock (the API lock)
   serialises all traffic with the device: a call that talks to the device
   waits until the exchange of any other thread has ended. The lock is
   re-entrant.

   - ConnectedCallback runs on the library's connection thread, without the
     API lock. It may call any function; VasqFree from it releases the device
     without waiting for the thread it runs on.
   - The test callbacks (BPTestCallback, LeakageTestCallback,
     OverpressureTestCallback, StaticPressureCallback) run on the test's
     worker thread. The first report after a start is made without the API
     lock; every later report is made while the worker holds it, so the device
     is not polled by anyone else until the callback returns: return promptly.
     From a test callback you may call the functions that only talk to the
     device (VasqStopTest, VasqGetWaitStableTime, ...). VasqStopSampling there
     stops sampling without waiting for the sampling thread, and while
     sampling runs VasqSetPressureUnit returns 0 and changes nothing. Do not
     call VasqFree from a test callback (it waits for the connection thread,
     which needs the API lock that the callback's thread holds).
   - SamplingCallback runs on the library's sampling thread, ten times in a
     row every 50 ms, without the API lock; it may call functions that talk to
     the device. VasqStopSampling there stops sampling without waiting for the
     thread it runs on; VasqSetPressureUnit there returns 0 and changes
     nothing.
   - UpdateProgressCallback runs on the thread that called
     VasqUpdateFwBurnBinFile.
   A start stores its callback only once the device has accepted the start;
   a later start of the same kind replaces it for every worker of that kind.
   A null callback is accepted: the worker then ends at once (sampling still
   fetches samples and drops them). */

/* Called on the library's connection thread with true once a device is
   connected and with false once it is lost. */
typedef void (*ConnectedCallback)(bool connected);
/* BP test: status and the four results (systolic pressure in the current unit,
   then three values in tenths), all 0.0 until the device has reported them. */
typedef void (*BPTestCallback)(VasqStatus status, double result1, double result2, double result3,
                               double result4);
/* Leakage test or calibration: status, wait-stable time in seconds, the leak
   value (the calibration value for a calibration) and the result code. */
typedef void (*LeakageTestCallback)(VasqStatus status, double waitStableSeconds, double leakValue,
                                    int resultCode);
/* Overpressure test: status, wait-stable time in seconds and six results. */
typedef void (*OverpressureTestCallback)(VasqStatus status, double waitStableSeconds, double result1,
                                         double result2, double result3, double result4, double result5,
                                         double result6);
/* Static pressure: status, wait-stable time in seconds and the test result. */
typedef void (*StaticPressureCallback)(VasqStatus status, double waitStableSeconds, int testResult);
/* One cuff-pressure sample in the current unit. */
typedef void (*SamplingCallback)(double pressure);
/* Firmware update progress: stage, progress value and total. */
typedef void (*UpdateProgressCallback)(int stage, unsigned int progress, unsigned int total);

/* Life cycle. */

/* Starts the connection thread, which searches every port and reconnects after
   a loss. True when the thread runs. */
VASQ_API bool VasqInit(ConnectedCallback callback);
/* Waits up to timeoutMs for a device on the port (-1: any port). True at once
   when a device is already connected on such a port. */
VASQ_API bool VasqConnect(int portNumber, uint32_t timeoutMs);
/* Stops sampling and any test, releases the device and ends the connection
   thread; waits for the library's threads to end. */
VASQ_API void VasqFree(void);

/* Identity. Each returns 1 on success, 0 on failure (also for a null record). */
VASQ_API int VasqGetDeviceInformation(MODEL_INFORMATION* info);
VASQ_API int VasqGetHWInformation(HW_INFORMATION* info);
/* The serial number of the connected device, or "" when there is none; the
   text lives in static storage that the next call overwrites. */
VASQ_API const char* VasqGetSerialNumber(void);

/* Pressure unit: 0 = mmHg, 1 = kPa. The library never converts values: every
   pressure argument and result is in the current unit. */
/* Switches the device's unit. Refused (0) while a test runs (device status
   other than 0, 3 or 14). Restarts sampling around the switch when it runs. */
VASQ_API int VasqSetPressureUnit(int unit);
/* Reads the unit from the device and makes it the library's; 0 when the read fails. */
VASQ_API int VasqGetPressureUnit(void);
VASQ_API int VasqRebaseZero(bool on);

/* Sampling: 200 cuff-pressure samples per second, delivered to the callback on
   the sampling thread. A second start only replaces the callback. */
VASQ_API int VasqStartSampling(SamplingCallback callback);
/* Stops sampling and waits for the sampling thread (see "Threads and callbacks"). */
VASQ_API void VasqStopSampling(void);
/* Always 200, with or without a device. */
VASQ_API int VasqGetSampleRate(void);

/* Air ports: bit n of the library's mask set = port n disabled. The mask
   reaches the device with VasqUpdateAirPort and with every test start. */
/* Port numbers below 0 act on port 0, above 4 on port 4. Always 1. */
VASQ_API int VasqEnableAirPort(int port, bool enable);
VASQ_API int VasqResetAirPort(void);
VASQ_API int VasqUpdateAirPort(void);
VASQ_API int VasqPausePump(void);

/* Tests. A start returns 1 once the device runs the test and its worker
   reports to the callback; 0 when a step failed (nothing stored). */
/* Tells the device to stop any test and ends every test worker at its next
   poll. Always 1. */
VASQ_API int VasqStopTest(void);
/* parameters: a BPCommon (eMethod 0) or a BPEnvelopeCustomized (eMethod 1),
   clamped to the limits in place. */
VASQ_API int VasqRunBPTest(void* parameters, BPTestCallback callback);
VASQ_API int VasqRunLeakageTest(double dPressure, int nLeakParam, double dLeakRate,
                                LeakageTestCallback callback);
VASQ_API int VasqRunLeakageCalibration(double dPressure, LeakageTestCallback callback);
VASQ_API int VasqGetLeakageCalibrationRate(double* rate);
VASQ_API int VasqRunOverpressureTest(bool bOverpressureFlag, double dPressure1, double dPressure2,
                                     double dPressure3, OverpressureTestCallback callback);
VASQ_API int VasqRunStaticPressure(double dPressure, int nStaticParam, StaticPressureCallback callback,
                                   bool bStaticFlag);
/* The device's wait-stable time in whole seconds; 0 when the query fails. */
VASQ_API int VasqGetWaitStableTime(void);

/* Envelope tables: 360 points in mmHg (0 to 359 mmHg), 479 in kPa (0.0 to
   47.8 kPa). unit -1 means the current unit. No device exchange. */
VASQ_API int VasqGetEnvelopeRawData(BPEnvelopeCustomized* record, double* pressures, double* amplitudes,
                                    int count, int unit);
/* Sends the record and the table (in the current unit) to the device. */
VASQ_API int VasqSetEnvelopeRawData(BPEnvelopeCustomized* record, double* pressures, double* amplitudes,
                                    int count);

VASQ_API int VasqSwitchToAdultMode(bool adult);
VASQ_API int VasqSwitchTo500mlMode(bool on);
/* 1 when the device is in 500 ml mode. */
VASQ_API int VasqIs500mlMode(void);
VASQ_API int VasqWritePNGFileName(const char* name);
VASQ_API int VasqWritePNG(char* data, int length);
/* "1.0.3.1", in static storage. */
VASQ_API const char* VasqGetVersion(void);

#ifdef __cplusplus
}
#endif

#endif
