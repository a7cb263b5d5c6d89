#include "ui/main/WindowSettings.h"

#include "platform/IniFile.h"

namespace vx4 {

namespace {
constexpr const char* Window = "WINDOW";

std::int32_t ReadInt(const char* key, const char* def, const IniFile& file) {
    return static_cast<std::int32_t>(file.GetNumber(Window, key, def));
}

IniFile Loaded(const std::string& path) {
    IniFile file;
    file.Load(path);
    return file;
}
} // namespace

std::string IniPathFor(const std::string& programDir) {
    std::string path = programDir;
    if (path.empty() || path.back() != '/') path += '/';
    return path + "vx4pult.ini";
}

WindowSettings ReadWindowSettings(const std::string& path) { return ReadWindowSettings(Loaded(path)); }

WindowSettings ReadWindowSettings(const IniFile& file) {
    WindowSettings s;
    s.left = ReadInt("left", "0", file);
    s.top = ReadInt("top", "0", file);
    s.width = ReadInt("w_size", "800", file);
    s.height = ReadInt("h_size", "600", file);
    s.state = file.GetNumber(Window, "state", "0");
    s.treeWidth = ReadInt("tw_size", "300", file);
    s.editorSplit = ReadInt("VLE_split", "180", file);
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

std::uint32_t ReadDeviceNumber(const std::string& path) { return ReadDeviceNumber(Loaded(path)); }

std::uint32_t ReadDeviceNumber(const IniFile& file) { return file.GetNumber("CONNECTION", "dev_nom", "1"); }

IniEntry DeviceNumberEntry(std::uint32_t devNo) { return IniEntry{"CONNECTION", "dev_nom", std::to_string(devNo)}; }

void WriteDeviceNumber(const std::string& path, std::uint32_t devNo) {
    WritePrivateProfileStrings({DeviceNumberEntry(devNo)}, path);
}

} // namespace vx4
