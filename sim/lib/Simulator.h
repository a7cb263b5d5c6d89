#pragma once
// The VX-4 device simulator as a library: a simulated device (identification, clock,
// configuration items, values, files, system events, flow transducers behind the relay)
// served over a TCP port or a pseudo-terminal, with an optional line-speed model, random
// faults and a test hook. Tests and benchmarks run it in-process; the vx4sim program
// wraps it for the command line.

#include "Emitter.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vx4sim {

// Per-answer fault probabilities (0..1), each drawn independently for every request the
// device would answer: busy answers 251 without carrying the command out; otherwise the
// command runs and its answer may be lost (noAnswer), get a wrong command code, be cut
// short (truncated) or else get a wrong sum byte (badCheck), may leave delayMs late, and
// may drip out one byte every dripMs (drip) instead of going out whole. checksumChange alters the configuration checksum, as another program writing to the
// device would. The same seed gives the same sequence of faults.
struct Faults {
    double noAnswer = 0, badCheck = 0, truncated = 0, wrongCommand = 0, busy = 0, delay = 0;
    unsigned delayMs = 0;
    double drip = 0;
    unsigned dripMs = 0;
    double checksumChange = 0;
    unsigned seed = 1;
};

// Parses "noanswer=0.1,badcheck=0.05,truncated=0.05,wrongcmd=0.05,busy=0.05,delay=0.1:200,
// drip=0.1:900,checksum=0.01" (any subset, any order). On error returns false and a message.
bool ParseFaults(const std::string& text, Faults* faults, std::string* error);

// What a test hook decides for one request: Normal = let the simulated device answer;
// Silent = send nothing; Replace = send `bytes` exactly as given (the hook builds the frame).
struct HookResult {
    enum Kind { Normal, Silent, Replace } kind = Normal;
    std::vector<std::uint8_t> bytes;
};

// One graduation pair of a flow transducer.
struct GiGe {
    float gi = 0, ge = 0;
};

// A flow transducer reached through the relay command. `absent` makes every request to it
// answer with the "no answer" status word; `busyCount` answers that many requests with the
// "busy" status word before it answers normally again.
struct Transducer {
    std::uint32_t serial = 0;
    std::vector<GiGe> pairs;
    bool absent = false;
    unsigned busyCount = 0;
};

// Status words of a relay answer of exactly 4 data bytes.
inline constexpr std::uint32_t RelayStatusNoAnswer = 1; // no unit answered
inline constexpr std::uint32_t RelayStatusBusy = 2;     // the unit is busy

// One entry of the device's system event log (48 bytes on the wire). `text` is UTF-8.
struct SystemEvent {
    std::uint32_t taskId = 0, evCode = 0, tStamp = 0, evCnt = 0;
    std::string text;
};

// One system of the configuration summary (UTF-8 texts).
struct SystemInfo {
    std::string name, note;
};

class Device;

class Simulator {
public:
    Simulator();                                                     // the built-in demo device
    static std::unique_ptr<Simulator> FromJsonFile(const std::string& path, std::string* error);
    static std::unique_ptr<Simulator> FromJsonText(const std::string& text, std::string* error);
    static std::unique_ptr<Simulator> LargeProfile(unsigned items);  // --profile large:N
    ~Simulator();                                                    // stops

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Transports; only one runs at a time. Port 0 picks a free port.
    bool StartTcp(const std::string& host, std::uint16_t port, std::string* error);
    std::uint16_t Port() const;
    std::string Host() const;  // the bound address as dotted text
    bool StartPty(std::string* error);
    std::string PtyPath() const;
    void Stop();

    void SetBaud(unsigned baud);  // 0 = answer at once
    // An accepted constant write changes the configuration checksum only `ms` later.
    void SetWriteChecksumDelay(unsigned ms);
    void SetFaults(const Faults& f);
    void SetHook(std::function<HookResult(const std::vector<std::uint8_t>& request)> hook);
    // Called from the server thread with a line of text for every request and answer.
    void SetLog(std::function<void(const std::string& line)> log);
    // Traffic sent unasked while a client is connected (TCP) or always (pty), for the frame
    // monitors to watch; kind None stops it after the unit being sent. See Emitter.h.
    void SetEmission(const Emission& emission);
    std::uint64_t FramesEmitted() const;  // emitted frames written whole so far
    // Paced frames (--baud) that stalled in the middle: their next bytes left more than 50 ms
    // after their line time because the machine did not run the simulator in time.
    std::uint64_t LineStalls() const;

    std::vector<std::vector<std::uint8_t>> Requests() const;  // every request frame received, in order
    void ClearRequests();
    std::size_t ConnectionsServed() const;  // TCP clients accepted so far

    // Answers one request frame as the device would, without transport, faults or hook.
    // No value = the device stays silent (bad check bytes, another address, no frame).
    std::optional<std::vector<std::uint8_t>> Answer(const std::vector<std::uint8_t>& request);
    // The device's refusal of a request with this code (251 busy, 253 configuration changed or
    // a bad parameter), for hooks; no value where the device would stay silent.
    std::optional<std::vector<std::uint8_t>> Refusal(const std::vector<std::uint8_t>& request, std::uint8_t code);

    // --- Device state for tests to read or change (thread-safe copies) ---
    std::uint32_t Serial() const;
    std::vector<std::uint8_t> IdentRecord() const;  // the 42-byte identification record

    std::uint32_t ItemCount() const;
    std::uint32_t ConfigChecksum() const;
    void ChangeChecksum();  // as another program writing to the device would
    std::vector<SystemInfo> Systems() const;
    // Type byte followed by the record (empty for an item number out of range).
    std::vector<std::uint8_t> ItemRecord(std::uint16_t item) const;
    // The item's text as the device answers it to a text request; no value when refused.
    std::optional<std::string> ItemText(std::uint16_t item) const;
    // A constant's stored value; no value when the item is not a constant.
    std::optional<float> ConstValue(std::uint16_t item) const;
    // Identifiers of the calculated values, in configuration order.
    std::vector<std::uint16_t> CalcIds() const;
    // Current value and status of a calculated value; false when no such identifier.
    bool CalcValue(std::uint16_t id, float* value, std::uint32_t* status) const;
    // Pins a calculated value: it stops moving and reads (value, status) until set again.
    void SetCalcValue(std::uint16_t id, float value, std::uint32_t status);
    // Largest data part of a configuration block (at most and by default 1015).
    void SetBlockLimit(std::size_t bytes);

    std::vector<std::string> FileNames() const;
    std::optional<std::vector<std::uint8_t>> FileContents(const std::string& name) const;
    void SetFile(const std::string& name, std::vector<std::uint8_t> bytes);
    void RemoveFile(const std::string& name);

    std::vector<Transducer> Transducers() const;
    void SetTransducers(std::vector<Transducer> transducers);

    std::size_t SystemEventsLeft() const;
    void SetSystemEvents(std::vector<SystemEvent> events);

    // The device clock as its 6 BCD bytes (day, month, year, hour, minute, second).
    std::array<std::uint8_t, 6> Clock() const;
    void SetClock(const std::array<std::uint8_t, 6>& bcd);

    // The 12-byte archive descriptor for index 0..4.
    std::array<std::uint8_t, 12> ArchiveDescriptor(unsigned index) const;

private:
    explicit Simulator(std::unique_ptr<Device> device);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vx4sim
