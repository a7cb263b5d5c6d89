#include "common/FormatForDevice.h"

#include "platform/NormalizeDecimalSeparator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace vx4 {

namespace {

std::string_view Trim(std::string_view s)
{
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// The whole (trimmed) text as a finite number, "." as the decimal point.
bool ParseFloat(std::string_view text, double* out)
{
    text = Trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+')
        return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

// The whole (trimmed) text as a signed 32-bit decimal integer with an optional sign.
bool ParseInt32(std::string_view text, std::int32_t* out)
{
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > std::numeric_limits<std::int32_t>::max())
        return false;
    *out = std::int32_t(v);
    return true;
}

std::string ToChars(double v, std::chars_format format, int precision)
{
    // Room for 309 integer digits, the precision, sign, point and exponent.
    std::string out(std::size_t(precision) + 330, '\0');
    const auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), v, format, precision);
    if (ec != std::errc())
        return {};
    out.resize(std::size_t(end - out.data()));
    return out;
}

// v in E form with `digits` digits after the point, or with just as many more as it takes
// for the text to give back v at `digits` decimals: in E form the precision counts mantissa
// digits, so 1234.7 at one decimal needs 1.2347E+03, not 1.2E+03. Empty when v cannot be
// written.
std::string ScientificGivingBack(double v, int digits)
{
    const std::string wanted = ToChars(v, std::chars_format::fixed, digits);
    // 16 digits after the point give back every double exactly.
    constexpr int ExactDigits = std::numeric_limits<double>::max_digits10 - 1;
    std::string out;
    for (int p = digits; p <= std::max(digits, ExactDigits); ++p) {
        out = ToChars(v, std::chars_format::scientific, p);
        double back = 0;
        if (out.empty() || wanted.empty() || !ParseFloat(out, &back))
            return out;
        if (ToChars(back, std::chars_format::fixed, digits) == wanted)
            break;
    }
    return out;
}

} // namespace

std::string FormatForDevice(std::string_view newText, std::string_view referenceText, char decimalSeparator)
{
    // The reference's shape: float when it holds a "."; digits after the last "." of its
    // leading numeric run (or the length of its leading run of digits). Bytes compare as
    // signed, so any non-ASCII byte ends the run like any other non-digit.
    bool isFloat = referenceText.find('.') != std::string_view::npos;
    int digits = 0;
    // A sign is not part of the shape: "-12.500" has three decimals like "12.500".
    std::string_view shape = referenceText;
    if (!shape.empty() && (shape.front() == '-' || shape.front() == '+'))
        shape.remove_prefix(1);
    for (char c : shape) {
        const signed char s = static_cast<signed char>(c);
        if (s == '.') {
            isFloat = true;
            digits = 0;
        } else if (s < '0' || s > '9') {
            break;
        } else {
            ++digits;
        }
    }

    const std::string reference(referenceText);
    if (isFloat) {
        std::string text = NormalizeDecimalSeparator(newText, decimalSeparator);
        if (decimalSeparator != '.')
            for (char& c : text)
                if (c == decimalSeparator)
                    c = '.';
        double v = 0;
        if (!ParseFloat(text, &v))
            return reference;
        std::string out = ScientificGivingBack(v, digits);
        if (out.empty())
            return reference;
        for (char& c : out)
            if (c == 'e')
                c = 'E';
        return out;
    }

    std::int32_t v = 0;
    if (!ParseInt32(newText, &v))
        return reference;
    // "%0.*u": the 32-bit pattern as unsigned, zero-padded to the reference's digit count.
    // At least one digit: a reference without leading digits must not turn 0 into "".
    std::string out = std::to_string(static_cast<std::uint32_t>(v));
    if (out.size() < std::size_t(digits))
        out.insert(0, std::size_t(digits) - out.size(), '0');
    return out;
}

std::string FormatForDevice(std::string_view newText, std::string_view referenceText)
{
    return FormatForDevice(newText, referenceText, DecimalSeparator());
}

std::string FormatValue6(double value, char decimalSeparator)
{
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    char buf[400];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    if (ec != std::errc())
        return "0";
    std::string out(buf, end);
    const auto point = out.find('.');
    if (point != std::string::npos) {
        while (out.back() == '0')
            out.pop_back();
        if (out.back() == '.')
            out.pop_back();
        else
            out[point] = decimalSeparator;
    }
    if (out == "-0")
        out = "0";
    return out;
}

std::string FormatValue6(double value)
{
    return FormatValue6(value, DecimalSeparator());
}

} // namespace vx4
