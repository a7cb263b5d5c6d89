#pragma once
// CComLink: the link over a serial port. The port is opened exclusively in raw mode at
// the link's speed, 8 data bits, no parity. Reads follow the port's read time-outs: one
// read call waits up to 1 ms per requested byte plus a constant and ends early when, after
// at least one byte, the line stays quiet for 1 ms; Read repeats such calls until every
// byte came or its one deadline passed: the time-out plus 100 ms plus the line time of the
// bytes asked for (10 bits a byte at the link's speed), counted from the start of the read.
// Write returns once the bytes have left the port's output queue, within the write
// time-out (1 ms per byte plus 300 ms): the answer wait never starts while the request is
// still going out.

#include "link/Link.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vx4 {

class CComLink : public CLink {
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

    // Bytes of the port's output queue not yet on the line (-1 when the port cannot tell).
    // Tests put a probe of their own: a pseudo-terminal passes bytes on at once.
    using OutputQueueProbe = std::function<int(int fd)>;
    void SetOutputQueueProbe(OutputQueueProbe probe) { outputQueued_ = std::move(probe); }

    // The device path of a port name: an absolute path as it is, "COMn" (n from 1) as
    // /dev/ttyS(n-1), any other name under /dev.
    static std::string DevicePath(const std::string& port);

private:
    void CloseFd();
    using SteadyTime = std::chrono::steady_clock::time_point;
    // One read call of the port: waits for the first byte up to n + constant ms (never past
    // end), then takes bytes until n came or the line stayed quiet for the interval.
    int ReadCall(std::uint8_t* buf, std::size_t n, std::size_t* got, SteadyTime end);
    std::chrono::nanoseconds ByteTime() const;
    int OutputQueued() const;

    std::string port_;
    std::uint32_t speed_;
    std::uint32_t stopBits_;
    int fd_ = -1;
    // The port's time-outs in ms (interval, per-byte multiplier, constant).
    std::uint32_t readInterval_ = 1, readMultiplier_ = 1, readConstant_ = 300;
    std::uint32_t writeMultiplier_ = 1, writeConstant_ = 300;
    OutputQueueProbe outputQueued_;
};

} // namespace vx4
