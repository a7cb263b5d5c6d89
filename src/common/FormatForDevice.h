#pragma once
// Turning what the user typed for a constant into the text the device is sent, and the
// number formats the console shows values in. Pure functions on the standard library: the
// console's value editor and the command-line tool's "set" share them.

#include <string>
#include <string_view>

namespace vx4 {

// The text to write for a constant, shaped like the device's own text of its current value
// (`referenceText`, as the device prints it):
//  - a reference containing "." is a float: the new text (either "." or "," as the decimal
//    separator) is sent as "%.*E" with as many digits after the point as the reference has
//    after the last "." of its leading numeric run, a leading sign skipped (15.5 against
//    12.345 gives 1.550E+01); where that would not give back the typed value at the
//    reference's decimals, with just as many more digits as it takes (1234.7 against
//    1234.5 gives 1.2347E+03, never 1.2E+03);
//  - otherwise an integer: the new text is read as a 32-bit integer and sent as "%0.*u"
//    zero-padded to the length of the reference's leading run of digits, a leading sign
//    skipped (7 against 005 gives 007, -1 gives 4294967295); at least one digit is always
//    written.
// Text that cannot be converted gives the reference itself, which the caller takes as
// "nothing to write". `decimalSeparator` is the separator of the user's locale that a
// typed number is first brought to; the result always uses ".".
std::string FormatForDevice(std::string_view newText, std::string_view referenceText,
                            char decimalSeparator);
// The same with the separator of the current locale.
std::string FormatForDevice(std::string_view newText, std::string_view referenceText);

// "#0.######" / "0.######": at least one integer digit, at most six decimals, trailing zeros
// (and a bare separator) dropped, no thousands separator. 12.5 -> "12.5", 3 -> "3",
// 0.0000001 -> "0". Non-finite values give "NAN", "INF" or "-INF".
std::string FormatValue6(double value, char decimalSeparator);
std::string FormatValue6(double value);

} // namespace vx4
