#pragma once
// CLineRead: how every read of the line ends, for the serial and the TCP link alike (and so
// for everything that reads through them: the exchanges and the frame monitors).
//
// A read of N bytes with the time-out T ends
//  - with 0 once all N bytes came;
//  - with LINK_TIMEOUT when the line is silent, by the rule of its link:
//      serial: the read goes in read calls; a call waits up to T plus 1 ms per byte still
//      missing for its first byte and returns as soon as the bytes pause for 1 ms; a call
//      that brings nothing ends the read once T + 100 ms have passed since the start;
//      TCP: a wait of T + 1000 ms for the socket to become readable, started again after
//      every arrival;
//    bytes that keep coming keep the read going; on TCP the first wait counts from the
//    moment the request is off the line behind the device's converter (its line time at
//    1200 bit/s after it was sent), as a serial write returns only once its bytes are out;
//  - with LINK_TIMEOUT, whatever the bytes do, once the first byte came MarginMs (100 ms on
//    serial, 1000 ms on TCP) + T + the line time of N bytes at the slower of the port's
//    speed and 1200 bit/s ago. A dripping peer is given up there; a healthy line, even a
//    slow one behind a converter or a radio modem whose computer side runs faster than its
//    line, has sent everything by then. The bound counts from the first byte, so a read
//    that waited on an idle line still takes a whole frame that begins late;
//  - with LINK_TIMEOUT within StopCheckMs once the link's stop check answers true;
//  - with LINK_READ_FAILED when the channel fails or the peer hangs up.
// The bytes received are reported in every case.
//
// After a failed read the rest of an answer may still be coming: WaitQuiet drops input
// until the line has been quiet for QuietBytes byte times (at the slower of the port's
// speed and 1200 bit/s), for at most the line time of the largest frame.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vx4 {

class CLineRead {
public:
    using Clock = std::chrono::steady_clock;

    // The slowest line a read allows for, whatever the port says (bit/s).
    static constexpr std::uint32_t SlowestSpeed = 1200;
    // Silence margins of the two links (ms, added to the time-out).
    static constexpr std::uint32_t SerialMarginMs = 100;
    static constexpr std::uint32_t TcpMarginMs = 1000;
    // A serial read call returns once the bytes pause this long (ms).
    static constexpr std::uint32_t SerialIntervalMs = 1;
    // The line counts as quiet after this many byte times without a byte.
    static constexpr std::uint32_t QuietBytes = 10;

    enum class Silence { Serial, Tcp };

    // What the read needs of a link's channel.
    class Port {
    public:
        // Waits at most `wait` for input: 1 when bytes (or a hang-up) are there, 0 when the
        // wait ran out, -1 when the wait itself failed.
        virtual int WaitInput(Clock::duration wait) = 0;
        // Takes up to max bytes that are there now, without waiting: their count (0: none),
        // or -1 when the channel failed or the peer hung up.
        virtual long TakeInput(std::uint8_t* buf, std::size_t max) = 0;
        // True once the read must give up (a cancelled operation, an abandoned line).
        virtual bool StopAsked() const = 0;

    protected:
        ~Port() = default;
    };

    struct Rule {
        Silence silence = Silence::Serial;
        // The port's speed in bit/s; 0: no line speed of its own (TCP).
        std::uint32_t speed = 0;
        // Until then the request may still be going out on a line behind a converter (TCP):
        // the device cannot answer before, so the silence counts from then.
        Clock::time_point sendingUntil{};
    };

    // One read of n bytes with the time-out timeoutMs, as described above.
    static int Read(Port& port, const Rule& rule, std::uint8_t* buf, std::size_t n, std::size_t* received,
                    std::uint32_t timeoutMs);
    // Drops input until the line has been quiet (OK), the line time of the largest frame has
    // passed without that (LINK_TIMEOUT), the stop check answered true (LINK_TIMEOUT) or the
    // channel failed (LINK_READ_FAILED). Both times count from the end of sendingUntil when
    // that lies ahead.
    static int WaitQuiet(Port& port, std::uint32_t speed, Clock::time_point sendingUntil = {});

    // Line time of n bytes (10 bits each) at the slower of speed and 1200 bit/s; speed 0
    // counts as 1200.
    static Clock::duration LineTime(std::size_t n, std::uint32_t speed);
    // Line time of n bytes at exactly speed (none for speed 0).
    static Clock::duration PortLineTime(std::size_t n, std::uint32_t speed);
    // Sleeps until `until` in slices that look at the stop check; false when stopped.
    static bool SleepUntil(Port& port, Clock::time_point until);
};

} // namespace vx4
