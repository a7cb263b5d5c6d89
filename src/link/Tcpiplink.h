#pragma once
// CTCPIPLink: the link over a TCP connection to host:service. Opening tries the resolved
// addresses in order, each with a 5000 ms connect time-out; the name lookup and the
// connects give up once the stop check answers true. Reads end as CLineRead says for TCP: a
// silence of the time-out plus 1000 ms after the last arrival, and a bound from the first
// byte that allows for the line time of the bytes at 1200 bit/s (a serial line may stand
// behind the device's converter). A write waits at most 1000 ms for room in the send buffer
// and closes the link when that wait runs out. A peer that closed
// the connection closes the link too (its read fails with 1011, later calls find the link
// closed), so the connection sees the device gone and the next opening connects anew.

#include "link/LineRead.h"
#include "link/Link.h"

#include <cstdint>
#include <array>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <utility>
#include <vector>

namespace vx4 {

class CTCPIPLink : public CLink, private CLineRead::Port {
public:
    static constexpr int ConnectTimeoutMs = 5000;

    // One address a host name resolved to.
    struct Address {
        sockaddr_storage addr{};
        socklen_t len = 0;
    };
    // Turns host and service into the addresses to try, in order (getaddrinfo unless changed).
    // It runs on a thread of its own that Open leaves behind once the stop check answers
    // true, so a resolver must not refer to anything that may go before it returns.
    using Resolver = std::function<std::vector<Address>(const std::string& host, const std::string& service)>;
    static std::vector<Address> ResolveAddresses(const std::string& host, const std::string& service);

    CTCPIPLink(std::string host, std::string service);
    ~CTCPIPLink() override;
    CTCPIPLink(const CTCPIPLink&) = delete;
    CTCPIPLink& operator=(const CTCPIPLink&) = delete;

    int Open(bool reopen) override;
    int Read(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t timeoutMs) override;
    int Write(const std::uint8_t* buf, std::size_t n, std::size_t* sent) override;
    bool IsOpen() const override { return fd_ >= 0; }
    // Drains whatever the peer has sent whenever flags include 8 (clear the input queue);
    // false for flags without 8.
    bool Purge(std::uint32_t flags) override;
    int DropUntilQuiet() override;

    // The connect time-out of each address (ConnectTimeoutMs unless changed).
    void SetConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
    void SetResolver(Resolver resolver) { resolver_ = std::move(resolver); }

private:
    void CloseSocket();
    // The resolver's addresses; empty when it found none or the stop check answered true.
    std::vector<Address> Resolve();
    // CLineRead::Port
    int WaitInput(CLineRead::Clock::duration wait) override;
    long TakeInput(std::uint8_t* buf, std::size_t max) override;
    bool StopAsked() const override { return Stopped(); }

    std::string host_;
    std::string service_;
    int fd_ = -1;
    int connectTimeoutMs_ = ConnectTimeoutMs;
    Resolver resolver_ = &CTCPIPLink::ResolveAddresses;
    // Bytes received from the socket but not yet handed to a Read: one receive takes a
    // whole answer, whose header and rest the connection then reads in two calls.
    std::array<std::uint8_t, 2048> rx_{};
    std::size_t rxBegin_ = 0;
    std::size_t rxEnd_ = 0;
    // When what was written last has gone out on a 1200 bit/s line behind the converter.
    CLineRead::Clock::time_point sendingUntil_{};
};

} // namespace vx4
