#pragma once
// CLink: the byte pipe between the console and the device. A link knows nothing of
// frames: it opens and closes its channel, reads an exact number of bytes within a
// time-out, writes a block and discards pending input. Only the connection creates and
// uses links, and it serialises every call, so a link has no lock of its own.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace vx4 {

// Purge flags (the values the serial platform interface uses).
inline constexpr std::uint32_t PURGE_TXABORT = 1;
inline constexpr std::uint32_t PURGE_RXABORT = 2;
inline constexpr std::uint32_t PURGE_TXCLEAR = 4;
inline constexpr std::uint32_t PURGE_RXCLEAR = 8;

class CLink {
public:
    virtual ~CLink() = default;
    // reopen true: (re)open the channel; false: close only. 0 or an error code.
    virtual int Open(bool reopen) { (void)reopen; return -1; }
    // Reads exactly n bytes within timeoutMs; *received reports what came, also on failure.
    virtual int Read(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t timeoutMs)
    {
        (void)buf; (void)n; (void)received; (void)timeoutMs;
        return -1;
    }
    // Writes n bytes; *sent reports the count written.
    virtual int Write(const std::uint8_t* buf, std::size_t n, std::size_t* sent)
    {
        (void)buf; (void)n; (void)sent;
        return -1;
    }
    virtual bool IsOpen() const { return false; }
    virtual bool Purge(std::uint32_t flags) { (void)flags; return false; }
    // Drops input until the line has been quiet for a few byte times (the rest of an answer
    // a failed read left on the line), within the line time of the largest frame. 0 when
    // quiet; LINK_TIMEOUT when it never went quiet or the stop check answered true.
    virtual int DropUntilQuiet() { return 0; }

    // Asked at least every StopCheckMs while a read waits: once it answers true the read
    // gives up at once with LINK_TIMEOUT and the bytes received so far (a cancelled
    // operation, or a program that no longer waits for the line).
    using StopCheck = std::function<bool()>;
    void SetStopCheck(StopCheck check) { stopCheck_ = std::move(check); }
    static constexpr int StopCheckMs = 20;

    // The system's errno of the last failed opening (0 when it failed for no system
    // reason, such as a host name that does not resolve), for a report that says why.
    int OpenErrno() const { return openErrno_; }

protected:
    bool Stopped() const { return stopCheck_ && stopCheck_(); }
    int openErrno_ = 0;

private:
    StopCheck stopCheck_;
};

} // namespace vx4
