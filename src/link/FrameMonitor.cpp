#include "link/FrameMonitor.h"

#include "link/Connection.h"
#include "link/Link.h"
#include "link/ResultCodes.h"
#include "platform/MsClock.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace vx4 {

SCaptureStep CFrameMonitor::CaptureStep(connection& conn)
{
    if (isStopped.load(std::memory_order_relaxed)) {
        // Traffic that arrives while the capture is stopped is thrown away, never shown.
        lastShownTick = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(StoppedSleepMs));
        conn.PurgeInput(PURGE_RXCLEAR);
        return {};
    }
    SCaptureStep step = RunningStep(conn);
    const int status = step.piece.status;
    if (step.read && step.piece.bytes.empty() && status != OK && status != LINK_TIMEOUT)
        std::this_thread::sleep_for(std::chrono::milliseconds(FailurePauseMs));
    return step;
}

SCaptureStep CFrameMonitor::Finish(int status, std::uint32_t tick, const std::uint8_t* bytes, std::size_t n,
                                   std::vector<std::string> lines) const
{
    SCaptureStep step;
    step.lines = std::move(lines);
    if (status == LINK_TIMEOUT && n == 0)
        return step;
    step.read = true;
    step.filtered = pieceFiltered_;
    step.piece.direction = pieceDirection_;
    step.piece.kind = Kind();
    step.piece.status = status;
    step.piece.tick = tick;
    step.piece.wallUs = WallMicroseconds();
    step.piece.bytes.assign(bytes, bytes + n);
    return step;
}

std::uint32_t CFrameMonitor::Now() const { return clock_ ? clock_() : MsClock(); }

std::int64_t CFrameMonitor::WallMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string CFrameMonitor::LineHead(int status, std::uint32_t tick, std::size_t count)
{
    char text[64];
    const std::uint32_t dT = tick - lastShownTick;
    lastShownTick = tick;
    std::snprintf(text, sizeof text, "St[%.4u] dT[%6u] FLen[%.4u] ", unsigned(status), unsigned(dT),
                  unsigned(count));
    return text;
}

void CFrameMonitor::AppendHex(std::string& line, const std::uint8_t* bytes, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    line.reserve(line.size() + 3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0x0F];
        line += ' ';
    }
}

void CFrameMonitor::AppendRaw(std::string& line, const std::uint8_t* bytes, std::size_t n)
{
    line += "Raw[";
    AppendHex(line, bytes, n);
    line += ']';
}

} // namespace vx4
