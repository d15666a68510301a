#include "TestSupport.h"
#include "api/Instrument.h"

#include <ftw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <unistd.h>

#include "device/Monitor.h"
#include "device/Packet.h"
#include "device/Transport.h"
#include "platform/ProcessObjects.h"
#include "protocol/Identity.h"

TempFolder::TempFolder()
{
    char name[] = "/tmp/vasq-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    m_path = name;
}

TempFolder::~TempFolder()
{
    nftw(
        m_path.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void WakeConnectionThread(Device& device)
{
    static_cast<Instrument&>(device).m_hReconnectEvent.SetEvent();
}

bool ProbeIdentity(Device& device)
{
    return IsTargetDevice(device);
}

void DeviceTest::SetUp()
{
    // What the layer above hands down, so the device layer runs without it.
    SetDeviceProbe(ProbeIdentity);
    SetDeviceLossHandler(WakeConnectionThread);
    SetMonitorLossNotifier(WakeConnectionThread);
    SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str());
}

void DeviceTest::TearDown()
{
    DeviceClose(m_instrument);
    SetDeviceFoldersForTesting("", "");
}

std::unique_ptr<vasqsim::SimDevice> DeviceTest::StartDevice(int portNumber)
{
    auto device = std::make_unique<vasqsim::SimDevice>(m_folder.path(), portNumber);
    EXPECT_TRUE(device->Plugged()) << device->NodePath();
    return device;
}

void ConnectedTest::SetUp()
{
    DeviceTest::SetUp();
    m_device = StartDevice(0);
    ASSERT_TRUE(FindDevice(m_instrument, 0));
    // The probe's answer is counted once written, which may be after the library has read it.
    ASSERT_TRUE(m_device->WaitForAnswersSent(1, std::chrono::seconds(5)));
    m_device->ClearLog();
}

std::string ConnectedTest::RequestCodes() const
{
    std::string codes;
    for (const auto& frame : m_device->Log()) {
        if (!codes.empty())
            codes += ' ';
        codes += static_cast<char>(frame.category);
        codes += std::to_string(frame.command);
    }
    return codes;
}

std::vector<uint8_t> ConnectedTest::LastPayload(uint8_t category, uint8_t command) const
{
    std::vector<uint8_t> payload;
    for (const auto& frame : m_device->Log()) {
        if (frame.category == category && frame.command == command)
            payload = frame.payload;
    }
    return payload;
}

std::string DeviceTest::LockPath(int portNumber) const
{
    return m_folder.path() + "/kestrova.ACM" + std::to_string(portNumber) + ".lock";
}

bool FileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::vector<uint8_t> IdentityBytes(uint8_t sig0, uint8_t sig1, uint8_t model, uint8_t variant,
                                   uint16_t serialIndex, uint8_t serialGroup)
{
    return {sig0, sig1, model, variant, static_cast<uint8_t>(serialIndex & 0xFF),
            static_cast<uint8_t>(serialIndex >> 8), serialGroup, 0, 2, 1, 1, 4, 2, 0, 1, 0, 3};
}

bool WaitForPendingInput(Device& device, int count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int pending = 0;
        if (ioctl(static_cast<int>(device.m_hDevice.load()), FIONREAD, &pending) == 0 && pending >= count)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        poll(nullptr, 0, 2);  // FIONREAD has no blocking form
    }
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        poll(nullptr, 0, 5);
    }
    return true;
}
