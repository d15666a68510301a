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

/* Called on the library's connection thread with true once a device is
   connected and with false once it is lost. */
typedef void (*ConnectedCallback)(bool connected);

/* Starts the connection thread, which searches every port and reconnects after
   a loss. True when the thread runs. */
VASQ_API bool VasqInit(ConnectedCallback callback);
/* Waits up to timeoutMs for a device on the port (-1: any port). True at once
   when a device is already connected on such a port. */
VASQ_API bool VasqConnect(int portNumber, uint32_t timeoutMs);
/* Stops any test and sampling, releases the device and ends the connection thread. */
VASQ_API void VasqFree(void);

VASQ_API int VasqGetDeviceInformation(MODEL_INFORMATION* info);
VASQ_API int VasqGetHWInformation(HW_INFORMATION* info);
/* The serial number of the connected device, or "" when there is none; the
   text lives in static storage that the next call overwrites. */
VASQ_API const char* VasqGetSerialNumber(void);
/* Tells the device to stop any test and ends the test's worker. Always 1. */
VASQ_API int VasqStopTest(void);

#ifdef __cplusplus
}
#endif

#endif
