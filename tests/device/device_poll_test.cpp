// Polling calculated values, the device's item texts and constant writes, against the
// simulator.

#include "device_fixture.h"

#include <atomic>
#include <cmath>
#include <mutex>

namespace vx4test {
namespace {

std::vector<std::uint16_t> Ids(const Bytes& valuesRequest)
{
    const Bytes d = RequestData(valuesRequest);
    std::vector<std::uint16_t> ids;
    for (std::size_t i = 0; i + 1 < d.size(); i += 2)
        ids.push_back(vx4::GetU16(d.data() + i));
    return ids;
}

// Three systems: system 1 with 130 calculated values (ids 1..130), system 2 with three
// (131..133), system 3 with two (134, 135), then events.
class PollTest : public DeviceTest {
protected:
    void SetUp() override
    {
        std::vector<ItemDesc> items;
        for (int i = 0; i < 130; ++i)
            items.push_back(MakeCalc(1, "V", 0, 7, 1));
        for (int i = 0; i < 3; ++i)
            items.push_back(MakeCalc(2, "W", 0, 0, 1));
        for (int i = 0; i < 2; ++i)
            items.push_back(MakeCalc(3, "X", 0, 0, 1));
        items.push_back(MakeEvent("A", 0, 1));
        items.push_back(MakeEvent("B", 7, 4));
        items.push_back(MakeEvent("C", 3, 4));
        items.push_back(MakeConst(1, "K", 5, 3, 0, 100));
        auto d = Describe({{"S1", ""}, {"S2", ""}, {"S3", ""}}, items);
        StartSim(&d);
        MakeObject();
        ASSERT_TRUE(Load());
    }

    // The value requests of one whole poll cycle that starts after the call.
    std::vector<std::vector<std::uint16_t>> NextCycle()
    {
        sim->ClearRequests();
        std::vector<std::vector<std::uint16_t>> batches;
        EXPECT_TRUE(WaitFor([&] { return CountOf(vx4::CMD_READ_CLOCK) >= 2; }, 3000));
        int clocks = 0;
        for (const Bytes& r : sim->Requests()) {
            const std::uint8_t c = RequestCommand(r);
            if (c == vx4::CMD_READ_CLOCK && ++clocks == 2)
                break;
            if (c == vx4::CMD_READ_VALUES && clocks == 1)
                batches.push_back(Ids(r));
        }
        return batches;
    }

    void Mark(std::uint16_t first, std::uint16_t last, bool on = true)
    {
        for (std::uint16_t id = first; id <= last; ++id)
            obj->SetItemPolled(id, on);
    }
};

std::vector<std::uint16_t> Range(std::uint16_t first, std::uint16_t last)
{
    std::vector<std::uint16_t> v;
    for (std::uint16_t id = first; id <= last; ++id)
        v.push_back(id);
    return v;
}

TEST_F(PollTest, BatchesHoldAtMost126ValuesFromTheLastSystemDown)
{
    EXPECT_TRUE(NextCycle().empty()); // nothing marked: the clock only

    Mark(1, 126);
    EXPECT_EQ(NextCycle(), (std::vector<std::vector<std::uint16_t>>{Range(1, 126)}));

    Mark(127, 127); // 127 in one system: a second request in the same cycle
    EXPECT_EQ(NextCycle(), (std::vector<std::vector<std::uint16_t>>{Range(1, 126), {127}}));

    Mark(1, 127, false);
    Mark(2, 3);
    Mark(132, 133);
    Mark(134, 135);
    std::vector<std::uint16_t> expected = {134, 135, 132, 133, 2, 3};
    EXPECT_EQ(NextCycle(), (std::vector<std::vector<std::uint16_t>>{expected}));

    // The other systems begin a batch that the first system's marks fill; the rest of them
    // follow in a second one.
    Mark(1, 130);
    std::vector<std::uint16_t> first = {134, 135, 132, 133};
    const auto head = Range(1, 122);
    first.insert(first.end(), head.begin(), head.end());
    EXPECT_EQ(NextCycle(), (std::vector<std::vector<std::uint16_t>>{first, Range(123, 130)}));
}

// One system with more marked values than two requests hold.
class LargeSystemPollTest : public PollTest {
protected:
    void SetUp() override
    {
        std::vector<ItemDesc> items;
        for (int i = 0; i < 260; ++i)
            items.push_back(MakeCalc(1, "V", 0, 0, 1));
        auto d = Describe({{"S1", ""}}, items);
        StartSim(&d);
        MakeObject();
        ASSERT_TRUE(Load());
    }
};

TEST_F(LargeSystemPollTest, EveryMarkedValueIsReadEachCycleInRequestsOfAtMost126)
{
    struct Case {
        std::uint16_t marked; // ids 1..marked
        std::vector<std::vector<std::uint16_t>> batches;
    };
    const Case cases[] = {
        {126, {Range(1, 126)}},
        {127, {Range(1, 126), {127}}},
        {252, {Range(1, 126), Range(127, 252)}},
        {260, {Range(1, 126), Range(127, 252), Range(253, 260)}},
    };
    for (const Case& c : cases) {
        Mark(1, 260, false);
        Mark(1, c.marked);
        EXPECT_EQ(NextCycle(), c.batches) << c.marked;
    }
    // And the values arrive: the last of each request included.
    for (std::uint16_t id : {126, 127, 252, 253, 260})
        sim->SetCalcValue(id, float(id) + 0.5f, 0);
    for (std::uint16_t id : {126, 127, 252, 253, 260})
        EXPECT_TRUE(WaitFor([&] { return obj->GetItemValue(id).value == float(id) + 0.5f; }, 3000)) << id;
}

TEST_F(PollTest, PolledValuesStatusChangesAndActiveEvents)
{
    Mark(5, 5);
    sim->SetCalcValue(5, 12.5f, 0);
    ASSERT_TRUE(WaitFor([&] { return obj->GetItemValue(5).value == 12.5f; }, 3000));
    EXPECT_EQ(obj->GetActiveEventNames(5), "");

    sim->SetCalcValue(5, 13.0f, 0xF0000005u);
    ASSERT_TRUE(WaitFor([&] { return obj->GetItemValue(5).value == 13.0f; }, 3000));
    EXPECT_EQ(obj->GetItemValue(5).status, 5u); // the low 28 bits
    EXPECT_TRUE(obj->ItemStatusChanged(5));
    EXPECT_EQ(obj->GetActiveEventNames(5), "A, B"); // group 7: A (group 0), B (group 7)
    ASSERT_TRUE(WaitFor([&] { return !obj->ItemStatusChanged(5); }, 3000)); // same status again

    // An unmarked value keeps its contents; other kinds answer from their records.
    EXPECT_EQ(obj->GetItemValue(6).value, 0.0f);
    const std::uint16_t eventA = 136, constK = 139;
    EXPECT_EQ(obj->GetItemValue(eventA).value, 0.0f);
    EXPECT_EQ(obj->GetItemValue(eventA).status, 1u);
    EXPECT_EQ(obj->GetItemValue(constK).value, 5.0f);
    EXPECT_EQ(obj->GetItemValue(constK).status, 0u);
    EXPECT_FALSE(obj->ItemStatusChanged(eventA));
    EXPECT_EQ(obj->GetActiveEventNames(eventA), "");
    EXPECT_EQ(obj->GetItemValue(999).status, 0u);
}

TEST_F(PollTest, DisabledPollingSendsNoValueRequests)
{
    Mark(1, 3);
    EXPECT_EQ(NextCycle().size(), 1u);
    EXPECT_TRUE(obj->EnablePolling(false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim->ClearRequests();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CountOf(vx4::CMD_READ_VALUES), 0u);
    EXPECT_EQ(CountOf(vx4::CMD_READ_CLOCK), 0u);
    EXPECT_FALSE(obj->EnablePolling(true));
    EXPECT_EQ(NextCycle().size(), 1u);
}

TEST_F(PollTest, ParameterErrorOnAPollMakesTheObjectReadTheConfigurationAgain)
{
    Mark(1, 3);
    EXPECT_EQ(NextCycle().size(), 1u);
    const std::size_t reads = CountOf(vx4::CMD_IDENTIFY);
    auto armed = std::make_shared<std::atomic<bool>>(true);
    sim->SetHook([this, armed](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_READ_VALUES && armed->exchange(false))
            return Reply(Vx3cFrame(serial, vx4::DEV_BAD_PARAMETER, {}));
        if (RequestCommand(r) == vx4::CMD_IDENTIFY) // let the read take a while
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return {};
    });
    sim->ClearRequests();
    ASSERT_TRUE(WaitFor([&] { return !obj->IsConfigReady(); }, 3000));
    ASSERT_TRUE(WaitFor([&] { return obj->IsConfigReady(); }, 5000));
    EXPECT_GT(CountOf(vx4::CMD_IDENTIFY), reads);
    EXPECT_EQ(obj->GetDeviceInfo().itemCount, sim->ItemCount());
    // After the read every mark is gone.
    EXPECT_TRUE(NextCycle().empty());
}

class ItemTest : public DeviceTest {
protected:
    void SetUp() override
    {
        // Item 3 belongs to system 2, which the summary leaves out: the store drops it.
        auto d = Describe({{"S1", ""}, {"S2", ""}},
                          {MakeConst(0, "K", 5, 3, 0, 100), MakeCalc(1, "V", 0, 0, 1),
                           MakeConst(2, "Lost", 1, 3, 0, 100), MakeConst(1, "M", 2, 3, 0, 100)});
        StartSim(&d);
        sim->SetHook([this](const Bytes& r) -> HookResult {
            if (RequestCommand(r) != vx4::CMD_CONFIG_SUMMARY)
                return {};
            Bytes data(8);
            vx4::PutU32(data.data(), sim->ItemCount());
            vx4::PutU32(data.data() + 4, sim->ConfigChecksum());
            data.insert(data.end(), {1, 'S', '1', 0, 0});
            return Reply(Vx3cFrame(serial, vx4::CMD_CONFIG_SUMMARY, data));
        });
        MakeObject();
        ASSERT_TRUE(Load());
    }
};

TEST_F(ItemTest, WriteAcceptedTakesOverValueAndSummaryWithoutAFullRead)
{
    const std::uint32_t before = obj->GetConfigChecksum();
    const std::size_t blocks = CountOf(vx4::CMD_CONFIG_BLOCK);
    EXPECT_EQ(obj->WriteConstant(1, "7.5"), 0);
    EXPECT_EQ(obj->GetItemValue(1).value, 7.5f);
    EXPECT_EQ(vx4::GetF32(obj->GetNodeInfo(1).data.data() + 7), 7.5f);
    EXPECT_EQ(sim->ConstValue(1).value_or(0), 7.5f);
    EXPECT_NE(obj->GetConfigChecksum(), before);
    EXPECT_EQ(obj->GetConfigChecksum(), sim->ConfigChecksum());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CountOf(vx4::CMD_CONFIG_BLOCK), blocks); // the worker saw no change
    EXPECT_EQ(obj->ReadItemText(1), sim->ItemText(1).value_or("?"));
}

TEST_F(ItemTest, WriteWaitsForTheChecksumOfALateDevice)
{
    // The device shows the write in its checksum 300 ms late: the write waits for it (the wait
    // is 1000 ms here), so the summary taken over is the new one and the worker sees no change.
    sim->SetWriteChecksumDelay(300);
    const std::uint32_t before = obj->GetConfigChecksum();
    const std::size_t blocks = CountOf(vx4::CMD_CONFIG_BLOCK);
    EXPECT_EQ(obj->WriteConstant(1, "7.5"), 0);
    EXPECT_NE(sim->ConfigChecksum(), before);
    EXPECT_EQ(obj->GetConfigChecksum(), sim->ConfigChecksum());
    EXPECT_EQ(obj->GetItemValue(1).value, 7.5f);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CountOf(vx4::CMD_CONFIG_BLOCK), blocks);

    // A device later than the whole wait: the write still succeeds with the value taken
    // over, and the summary it takes is the one the device answered (the old checksum).
    sim->SetWriteChecksumDelay(60000);
    const std::uint32_t held = sim->ConfigChecksum();
    EXPECT_EQ(obj->WriteConstant(1, "8"), 0);
    EXPECT_EQ(obj->GetItemValue(1).value, 8.0f);
    EXPECT_EQ(sim->ConstValue(1).value_or(0), 8.0f);
    EXPECT_EQ(sim->ConfigChecksum(), held);
    EXPECT_EQ(obj->GetConfigChecksum(), held);
    sim->SetWriteChecksumDelay(0);
    EXPECT_NE(sim->ConfigChecksum(), held);
}

TEST_F(ItemTest, WriteRefusedLeavesTheStoredValue)
{
    EXPECT_EQ(obj->WriteConstant(1, "500"), vx4::DEV_BAD_PARAMETER); // out of the device's range
    EXPECT_EQ(obj->WriteConstant(1, "abc"), vx4::DEV_BAD_PARAMETER);
    EXPECT_EQ(obj->GetItemValue(1).value, 5.0f);
    EXPECT_EQ(sim->ConstValue(1).value_or(0), 5.0f);
    // The device took the text, but the item is no constant of the store.
    EXPECT_EQ(obj->WriteConstant(3, "2"), -1);
    EXPECT_EQ(obj->GetNodeInfo(3).kind, vx4::ITEM_NONE);
}

TEST_F(ItemTest, ItemTextOrNotFoundAfterThreeAttempts)
{
    EXPECT_EQ(obj->ReadItemText(4), sim->ItemText(4).value_or("?"));
    sim->ClearRequests();
    EXPECT_EQ(obj->ReadItemText(999), "элемент не найден");
    EXPECT_EQ(CountOf(vx4::CMD_ITEM_TEXT), 3u);
}

TEST_F(ItemTest, FindDeviceTakesTheSerialAsDeviceNumber)
{
    conn.SetDeviceNumber(42);
    const vx4::SDevIdent ident = obj->FindDevice();
    EXPECT_EQ(ident.serial, serial);
    EXPECT_EQ(conn.DeviceNumber(), serial);
    EXPECT_EQ(obj->DeviceNumber(), serial);

    sim->SetHook([this](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_IDENTIFY)
            return Reply(Vx3cFrame(serial, vx4::DEV_BUSY, {}));
        return {};
    });
    EXPECT_EQ(obj->FindDevice(), vx4::SDevIdent{}); // nobody: all zero
    EXPECT_EQ(conn.DeviceNumber(), serial);
}

TEST_F(ItemTest, CancelledFindDeviceTakesNoLateAnswer)
{
    conn.SetDeviceNumber(42);
    const std::uint32_t before = obj->DeviceNumber();
    auto gate = MakeGate();
    sim->SetHook([gate](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_IDENTIFY)
            gate->Hold();
        return {};
    });
    sim->ClearRequests();
    std::atomic<bool> cancel{false};
    int rc = 0;
    vx4::SDevIdent ident{};
    std::thread search([&] { ident = obj->FindDevice(&rc, &cancel); });
    ASSERT_TRUE(gate->WaitReached(3000));
    cancel = true; // the device answers after the cancel
    gate->Open();
    search.join();
    EXPECT_EQ(rc, vx4::OPERATION_CANCELLED);
    EXPECT_EQ(ident, vx4::SDevIdent{});
    EXPECT_EQ(conn.DeviceNumber(), 42u);
    EXPECT_EQ(obj->DeviceNumber(), before);
    EXPECT_EQ(CountOf(vx4::CMD_IDENTIFY), 1u);

    // Cancelled before it began: nothing is sent.
    sim->SetHook(nullptr);
    sim->ClearRequests();
    EXPECT_EQ(obj->FindDevice(&rc, &cancel), vx4::SDevIdent{});
    EXPECT_EQ(rc, vx4::OPERATION_CANCELLED);
    EXPECT_EQ(CountOf(vx4::CMD_IDENTIFY), 0u);
    EXPECT_EQ(conn.DeviceNumber(), 42u);
}

TEST_F(DeviceTest, DownloadFileAppendsTheDeviceFile)
{
    StartSim();
    MakeObject();
    const std::string name = "day.dat";
    const auto want = sim->FileContents(name);
    ASSERT_TRUE(want.has_value());
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::vector<float> fractions;
    EXPECT_EQ(obj->DownloadFile(f, name, [&](float x) { fractions.push_back(x); }), 0);
    std::fflush(f);
    std::rewind(f);
    Bytes got(want->size() + 10);
    got.resize(std::fread(got.data(), 1, got.size(), f));
    std::fclose(f);
    EXPECT_EQ(got, *want);
    ASSERT_FALSE(fractions.empty());
    EXPECT_FLOAT_EQ(fractions.back(), 1.0f);
}

} // namespace
} // namespace vx4test
