// vx4ctl in a folder it cannot write (an installed copy) takes its connection defaults from
// vx4pult.ini in the XDG configuration folder.

#include "CtlRunner.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

using namespace ctltest;

namespace {

TEST(CtlSettings, ReadOnlyProgramFolderTakesTheIniFromTheXdgConfigFolder)
{
    namespace fs = std::filesystem;
    SimDevice dev;
    TempDir dir;
    // Root may write anywhere: as root the program runs as "nobody", so the folder is
    // open to every user (sticky, as /tmp) but the program's own folder, and the settings
    // are nobody's own (a settings file another user may change is not read).
    fs::permissions(dir.Path(), fs::perms::all | fs::perms::sticky_bit);
    fs::create_directories(dir.File("bin"));
    const std::string program = dir.File("bin/vx4ctl");
    fs::copy_file(CtlPath(), program);
    fs::create_directories(dir.File("config/vx4pult"));
    WriteFile(dir.File("config/vx4pult/vx4pult.ini"),
              "[CONNECTION]\nport=TCP/IP\nIP=127.0.0.1\nTCPIPport=" + std::to_string(dev.sim.Port()) +
                  "\ndev_nom=" + std::to_string(dev.sim.Serial()) + "\n");
    // A file beside the program that must not be read: its port is closed.
    WriteFile(dir.File("bin/vx4pult.ini"),
              "[CONNECTION]\nport=TCP/IP\nIP=127.0.0.1\nTCPIPport=" + std::to_string(ClosedPort()) + "\n");
    for (const char* f : {"config", "config/vx4pult", "config/vx4pult/vx4pult.ini", "bin/vx4pult.ini"}) {
        if (::geteuid() == 0) {
            ASSERT_EQ(::lchown(dir.File(f).c_str(), 65534, 65534), 0) << f;
        }
    }
    fs::permissions(dir.File("bin"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

    std::string run = program;
    std::vector<std::string> args = {"--json", "identify"};
    if (::geteuid() == 0) {
        args.insert(args.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups", program});
        run = "/usr/bin/setpriv";
    }
    const RunResult r = RunProgram(run, args, dir.Path(), false,
                                   {"XDG_CONFIG_HOME=" + dir.File("config"), "HOME=" + dir.Path()});
    fs::permissions(dir.File("bin"), fs::perms::all);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ParseJson(r.out)["serial"], dev.sim.Serial());
}

} // namespace
