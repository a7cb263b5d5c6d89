#pragma once
// How a spreadsheet reads a cell typed as text: a number (decimal point or comma, an
// optional sign and exponent), a date, a time or a date with a time (a date-time number:
// days since 30.12.1899, the time as the fraction of a day), or else text. The table
// export and the document reports write cells through this, so that a cell holds what the
// user would get by typing its text.

#include <cstdint>
#include <string_view>

namespace vx4 {

// The order of day, month and year in a date of three numbers. A first part of four
// digits always reads as the year (year, month, day).
enum class DateOrder : std::uint8_t {
    DayMonthYear, // 10.12.2026
    MonthDayYear, // 12/10/2026
    YearMonthDay, // 2026-12-10
};

struct TypedInput {
    enum Kind : std::uint8_t {
        Blank,    // empty text
        Number,   // value is the number
        DateTime, // value is the date-time number (date and time)
        Date,     // value is a whole date-time number (a date without time)
        Time,     // value is the fraction of a day (a time without date)
        Text,     // anything else: the text itself
    };
    Kind kind = Blank;
    double value = 0;
};

// Reads text as typed input. Dates are day, month and year separated by ".", "/" or "-" in
// the given order (a two-digit year 00..29 reads as 20xx, 30..99 as 19xx); times are
// hours:minutes[:seconds[.fraction]] with an optional AM or PM; a date and a time are
// separated by blanks. Dates before 1900 and impossible dates or times read as text.
// Surrounding blanks are ignored for numbers, dates and times.
TypedInput ReadTypedInput(std::string_view text, DateOrder order = DateOrder::DayMonthYear);

// The date-time number of a calendar date and time of day (the spreadsheet's 1900 date
// system, counting the 29.02.1900 that never was, so that dates from 01.03.1900 on have the
// familiar numbers).
double DateTimeNumber(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);

} // namespace vx4
