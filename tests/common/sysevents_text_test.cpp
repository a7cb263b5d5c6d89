#include "common/SystemEventsText.h"

#include "Simulator.h"
#include "link/Connection.h"
#include "link/ResultCodes.h"
#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

using namespace vx4;

namespace {

SSysEvent Event(std::uint32_t task, std::uint32_t code, std::uint32_t stamp, std::uint32_t count,
                const std::string& cp1251Text)
{
    SSysEvent ev;
    ev.TaskID = task;
    ev.EvCode = code;
    ev.TStamp = stamp;
    ev.EvCnt = count;
    std::memcpy(ev.text.data(), cp1251Text.data(), std::min(cp1251Text.size(), ev.text.size()));
    return ev;
}

TEST(SystemEventsText, TitleRowAndOneEventGiveTwoTabTerminatedLines)
{
    const std::string text =
        SystemEventsText::Text(std::vector<SSysEvent>{Event(3, 17, 4294967295u, 2, Utf8ToCp1251("Сбой питания"))});
    EXPECT_EQ(Cp1251ToUtf8(text), "TaskID\tEvCode\tTStamp\tEvCnt\tТекст сообщения\t\r\n"
                                  "3\t17\t4294967295\t2\tСбой питания\t\r\n");
    EXPECT_EQ(SystemEventsText::Text(std::vector<SSysEvent>{}), SystemEventsText::Text(std::vector<SystemEventRow>{}));
}

TEST(SystemEventsText, EventTextEndsAtZeroOrAfterItsThirtyTwoBytes)
{
    EXPECT_EQ(SystemEventsText::Row(Event(1, 2, 3, 4, std::string("ab\0cd", 5)))[4], "ab");
    SSysEvent full = Event(1, 2, 3, 4, std::string(32, 'Z'));
    EXPECT_EQ(SystemEventsText::Row(full)[4], std::string(32, 'Z'));
    EXPECT_EQ(SystemEventsText::FileName(123456), "VX4_123456_events.txt");
}

class SystemEventsRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(sim.StartTcp("127.0.0.1", 0, &err)) << err;
        conn.ApplyOverrides("TCP/IP", "127.0.0.1", std::to_string(sim.Port()), 0, sim.Serial(), 0);
        ASSERT_EQ(conn.Open(), 0);
    }
    vx4sim::Simulator sim;
    connection conn;
};

TEST_F(SystemEventsRead, StopsAtTheEmptyEvent)
{
    sim.SetSystemEvents({{1, 10, 100, 1, "Старт"}, {2, 20, 200, 2, "Сброс"}, {3, 30, 300, 3, "x"}});
    std::vector<SSysEvent> events;
    std::vector<unsigned> progress;
    EXPECT_EQ(SystemEventsText::Read(conn, sim.Serial(), &events, [&](unsigned r) { progress.push_back(r); }), 0);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(progress, (std::vector<unsigned>{1, 2, 3}));
    EXPECT_EQ(SystemEventsText::Row(events[1]),
              (SystemEventRow{"2", "20", "200", "2", Utf8ToCp1251("Сброс")}));
}

TEST_F(SystemEventsRead, ReadsAtMost513Events)
{
    sim.SetSystemEvents(std::vector<vx4sim::SystemEvent>(600, {7, 1, 2, 3, "e"}));
    std::vector<SSysEvent> events;
    EXPECT_EQ(SystemEventsText::Read(conn, sim.Serial(), &events), 0);
    EXPECT_EQ(events.size(), 513u);
    EXPECT_EQ(sim.SystemEventsLeft(), 600u - 513u);
}

TEST_F(SystemEventsRead, AFailedReadEndsTheListWithItsCode)
{
    sim.SetSystemEvents({{1, 10, 100, 1, "a"}, {2, 20, 200, 2, "b"}, {3, 30, 300, 3, "c"}});
    std::atomic<int> reads{0};
    sim.SetHook([&](const std::vector<std::uint8_t>&) {
        return ++reads == 3 ? vx4sim::HookResult{vx4sim::HookResult::Silent, {}} : vx4sim::HookResult{};
    });
    std::vector<SSysEvent> events;
    EXPECT_EQ(SystemEventsText::Read(conn, sim.Serial(), &events), LINK_TIMEOUT);
    EXPECT_EQ(events.size(), 2u);
}

} // namespace
