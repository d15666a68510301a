// Starts a simulated Vasq9, finds it through the library's port scan and
// prints who it is.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "SimDevice.h"
#include "device/Transport.h"
#include "protocol/Identity.h"

int main()
{
    char folderTemplate[] = "/tmp/vasq-demo-XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (folder == nullptr) {
        perror("vasq-demo: mkdtemp");
        return 1;
    }
    int status = 1;
    {
        vasqsim::SimDevice device(folder, 3);
        printf("simulated Vasq9 on %s\n", device.NodePath().c_str());
        SetDeviceFoldersForTesting(folder, folder);

        if (!DeviceConnect(-1, 1)) {
            fprintf(stderr, "vasq-demo: no Vasq9 found\n");
        } else {
            MODEL_INFORMATION model;
            HW_INFORMATION hardware;
            BOOTLOADER_INFORMATION bootloader;
            GetDeviceInformation(&model);
            GetHWInformation(&hardware);
            GetBootloaderInformation(&bootloader);
            printf("connected:        %s\n", DeviceIsAlive() ? "yes" : "no");
            printf("serial number:    %s\n", FormatSerialNumber());
            printf("model code:       0x%02X, variant 0x%02X\n", model.byModelCode, model.byVariantCode);
            printf("firmware:         %d.%d.%d\n", hardware.nFWVersion1, hardware.nFWVersion2,
                   hardware.nFWVersion3);
            printf("hardware:         %d.%d\n", hardware.nHWVersion1, hardware.nHWVersion2);
            printf("boot loader:      %d.%d.%d\n", bootloader.nBootVersion1, bootloader.nBootVersion2,
                   bootloader.nBootVersion3);
            uint8_t mfg[16];
            if (ReadMfgInfo(mfg, sizeof(mfg))) {
                printf("manufacturing:   ");
                for (uint8_t b : mfg)
                    printf(" %02X", b);
                printf("\n");
            }
            DeviceClose();
            status = 0;
        }
    }
    rmdir(folder);
    return status;
}
