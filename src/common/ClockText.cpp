#include "common/ClockText.h"

#include <cstdio>

namespace vx4 {

std::string ClockText(const DeviceClock& clock)
{
    char buf[32];
    const auto& b = clock.bcd;
    std::snprintf(buf, sizeof buf, "%.2X.%.2X.%.2X %.2X:%.2X:%.2X", unsigned(b[0]), unsigned(b[1]),
                  unsigned(b[2]), unsigned(b[3]), unsigned(b[4]), unsigned(b[5]));
    return buf;
}

namespace {

bool TwoDigits(const std::string& s, std::size_t at, unsigned* value)
{
    const char a = s[at], b = s[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9')
        return false;
    *value = unsigned(a - '0') * 10 + unsigned(b - '0');
    return true;
}

unsigned DaysInMonth(unsigned month, unsigned year)
{
    static const unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && year % 4 == 0) // years 2000..2099: every fourth is a leap year
        return 29;
    return days[month - 1];
}

} // namespace

bool ParseClockText(const std::string& text, DeviceClock* out)
{
    // DD.MM.YY HH:MM:SS
    if (text.size() != 17 || text[2] != '.' || text[5] != '.' || text[8] != ' ' || text[11] != ':' ||
        text[14] != ':')
        return false;
    unsigned day, month, year, hour, minute, second;
    if (!TwoDigits(text, 0, &day) || !TwoDigits(text, 3, &month) || !TwoDigits(text, 6, &year) ||
        !TwoDigits(text, 9, &hour) || !TwoDigits(text, 12, &minute) || !TwoDigits(text, 15, &second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(month, year) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    *out = DeviceClock::FromValues(day, month, year, hour, minute, second);
    return true;
}

bool ParseIsoClockText(const std::string& text, DeviceClock* out)
{
    // YYYY-MM-DDTHH:MM:SS
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ') ||
        text[13] != ':' || text[16] != ':' || text.compare(0, 2, "20") != 0)
        return false;
    // The same text in the device's own order, checked by the one parser.
    const std::string dmy = text.substr(8, 2) + "." + text.substr(5, 2) + "." + text.substr(2, 2) + " " +
                            text.substr(11, 8);
    return ParseClockText(dmy, out);
}

bool ClockToTm(const DeviceClock& clock, std::tm* out)
{
    for (std::uint8_t b : clock.bcd)
        if ((b >> 4) > 9 || (b & 15) > 9)
            return false;
    DeviceClock checked;
    if (!ParseClockText(ClockText(clock), &checked))
        return false;
    std::tm t{};
    t.tm_mday = int(clock.Value(DeviceClock::Day));
    t.tm_mon = int(clock.Value(DeviceClock::Month)) - 1;
    t.tm_year = int(clock.Value(DeviceClock::Year)) + 100;
    t.tm_hour = int(clock.Value(DeviceClock::Hour));
    t.tm_min = int(clock.Value(DeviceClock::Minute));
    t.tm_sec = int(clock.Value(DeviceClock::Second));
    t.tm_isdst = -1;
    *out = t;
    return true;
}

DeviceClock DeviceClockFromTm(const std::tm& t)
{
    const int year = t.tm_year + 1900;
    return DeviceClock::FromValues(unsigned(t.tm_mday), unsigned(t.tm_mon + 1), unsigned(year % 100),
                                   unsigned(t.tm_hour), unsigned(t.tm_min), unsigned(t.tm_sec));
}

} // namespace vx4
