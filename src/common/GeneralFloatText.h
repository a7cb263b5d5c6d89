#pragma once
// The general number format of the polled-value table and its export: a value widened to
// double and written with up to 15 significant digits, trailing zeros dropped; fixed-point
// while the value has at most 15 integer digits and is at least 0.0001 in magnitude,
// otherwise scientific with the shortest exponent ("1E20", "1.5E-7"). 12.3f widened gives
// "12.3000001907349". Non-finite values give "NAN", "INF" and "-INF"; zero gives "0".

#include <string>

namespace vx4 {

// `decimalSeparator` replaces the decimal point.
std::string GeneralFloatText(double value, char decimalSeparator);

// Writes the same text into buf (at least GeneralFloatTextMax bytes, not terminated) and
// returns its length; for callers that format many values in a row.
inline constexpr int GeneralFloatTextMax = 32;
int GeneralFloatText(double value, char decimalSeparator, char* buf);

} // namespace vx4
