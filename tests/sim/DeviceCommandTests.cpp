// The device side of each command, driven frame by frame through Simulator::Answer.

#include "SimTestUtil.h"

#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

using namespace simtest;

namespace {

Bytes Ask(vx4sim::Simulator& sim, std::uint8_t command, const Bytes& data = {})
{
    auto a = sim.Answer(Request(sim.Serial(), command, data));
    if (!a)
        return {};
    EXPECT_TRUE(ValidVx3c(*a));
    return *a;
}

// Number of the first item of the given type whose name is `utf8Name`, 0 if none.
std::uint16_t FindItem(const vx4sim::Simulator& sim, std::uint8_t type, const std::string& utf8Name,
                       unsigned system = 0)
{
    std::string name = vx4::Utf8ToCp1251(utf8Name);
    name.resize(6, '\0');
    for (std::uint16_t n = 1; n <= sim.ItemCount(); ++n) {
        const Bytes r = sim.ItemRecord(n);
        if (r.empty() || r[0] != type)
            continue;
        const std::size_t at = type == 2 ? 1 : 2;
        if (std::string(r.begin() + at, r.begin() + at + 6) == name && (type == 2 || r[1] == system))
            return n;
    }
    return 0;
}

// Reads the configuration block by block the way the console does and checks the block
// layout on the way; returns the items by number.
std::map<unsigned, Bytes> ReadBlocks(vx4sim::Simulator& sim, int* blockCount)
{
    std::map<unsigned, Bytes> items;
    unsigned n = 1;
    std::uint8_t mode = 0;
    Bytes last;  // last item of the previous block
    *blockCount = 0;
    for (;;) {
        const Bytes a = Ask(sim, 0x22, {mode});
        mode = 1;
        EXPECT_EQ(a[6], 0x22);
        if (a[6] != 0x22)
            break;
        const Bytes block = DataOf(a);
        EXPECT_GE(block.size(), 1u);
        EXPECT_LE(block.size(), vx4::MaxVx3cData);
        // Repeating the last block gives the same bytes.
        EXPECT_EQ(DataOf(Ask(sim, 0x22, {2})), block);
        std::size_t p = 0;
        if (*blockCount > 0 && !last.empty()) {
            EXPECT_TRUE(block.size() > last.size() && std::equal(last.begin(), last.end(), block.begin()))
                << "block " << *blockCount << " does not begin with the previous block's last item";
            p = last.size();
        }
        ++*blockCount;
        Bytes lastHere;
        while (p + 1 < block.size()) {
            const std::uint8_t t = block[p];
            if (t == 0) {
                items[n++] = {0};
                lastHere.clear();
                ++p;
                continue;
            }
            EXPECT_TRUE(t >= 1 && t <= 3) << "type " << int(t);
            if (t < 1 || t > 3)
                return items;
            const std::size_t size = 1 + (t == 2 ? 16 : 11);
            EXPECT_LE(p + size, block.size() - 1) << "item runs into the end marker";
            if (p + size > block.size() - 1)
                return items;
            lastHere.assign(block.begin() + std::ptrdiff_t(p), block.begin() + std::ptrdiff_t(p + size));
            items[n++] = lastHere;
            p += size;
        }
        last = lastHere;
        if (block.back() == 0xFF)
            break;
        EXPECT_EQ(block.back(), 0xFE);
        if (*blockCount > 1000)
            break;
    }
    // Nothing follows the final block.
    EXPECT_EQ(Ask(sim, 0x22, {1})[6], 246);
    return items;
}

void ExpectBlocksCarryEveryItem(vx4sim::Simulator& sim, int minBlocks)
{
    int blocks = 0;
    const auto items = ReadBlocks(sim, &blocks);
    EXPECT_GE(blocks, minBlocks);
    ASSERT_EQ(items.size(), sim.ItemCount());
    for (const auto& [n, bytes] : items)
        ASSERT_EQ(bytes, sim.ItemRecord(std::uint16_t(n))) << "item " << n;
}

} // namespace

TEST(ConfigBlocks, ChainWithACopiedItemAndEndMarkers)
{
    for (std::size_t limit : {35u, 47u, 120u, 1015u}) {
        SCOPED_TRACE(limit);
        vx4sim::Simulator sim;
        sim.SetBlockLimit(limit);
        ExpectBlocksCarryEveryItem(sim, limit < 1015 ? 2 : 1);
    }
    auto large = vx4sim::Simulator::LargeProfile(3000);
    ExpectBlocksCarryEveryItem(*large, 30);
}

// Empty slots at block boundaries must neither shift the numbering nor be copied.
TEST(ConfigBlocks, EmptySlotsAtBlockBoundaries)
{
    std::string items;
    for (int i = 0; i < 30; ++i)
        items += std::string(i ? "," : "") +
                 R"({"type":"const","system":0,"name":"K)" + std::to_string(i) + R"(","value":1},)" +
                 R"({"type":"empty"},{"type":"empty"},{"type":"event","name":"E","mask":1})";
    std::string error;
    auto sim = vx4sim::Simulator::FromJsonText(R"({"items":[)" + items + "]}", &error);
    ASSERT_TRUE(sim) << error;
    for (std::size_t limit = 35; limit < 60; ++limit) {
        SCOPED_TRACE(limit);
        sim->SetBlockLimit(limit);
        ExpectBlocksCarryEveryItem(*sim, 2);
    }
}

TEST(ConfigBlocks, EmptyConfigurationIsOneFinalBlock)
{
    std::string error;
    auto sim = vx4sim::Simulator::FromJsonText("{}", &error);
    ASSERT_TRUE(sim) << error;
    EXPECT_EQ(DataOf(Ask(*sim, 0x22, {0})), Bytes{0xFF});
}

TEST(ConfigBlocks, RefusesBadModes)
{
    vx4sim::Simulator sim;
    EXPECT_EQ(Ask(sim, 0x22, {1})[6], 250);  // no first block asked for yet
    EXPECT_EQ(Ask(sim, 0x22, {3})[6], 253);
    EXPECT_EQ(Ask(sim, 0x22, {})[6], 253);
}

TEST(Items, SingleItemsMatchTheirRecords)
{
    vx4sim::Simulator sim;
    for (std::uint16_t n = 1; n <= sim.ItemCount(); ++n)
        ASSERT_EQ(DataOf(Ask(sim, 0x21, {std::uint8_t(n), std::uint8_t(n >> 8)})), sim.ItemRecord(n));
    const std::uint16_t beyond = std::uint16_t(sim.ItemCount() + 1);
    EXPECT_EQ(Ask(sim, 0x21, {std::uint8_t(beyond), std::uint8_t(beyond >> 8)})[6], 253);
    EXPECT_EQ(Ask(sim, 0x21, {0, 0})[6], 253);
}

TEST(Items, DemoHasTransducerConstantsAndCalcIdsEqualToItemNumbers)
{
    vx4sim::Simulator sim;
    const auto transducers = sim.Transducers();
    ASSERT_GE(transducers.size(), 2u);
    for (std::size_t i = 0; i < transducers.size(); ++i) {
        const std::uint16_t n = FindItem(sim, 1, "dev" + std::to_string(i + 1));
        ASSERT_NE(n, 0) << "dev" << i + 1;
        EXPECT_EQ(std::uint32_t(*sim.ConstValue(n)), transducers[i].serial);
        EXPECT_GE(transducers[i].pairs.size(), 5u);
        EXPECT_LE(transducers[i].pairs.size(), 20u);
    }
    for (std::uint16_t n = 1; n <= sim.ItemCount(); ++n) {
        const Bytes r = sim.ItemRecord(n);
        if (r[0] == 3) {
            EXPECT_EQ(vx4::GetU16(&r[8]), n);
        }
    }
}

TEST(ItemText, GetAndPut)
{
    vx4sim::Simulator sim;
    const std::uint16_t gmax = FindItem(sim, 1, "Gmax", 1), address = FindItem(sim, 1, "Адрес"),
                        summer = FindItem(sim, 1, "ЛетВр"), g1 = FindItem(sim, 3, "G1", 1);
    ASSERT_TRUE(gmax && address && summer && g1);
    auto get = [&](std::uint16_t n) {
        const Bytes a = Ask(sim, 0x25, {0, std::uint8_t(n), std::uint8_t(n >> 8)});
        if (a[6] != 0x25)
            return std::string("refused ") + std::to_string(a[6]);
        const Bytes d = DataOf(a);
        EXPECT_EQ(d.back(), 0);
        return std::string(d.begin(), d.end() - 1);
    };
    auto put = [&](std::uint16_t n, const std::string& text) {
        Bytes d{1, std::uint8_t(n), std::uint8_t(n >> 8)};
        d.insert(d.end(), text.begin(), text.end());
        d.push_back(0);
        return Ask(sim, 0x25, d)[6];
    };
    EXPECT_EQ(get(gmax), "12.345");
    EXPECT_EQ(get(address), "005");

    struct Case {
        std::uint16_t item;
        const char* text;
        int code;            // answer command
        const char* after;   // the item's text afterwards
    } cases[] = {
        {gmax, "12.5", 0x25, "12.500"},   {gmax, " 1,25 ", 0x25, "1.250"}, {gmax, "-3e1", 0x25, "-30.000"},
        {gmax, "abc", 253, "-30.000"},    {gmax, "", 253, "-30.000"},      {gmax, "1.2.3", 253, "-30.000"},
        {gmax, "nan", 253, "-30.000"},    {address, "17", 0x25, "017"},    {address, "1.5", 253, "017"},
        {address, "999", 253, "017"},     {summer, "0", 0x25, "0"},        {summer, "2", 253, "0"},
        {g1, "1", 253, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::uint32_t before = sim.ConfigChecksum();
        EXPECT_EQ(put(c.item, c.text), c.code);
        if (c.after) {
            EXPECT_EQ(get(c.item), c.after);
        }
        if (c.code == 0x25) {
            EXPECT_NE(sim.ConfigChecksum(), before);
        } else {
            EXPECT_EQ(sim.ConfigChecksum(), before);
        }
    }
    // Writing the same value again is still a change.
    const std::uint32_t before = sim.ConfigChecksum();
    EXPECT_EQ(put(address, "17"), 0x25);
    EXPECT_NE(sim.ConfigChecksum(), before);
    // The record carries the written value.
    EXPECT_FLOAT_EQ(vx4::GetF32(&sim.ItemRecord(address)[8]), 17.0f);
    // A put without its closing zero byte is refused.
    EXPECT_EQ(Ask(sim, 0x25, {1, std::uint8_t(address), 0, '5'})[6], 253);
}

TEST(Values, CalculatedValuesOnly)
{
    vx4sim::Simulator sim;
    const auto ids = sim.CalcIds();
    ASSERT_GE(ids.size(), 3u);
    sim.SetCalcValue(ids[1], 42.5f, 0x8);
    Bytes req;
    for (int i = 0; i < 3; ++i) {
        req.push_back(std::uint8_t(ids[i]));
        req.push_back(std::uint8_t(ids[i] >> 8));
    }
    const Bytes a = Ask(sim, 0x24, req);
    ASSERT_EQ(a[6], 0x24);
    const Bytes d = DataOf(a);
    ASSERT_EQ(d.size(), 24u);
    EXPECT_FLOAT_EQ(vx4::GetF32(&d[8]), 42.5f);
    EXPECT_EQ(vx4::GetU32(&d[12]), 0x8u);
    EXPECT_EQ(Ask(sim, 0x24, {1, 0})[6], 253);              // item 1 is a constant
    EXPECT_EQ(Ask(sim, 0x24, {std::uint8_t(ids[0])})[6], 253);  // odd length
    EXPECT_EQ(Ask(sim, 0x24, {})[6], 253);
    // 126 identifiers fit one answer, 127 do not.
    Bytes many;
    for (int i = 0; i < 127; ++i) {
        many.push_back(std::uint8_t(ids[0]));
        many.push_back(std::uint8_t(ids[0] >> 8));
    }
    EXPECT_EQ(Ask(sim, 0x24, many)[6], 253);
    many.resize(252);
    EXPECT_EQ(DataOf(Ask(sim, 0x24, many)).size(), 1008u);
}

TEST(Files, BlocksWithPositionsAndResend)
{
    vx4sim::Simulator sim;
    const auto names = sim.FileNames();
    for (const char* want : {"hour.dat", "day.dat", "month.dat", "year.dat", "event.dat", "main.xmc"})
        EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
    sim.SetFile("exact.bin", Bytes(2022, 7));  // exactly two full blocks
    sim.SetFile("empty.bin", {});
    for (const char* name : {"hour.dat", "main.xmc", "exact.bin", "empty.bin"}) {
        SCOPED_TRACE(name);
        const Bytes expected = *sim.FileContents(name);
        Bytes open{1};
        open.insert(open.end(), name, name + std::strlen(name));
        const Bytes o = DataOf(Ask(sim, 0x05, open));
        ASSERT_EQ(o.size(), 4u);
        ASSERT_EQ(vx4::GetU32(o.data()), expected.size());
        Bytes got;
        for (int block = 0;; ++block) {
            const Bytes a = Ask(sim, 0x06, {0x5A});
            ASSERT_EQ(a[6], 0x06);
            const Bytes d = DataOf(a);
            ASSERT_GE(d.size(), 4u);
            if (block % 3 == 1) {
                EXPECT_EQ(Ask(sim, 0x06, {0x00}), a) << "resend differs";
            }
            if (d.size() == 4) {
                EXPECT_EQ(vx4::GetU32(d.data()), expected.size());
                break;
            }
            EXPECT_EQ(vx4::GetU32(d.data()), got.size());
            EXPECT_LE(d.size() - 4, 1011u);
            got.insert(got.end(), d.begin() + 4, d.end());
            ASSERT_LE(got.size(), expected.size());
        }
        EXPECT_EQ(got, expected);
    }
}

TEST(Files, UnknownFileOpensWithSizeZeroAndBlocksAreRefused)
{
    vx4sim::Simulator sim;
    const std::string name = "nothere.dat";
    Bytes open{1};
    open.insert(open.end(), name.begin(), name.end());
    const Bytes o = Ask(sim, 0x05, open);
    ASSERT_EQ(o[6], 0x05);
    EXPECT_EQ(vx4::GetU32(DataOf(o).data()), 0u);
    EXPECT_EQ(Ask(sim, 0x06, {0x5A})[6], 248);
    EXPECT_EQ(Ask(sim, 0x06, {0x00})[6], 248);
}

namespace {

Bytes Vx2Relay(std::uint32_t serial, std::uint8_t command, std::uint8_t byte5)
{
    Bytes f(16, 0);
    vx4::PutU32(f.data(), vx4::Vx2Address(serial));
    f[4] = command;
    f[5] = byte5;
    vx4::FillCheckBytes(f.data(), 14);
    Bytes payload{0, 2};
    payload.insert(payload.end(), f.begin(), f.end());
    payload.push_back(0);
    payload.push_back(0);
    return payload;
}

} // namespace

TEST(Relay, TransducerPairsAndStatusWords)
{
    vx4sim::Simulator sim;
    auto ts = sim.Transducers();
    ASSERT_FALSE(ts.empty());
    const vx4sim::Transducer t = ts[0];

    const Bytes count = DataOf(Ask(sim, 0x26, Vx2Relay(t.serial, 0x07, 0)));
    ASSERT_EQ(count.size(), 32u);
    EXPECT_TRUE(vx4::CheckBytesValid(count.data(), 30));
    EXPECT_EQ(vx4::GetU32(count.data()), vx4::Vx2Address(t.serial));
    EXPECT_EQ(count[5], t.pairs.size());
    for (std::size_t i = 0; i < t.pairs.size(); ++i) {
        const Bytes p = DataOf(Ask(sim, 0x26, Vx2Relay(t.serial, 0x2B, std::uint8_t(i))));
        ASSERT_EQ(p.size(), 32u);
        EXPECT_TRUE(vx4::CheckBytesValid(p.data(), 30));
        EXPECT_FLOAT_EQ(vx4::GetF32(&p[6]), t.pairs[i].gi);
        EXPECT_FLOAT_EQ(vx4::GetF32(&p[10]), t.pairs[i].ge);
    }

    auto status = [&](const Bytes& payload) {
        const Bytes a = Ask(sim, 0x26, payload);
        EXPECT_EQ(a[6], 0x26);
        const Bytes d = DataOf(a);
        return d.size() == 4 ? vx4::GetU32(d.data()) : 0xFFFFFFFFu;
    };
    EXPECT_EQ(status(Vx2Relay(99999, 0x07, 0)), vx4sim::RelayStatusNoAnswer);
    ts[0].busyCount = 2;
    ts[1].absent = true;
    sim.SetTransducers(ts);
    EXPECT_EQ(status(Vx2Relay(t.serial, 0x07, 0)), vx4sim::RelayStatusBusy);
    EXPECT_EQ(status(Vx2Relay(t.serial, 0x07, 0)), vx4sim::RelayStatusBusy);
    EXPECT_EQ(DataOf(Ask(sim, 0x26, Vx2Relay(t.serial, 0x07, 0))).size(), 32u);
    EXPECT_EQ(status(Vx2Relay(ts[1].serial, 0x07, 0)), vx4sim::RelayStatusNoAnswer);
    Bytes damaged = Vx2Relay(t.serial, 0x07, 0);
    damaged[2 + 14] ^= 1;
    EXPECT_EQ(status(damaged), vx4sim::RelayStatusNoAnswer);
}

TEST(SystemEvents, OnePerRequestThenEmpty)
{
    vx4sim::Simulator sim;
    const std::size_t count = sim.SystemEventsLeft();
    ASSERT_GE(count, 2u);
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes d = DataOf(Ask(sim, 0x04, {1}));
        ASSERT_EQ(d.size(), 48u);
        EXPECT_NE(vx4::GetU32(d.data()), 0u);
        EXPECT_EQ(d[47], 0);
    }
    EXPECT_EQ(sim.SystemEventsLeft(), 0u);
    const Bytes end = Ask(sim, 0x04, {1});
    EXPECT_EQ(end[6], 0x04);
    EXPECT_TRUE(DataOf(end).empty());
}

TEST(Clock, SetThenReadBack)
{
    vx4sim::Simulator sim;
    // 31.12.29 23:59:58 rolls over into the next year within two seconds.
    EXPECT_EQ(Ask(sim, 0x03, {0x31, 0x12, 0x29, 0x23, 0x59, 0x58})[6], 0x03);
    const Bytes c = DataOf(Ask(sim, 0x02));
    ASSERT_EQ(c.size(), 6u);
    EXPECT_TRUE((c == Bytes{0x31, 0x12, 0x29, 0x23, 0x59, 0x58}) || (c == Bytes{0x31, 0x12, 0x29, 0x23, 0x59, 0x59}));
    for (const Bytes& bad : {Bytes{0x32, 0x01, 0x26, 0, 0, 0}, Bytes{0x01, 0x13, 0x26, 0, 0, 0},
                             Bytes{0x01, 0x01, 0x26, 0x24, 0, 0}, Bytes{0x1A, 0x01, 0x26, 0, 0, 0},
                             Bytes{0x01, 0x01, 0x26, 0, 0}})
        EXPECT_EQ(Ask(sim, 0x03, bad)[6], 253);
}

TEST(Summary, CountsChecksumAndCp1251Names)
{
    vx4sim::Simulator sim;
    const Bytes d = DataOf(Ask(sim, 0x23));
    ASSERT_GT(d.size(), 9u);
    EXPECT_EQ(vx4::GetU32(d.data()), sim.ItemCount());
    EXPECT_EQ(vx4::GetU32(d.data() + 4), sim.ConfigChecksum());
    const auto systems = sim.Systems();
    ASSERT_EQ(d[8], systems.size());
    std::string expected;
    for (const auto& s : systems)
        expected += vx4::Utf8ToCp1251(s.name) + '\0' + vx4::Utf8ToCp1251(s.note) + '\0';
    EXPECT_EQ(std::string(d.begin() + 9, d.end()), expected);
    EXPECT_EQ(vx4::Utf8ToCp1251(systems[0].name), "\xCE\xF2\xEE\xEF\xEB\xE5\xED\xE8\xE5");  // Отопление
}

TEST(Misc, IdentificationArchivesEchoAndUnknownCommands)
{
    vx4sim::Simulator sim;
    EXPECT_EQ(DataOf(Ask(sim, 0x01)), sim.IdentRecord());
    for (std::uint8_t i = 0; i < 5; ++i) {
        const Bytes d = DataOf(Ask(sim, 0x30, {i}));
        ASSERT_EQ(d.size(), 12u);
        EXPECT_EQ(vx4::GetU16(&d[8]) + 1u, (*sim.FileContents(i == 0 ? "hour.dat" : i == 4 ? "event.dat" : i == 1 ? "day.dat" : i == 2 ? "month.dat" : "year.dat")).size() / (i == 4 ? 16 : 48));
    }
    EXPECT_EQ(Ask(sim, 0x30, {5})[6], 253);
    Bytes big(1015);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = std::uint8_t(i);
    EXPECT_EQ(DataOf(Ask(sim, 0x08, big)), big);
    EXPECT_EQ(Ask(sim, 0x77)[6], 252);
    EXPECT_EQ(sim.Answer(ShortRequest(0xF0, {0x05}))->at(2), 253);
}
