// Uses every part of <vasq.hpp>, so that compiling this file with strict
// warnings instantiates and checks all of it. Never run: compiled only.
#include <vasq.hpp>

#include <cstdio>
#include <utility>

namespace {

void UseEverything()
{
    vasq::setLogHandler([](vasq::LogLevel level, std::string_view line) {
        std::printf("%d %.*s\n", static_cast<int>(level), static_cast<int>(line.size()), line.data());
    }, vasq::LogLevel::Debug);
    try {
        vasq::Device device = vasq::Device::open();
        vasq::Device other = vasq::Device::open(1, std::chrono::milliseconds(200));
        other = std::move(device);
        vasq::Device third(std::move(other));
        std::printf("%s %d %p %s\n", third.serialNumber().c_str(), third.portNumber(),
                    static_cast<void*>(third.native()), vasq::version().c_str());
        third.setConnectionCallback([](bool connected) { std::printf("%d\n", connected ? 1 : 0); });
        const MODEL_INFORMATION model = third.deviceInformation();
        const HW_INFORMATION hardware = third.hardwareInformation();
        std::printf("%d %d\n", model.nSerialIndex, hardware.nFWVersion1);
        if (third.unit() == vasq::Unit::kPa)
            third.setUnit(vasq::Unit::mmHg);
        third.rebaseZero(true);
        third.startSampling([](double pressure) { std::printf("%f\n", pressure); });
        third.stopSampling();
        std::printf("%d\n", third.sampleRate());
        third.enableAirPort(1, false);
        third.resetAirPorts();
        third.updateAirPorts();
        third.pausePump();
        const BPCommon sent = third.runBPTest(BPCommon{BP_METHOD_DEFAULT, 120.0, 80.0, 72, 1.0, 0.0, 0.0},
                                              [](vasq::Status status, double systolic, double r2, double r3,
                                                 double r4) {
                                                  std::printf("%d %f %f %f %f\n", static_cast<int>(status), systolic,
                                                              r2, r3, r4);
                                              });
        std::printf("%f\n", sent.dSystolic);
        BPEnvelopeCustomized envelope{};
        const vasq::EnvelopeTable table = vasq::envelopeTable(envelope, vasq::Unit::mmHg);
        envelope = third.setEnvelope(envelope, table);
        envelope = third.runBPTest(envelope, nullptr);
        const auto leak = [](vasq::Status status, double wait, double value, int code) {
            std::printf("%d %f %f %d\n", static_cast<int>(status), wait, value, code);
        };
        third.runLeakageTest(150.0, 3, 1.5, leak);
        third.runLeakageCalibration(150.0, leak);
        std::printf("%f\n", third.leakageCalibrationRate());
        third.runOverpressureTest(true, 300.0, 280.0, 250.0,
                                  [](vasq::Status, double, double, double, double, double, double, double) {});
        third.runStaticPressure(150.0, [](vasq::Status, double, int) {});
        third.runStaticPressure(150.0, 10, true, [](vasq::Status, double, int) { throw 1; });
        std::printf("%d\n", third.waitStableSeconds());
        third.stopTest();
        third.switchToAdultMode(true);
        third.switchTo500mlMode(false);
        std::printf("%d\n", third.is500mlMode() ? 1 : 0);
        third.writePngFileName("a.png");
        const char picture[] = {1, 2, 3};
        third.writePng(picture, sizeof picture);
        third.close();
    } catch (const vasq::Error& e) {
        std::printf("%d %s\n", e.code(), e.what());
    }
    vasq::setLogHandler(nullptr);
}

}  // namespace

int main(int argc, char**)
{
    if (argc > 100)
        UseEverything();
    return 0;
}
