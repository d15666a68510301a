/* The binary layout of everything <vasq.h> (and <vasq_service.h>) hands across
   the library boundary, as the target's C ABI lays it out. An application
   compiled with another compiler or language sees these records, enums and
   callback types exactly so, so a change here is a break of the interface.

   Included by a C99 program and a C++ program after the public headers and
   after the generated *_declarations.h (VASQ_HEADER_HAS_<type>). A type the
   header may not have yet is checked under #ifdef VASQ_HEADER_HAS_<type>, so
   its checks start to count the day it appears. Each checked type defines
   VASQ_LAYOUT_CHECKS_<type>; a typedef'd type of the headers without that
   makes the test fail, so a new type cannot go unchecked.

   To add a type: its size, the offset of each field (or the value of each
   enumerator), under the VASQ_LAYOUT_CHECKS_<type> define. */
#ifndef VASQ_TESTS_ABI_LAYOUTS_H
#define VASQ_TESTS_ABI_LAYOUTS_H

#include <stddef.h>

#define VASQ_CAT2(a, b) a##b
#define VASQ_CAT(a, b) VASQ_CAT2(a, b)
#if defined(__cplusplus)
#define VASQ_STATIC_ASSERT(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VASQ_STATIC_ASSERT(cond, what) _Static_assert(cond, what)
#else
/* C99 has no static assertion: an array of negative size fails to compile.
   C99 forbids a second typedef of a name, hence a fresh name for each. */
#define VASQ_STATIC_ASSERT(cond, what) typedef char VASQ_CAT(vasq_layout_check_, __COUNTER__)[(cond) ? 1 : -1]
#endif

/* Targets differ in the width of a pointer and in the alignment of a double
   inside a record: 4 bytes on i386, 8 everywhere else we build for. */
#if defined(__x86_64__) || defined(__aarch64__) || defined(_WIN64)
#define VASQ_ABI_POINTER 8
#define VASQ_ABI_DOUBLE_ALIGN 8
#elif defined(__arm__) && defined(__ARM_EABI__)
#define VASQ_ABI_POINTER 4
#define VASQ_ABI_DOUBLE_ALIGN 8
#elif defined(__i386__)
#define VASQ_ABI_POINTER 4
#define VASQ_ABI_DOUBLE_ALIGN 4
#else
#error "the record layouts of this target are not known: add the target to tests/abi/layouts.h"
#endif
/* The value for targets whose doubles are 8-aligned, and for i386. */
#define VASQ_BY_ABI(align8, align4) (VASQ_ABI_DOUBLE_ALIGN == 8 ? (align8) : (align4))

#define VASQ_SIZE(type, size) VASQ_STATIC_ASSERT(sizeof(type) == (size), "size of " #type)
#define VASQ_OFFSET(type, field, offset) \
    VASQ_STATIC_ASSERT(offsetof(type, field) == (offset), "offset of " #type "." #field)
#define VASQ_VALUE(enumerator, value) VASQ_STATIC_ASSERT((enumerator) == (value), "value of " #enumerator)
/* Enums travel as 32-bit values. */
#define VASQ_ENUM(type) VASQ_SIZE(type, 4)
/* A callback is a plain function pointer without user data. */
#define VASQ_CALLBACK(type) VASQ_SIZE(type, VASQ_ABI_POINTER)

VASQ_SIZE(void*, VASQ_ABI_POINTER);
/* A ConnectedCallback's argument: C's _Bool and C++'s bool must agree. */
VASQ_SIZE(bool, 1);

/* Identity records: the same on every target. */
#define VASQ_LAYOUT_CHECKS_MODEL_INFORMATION
VASQ_SIZE(MODEL_INFORMATION, 12);
VASQ_OFFSET(MODEL_INFORMATION, chSignature, 0);
VASQ_OFFSET(MODEL_INFORMATION, byModelCode, 2);
VASQ_OFFSET(MODEL_INFORMATION, byVariantCode, 3);
VASQ_OFFSET(MODEL_INFORMATION, nSerialGroup, 4);
VASQ_OFFSET(MODEL_INFORMATION, nSerialIndex, 8);

#define VASQ_LAYOUT_CHECKS_HW_INFORMATION
VASQ_SIZE(HW_INFORMATION, 20);
VASQ_OFFSET(HW_INFORMATION, nFWVersion1, 0);
VASQ_OFFSET(HW_INFORMATION, nFWVersion2, 4);
VASQ_OFFSET(HW_INFORMATION, nFWVersion3, 8);
VASQ_OFFSET(HW_INFORMATION, nHWVersion1, 12);
VASQ_OFFSET(HW_INFORMATION, nHWVersion2, 16);

#define VASQ_LAYOUT_CHECKS_BOOTLOADER_INFORMATION
VASQ_SIZE(BOOTLOADER_INFORMATION, 12);
VASQ_OFFSET(BOOTLOADER_INFORMATION, nBootVersion1, 0);
VASQ_OFFSET(BOOTLOADER_INFORMATION, nBootVersion2, 4);
VASQ_OFFSET(BOOTLOADER_INFORMATION, nBootVersion3, 8);

/* BP records. The BP start reads eMethod from either record, so the customised
   one starts with the common fields at the same offsets.          align8 align4 */
#define VASQ_BP_COMMON_FIELDS(type)                                                        \
    VASQ_OFFSET(type, eMethod, 0);                                                         \
    VASQ_OFFSET(type, dSystolic, VASQ_BY_ABI(8, 4));                                       \
    VASQ_OFFSET(type, dDiastolic, VASQ_BY_ABI(16, 12));                                    \
    VASQ_OFFSET(type, nHeartRate, VASQ_BY_ABI(24, 20));                                    \
    VASQ_OFFSET(type, dPulseVolume, VASQ_BY_ABI(32, 24));                                  \
    VASQ_OFFSET(type, dSystolicOffset, VASQ_BY_ABI(40, 32));                               \
    VASQ_OFFSET(type, dDiastolicOffset, VASQ_BY_ABI(48, 40))

#define VASQ_LAYOUT_CHECKS_BPCommon
VASQ_SIZE(BPCommon, VASQ_BY_ABI(56, 48));
VASQ_BP_COMMON_FIELDS(BPCommon);

#define VASQ_LAYOUT_CHECKS_BPEnvelopeCustomized
VASQ_SIZE(BPEnvelopeCustomized, VASQ_BY_ABI(128, 116));
VASQ_BP_COMMON_FIELDS(BPEnvelopeCustomized);
VASQ_OFFSET(BPEnvelopeCustomized, dTopPressure, VASQ_BY_ABI(56, 48));
VASQ_OFFSET(BPEnvelopeCustomized, dUpperBasePressure, VASQ_BY_ABI(64, 56));
VASQ_OFFSET(BPEnvelopeCustomized, dUpperPeakPressure, VASQ_BY_ABI(72, 64));
VASQ_OFFSET(BPEnvelopeCustomized, dLowerPeakPressure, VASQ_BY_ABI(80, 72));
VASQ_OFFSET(BPEnvelopeCustomized, dLowerBasePressure, VASQ_BY_ABI(88, 80));
VASQ_OFFSET(BPEnvelopeCustomized, dBottomPressure, VASQ_BY_ABI(96, 88));
VASQ_OFFSET(BPEnvelopeCustomized, nSystolicAmplitude, VASQ_BY_ABI(104, 96));
VASQ_OFFSET(BPEnvelopeCustomized, nLowerPeakAmplitude, VASQ_BY_ABI(108, 100));
VASQ_OFFSET(BPEnvelopeCustomized, nUpperPeakAmplitude, VASQ_BY_ABI(112, 104));
VASQ_OFFSET(BPEnvelopeCustomized, nDiastolicAmplitude, VASQ_BY_ABI(116, 108));
VASQ_OFFSET(BPEnvelopeCustomized, nBaseAmplitude, VASQ_BY_ABI(120, 112));

/* Enums: the values travel to the device or to the application. */
#define VASQ_LAYOUT_CHECKS_BPMethodType
VASQ_ENUM(BPMethodType);
VASQ_VALUE(BP_METHOD_DEFAULT, 0);
VASQ_VALUE(BP_METHOD_CUSTOMIZED, 1);

#define VASQ_LAYOUT_CHECKS_FUNCTION_ENUM
VASQ_ENUM(FUNCTION_ENUM);
VASQ_VALUE(FUNCTION_STATIC_PRESSURE, 0);
VASQ_VALUE(FUNCTION_BP_TEST, 2);
VASQ_VALUE(FUNCTION_LEAKAGE_TEST, 3);
VASQ_VALUE(FUNCTION_LEAKAGE_CALIBRATION, 4);
VASQ_VALUE(FUNCTION_OVERPRESSURE_TEST, 5);
VASQ_VALUE(FUNCTION_CALIBRATION_OFF, 8);

#define VASQ_LAYOUT_CHECKS_VasqLimitKind
VASQ_ENUM(VasqLimitKind);
VASQ_VALUE(LIMIT_STATIC_PRESSURE, 0);
VASQ_VALUE(LIMIT_SYSTOLIC, 2);
VASQ_VALUE(LIMIT_DIASTOLIC, 4);
VASQ_VALUE(LIMIT_POINT_OFFSET, 6);
VASQ_VALUE(LIMIT_OVERPRESSURE_SECOND, 8);
VASQ_VALUE(LIMIT_OVERPRESSURE_THIRD, 10);
VASQ_VALUE(LIMIT_ENVELOPE_PRESSURE, 12);
VASQ_VALUE(LIMIT_HEART_RATE, 14);
VASQ_VALUE(LIMIT_PULSE_VOLUME, 16);

#ifdef VASQ_HEADER_HAS_VasqStatus
#define VASQ_LAYOUT_CHECKS_VasqStatus
VASQ_ENUM(VasqStatus);
VASQ_VALUE(STATUS_NONE, 0);
VASQ_VALUE(STATUS_WAIT_STABLE, 1);
VASQ_VALUE(STATUS_RUNNING, 2);
VASQ_VALUE(STATUS_HOLDING, 3);
VASQ_VALUE(STATUS_COMPLETED, 4);
#endif

#ifdef VASQ_HEADER_HAS_VasqError
#define VASQ_LAYOUT_CHECKS_VasqError
VASQ_ENUM(VasqError);
VASQ_VALUE(VASQ_ERROR_NONE, 0);
VASQ_VALUE(VASQ_ERROR_NOT_CONNECTED, 1);
VASQ_VALUE(VASQ_ERROR_NOT_FOUND, 2);
VASQ_VALUE(VASQ_ERROR_PORT_BUSY, 3);
VASQ_VALUE(VASQ_ERROR_ACCESS, 4);
VASQ_VALUE(VASQ_ERROR_TIMEOUT, 5);
VASQ_VALUE(VASQ_ERROR_PROTOCOL, 6);
VASQ_VALUE(VASQ_ERROR_REFUSED, 7);
VASQ_VALUE(VASQ_ERROR_INVALID_ARGUMENT, 8);
VASQ_VALUE(VASQ_ERROR_BUSY, 9);
VASQ_VALUE(VASQ_ERROR_DEVICE_LOST, 10);
VASQ_VALUE(VASQ_ERROR_FILE, 11);
VASQ_VALUE(VASQ_ERROR_SYSTEM, 12);
VASQ_VALUE(VASQ_LOG_ERROR, 1);
VASQ_VALUE(VASQ_LOG_WARNING, 2);
VASQ_VALUE(VASQ_LOG_INFO, 3);
VASQ_VALUE(VASQ_LOG_DEBUG, 4);
#endif

/* Callback types. Their argument lists are checked by the C++ program. */
#define VASQ_LAYOUT_CHECKS_ConnectedCallback
VASQ_CALLBACK(ConnectedCallback);
#ifdef VASQ_HEADER_HAS_UpdateProgressCallback
#define VASQ_LAYOUT_CHECKS_UpdateProgressCallback
VASQ_CALLBACK(UpdateProgressCallback);
#endif
#ifdef VASQ_HEADER_HAS_BPTestCallback
#define VASQ_LAYOUT_CHECKS_BPTestCallback
VASQ_CALLBACK(BPTestCallback);
#endif
#ifdef VASQ_HEADER_HAS_LeakageTestCallback
#define VASQ_LAYOUT_CHECKS_LeakageTestCallback
VASQ_CALLBACK(LeakageTestCallback);
#endif
#ifdef VASQ_HEADER_HAS_OverpressureTestCallback
#define VASQ_LAYOUT_CHECKS_OverpressureTestCallback
VASQ_CALLBACK(OverpressureTestCallback);
#endif
#ifdef VASQ_HEADER_HAS_StaticPressureCallback
#define VASQ_LAYOUT_CHECKS_StaticPressureCallback
VASQ_CALLBACK(StaticPressureCallback);
#endif
#ifdef VASQ_HEADER_HAS_SamplingCallback
#define VASQ_LAYOUT_CHECKS_SamplingCallback
VASQ_CALLBACK(SamplingCallback);
#endif
#ifdef VASQ_HEADER_HAS_VasqLogCallback
#define VASQ_LAYOUT_CHECKS_VasqLogCallback
VASQ_CALLBACK(VasqLogCallback);
#endif
#ifdef VASQ_HEADER_HAS_VasqDevice
/* Opaque: only pointers to it cross the interface. */
#define VASQ_LAYOUT_CHECKS_VasqDevice
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceConnectedCallback
#define VASQ_LAYOUT_CHECKS_VasqDeviceConnectedCallback
VASQ_CALLBACK(VasqDeviceConnectedCallback);
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceSamplingCallback
#define VASQ_LAYOUT_CHECKS_VasqDeviceSamplingCallback
VASQ_CALLBACK(VasqDeviceSamplingCallback);
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceBPTestCallback
#define VASQ_LAYOUT_CHECKS_VasqDeviceBPTestCallback
VASQ_CALLBACK(VasqDeviceBPTestCallback);
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceLeakageTestCallback
#define VASQ_LAYOUT_CHECKS_VasqDeviceLeakageTestCallback
VASQ_CALLBACK(VasqDeviceLeakageTestCallback);
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceOverpressureTestCallback
#define VASQ_LAYOUT_CHECKS_VasqDeviceOverpressureTestCallback
VASQ_CALLBACK(VasqDeviceOverpressureTestCallback);
#endif
#ifdef VASQ_HEADER_HAS_VasqDeviceStaticPressureCallback
#define VASQ_LAYOUT_CHECKS_VasqDeviceStaticPressureCallback
VASQ_CALLBACK(VasqDeviceStaticPressureCallback);
#endif

#endif
