// Starts a simulated Vasq9 and drives it through the library's exported
// functions: connect, read who it is, then unplug and plug it back in while
// the library's connection thread reports the changes.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "SimDevice.h"
#include "vasq.h"
#include "vasq_service.h"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int g_connections = 0;
int g_losses = 0;

void OnConnection(bool connected)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        (connected ? g_connections : g_losses) += 1;
    }
    printf("  callback: %s\n", connected ? "connected" : "disconnected");
    fflush(stdout);
    g_changed.notify_all();
}

bool WaitFor(int connections, int losses)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(10),
                              [&] { return g_connections >= connections && g_losses >= losses; });
}

void PrintIdentity()
{
    MODEL_INFORMATION model;
    HW_INFORMATION hardware;
    BOOTLOADER_INFORMATION bootloader;
    VasqGetDeviceInformation(&model);
    VasqGetHWInformation(&hardware);
    VasqGetBootloaderInformation(&bootloader);
    printf("serial number:    %s\n", VasqGetSerialNumber());
    printf("model code:       0x%02X, variant 0x%02X\n", model.byModelCode, model.byVariantCode);
    printf("firmware:         %d.%d.%d\n", hardware.nFWVersion1, hardware.nFWVersion2, hardware.nFWVersion3);
    printf("hardware:         %d.%d\n", hardware.nHWVersion1, hardware.nHWVersion2);
    printf("boot loader:      %d.%d.%d\n", bootloader.nBootVersion1, bootloader.nBootVersion2,
           bootloader.nBootVersion3);
    unsigned char mfg[16];
    if (VasqReadMfgInfo(mfg, sizeof(mfg)) != 0) {
        printf("manufacturing:   ");
        for (unsigned char b : mfg)
            printf(" %02X", b);
        printf("\n");
    }
}

}  // namespace

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

        const auto started = std::chrono::steady_clock::now();
        if (!VasqConnect(-1, 5000)) {
            fprintf(stderr, "vasq-demo: no Vasq9 found\n");
        } else {
            const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started);
            printf("connected in %.1f ms\n", ms.count());
            PrintIdentity();
            VasqFree();

            printf("watching the connection; unplugging and plugging the device back in\n");
            VasqInit(OnConnection);
            bool ok = WaitFor(1, 0);
            device.Unplug();
            ok = ok && WaitFor(1, 1);
            device.Plug();
            ok = ok && WaitFor(2, 1);
            printf("serial number after reconnecting: %s\n", VasqGetSerialNumber());
            VasqFree();
            status = ok ? 0 : 1;
        }
    }
    rmdir(folder);
    return status;
}
