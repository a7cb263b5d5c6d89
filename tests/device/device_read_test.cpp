// Reading the configuration from the simulator: both procedures, the odd blocks a device
// may send, learning the device number, noticing changes and losing the link.

#include "device_fixture.h"

#include <atomic>
#include <filesystem>
#include <mutex>

namespace vx4test {
namespace {

using vx4::CVX4Obj;

Bytes ConstEntry(const char* name, float value, std::uint8_t system = 0)
{
    Bytes e(1 + vx4::ConstRecordSize, 0);
    e[0] = 1;
    e[1] = system;
    for (std::size_t i = 0; name[i] && i < 6; ++i)
        e[2 + i] = std::uint8_t(name[i]);
    vx4::PutF32(e.data() + 8, value);
    return e;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Command and address of every request so far, for a failure message.
std::string RequestTraceOf(const vx4sim::Simulator& sim)
{
    std::string out;
    for (const Bytes& r : sim.Requests())
        out += std::to_string(RequestCommand(r)) + "@" + std::to_string(RequestAddress(r)) + " ";
    return out;
}

// A device of six device-wide constants, read through configuration blocks a hook makes up.
class BlockReadTest : public DeviceTest {
protected:
    void SetUp() override
    {
        std::vector<ItemDesc> items;
        for (const char* name : {"A", "B", "C", "D", "E", "F"})
            items.push_back(MakeConst(0, name, double(items.size() + 1), 3, 0, 100));
        auto d = Describe({}, items);
        StartSim(&d);
    }
    // Answers configuration block requests with blocks[mode 0 -> first, 1 -> next, 2 -> same].
    void ServeBlocks(std::vector<Bytes> blocks)
    {
        auto index = std::make_shared<std::atomic<int>>(0);
        sim->SetHook([this, blocks, index](const Bytes& r) -> HookResult {
            if (RequestCommand(r) != vx4::CMD_CONFIG_BLOCK)
                return {};
            const std::uint8_t mode = RequestData(r).at(0);
            if (mode == 0)
                *index = 0;
            else if (mode == 1)
                ++*index;
            const std::size_t i = std::min<std::size_t>(std::size_t(index->load()), blocks.size() - 1);
            return Reply(Vx3cFrame(serial, vx4::CMD_CONFIG_BLOCK, blocks[i]));
        });
    }
};

TEST_F(BlockReadTest, RepeatedLastItemEmptySlotsAndAnEarlyEnd)
{
    const Bytes a = ConstEntry("a", 1), b = ConstEntry("b", 2), d = ConstEntry("d", 4);
    // Block 2 begins with block 1's last item again, then an empty slot, then item 4, and
    // ends the configuration although the summary counts six items.
    ServeBlocks({Cat({a, b, {0xFE}}), Cat({b, {0x00}, d, {0xFF}})});
    MakeObject();
    ASSERT_TRUE(Load());

    const std::pair<std::uint16_t, const char*> expected[] = {{1, "a"}, {2, "b"}, {4, "d"}};
    for (auto [id, name] : expected) {
        const vx4::SNodeInfo info = obj->GetNodeInfo(id);
        EXPECT_EQ(info.kind, vx4::ITEM_CONST) << id;
        EXPECT_EQ(info.name, name) << id;
    }
    for (std::uint16_t id : {3, 5, 6})
        EXPECT_EQ(obj->GetNodeInfo(id).kind, vx4::ITEM_NONE) << id;
    const vx4::SConfigSnapshot snap = obj->GetConfigSnapshot();
    EXPECT_EQ(snap.deviceConsts.size(), 3u); // no duplicate of "b"
    EXPECT_EQ(CountOf(vx4::CMD_ITEM_DESCRIPTOR), 0u);
    float progress = 0;
    std::string text = "x";
    obj->GetProgress(&progress, &text);
    EXPECT_EQ(progress, 100.0f);
    EXPECT_EQ(text, "");
}

TEST_F(BlockReadTest, AFailedAttemptPartWayAsksForTheSameBlockAgain)
{
    // Three blocks of two items; the first request for block 2 goes unanswered. The retry
    // must ask for the same block (mode 2): asking for the next one (mode 1) would skip
    // items 3 and 4.
    const std::vector<Bytes> blocks = {Cat({ConstEntry("a", 1), ConstEntry("b", 2), {0xFE}}),
                                       Cat({ConstEntry("c", 3), ConstEntry("d", 4), {0xFE}}),
                                       Cat({ConstEntry("e", 5), ConstEntry("f", 6), {0xFF}})};
    auto modes = std::make_shared<std::vector<int>>();
    auto mutex = std::make_shared<std::mutex>();
    auto index = std::make_shared<int>(0);
    sim->SetHook([this, blocks, modes, mutex, index](const Bytes& r) -> HookResult {
        if (RequestCommand(r) != vx4::CMD_CONFIG_BLOCK)
            return {};
        std::lock_guard<std::mutex> g(*mutex);
        const std::uint8_t mode = RequestData(r).at(0);
        modes->push_back(mode);
        if (mode == 0)
            *index = 0;
        else if (mode == 1)
            ++*index;
        if (modes->size() == 2) // the device moved on, but its answer is lost
            return HookResult{HookResult::Silent, {}};
        const std::size_t i = std::min<std::size_t>(std::size_t(*index), blocks.size() - 1);
        return Reply(Vx3cFrame(serial, vx4::CMD_CONFIG_BLOCK, blocks[i]));
    });
    MakeObject();
    ASSERT_TRUE(Load());
    {
        std::lock_guard<std::mutex> g(*mutex);
        EXPECT_EQ(*modes, (std::vector<int>{0, 1, 2, 1})) << RequestTraceOf(*sim);
    }
    const char* names[] = {"a", "b", "c", "d", "e", "f"};
    for (std::uint16_t id = 1; id <= 6; ++id)
        EXPECT_EQ(obj->GetNodeInfo(id).name, names[id - 1]) << id;
    EXPECT_EQ(CountOf(vx4::CMD_ITEM_DESCRIPTOR), 0u);
}

TEST_F(BlockReadTest, BrokenBlocksFallBackToTheItemByItemRead)
{
    const Bytes a = ConstEntry("bad", 9);
    struct Case {
        const char* what;
        std::vector<Bytes> blocks;
    };
    const Case cases[] = {
        {"empty answer", {Bytes{}}},
        {"record running past the block", {Cat({a, Bytes{1, 0, 'x', 'y', 0xFF}})}},
        {"record running into the end marker", {Cat({Bytes(a.begin(), a.end() - 1), Bytes{0xFF}})}},
        {"unknown type byte", {Cat({a, Bytes{7, 1, 2, 3, 0xFE}})}},
        {"block that brings nothing new and no end", {Cat({a, Bytes{0xFE}})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim->ClearRequests();
        ServeBlocks(c.blocks);
        MakeObject();
        ASSERT_TRUE(Load());
        EXPECT_GT(CountOf(vx4::CMD_ITEM_DESCRIPTOR), 0u);
        ExpectStoreMatchesDevice(); // nothing of the broken blocks is left
        EXPECT_EQ(obj->GetNodeInfo(1).name, "A");
        obj.reset();
    }
}

TEST_F(DeviceTest, DemoDeviceIsReadByBlocks)
{
    StartSim();
    MakeObject();
    ASSERT_TRUE(Load());
    ExpectStoreMatchesDevice();
    EXPECT_EQ(CountOf(vx4::CMD_ITEM_DESCRIPTOR), 0u);

    const vx4::SVX4_Info info = obj->GetDeviceInfo();
    EXPECT_EQ(info.ident.serial, serial);
    EXPECT_EQ(info.checksum, sim->ConfigChecksum());
    EXPECT_EQ(info.systemCount, 3);
    EXPECT_EQ(info.systemNames[0], "Отопление");
    EXPECT_EQ(info.systemNotes[1], "Горячее водоснабжение");
    for (unsigned i = 0; i < 5; ++i) {
        const auto want = sim->ArchiveDescriptor(i);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), info.db[i].Bytes().begin())) << i;
    }
    EXPECT_EQ(obj->GetTransducers(), (std::vector<std::uint32_t>{1203045, 1203046, 1207001}));
    EXPECT_EQ(obj->GetNodeInfo(4).name, "ЛетВр"); // names come out in UTF-8

    const vx4::SConfigSnapshot snap = obj->GetConfigSnapshot();
    ASSERT_EQ(snap.systems.size(), 3u);
    EXPECT_EQ(snap.systems[1].name, "ГВС");
    EXPECT_EQ(snap.deviceConsts.size(), 7u);
    EXPECT_EQ(snap.systems[0].consts.size(), 6u);
    EXPECT_EQ(snap.systems[2].calcs.size(), 6u);
    EXPECT_EQ(snap.events.size(), 7u);
    EXPECT_TRUE(obj->IsConfigReady());
}

TEST_F(DeviceTest, ItemByItemReadWhenTheDeviceRefusesBlocks)
{
    StartSim();
    sim->SetHook([this](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_CONFIG_BLOCK)
            return Reply(Vx3cFrame(serial, vx4::DEV_BAD_COMMAND, {}));
        return {};
    });
    MakeObject();
    ASSERT_TRUE(Load());
    EXPECT_EQ(CountOf(vx4::CMD_CONFIG_BLOCK), 5u); // five attempts at the first block
    EXPECT_EQ(CountOf(vx4::CMD_ITEM_DESCRIPTOR), sim->ItemCount());
    ExpectStoreMatchesDevice();
    EXPECT_EQ(obj->GetTransducers(), (std::vector<std::uint32_t>{1203045, 1203046, 1207001}));
}

TEST_F(DeviceTest, OneItemConfigurationByBothProcedures)
{
    auto d = Describe({{"S1", "n"}}, {MakeCalc(1, "G", 0, 0, 1)});
    StartSim(&d);
    for (bool blocks : {true, false}) {
        SCOPED_TRACE(blocks ? "blocks" : "items");
        if (!blocks)
            sim->SetHook([this](const Bytes& r) -> HookResult {
                if (RequestCommand(r) == vx4::CMD_CONFIG_BLOCK)
                    return Reply(Vx3cFrame(serial, vx4::DEV_BAD_COMMAND, {}));
                return {};
            });
        MakeObject();
        ASSERT_TRUE(Load());
        const vx4::SNodeInfo info = obj->GetNodeInfo(1);
        EXPECT_EQ(info.kind, vx4::ITEM_CALC);
        EXPECT_EQ(info.name, "G");
        obj.reset();
    }
}

TEST_F(DeviceTest, DeviceNumberZeroLearnsTheSerialAndHandsItToTheConnection)
{
    StartSim(nullptr, /*devNoFromSim=*/false);
    ASSERT_EQ(conn.DeviceNumber(), 0u);
    MakeObject();
    ASSERT_TRUE(Load());
    EXPECT_EQ(conn.DeviceNumber(), serial);
    EXPECT_EQ(obj->DeviceNumber(), serial);
    const auto requests = sim->Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(RequestCommand(requests.front()), vx4::CMD_IDENTIFY);
    EXPECT_EQ(RequestAddress(requests.front()), vx4::AnyDeviceAddress);
    for (std::size_t i = 1; i < requests.size(); ++i)
        EXPECT_EQ(RequestAddress(requests[i]), serial) << "request " << i;
}

TEST_F(DeviceTest, ChangedConfigurationIsReadAgainWithoutARequest)
{
    StartSim();
    MakeObject();
    ASSERT_TRUE(Load());
    const std::size_t firstBlocks = CountOf(vx4::CMD_CONFIG_BLOCK);
    sim->ChangeChecksum(); // as another program writing a constant would
    ASSERT_TRUE(WaitFor([&] { return obj->GetConfigChecksum() == sim->ConfigChecksum(); }, 5000));
    ASSERT_TRUE(WaitFor([&] { return obj->IsConfigReady() && obj->GetDeviceInfo().itemCount != 0; }, 5000));
    EXPECT_GT(CountOf(vx4::CMD_CONFIG_BLOCK), firstBlocks);
    ExpectStoreMatchesDevice();
}

TEST_F(DeviceTest, StabilityWaitReadsOnAfterItsRoundsWhileTheSummaryKeepsChanging)
{
    StartSim();
    // Every summary shows another checksum.
    auto counter = std::make_shared<std::atomic<std::uint32_t>>(1);
    const std::uint32_t items = sim->ItemCount();
    sim->SetHook([this, counter, items](const Bytes& r) -> HookResult {
        if (RequestCommand(r) != vx4::CMD_CONFIG_SUMMARY)
            return {};
        Bytes data(8);
        vx4::PutU32(data.data(), items);
        vx4::PutU32(data.data() + 4, (*counter)++);
        return Reply(Vx3cFrame(serial, vx4::CMD_CONFIG_SUMMARY, data));
    });
    MakeObject();
    obj->RequestReread();
    ASSERT_TRUE(WaitFor([&] { return CountOf(vx4::CMD_CONFIG_BLOCK) > 0; }, 5000));
    // Ten rounds of two summaries before the head's own summary.
    const auto requests = sim->Requests();
    std::size_t summaries = 0;
    for (const Bytes& r : requests) {
        if (RequestCommand(r) == vx4::CMD_CONFIG_BLOCK)
            break;
        summaries += RequestCommand(r) == vx4::CMD_CONFIG_SUMMARY;
    }
    EXPECT_EQ(summaries, 21u);
}

TEST_F(DeviceTest, ClosingTheLinkClearsTheStoreButKeepsTheIdentification)
{
    StartSim();
    MakeObject();
    ASSERT_TRUE(Load());
    const std::string socket = GatewayPath();
    EXPECT_FALSE(socket.empty());
    conn.Close();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return obj->GetDeviceInfo().itemCount == 0; }, 2000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    const vx4::SVX4_Info info = obj->GetDeviceInfo();
    EXPECT_EQ(info.checksum, 0u);
    EXPECT_EQ(info.systemCount, 0);
    EXPECT_EQ(info.ident.serial, serial);
    EXPECT_EQ(info.systemNames[0], "Отопление");
    EXPECT_EQ(obj->GetNodeInfo(1).kind, vx4::ITEM_NONE);
    EXPECT_TRUE(obj->GetTransducers().empty());
    ASSERT_TRUE(WaitFor([&] { return obj->GatewayPath().empty(); }, 2000));
    EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(DeviceTest, FailedReadsLeaveAnEmptyStoreAndEndTheRequest)
{
    StartSim();
    sim->SetHook([this](const Bytes& r) -> HookResult {
        const std::uint8_t c = RequestCommand(r);
        if (c == vx4::CMD_CONFIG_BLOCK || c == vx4::CMD_ITEM_DESCRIPTOR)
            return Reply(Vx3cFrame(serial, vx4::DEV_NO_CONFIG, {}));
        return {};
    });
    MakeObject();
    obj->RequestReread();
    ASSERT_TRUE(WaitFor([&] { return obj->IsConfigReady(); }, 5000));
    EXPECT_EQ(obj->GetDeviceInfo().itemCount, 0u);
    EXPECT_TRUE(obj->GetConfigSnapshot().systems.empty());
    EXPECT_TRUE(obj->GatewayPath().empty());
    // Nothing loaded: no change check and no further read by itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::size_t before = sim->Requests().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sim->Requests().size(), before);
}

TEST_F(DeviceTest, DestroyingDuringAReadEndsAfterTheExchangeInProgress)
{
    StartSim();
    sim->SetBlockLimit(60); // many small blocks
    auto slow = std::make_shared<std::atomic<bool>>(true);
    sim->SetHook([slow](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_CONFIG_BLOCK && *slow)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return {};
    });
    MakeObject();
    obj->RequestReread();
    ASSERT_TRUE(WaitFor([&] { return CountOf(vx4::CMD_CONFIG_BLOCK) >= 2; }, 5000));
    const auto t0 = std::chrono::steady_clock::now();
    obj.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(600));
    const std::size_t after = sim->Requests().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sim->Requests().size(), after);
    *slow = false;
}

TEST_F(DeviceTest, RereadRequestedDuringAReadIsAnsweredByItUnlessTheDeviceNumberChanged)
{
    // The window asks again for the change the running read is taking in: that read answers
    // it. A Stop and a Start with another device number while a read runs: the request made
    // then must not be wiped by the end of the read in progress.
    struct Case {
        const char* name;
        bool changeNumber;
        std::size_t reads;
    };
    for (const Case& c : {Case{"same device number", false, 1}, Case{"another device number", true, 2}}) {
        SCOPED_TRACE(c.name);
        StartSim();
        vx4::ConnectionSettings s = conn.Settings();
        s.AuxTmout = 30000; // the held answer is waited for, not timed out
        conn.SetSettings(s);
        auto gate = MakeGate();
        sim->SetHook([gate](const Bytes& r) -> HookResult {
            if (RequestCommand(r) == vx4::CMD_CONFIG_BLOCK)
                gate->Hold();
            return {};
        });
        MakeObject();
        obj->RequestReread();
        ASSERT_TRUE(gate->WaitReached(5000));
        if (c.changeNumber)
            conn.SetDeviceNumber(0); // the device is found again by its serial
        obj->RequestReread(); // while the first read waits for its first block
        gate->Open();
        ASSERT_TRUE(WaitFor([&] { return obj->IsConfigReady() && obj->GetDeviceInfo().itemCount != 0; }, 10000))
            << RequestTraceOf(*sim);
        // A few more cycles: a read still owed would have started by then.
        const std::uint64_t cycles = obj->CyclesDone();
        ASSERT_TRUE(WaitFor([&] { return obj->CyclesDone() >= cycles + 3; }, 5000));
        std::size_t firstBlocks = 0;
        for (const Bytes& r : RequestsOf(vx4::CMD_CONFIG_BLOCK))
            firstBlocks += RequestData(r).at(0) == vx4::CONFIG_FIRST_BLOCK;
        EXPECT_EQ(firstBlocks, c.reads) << RequestTraceOf(*sim);
        EXPECT_EQ(CountOf(vx4::CMD_IDENTIFY), 2 * c.reads); // the head's and the information's
        ExpectStoreMatchesDevice();
        EXPECT_EQ(conn.DeviceNumber(), serial);
        TearDown();
        gates.clear();
        sim.reset();
    }
}

TEST_F(DeviceTest, ReadEndedByAClosedLinkDoesNotAnswerARequestMadeMeanwhile)
{
    // Stop while a read waits in its stability pause, the read asked for again, then Start:
    // the read that failed on the closed link answers nothing; the link open again reads.
    StartSim();
    vx4::CVX4Obj::Timing timing = FastTiming();
    timing.stabilityPauseMs = 1000; // the link is closed within it
    MakeObject(timing);
    auto closedUnder = std::make_shared<std::atomic<int>>(0);
    obj->SetWorkerListener([closedUnder](const vx4::SWorkerReport& r) {
        if (r.kind == vx4::SWorkerReport::ConfigRead && r.result == vx4::LINK_NOT_OPEN)
            ++*closedUnder;
    });
    obj->RequestReread();
    ASSERT_TRUE(WaitFor([&] { return CountOf(vx4::CMD_CONFIG_SUMMARY) >= 1; }, 5000));
    conn.Close();
    obj->RequestReread();
    ASSERT_TRUE(WaitFor([&] { return *closedUnder > 0; }, 10000)) << RequestTraceOf(*sim);
    const std::uint64_t cycles = obj->CyclesDone();
    ASSERT_TRUE(WaitFor([&] { return obj->CyclesDone() >= cycles + 2; }, 5000));
    EXPECT_FALSE(obj->IsConfigReady());
    ASSERT_EQ(conn.Open(), 0);
    ASSERT_TRUE(WaitFor([&] { return obj->IsConfigReady() && obj->GetDeviceInfo().itemCount != 0; }, 10000))
        << RequestTraceOf(*sim);
    ExpectStoreMatchesDevice();
}

TEST_F(DeviceTest, ItemCountBeyondSixteenBitIdentifiersIsAConfigurationError)
{
    StartSim();
    MakeObject();
    for (const std::uint32_t count : {0x10000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(count);
        sim->SetHook([this, count](const Bytes& r) -> HookResult {
            if (RequestCommand(r) != vx4::CMD_CONFIG_SUMMARY)
                return {};
            Bytes data(8);
            vx4::PutU32(data.data(), count);
            vx4::PutU32(data.data() + 4, 77);
            return Reply(Vx3cFrame(serial, vx4::CMD_CONFIG_SUMMARY, data));
        });
        sim->ClearRequests();
        obj->RequestReread();
        ASSERT_TRUE(WaitFor([&] { return obj->IsConfigReady(); }, 10000));
        // Failed like any read: nothing loaded, no item asked for.
        EXPECT_EQ(obj->GetDeviceInfo().itemCount, 0u);
        EXPECT_TRUE(obj->GetConfigSnapshot().systems.empty());
        EXPECT_EQ(CountOf(vx4::CMD_CONFIG_BLOCK) + CountOf(vx4::CMD_ITEM_DESCRIPTOR), 0u);
    }
}

} // namespace
} // namespace vx4test
