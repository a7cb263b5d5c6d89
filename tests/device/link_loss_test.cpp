// Losing the device's end of a TCP link in the middle of a configuration read, a poll and
// a download: the device object lets go of everything it held, a download ends with a
// failure instead of waiting, and a read asked for after the device is back on the same
// port connects again without a new connection object.

#include "device_fixture.h"

#include <atomic>
#include <cstdio>

namespace vx4test {
namespace {

using Clock = std::chrono::steady_clock;

class LinkLossTest : public DeviceTest {
protected:
    void SetUp() override
    {
        StartSim();
        port = sim->Port();
        MakeObject();
    }

    void TearDown() override
    {
        if (killer.joinable())
            killer.join();
        DeviceTest::TearDown();
    }

    // The simulator stops (as a killed one would) once it has received the count-th
    // request with this command; that request gets no answer.
    void KillAt(std::uint8_t command, int count)
    {
        seen = 0;
        sim->SetHook([this, command, count](const Bytes& r) {
            if (RequestCommand(r) == command && ++seen == count) {
                kill = true;
                return HookResult{HookResult::Silent, {}};
            }
            return HookResult{};
        });
        killer = std::thread([this] {
            while (!kill)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            sim->Stop();
            killedAt = Clock::now();
            killed = true;
        });
    }

    // Waits for the kill and returns the milliseconds from it until the store was empty.
    long StoreClearedAfterKill()
    {
        EXPECT_TRUE(WaitFor([this] { return killed.load(); }, 20000));
        EXPECT_TRUE(WaitFor(
            [this] {
                const vx4::SConfigSnapshot s = obj->GetConfigSnapshot();
                return s.info.itemCount == 0 && s.systems.empty() && s.deviceConsts.empty() && s.events.empty();
            },
            5000));
        const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killedAt).count());
        std::printf("store cleared %ld ms after the simulator stopped\n", ms);
        return ms;
    }

    // The device back on the same port; F11 asks for a read, which connects again.
    void RestartAndReload()
    {
        killer.join();
        sim->SetHook(nullptr);
        sim = std::make_unique<vx4sim::Simulator>();
        std::string err;
        ASSERT_TRUE(sim->StartTcp("127.0.0.1", port, &err)) << err;
        const auto t0 = Clock::now();
        ASSERT_TRUE(Load());
        std::printf("configuration read again %lld ms after the restart\n",
                    (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
        ExpectStoreMatchesDevice();
        EXPECT_TRUE(conn.LinkUp());
    }

    std::uint16_t port = 0;
    std::atomic<int> seen{0};
    std::atomic<bool> kill{false}, killed{false};
    Clock::time_point killedAt;
    std::thread killer;
};

TEST_F(LinkLossTest, DuringAConfigurationRead)
{
    KillAt(0x22, 1); // the first configuration block
    obj->RequestReread();
    StoreClearedAfterKill();
    EXPECT_TRUE(WaitFor([this] { return obj->IsConfigReady(); }, 5000)) << "the read must end";
    EXPECT_FALSE(conn.LinkUp());
    RestartAndReload();
}

TEST_F(LinkLossTest, DuringAPoll)
{
    ASSERT_TRUE(Load());
    for (std::uint16_t id : sim->CalcIds())
        obj->SetItemPolled(id, true);
    KillAt(0x24, 2);
    StoreClearedAfterKill();
    EXPECT_FALSE(conn.LinkUp());
    // Without a read asked for, the object does not connect by itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(conn.LinkUp());
    RestartAndReload();
    const std::uint16_t id = sim->CalcIds().front();
    sim->SetCalcValue(id, 42.5f, 0);
    obj->SetItemPolled(id, true);
    EXPECT_TRUE(WaitFor([&] { return obj->GetItemValue(id).value == 42.5f; }, 5000));
}

TEST_F(LinkLossTest, DuringADownload)
{
    ASSERT_TRUE(Load());
    KillAt(0x06, 3);
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const auto t0 = Clock::now();
    const int rc = obj->DownloadFile(out, "hour.dat");
    const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    std::fclose(out);
    EXPECT_NE(rc, 0) << "a download cut off by the lost link reports a failure";
    EXPECT_LT(ms, 15000) << "the download ends instead of asking on";
    StoreClearedAfterKill();
    RestartAndReload();
}

TEST_F(LinkLossTest, ReadAskedForWhileTheDeviceIsStillGoneEndsEmpty)
{
    ASSERT_TRUE(Load());
    KillAt(0x23, 1);
    StoreClearedAfterKill();
    obj->RequestReread(); // nobody listens on the port: the reconnection fails
    EXPECT_TRUE(WaitFor([this] { return obj->IsConfigReady(); }, 5000));
    EXPECT_EQ(obj->GetDeviceInfo().itemCount, 0u);
    RestartAndReload();
}

} // namespace
} // namespace vx4test
