// Pieces of the Windows transport that its tests reach directly.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

class Device;

// The COM number of a friendly name such as "USB Serial Device (COM7)": the
// number after the first "COM", ended by ")"; -1 when there is no "COM".
int ComPortFromFriendlyName(const char* friendlyName);

// Copies the interface's path into the 512-byte buffer (bounded) and returns
// the COM number from the device's friendly name, or -1.
int GetDeviceComPort(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData, char (&path)[512]);

// Opens for the device the first of the set that is a Vasq9 on the port (-1: any).
bool FindDevice(Device& device, int portNumber, HDEVINFO set);

// Opens the path without sharing, sets the line up and keeps it the device's if a
// Vasq9 answers the identity request there. The number is the COM number to
// report for it.
bool OpenDevicePath(Device& device, const char* path, int comNumber);

// The present USB device interfaces; INVALID_HANDLE_VALUE when they cannot be listed.
HDEVINFO ListUsbDeviceInterfaces();

// A present USB device interface as the search sees it.
struct DeviceInterfaceEntry {
    std::string path;
    std::string friendlyName;
};
// Tests stand in for the system's list of present USB device interfaces (Wine
// lists no serial port there); null restores the system's list.
void SetDeviceInterfacesForTesting(const std::vector<DeviceInterfaceEntry>* interfaces);
