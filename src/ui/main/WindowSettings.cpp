#include "ui/main/WindowSettings.h"

#include "platform/IniFile.h"

namespace vx4 {

namespace {
constexpr const char* Window = "WINDOW";

std::int32_t ReadInt(const char* key, const char* def, const std::string& path) {
    return static_cast<std::int32_t>(GetPrivateProfileNumber(Window, key, def, path));
}
void WriteUnsigned(const char* section, const char* key, std::uint32_t v, const std::string& path) {
    WritePrivateProfileString(section, key, std::to_string(v), path);
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

void WriteWindowSettings(const std::string& path, const WindowSettings& s) {
    WriteUnsigned(Window, "state", s.state, path);
    if (s.state == 0) {
        WriteUnsigned(Window, "left", static_cast<std::uint32_t>(s.left), path);
        WriteUnsigned(Window, "top", static_cast<std::uint32_t>(s.top), path);
        WriteUnsigned(Window, "w_size", static_cast<std::uint32_t>(s.width), path);
        WriteUnsigned(Window, "h_size", static_cast<std::uint32_t>(s.height), path);
    }
    WriteUnsigned(Window, "tw_size", static_cast<std::uint32_t>(s.treeWidth), path);
    WriteUnsigned(Window, "VLE_split", static_cast<std::uint32_t>(s.editorSplit), path);
}

std::uint32_t ReadDeviceNumber(const std::string& path) {
    return GetPrivateProfileNumber("CONNECTION", "dev_nom", "1", path);
}

void WriteDeviceNumber(const std::string& path, std::uint32_t devNo) {
    WriteUnsigned("CONNECTION", "dev_nom", devNo, path);
}

} // namespace vx4
