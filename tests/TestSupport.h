#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SimDevice.h"
#include "api/Instrument.h"
#include "device/Device.h"

// A private folder for device nodes and lock files, removed with its contents.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Each test gets its own node and lock folders and its own instrument object,
// which it leaves closed.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<vasqsim::SimDevice> StartDevice(int portNumber);
    std::string LockPath(int portNumber) const;

    TempFolder m_folder;
    // The object under test: the layers that the library keeps for one instrument.
    Instrument m_instrument;
};

// A simulated device on port 0, found and open by the test's instrument
// object, with an empty frame log.
class ConnectedTest : public DeviceTest {
protected:
    void SetUp() override;
    // The requests the device received since the fixture connected.
    std::vector<vasqsim::LoggedFrame> Requests() const { return m_device->Log(); }
    // The (category, command) pairs of those requests, as "P137 P4 P132".
    std::string RequestCodes() const;
    // The payload of the last request with these codes; empty if there was none.
    std::vector<uint8_t> LastPayload(uint8_t category, uint8_t command) const;
    void WithModel(const std::function<void(vasqsim::DeviceModel&)>& fn) { m_device->WithModel(fn); }

    std::unique_ptr<vasqsim::SimDevice> m_device;
};

bool FileExists(const std::string& path);
// Polls the condition every few milliseconds until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// The loss handler as the connection layer installs it: it wakes the device's connection thread.
class Device;
// What the layer above hands down to the transport and the watch: a loss wakes
// the connection thread; a probe reads the identity.
void WakeConnectionThread(Device& device);
bool ProbeIdentity(Device& device);

// Waits until at least count bytes wait unread on the device's open port: a
// pseudo-terminal hands written bytes over a moment after the write returns.
bool WaitForPendingInput(Device& device, int count, std::chrono::milliseconds timeout);

class Stopwatch {
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    double Ms() const
    {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

// The 17-byte identity answer with the given signature, model, variant, serial index and group.
std::vector<uint8_t> IdentityBytes(uint8_t sig0, uint8_t sig1, uint8_t model, uint8_t variant = 1,
                                   uint16_t serialIndex = 42, uint8_t serialGroup = 7);
