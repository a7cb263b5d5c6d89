#include "ui/main/WindowSettings.h"

#include "platform/IniFile.h"

namespace vx4 {

namespace {
constexpr const char* Window = "WINDOW";

std::int32_t ReadInt(const char* key, const char* def, const std::string& path) {
    return static_cast<std::int32_t>(GetPrivateProfileNumber(Window, key, def, path));
}
} // namespace

std::string IniPathFor(const std::string& programDir) {
    std::string path = programDir;
    if (path.empty() || path.back() != '/') path += '/';
    return path + "vx4pult.ini";
}

WindowSettings ReadWindowSettings(const std::string& path) {
    WindowSettings s;
    s.left = ReadInt("left", "0", path);
    s.top = ReadInt("top", "0", path);
    s.width = ReadInt("w_size", "800", path);
    s.height = ReadInt("h_size", "600", path);
    s.state = GetPrivateProfileNumber(Window, "state", "0", path);
    s.treeWidth = ReadInt("tw_size", "300", path);
    s.editorSplit = ReadInt("VLE_split", "180", path);
    return s;
}

std::vector<IniEntry> WindowSettingsEntries(const WindowSettings& s) {
    auto entry = [](const char* key, std::uint32_t v) { return IniEntry{Window, key, std::to_string(v)}; };
    std::vector<IniEntry> entries{entry("state", s.state)};
    if (s.state == 0) {
        entries.push_back(entry("left", static_cast<std::uint32_t>(s.left)));
        entries.push_back(entry("top", static_cast<std::uint32_t>(s.top)));
        entries.push_back(entry("w_size", static_cast<std::uint32_t>(s.width)));
        entries.push_back(entry("h_size", static_cast<std::uint32_t>(s.height)));
    }
    entries.push_back(entry("tw_size", static_cast<std::uint32_t>(s.treeWidth)));
    entries.push_back(entry("VLE_split", static_cast<std::uint32_t>(s.editorSplit)));
    return entries;
}

void WriteWindowSettings(const std::string& path, const WindowSettings& s) {
    WritePrivateProfileStrings(WindowSettingsEntries(s), path);
}

std::uint32_t ReadDeviceNumber(const std::string& path) {
    return GetPrivateProfileNumber("CONNECTION", "dev_nom", "1", path);
}

IniEntry DeviceNumberEntry(std::uint32_t devNo) { return IniEntry{"CONNECTION", "dev_nom", std::to_string(devNo)}; }

void WriteDeviceNumber(const std::string& path, std::uint32_t devNo) {
    WritePrivateProfileStrings({DeviceNumberEntry(devNo)}, path);
}

} // namespace vx4
