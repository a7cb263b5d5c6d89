#include "ui/main/CommandLine.h"

#include <cstring>

namespace vx4 {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWith(const std::string& text, std::size_t pos, const char* word) {
    std::size_t n = std::strlen(word);
    return pos <= text.size() && text.size() - pos >= n && text.compare(pos, n, word) == 0;
}

// Reads an unsigned number the way the C conversion "%u" does: white space, an optional
// sign, decimal digits accumulated with 32-bit wrap-around. Returns false when no digit
// follows; pos ends after the last digit.
bool ReadUnsigned(const std::string& text, std::size_t& pos, std::uint32_t& value) {
    std::size_t p = pos;
    while (p < text.size() && IsSpace(text[p])) ++p;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        negative = text[p] == '-';
        ++p;
    }
    if (p >= text.size() || !IsDigit(text[p])) return false;
    std::uint32_t v = 0;
    while (p < text.size() && IsDigit(text[p])) {
        v = v * 10u + static_cast<std::uint32_t>(text[p] - '0');
        ++p;
    }
    value = negative ? 0u - v : v;
    pos = p;
    return true;
}

// "/port=" value at pos (just after "="). Returns false when the line becomes invalid.
bool ReadPort(const std::string& text, std::size_t& pos, CommandLineOptions& o) {
    if (StartsWith(text, pos, "COM")) {
        std::size_t p = pos + 3;
        while (p < text.size() && IsDigit(text[p])) ++p;
        o.port = text.substr(pos, p - pos);
        pos = p;
        return true;
    }
    if (pos < text.size() && text[pos] == '/') {
        // A serial device path such as /dev/ttyUSB0 or /dev/pts/3; it ends at white space.
        std::size_t p = pos;
        while (p < text.size() && !IsSpace(text[p])) ++p;
        if (p - pos < 2) return false; // "/" alone names no device
        o.port = text.substr(pos, p - pos);
        pos = p;
        return true;
    }
    std::size_t p = pos;
    while (p < text.size() && (IsDigit(text[p]) || text[p] == '.')) ++p;
    if (p >= text.size() || text[p] != ':') return false;
    o.port = "TCP/IP";
    o.ip = text.substr(pos, p - pos);
    std::size_t q = ++p;
    while (q < text.size() && IsDigit(text[q])) ++q;
    o.tcpPort = text.substr(p, q - p);
    pos = q;
    return true;
}

} // namespace

void ParseCommandLine(const std::string& text, CommandLineOptions& o) {
    o.valid = false;
    if (text.empty()) return;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] != '/') {
            ++pos;
            continue;
        }
        ++pos;
        if (StartsWith(text, pos, "port=")) {
            pos += 5;
            if (!ReadPort(text, pos, o)) return;
        } else if (StartsWith(text, pos, "speed=")) {
            pos += 6;
            if (!ReadUnsigned(text, pos, o.speed)) return;
        } else if (StartsWith(text, pos, "dev=")) {
            pos += 4;
            if (!ReadUnsigned(text, pos, o.devNo)) return;
        } else {
            return; // unknown option
        }
    }
    o.valid = true;
}

CommandLineOptions& ProcessCommandLine() {
    static CommandLineOptions options;
    return options;
}

std::string JoinArguments(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

} // namespace vx4
