#pragma once
// Conversion between the device's 8-bit code page 1251 and the UTF-8 the program uses
// inside. A character that has no counterpart in the target (or malformed input)
// becomes '?', so a conversion never fails.

#include <string>
#include <string_view>

namespace vx4 {

std::string Cp1251ToUtf8(std::string_view text);
std::string Utf8ToCp1251(std::string_view text);

} // namespace vx4
