#include "ui/main/StatusTexts.h"

#include "link/ResultTexts.h"

#include <cstdio>

namespace vx4 {

std::string ClockText(const std::array<std::uint8_t, 6>& c) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2X.%.2X.%.2X %.2X:%.2X:%.2X", c[0], c[1], c[2], c[3], c[4], c[5]);
    return buf;
}

std::string StatisticsText(const ConnectionStatistics& s) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "out %u/%u, in %u/%u, time (mx/av): %u/%u", s.packetsOut, s.packetsOutFailed,
                  s.packetsIn, s.packetsInFailed, s.maxTime, s.avgTime);
    std::string text = std::string("Пакетов: ") + buf;
    if (s.lastError != 0) {
        text += "; Last Error= " + std::to_string(s.lastError);
        if (const char* t = ResultCodeText(static_cast<int>(s.lastError))) text += t;
    }
    return text;
}

std::string WriteErrorText(int writeError, const std::string& windowName) {
    std::string text = "Ошибка записи.\r\n" + windowName;
    if (writeError == 253 || writeError == 20) text += "\r\n EN-PR заблокировано";
    return text;
}

} // namespace vx4
