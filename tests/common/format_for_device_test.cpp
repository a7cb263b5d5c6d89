// The text sent to the device for an edited constant, and the six-decimal value format.

#include "common/FormatForDevice.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace vx4 {
namespace {

struct FormatCase {
    const char* typed;
    const char* reference;
    char separator;
    const char* expected;
};

class FormatForDeviceTable : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatForDeviceTable, ShapesTheTextLikeTheReference)
{
    const FormatCase& c = GetParam();
    EXPECT_EQ(FormatForDevice(c.typed, c.reference, c.separator), c.expected)
        << "typed '" << c.typed << "' against '" << c.reference << "' (separator '" << c.separator << "')";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatForDeviceTable,
    ::testing::Values(
        // Floats: "%.*E" with the digits after the reference's point.
        FormatCase{"15.5", "12.345", '.', "1.550E+01"},
        FormatCase{"15,5", "12.345", '.', "1.550E+01"},  // a comma typed on a "." system
        FormatCase{"15,5", "12.345", ',', "1.550E+01"},  // and on a "," system
        FormatCase{"15.5", "12.345", ',', "1.550E+01"},
        FormatCase{"0.001", "1.5", '.', "1.0E-03"},
        FormatCase{"-2", "3.25", '.', "-2.00E+00"},
        FormatCase{"1e3", "1.0", '.', "1.0E+03"},
        FormatCase{"  7.5 ", "1.0", '.', "7.5E+00"},
        FormatCase{"12.3", "1.234560E+01", '.', "1.230000E+01"}, // device's own exponent form
        FormatCase{"100000", "0.5", '.', "1.0E+05"},
        // The precision widens until the E form gives back the typed value at the
        // reference's decimals: integer digits are never lost.
        FormatCase{"1234.7", "1234.5", '.', "1.2347E+03"},
        FormatCase{"250.75", "250.750", '.', "2.5075E+02"},
        FormatCase{"12.345", "12.345", '.', "1.2345E+01"}, // Enter on an untouched value
        FormatCase{"15.5", "12.", '.', "1.6E+01"},        // no decimals: 15.5 is 16 there
        FormatCase{"15.5", "1.5кг", '.', "1.55E+01"},     // Cyrillic ends the numeric run
        FormatCase{"123456789", "1.0", '.', "1.23456789E+08"},
        FormatCase{"-1234.5", "1.0", '.', "-1.2345E+03"},
        // A negative reference counts its decimals like a positive one.
        FormatCase{"15.5", "-12.500", '.', "1.550E+01"},
        FormatCase{"-3.25", "-1.50", '.', "-3.25E+00"},
        FormatCase{"1234.7", "-1234.5", '.', "1.2347E+03"},
        // Values below 1: the precision stays where the reference's decimals hold them.
        FormatCase{"0.125", "0.500", '.', "1.250E-01"},
        FormatCase{"0.5", "1.25", '.', "5.00E-01"},
        FormatCase{"0.0004", "1.000", '.', "4.000E-04"},
        FormatCase{"0.0123", "0.5", '.', "1.2E-02"},
        // Text that does not convert gives the reference (nothing is written).
        FormatCase{"abc", "12.345", '.', "12.345"},
        FormatCase{"", "12.345", '.', "0.000E+00"},       // empty text reads as 0
        FormatCase{"1.2.3", "12.345", '.', "12.345"},
        FormatCase{"1,5,3", "12.345", ',', "12.345"},
        FormatCase{"inf", "12.345", '.', "12.345"},
        FormatCase{"nan", "12.345", '.', "12.345"},
        FormatCase{"12x", "12.345", '.', "12.345"},
        // Integers: "%0.*u" zero-padded to the reference's leading digits.
        FormatCase{"7", "005", '.', "007"},
        FormatCase{"12", "12", '.', "12"},
        FormatCase{"1234", "05", '.', "1234"},
        FormatCase{"-1", "12", '.', "4294967295"},
        FormatCase{"-2147483648", "1", '.', "2147483648"},
        FormatCase{"2147483647", "1", '.', "2147483647"},
        FormatCase{"+9", "1", '.', "9"},
        FormatCase{" 42 ", "1", '.', "42"},
        FormatCase{"7", "элемент не найден", '.', "7"},  // a failed read as reference
        FormatCase{"0", "элемент не найден", '.', "0"},  // never an empty text
        FormatCase{"0", "", '.', "0"},
        FormatCase{"0", "000", '.', "000"},
        FormatCase{"7", "-12", '.', "07"},                // the sign is no digit
        FormatCase{"40", "1234", '.', "0040"},            // integer references keep their width
        FormatCase{"2147483648", "1", '.', "1"},          // beyond 32 bits: no conversion
        FormatCase{"1.5", "3", '.', "3"},                 // a fraction in an integer row
        FormatCase{"abc", "3", '.', "3"},
        FormatCase{"", "3", '.', "3"},
        FormatCase{"-", "3", '.', "3"}));

struct ValueCase {
    double value;
    char separator;
    const char* expected;
};

class FormatValue6Table : public ::testing::TestWithParam<ValueCase> {};

TEST_P(FormatValue6Table, AtMostSixDecimalsWithoutTrailingZeros)
{
    const ValueCase& c = GetParam();
    EXPECT_EQ(FormatValue6(c.value, c.separator), c.expected) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatValue6Table,
    ::testing::Values(ValueCase{12.5, '.', "12.5"}, ValueCase{12.5, ',', "12,5"}, ValueCase{3.0, '.', "3"},
                      ValueCase{0.0, '.', "0"}, ValueCase{-0.0, '.', "0"}, ValueCase{0.0000001, '.', "0"},
                      ValueCase{-0.0000001, '.', "0"}, ValueCase{0.5, '.', "0.5"},
                      ValueCase{double(12.3f), '.', "12.3"}, ValueCase{1.0 / 3.0, '.', "0.333333"},
                      ValueCase{2.0 / 3.0, '.', "0.666667"}, ValueCase{-7.25, '.', "-7.25"},
                      ValueCase{1234567.0, '.', "1234567"}, ValueCase{1e20, '.', "100000000000000000000"}));

TEST(FormatValue6, NonFiniteValuesHaveWords)
{
    EXPECT_EQ(FormatValue6(std::numeric_limits<double>::quiet_NaN(), '.'), "NAN");
    EXPECT_EQ(FormatValue6(std::numeric_limits<double>::infinity(), '.'), "INF");
    EXPECT_EQ(FormatValue6(-std::numeric_limits<double>::infinity(), '.'), "-INF");
}

} // namespace
} // namespace vx4
