#pragma once

#include <stdint.h>

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SimFrame.h"

namespace vasqsim {

constexpr uint8_t kIdentityCategory = 'S';
constexpr uint8_t kInstrumentCategory = 'I';
constexpr uint8_t kParameterCategory = 'P';
constexpr uint8_t kResultCategory = 'R';
constexpr uint8_t kStreamCommand = 2;
constexpr size_t kSamplesPerPacket = 10;

// Device status codes the simulator runs through.
constexpr uint8_t kStatusIdle = 0;
constexpr uint8_t kStatusRunning = 10;
constexpr uint8_t kStatusPressureRunning = 2;
constexpr uint8_t kStatusHolding = 12;
constexpr uint8_t kStatusWaitStable = 13;
constexpr uint8_t kStatusCompleted = 14;

enum class SampleMode {
    Waveform,  // the cuff pressure of what the device simulates
    Counter,   // a running sample number, so that gaps and repeats show
};

// What the device knows and how it answers one request. It keeps every
// settings record between a read and the following write. The simulator's
// port thread calls it under the simulator's lock; tests read and change it
// through SimDevice::WithModel.
class DeviceModel {
public:
    DeviceModel();

    // The answer to one request; nothing when the device sends no answer.
    std::optional<Frame> Handle(const Frame& request);

    // The next stream packet: ten little-endian int16 samples, 5 ms apart, in
    // counts of 0.1 mmHg or 0.01 kPa (the device's unit).
    Frame NextStreamPacket();

    // Identity and manufacturing data.
    std::array<uint8_t, 17> identity{};
    std::array<uint8_t, 64> mfgRecord{};

    // Settings records, as the device stores them.
    std::array<uint8_t, 4> deviceSettings{};  // cuff location, unit, adult flag, 500 ml flag
    std::array<uint8_t, 25> staticPressure{};
    std::array<uint8_t, 30> bpSetting{};
    std::map<uint8_t, std::array<uint8_t, 30>> envelopeParams;  // by method
    std::array<uint8_t, 6> leakSetting{};
    std::array<uint8_t, 7> overpressureSetting{};
    std::map<uint8_t, std::vector<uint8_t>> autoSequenceSteps;  // last step, by command
    uint8_t maxAutoSequence = 0;
    std::vector<uint8_t> fixedStaticPressure;
    double leakCalibrationRateMmhg = 2.5;
    std::vector<uint8_t> leakCalibrationQuery;

    // Block transfers: raw envelope points and the picture.
    std::vector<uint8_t> envelopePoints;
    int envelopeBlocks = 0;
    std::string pictureName;
    std::vector<uint8_t> picture;
    int pictureBlocks = 0;

    // Instrument state.
    uint8_t airPortMask = 0;
    uint16_t airPortStatus = 0x0002;
    uint8_t status = kStatusIdle;
    // Statuses the next status queries report, one each; the last one stays.
    // A stop ends those a start loaded (see runsStatusSequences), not a script.
    std::deque<uint8_t> scriptedStatuses;
    // Wait-stable times (tenths of a second) the next wait-stable queries report, likewise.
    std::deque<uint8_t> scriptedWaitStable;
    // Static-pressure test results the next result queries report, likewise.
    std::deque<uint8_t> scriptedStaticResults;
    // When set, a start loads a plausible status sequence for the operating
    // function (unless statuses are scripted) and prepares consistent results.
    bool runsStatusSequences = true;
    // Status queries that each phase of a loaded sequence lasts.
    int phaseQueries = 4;
    // When set, a start that comes while a test is in progress is acknowledged
    // and changes nothing: the running test goes on, as an instrument may do.
    // Otherwise such a start begins the new test at once.
    bool ignoresStartDuringTest = false;
    // Starts acknowledged and ignored so, for tests.
    int ignoredStarts = 0;
    uint8_t operationMode = 0;
    bool testRunning = false;
    int hostConnected = -1;
    uint8_t zeroBase = 0;
    uint8_t waitStableTenths = 37;
    int32_t standPressure = 0;
    std::array<uint8_t, 3> debugFlags{};
    uint8_t calibrationNumber = 0;
    int buzzerCount = 0;
    int pumpPauses = 0;
    uint8_t sdCardPresent = 1;
    std::vector<uint8_t> lastSdRequest;
    int restarts = 0;
    // Set when a command makes the device restart; the simulator then drops
    // off the bus and comes back with the same identity.
    bool restartRequested = false;

    // Firmware transfer.
    uint32_t firmwareBytes = 0;
    int firmwareBlocks = 0;
    int firmwareApplies = 0;
    // When set, the received size the device reports instead of the real count.
    std::optional<uint32_t> reportedFirmwareSize;

    // Results the result commands report.
    uint8_t staticResult = 1;
    std::array<uint8_t, 8> bpResult{};
    std::array<uint8_t, 6> leakageResult{};
    std::array<uint8_t, 12> overpressureResult{};

    // Status byte of the answer to a command the device does not know.
    uint8_t unknownCommandStatus = 0xEE;
    uint32_t samplesSent = 0;
    SampleMode sampleMode = SampleMode::Waveform;
    // Where the running sample number starts, so that several instruments'
    // streams can be told apart.
    uint16_t counterBase = 0;
    // The simulated cuff pressure in mmHg, and the phase of the simulated pulse.
    double cuffMmhg = 0.0;
    double pulsePhase = 0.0;
    bool deflating = false;
    // The method of the last envelope parameter record written: what a BP simulation runs.
    uint8_t lastEnvelopeMethod = 1;
    // The monitor under test: the leak of its cuff system that a leakage test
    // measures, and where its overpressure valve opens (unset: at the pressure
    // the overpressure test asks for), both in mmHg.
    double dutLeakMmhg = 4.5;
    std::optional<double> dutValveMmhg;
    bool valveOpened = false;

private:
    // The queued statuses are those a start loaded, not a script.
    bool m_sequenceLoaded = false;
    std::optional<Frame> HandleInstrument(const Frame& request);
    std::optional<Frame> HandleParameter(const Frame& request);
    std::optional<Frame> HandleResult(const Frame& request);
    void LoadStatusSequence();
    void PrepareResults();
    double NextCuffPressure();
    double SettingPressureMmhg(const uint8_t* at) const;
    // A pressure of a settings record in tenths of the device's unit.
    unsigned SettingPressureTenths(const uint8_t* at) const;
    // A pressure in counts of 0.1 mmHg or 0.01 kPa, as samples and leak figures travel.
    uint16_t FineCounts(double mmhg) const;
    // A pressure as results travel: whole mmHg or tenths of a kPa.
    uint16_t ResultCounts(double mmhg) const;
    bool BPSimulationRuns() const;
    // A test runs and has not reached its end.
    bool TestInProgress() const;
    // Takes the next scripted value into the setting, if one is scripted.
    static void NextScripted(std::deque<uint8_t>& script, uint8_t& setting);
    static Frame Answer(const Frame& request, std::vector<uint8_t> payload = {}, uint8_t status = 0);
    // A one-byte setting: stored and acknowledged, refused at any other length.
    Frame StoreByte(const Frame& request, uint8_t& setting) const;
    Frame Refuse(const Frame& request) const { return Answer(request, {}, unknownCommandStatus); }
};

}  // namespace vasqsim
