#pragma once
// Texts of the device clock: the clock as the status bar shows it (the six BCD bytes as
// "DD.MM.YY HH:MM:SS"), a clock text typed by the user turned back into BCD bytes, and
// the clock the console sends when it sets the device to the computer's local time.

#include "link/Vx4Records.h"

#include <ctime>
#include <string>

namespace vx4 {

// "%0.2X.%0.2X.%0.2X %0.2X:%0.2X:%0.2X" of the bytes day, month, year, hour, minute,
// second: BCD bytes printed in hexadecimal read as their decimal digits.
std::string ClockText(const DeviceClock& clock);

// Parses exactly "DD.MM.YY HH:MM:SS" (two digits each; the year is 20YY) into the BCD
// clock. False, with *out untouched, when the text has another shape or is not a real
// date and time (month 1..12, the day within its month, hour 0..23, minute and second
// 0..59).
bool ParseClockText(const std::string& text, DeviceClock* out);

// Parses ISO 8601 "YYYY-MM-DDTHH:MM:SS" (a blank may stand for the "T"; the year
// 2000..2099, as the device keeps two digits) with the checks of ParseClockText.
bool ParseIsoClockText(const std::string& text, DeviceClock* out);

// The broken-down time of a clock that holds a real date and time (year 20YY); false
// for anything else (a stopped clock of zeros, bytes that are not BCD digits).
bool ClockToTm(const DeviceClock& clock, std::tm* out);

// The clock for a broken-down local time: day of month, month, year mod 100, hour,
// minute, second, each as one BCD byte.
DeviceClock DeviceClockFromTm(const std::tm& t);

} // namespace vx4
