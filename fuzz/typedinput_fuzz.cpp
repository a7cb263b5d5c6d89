// How a typed cell text is read: arbitrary text in each date order. Whatever the text, the
// reading ends with a kind whose value fits it: a number is the value strtod gives for the
// trimmed text (a decimal comma read as a point) and reads back the same when written out
// in full; a date is a whole day from 1900 on; a time is a fraction of a day; a date with a
// time lies between its day and the next; blank is the empty text only.
#include "office/TypedInput.h"

#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

std::string Trimmed(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return std::string(s);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::setlocale(LC_NUMERIC, "C");
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (vx4::DateOrder order : {vx4::DateOrder::DayMonthYear, vx4::DateOrder::MonthDayYear, vx4::DateOrder::YearMonthDay}) {
        const vx4::TypedInput in = vx4::ReadTypedInput(text, order);
        Check((in.kind == vx4::TypedInput::Blank) == text.empty());
        switch (in.kind) {
        case vx4::TypedInput::Blank:
        case vx4::TypedInput::Text:
            break;
        case vx4::TypedInput::Number: {
            std::string plain = Trimmed(text);
            for (char& c : plain)
                if (c == ',')
                    c = '.';
            Check(plain.find_first_not_of("+-0123456789.eE") == std::string::npos);
            const double expected = std::strtod(plain.c_str(), nullptr);
            Check(in.value == expected || (std::isnan(in.value) && std::isnan(expected)));
            if (std::isfinite(in.value)) {
                char again[64];
                std::snprintf(again, sizeof again, "%.17g", in.value);
                const vx4::TypedInput back = vx4::ReadTypedInput(again, order);
                Check(back.kind == vx4::TypedInput::Number && back.value == in.value);
            }
            break;
        }
        case vx4::TypedInput::Date:
            Check(std::isfinite(in.value) && in.value >= 1 && in.value == std::floor(in.value));
            break;
        case vx4::TypedInput::Time:
            Check(in.value >= 0 && in.value < 1);
            break;
        case vx4::TypedInput::DateTime:
            Check(std::isfinite(in.value) && in.value >= 1);
            break;
        default:
            Check(false);
        }
    }
    return 0;
}
