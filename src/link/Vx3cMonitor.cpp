#include "link/Vx3cMonitor.h"

#include "link/ResultCodes.h"
#include "link/Vx4prot.h"

#include <cstdio>

namespace vx4 {

std::string CVx3cMonitor::Fields(const std::uint8_t* b, std::size_t n)
{
    std::string line;
    char text[32];
    if (n >= 4) {
        std::snprintf(text, sizeof text, "Adr[%.8u] ", unsigned(GetU32(b)));
        line += text;
    }
    if (n < 6)
        return line;
    const std::size_t declared = GetU16(b + 4);
    // Data bytes actually received, as a signed count: negative when not even the check
    // bytes came.
    const long long bodyBytes = static_cast<long long>(n) - static_cast<long long>(Vx3cOverhead);
    std::size_t shown = declared;
    if (static_cast<long long>(declared) != bodyBytes)
        line += "Bad"; // runs into the next field
    if (static_cast<long long>(declared) > bodyBytes)
        shown = bodyBytes > 0 ? static_cast<std::size_t>(bodyBytes) : 0;
    std::snprintf(text, sizeof text, "Len[%.4u] ", unsigned(declared));
    line += text;
    if (n >= 7) {
        std::snprintf(text, sizeof text, "Cmd[%2u] ", unsigned(b[6]));
        line += text;
    }
    if (n >= 8) {
        // The check bytes only where a whole frame puts them; the data bytes of a broken
        // piece as far as they came (no more than declared).
        if (declared + Vx3cOverhead == n) {
            std::snprintf(text, sizeof text, "CS[%.2X %.2X] ", unsigned(b[7 + declared]),
                          unsigned(b[8 + declared]));
            line += text;
        }
        line += "Data[";
        AppendHex(line, b + Vx3cHeaderSize, shown);
        line += ']';
    }
    return line;
}

std::vector<std::string> CVx3cMonitor::Decode(int status, const std::uint8_t* bytes, std::size_t n,
                                              std::uint32_t tick)
{
    if (lastShownTick == 0)
        lastShownTick = tick;
    if (status == LINK_TIMEOUT && n == 0)
        return {}; // silence produces no line
    std::string line = LineHead(status, tick, n);
    if (isDecoded.load(std::memory_order_relaxed))
        line += Fields(bytes, n);
    else
        AppendRaw(line, bytes, n);
    return {std::move(line)};
}

SCaptureStep CVx3cMonitor::RunningStep(connection& conn)
{
    std::size_t count = 0;
    std::uint32_t tick = 0;
    const int status = ReadVx3cFrame(conn, buf_, &count, &tick);
    if (count > sizeof buf_)
        count = sizeof buf_;
    if (HasClock())
        tick = Now();
    return Finish(status, tick, buf_, count, Decode(status, buf_, count, tick));
}

} // namespace vx4
