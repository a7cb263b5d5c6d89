#pragma once
// SerialPortNames: the order and the texts in which the console offers the serial ports
// it finds. Port names are those the console's /port= takes ("ttyS0", "ttyUSB0",
// "ttyACM0"); the finding itself is the window side's (it asks the system's device list).

#include <string>
#include <vector>

namespace vx4 {

// One serial port as the system's device list describes it.
struct SerialPortEntry {
    std::string name;         // "ttyUSB0"
    std::string description;  // "FT232R USB UART"; may be empty
    std::string manufacturer; // "FTDI"; may be empty
};

class SerialPortNames {
public:
    // True when a is offered before b: by kind (the name without its trailing digits), then
    // by the trailing number as a number (ttyS2 before ttyS10), then by the whole name.
    static bool Before(const std::string& a, const std::string& b);

    // The names sorted by Before, each name once.
    static std::vector<std::string> Sorted(std::vector<std::string> names);
    // The entries sorted by their names in the same order, each name once.
    static std::vector<SerialPortEntry> Sorted(std::vector<SerialPortEntry> entries);

    // The port tree's text of an entry: the name, two blanks, the description and the
    // manufacturer in parentheses ("ttyUSB0  FT232R USB UART (FTDI)"); parts the system
    // does not know are left out with their separators.
    static std::string TreeText(const SerialPortEntry& entry);

    // The port a tree text names: its first word, up to the first blank, "=" or quote.
    static std::string FirstWord(const std::string& text);
};

} // namespace vx4
