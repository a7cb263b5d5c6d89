#include "Ctl.h"

#include <algorithm>
#include <cctype>

namespace vx4ctl {

namespace {

bool AllDigits(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace

std::string ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* out)
{
    if (!AllDigits(text))
        return "'" + text + "' is not an unsigned decimal number";
    std::uint64_t v = 0;
    for (char c : text) {
        v = v * 10 + std::uint64_t(c - '0');
        if (v > max)
            return "'" + text + "' is out of range 0.." + std::to_string(max);
    }
    *out = v;
    return {};
}

std::string ParsePort(const std::string& text, PortSpec* out)
{
    const std::string bad = "cannot parse port '" + text +
                            "': expected a device path (/dev/ttyUSB0), COMn or HOST:PORT";
    if (text.empty())
        return bad;
    // A device path is opened as it is.
    if (text[0] == '/') {
        if (text.size() < 2 || text.find('\0') != std::string::npos)
            return bad;
        *out = PortSpec{text, {}, {}};
        return {};
    }
    // COMn: mapped to a serial device by the link, as the console maps it.
    if (text.size() > 3 && text.compare(0, 3, "COM") == 0 && AllDigits(text.substr(3))) {
        *out = PortSpec{text, {}, {}};
        return {};
    }
    // HOST:PORT, or [IPv6]:PORT.
    std::string host, port;
    if (text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return bad;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            return bad;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        for (char c : host)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
                return bad;
    }
    std::uint64_t portNo = 0;
    if (host.empty() || !ParseUnsigned(port, 65535, &portNo).empty() || portNo == 0)
        return bad;
    *out = PortSpec{"TCP/IP", host, std::to_string(portNo)};
    return {};
}

std::string ParseHex(const std::string& text, std::size_t maxBytes, std::vector<std::uint8_t>* out)
{
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' && high < 0)
            continue;
        else
            return "'" + text + "' is not hex (pairs of hex digits, optionally separated by blanks)";
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(std::uint8_t(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0)
        return "'" + text + "' is not hex: odd number of hex digits";
    if (bytes.size() > maxBytes)
        return "payload of " + std::to_string(bytes.size()) + " bytes is longer than " +
               std::to_string(maxBytes) + " bytes";
    *out = std::move(bytes);
    return {};
}

std::string ParseAssignment(const std::string& text, std::pair<std::uint16_t, std::string>* out)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos)
        return "'" + text + "' is not ID=TEXT";
    std::uint64_t id = 0;
    if (std::string err = ParseUnsigned(text.substr(0, eq), 65535, &id); !err.empty())
        return "'" + text + "': " + err;
    *out = {std::uint16_t(id), text.substr(eq + 1)};
    return {};
}

std::string NearestName(const std::string& word, const std::vector<std::string>& names)
{
    std::string best;
    std::size_t bestDistance = std::string::npos;
    for (const std::string& name : names) {
        // Levenshtein distance, one row at a time.
        std::vector<std::size_t> row(name.size() + 1);
        for (std::size_t j = 0; j <= name.size(); ++j)
            row[j] = j;
        for (std::size_t i = 1; i <= word.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= name.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == name[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        const bool prefix = word.size() >= 2 && name.compare(0, word.size(), word) == 0;
        const std::size_t d = prefix ? 1 : row[name.size()];
        if (d < bestDistance) {
            bestDistance = d;
            best = name;
        }
    }
    // Up to a third of the word wrong (at least one letter) still reads as a slip.
    return bestDistance <= std::max<std::size_t>(1, word.size() / 3) ? best : std::string();
}

} // namespace vx4ctl
