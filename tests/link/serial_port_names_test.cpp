#include "link/SerialPortNames.h"

#include <gtest/gtest.h>

using namespace vx4;

namespace {

using Names = std::vector<std::string>;

TEST(SerialPortNames, SortedByKindThenNumber)
{
    struct Case {
        const char* what;
        Names found;
        Names offered;
    };
    const Case cases[] = {
        {"numbers as numbers", {"ttyS10", "ttyS3", "ttyS1"}, {"ttyS1", "ttyS3", "ttyS10"}},
        {"ttyS2 before ttyS10", {"ttyS10", "ttyS2"}, {"ttyS2", "ttyS10"}},
        {"kinds apart", {"ttyUSB1", "ttyS3", "ttyACM0", "ttyUSB0", "ttyS0"},
         {"ttyACM0", "ttyS0", "ttyS3", "ttyUSB0", "ttyUSB1"}},
        {"a name without a number first in its kind", {"ttyS1", "ttyS", "rfcomm0"}, {"rfcomm0", "ttyS", "ttyS1"}},
        {"each name once", {"ttyUSB0", "ttyUSB0", "ttyS0"}, {"ttyS0", "ttyUSB0"}},
        {"long numbers", {"ttyS123456789012345678901", "ttyS99"}, {"ttyS99", "ttyS123456789012345678901"}},
        {"none", {}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SerialPortNames::Sorted(c.found), c.offered) << c.what;
}

TEST(SerialPortNames, EntriesSortedLikeNames)
{
    const std::vector<SerialPortEntry> found = {
        {"ttyUSB10", "CP2102", "Silicon Labs"}, {"ttyUSB2", "FT232R USB UART", "FTDI"}, {"ttyS0", "", ""}};
    const auto sorted = SerialPortNames::Sorted(found);
    ASSERT_EQ(sorted.size(), 3u);
    EXPECT_EQ(sorted[0].name, "ttyS0");
    EXPECT_EQ(sorted[1].name, "ttyUSB2");
    EXPECT_EQ(sorted[1].description, "FT232R USB UART");
    EXPECT_EQ(sorted[2].name, "ttyUSB10");
}

TEST(SerialPortNames, TreeText)
{
    struct Case {
        SerialPortEntry entry;
        const char* text;
    };
    const Case cases[] = {
        {{"ttyUSB0", "FT232R USB UART", "FTDI"}, "ttyUSB0  FT232R USB UART (FTDI)"},
        {{"ttyACM0", "USB Modem", ""}, "ttyACM0  USB Modem"},
        {{"ttyUSB1", "", "FTDI"}, "ttyUSB1  (FTDI)"},
        {{"ttyS0", "", ""}, "ttyS0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SerialPortNames::TreeText(c.entry), c.text);
        // The text names its port again.
        EXPECT_EQ(SerialPortNames::FirstWord(SerialPortNames::TreeText(c.entry)), c.entry.name);
    }
}

TEST(SerialPortNames, FirstWord)
{
    const std::pair<const char*, const char*> cases[] = {
        {"ttyUSB0  FT232R", "ttyUSB0"}, {"Порты (COM)", "Порты"}, {"a=b", "a"},
        {"x\"y", "x"},                  {"ttyS0", "ttyS0"},     {"", ""},
    };
    for (const auto& [text, word] : cases)
        EXPECT_EQ(SerialPortNames::FirstWord(text), word) << text;
}

} // namespace
