#pragma once
// CComLink: the link over a serial port. The port is opened exclusively in raw mode at
// the link's speed, 8 data bits, no parity. Reads end as CLineRead says for a serial line:
// read calls that wait up to the time-out plus 1 ms per missing byte and return when the
// bytes pause, silence after T + 100 ms, and a bound from the first byte that allows for
// the line time of the bytes at no more than 1200 bit/s (the port's speed says nothing of
// the line behind a converter or a radio modem). Write returns once the bytes have left the
// port's output queue, within the write time-out (their line time at the port's speed plus
// 300 ms): the answer wait never starts while the request is still going out.

#include "link/LineRead.h"
#include "link/Link.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vx4 {

class CComLink : public CLink, private CLineRead::Port {
public:
    // stopBits: 0 one stop bit, 1 one and a half (two on this platform), 2 two; larger
    // values are taken as 2.
    CComLink(std::string port, std::uint32_t speed, std::uint32_t stopBits);
    ~CComLink() override;
    CComLink(const CComLink&) = delete;
    CComLink& operator=(const CComLink&) = delete;

    int Open(bool reopen) override;
    int Read(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t timeoutMs) override;
    int Write(const std::uint8_t* buf, std::size_t n, std::size_t* sent) override;
    bool IsOpen() const override { return fd_ >= 0; }
    bool Purge(std::uint32_t flags) override;
    int DropUntilQuiet() override;

    // Bytes of the port's output queue not yet on the line (-1 when the port cannot tell).
    // Tests put a probe of their own: a pseudo-terminal passes bytes on at once.
    using OutputQueueProbe = std::function<int(int fd)>;
    void SetOutputQueueProbe(OutputQueueProbe probe) { outputQueued_ = std::move(probe); }

    // The device path of a port name: an absolute path as it is, "COMn" (n from 1) as
    // /dev/ttyS(n-1), any other name under /dev.
    static std::string DevicePath(const std::string& port);

private:
    void CloseFd();
    int OutputQueued() const;
    // CLineRead::Port
    int WaitInput(CLineRead::Clock::duration wait) override;
    long TakeInput(std::uint8_t* buf, std::size_t max) override;
    bool StopAsked() const override { return Stopped(); }

    std::string port_;
    std::uint32_t speed_;
    std::uint32_t stopBits_;
    int fd_ = -1;
    // The write time-out's constant in ms (added to the line time of the bytes).
    std::uint32_t writeConstant_ = 300;
    short revents_ = 0; // what the last wait saw (a hang-up shows here)
    OutputQueueProbe outputQueued_;
};

} // namespace vx4
