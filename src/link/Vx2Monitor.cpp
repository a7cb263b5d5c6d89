#include "link/Vx2Monitor.h"

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"

#include <cstdio>

namespace vx4 {

std::uint32_t CVx2Monitor::AnswerWait(std::uint32_t c)
{
    if (c <= 48)
        return c == 11 || c == 39 ? 290 : 90;
    if (c <= 90)
        return 290;
    if (c <= 100)
        return 790;
    return 90;
}

CVx2Monitor::SRead CVx2Monitor::NextRead(std::uint32_t now) const
{
    SRead r;
    if (lastMatched && lastLen == Vx2RequestSize) {
        r.expectedLen = Vx2AnswerSize(std::uint8_t(lastCmd));
        r.waitMs = AnswerWait(lastCmd);
    }
    // Keeps in step with the line: after a request only the rest of its answer time is waited.
    const std::uint32_t gone = now - lastReadEnd;
    if (gone < r.waitMs)
        r.waitMs -= gone;
    return r;
}

std::vector<std::string> CVx2Monitor::Decode(int status, const std::uint8_t* b, std::size_t n, std::uint32_t tick,
                                             std::size_t expectedLen)
{
    lastReadEnd = tick;
    pieceDirection_ = DirectionUnknown;
    pieceFiltered_ = false;
    if (lastShownTick == 0)
        lastShownTick = tick;
    if (status == LINK_TIMEOUT && n == 0)
        return {};
    const std::uint32_t dT = tick - lastShownTick;
    std::string line = LineHead(status, tick, n);
    char text[32];
    if (n >= 2 && CheckBytesValid(b, n - 2)) {
        lastMatched = n == expectedLen;
        if (lastMatched) {
            lastLen = std::uint32_t(n);
            lastCmd = n > 4 ? b[4] : 0;
        }
        // A valid 16-byte frame where an answer was due is a request after all.
        if (n != expectedLen && n == Vx2RequestSize)
            expectedLen = Vx2RequestSize;
        const bool request = expectedLen == Vx2RequestSize;
        pieceDirection_ = request ? DirectionRequest : DirectionAnswer;
        if (isDecoded.load(std::memory_order_relaxed) && lastMatched) {
            if (n >= 4) {
                std::snprintf(text, sizeof text, "Adr[%.8X] ", unsigned(GetU32(b)));
                line += text;
            }
            if (n >= 5) {
                std::snprintf(text, sizeof text, request ? "Cmd[%3u] " : "Ans[%3u] ", unsigned(b[4]));
                line += text;
            }
            if (n >= 6) {
                std::snprintf(text, sizeof text, "CS[%.2X %.2X] ", unsigned(b[n - 2]), unsigned(b[n - 1]));
                line += text;
                line += "Data[";
                if (n > 7)
                    AppendHex(line, b + 5, n - 7);
                line += ']';
            }
        } else {
            line += lastMatched ? "S " : "A ";
            AppendRaw(line, b, n);
        }
        const std::uint8_t filter = showFilter.load(std::memory_order_relaxed);
        if ((request && filter == ShowAnswers) || (!request && filter == ShowRequests)) {
            pieceFiltered_ = true;
            return {}; // dropped, and no separator either
        }
    } else if (n >= 2 && Crc16Modbus(b, n - 2) == GetU16(b + n - 2)) {
        pieceDirection_ = PieceModbusFlag;
        std::snprintf(text, sizeof text, "CS[%.2X %.2X] ", unsigned(b[n - 2]), unsigned(b[n - 1]));
        line += text;
        line += "ModBusData[";
        AppendHex(line, b, n - 2);
        line += ']';
    } else {
        line += lastMatched ? "S " : "A ";
        AppendRaw(line, b, n);
    }
    if (dT > SeparatorGapMs)
        return {Separator, std::move(line)};
    return {std::move(line)};
}

SCaptureStep CVx2Monitor::RunningStep(connection& conn)
{
    const SRead r = NextRead(Now());
    std::size_t count = 0;
    const int status = conn.ReadBytes(buf_, r.expectedLen, &count, r.waitMs, 1);
    if (count > r.expectedLen)
        count = r.expectedLen;
    const std::uint32_t tick = Now();
    return Finish(status, tick, buf_, count, Decode(status, buf_, count, tick, r.expectedLen));
}

} // namespace vx4
