// The console's command line: any text after the program name. A line that parses as
// valid holds only ports, speeds and device numbers of the documented forms.
#include "FuzzSupport.h"

#include "ui/main/CommandLine.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

using vx4fuzz::Check;

bool AllDigits(const std::string& s, std::size_t from = 0)
{
    for (std::size_t i = from; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    vx4::CommandLineOptions o;
    vx4::ParseCommandLine(text, o);
    if (!o.valid)
        return 0;
    Check(!text.empty());
    Check(o.port.empty() || (o.port.compare(0, 3, "COM") == 0 && AllDigits(o.port, 3)) || o.port == "TCP/IP" ||
          (o.port.size() >= 2 && o.port[0] == '/' && o.port.find_first_of(" \t\r\n\v\f") == std::string::npos));
    Check(AllDigits(o.tcpPort));
    // Parsing the same line again gives the same record.
    vx4::CommandLineOptions again;
    vx4::ParseCommandLine(text, again);
    Check(again.port == o.port && again.ip == o.ip && again.tcpPort == o.tcpPort && again.speed == o.speed &&
          again.devNo == o.devNo && again.valid);
    return 0;
}
