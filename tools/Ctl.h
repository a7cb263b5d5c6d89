#pragma once
// vx4ctl: the command-line front of the console's core. Declarations shared by the
// argument parsing (main.cpp), the connection session (Session.cpp), the output helpers
// (Output.cpp) and the command groups (Cmd*.cpp).

#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace vx4ctl {

// Exit statuses.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailed = 1; // a device or link failure
inline constexpr int ExitUsage = 2;  // bad usage or bad input
// A stop signal N ends a command with 128 + N (130 for Ctrl+C), as a shell reports it.

// Where the line goes, as parsed from --port: a serial port name (a device path or COMn)
// or a TCP host and port.
struct PortSpec {
    std::string port; // "TCP/IP" for TCP
    std::string ip;
    std::string tcpPort;
};

// The options in front of the command.
struct GlobalOptions {
    std::optional<PortSpec> port;
    std::optional<std::uint32_t> speed;
    std::optional<std::uint32_t> dev;
    std::optional<std::uint32_t> aux;
    bool json = false;
};

// Arguments of the commands (each command uses its own fields).
struct CommandArgs {
    std::vector<std::uint16_t> ids; // values
    std::uint16_t id = 0;           // get, set
    std::string text;               // clock --set
    std::vector<std::pair<std::uint16_t, std::string>> writes; // set: ID and its new text, in order
    bool setClock = false;
    bool utc = false;               // clock: the device keeps UTC
    std::uint32_t count = 1;        // values --count (0: until stopped), echo --count
    std::uint32_t intervalMs = 1000; // values --interval
    std::uint32_t size = 1015;      // echo --size
    std::string name;               // download: device file name
    std::string outFile;            // -o FILE (report: -o DIR)
    std::string xlsxFile;           // values --xlsx FILE
    std::uint32_t address = 0;      // graduation
    std::vector<std::uint8_t> payload; // relay
    // monitor
    std::string monitorKind;        // vx3c or vx2
    bool raw = false;               // plain bytes instead of decoded lines
    std::string filter = "all";     // all, requests or answers (vx2)
    std::uint64_t lineLimit = 0;    // --count: stop after this many lines (0: no limit)
    double seconds = 0;             // --seconds: stop after this long (0: no limit)
    std::string pcapFile;           // --pcap FILE
};

// ---- text parsing (Parse.cpp); each returns an error message, empty when the text is good ----
std::string ParsePort(const std::string& text, PortSpec* out);
// Decimal digits only (no sign, no base prefix), value at most max.
std::string ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* out);
// Pairs of hex digits, optionally separated by blanks; at most maxBytes bytes.
std::string ParseHex(const std::string& text, std::size_t maxBytes, std::vector<std::uint8_t>* out);
// "ID=TEXT" of set: the identifier (0..65535) and the text behind the first "=".
std::string ParseAssignment(const std::string& text, std::pair<std::uint16_t, std::string>* out);
// The name among names nearest to word by edit distance, when it is near enough to be a
// likely typing error (empty otherwise).
std::string NearestName(const std::string& word, const std::vector<std::string>& names);

// ---- the commands (Cmd*.cpp); each returns the exit status ----
int CmdIdentify(const GlobalOptions& g, const CommandArgs& a);
int CmdInfo(const GlobalOptions& g, const CommandArgs& a);
int CmdConfig(const GlobalOptions& g, const CommandArgs& a);
int CmdValues(const GlobalOptions& g, const CommandArgs& a);
int CmdGet(const GlobalOptions& g, const CommandArgs& a);
int CmdSet(const GlobalOptions& g, const CommandArgs& a);
int CmdClock(const GlobalOptions& g, const CommandArgs& a);
int CmdTestClock(const GlobalOptions& g, const CommandArgs& a);
int CmdDownload(const GlobalOptions& g, const CommandArgs& a);
int CmdEvents(const GlobalOptions& g, const CommandArgs& a);
int CmdGraduation(const GlobalOptions& g, const CommandArgs& a);
int CmdEcho(const GlobalOptions& g, const CommandArgs& a);
int CmdRelay(const GlobalOptions& g, const CommandArgs& a);
int CmdReport(const GlobalOptions& g, const CommandArgs& a);
int CmdMonitor(const GlobalOptions& g, const CommandArgs& a);

} // namespace vx4ctl
