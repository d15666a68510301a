#pragma once

// A fixture for end-to-end tests: a simulated Vasq9 on port 0 in a private
// folder, connected through the exported functions, with an empty frame log.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "E2ESupport.h"
#include "vasq.h"

namespace e2e {

// What a callback of the library was called with, in order; callbacks run on
// the library's threads, tests read from their own.
template <typename T>
class Recorder {
public:
    void Add(T value)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_values.push_back(std::move(value));
        }
        m_changed.Notify();
    }
    std::vector<T> Get()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }
    size_t Size() { return Get().size(); }
    bool WaitForSize(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        return WaitFor([&] { return Size() >= count; }, timeout);
    }
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
    {
        return m_changed.WaitFor(done, timeout);
    }

private:
    std::mutex m_mutex;
    std::vector<T> m_values;
    Condition m_changed;
};

inline BPCommon DefaultRecord()
{
    return BPCommon{BP_METHOD_DEFAULT, 120.0, 80.0, 72, 1.0, 0.0, 0.0};
}

// A customised envelope: pressures in mmHg at scale 1.0, in kPa-sized figures at 0.1.
inline BPEnvelopeCustomized CustomRecord(double scale)
{
    BPEnvelopeCustomized r{};
    r.eMethod = BP_METHOD_CUSTOMIZED;
    r.dSystolic = 120 * scale;
    r.dDiastolic = 80 * scale;
    r.nHeartRate = 60;
    r.dPulseVolume = 1.0;
    r.dTopPressure = 300 * scale;
    r.dUpperBasePressure = 200 * scale;
    r.dUpperPeakPressure = 110 * scale;
    r.dLowerPeakPressure = 90 * scale;
    r.dLowerBasePressure = 40 * scale;
    r.dBottomPressure = 20 * scale;
    r.nSystolicAmplitude = 60;
    r.nLowerPeakAmplitude = 100;
    r.nUpperPeakAmplitude = 100;
    r.nDiastolicAmplitude = 70;
    r.nBaseAmplitude = 30;
    return r;
}

// Each simulated instrument counts its samples from a base of its own, so
// every sample tells whose it is and whether one was lost or repeated.
constexpr uint16_t kCounterBaseStep = 16384;

// An instrument on the port with the serial number CountingSerial(index),
// whose samples count from index * kCounterBaseStep.
inline std::unique_ptr<vasqsim::SimDevice> CountingInstrument(const std::string& folder, int port, int index)
{
    auto sim = std::make_unique<vasqsim::SimDevice>(folder, port);
    sim->WithModel([index](vasqsim::DeviceModel& model) {
        model.identity[4] = static_cast<uint8_t>(index & 0xFF);
        model.identity[5] = static_cast<uint8_t>(index >> 8);
        model.identity[6] = 7;
        model.sampleMode = vasqsim::SampleMode::Counter;
        model.counterBase = static_cast<uint16_t>(index * kCounterBaseStep);
    });
    return sim;
}

inline std::string CountingSerial(int index)
{
    return "NQX7001-07" + std::string(index < 10 ? "000" : "00") + std::to_string(index);
}

// A test whose ports and lock files live in a private folder; the library is
// released at its end.
class PrivateFolder : public ::testing::Test {
protected:
    void SetUp() override { SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str()); }
    void TearDown() override
    {
        VasqFree();
        SetDeviceFoldersForTesting(nullptr, nullptr);
    }
    TempFolder m_folder;
};

class ConnectedDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDeviceFoldersForTesting(m_folder.path().c_str(), m_folder.path().c_str());
        m_device = std::make_unique<vasqsim::SimDevice>(m_folder.path(), 0);
        m_baseline = ThreadCount();
        ASSERT_TRUE(VasqConnect(0, 5000));
        // The library keeps the unit it last read across connections, as an
        // application's earlier session may have left it: take the device's.
        VasqGetPressureUnit();
        m_idleThreads = ThreadCount();
        m_device->ClearLog();
    }
    void TearDown() override
    {
        VasqFree();
        m_device.reset();
        SetDeviceFoldersForTesting(nullptr, nullptr);
    }
    void WithModel(const std::function<void(vasqsim::DeviceModel&)>& fn) { m_device->WithModel(fn); }
    // The (category, command) pairs of the requests, as "P137 I136 I132".
    std::string Codes() const
    {
        std::string codes;
        for (const auto& f : m_device->Log())
            codes += (codes.empty() ? "" : " ") + std::string(1, static_cast<char>(f.category)) +
                     std::to_string(f.command);
        return codes;
    }
    size_t Count(uint8_t category, uint8_t command) const
    {
        const auto log = m_device->Log();
        return std::count_if(log.begin(), log.end(), [&](const vasqsim::LoggedFrame& f) {
            return f.category == category && f.command == command;
        });
    }
    // The payload of the last request with these codes; empty if there was none.
    std::vector<uint8_t> LastPayload(uint8_t category, uint8_t command) const
    {
        const auto log = m_device->Log();
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            if (it->category == category && it->command == command)
                return it->payload;
        }
        return {};
    }
    // The library's worker threads (and their timers) have ended.
    bool WaitForIdleThreads()
    {
        return m_changed.WaitFor([&] { return ThreadCount() <= m_idleThreads; }, std::chrono::seconds(5));
    }

    TempFolder m_folder;
    std::unique_ptr<vasqsim::SimDevice> m_device;
    Condition m_changed;
    int m_baseline = 0;     // before the connection: the simulator's thread included
    int m_idleThreads = 0;  // connected, no test or sampling
};

}  // namespace e2e
