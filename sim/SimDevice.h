#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DeviceModel.h"
#include "SimFrame.h"

namespace vasqsim {

struct LoggedFrame {
    std::chrono::steady_clock::time_point time;
    uint8_t category;
    uint8_t command;
    std::vector<uint8_t> payload;
};

enum class FaultKind {
    NoAnswer,        // the request goes unanswered
    BadChecksum,     // the answer's checksum is off by one
    Status,          // the answer carries a non-zero status
    Delay,           // the answer comes after delayMs
    Garbage,         // bytes go out before the answer
    StreamFlood,     // count unsolicited stream packets go out before the answer
    HangUpMidFrame,  // half the answer goes out, then the port hangs up
    // no answer; count stream packets go out unasked instead, delayMs apart
    StreamFloodWithoutAnswer,
};

struct Fault {
    Fault(FaultKind faultKind) : kind(faultKind) {}  // NOLINT: a kind alone is a fault
    FaultKind kind;
    uint8_t status = 1;
    int delayMs = 0;
    // Matching requests to let through before this one applies.
    int after = 0;
    int count = 0;
    std::vector<uint8_t> bytes;
};

constexpr int kAnyCode = -1;

// How the port's settings are when the library opens it.
enum class PortSettings {
    AsCreated,  // left as the system creates a pseudo-terminal
    // As another program may leave a port: CR/NL mapping, XON/XOFF, output
    // processing, echo, canonical mode, CLOCAL, and VMIN = VTIME = 0.
    Cooked,
};

// A Vasq9 on a pseudo-terminal. The slave side is exposed as <folder>/ttyACM<port>;
// unplugging removes that node and closes the master, so the library's reads
// see a hang-up. Runs a thread of its own that answers requests as they come.
class SimDevice {
public:
    SimDevice(std::string folder, int portNumber, bool plugIn = true,
              PortSettings settings = PortSettings::AsCreated);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    const std::string& NodePath() const { return m_nodePath; }
    int PortNumber() const { return m_portNumber; }

    bool Plug();
    void Unplug();
    bool Plugged() const;
    // The node goes while the port stays open: nothing reports the loss but the listing.
    void RemoveNode();
    // The port hangs up but its node stays, as a link to nothing.
    void HangUpKeepingNode();

    // Runs fn on the device model under the simulator's lock.
    void WithModel(const std::function<void(DeviceModel&)>& fn);

    // The fault applies once, to the next request that matches the codes.
    void InjectFault(const Fault& fault, int category = kAnyCode, int command = kAnyCode);
    // Faults injected that no request has met yet.
    size_t PendingFaults() const;
    bool WaitForFaultsApplied(std::chrono::milliseconds timeout) const;
    void ClearFaults();
    // Bytes that go out unasked, at once.
    void SendRaw(const std::vector<uint8_t>& bytes);
    // Sends the answers at 115200 baud instead of all at once.
    void SetPacing(bool paced);
    // How long a restart keeps the device off the bus.
    void SetRestartDelay(std::chrono::milliseconds delay);
    // Restarts completed (the device came back).
    size_t RestartsCompleted() const;
    bool WaitForRestarts(size_t count, std::chrono::milliseconds timeout) const;

    // Keeps (the default) or stops keeping the frame log and the received bytes;
    // a long-running simulator turns it off so that it does not grow.
    void SetLogging(bool keep);
    // Called on the port thread after each request, outside the simulator's
    // lock, with the request and the answer the device model gives (if any).
    using Trace = std::function<void(const Frame& request, const std::optional<Frame>& answer)>;
    void SetTrace(Trace trace);

    std::vector<LoggedFrame> Log() const;
    // Every byte received from the port, frames and anything else.
    std::vector<uint8_t> RawReceived() const;
    void ClearLog();
    bool WaitForLogSize(size_t count, std::chrono::milliseconds timeout) const;
    // Answers written so far (delayed ones count once they are out).
    size_t AnswersSent() const;
    bool WaitForAnswersSent(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct PendingFault {
        Fault fault;
        int category;
        int command;
    };

    void Serve(int masterFd, int slaveFd, int stopFd);
    bool HandleRequest(int masterFd, int slaveFd, int stopFd, const Frame& request);
    bool WriteAll(int masterFd, const std::vector<uint8_t>& bytes);
    bool SleepUnlessStopped(int stopFd, int milliseconds);
    void CloseLocked();
    void RestartLater();

    const std::string m_folder;
    const int m_portNumber;
    const std::string m_nodePath;
    const PortSettings m_settings;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    DeviceModel m_model;
    std::deque<PendingFault> m_faults;
    std::vector<LoggedFrame> m_log;
    std::vector<uint8_t> m_raw;
    bool m_logging = true;
    Trace m_trace;
    size_t m_answersSent = 0;
    bool m_paced = false;
    std::chrono::milliseconds m_restartDelay{300};
    size_t m_restartsCompleted = 0;
    bool m_closing = false;
    std::thread m_restartThread;

    std::mutex m_lifeMutex;  // plug and unplug
    int m_masterFd = -1;
    int m_slaveFd = -1;
    int m_stopFd = -1;
    std::atomic<bool> m_hungUp{false};
    std::thread m_thread;
};

}  // namespace vasqsim
