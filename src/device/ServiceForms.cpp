// The transport and packet functions of release 1.0, as programs linked
// against it call them: without a device, on the default one.
#include "device/Device.h"
#include "device/Packet.h"
#include "device/Transport.h"

bool LockDevice(int portNumber)
{
    return LockDevice(DefaultDevice(), portNumber);
}

bool UnlockDevice()
{
    return UnlockDevice(DefaultDevice());
}

bool DoFindDevice(int portNumber)
{
    return DoFindDevice(DefaultDevice(), portNumber);
}

bool FindDevice(int portNumber)
{
    return FindDevice(DefaultDevice(), portNumber);
}

bool DeviceConnect(int portNumber, int attempts)
{
    return DeviceConnect(DefaultDevice(), portNumber, attempts);
}

bool DeviceClose()
{
    return DeviceClose(DefaultDevice());
}

bool DeviceIsAlive()
{
    return DeviceIsAlive(DefaultDevice());
}

bool DeviceIsConnected()
{
    return DeviceIsConnected(DefaultDevice());
}

bool DeviceCheckPath(const char* path)
{
    return DeviceCheckPath(DefaultDevice(), path);
}

bool DeviceSetTimeoutSetting(uint32_t readMs, uint32_t writeMs)
{
    return DeviceSetTimeoutSetting(DefaultDevice(), readMs, writeMs);
}

int DeviceReadData(uint8_t* buffer, int count)
{
    return DeviceReadData(DefaultDevice(), buffer, count);
}

int DeviceWriteData(const uint8_t* buffer, int count)
{
    return DeviceWriteData(DefaultDevice(), buffer, count);
}

bool SendPacket(uint8_t category, uint8_t command, const uint8_t* payload, uint32_t length)
{
    return SendPacket(DefaultDevice(), category, command, payload, length);
}

bool ReceivePacket(uint8_t* out, uint32_t outSize, int stream, uint8_t* status)
{
    return ReceivePacket(DefaultDevice(), out, outSize, stream, status);
}

void ClearStreamQueue()
{
    ClearStreamQueue(DefaultDevice());
}
