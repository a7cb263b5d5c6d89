#pragma once
// A client of the local gateway socket for tests, and a private runtime directory that
// the gateway puts its socket into.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vx4test {

// Points XDG_RUNTIME_DIR at a fresh directory for the life of the object (set before any
// gateway thread runs).
class RuntimeDir {
public:
    RuntimeDir()
    {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadOld_ = old != nullptr;
        if (old)
            old_ = old;
        std::string tmpl = "/tmp/vx4gwXXXXXX";
        path_ = mkdtemp(tmpl.data()) ? tmpl : std::string();
        setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    }
    ~RuntimeDir()
    {
        if (hadOld_)
            setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_, old_;
    bool hadOld_ = false;
};

class GatewayClient {
public:
    GatewayClient() = default;
    ~GatewayClient() { Close(); }
    GatewayClient(const GatewayClient&) = delete;
    GatewayClient& operator=(const GatewayClient&) = delete;

    // One connect attempt; false with the errno kept in Error().
    bool Connect(const std::string& path)
    {
        Close();
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        error_ = errno;
        Close();
        return false;
    }
    // Retries while the socket is not (yet) there or busy.
    bool ConnectWithin(const std::string& path, int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!Connect(path)) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    bool Send(const std::vector<std::uint8_t>& message)
    {
        return ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size());
    }
    // Without waiting for room: false when the message could not be queued at once.
    bool SendNow(const std::vector<std::uint8_t>& message)
    {
        return ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(message.size());
    }
    // One message within ms; -1 on time-out or error. An empty message and the end of the
    // connection both read as 0 bytes.
    int Receive(std::vector<std::uint8_t>* message, int ms)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return -1;
        std::uint8_t buf[1024];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0)
            return -1;
        if (message)
            message->assign(buf, buf + n);
        return int(n);
    }
    // True when the server closed the connection (an orderly end is seen within ms).
    bool ClosedByPeer(int ms)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return false;
        return (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
    }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int Error() const { return error_; }

private:
    int fd_ = -1;
    int error_ = 0;
};

} // namespace vx4test
