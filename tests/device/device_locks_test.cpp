// The window's getters never wait for an exchange: while the device holds back its answer
// to one of the object's requests, the getters still return at once; a download's progress
// callback runs with no lock of the object held.

#include "device_fixture.h"

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

TEST_F(LocksTest, DownloadProgressRunsWithoutTheObjectsLocks)
{
    const std::string name = "day.dat";
    sim->SetFile(name, Bytes(5000, 0x5A));
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    int calls = 0;
    bool otherExchangeRan = false;
    std::future<std::string> text; // outlives the callback: it must not wait for the download
    const int rc = obj->DownloadFile(f, name, [&](float) {
        if (calls++ != 0)
            return;
        // Another user of the object gets the line while the callback runs.
        text = std::async(std::launch::async, [this] { return obj->ReadItemText(1); });
        otherExchangeRan = text.wait_for(5s) == std::future_status::ready;
    });
    std::fclose(f);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(otherExchangeRan);
}

} // namespace
} // namespace vx4test
