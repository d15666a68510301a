/* The public header must compile as C, and its records keep their layout. */
#include <stddef.h>

#include "vasq.h"

_Static_assert(sizeof(MODEL_INFORMATION) == 12, "MODEL_INFORMATION size");
_Static_assert(offsetof(MODEL_INFORMATION, byModelCode) == 2, "byModelCode offset");
_Static_assert(offsetof(MODEL_INFORMATION, nSerialGroup) == 4, "nSerialGroup offset");
_Static_assert(offsetof(MODEL_INFORMATION, nSerialIndex) == 8, "nSerialIndex offset");
_Static_assert(sizeof(HW_INFORMATION) == 20, "HW_INFORMATION size");
_Static_assert(offsetof(HW_INFORMATION, nHWVersion1) == 12, "nHWVersion1 offset");
_Static_assert(sizeof(BOOTLOADER_INFORMATION) == 12, "BOOTLOADER_INFORMATION size");

/* Both BP records start alike, so the BP start can read eMethod from either. */
_Static_assert(offsetof(BPEnvelopeCustomized, dDiastolicOffset) == offsetof(BPCommon, dDiastolicOffset),
               "BP records share their first fields");
#if defined(__x86_64__) || defined(__aarch64__)
_Static_assert(sizeof(BPCommon) == 56, "BPCommon size");
_Static_assert(offsetof(BPCommon, dSystolic) == 8, "dSystolic offset");
_Static_assert(offsetof(BPCommon, nHeartRate) == 24, "nHeartRate offset");
_Static_assert(offsetof(BPCommon, dPulseVolume) == 32, "dPulseVolume offset");
_Static_assert(offsetof(BPEnvelopeCustomized, dTopPressure) == 56, "dTopPressure offset");
_Static_assert(offsetof(BPEnvelopeCustomized, nSystolicAmplitude) == 104, "nSystolicAmplitude offset");
_Static_assert(sizeof(BPEnvelopeCustomized) == 128, "BPEnvelopeCustomized size");
#endif
_Static_assert(sizeof(BPMethodType) == 4 && sizeof(FUNCTION_ENUM) == 4, "enums travel as 32-bit values");
_Static_assert(sizeof(VasqStatus) == 4 && STATUS_COMPLETED == 4, "statuses travel as 32-bit values");

/* The callback and function types the header promises, as C sees them. */
static void OnConnection(bool connected)
{
    (void)connected;
}

static void OnStatic(VasqStatus status, double waitStableSeconds, int testResult)
{
    (void)status;
    (void)waitStableSeconds;
    (void)testResult;
}

int main(void)
{
    ConnectedCallback callback = OnConnection;
    bool (*init)(ConnectedCallback) = VasqInit;
    const char* (*serial)(void) = VasqGetSerialNumber;
    StaticPressureCallback onStatic = OnStatic;
    /* Every public function, as C sees it; they link against the library. */
    void* functions[] = {
        (void*)VasqInit, (void*)VasqConnect, (void*)VasqFree, (void*)VasqGetDeviceInformation,
        (void*)VasqGetHWInformation, (void*)VasqGetSerialNumber, (void*)VasqSetPressureUnit,
        (void*)VasqGetPressureUnit, (void*)VasqRebaseZero, (void*)VasqStartSampling, (void*)VasqStopSampling,
        (void*)VasqGetSampleRate, (void*)VasqEnableAirPort, (void*)VasqResetAirPort, (void*)VasqUpdateAirPort,
        (void*)VasqPausePump, (void*)VasqStopTest, (void*)VasqRunBPTest, (void*)VasqRunLeakageTest,
        (void*)VasqRunLeakageCalibration, (void*)VasqGetLeakageCalibrationRate, (void*)VasqRunOverpressureTest,
        (void*)VasqRunStaticPressure, (void*)VasqGetWaitStableTime, (void*)VasqGetEnvelopeRawData,
        (void*)VasqSetEnvelopeRawData, (void*)VasqSwitchToAdultMode, (void*)VasqSwitchTo500mlMode,
        (void*)VasqIs500mlMode, (void*)VasqWritePNGFileName, (void*)VasqWritePNG, (void*)VasqGetVersion,
    };
    (void)callback;
    (void)init;
    (void)serial;
    (void)onStatic;
    for (unsigned i = 0; i < sizeof(functions) / sizeof(functions[0]); ++i) {
        if (functions[i] == NULL)
            return 1;
    }
    return sizeof(functions) / sizeof(functions[0]) == 32 && VasqGetSampleRate() == 200 ? 0 : 1;
}
