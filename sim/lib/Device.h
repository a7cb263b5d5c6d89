#pragma once
// The simulated VX-4 at run time: its state (clock, configuration, calculated values,
// files, system events, flow transducers) and the device side of every command. It turns
// one complete request frame into the answer frame, or into silence. Thread-safe: every
// public operation takes the device's own lock.

#include "DeviceDescription.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vx4sim {

class Device {
public:
    explicit Device(DeviceDescription description);

    // `shortFrame` selects the short (addressless) frame layout. No value = no answer.
    std::optional<std::vector<std::uint8_t>> Process(const std::uint8_t* frame, std::size_t size,
                                                     bool shortFrame);
    // A refusal frame (data-less answer with `code`) addressed as the answer to `frame`
    // would be; no value when the device would not answer the frame at all.
    std::optional<std::vector<std::uint8_t>> Refusal(const std::uint8_t* frame, std::size_t size,
                                                     bool shortFrame, std::uint8_t code);

    std::uint32_t Serial() const { return serial_; }
    std::vector<std::uint8_t> IdentRecord() const;
    std::uint32_t ItemCount() const;
    std::uint32_t ConfigChecksum() const;
    void ChangeChecksum();
    // An accepted constant write shows in the checksum only `ms` later (0 = at once); until
    // then the checksum answered is the one from before the write.
    void SetWriteChecksumDelay(unsigned ms);
    std::vector<SystemInfo> Systems() const;
    std::vector<std::uint8_t> ItemRecord(std::uint16_t item) const;
    std::optional<std::string> ItemText(std::uint16_t item) const;
    std::optional<float> ConstValue(std::uint16_t item) const;
    std::vector<std::uint16_t> CalcIds() const;
    bool CalcValue(std::uint16_t id, float* value, std::uint32_t* status) const;
    void SetCalcValue(std::uint16_t id, float value, std::uint32_t status);
    void SetBlockLimit(std::size_t bytes);

    std::vector<std::string> FileNames() const;
    std::optional<std::vector<std::uint8_t>> FileContents(const std::string& name) const;
    void SetFile(const std::string& name, std::vector<std::uint8_t> bytes);
    void RemoveFile(const std::string& name);

    std::vector<Transducer> Transducers() const;
    void SetTransducers(std::vector<Transducer> transducers);

    std::size_t SystemEventsLeft() const;
    void SetSystemEvents(std::vector<SystemEvent> events);

    std::array<std::uint8_t, 6> Clock() const;
    void SetClock(const std::array<std::uint8_t, 6>& bcd);
    std::array<std::uint8_t, 12> Archive(unsigned index) const;

private:
    struct Item {
        ItemDesc desc;
        float value = 0;              // constants: the stored value
        bool pinned = false;          // calculated values pinned by a test
        float pinnedValue = 0;
        std::uint32_t pinnedStatus = 0;
    };

    using Bytes = std::vector<std::uint8_t>;

    // Command handlers; each fills `data` and returns the answer's command byte.
    std::uint8_t Identify(Bytes& data) const;
    std::uint8_t ReadClock(Bytes& data) const;
    std::uint8_t WriteClock(const std::uint8_t* d, std::size_t n);
    std::uint8_t NextSystemEvent(const std::uint8_t* d, std::size_t n, Bytes& data);
    std::uint8_t OpenFile(const std::uint8_t* d, std::size_t n, Bytes& data);
    std::uint8_t FileBlock(const std::uint8_t* d, std::size_t n, Bytes& data);
    std::uint8_t ReadItem(const std::uint8_t* d, std::size_t n, Bytes& data) const;
    std::uint8_t ConfigBlock(const std::uint8_t* d, std::size_t n, Bytes& data);
    std::uint8_t Summary(Bytes& data) const;
    std::uint8_t Values(const std::uint8_t* d, std::size_t n, Bytes& data) const;
    std::uint8_t ItemTextCommand(const std::uint8_t* d, std::size_t n, Bytes& data);
    std::uint8_t Relay(const std::uint8_t* d, std::size_t n, Bytes& data);
    std::uint8_t ArchiveInfo(const std::uint8_t* d, std::size_t n, Bytes& data) const;

    Bytes ItemBytes(std::size_t index) const;  // type byte + record
    std::optional<std::string> TextOf(std::size_t index) const;
    void CurrentValue(const Item& item, float* value, std::uint32_t* status) const;
    const Item* FindCalc(std::uint16_t id) const;
    std::string FileKey(const std::string& name) const;
    void Recompute();  // checksum after a change
    std::vector<Bytes> BuildBlocks() const;

    mutable std::recursive_mutex lock_;
    DeviceDescription desc_;
    const std::uint32_t serial_;
    std::vector<Item> items_;
    std::uint32_t checksumBase_ = 0;
    std::uint32_t revision_ = 0;
    unsigned writeChecksumDelayMs_ = 0;
    std::uint32_t heldChecksum_ = 0;  // answered until heldUntil_ after a write
    std::chrono::steady_clock::time_point heldUntil_{};
    std::size_t blockLimit_ = 1015;

    // Clock: seconds since the epoch on the device's calendar, at `clockSet_`.
    std::int64_t clockBase_ = 0;
    std::chrono::steady_clock::time_point clockSet_;
    const std::chrono::steady_clock::time_point started_;

    // Configuration block transfer.
    std::vector<Bytes> blocks_;
    std::size_t blockIndex_ = 0;
    bool blocksStarted_ = false;

    // File transfer.
    std::map<std::string, FileDesc> files_;  // by lower-case name
    bool fileOpen_ = false;
    Bytes openFile_;
    std::size_t filePos_ = 0;  // next byte to send
    Bytes lastBlock_;          // data of the last block answer
    bool haveLastBlock_ = false;

    std::vector<SystemEvent> events_;
    std::size_t nextEvent_ = 0;
};

} // namespace vx4sim
