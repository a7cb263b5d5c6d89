#include "office/TypedInput.h"

#include <charconv>
#include <cmath>
#include <string>

namespace vx4 {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Days from 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153u * unsigned(m + (m > 2 ? -3 : 9)) + 2) / 5 + unsigned(d) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// A whole number: sign, digits, an optional decimal point or comma with digits, an optional
// exponent.
bool ReadNumber(std::string_view s, double* out)
{
    std::size_t i = 0;
    const std::size_t n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < n && IsDigit(s[i]))
        ++i, ++digits;
    std::size_t point = std::string_view::npos;
    if (i < n && (s[i] == '.' || s[i] == ',')) {
        point = i++;
        while (i < n && IsDigit(s[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            ++i;
        std::size_t expDigits = 0;
        while (i < n && IsDigit(s[i]))
            ++i, ++expDigits;
        if (expDigits == 0)
            return false;
    }
    if (i != n)
        return false;

    // from_chars takes neither a leading "+" nor a comma.
    char buf[128];
    std::string heap;
    char* p = buf;
    if (n >= sizeof buf) {
        heap.resize(n);
        p = heap.data();
    }
    std::size_t len = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (k == 0 && s[k] == '+')
            continue;
        p[len++] = k == point ? '.' : s[k];
    }
    double v = 0;
    const auto [end, ec] = std::from_chars(p, p + len, v, std::chars_format::general);
    if (ec != std::errc() || end != p + len || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

// A run of 1..maxDigits digits at s[i]; advances i.
bool ReadInt(std::string_view s, std::size_t& i, int maxDigits, int* out, int* count = nullptr)
{
    int v = 0, k = 0;
    while (i < s.size() && IsDigit(s[i]) && k < maxDigits) {
        v = v * 10 + (s[i] - '0');
        ++i, ++k;
    }
    if (k == 0 || (i < s.size() && IsDigit(s[i])))
        return false;
    *out = v;
    if (count)
        *count = k;
    return true;
}

// Day, month and year at the start of s; i is left after the date.
bool ReadDate(std::string_view s, std::size_t& i, DateOrder order, int* y, int* m, int* d)
{
    int part[3];
    int len[3];
    char sep = 0;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            if (i >= s.size())
                return false;
            const char c = s[i];
            if (c != '.' && c != '/' && c != '-')
                return false;
            if (sep != 0 && c != sep)
                return false;
            sep = c;
            ++i;
        }
        if (!ReadInt(s, i, 4, &part[k], &len[k]))
            return false;
    }
    // A trailing "." after the year (dd.mm.yyyy.) is not a date.
    int year, month, day, yearLen;
    if (len[0] == 4 || order == DateOrder::YearMonthDay) {
        year = part[0], yearLen = len[0], month = part[1], day = part[2];
        if (len[1] > 2 || len[2] > 2)
            return false;
    } else {
        year = part[2], yearLen = len[2];
        if (len[0] > 2 || len[1] > 2)
            return false;
        if (order == DateOrder::MonthDayYear)
            month = part[0], day = part[1];
        else
            day = part[0], month = part[1];
    }
    if (yearLen == 1 || yearLen == 3)
        return false;
    if (yearLen == 2)
        year += year < 30 ? 2000 : 1900;
    if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    *y = year, *m = month, *d = day;
    return true;
}

// hh:mm[:ss[.fff]] [AM|PM] up to the end of s.
bool ReadTime(std::string_view s, std::size_t& i, double* dayFraction)
{
    int h = 0, mi = 0, sec = 0;
    double frac = 0;
    if (!ReadInt(s, i, 2, &h) || i >= s.size() || s[i] != ':')
        return false;
    ++i;
    int mLen = 0;
    if (!ReadInt(s, i, 2, &mi, &mLen) || mLen != 2)
        return false;
    if (i < s.size() && s[i] == ':') {
        ++i;
        int sLen = 0;
        if (!ReadInt(s, i, 2, &sec, &sLen) || sLen != 2)
            return false;
        if (i < s.size() && (s[i] == '.' || s[i] == ',')) {
            ++i;
            double scale = 0.1;
            int k = 0;
            while (i < s.size() && IsDigit(s[i])) {
                frac += (s[i] - '0') * scale;
                scale *= 0.1;
                ++i, ++k;
            }
            if (k == 0)
                return false;
        }
    }
    std::size_t j = i;
    while (j < s.size() && IsBlank(s[j]))
        ++j;
    if (j + 2 == s.size()) {
        const char a = char(s[j] & ~0x20), b = char(s[j + 1] & ~0x20);
        if ((a == 'A' || a == 'P') && b == 'M') {
            if (h < 1 || h > 12)
                return false;
            h = (h % 12) + (a == 'P' ? 12 : 0);
            i = s.size();
        }
    }
    if (i != s.size() || h > 23 || mi > 59 || sec > 59)
        return false;
    *dayFraction = (h * 3600.0 + mi * 60.0 + sec + frac) / 86400.0;
    return true;
}

} // namespace

double DateTimeNumber(int year, int month, int day, int hour, int minute, double second)
{
    // 30.12.1899 is day 0; before 01.03.1900 the spreadsheet is one day behind because of
    // its 29.02.1900.
    long long days = DaysFromCivil(year, month, day) - DaysFromCivil(1899, 12, 30);
    if (days < 61)
        --days;
    return double(days) + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

TypedInput ReadTypedInput(std::string_view text, DateOrder order)
{
    if (text.empty())
        return {TypedInput::Blank, 0};
    const std::string_view s = Trim(text);
    if (s.empty())
        return {TypedInput::Text, 0};

    double number = 0;
    if (ReadNumber(s, &number))
        return {TypedInput::Number, number};

    // A date, optionally followed by a time.
    std::size_t i = 0;
    int y, m, d;
    if (ReadDate(s, i, order, &y, &m, &d)) {
        const double date = DateTimeNumber(y, m, d);
        if (i == s.size())
            return {TypedInput::Date, date};
        if (IsBlank(s[i])) {
            while (i < s.size() && IsBlank(s[i]))
                ++i;
            double t = 0;
            if (ReadTime(s, i, &t))
                return {TypedInput::DateTime, date + t};
        }
        return {TypedInput::Text, 0};
    }
    i = 0;
    double t = 0;
    if (ReadTime(s, i, &t))
        return {TypedInput::Time, t};
    return {TypedInput::Text, 0};
}

} // namespace vx4
