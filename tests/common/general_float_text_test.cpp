// The general number format of the polled-value table.

#include "common/GeneralFloatText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vx4 {
namespace {

TEST(GeneralFloatText, FifteenDigitsFixedOrShortestExponent)
{
    struct Case {
        double value;
        char separator;
        const char* text;
    };
    const float big = std::numeric_limits<float>::max();
    const Case cases[] = {
        {double(12.3f), '.', "12.3000001907349"}, // the float widened, not the decimal 12.3
        {double(12.3f), ',', "12,3000001907349"},
        {12.5, '.', "12.5"},
        {100, '.', "100"},
        {-2.25, ',', "-2,25"},
        {0, '.', "0"},
        {-0.0, '.', "0"},
        {0.0001, '.', "0.0001"},   // fixed down to 1E-4
        {0.00001, '.', "1E-5"},    // then scientific, no leading zeros in the exponent
        {1.5e-7, ',', "1,5E-7"},
        {123456789012345.0, '.', "123456789012345"}, // 15 integer digits stay fixed
        {1e15, '.', "1E15"},                          // 16 do not, and no "+"
        {double(big), '.', "3.40282346638529E38"},
        {1.0 / 3.0, '.', "0.333333333333333"},
        {2.0 / 3.0, '.', "0.666666666666667"}, // rounded, not cut
        {std::numeric_limits<double>::quiet_NaN(), '.', "NAN"},
        {std::numeric_limits<double>::infinity(), '.', "INF"},
        {-std::numeric_limits<double>::infinity(), '.', "-INF"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GeneralFloatText(c.value, c.separator), c.text) << "value " << c.value;
}

} // namespace
} // namespace vx4
