#pragma once
// A pseudo-terminal pair for serial link tests: the link opens the slave by its path,
// the test plays the device on the master side.

#include "link/link_timing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <pty.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace vx4::test {

class PtyPair {
public:
    PtyPair()
    {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) == 0)
            path_ = name;
    }
    ~PtyPair()
    {
        CloseMaster();
        if (slave_ >= 0)
            ::close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && !path_.empty(); }
    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    void Send(const std::vector<std::uint8_t>& bytes) const
    {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // What the device side receives within timeoutMs (stops once n bytes came).
    std::vector<std::uint8_t> Receive(std::size_t n, int timeoutMs) const
    {
        std::vector<std::uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0)
                break;
            std::uint8_t buf[4096];
            const ssize_t k = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (k <= 0)
                break;
            out.insert(out.end(), buf, buf + k);
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

} // namespace vx4::test
