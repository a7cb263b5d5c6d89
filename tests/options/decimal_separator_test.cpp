#include "platform/NormalizeDecimalSeparator.h"

#include "bank_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vx4 {
namespace {

TEST(NormalizeDecimalSeparator, BringsTextToTheGivenSeparator)
{
    struct Case {
        const char* text;
        char separator;
        const char* expected;
    };
    const Case cases[] = {
        {"1,5", '.', "1.5"},     {"1,5,3", '.', "1.5,3"}, // only the first comma
        {"1.5", '.', "1.5"},     {"12", '.', "12"},
        {"", '.', "0"},          {"1.5", ',', "1,5"},
        {"1.5.3", ',', "1,5,3"}, // every point
        {"1,5", ',', "1,5"},     {"", ',', "0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NormalizeDecimalSeparator(c.text, c.separator), c.expected)
            << '"' << c.text << "\" to '" << c.separator << "'";
}

TEST(NormalizeDecimalSeparator, FollowsTheNumericLocale)
{
    EXPECT_EQ(DecimalSeparator(), '.');
    EXPECT_EQ(NormalizeDecimalSeparator("2,25"), "2.25");
    EXPECT_EQ(std::strtod(NormalizeDecimalSeparator("2,25").c_str(), nullptr), 2.25);

    vx4test::CommaLocale comma;
    if (!comma.Active())
        GTEST_SKIP() << "no locale with a decimal comma could be set up";
    EXPECT_EQ(DecimalSeparator(), ',');
    EXPECT_EQ(NormalizeDecimalSeparator("2.25"), "2,25");
    // The normalised text is what the C library's conversion understands in that locale.
    EXPECT_EQ(std::strtod(NormalizeDecimalSeparator("2.25").c_str(), nullptr), 2.25);
    EXPECT_EQ(std::strtod(NormalizeDecimalSeparator("2,25").c_str(), nullptr), 2.25);
}

} // namespace
} // namespace vx4
