#include "link/LineRead.h"

#include "link/Frames.h"
#include "link/Link.h"
#include "link/ResultCodes.h"

#include <algorithm>
#include <thread>

namespace vx4 {

namespace {

using Clock = CLineRead::Clock;
using std::chrono::milliseconds;

constexpr Clock::duration Slice = milliseconds(CLink::StopCheckMs);

} // namespace

Clock::duration CLineRead::PortLineTime(std::size_t n, std::uint32_t speed)
{
    if (speed == 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(std::uint64_t(n) * 10'000'000'000ull / speed));
}

Clock::duration CLineRead::LineTime(std::size_t n, std::uint32_t speed)
{
    return PortLineTime(n, speed == 0 ? SlowestSpeed : std::min(speed, SlowestSpeed));
}

bool CLineRead::SleepUntil(Port& port, Clock::time_point until)
{
    for (;;) {
        if (port.StopAsked())
            return false;
        const auto now = Clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, Slice));
    }
}

int CLineRead::Read(Port& port, const Rule& rule, std::uint8_t* buf, std::size_t n, std::size_t* received,
                    std::uint32_t timeoutMs)
{
    const bool serial = rule.silence == Silence::Serial;
    const auto T = milliseconds(timeoutMs);
    const auto margin = milliseconds(serial ? SerialMarginMs : TcpMarginMs);
    const auto interval = milliseconds(SerialIntervalMs);
    const auto start = Clock::now();
    std::size_t total = 0;
    // Set by the first byte: the read ends by then, whatever the bytes do.
    auto bound = Clock::time_point::max();
    // TCP: the silence wait runs from the last arrival (before the first, from the start or
    // from the end of the request's line time, whichever is later).
    auto lastByte = std::max(start, rule.sendingUntil);
    // Serial: the read call in progress. It waits for its first byte until callEnd; once
    // it brought bytes, it returns when they pause for the interval after quietFrom.
    auto callEnd = start + T + milliseconds(n);
    bool callGot = false;
    bool held = false;
    auto quietFrom = start;
    int code = OK;
    while (total < n) {
        if (port.StopAsked()) {
            code = LINK_TIMEOUT;
            break;
        }
        auto now = Clock::now();
        if (now >= bound) {
            code = LINK_TIMEOUT;
            break;
        }
        Clock::time_point silenceEnd;
        if (serial) {
            silenceEnd = callGot ? std::min(callEnd, quietFrom + interval) : callEnd;
            if (now >= silenceEnd) {
                // The read call is over; one that brought nothing ends the read once the
                // time-out plus the margin has passed.
                if (!callGot && now - start > T + margin) {
                    code = LINK_TIMEOUT;
                    break;
                }
                callEnd = now + T + milliseconds(n - total);
                callGot = false;
                continue;
            }
            if (callGot && !held && rule.speed > 0) {
                // The rest of the block cannot come sooner than its line time at the port's
                // speed: wait that long once instead of waking for every burst.
                held = true;
                const auto holdEnd = std::min({now + PortLineTime(n - total, rule.speed) - interval, callEnd, bound});
                if (!SleepUntil(port, holdEnd)) {
                    code = LINK_TIMEOUT;
                    break;
                }
                quietFrom = Clock::now();
                continue;
            }
        } else {
            silenceEnd = lastByte + T + margin;
            if (now >= silenceEnd) {
                code = LINK_TIMEOUT;
                break;
            }
        }
        const auto waitEnd = std::min(silenceEnd, bound);
        const int w = port.WaitInput(std::min<Clock::duration>(waitEnd - now, Slice));
        if (w < 0) {
            code = LINK_READ_FAILED;
            break;
        }
        if (w == 0)
            continue;
        const long k = port.TakeInput(buf + total, n - total);
        if (k < 0) {
            code = LINK_READ_FAILED;
            break;
        }
        if (k == 0)
            continue;
        now = Clock::now();
        if (total == 0)
            bound = now + T + margin + LineTime(n, rule.speed);
        total += std::size_t(k);
        lastByte = quietFrom = now;
        callGot = true;
        held = false;
    }
    if (received)
        *received = total;
    return code;
}

int CLineRead::WaitQuiet(Port& port, std::uint32_t speed, Clock::time_point sendingUntil)
{
    const auto quiet = LineTime(QuietBytes, speed);
    const auto start = std::max(Clock::now(), sendingUntil);
    const auto end = start + LineTime(FrameCapacity, speed) + quiet;
    auto quietEnd = start + quiet;
    std::uint8_t sink[256];
    for (;;) {
        if (port.StopAsked())
            return LINK_TIMEOUT;
        const auto now = Clock::now();
        if (now >= quietEnd)
            return OK;
        if (now >= end)
            return LINK_TIMEOUT;
        const int w = port.WaitInput(std::min<Clock::duration>(std::min(quietEnd, end) - now, Slice));
        if (w < 0)
            return LINK_READ_FAILED;
        if (w == 0)
            continue;
        const long k = port.TakeInput(sink, sizeof sink);
        if (k < 0)
            return LINK_READ_FAILED;
        if (k > 0)
            quietEnd = Clock::now() + quiet;
    }
}

} // namespace vx4
