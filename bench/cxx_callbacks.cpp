// What a sample costs through a std::function of <vasq.hpp> beside a plain C
// callback: against the simulated Vasq9, the spacing of consecutive samples
// within a ten-sample burst (the library's loop and the callback, nothing
// else), in alternating rounds of each; and the call alone, in a tight loop.
// Usage: cxx_callbacks [seconds]
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <thread>
#include <vector>

#include "Figures.h"
#include "ForkedDevice.h"
#include "vasq.hpp"

void SetDeviceFoldersForTesting(const char* nodeFolder, const char* lockFolder);

namespace {

using Clock = std::chrono::steady_clock;

// Written only by the sampling thread until the stop has joined it.
struct Arrivals {
    std::vector<Clock::time_point> times;
    void Add()
    {
        if (times.size() < times.capacity())
            times.push_back(Clock::now());
    }
    // Spacing of neighbours within a burst, in nanoseconds; bursts are 50 ms apart.
    std::vector<double> WithinBursts() const
    {
        std::vector<double> spacing;
        for (size_t i = 1; i < times.size(); ++i) {
            const double ns = std::chrono::duration<double, std::nano>(times[i] - times[i - 1]).count();
            if (ns < 1e6)
                spacing.push_back(ns);
        }
        return spacing;
    }
};

void OnSample(double, void* context)
{
    static_cast<Arrivals*>(context)->Add();
}

double Median(std::vector<double> values)
{
    return Percentile(std::move(values), 0.5);
}

// The median spacing within bursts over one round of sampling, with a C callback or a std::function.
double SampleRound(bool throughFunction, double seconds)
{
    Arrivals arrivals;
    arrivals.times.reserve(static_cast<size_t>(seconds * 400) + 1000);
    const auto wait = std::chrono::duration<double>(seconds);
    if (throughFunction) {
        vasq::Device device = vasq::Device::open(0);
        device.startSampling([&arrivals](double) { arrivals.Add(); });
        std::this_thread::sleep_for(wait);
        device.stopSampling();
    } else {
        VasqDevice* device = VasqOpenDevice(0, 5000);
        if (device == nullptr || VasqDeviceStartSampling(device, OnSample, &arrivals) != 1)
            throw vasq::Error(VasqGetLastError(), VasqGetLastErrorText());
        std::this_thread::sleep_for(wait);
        VasqDeviceStopSampling(device);
        VasqCloseDevice(device);
    }
    const auto spacing = arrivals.WithinBursts();
    if (spacing.empty())
        throw vasq::Error(VASQ_ERROR_SYSTEM, "no burst arrived");
    return Median(spacing);
}

// Nanoseconds a call of the C callback and of the library's trampoline for a
// registered std::function take, over many calls through pointers the
// compiler cannot see through.
void CallCosts(double* cNs, double* functionNs)
{
    constexpr int kCalls = 1000000;
    volatile long sink = 0;
    auto* plain = +[](double pressure, void* context) {
        *static_cast<volatile long*>(context) += static_cast<long>(pressure);
    };
    vasq::detail::Registration registration(
        std::function<void(double)>([&sink](double pressure) { sink += static_cast<long>(pressure); }), "sampling",
        "bench");
    VasqDeviceSamplingCallback volatile viaC = plain;
    VasqDeviceSamplingCallback volatile viaFunction = &vasq::detail::onSample;
    void* const sinkContext = const_cast<long*>(&sink);
    auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i)
        viaC(1.0, sinkContext);
    *cNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
    start = Clock::now();
    for (int i = 0; i < kCalls; ++i)
        viaFunction(1.0, registration.context());
    *functionNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? atof(argv[1]) : 20.0;
    constexpr int kRounds = 4;
    const double roundSeconds = seconds / (2 * kRounds);
    const std::string folder = MakeBenchFolder();
    int result = 1;
    {
        ForkedDevice sim(folder, [](vasqsim::DeviceModel& m) { m.sampleMode = vasqsim::SampleMode::Counter; });
        SetDeviceFoldersForTesting(folder.c_str(), folder.c_str());
        try {
            if (!sim.ready())
                throw vasq::Error(VASQ_ERROR_NOT_FOUND, "no simulated device");
            std::vector<double> viaC, viaFunction, extra;
            for (int round = 0; round < kRounds; ++round) {
                // Alternating, so that a drift of the machine's load weighs on both alike.
                const double c = SampleRound(false, roundSeconds);
                const double function = SampleRound(true, roundSeconds);
                viaC.push_back(c);
                viaFunction.push_back(function);
                extra.push_back(function - c);
            }
            std::vector<double> callC, callFunction, callExtra;
            for (int run = 0; run < 7; ++run) {
                double cNs = 0, functionNs = 0;
                CallCosts(&cNs, &functionNs);
                callC.push_back(cNs);
                callFunction.push_back(functionNs);
                callExtra.push_back(functionNs - cNs);
            }
            printf("cxx_callbacks: %d rounds of %.1f s of sampling each way, then 7 runs of a million calls\n",
                   kRounds, roundSeconds);
            Report("sample spacing in a burst, C callback", viaC, "ns", "reference");
            Report("sample spacing in a burst, std::function", viaFunction, "ns", "difference below");
            Report("a sample through std::function, extra", extra, "ns", "< 1000 ns");
            Report("one call, C callback", callC, "ns", "reference");
            Report("one call, std::function through vasq.hpp", callFunction, "ns", "difference below");
            Report("one call through std::function, extra", callExtra, "ns", "< 1000 ns");
            result = 0;
        } catch (const vasq::Error& e) {
            fprintf(stderr, "cxx_callbacks: %s (error %d)\n", e.what(), e.code());
        }
        SetDeviceFoldersForTesting(nullptr, nullptr);
    }
    RemoveBenchFolder(folder);
    return result;
}
