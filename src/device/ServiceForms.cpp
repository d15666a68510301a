// The transport and packet functions of release 1.0, as programs linked
// against it call them: without a device, on the default one.
#include "device/Device.h"
#include "device/Packet.h"
#include "device/Transport.h"

namespace {

Device& ServiceDevice()
{
    return DefaultDevice();
}

}  // namespace

bool LockDevice(int portNumber)
{
    return LockDevice(ServiceDevice(), portNumber);
}

bool UnlockDevice()
{
    return UnlockDevice(ServiceDevice());
}

bool DoFindDevice(int portNumber)
{
    return DoFindDevice(ServiceDevice(), portNumber);
}

bool FindDevice(int portNumber)
{
    return FindDevice(ServiceDevice(), portNumber);
}

bool DeviceConnect(int portNumber, int attempts)
{
    return DeviceConnect(ServiceDevice(), portNumber, attempts);
}

bool DeviceClose()
{
    return DeviceClose(ServiceDevice());
}

bool DeviceIsAlive()
{
    return DeviceIsAlive(ServiceDevice());
}

bool DeviceIsConnected()
{
    return DeviceIsConnected(ServiceDevice());
}

bool DeviceCheckPath(const char* path)
{
    return DeviceCheckPath(ServiceDevice(), path);
}

bool DeviceSetTimeoutSetting(uint32_t readMs, uint32_t writeMs)
{
    return DeviceSetTimeoutSetting(ServiceDevice(), readMs, writeMs);
}

int DeviceReadData(uint8_t* buffer, int count)
{
    return DeviceReadData(ServiceDevice(), buffer, count);
}

int DeviceWriteData(const uint8_t* buffer, int count)
{
    return DeviceWriteData(ServiceDevice(), buffer, count);
}

bool SendPacket(uint8_t category, uint8_t command, const uint8_t* payload, uint32_t length)
{
    return SendPacket(ServiceDevice(), category, command, payload, length);
}

bool ReceivePacket(uint8_t* out, uint32_t outSize, int stream, uint8_t* status)
{
    return ReceivePacket(ServiceDevice(), out, outSize, stream, status);
}

void ClearStreamQueue()
{
    ClearStreamQueue(ServiceDevice());
}
