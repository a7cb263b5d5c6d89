#pragma once
// Texts of the device information panel: the rows shown for the device root and the
// state-flags text. Pure functions over the records, so the panel and its tests share them.

#include "link/Vx4Records.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx4 {

using InfoRow = std::pair<std::string, std::string>; // key, value (UTF-8)

// "0x%.2X" of the flags, then ": " and the names of bits 0..3 when any bit is set.
std::string StateFlagsText(std::uint8_t flags);

// The panel's rows in display order; the software checksum row only for protocol
// versions with major >= 1 and minor >= 5. Device texts are converted from CP1251.
std::vector<InfoRow> DeviceInfoRows(const SDevIdent& ident, std::uint32_t itemCount, std::uint32_t checksum,
                                    const std::array<SArchiveInfo, SArchiveInfo::Count>& db);

} // namespace vx4
