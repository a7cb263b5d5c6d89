#include "platform/FileLocations.h"

#include "platform/PathWalk.h"

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VX4_INSTALL_BINDIR
#define VX4_INSTALL_BINDIR "/usr/bin"
#endif
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

bool SameFolder(const std::string& a, const std::string& b)
{
    struct stat sa{}, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// A folder the program may keep its files in: writable for this user and not the folder
// the installed programs live in (root may write there, but must not).
bool WritableProgramDir(const std::string& dir)
{
    return !dir.empty() && ::access(dir.c_str(), W_OK | X_OK) == 0 && !SameFolder(dir, InstalledProgramDir());
}

// Creates dir and its parents (new folders get mode, less the umask); true when it is a
// folder afterwards.
bool MakeDirs(const std::string& dir, mode_t mode)
{
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        const std::string path = dir.substr(0, pos);
        if (path.empty() || path == "/") continue;
        if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    struct stat st{};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string HomeDir()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return WithSlash(home);
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        return WithSlash(pw->pw_dir);
    // No shared folder stands in for it: what would be kept there is not kept.
    return {};
}

// $variable/vx4pult/ when the variable holds an absolute path (relative ones are ignored,
// as the XDG base directories ask), else ~/fallbackUnderHome/vx4pult/.
std::string XdgAppDir(const char* variable, const char* fallbackUnderHome)
{
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return WithSlash(value) + "vx4pult/";
    const std::string home = HomeDir();
    return home.empty() ? std::string() : home + fallbackUnderHome + "vx4pult/";
}

std::string ParentDir(const std::string& dir)
{
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
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

std::string InstalledProgramDir() { return WithSlash(VX4_INSTALL_BINDIR); }

std::string InstalledDataDir() { return WithSlash(VX4_INSTALL_DATADIR); }

std::string SettingsFilePathFor(const std::string& programDir)
{
    const std::string beside = WithSlash(programDir);
    if (WritableProgramDir(beside)) return beside + "vx4pult.ini";
    const std::string dir = XdgAppDir("XDG_CONFIG_HOME", ".config/");
    if (dir.empty()) return {};
    MakeDirs(dir, 0700);
    return dir + "vx4pult.ini";
}

std::string SettingsFilePath() { return SettingsFilePathFor(ProgramDir()); }

std::vector<std::string> DataFolders(const std::string& programDir)
{
    const std::string beside = WithSlash(programDir);
    std::vector<std::string> folders = {"", beside};
    if (std::string xdg = XdgAppDir("XDG_DATA_HOME", ".local/share/"); !xdg.empty()) folders.push_back(xdg);
    // A relocated install (unpacked under another root, or a prefix other than the one
    // built for) keeps its data at the same place relative to its programs; its own data
    // comes before that of a copy installed on the system.
    const std::string parent = ParentDir(beside);
    const std::string relocated = parent.empty() ? std::string() : parent + "share/vx4pult/";
    if (!relocated.empty() && relocated != InstalledDataDir()) folders.push_back(relocated);
    folders.push_back(InstalledDataDir());
    return folders;
}

int OpenDataFileIn(const std::vector<std::string>& folders, const std::string& relName, std::string* path,
                   std::string* why, int* folder)
{
    if (folder) *folder = -1;
    *path = relName;
    *why = std::strerror(ENOENT);
    if (relName.empty()) return -1;
    if (relName[0] == '/') return OpenDataFile(relName, why, folder);
    bool reason = false;
    for (const auto& place : folders) {
        std::string whyHere;
        const int fd = OpenDataFile(place + relName, &whyHere, folder);
        if (fd >= 0) {
            *path = place + relName;
            return fd;
        }
        // The first folder that has the name but whose file is not taken tells why.
        if (!reason && whyHere != std::strerror(ENOENT)) {
            *path = place + relName;
            *why = whyHere;
            reason = true;
        }
    }
    return -1;
}

bool ReadDataFileIn(const std::vector<std::string>& folders, const std::string& relName, std::size_t limit,
                    std::string* bytes, std::string* path, std::string* why)
{
    bytes->clear();
    const int fd = OpenDataFileIn(folders, relName, path, why);
    if (fd < 0) return false;
    const bool ok = ReadOpenFile(fd, limit, bytes, why);
    ::close(fd);
    return ok;
}

std::string FindDataFileIn(const std::vector<std::string>& folders, const std::string& relName)
{
    std::string path, why;
    const int fd = OpenDataFileIn(folders, relName, &path, &why);
    if (fd < 0) return relName;
    ::close(fd);
    return path;
}

std::string FindDataFile(const std::string& relName) { return FindDataFileIn(DataFolders(ProgramDir()), relName); }

std::string UserFilesDirFor(const std::string& programDir, const std::string& sub)
{
    std::string base = WithSlash(programDir);
    mode_t mode = 0777;
    if (!WritableProgramDir(base)) {
        base = XdgAppDir("XDG_DATA_HOME", ".local/share/");
        mode = 0700;
        if (base.empty()) return {};
    }
    const std::string dir = WithSlash(base + sub);
    return MakeDirs(dir.substr(0, dir.size() - 1), mode) ? dir : std::string();
}

std::string UserFilesDir(const std::string& sub) { return UserFilesDirFor(ProgramDir(), sub); }

} // namespace vx4
