// Cell texts read as a spreadsheet reads typed input.

#include "office/TypedInput.h"

#include <gtest/gtest.h>

namespace vx4 {
namespace {

constexpr double Dec10_2026 = 46366; // 10.12.2026 as a date-time number
constexpr double At165122 = (16 * 3600 + 51 * 60 + 22) / 86400.0;

TEST(TypedInput, NumbersDatesTimesAndText)
{
    using K = TypedInput;
    struct Case {
        const char* text;
        DateOrder order;
        TypedInput::Kind kind;
        double value;
    };
    constexpr auto DMY = DateOrder::DayMonthYear, MDY = DateOrder::MonthDayYear, YMD = DateOrder::YearMonthDay;
    const Case cases[] = {
        // Numbers with either decimal separator, sign and exponent.
        {"12,3000001907349", DMY, K::Number, 12.3000001907349},
        {"12.3000001907349", MDY, K::Number, 12.3000001907349},
        {"-1,5E-7", DMY, K::Number, -1.5e-7},
        {"+5", DMY, K::Number, 5},
        {"1E20", DMY, K::Number, 1e20},
        {" 42 ", DMY, K::Number, 42},
        {",5", DMY, K::Number, 0.5},
        {"10.12", DMY, K::Number, 10.12}, // two parts are a number, not a date
        // Date-times of each order, two- and four-digit years, AM/PM.
        {"10.12.2026 16:51:22", DMY, K::DateTime, Dec10_2026 + At165122},
        {"10.12.26 16:51:22", DMY, K::DateTime, Dec10_2026 + At165122},
        {"12/10/2026 4:51:22 PM", MDY, K::DateTime, Dec10_2026 + At165122},
        {"2026-12-10 16:51:22", DMY, K::DateTime, Dec10_2026 + At165122}, // a four-digit first part is the year
        {"26-12-10 16:51:22", YMD, K::DateTime, Dec10_2026 + At165122},
        {"10.12.2026 16:51", DMY, K::DateTime, Dec10_2026 + (16 * 60 + 51) / 1440.0},
        {"10.12.2026 16:51:22.500", DMY, K::DateTime, Dec10_2026 + At165122 + 0.5 / 86400},
        {"10.12.2026", DMY, K::Date, Dec10_2026},
        {"01.03.1900", DMY, K::Date, 61}, // the spreadsheet's 29.02.1900 counts
        {"01.01.1900", DMY, K::Date, 1},
        {"12:00 AM", DMY, K::Time, 0},
        {"16:51:22", DMY, K::Time, At165122},
        // Text: impossible dates and times, other separators, names, NAN and INF.
        {"31.02.2026", DMY, K::Text, 0},
        {"10.13.2026", DMY, K::Text, 0},
        {"10.12.2026 24:00:00", DMY, K::Text, 0},
        {"10.12.2026 16:60", DMY, K::Text, 0},
        {"13:00 PM", DMY, K::Text, 0},
        {"10.12/2026", DMY, K::Text, 0},
        {"1.2.3", DMY, K::Text, 0},
        {"31.12.1899", DMY, K::Text, 0},
        {"10.12.2026 x", DMY, K::Text, 0},
        {"1T1", DMY, K::Text, 0},
        {"Дата Время", DMY, K::Text, 0},
        {"NAN", DMY, K::Text, 0},
        {"-INF", DMY, K::Text, 0},
        {"1,2,3", DMY, K::Text, 0},
        {"1e", DMY, K::Text, 0},
        {"-", DMY, K::Text, 0},
        {"  ", DMY, K::Text, 0},
        {"", DMY, K::Blank, 0},
    };
    for (const Case& c : cases) {
        const TypedInput in = ReadTypedInput(c.text, c.order);
        EXPECT_EQ(in.kind, c.kind) << "'" << c.text << "'";
        if (c.kind != K::Text && c.kind != K::Blank) {
            EXPECT_NEAR(in.value, c.value, 1e-9 * std::max(1.0, std::abs(c.value))) << "'" << c.text << "'";
        }
    }
}

} // namespace
} // namespace vx4
