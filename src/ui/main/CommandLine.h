#pragma once
// The console's command line: /port=COM<n>, /port=<address>:<port>, /port=/dev/<device>
// (Linux serial ports are device paths, not COMn), /speed=<n> and /dev=<n>.

#include <cstdint>
#include <string>

namespace vx4 {

struct CommandLineOptions {
    std::string port;    // "COM<digits>", "TCP/IP" or an absolute device path
    std::string ip;      // address when port is "TCP/IP"
    std::string tcpPort; // decimal digits when port is "TCP/IP" (may be empty)
    std::uint32_t speed = 0; // 0: not given
    std::uint32_t devNo = 0; // 0: not given
    bool valid = false;      // the line was not empty and every option in it parsed
};

// Fills options from the text that follows the program name. A line with any faulty
// option is invalid as a whole; values stored before the fault stay in the record but
// must not be used.
void ParseCommandLine(const std::string& text, CommandLineOptions& options);

// The process-wide record, filled once by the program entry before any window exists.
CommandLineOptions& ProcessCommandLine();

// Joins argv[1..argc-1] with single spaces, the way the options are scanned.
std::string JoinArguments(int argc, char** argv);

} // namespace vx4
