#include "platform/FileLocations.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VX4_INSTALL_DATADIR
#define VX4_INSTALL_DATADIR "/usr/share/vx4pult"
#endif

namespace vx4 {

namespace {

std::string WithSlash(std::string dir)
{
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

bool IsFile(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool WritableDir(const std::string& dir)
{
    return !dir.empty() && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// Creates dir and its parents (mode 0700 for new folders); true when it exists afterwards.
bool MakeDirs(const std::string& dir)
{
    std::string path;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty()) continue;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st{};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string XdgDir(const char* variable, const char* fallbackUnderHome)
{
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return WithSlash(value);
    const char* home = std::getenv("HOME");
    if (!home || !*home) home = "/tmp";
    return WithSlash(home) + fallbackUnderHome;
}

} // namespace

std::string ProgramDir()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "./";
    std::string path(buffer, static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string SettingsFilePath()
{
    const std::string beside = ProgramDir();
    if (WritableDir(beside)) return beside + "vx4pult.ini";
    const std::string dir = XdgDir("XDG_CONFIG_HOME", ".config/") + "vx4pult/";
    MakeDirs(dir);
    return dir + "vx4pult.ini";
}

std::string FindDataFile(const std::string& relName)
{
    if (!relName.empty() && relName[0] == '/') return relName;
    const std::string folders[] = {
        "",
        ProgramDir(),
        XdgDir("XDG_DATA_HOME", ".local/share/") + "vx4pult/",
        WithSlash(VX4_INSTALL_DATADIR),
    };
    for (const auto& folder : folders)
        if (IsFile(folder + relName)) return folder + relName;
    return relName;
}

std::string UserFilesDir(const std::string& sub)
{
    std::string base = ProgramDir();
    if (!WritableDir(base)) base = XdgDir("XDG_DATA_HOME", ".local/share/") + "vx4pult/";
    std::string dir = WithSlash(base + sub);
    return MakeDirs(dir.substr(0, dir.size() - 1)) ? dir : std::string();
}

} // namespace vx4
