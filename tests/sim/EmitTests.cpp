// Traffic the simulator sends unasked (--emit) for the frame monitors: the option's
// syntax, the units the generator makes, and the frames a client receives.

#include "Emitter.h"
#include "SimTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <set>

using namespace simtest;

namespace {

TEST(Emit, ParsesKindAndRate)
{
    struct Case {
        const char* text;
        bool ok;
        vx4sim::Emission::Kind kind;
        double rate;
    };
    const Case cases[] = {
        {"vx3c:20", true, vx4sim::Emission::Vx3c, 20},   {"vx2:max", true, vx4sim::Emission::Vx2, 0},
        {"vx2:0.5", true, vx4sim::Emission::Vx2, 0.5},   {"vx3c:0", false, {}, 0},
        {"vx3c:-1", false, {}, 0},                       {"vx3c:fast", false, {}, 0},
        {"vx3c:", false, {}, 0},                         {"vx4:10", false, {}, 0},
        {"vx3c", false, {}, 0},                          {"vx3c:100001", false, {}, 0},
    };
    for (const Case& c : cases) {
        vx4sim::Emission e;
        std::string error;
        EXPECT_EQ(vx4sim::ParseEmission(c.text, &e, &error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(e.kind, c.kind) << c.text;
            EXPECT_EQ(e.rate, c.rate) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

TEST(Emit, Vx3cUnitsAreFramesSomeCutShortOrWithWrongCheckBytes)
{
    vx4sim::Emission e;
    e.kind = vx4sim::Emission::Vx3c;
    vx4sim::Emitter gen(e, 123456, {});
    int whole = 0, badCheck = 0, cut = 0;
    for (int i = 0; i < 2000; ++i) {
        const auto unit = gen.NextUnit();
        ASSERT_EQ(unit.size(), 1u);
        const Bytes& f = unit[0].bytes;
        ASSERT_FALSE(f.empty());
        if (unit[0].pauseAfter) {
            ++cut; // a pause lets a listener see where the piece ends
            EXPECT_TRUE(f.size() < 7 || f.size() < vx4::Vx3cFrameSize(vx4::GetU16(f.data() + 4)));
        } else if (ValidVx3c(f)) {
            ++whole;
            EXPECT_EQ(vx4::GetU32(f.data()), 123456u);
            EXPECT_LE(vx4::GetU16(f.data() + 4), 120u);
        } else {
            ++badCheck;
            EXPECT_EQ(f.size(), vx4::Vx3cFrameSize(vx4::GetU16(f.data() + 4)));
        }
    }
    EXPECT_GT(whole, 1700);
    EXPECT_GT(cut, 20);
    EXPECT_GT(badCheck, 50);

    e.faults = false; // the benchmark's traffic: whole frames only
    vx4sim::Emitter clean(e, 1, {});
    for (int i = 0; i < 500; ++i)
        EXPECT_TRUE(ValidVx3c(clean.NextUnit()[0].bytes));
}

TEST(Emit, Vx2UnitsAreRequestsWithTheirAnswersOrModbusFrames)
{
    vx4sim::Emission e;
    e.kind = vx4sim::Emission::Vx2;
    vx4sim::Emitter gen(e, 123456, {1203045});
    std::set<std::uint8_t> commands;
    int modbus = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto unit = gen.NextUnit();
        ASSERT_EQ(unit.size(), 2u);
        const Bytes& a = unit[0].bytes;
        const Bytes& b = unit[1].bytes;
        if (unit[0].pauseAfter) {
            ++modbus;
            for (const Bytes* f : {&a, &b})
                EXPECT_EQ(vx4::Crc16Modbus(f->data(), f->size() - 2), vx4::GetU16(f->data() + f->size() - 2));
            EXPECT_EQ(a.size(), 8u);
            EXPECT_EQ(b.size(), 9u);
            EXPECT_TRUE(unit[1].pauseAfter);
            continue;
        }
        ASSERT_EQ(a.size(), 16u);
        EXPECT_TRUE(vx4::CheckBytesValid(a.data(), 14));
        EXPECT_EQ(vx4::GetU32(a.data()), 0x01203045u);
        ASSERT_EQ(b.size(), vx4::Vx2AnswerSize(a[4])) << int(a[4]);
        EXPECT_TRUE(vx4::CheckBytesValid(b.data(), b.size() - 2));
        EXPECT_EQ(b[4], a[4]);
        EXPECT_FALSE(unit[1].pauseAfter);
        commands.insert(a[4]);
    }
    EXPECT_GT(modbus, 10);
    // Every answer length and every answer-wait boundary comes up.
    for (std::uint8_t c : {0x07, 0x2B, 0x30, 0x41, 11, 39, 48, 49, 90, 91, 100, 101})
        EXPECT_TRUE(commands.count(c)) << int(c);
}

TEST(Emit, ConnectedClientReceivesTheFramesAndTheCountFollows)
{
    vx4sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.StartTcp("127.0.0.1", 0, &error)) << error;
    vx4sim::Emission e;
    e.kind = vx4sim::Emission::Vx3c;
    e.rate = 200;
    e.faults = false;
    sim.SetEmission(e);
    const int fd = ConnectTcp(sim.Port());
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(ValidVx3c(ReadAnswer(fd))) << "frame " << i;
    // A frame is counted once its write has returned, which may be a moment after the
    // client has read it.
    for (int i = 0; i < 200 && sim.FramesEmitted() < 20u; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(sim.FramesEmitted(), 20u);
    // Emitting goes on beside answering requests.
    ASSERT_TRUE(WriteAll(fd, Request(sim.Serial(), 0x01)));
    bool identified = false;
    for (int i = 0; i < 200 && !identified; ++i) {
        const Bytes f = ReadAnswer(fd);
        ASSERT_TRUE(ValidVx3c(f));
        identified = f[6] == 0x01 && f.size() == vx4::Vx3cFrameSize(42) && vx4::GetU32(&f[7 + 21]) == sim.Serial();
    }
    EXPECT_TRUE(identified);
    // Stopping the emission leaves the line silent.
    sim.SetEmission(vx4sim::Emission{});
    while (!ReadSome(fd, 1, 300).empty()) {
    }
    const std::uint64_t sent = sim.FramesEmitted();
    EXPECT_TRUE(ReadSome(fd, 1, 300).empty());
    EXPECT_EQ(sim.FramesEmitted(), sent);
    close(fd);
}

} // namespace
