// INI files as anyone may leave them: arbitrary bytes read as the settings file, looked up
// for the keys the console reads, then a setting written and read back. The write must
// change only what it concerns: the key reads back as written, and the other keys read as
// before.
#include "FuzzSupport.h"

#include "platform/IniFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

using vx4fuzz::Check;

std::string TempPath()
{
    // Memory-backed where possible: the write syncs the file to disk.
    static const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    static const std::string path = dir + "/vx4_ini_fuzz_" + std::to_string(getpid()) + ".ini";
    return path;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr);
    std::fwrite(data, 1, size, f);
    std::fclose(f);
}

struct Key {
    const char* section;
    const char* key;
};
constexpr Key Keys[] = {{"CONNECTION", "port"}, {"CONNECTION", "IP"},    {"CONNECTION", "speed"},
                        {"connection", "dev_nom"}, {"WINDOW", "Left"}, {"", "x"}};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = TempPath();
    WriteFile(path, data, size);
    std::string before[std::size(Keys)];
    for (std::size_t i = 0; i < std::size(Keys); ++i) {
        before[i] = vx4::GetPrivateProfileString(Keys[i].section, Keys[i].key, "\x01", path);
        Check(before[i].size() <= vx4::IniValueMax);
        (void)vx4::GetPrivateProfileNumber(Keys[i].section, Keys[i].key, "7", path);
    }
    (void)vx4::ParseIniNumber(std::string_view(reinterpret_cast<const char*>(data), size));

    const std::string value = "127.0.0.1";
    Check(vx4::WritePrivateProfileString("CONNECTION", "IP", value, path));
    Check(vx4::GetPrivateProfileString("CONNECTION", "IP", "", path) == value);
    for (std::size_t i = 0; i < std::size(Keys); ++i) {
        if (i == 1)
            continue;
        Check(vx4::GetPrivateProfileString(Keys[i].section, Keys[i].key, "\x01", path) == before[i]);
    }
    unlink(path.c_str());
    return 0;
}
