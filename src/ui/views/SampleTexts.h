#pragma once
// The texts of the polled-value table: each sample's date and time in the locale's short
// date and long time (the date alone when the time is exactly midnight), and each value in
// the general number format (common/GeneralFloatText.h) with the decimal separator the
// value editor uses. Only the rows on screen and the export are turned into text.

#include "office/TypedInput.h"

#include <QLocale>
#include <QString>

#include <string>

namespace vx4 {

struct SampleTexts {
    QLocale locale;
    QString datePattern; // numeric: a locale whose short date names the month gets yyyy-MM-dd
    QString timePattern; // the long time without the time zone
    char decimalSeparator = '.';
    DateOrder dateOrder = DateOrder::DayMonthYear; // of datePattern, for the export

    // The patterns of locale with this decimal separator.
    static SampleTexts FromLocale(const QLocale& locale, char decimalSeparator);
    // The default locale (QLocale()) and the C library's separator, as the value editor.
    static SampleTexts Current();

    // localMs: the local wall-clock time in milliseconds since 01.01.1970 00:00.
    QString DateTimeText(qint64 localMs) const;
    QString ValueText(float value) const;
    // The same as UTF-8, appended to out.
    void AppendDateTimeText(qint64 localMs, std::string& out) const;
    void AppendValueText(float value, std::string& out) const;
};

} // namespace vx4
