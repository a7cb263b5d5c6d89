#pragma once
// The WINDOW section of vx4pult.ini and the path of that file beside the program.

#include "platform/IniFile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vx4 {

// programDir, a "/" unless it already ends with one, then "vx4pult.ini".
std::string IniPathFor(const std::string& programDir);

struct WindowSettings {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t width = 800;
    std::int32_t height = 600;
    std::uint32_t state = 0;      // 0 normal, 1 minimised, 2 maximised
    std::int32_t treeWidth = 300; // tw_size
    std::int32_t editorSplit = 180; // VLE_split: the value editor's default column width
};

// Reads left, top, w_size, h_size, state, tw_size, VLE_split in this order (defaults for
// missing keys; numbers stored as unsigned text, so -8 comes back as -8).
WindowSettings ReadWindowSettings(const std::string& iniPath);
WindowSettings ReadWindowSettings(const IniFile& file);
// Writes state; left, top, w_size, h_size only when the state is normal; then tw_size
// and VLE_split.
void WriteWindowSettings(const std::string& iniPath, const WindowSettings& s);
// The keys WriteWindowSettings writes, in its order, for writing with others in one go.
std::vector<IniEntry> WindowSettingsEntries(const WindowSettings& s);

// CONNECTION dev_nom as the main window keeps it (default 1).
std::uint32_t ReadDeviceNumber(const std::string& iniPath);
std::uint32_t ReadDeviceNumber(const IniFile& file);
void WriteDeviceNumber(const std::string& iniPath, std::uint32_t devNo);
IniEntry DeviceNumberEntry(std::uint32_t devNo);

} // namespace vx4
