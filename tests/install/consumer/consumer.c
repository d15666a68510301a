/* A C application built against the installed tree. It prints the file the
   library was loaded from, so the test can tell the installed copy was used. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <vasq.h>

int main(void)
{
    Dl_info where;
    union {
        const char* (*function)(void);
        void* object;
    } address; /* ISO C has no cast from a function to an object pointer */
    MODEL_INFORMATION model;
    const char* serial = VasqGetSerialNumber();

    /* No device is connected: an empty serial number and a zeroed record. */
    memset(&model, 0xAB, sizeof model);
    VasqGetDeviceInformation(&model);
    if (serial == NULL || serial[0] != '\0' || model.byModelCode != 0) {
        fprintf(stderr, "unexpected answers without a device\n");
        return 1;
    }
    address.function = VasqGetSerialNumber;
    if (dladdr(address.object, &where) == 0 || where.dli_fname == NULL) {
        fprintf(stderr, "cannot tell where the library was loaded from\n");
        return 1;
    }
    printf("%s\n", where.dli_fname);
    return 0;
}
