#pragma once
// A loopback TCP peer for link tests: listens on 127.0.0.1 (port chosen by the system),
// accepts the link's connection and plays the device on it.

#include "link/link_timing.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vx4::test {

class TcpPeer {
public:
    // receiveBuffer > 0 shrinks the accepted socket's receive buffer (set before listen,
    // so the accepted socket inherits it).
    explicit TcpPeer(int receiveBuffer = 0)
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_ < 0)
            return;
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (receiveBuffer > 0)
            ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 4) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(listen_);
            listen_ = -1;
            return;
        }
        port_ = ntohs(a.sin_port);
    }
    ~TcpPeer()
    {
        CloseConnection();
        if (listen_ >= 0)
            ::close(listen_);
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    bool Ok() const { return listen_ >= 0; }
    std::string Service() const { return std::to_string(port_); }
    int Fd() const { return conn_; }

    // Takes the next waiting connection (the previous one is closed); false when none came.
    bool Accept(int timeoutMs = 2000)
    {
        CloseConnection();
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }
    void CloseConnection()
    {
        if (conn_ >= 0)
            ::close(conn_);
        conn_ = -1;
    }

    void Send(const std::vector<std::uint8_t>& bytes) const
    {
        ASSERT_EQ(::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }

    // What the peer receives within timeoutMs (stops once n bytes came or the link closed).
    std::vector<std::uint8_t> Receive(std::size_t n, int timeoutMs) const
    {
        std::vector<std::uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{conn_, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0)
                break;
            std::uint8_t buf[4096];
            const ssize_t k = ::recv(conn_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (k <= 0)
                break;
            out.insert(out.end(), buf, buf + k);
        }
        return out;
    }

    // True when the link closed its end (the peer reads end-of-stream) within timeoutMs.
    bool SeesClose(int timeoutMs) const
    {
        pollfd p{conn_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        std::uint8_t b;
        return ::recv(conn_, &b, 1, MSG_DONTWAIT) == 0;
    }

private:
    int listen_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace vx4::test
