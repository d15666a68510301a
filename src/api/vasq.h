/* libvasq: drives the Vasq9 blood-pressure simulator and analyser. */
#ifndef VASQ_H
#define VASQ_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define VASQ_API __declspec(dllexport)
#else
#define VASQ_API __attribute__((visibility("default")))
#endif

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

#ifdef __cplusplus
}
#endif

#endif
