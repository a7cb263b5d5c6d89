// The window's getters never wait for an exchange: while the device holds back its answer
// to one of the object's requests, the getters still return at once. A download holds the
// line for the whole file and still sees a cancel at once.

#include "device_fixture.h"
#include "gateway_client.h"

#include "common/SystemEventsText.h"

#include <atomic>
#include <future>

namespace vx4test {
namespace {

using namespace std::chrono_literals;

// A device with a constant and a calculated value; the connection waits long for answers,
// so that an exchange held back by a gate outlasts the getters' bound by far.
class LocksTest : public DeviceTest {
protected:
    void SetUp() override
    {
        auto d = Describe({{"S1", ""}}, {MakeConst(1, "K", 5, 3, 0, 100), MakeCalc(1, "V", 0, 0, 1)});
        StartSim(&d);
        vx4::ConnectionSettings s = conn.Settings();
        s.AuxTmout = 30000;
        conn.SetSettings(s);
        MakeObject();
        ASSERT_TRUE(Load());
    }

    // Whether the getters a window's tick calls all return within a bound far shorter than
    // the exchange held back. Getters still waiting are kept until the test ends.
    bool GettersReturn()
    {
        auto& getters = pending.emplace_back();
        getters = std::async(std::launch::async, [this] {
            obj->GetDeviceInfo();
            obj->GetConfigChecksum();
            obj->IsConfigReady();
            obj->GetProgress(nullptr, nullptr);
            obj->GetNodeInfo(1);
            obj->GetItemValue(2);
            obj->GetConfigSnapshot();
        });
        return getters.wait_for(5s) == std::future_status::ready;
    }

    void TearDown() override
    {
        for (const auto& gate : gates)
            gate->Open();
        pending.clear(); // the getters end once the held exchange has
        DeviceTest::TearDown();
    }

    std::vector<std::future<void>> pending;
};

TEST_F(LocksTest, GettersDoNotWaitWhileAnAnswerIsHeldBack)
{
    struct Case {
        const char* what;
        std::uint8_t command; // the request whose answer is held back...
        std::uint8_t after;   // ...once a request of this command has come (0: at once)
        enum { Worker, Reread, Write } go; // what makes the object send it
    };
    const Case cases[] = {
        {"change check", vx4::CMD_CONFIG_SUMMARY, 0, Case::Worker},
        {"head of a read", vx4::CMD_ARCHIVE_INFO, 0, Case::Reread},
        {"constant write", vx4::CMD_ITEM_TEXT, 0, Case::Write},
        {"wait for the write's summary", vx4::CMD_CONFIG_SUMMARY, vx4::CMD_ITEM_DESCRIPTOR, Case::Write},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Load());
        auto gate = MakeGate();
        auto armed = std::make_shared<std::atomic<bool>>(c.after == 0);
        sim->SetHook([gate, armed, c](const Bytes& r) -> HookResult {
            if (*armed && RequestCommand(r) == c.command)
                gate->Hold();
            if (RequestCommand(r) == c.after)
                *armed = true;
            return {};
        });
        std::future<int> write;
        if (c.go == Case::Reread)
            obj->RequestReread();
        if (c.go == Case::Write)
            write = std::async(std::launch::async, [this] { return obj->WriteConstant(1, "7"); });
        ASSERT_TRUE(gate->WaitReached(5000));
        EXPECT_TRUE(GettersReturn());
        sim->SetHook(nullptr);
        gate->Open();
        pending.clear();
        if (write.valid()) {
            EXPECT_EQ(write.get(), 0);
        }
    }
}

TEST_F(LocksTest, GatewayRelayWaitsUntilTheDownloadEnds)
{
    const std::string name = "day.dat";
    sim->SetFile(name, Bytes(5000, 0x5A));
    const std::string socket = GatewayPath();
    ASSERT_FALSE(socket.empty());
    GatewayClient client;
    ASSERT_TRUE(client.ConnectWithin(socket, 2000));
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    int calls = 0;
    const int rc = obj->DownloadFile(f, name, [&](float) {
        if (calls++ != 0)
            return;
        // A relay asked for in the middle of the file, with time to get the line if it could.
        ASSERT_TRUE(client.Send({42}));
        std::this_thread::sleep_for(300ms);
    });
    std::fclose(f);
    EXPECT_EQ(rc, 0);
    std::vector<std::uint8_t> reply;
    EXPECT_GE(client.Receive(&reply, 5000), 0) << "the relay runs once the download has ended";
    // No relay request between the file's first and last block request.
    const auto requests = sim->Requests();
    std::size_t lastBlock = 0, relay = requests.size();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (RequestCommand(requests[i]) == vx4::CMD_FILE_BLOCK)
            lastBlock = i;
        if (RequestCommand(requests[i]) == vx4::CMD_RELAY && relay == requests.size())
            relay = i;
    }
    ASSERT_LT(relay, requests.size());
    EXPECT_GT(relay, lastBlock);
}

TEST_F(LocksTest, CancelInsideTheBlockRepeatsIsSeenWithinASecond)
{
    const std::string name = "day.dat";
    sim->SetFile(name, Bytes(5000, 0x5A));
    vx4::ConnectionSettings s = conn.Settings();
    s.AuxTmout = 0;
    conn.SetSettings(s);
    // Every block request after the first goes unanswered: the download repeats it.
    auto blocks = std::make_shared<std::atomic<int>>(0);
    sim->SetHook([blocks](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_FILE_BLOCK && blocks->fetch_add(1) >= 1)
            return HookResult{HookResult::Silent, {}};
        return {};
    });
    std::atomic<bool> cancel{false};
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::chrono::steady_clock::time_point cancelledAt{};
    auto download = std::async(std::launch::async, [&] { return obj->DownloadFile(f, name, {}, &cancel); });
    // Into the repeats: the third block request has gone out and its answer is awaited.
    ASSERT_TRUE(WaitFor([&] { return blocks->load() >= 3; }, 10000));
    std::this_thread::sleep_for(100ms);
    cancelledAt = std::chrono::steady_clock::now();
    cancel = true;
    ASSERT_EQ(download.wait_for(5s), std::future_status::ready);
    const auto took = std::chrono::steady_clock::now() - cancelledAt;
    std::fclose(f);
    EXPECT_EQ(download.get(), vx4::OPERATION_CANCELLED);
    EXPECT_LT(took, 1s);
    EXPECT_LE(blocks->load(), 4);
}

// A search and the events read on a device that stays silent (every try would wait half a
// minute here): the cancel ends the try in progress, not only the next one.
TEST_F(LocksTest, CancelOfASearchOrAnEventsReadIsSeenWithinASecond)
{
    auto asked = std::make_shared<std::atomic<int>>(0);
    sim->SetHook([asked](const Bytes& r) -> HookResult {
        const auto cmd = RequestCommand(r);
        if (cmd != vx4::CMD_IDENTIFY && cmd != vx4::CMD_SYSTEM_EVENT)
            return {};
        asked->fetch_add(1);
        return HookResult{HookResult::Silent, {}};
    });
    const std::uint32_t devNo = obj->DeviceNumber();
    struct Case {
        const char* name;
        std::function<int(const std::atomic<bool>*)> run;
    };
    const Case cases[] = {
        {"search",
         [this](const std::atomic<bool>* cancel) {
             int rc = 0;
             obj->FindDevice(&rc, cancel);
             return rc;
         }},
        {"events",
         [this, devNo](const std::atomic<bool>* cancel) {
             std::vector<vx4::SSysEvent> events;
             return vx4::SystemEventsText::Read(conn, devNo, &events, {}, cancel);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        asked->store(0);
        std::atomic<bool> cancel{false};
        auto op = std::async(std::launch::async, [&] { return c.run(&cancel); });
        ASSERT_TRUE(WaitFor([&] { return asked->load() >= 1; }, 10000));
        std::this_thread::sleep_for(100ms);
        const auto cancelledAt = std::chrono::steady_clock::now();
        cancel = true;
        ASSERT_EQ(op.wait_for(10s), std::future_status::ready);
        const auto took = std::chrono::steady_clock::now() - cancelledAt;
        EXPECT_EQ(op.get(), vx4::OPERATION_CANCELLED);
        EXPECT_LT(took, 1s);
        EXPECT_EQ(asked->load(), 1); // no further try after the cancel
    }
    EXPECT_EQ(obj->DeviceNumber(), devNo);
}

} // namespace
} // namespace vx4test
