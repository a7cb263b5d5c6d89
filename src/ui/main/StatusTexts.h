#pragma once
// Texts of the status bar and of the write-error message: pure functions, shared by the
// polling cycle and its tests.

#include "link/Connection.h"

#include <array>
#include <cstdint>
#include <string>

namespace vx4 {

// "DD.MM.YY hh:mm:ss" from the six BCD bytes of the device clock (day first).
std::string ClockText(const std::array<std::uint8_t, 6>& bcd);

// "Пакетов: out a/b, in c/d, time (mx/av): e/f", then "; Last Error= " with the code and
// its text when the last error is not 0.
std::string StatisticsText(const ConnectionStatistics& s);

// The text of the message box that reports a failed constant write.
std::string WriteErrorText(int writeError, const std::string& windowName);

} // namespace vx4
