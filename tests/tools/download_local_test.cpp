// vx4ctl download and the local machine: stop signals, a disk too small, a write that fails.

#include "CtlRunner.h"

#include "link/Frames.h"
#include "link/Vx4prot.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>

using namespace ctltest;

namespace {

std::vector<std::uint8_t> Pattern(std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(i * 7 + i / 251);
    return v;
}

bool IsBlockRequest(const std::vector<std::uint8_t>& req) { return req.size() > 7 && req[6] == vx4::CMD_FILE_BLOCK; }

std::size_t BlockRequests(const vx4sim::Simulator& sim)
{
    const auto all = sim.Requests();
    return std::size_t(std::count_if(all.begin(), all.end(), IsBlockRequest));
}

// vx4ctl run through a shell that first writes its process number to pidFile (exec keeps
// it) and runs setup (shell commands) before.
RunResult RunCtlVia(const std::string& pidFile, const std::string& setup, const std::vector<std::string>& args)
{
    std::vector<std::string> shellArgs{"-c", "echo $$ > '" + pidFile + "'; " + setup + " exec \"$0\" \"$@\"",
                                       CtlPath()};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return RunProgram("/bin/sh", shellArgs);
}

// A small tmpfs of its own (root only); Path() is empty when it could not be mounted.
class SmallDisk {
public:
    explicit SmallDisk(const char* size)
    {
        if (::mount("tmpfs", dir_.Path().c_str(), "tmpfs", 0, size) == 0)
            mounted_ = true;
    }
    ~SmallDisk()
    {
        if (mounted_)
            ::umount2(dir_.Path().c_str(), MNT_DETACH);
    }
    std::string Path() const { return mounted_ ? dir_.Path() : std::string(); }

private:
    TempDir dir_;
    bool mounted_ = false;
};

TEST(CtlDownloadLocal, AStopSignalMidTransferRemovesTheStagedFileAndKeepsAnOlderOne)
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        SimDevice dev;
        dev.sim.SetFile("big.dat", Pattern(40000)); // about forty blocks
        TempDir dir;
        WriteFile(dir.File("big.dat"), "older contents");
        const std::string pidFile = dir.File("pid");
        // The signal goes out while the device answers the third block.
        std::atomic<int> blocks{0};
        dev.sim.SetHook([&](const std::vector<std::uint8_t>& req) {
            if (IsBlockRequest(req) && ++blocks == 3)
                ::kill(pid_t(std::stol(ReadFile(pidFile))), sig);
            return vx4sim::HookResult{};
        });
        const RunResult r = RunCtlVia(pidFile, "", dev.Args({"download", "big.dat", "-o", dir.File("big.dat")}));
        dev.sim.SetHook(nullptr);
        EXPECT_EQ(r.status, 128 + sig) << r.err;
        EXPECT_LT(blocks.load(), 10); // stopped, not run to the end
        EXPECT_EQ(ReadFile(dir.File("big.dat")), "older contents");
        EXPECT_EQ(DirEntries(dir.Path()), (std::vector<std::string>{"big.dat", "pid"}));
    }
}

TEST(CtlDownloadLocal, AFileLargerThanTheFreeSpaceIsRefusedBeforeTheFirstBlock)
{
    SmallDisk disk("size=64k");
    if (disk.Path().empty())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    SimDevice dev;
    dev.sim.SetFile("big.dat", Pattern(200000));
    const std::string target = disk.Path() + "/big.dat";
    WriteFile(target, "older contents");
    dev.sim.ClearRequests();
    const RunResult r = RunCtl(dev.Args({"download", "big.dat", "-o", target}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("200000 bytes"), std::string::npos) << r.err;
    // The room left is named as well: the 64 KiB disk less the older file's page.
    EXPECT_NE(r.err.find("room for 61440 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(BlockRequests(dev.sim), 0u);
    EXPECT_EQ(ReadFile(target), "older contents");
    EXPECT_EQ(DirEntries(disk.Path()), std::vector<std::string>{"big.dat"});

    // One that fits is written.
    dev.sim.SetFile("small.dat", Pattern(30000));
    const RunResult fits = RunCtl(dev.Args({"download", "small.dat", "-o", disk.Path() + "/small.dat"}));
    ASSERT_EQ(fits.status, 0) << fits.err;
    EXPECT_EQ(ReadFile(disk.Path() + "/small.dat").size(), 30000u);
}

TEST(CtlDownloadLocal, ALocalWriteErrorIsReportedWithTheSystemsText)
{
    SimDevice dev;
    dev.sim.SetFile("big.dat", Pattern(40000));
    TempDir dir;
    // Files of this process may not grow past 8 blocks of 512 bytes; SIGXFSZ is ignored,
    // so the write fails with EFBIG.
    const RunResult r = RunCtlVia(dir.File("pid"), "trap '' XFSZ; ulimit -f 8;",
                                  dev.Args({"download", "big.dat", "-o", dir.File("out.dat")}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vx4ctl: cannot write " + dir.File("out.dat") + ": " + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(r.err.find("247"), std::string::npos);
    EXPECT_EQ(DirEntries(dir.Path()), std::vector<std::string>{"pid"});
}

} // namespace
