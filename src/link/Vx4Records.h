#pragma once
// Plain records exchanged with a VX-4: the identification, the 6-byte clock, the system
// event, the archive descriptor, the configuration summary and the value of one item.
// Each record is decoded from the answer's data bytes with explicit little-endian reads;
// bytes a short answer does not carry read as zero, and nothing is read past the given
// length. Texts stay the device's CP1251 bytes; converting them for display is the
// windows' business.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vx4 {

// Identification record, the answer of command 0x01.
struct SDevIdent {
    static constexpr std::size_t Size = 42;

    std::uint8_t protoMinor = 0;   // 0: protocol version, minor
    std::uint8_t protoMajor = 0;   // 1: protocol version, major
    std::uint16_t swBuild = 0;     // 2: software version, third part
    std::uint8_t swMinor = 0;      // 4: software version, second part
    std::uint8_t swMajor = 0;      // 5: software version, first part
    std::uint8_t stackFillPct = 0; // 6: highest stack fill, per cent
    std::array<std::uint8_t, 4> deviceType{}; // 7: up to 4 characters, ends early at a zero byte
    std::array<std::uint8_t, 9> cpuType{};    // 11: up to 9 characters, ends early at a zero byte
    std::uint8_t unused20 = 0;     // 20
    std::uint32_t serial = 0;      // 21: serial number, also the device address
    std::int32_t initState = 0;    // 25: 0 done, 1 absent, 2 init error, 3 hardware error
    std::array<std::uint8_t, 6> initTime{}; // 29: BCD day, month, year, hour, minute, second
    std::uint8_t extMinor = 0;     // 35: protocol extension version, minor
    std::uint8_t extMajor = 0;     // 36: protocol extension version, major
    std::uint32_t swChecksum = 0;  // 37: checksum of the device software
    std::uint8_t stateFlags = 0;   // 41: bit 0 config error, 1 transducer link lost,
                                   //     2 clock stopped, 3 flash too small for archives

    // Decodes the first min(n, 42) bytes; the rest of the record is zero.
    static SDevIdent Decode(const std::uint8_t* data, std::size_t n);
    void Encode(std::uint8_t* out) const; // writes exactly 42 bytes
    std::array<std::uint8_t, Size> Bytes() const;

    std::string DeviceTypeText() const; // up to the first zero byte
    std::string CpuTypeText() const;
    bool operator==(const SDevIdent&) const = default;
};

// The device clock: day, month, year (two digits), hour, minute, second, one BCD byte each.
struct DeviceClock {
    static constexpr std::size_t Size = 6;
    enum Field { Day = 0, Month, Year, Hour, Minute, Second };

    std::array<std::uint8_t, Size> bcd{};

    // Values of 100 or more are sent as 99 (the byte 0x99).
    static DeviceClock FromValues(unsigned day, unsigned month, unsigned year, unsigned hour,
                                  unsigned minute, unsigned second);
    static DeviceClock Decode(const std::uint8_t* data, std::size_t n);
    void Encode(std::uint8_t* out) const; // writes exactly 6 bytes
    // The field as a number (tens nibble * 10 + units nibble; not checked for BCD digits).
    unsigned Value(Field f) const;
    bool operator==(const DeviceClock&) const = default;
};

// One value (0..99) as two BCD digits; 100 and above give 0x99.
std::uint8_t ToBcdByte(unsigned value);
unsigned FromBcdByte(std::uint8_t b);

// System event record, the answer of command 0x04. TaskID 0 means no event is left.
struct SSysEvent {
    static constexpr std::size_t Size = 48;
    static constexpr std::size_t TextSize = 32;

    std::uint32_t TaskID = 0;
    std::uint32_t EvCode = 0;
    std::uint32_t TStamp = 0;
    std::uint32_t EvCnt = 0;
    std::array<std::uint8_t, TextSize> text{}; // ends at a zero byte (or after 32 bytes)

    static SSysEvent Decode(const std::uint8_t* data, std::size_t n);
    void Encode(std::uint8_t* out) const; // writes exactly 48 bytes
    std::string Text() const;             // the text up to its first zero byte, CP1251
    bool operator==(const SSysEvent&) const = default;
};

// Archive descriptor, the answer of command 0x30. Index 0 hourly, 1 daily, 2 monthly,
// 3 yearly, 4 event archive.
struct SArchiveInfo {
    static constexpr std::size_t Size = 12;
    static constexpr int Count = 5;

    std::uint16_t lastRecord = 0;   // 0: pointer to the last record written
    std::uint8_t flags = 0;         // 2
    std::uint8_t unused3 = 0;       // 3
    std::uint32_t startAddress = 0; // 4: where the archive begins in the device's memory
    std::uint16_t rowsMinusOne = 0; // 8: number of data rows minus one
    std::uint16_t unused10 = 0;     // 10

    static SArchiveInfo Decode(const std::uint8_t* data, std::size_t n);
    void Encode(std::uint8_t* out) const; // writes exactly 12 bytes
    std::array<std::uint8_t, Size> Bytes() const;
    bool operator==(const SArchiveInfo&) const = default;
};

// Configuration summary, the answer of command 0x23.
struct SConfigInfo {
    static constexpr int MaxSystems = 9;
    // Items are numbered by 16-bit identifiers: a larger count is no configuration.
    static constexpr std::uint32_t MaxItemCount = 0xFFFF;

    std::uint32_t itemCount = 0;
    std::uint32_t checksum = 0;
    std::uint8_t systemCount = 0; // 0..9; an answer without system texts gives 9
    std::array<std::string, MaxSystems> systemNames; // CP1251 bytes, empty beyond systemCount
    std::array<std::string, MaxSystems> systemNotes;

    // Decodes the answer's data: counts from the first 8 bytes; with more than 8 bytes the
    // system count at byte 8 and, from byte 9, a zero-ended name and note per system. With
    // 8 bytes or fewer, 9 systems with empty texts. No text is read past n.
    static SConfigInfo Decode(const std::uint8_t* data, std::size_t n);
    bool operator==(const SConfigInfo&) const = default;
};

// One answer entry of command 0x24: the 4 value bytes (an IEEE single for constants and
// calculated values) and the status word.
struct SItemValue {
    static constexpr std::size_t Size = 8;

    std::array<std::uint8_t, 4> value{};
    std::uint32_t status = 0;

    static SItemValue Decode(const std::uint8_t* data, std::size_t n);
    void Encode(std::uint8_t* out) const; // writes exactly 8 bytes
    float AsFloat() const;
    bool operator==(const SItemValue&) const = default;
};

} // namespace vx4
