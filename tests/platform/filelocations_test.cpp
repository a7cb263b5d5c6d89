// Where the settings, the data files and the files written for the user are kept: beside a
// writable program folder, else in the XDG folders; data looked for in a fixed order.

#include "platform/FileLocations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vx4;
namespace fs = std::filesystem;

namespace {

// Runs fn as an unprivileged user and returns its result. Root may write into any folder,
// so an unwritable program folder can only be seen as another user: as root, fn runs in a
// child process that has become "nobody" first.
std::string AsUnprivileged(const std::function<std::string()>& fn)
{
    if (::geteuid() != 0) return fn();
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string result = "cannot become nobody";
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) result = fn();
        const char* p = result.data();
        std::size_t left = result.size();
        while (left > 0) {
            const ssize_t n = ::write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

const fs::perms Shared = fs::perms::all | fs::perms::sticky_bit;

// A scratch folder open to every user (the unprivileged runs work in it), with HOME and the
// XDG variables pointed into it and restored afterwards.
class FileLocationsTest : public ::testing::Test {
protected:
    fs::path root;
    fs::path savedCwd;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv;

    void SetUp() override
    {
        root = fs::temp_directory_path() / ("vx4_loc_" + std::to_string(::getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
        fs::permissions(root, Shared);
        savedCwd = fs::current_path();
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
            const char* value = std::getenv(name);
            savedEnv.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        SetEnv("HOME", Path("home"));
        SetEnv("XDG_CONFIG_HOME", {});
        SetEnv("XDG_DATA_HOME", {});
    }

    void TearDown() override
    {
        fs::current_path(savedCwd);
        for (const auto& [name, value] : savedEnv) SetEnv(name, value);
        std::error_code ec;
        fs::permissions(root / "prog", fs::perms::all, ec); // read-only in some cases
        fs::remove_all(root);
    }

    static void SetEnv(const std::string& name, const std::optional<std::string>& value)
    {
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }

    std::string Path(const std::string& rel) const { return (root / rel).string(); }

    // A folder under the scratch root, open to every user (or read-only: 0555). The folders
    // on the way are sticky, as /tmp is: everyone may add to them, no one take away
    // another's names.
    std::string Folder(const std::string& rel, fs::perms perms = Shared)
    {
        fs::create_directories(root / rel);
        for (fs::path p = root / rel; p != root; p = p.parent_path()) fs::permissions(p, Shared);
        fs::permissions(root / rel, perms);
        return (root / rel).string() + "/";
    }

    void Touch(const std::string& rel)
    {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << "x";
    }
};

const fs::perms ReadOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;

TEST_F(FileLocationsTest, SettingsBesideAWritableProgramElseInTheXdgConfigFolder)
{
    struct Case {
        const char* name;
        bool writable;                  // the program folder
        std::optional<std::string> xdg; // XDG_CONFIG_HOME, relative to the scratch root when not absolute
        std::string expected;           // relative to the scratch root
    };
    const Case cases[] = {
        {"portable copy", true, std::nullopt, "prog/vx4pult.ini"},
        {"portable copy, XDG set", true, "cfg", "prog/vx4pult.ini"},
        {"read-only folder, XDG set", false, "cfg", "cfg/vx4pult/vx4pult.ini"},
        {"read-only folder, XDG unset", false, std::nullopt, "home/.config/vx4pult/vx4pult.ini"},
        {"read-only folder, XDG relative", false, "relative", "home/.config/vx4pult/vx4pult.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "home");
        fs::remove_all(root / "cfg");
        Folder("home");
        const std::string prog = Folder("prog", c.writable ? fs::perms::all : ReadOnly);
        std::optional<std::string> xdg = c.xdg;
        if (xdg && *xdg != "relative") xdg = Path(*xdg);
        SetEnv("XDG_CONFIG_HOME", xdg);
        const std::string path = AsUnprivileged([&] { return SettingsFilePathFor(prog); });
        EXPECT_EQ(path, Path(c.expected));
        // The settings' folder exists, so that the file can be written at close.
        EXPECT_TRUE(fs::is_directory(fs::path(path).parent_path()));
        EXPECT_FALSE(fs::exists(root / "relative"));
    }
}

// The folder the package installs the programs into is never written, even by root.
TEST_F(FileLocationsTest, TheInstalledProgramFolderKeepsNoSettings)
{
    SetEnv("XDG_CONFIG_HOME", Path("cfg"));
    EXPECT_EQ(SettingsFilePathFor(InstalledProgramDir()), Path("cfg/vx4pult/vx4pult.ini"));
    EXPECT_EQ(UserFilesDirFor(InstalledProgramDir(), "Log"), Path("home/.local/share/vx4pult/Log/"));
}

TEST_F(FileLocationsTest, DataFoldersInSearchOrder)
{
    SetEnv("XDG_DATA_HOME", "/xdg/data");
    EXPECT_EQ(DataFolders("/opt/vx4/bin"),
              (std::vector<std::string>{"", "/opt/vx4/bin/", "/xdg/data/vx4pult/", "/opt/vx4/share/vx4pult/",
                                        InstalledDataDir()}));
    SetEnv("XDG_DATA_HOME", {});
    EXPECT_EQ(DataFolders("/opt/vx4/bin/")[2], Path("home/.local/share/vx4pult/"));
    // Installed where it was built for: the data folder relative to the program is the
    // installed one and is looked in once.
    const std::vector<std::string> installed = DataFolders(InstalledProgramDir());
    EXPECT_EQ(std::count(installed.begin(), installed.end(), InstalledDataDir()), 1);
}

const fs::perms Private = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;

TEST_F(FileLocationsTest, DataFileIsTakenFromTheFirstFolderThatHasIt)
{
    const std::string cwd = Folder("cwd", Private);
    const std::string prog = Folder("inst/bin", Private);
    Folder("data/vx4pult", Private);
    Folder("inst/share/vx4pult", Private);
    SetEnv("XDG_DATA_HOME", Path("data"));
    fs::current_path(cwd);
    const std::vector<std::string> folders = DataFolders(prog);
    struct Case {
        std::vector<std::string> holders; // where the file is (relative to the scratch root)
        std::string expected;             // "" when the name itself is expected back
    };
    const Case cases[] = {
        {{"cwd", "inst/bin", "data/vx4pult", "inst/share/vx4pult"}, ""},
        {{"inst/bin", "data/vx4pult", "inst/share/vx4pult"}, "inst/bin"},
        {{"data/vx4pult", "inst/share/vx4pult"}, "data/vx4pult"},
        {{"inst/share/vx4pult"}, "inst/share/vx4pult"},
        {{}, ""},
    };
    for (const std::string name : {"constbank.xml", "Matrix/GIGE_шаблон.dotx"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(name + " in " + std::to_string(c.holders.size()) + " folders");
            for (const char* f : {"cwd", "inst/bin", "data/vx4pult", "inst/share/vx4pult"}) fs::remove_all(root / f / name);
            for (const std::string& f : c.holders) Touch(f + "/" + name);
            EXPECT_EQ(FindDataFileIn(folders, name), c.expected.empty() ? name : Path(c.expected + "/" + name));
        }
    }
    // A folder of that name is not the file; an absolute name is taken as it is.
    fs::create_directories(root / "cwd" / "calcbank.xml");
    Touch("inst/bin/calcbank.xml");
    EXPECT_EQ(FindDataFileIn(folders, "calcbank.xml"), Path("inst/bin/calcbank.xml"));
    EXPECT_EQ(FindDataFileIn(folders, "/etc/nothing.xml"), "/etc/nothing.xml");
}

TEST_F(FileLocationsTest, UserFilesBesideAWritableProgramElseInTheXdgDataFolderCreatedWhenMissing)
{
    struct Case {
        const char* name;
        bool writable;
        std::optional<std::string> xdg; // XDG_DATA_HOME under the scratch root
        std::string sub;
        std::string expected; // relative to the scratch root; "-" for none
    };
    const Case cases[] = {
        {"portable copy", true, std::nullopt, "Log", "prog/Log/"},
        {"portable copy, nested", true, std::nullopt, "Reports/2024", "prog/Reports/2024/"},
        {"portable copy, no sub-folder", true, std::nullopt, "", "prog/"},
        {"read-only folder, XDG set", false, "a/b/data", "Log", "a/b/data/vx4pult/Log/"},
        {"read-only folder, XDG unset", false, std::nullopt, "Log", "home/.local/share/vx4pult/Log/"},
        {"read-only folder, XDG under a file", false, "file/data", "Log", "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root / "home");
        fs::remove_all(root / "a");
        Folder("home");
        Touch("file");
        fs::permissions(root / "file", fs::perms::all);
        const std::string prog = Folder("prog", c.writable ? fs::perms::all : ReadOnly);
        SetEnv("XDG_DATA_HOME", c.xdg ? std::optional<std::string>(Path(*c.xdg)) : std::nullopt);
        const std::string dir = AsUnprivileged([&] { return UserFilesDirFor(prog, c.sub); });
        if (c.expected == "-") {
            EXPECT_EQ(dir, "");
            continue;
        }
        EXPECT_EQ(dir, Path(c.expected));
        EXPECT_TRUE(fs::is_directory(dir));
    }
}

// Without $HOME and without an entry in the user database there is no home folder: nothing
// falls back to a folder shared with other users, and the IniFile reader says what is missing.
TEST_F(FileLocationsTest, NoHomeFolderMeansNoSharedFallback)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become a user the user database does not know";
    const std::string prog = Folder("prog", ReadOnly);
    SetEnv("HOME", {});
    const std::string result = [&] {
        int fds[2];
        if (::pipe(fds) != 0) return std::string("pipe failed");
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            std::string r = "cannot become an unknown user";
            if (::setgroups(0, nullptr) == 0 && ::setgid(54321) == 0 && ::setuid(54321) == 0)
                r = "settings=" + SettingsFilePathFor(prog) + ";files=" + UserFilesDirFor(prog, "Log") + ";";
            [[maybe_unused]] ssize_t w = ::write(fds[1], r.data(), r.size());
            ::_exit(0);
        }
        ::close(fds[1]);
        std::string out;
        char buffer[512];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, std::size_t(n));
        ::close(fds[0]);
        ::waitpid(pid, nullptr, 0);
        return out;
    }();
    EXPECT_EQ(result, "settings=;files=;");
    EXPECT_FALSE(fs::exists("/tmp/.config/vx4pult"));
}

TEST(FileLocations, ProgramDirIsTheFolderOfTheRunningProgram)
{
    const std::string dir = ProgramDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fs::is_regular_file(dir + "platform_tests"));
}

} // namespace

// A data file that someone else could have put or changed, or reached through something
// someone else controls, is passed over for the next folder that has it.
TEST_F(FileLocationsTest, DataFilesOthersControlArePassedOver)
{
    const std::string cwd = Folder("cwd", Private);
    const std::string prog = Folder("inst/bin", Private);
    Folder("other", Shared);
    const std::vector<std::string> folders = {cwd, prog};
    const std::string name = "Matrix/constbank.xml";
    Touch("inst/bin/" + name);
    const bool root = ::geteuid() == 0;
    const uid_t other = 65534;
    struct Case {
        const char* what;
        std::function<void()> arrange;
        bool taken; // the file in cwd rather than the one beside the program
        bool needsRoot = false;
    };
    const fs::path sub = this->root / "cwd" / "Matrix";
    const fs::path file = sub / "constbank.xml";
    const fs::path elsewhere = this->root / "other" / "constbank.xml";
    auto fileElsewhere = [&] {
        fs::remove(file);
        std::ofstream(elsewhere) << "y";
        fs::permissions(elsewhere, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    };
    const Case cases[] = {
        {"own file", [] {}, true},
        {"writable by all", [&] { fs::permissions(file, fs::perms::all); }, false},
        // (A group of more than this user; the user's own private group would count as the user.)
        {"writable by a group",
         [&] {
             ASSERT_EQ(::chown(file.c_str(), uid_t(-1), other), 0);
             fs::permissions(file, fs::perms::group_write, fs::perm_options::add);
         },
         false, true},
        {"folder writable by all", [&] { fs::permissions(this->root / "cwd", fs::perms::all); }, false},
        {"sub-folder writable by a group",
         [&] {
             ASSERT_EQ(::chown(sub.c_str(), uid_t(-1), other), 0);
             fs::permissions(sub, fs::perms::group_write, fs::perm_options::add);
         },
         false, true},
        {"sticky folder writable by all",
         [&] { fs::permissions(this->root / "cwd", Shared); }, true},
        {"own link to an own file", [&] { fileElsewhere(); fs::create_symlink(elsewhere, file); }, true},
        {"hard link", [&] { fileElsewhere(); fs::create_hard_link(elsewhere, file); }, false},
        // (Only root can give a file away.)
        {"owned by another user", [&] { ASSERT_EQ(::chown(file.c_str(), other, other), 0); }, false, true},
        {"another user's link to an own file",
         [&] { fileElsewhere(); fs::create_symlink(elsewhere, file); ASSERT_EQ(::lchown(file.c_str(), other, other), 0); },
         false, true},
        {"sub-folder of another user", [&] { ASSERT_EQ(::chown(sub.c_str(), other, other), 0); }, false, true},
        {"another user's link in place of the sub-folder",
         [&] {
             fs::remove_all(sub);
             fs::create_directories(this->root / "other" / "Matrix");
             std::ofstream(this->root / "other" / "Matrix" / "constbank.xml") << "y";
             fs::create_directory_symlink(this->root / "other" / "Matrix", sub);
             ASSERT_EQ(::lchown(sub.c_str(), other, other), 0);
         },
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !root) {
            std::printf("skipped case \"%s\": needs root to act as another user\n", c.what);
            continue;
        }
        fs::permissions(this->root / "cwd", Private);
        fs::remove_all(sub);
        fs::remove_all(this->root / "other" / "Matrix");
        fs::remove(elsewhere);
        Touch("cwd/" + name);
        fs::permissions(sub, Private);
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::others_read);
        c.arrange();
        EXPECT_EQ(FindDataFileIn(folders, name), c.taken ? file.string() : Path("inst/bin/" + name));
        std::string path, why;
        const int fd = OpenDataFileIn(folders, name, &path, &why);
        EXPECT_GE(fd, 0) << why;
        if (fd >= 0) ::close(fd);
    }
}
