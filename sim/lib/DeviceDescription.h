#pragma once
// Everything that describes one simulated VX-4 before it runs: identification, systems,
// configuration items, files, archive descriptors, system events and flow transducers.
// Built in code (the demo and the large benchmark profile) or read from a JSON file.

#include "Simulator.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vx4sim {

// One configuration item. Texts are UTF-8; names become at most six CP1251 bytes.
struct ItemDesc {
    enum Type { Empty = 0, Const = 1, Event = 2, Calc = 3 };
    Type type = Empty;
    unsigned system = 0;  // constants 0..9 (0 = the device), calculated values 1..9
    std::string name;

    // Constant: stored value, how the device prints it (a float with `decimals` digits
    // after the point, or an integer zero-padded to `width` digits) and the range the
    // device accepts on a write.
    double value = 0;
    bool integer = false;
    unsigned decimals = 3;
    unsigned width = 1;
    double min = -1e30, max = 1e30;

    // Calculated value: identifier (0 = the item's number), group event id, and how it
    // moves: base + rate * hours + amplitude * sin(2 pi t / periodS); now and then one bit
    // of statusBits shows up in the status word.
    std::uint16_t id = 0;
    std::uint16_t group = 0;
    double base = 0, amplitude = 0, periodS = 60, ratePerHour = 0;
    std::uint32_t statusBits = 0;

    // Event: group id (0 = every group), status mask and code.
    std::uint32_t mask = 0, code = 0;
};

// Item builders for descriptions made in code (the demo, the large profile, test devices).
// Each sets only what its parameters name; everything else keeps the ItemDesc default.
// A float constant printed with `decimals` digits, accepting min..max on a write.
ItemDesc MakeConst(unsigned system, const std::string& name, double value, unsigned decimals = 3,
                   double min = -1e30, double max = 1e30);
// An integer constant printed zero-padded to `width` digits.
ItemDesc MakeIntConst(unsigned system, const std::string& name, double value, unsigned width = 1,
                      double min = -1e30, double max = 1e30);
// A calculated value (id 0 = the item's number) moving as described at ItemDesc.
ItemDesc MakeCalc(unsigned system, const std::string& name, std::uint16_t id, std::uint16_t group,
                  double base, double amplitude = 0, double periodS = 60, std::uint32_t statusBits = 0,
                  double ratePerHour = 0);
ItemDesc MakeEvent(const std::string& name, std::uint16_t group, std::uint32_t mask, std::uint32_t code = 1);

// How a generated archive file was made, so a description can be written back compactly.
struct ArchiveGen {
    unsigned records = 0, recordSize = 0, intervalS = 0;
    std::uint32_t seed = 0;
};

struct FileDesc {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::optional<ArchiveGen> generated;
};

struct ArchiveDesc {
    std::uint16_t lastRecord = 0;
    std::uint8_t flags = 0;
    std::uint32_t startAddress = 0;
    std::uint16_t rowsMinusOne = 0;
};

struct DeviceDescription {
    // Identification record fields.
    std::uint32_t serial = 123456;
    unsigned protoMajor = 0, protoMinor = 6;
    unsigned swMajor = 2, swMinor = 1, swBuild = 517;
    unsigned stackFillPct = 42;
    std::string deviceType = "VX4";
    std::string cpuType = "AT91SAM9";
    std::int32_t initState = 0;
    std::array<std::uint8_t, 6> initTime{};  // BCD day, month, year, hour, minute, second
    unsigned extMajor = 1, extMinor = 0;
    std::uint32_t swChecksum = 0x5A3C91E7;
    std::uint8_t stateFlags = 0;

    std::vector<SystemInfo> systems;
    std::vector<ItemDesc> items;
    std::vector<FileDesc> files;
    std::array<ArchiveDesc, 5> archives{};
    std::vector<SystemEvent> systemEvents;
    std::vector<Transducer> transducers;
};

DeviceDescription DemoDescription();
DeviceDescription LargeDescription(unsigned items);

// Reads a description from JSON text; on error returns false with a message naming the
// offending entry. Checks names, ranges and identifiers.
bool DescriptionFromJson(const std::string& text, DeviceDescription* out, std::string* error);
// The description as JSON (files as hex), readable again by DescriptionFromJson.
std::string DescriptionToJson(const DeviceDescription& d);

// Content generators used by the demo and by JSON "archive" file entries: records of
// recordSize bytes (u32 time, u16 number, u16 flags, then floats) one interval apart.
std::vector<std::uint8_t> MakeArchiveFile(unsigned records, unsigned recordSize, unsigned intervalS,
                                          std::uint32_t seed);
FileDesc ArchiveFile(const std::string& name, const ArchiveGen& gen);

} // namespace vx4sim
