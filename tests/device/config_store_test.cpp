// The configuration store and its items, without a device.

#include "device/ConfigStore.h"
#include "link/Frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace vx4 {
namespace {

std::array<std::uint8_t, ConstRecordSize> ConstRec(std::uint8_t system, const char* name, float value)
{
    std::array<std::uint8_t, ConstRecordSize> r{};
    r[0] = system;
    std::memcpy(r.data() + 1, name, std::min<std::size_t>(std::strlen(name), 6));
    PutF32(r.data() + 7, value);
    return r;
}

std::array<std::uint8_t, CalcRecordSize> CalcRec(std::uint8_t system, const char* name, std::uint16_t id,
                                                 std::uint16_t group = 0)
{
    std::array<std::uint8_t, CalcRecordSize> r{};
    r[0] = system;
    std::memcpy(r.data() + 1, name, std::min<std::size_t>(std::strlen(name), 6));
    PutU16(r.data() + 7, id);
    PutU16(r.data() + 9, group);
    return r;
}

std::array<std::uint8_t, EventRecordSize> EventRec(const char* name, std::uint16_t group, std::uint32_t mask,
                                                   std::uint32_t code = 0)
{
    std::array<std::uint8_t, EventRecordSize> r{};
    std::memcpy(r.data(), name, std::min<std::size_t>(std::strlen(name), 6));
    PutU16(r.data() + 6, group);
    PutU32(r.data() + 8, mask);
    PutU32(r.data() + 12, code);
    return r;
}

struct Placement {
    std::size_t systems;
    int deviceConsts;
    std::array<int, 3> constsPerSystem;
    std::array<int, 3> calcsPerSystem;
};

Placement Place(std::size_t systems)
{
    CConfigStore s;
    for (std::size_t i = 0; i < systems; ++i)
        s.AddSystem("S" + std::to_string(i + 1), "", systems);
    for (std::uint8_t sys : {0, 1, 2, 3}) {
        s.AddConst(ConstRec(sys, "C", 1).data(), "C", std::uint16_t(10 + sys));
        s.AddCalc(CalcRec(sys, "V", std::uint16_t(20 + sys)).data(), "V");
    }
    Placement p{s.SystemCount(), int(s.DeviceConsts().size()), {}, {}};
    for (std::size_t i = 0; i < s.SystemCount() && i < 3; ++i) {
        p.constsPerSystem[i] = int(s.System(i)->Consts().size());
        p.calcsPerSystem[i] = int(s.System(i)->Calcs().size());
    }
    return p;
}

TEST(ConfigStore, PlacesItemsByTheirSystemNumber)
{
    // No systems: every constant belongs to the device, every calculated value is dropped.
    const Placement none = Place(0);
    EXPECT_EQ(none.deviceConsts, 4);
    EXPECT_EQ(none.calcsPerSystem, (std::array<int, 3>{0, 0, 0}));

    // Two systems: system 0 constants go to the device, 1 and 2 to their systems, 3 is
    // dropped; calculated values of system 0 and 3 are dropped.
    const Placement two = Place(2);
    EXPECT_EQ(two.systems, 2u);
    EXPECT_EQ(two.deviceConsts, 1);
    EXPECT_EQ(two.constsPerSystem, (std::array<int, 3>{1, 1, 0}));
    EXPECT_EQ(two.calcsPerSystem, (std::array<int, 3>{1, 1, 0}));
}

TEST(ConfigStore, AddSystemStopsAtTheSummaryCountAndAtNine)
{
    CConfigStore s;
    for (int i = 0; i < 5; ++i)
        s.AddSystem("x", "y", 3);
    EXPECT_EQ(s.SystemCount(), 3u);
    CConfigStore t;
    for (int i = 0; i < 12; ++i)
        t.AddSystem("x", "y", 12);
    EXPECT_EQ(t.SystemCount(), 9u);
}

TEST(ConfigStore, ItemNameTakesUpToSixBytesBeforeTheFirstZero)
{
    struct Case {
        std::uint8_t type;
        std::array<std::uint8_t, 8> record;
        std::size_t length;
        const char* expected;
    };
    const Case cases[] = {
        {1, {9, 'T', 'e', 'm', 'p', 0, 0, 0}, 8, "Temp"},
        {3, {9, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}, 8, "ABCDEF"}, // no zero: six bytes
        {1, {9, 0, 'X', 'Y', 0, 0, 0, 0}, 8, ""},                 // first byte zero
        {2, {'E', 'v', '1', 0, 0, 0, 0, 0}, 8, "Ev1"},           // events start at byte 0
        {0, {9, 'T', 0, 0, 0, 0, 0, 0}, 8, ""},                   // empty slot
        {4, {9, 'T', 0, 0, 0, 0, 0, 0}, 8, ""},                   // unknown type
        {1, {9, 'A', 'B', 'C', 'D', 'E', 'F', 'G'}, 4, "ABC"},    // never past the record
    };
    for (const Case& c : cases)
        EXPECT_EQ(CConfigStore::ItemName(c.type, c.record.data(), c.length), c.expected)
            << "type " << int(c.type) << " expecting " << c.expected;
}

TEST(ConfigStore, FindNodeSearchesSystemsThenDeviceConstantsThenEvents)
{
    CConfigStore s;
    s.AddSystem("S1", "", 2);
    s.AddSystem("S2", "", 2);
    CConst* deviceConst = s.AddConst(ConstRec(0, "D", 1).data(), "D", 5);
    CCalc* calc2 = s.AddCalc(CalcRec(2, "V", 5).data(), "V");
    CConst* const1 = s.AddConst(ConstRec(1, "K", 2).data(), "K", 5);
    CEvent* event = s.AddEvent(EventRec("E", 0, 1).data(), "E", 7);
    CConst* const2 = s.AddConst(ConstRec(2, "K2", 3).data(), "K2", 8);
    CCalc* calc1 = s.AddCalc(CalcRec(1, "W", 8).data(), "W");

    EXPECT_EQ(s.FindNode(5), const1);  // system 1 comes before system 2 and the device
    EXPECT_EQ(s.FindNode(8), calc1);   // within a system calculated values come first
    EXPECT_EQ(s.FindNode(7), event);
    EXPECT_EQ(s.FindNode(7), event);   // again, through lastFound
    EXPECT_EQ(s.LastFound(), event);
    EXPECT_EQ(s.FindNode(999), nullptr);
    EXPECT_EQ(s.LastFound(), event);   // unchanged by a miss
    (void)deviceConst;
    (void)calc2;
    (void)const2;

    s.Clear();
    EXPECT_EQ(s.LastFound(), nullptr);
    EXPECT_EQ(s.FindNode(7), nullptr);
    EXPECT_TRUE(s.Empty());
}

TEST(ConfigStore, ItemsReportTheirInfoAndValue)
{
    CConfigStore s;
    s.AddSystem("S1", "", 1);
    const auto cr = ConstRec(1, "P", 2.5f);
    const auto vr = CalcRec(1, "Q", 0x1234, 7);
    const auto er = EventRec("Ev", 3, 0x40, 17);
    s.AddConst(cr.data(), "P", 3);
    s.AddCalc(vr.data(), "Q");
    s.AddEvent(er.data(), "Ev", 4);

    const SNodeInfo c = s.FindNode(3)->Info();
    EXPECT_EQ(c.kind, ITEM_CONST);
    EXPECT_EQ(c.id, 3);
    EXPECT_EQ(c.name, "P");
    EXPECT_TRUE(std::equal(cr.begin(), cr.end(), c.data.begin()));
    EXPECT_TRUE(std::all_of(c.data.begin() + 11, c.data.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(s.FindNode(3)->Value().value, 2.5f);
    EXPECT_EQ(s.FindNode(3)->Value().status, 0u);

    const SNodeInfo v = s.FindNode(0x1234)->Info();
    EXPECT_EQ(v.kind, ITEM_CALC);
    EXPECT_EQ(v.id, 0x1234); // the record's own identifier
    EXPECT_TRUE(std::equal(vr.begin(), vr.end(), v.data.begin()));

    const SNodeInfo e = s.FindNode(4)->Info();
    EXPECT_EQ(e.kind, ITEM_EVENT);
    EXPECT_TRUE(std::equal(er.begin(), er.end(), e.data.begin()));
    EXPECT_EQ(s.FindNode(4)->Value().value, 0.0f);
    EXPECT_EQ(s.FindNode(4)->Value().status, 0x40u); // the mask

    // A constant takes a written value; the status is ignored.
    s.FindNode(3)->SetValue(-1.0f, 77);
    EXPECT_EQ(s.FindNode(3)->Value().value, -1.0f);
    EXPECT_EQ(s.FindNode(3)->Value().status, 0u);
    EXPECT_EQ(GetF32(s.FindNode(3)->Info().data.data() + 7), -1.0f);
}

TEST(ConfigStore, CalculatedValueKeepsLow28StatusBitsAndNoticesTheirChange)
{
    CCalc c(CalcRec(1, "V", 1).data(), "V");
    EXPECT_FALSE(c.StatusChanged());
    c.SetValue(1.0f, 0xF0000005u);
    EXPECT_EQ(c.Value().status, 5u);
    EXPECT_TRUE(c.StatusChanged());
    c.SetValue(2.0f, 0x00000005u);
    EXPECT_EQ(c.Value().value, 2.0f);
    EXPECT_FALSE(c.StatusChanged()); // same bits, new value
    c.SetValue(2.0f, 0x10000005u);
    EXPECT_FALSE(c.StatusChanged()); // only a bit above the low 28 differs
    c.SetValue(2.0f, 0x08000005u);
    EXPECT_TRUE(c.StatusChanged());
}

TEST(ConfigStore, PollingMarksOfASystem)
{
    CSystem sys("S", "");
    for (std::uint16_t id = 1; id <= 5; ++id)
        sys.AddCalc(CalcRec(1, "V", id).data(), "V");
    EXPECT_EQ(sys.SetCalcPolled(99, true), -1);
    EXPECT_EQ(sys.SetCalcPolled(2, true), 0);
    EXPECT_EQ(sys.SetCalcPolled(2, true), 1);
    sys.SetCalcPolled(4, true);
    sys.SetCalcPolled(5, true);
    std::vector<CCalc*> out;
    EXPECT_EQ(sys.CollectPolled(out, 2), 2u);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->Id(), 2);
    EXPECT_EQ(out[1]->Id(), 4);
    EXPECT_EQ(sys.CollectPolled(out, 10), 3u);
    EXPECT_EQ(sys.CollectPolled(out, 0), 0u);

    // Events and constants cannot be polled: they hand back their argument.
    CEvent ev(EventRec("E", 0, 1).data(), "E", 1);
    EXPECT_TRUE(ev.SetPolled(true));
    EXPECT_FALSE(ev.IsPolled());
}

TEST(ConfigStore, EventNamesForMatchesGroupAndMask)
{
    CConfigStore s;
    s.AddSystem("S", "", 1);
    s.AddEvent(EventRec("A", 0, 1).data(), "A", 1);
    s.AddEvent(EventRec("B", 7, 4).data(), "B", 2);
    s.AddEvent(EventRec("C", 3, 4).data(), "C", 3);
    s.AddEvent(EventRec("D", 7, 8).data(), "D", 4);
    CCalc* v = s.AddCalc(CalcRec(1, "V", 100, 7).data(), "V");

    EXPECT_EQ(s.EventNamesFor(nullptr), "");
    EXPECT_EQ(s.EventNamesFor(v), ""); // status 0
    v->SetValue(0, 5);
    EXPECT_EQ(s.EventNamesFor(v), "A, B");
    v->SetValue(0, 8);
    EXPECT_EQ(s.EventNamesFor(v), "D");
    v->SetValue(0, 2);
    EXPECT_EQ(s.EventNamesFor(v), "");
}

TEST(ConfigStore, TransducersAreRecordedOnceAndAtMostEighteen)
{
    CConfigStore s;
    s.AddTransducer(1234);
    s.AddTransducer(1234);
    s.AddTransducer(99);
    EXPECT_EQ(s.Transducers(), (std::vector<std::uint32_t>{1234, 99}));
    EXPECT_EQ(s.TransducerCount(), 2u);
    for (std::uint32_t a = 1000; a < 1020; ++a)
        s.AddTransducer(a);
    EXPECT_EQ(s.TransducerCount(), 18u);
    EXPECT_EQ(s.Transducers().size(), 18u);
    EXPECT_EQ(s.Transducers().back(), 1015u);
    s.Clear();
    EXPECT_TRUE(s.Transducers().empty());
}

} // namespace
} // namespace vx4
