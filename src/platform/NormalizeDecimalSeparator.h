#pragma once
// Number texts typed by the user or stored in files may use "." or "," as the decimal
// separator. Before such a text is parsed it is brought to the separator of the user's
// locale (LC_NUMERIC), the one the C library's text-to-number conversions expect.

#include <string>
#include <string_view>

namespace vx4 {

// The decimal separator of the current LC_NUMERIC locale ("." in the C locale). A locale
// whose separator is not a single byte reads as ".".
char DecimalSeparator();

// When separator is ".", the first "," becomes "."; otherwise every "." becomes the
// separator. An empty text becomes "0".
std::string NormalizeDecimalSeparator(std::string_view text, char separator);

// The same with the separator of the current locale.
std::string NormalizeDecimalSeparator(std::string_view text);

} // namespace vx4
