// Status bar and write-error texts.
#include "ui/main/StatusTexts.h"

#include <gtest/gtest.h>

namespace vx4 {
namespace {

TEST(PollingTexts, ClockShowsBcdDigits) {
    EXPECT_EQ(ClockText({0x25, 0x12, 0x23, 0x14, 0x03, 0x07}), "25.12.23 14:03:07");
    EXPECT_EQ(ClockText({0, 0, 0, 0, 0, 0}), "00.00.00 00:00:00");
}

TEST(PollingTexts, StatisticsLineWithAndWithoutLastError) {
    ConnectionStatistics s{120, 0, 118, 2, 1016, 312, 47};
    EXPECT_EQ(StatisticsText(s),
              "Пакетов: out 120/0, in 118/2, time (mx/av): 312/47; Last Error= 1016 Таймаут ожидания ответа");
    s.lastError = 1003; // no text for this code
    EXPECT_EQ(StatisticsText(s), "Пакетов: out 120/0, in 118/2, time (mx/av): 312/47; Last Error= 1003");
    s.lastError = 246;
    EXPECT_EQ(StatisticsText(s), "Пакетов: out 120/0, in 118/2, time (mx/av): 312/47; Last Error= 246 Ошибка "
                                 "исполнения запрошенной операции  связанная с отсутствием данных на момент запроса");
    s = {};
    EXPECT_EQ(StatisticsText(s), "Пакетов: out 0/0, in 0/0, time (mx/av): 0/0");
}

TEST(PollingTexts, WriteErrorNamesTheLockForCodes253And20) {
    EXPECT_EQ(WriteErrorText(253, "vx4pult_MainForm"),
              "Ошибка записи.\r\nvx4pult_MainForm\r\n EN-PR заблокировано");
    EXPECT_EQ(WriteErrorText(20, "vx4pult_MainForm"),
              "Ошибка записи.\r\nvx4pult_MainForm\r\n EN-PR заблокировано");
    EXPECT_EQ(WriteErrorText(1016, "vx4pult_MainForm"), "Ошибка записи.\r\nvx4pult_MainForm");
}

} // namespace
} // namespace vx4
