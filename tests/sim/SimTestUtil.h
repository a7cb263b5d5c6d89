#pragma once
// Raw frame helpers for the simulator tests: request builders and a client side that
// reads one answer from a socket or a pseudo-terminal with a time-out.

#include "Simulator.h"
#include "link/Frames.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Request(std::uint32_t address, std::uint8_t command, const Bytes& data = {})
{
    Bytes f(vx4::Vx3cFrameSize(data.size()));
    std::copy(data.begin(), data.end(), f.begin() + vx4::Vx3cHeaderSize);
    vx4::BuildVx3cFrame(f.data(), address, std::uint16_t(data.size()), command);
    return f;
}

inline Bytes ShortRequest(std::uint8_t command, const Bytes& data)
{
    Bytes f(3 + data.size() + 2);
    vx4::PutU16(f.data(), std::uint16_t(data.size()));
    f[2] = command;
    std::copy(data.begin(), data.end(), f.begin() + 3);
    vx4::FillCheckBytes(f.data(), vx4::ShortCovered(data.size()));
    return f;
}

// Data part of a well-formed vx3c answer (check bytes verified by the caller's assertions).
inline Bytes DataOf(const Bytes& answer)
{
    return Bytes(answer.begin() + vx4::Vx3cHeaderSize, answer.end() - 2);
}

inline bool ValidVx3c(const Bytes& a)
{
    return a.size() >= vx4::Vx3cOverhead && a.size() == vx4::Vx3cFrameSize(vx4::GetU16(a.data() + 4)) &&
           vx4::CheckBytesValid(a.data(), a.size() - 2);
}

// Reads up to `want` bytes, waiting at most `timeoutMs` in all.
inline Bytes ReadSome(int fd, std::size_t want, int timeoutMs)
{
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0)
            break;
        std::uint8_t buf[2048];
        const ssize_t r = read(fd, buf, std::min(sizeof buf, want - out.size()));
        if (r <= 0)
            break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// One vx3c answer: header, then the announced rest. Empty when nothing came.
inline Bytes ReadAnswer(int fd, int timeoutMs = 2000)
{
    Bytes h = ReadSome(fd, vx4::Vx3cHeaderSize, timeoutMs);
    if (h.size() < vx4::Vx3cHeaderSize)
        return h;
    Bytes rest = ReadSome(fd, vx4::GetU16(h.data() + 4) + 2u, timeoutMs);
    h.insert(h.end(), rest.begin(), rest.end());
    return h;
}

inline bool WriteAll(int fd, const Bytes& b)
{
    std::size_t done = 0;
    while (done < b.size()) {
        const ssize_t w = write(fd, b.data() + done, b.size() - done);
        if (w <= 0)
            return false;
        done += std::size_t(w);
    }
    return true;
}

inline int ConnectTcp(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Opens the slave side as a console would open its serial port: raw, no controlling tty.
inline int OpenPty(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

} // namespace simtest
