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

int main(void)
{
    return 0;
}
