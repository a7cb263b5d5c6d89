// vx4ctl when the device's end of the link goes away in the middle of a download: the
// command fails without leaving a partial file, and the next command, once the device is
// back on the same port, works.

#include "CtlRunner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace ctltest;

namespace {

TEST(CtlLinkLoss, DownloadCutOffLeavesNoFileAndTheNextCommandConnects)
{
    auto dev = std::make_unique<SimDevice>();
    const std::uint16_t port = dev->sim.Port();
    std::atomic<int> blocks{0};
    std::atomic<bool> kill{false};
    dev->sim.SetHook([&](const std::vector<std::uint8_t>& r) {
        if (r.size() > 6 && r[6] == 0x06 && ++blocks == 3) {
            kill = true;
            return vx4sim::HookResult{vx4sim::HookResult::Silent, {}};
        }
        return vx4sim::HookResult{};
    });
    std::thread killer([&] {
        while (!kill)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        dev->sim.Stop();
    });
    TempDir dir;
    std::vector<std::string> args = dev->Args({"download", "hour.dat", "-o", dir.File("hour.dat")});
    const RunResult cut = RunCtl(args);
    killer.join();
    EXPECT_EQ(cut.status, 1) << cut.err;
    EXPECT_FALSE(FileExists(dir.File("hour.dat")));

    // The device back on the same port.
    dev->sim.SetHook(nullptr);
    vx4sim::Simulator again;
    std::string err;
    ASSERT_TRUE(again.StartTcp("127.0.0.1", port, &err)) << err;
    const RunResult next = RunCtl(args);
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(ReadFile(dir.File("hour.dat")).size(), again.FileContents("hour.dat")->size());
}

} // namespace
