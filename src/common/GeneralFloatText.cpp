#include "common/GeneralFloatText.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace vx4 {

int GeneralFloatText(double value, char decimalSeparator, char* buf)
{
    if (std::isnan(value)) {
        std::memcpy(buf, "NAN", 3);
        return 3;
    }
    if (std::isinf(value)) {
        if (value < 0) {
            std::memcpy(buf, "-INF", 4);
            return 4;
        }
        std::memcpy(buf, "INF", 3);
        return 3;
    }
    if (value == 0) {
        buf[0] = '0';
        return 1;
    }
    // %.15g: fixed for exponents -5 < e < 15, scientific ("1.5e-07") otherwise.
    char tmp[GeneralFloatTextMax];
    const auto [end, ec] = std::to_chars(tmp, tmp + sizeof tmp, value, std::chars_format::general, 15);
    if (ec != std::errc())
        return 0; // cannot happen: 32 bytes hold every %.15g text
    int n = 0;
    for (const char* p = tmp; p != end; ++p) {
        const char c = *p;
        if (c == '.') {
            buf[n++] = decimalSeparator;
        } else if (c == 'e') {
            // The exponent: sign only when negative, no leading zeros.
            buf[n++] = 'E';
            ++p;
            if (*p == '-')
                buf[n++] = '-';
            ++p;
            while (p + 1 != end && *p == '0')
                ++p;
            while (p != end)
                buf[n++] = *p++;
            break;
        } else {
            buf[n++] = c;
        }
    }
    return n;
}

std::string GeneralFloatText(double value, char decimalSeparator)
{
    char buf[GeneralFloatTextMax];
    return std::string(buf, std::size_t(GeneralFloatText(value, decimalSeparator, buf)));
}

} // namespace vx4
