#include "platform/NormalizeDecimalSeparator.h"

#include <langinfo.h>

#include <cstring>

namespace vx4 {

char DecimalSeparator()
{
    // nl_langinfo reads the thread's current locale and, unlike localeconv, is safe to call
    // from several threads.
    const char* radix = nl_langinfo(RADIXCHAR);
    if (radix == nullptr || std::strlen(radix) != 1)
        return '.';
    return radix[0];
}

std::string NormalizeDecimalSeparator(std::string_view text, char separator)
{
    if (text.empty())
        return "0";
    std::string out(text);
    if (separator == '.') {
        const auto comma = out.find(',');
        if (comma != std::string::npos)
            out[comma] = '.';
    } else {
        for (char& c : out)
            if (c == '.')
                c = separator;
    }
    return out;
}

std::string NormalizeDecimalSeparator(std::string_view text)
{
    return NormalizeDecimalSeparator(text, DecimalSeparator());
}

} // namespace vx4
