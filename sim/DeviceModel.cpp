#include "DeviceModel.h"

#include <algorithm>
#include <cmath>

namespace vasqsim {

namespace {

template <size_t N>
std::vector<uint8_t> Bytes(const std::array<uint8_t, N>& record)
{
    return std::vector<uint8_t>(record.begin(), record.end());
}

// Stores a write into a record; a shorter write replaces only its own length.
template <size_t N>
bool Store(std::array<uint8_t, N>& record, const std::vector<uint8_t>& payload)
{
    if (payload.empty() || payload.size() > N)
        return false;
    std::copy(payload.begin(), payload.end(), record.begin());
    return true;
}

void PutU16(uint8_t* at, unsigned value)
{
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

}  // namespace

DeviceModel::DeviceModel()
{
    // "QX", model 'p', variant 1, serial 07-0042, hardware 2.1, firmware 1.4.2, boot loader 1.0.3.
    identity = {'Q', 'X', 0x70, 0x01, 42, 0, 7, 0, 2, 1, 1, 4, 2, 0, 1, 0, 3};
    for (size_t i = 0; i < mfgRecord.size(); ++i)
        mfgRecord[i] = static_cast<uint8_t>(0xA0 + i);

    deviceSettings = {3, 0, 0, 1};
    staticPressure = {0x01, 0x00, 100, 0, 150, 0, 200, 0, 250, 0, 44, 1, 94, 1, 144, 1, 194, 1, 244, 1, 0x2C, 0x01,
                      0x34, 0x12, 0};
    for (size_t i = 0; i < bpSetting.size(); ++i)
        bpSetting[i] = static_cast<uint8_t>(0x30 + i);
    // Method 1: a stored default envelope (mmHg) with its own amplitudes.
    std::array<uint8_t, 30> method1{};
    const unsigned pressures[8] = {300, 200, 120, 110, 90, 80, 60, 20};
    for (int i = 0; i < 8; ++i)
        PutU16(&method1[2 * i], pressures[i]);
    PutU16(&method1[16], 0);
    PutU16(&method1[18], 0);
    method1[20] = 60;
    method1[21] = 200;
    method1[22] = 190;
    method1[23] = 80;
    method1[24] = 10;
    method1[25] = 1;
    PutU16(&method1[26], 72);
    PutU16(&method1[28], 100);
    envelopeParams[1] = method1;
    overpressureSetting = {1, 0x2C, 0x01, 0xC8, 0x00, 0x64, 0x00};
    PutU16(&bpResult[0], 120);
    PutU16(&bpResult[2], 800);
    PutU16(&bpResult[4], 720);
    PutU16(&bpResult[6], 50);
    PutU16(&leakageResult[0], 123);
    PutU16(&leakageResult[2], 45);
    leakageResult[4] = 1;
    for (int i = 0; i < 6; ++i)
        PutU16(&overpressureResult[2 * i], 300 + 10 * i);
}

Frame DeviceModel::Answer(const Frame& request, std::vector<uint8_t> payload, uint8_t status)
{
    Frame answer;
    answer.category = request.category;
    answer.command = request.command;
    answer.status = status;
    answer.payload = std::move(payload);
    return answer;
}

void DeviceModel::NextScripted(std::deque<uint8_t>& script, uint8_t& setting)
{
    if (script.empty())
        return;
    setting = script.front();
    script.pop_front();
}

Frame DeviceModel::StoreByte(const Frame& request, uint8_t& setting) const
{
    if (request.payload.size() != 1)
        return Refuse(request);
    setting = request.payload[0];
    return Answer(request);
}

namespace {

constexpr double kSampleSeconds = 0.005;
constexpr double kKpaPerMmhg = 0.133322;
// How fast the pump and the valve bring the cuff to a target, as a time constant.
constexpr double kApproachSeconds = 0.15;
constexpr double kDeflationMmhgPerSecond = 10.0;
constexpr double kDeflationHeadroomMmhg = 20.0;
constexpr double kPeakPulseMmhg = 3.0;
// How fast the cuff loses pressure during a leakage test with the default leak.
constexpr double kLeakMmhgPerSecond = 0.5;
constexpr double kDefaultLeakMmhg = 4.5;
// What a calibration reports.
constexpr double kCalibrationValueMmhg = 12.3;
// Past the valve's pressure the pump keeps pushing towards this much more.
constexpr double kValveOvershootMmhg = 30.0;

uint16_t U16At(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

// Fields of the envelope parameter record that the BP simulation follows.
struct BPParameters {
    double systolic;
    double diastolic;
    double heartRate;
    double pulseVolume;
};

}  // namespace

double DeviceModel::SettingPressureMmhg(const uint8_t* at) const
{
    const double value = U16At(at);
    return deviceSettings[1] == 1 ? value / 10.0 / kKpaPerMmhg : value;
}

unsigned DeviceModel::SettingPressureTenths(const uint8_t* at) const
{
    // kPa settings already travel in tenths.
    return deviceSettings[1] == 1 ? U16At(at) : U16At(at) * 10u;
}

uint16_t DeviceModel::ResultCounts(double mmhg) const
{
    const double counts = deviceSettings[1] == 1 ? mmhg * kKpaPerMmhg * 10.0 : mmhg;
    return static_cast<uint16_t>(std::lround(std::clamp(counts, 0.0, 65535.0)));
}

uint16_t DeviceModel::FineCounts(double mmhg) const
{
    const double counts = deviceSettings[1] == 1 ? mmhg * kKpaPerMmhg * 100.0 : mmhg * 10.0;
    return static_cast<uint16_t>(std::lround(std::clamp(counts, 0.0, 65535.0)));
}

bool DeviceModel::TestInProgress() const
{
    const bool runningCode = status == kStatusPressureRunning || status == kStatusRunning || status == kStatusHolding ||
                             status == kStatusWaitStable;
    return testRunning && (!scriptedStatuses.empty() || runningCode);
}

bool DeviceModel::BPSimulationRuns() const
{
    return testRunning && operationMode == 2 && status != kStatusCompleted;
}

double DeviceModel::NextCuffPressure()
{
    auto approach = [this](double target) { cuffMmhg += (target - cuffMmhg) * (kSampleSeconds / kApproachSeconds); };
    if (!testRunning) {
        approach(0.0);
        return cuffMmhg;
    }
    switch (operationMode) {
    case 0:  // static pressure: pump up to the first enabled pressure and hold it
        approach(SettingPressureMmhg(&staticPressure[2]));
        return cuffMmhg;
    case 2: {
        const auto found = envelopeParams.find(lastEnvelopeMethod);
        const uint8_t* record = found != envelopeParams.end() ? found->second.data() : nullptr;
        if (record == nullptr || !BPSimulationRuns()) {
            approach(0.0);
            return cuffMmhg;
        }
        const BPParameters bp = {SettingPressureMmhg(record + 4), SettingPressureMmhg(record + 10),
                                 static_cast<double>(U16At(record + 26)), U16At(record + 28) / 100.0};
        if (!deflating) {
            cuffMmhg = bp.systolic + kDeflationHeadroomMmhg;
            pulsePhase = 0.0;
            deflating = true;
        }
        cuffMmhg = std::max(0.0, cuffMmhg - kDeflationMmhgPerSecond * kSampleSeconds);
        // Oscillations grow towards the mean pressure and fade beyond systolic and diastolic.
        const double mean = bp.diastolic + (bp.systolic - bp.diastolic) / 3.0;
        const double width = std::max(5.0, 0.4 * (bp.systolic - bp.diastolic));
        const double amplitude = kPeakPulseMmhg * bp.pulseVolume * std::exp(-std::pow((cuffMmhg - mean) / width, 2));
        pulsePhase = std::fmod(pulsePhase + bp.heartRate / 60.0 * kSampleSeconds, 1.0);
        const double pulse = std::pow(std::sin(M_PI * pulsePhase), 2);
        return cuffMmhg + amplitude * pulse;
    }
    case 5: {  // overpressure: the pump pushes until the monitor's valve opens, which lets the air out
        const double valve = dutValveMmhg.value_or(SettingPressureMmhg(&overpressureSetting[1]));
        valveOpened = valveOpened || cuffMmhg >= valve;
        approach(valveOpened ? 0.0 : valve + kValveOvershootMmhg);
        return cuffMmhg;
    }
    default:  // leakage test and calibration: up to the test pressure, then the monitor's leak
        if (status == kStatusPressureRunning || status == kStatusRunning)
            cuffMmhg = std::max(0.0, cuffMmhg - kLeakMmhgPerSecond * dutLeakMmhg / kDefaultLeakMmhg * kSampleSeconds);
        else
            approach(SettingPressureMmhg(&leakSetting[0]));
        return cuffMmhg;
    }
}

Frame DeviceModel::NextStreamPacket()
{
    Frame packet;
    packet.category = kParameterCategory;
    packet.command = kStreamCommand;
    for (size_t i = 0; i < kSamplesPerPacket; ++i) {
        int16_t sample;
        if (sampleMode == SampleMode::Counter) {
            sample = static_cast<int16_t>((counterBase + samplesSent) & 0xFFFF);
        } else {
            const double mmhg = NextCuffPressure();
            const double counts = deviceSettings[1] == 1 ? mmhg * kKpaPerMmhg * 100.0 : mmhg * 10.0;
            sample = static_cast<int16_t>(std::lround(std::clamp(counts, -32768.0, 32767.0)));
        }
        packet.payload.push_back(static_cast<uint8_t>(sample & 0xFF));
        packet.payload.push_back(static_cast<uint8_t>((sample >> 8) & 0xFF));
        ++samplesSent;
    }
    return packet;
}

void DeviceModel::PrepareResults()
{
    switch (operationMode) {
    case 2: {
        // The simulated reading: the set pressures, heart rate and pulse volume.
        const auto found = envelopeParams.find(lastEnvelopeMethod);
        if (found == envelopeParams.end())
            return;
        const uint8_t* record = found->second.data();
        PutU16(&bpResult[0], U16At(record + 4));
        PutU16(&bpResult[2], SettingPressureTenths(record + 10));
        PutU16(&bpResult[4], U16At(record + 26) * 10);
        PutU16(&bpResult[6], U16At(record + 28) / 10);
        break;
    }
    case 5:
        // The pressure at which the monitor's valve opened, then the other two set pressures in tenths of the unit.
        if (dutValveMmhg)
            PutU16(&overpressureResult[0], ResultCounts(*dutValveMmhg));
        else
            PutU16(&overpressureResult[0], U16At(&overpressureSetting[1]));
        PutU16(&overpressureResult[2], SettingPressureTenths(&overpressureSetting[3]));
        PutU16(&overpressureResult[4], SettingPressureTenths(&overpressureSetting[5]));
        break;
    case 3:
    case 4:
        // The same simulated leak whatever the unit the device shows it in.
        PutU16(&leakageResult[0], FineCounts(kCalibrationValueMmhg));
        PutU16(&leakageResult[2], FineCounts(dutLeakMmhg));
        leakageResult[4] = 1;
        break;
    default:
        break;
    }
}

void DeviceModel::LoadStatusSequence()
{
    deflating = false;
    valveOpened = false;
    if (!runsStatusSequences || !scriptedStatuses.empty())
        return;
    m_sequenceLoaded = true;
    PrepareResults();
    auto add = [this](uint8_t code, int queries) { scriptedStatuses.insert(scriptedStatuses.end(), queries, code); };
    // The wait-stable time falls to 0 while the device waits for a stable pressure.
    auto waitStable = [&](int queries) {
        add(kStatusWaitStable, queries);
        scriptedWaitStable.clear();
        for (int i = queries; i > 0; --i)
            scriptedWaitStable.push_back(static_cast<uint8_t>(std::min(255, 10 * i - 5)));
        scriptedWaitStable.push_back(0);
    };
    switch (operationMode) {
    case 2:  // BP simulation
        add(kStatusRunning, 2 * phaseQueries);
        break;
    case 0:  // static pressure
        waitStable(phaseQueries);
        add(kStatusHolding, phaseQueries);
        break;
    case 5:  // overpressure
        waitStable(phaseQueries);
        add(kStatusRunning, phaseQueries);
        break;
    default:  // leakage test and calibration
        waitStable(phaseQueries);
        add(kStatusPressureRunning, phaseQueries);
        break;
    }
    add(kStatusCompleted, 1);
}

std::optional<Frame> DeviceModel::Handle(const Frame& request)
{
    const auto& p = request.payload;
    switch (request.category) {
    case kIdentityCategory:
        switch (request.command) {
        case 0:
            return Answer(request, Bytes(identity));
        case 1:
            return Answer(request, Bytes(mfgRecord));
        case 128:
            if (p.size() != identity.size())
                return Refuse(request);
            // The boot loader version is the device's own; a write leaves it.
            std::copy(p.begin(), p.begin() + 13, identity.begin());
            return Answer(request);
        case 129:
            if (p.size() != mfgRecord.size())
                return Refuse(request);
            std::copy(p.begin(), p.end(), mfgRecord.begin());
            return Answer(request);
        default:
            return Refuse(request);
        }
    case kInstrumentCategory:
        return HandleInstrument(request);
    case kParameterCategory:
        return HandleParameter(request);
    case kResultCategory:
        return HandleResult(request);
    default:
        return Refuse(request);
    }
}

std::optional<Frame> DeviceModel::HandleInstrument(const Frame& request)
{
    const auto& p = request.payload;
    switch (request.command) {
    case 0:
        NextScripted(scriptedStatuses, status);
        if (scriptedStatuses.empty())
            m_sequenceLoaded = false;
        return Answer(request, {status});
    case 10:
        return Answer(request, {sdCardPresent});
    case 17: {
        const uint32_t size = reportedFirmwareSize.value_or(firmwareBytes);
        return Answer(request, {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                                static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)});
    }
    case 20:
        return Answer(request, {zeroBase});
    case 21:
        NextScripted(scriptedWaitStable, waitStableTenths);
        return Answer(request, {waitStableTenths});
    case 131:
        return StoreByte(request, calibrationNumber);
    case 132:
        if (TestInProgress()) {
            if (ignoresStartDuringTest) {
                ++ignoredStarts;
                return Answer(request);
            }
            // The new test replaces the one that ran; a script stays.
            if (m_sequenceLoaded) {
                scriptedStatuses.clear();
                scriptedWaitStable.clear();
            }
        }
        testRunning = true;
        LoadStatusSequence();
        return Answer(request);
    case 133:
        testRunning = false;
        deflating = false;
        // What a start loaded ends with its test; a script stays for the queries it was written for.
        if (m_sequenceLoaded) {
            scriptedStatuses.clear();
            scriptedWaitStable.clear();
        }
        m_sequenceLoaded = false;
        status = kStatusIdle;
        return Answer(request);
    case 134:
        if (p.size() != 4)
            return Refuse(request);
        standPressure = static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
        return Answer(request);
    case 135:
        if (p.size() != 1)
            return Refuse(request);
        hostConnected = p[0];
        return Answer(request);
    case 136:
        return StoreByte(request, operationMode);
    case 137:
        ++buzzerCount;
        return Answer(request);
    case 139:
        ++pumpPauses;
        return Answer(request);
    case 140:
        if (p.size() != 3)
            return Refuse(request);
        std::copy(p.begin(), p.end(), debugFlags.begin());
        return Answer(request);
    case 141:
        pictureName.assign(p.begin(), p.end());
        picture.clear();
        pictureBlocks = 0;
        return Answer(request);
    case 142: {
        if (p.size() < 8)
            return Refuse(request);
        const uint32_t offset = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        if (picture.size() < offset + p.size() - 8)
            picture.resize(offset + p.size() - 8);
        std::copy(p.begin() + 8, p.end(), picture.begin() + offset);
        ++pictureBlocks;
        return Answer(request);
    }
    case 143: {
        if (p.size() < 8)
            return Refuse(request);
        const uint32_t offset = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        if (offset == 0) {
            firmwareBytes = 0;
            firmwareBlocks = 0;
        }
        firmwareBytes += static_cast<uint32_t>(p.size() - 8);
        ++firmwareBlocks;
        return Answer(request);
    }
    case 144:
        ++firmwareApplies;
        restartRequested = true;
        return std::nullopt;
    case 146:
        ++restarts;
        restartRequested = true;
        return std::nullopt;
    case 148:
        return StoreByte(request, zeroBase);
    default:
        return Refuse(request);
    }
}

std::optional<Frame> DeviceModel::HandleParameter(const Frame& request)
{
    const auto& p = request.payload;
    switch (request.command) {
    case kStreamCommand:
        return NextStreamPacket();
    case 3:
        return Answer(request, Bytes(deviceSettings));
    case 4:
        return Answer(request, Bytes(staticPressure));
    case 5:
        return Answer(request, Bytes(bpSetting));
    case 6: {
        leakCalibrationQuery = p;
        std::vector<uint8_t> answer(6);
        PutU16(&answer[4], FineCounts(leakCalibrationRateMmhg));
        return Answer(request, answer);
    }
    case 7:
        return Answer(request, Bytes(overpressureSetting));
    case 8: {
        if (p.size() != 1)
            return Refuse(request);
        const auto found = envelopeParams.find(p[0]);
        if (found == envelopeParams.end())
            return Answer(request, std::vector<uint8_t>(30));
        return Answer(request, Bytes(found->second));
    }
    case 9:
        return Answer(request, {static_cast<uint8_t>(airPortStatus & 0xFF), static_cast<uint8_t>(airPortStatus >> 8)});
    case 129:
        return StoreByte(request, maxAutoSequence);
    case 131:
        return p.size() == deviceSettings.size() && Store(deviceSettings, p) ? Answer(request) : Refuse(request);
    case 132:
        return p.size() == staticPressure.size() && Store(staticPressure, p) ? Answer(request) : Refuse(request);
    case 133:
        // The short form carries the first 12 bytes of the record, the long form all 30.
        return (p.size() == 12 || p.size() == 30) && Store(bpSetting, p) ? Answer(request) : Refuse(request);
    case 134:
        return p.size() == leakSetting.size() && Store(leakSetting, p) ? Answer(request) : Refuse(request);
    case 135:
        return p.size() == overpressureSetting.size() && Store(overpressureSetting, p) ? Answer(request)
                                                                                         : Refuse(request);
    case 136: {
        if (p.size() != 30)
            return Refuse(request);
        std::array<uint8_t, 30> record{};
        std::copy(p.begin(), p.end(), record.begin());
        envelopeParams[p[25]] = record;
        lastEnvelopeMethod = p[25];
        return Answer(request);
    }
    case 137:
        return StoreByte(request, airPortMask);
    case 138:
        if (p.size() % 6 != 0)
            return Refuse(request);
        envelopePoints.insert(envelopePoints.end(), p.begin(), p.end());
        ++envelopeBlocks;
        return Answer(request);
    case 139:
    case 140:
    case 141:
    case 142:
        autoSequenceSteps[request.command] = p;
        return Answer(request);
    case 143:
        if (p.size() != 2)
            return Refuse(request);
        fixedStaticPressure = p;
        return Answer(request);
    default:
        return Refuse(request);
    }
}

std::optional<Frame> DeviceModel::HandleResult(const Frame& request)
{
    const auto& p = request.payload;
    switch (request.command) {
    case 0:
        NextScripted(scriptedStaticResults, staticResult);
        return Answer(request, {staticResult});
    case 1:
        return Answer(request, Bytes(bpResult));
    case 2:
        return Answer(request, Bytes(leakageResult));
    case 3:
        return Answer(request, Bytes(overpressureResult));
    case 5: {
        if (p.size() != 5)
            return Refuse(request);
        lastSdRequest = p;
        const size_t length = std::min<size_t>(p[2] | (p[3] << 8), 255);
        std::vector<uint8_t> data(length);
        for (size_t i = 0; i < length; ++i)
            data[i] = static_cast<uint8_t>(p[0] + i);
        return Answer(request, data);
    }
    default:
        return Refuse(request);
    }
}

}  // namespace vasqsim
