#include "ui/views/SampleTexts.h"

#include "common/GeneralFloatText.h"
#include "platform/NormalizeDecimalSeparator.h"

#include <QDateTime>
#include <QTimeZone>

namespace vx4 {

namespace {

constexpr qint64 MsPerDay = 86400000;

DateOrder OrderOf(const QString& pattern)
{
    const qsizetype d = pattern.indexOf(QLatin1Char('d'));
    const qsizetype m = pattern.indexOf(QLatin1Char('M'));
    const qsizetype y = pattern.indexOf(QLatin1Char('y'));
    if (y >= 0 && y < m && y < d)
        return DateOrder::YearMonthDay;
    if (m >= 0 && m < d)
        return DateOrder::MonthDayYear;
    return DateOrder::DayMonthYear;
}

} // namespace

SampleTexts SampleTexts::FromLocale(const QLocale& locale, char decimalSeparator)
{
    SampleTexts t;
    t.locale = locale;
    t.decimalSeparator = decimalSeparator;
    t.datePattern = locale.dateFormat(QLocale::ShortFormat);
    // Month or day names cannot be read back as a date by a spreadsheet.
    if (t.datePattern.contains(QLatin1String("MMM")) || t.datePattern.contains(QLatin1String("ddd")) ||
        !t.datePattern.contains(QLatin1Char('d')) || !t.datePattern.contains(QLatin1Char('M')) ||
        !t.datePattern.contains(QLatin1Char('y')))
        t.datePattern = QStringLiteral("yyyy-MM-dd");
    t.dateOrder = OrderOf(t.datePattern);
    QString time = locale.timeFormat(QLocale::LongFormat);
    time.remove(QLatin1Char('t'));
    t.timePattern = time.simplified();
    if (!t.timePattern.contains(QLatin1String("ss")))
        t.timePattern = QStringLiteral("HH:mm:ss");
    return t;
}

SampleTexts SampleTexts::Current() { return FromLocale(QLocale(), DecimalSeparator()); }

QString SampleTexts::DateTimeText(qint64 localMs) const
{
    const QDateTime dt = QDateTime::fromMSecsSinceEpoch(localMs, QTimeZone::utc());
    if (localMs % MsPerDay == 0)
        return locale.toString(dt.date(), datePattern);
    return locale.toString(dt.date(), datePattern) + QLatin1Char(' ') + locale.toString(dt.time(), timePattern);
}

QString SampleTexts::ValueText(float value) const
{
    char buf[GeneralFloatTextMax];
    return QString::fromLatin1(buf, GeneralFloatText(double(value), decimalSeparator, buf));
}

void SampleTexts::AppendDateTimeText(qint64 localMs, std::string& out) const
{
    out += DateTimeText(localMs).toStdString();
}

void SampleTexts::AppendValueText(float value, std::string& out) const
{
    char buf[GeneralFloatTextMax];
    out.append(buf, std::size_t(GeneralFloatText(double(value), decimalSeparator, buf)));
}

} // namespace vx4
