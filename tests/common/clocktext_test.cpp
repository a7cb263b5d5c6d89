#include "common/ClockText.h"

#include <gtest/gtest.h>

using namespace vx4;

namespace {

TEST(ClockText, ShowsTheBcdBytesAsDigits)
{
    DeviceClock c;
    c.bcd = {0x25, 0x12, 0x23, 0x14, 0x03, 0x07};
    EXPECT_EQ(ClockText(c), "25.12.23 14:03:07");
    c.bcd = {0x0A, 0xFF, 0, 0, 0, 0x99};
    EXPECT_EQ(ClockText(c), "0A.FF.00 00:00:99"); // no BCD check: the bytes as they are
}

TEST(ClockText, ParsesRealDatesOnly)
{
    struct Case {
        const char* text;
        bool ok;
        std::array<std::uint8_t, 6> bcd;
    };
    const Case cases[] = {
        {"05.03.24 07:08:09", true, {0x05, 0x03, 0x24, 0x07, 0x08, 0x09}},
        {"31.12.99 23:59:59", true, {0x31, 0x12, 0x99, 0x23, 0x59, 0x59}},
        {"29.02.24 00:00:00", true, {0x29, 0x02, 0x24, 0, 0, 0}},
        {"29.02.23 00:00:00", false, {}},
        {"31.04.24 00:00:00", false, {}},
        {"00.01.24 00:00:00", false, {}},
        {"01.13.24 00:00:00", false, {}},
        {"01.01.24 24:00:00", false, {}},
        {"01.01.24 12:60:00", false, {}},
        {"01.01.24 12:00:60", false, {}},
        {"1.1.24 12:00:00", false, {}},
        {"01.01.2024 12:00:00", false, {}},
        {"01-01-24 12:00:00", false, {}},
        {"01.01.24 12:00:0x", false, {}},
        {"01.01.24 12:00:00 ", false, {}},
        {"", false, {}},
        {"now", false, {}},
    };
    for (const auto& c : cases) {
        DeviceClock clock;
        clock.bcd = {1, 2, 3, 4, 5, 6};
        EXPECT_EQ(ParseClockText(c.text, &clock), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(clock.bcd, c.bcd) << c.text;
        else
            EXPECT_EQ(clock.bcd, (std::array<std::uint8_t, 6>{1, 2, 3, 4, 5, 6})) << c.text;
    }
}

TEST(ClockText, LocalTimeBecomesDayMonthYearHourMinuteSecond)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    EXPECT_EQ(DeviceClockFromTm(t).bcd, (std::array<std::uint8_t, 6>{0x05, 0x03, 0x24, 0x07, 0x08, 0x09}));
    t.tm_year = 2100 - 1900;
    EXPECT_EQ(DeviceClockFromTm(t).bcd[2], 0x00);
}

} // namespace

namespace {

TEST(ClockText, IsoTextsAreCheckedAsTheDevicesOwn)
{
    struct Case {
        const char* text;
        bool ok;
        std::array<std::uint8_t, 6> bcd;
    };
    const Case cases[] = {
        {"2026-12-11T12:00:00", true, {0x11, 0x12, 0x26, 0x12, 0x00, 0x00}},
        {"2024-02-29 23:59:59", true, {0x29, 0x02, 0x24, 0x23, 0x59, 0x59}},
        {"2023-02-29T00:00:00", false, {}},
        {"1999-12-31T00:00:00", false, {}}, // the device keeps two digits of 20YY
        {"2100-01-01T00:00:00", false, {}},
        {"2026-12-11T12:00", false, {}},
        {"2026-12-11T12:00:00Z", false, {}},
        {"2026/12/11T12:00:00", false, {}},
    };
    for (const auto& c : cases) {
        DeviceClock clock;
        EXPECT_EQ(ParseIsoClockText(c.text, &clock), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(clock.bcd, c.bcd) << c.text;
    }
}

TEST(ClockText, OnlyARealDateBecomesABrokenDownTime)
{
    DeviceClock c;
    c.bcd = {0x05, 0x03, 0x24, 0x07, 0x08, 0x09};
    std::tm t{};
    ASSERT_TRUE(ClockToTm(c, &t));
    EXPECT_EQ(t.tm_year, 124);
    EXPECT_EQ(t.tm_mon, 2);
    EXPECT_EQ(t.tm_mday, 5);
    EXPECT_EQ(t.tm_sec, 9);
    for (const auto& bad : {std::array<std::uint8_t, 6>{}, std::array<std::uint8_t, 6>{0x0A, 1, 0x24, 0, 0, 0},
                            std::array<std::uint8_t, 6>{0x31, 0x04, 0x24, 0, 0, 0}}) {
        c.bcd = bad;
        EXPECT_FALSE(ClockToTm(c, &t));
    }
}

} // namespace
