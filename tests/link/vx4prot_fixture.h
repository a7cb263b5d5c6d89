#pragma once
// A simulated VX-4 on a loopback TCP port (or a pseudo-terminal) with a console
// connection open to it, plus builders for the answers a test hook puts on the line.

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/Vx4prot.h"

#include "Simulator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vx4test {

using Bytes = std::vector<std::uint8_t>;
using vx4sim::HookResult;

inline Bytes Vx3cFrame(std::uint32_t address, std::uint8_t command, const Bytes& data)
{
    Bytes f(data.size() + vx4::Vx3cOverhead);
    std::copy(data.begin(), data.end(), f.begin() + vx4::Vx3cHeaderSize);
    vx4::BuildVx3cFrame(f.data(), address, std::uint16_t(data.size()), command);
    return f;
}

inline Bytes ShortFrame(std::uint8_t command, const Bytes& data)
{
    Bytes f(data.size() + vx4::ShortOverhead);
    vx4::PutU16(f.data(), std::uint16_t(data.size()));
    f[2] = command;
    std::copy(data.begin(), data.end(), f.begin() + vx4::ShortHeaderSize);
    vx4::FillCheckBytes(f.data(), vx4::ShortCovered(data.size()));
    return f;
}

inline Bytes WithBadCheck(Bytes f)
{
    f.back() ^= 0x01; // sum byte wrong, xor byte right
    return f;
}

inline HookResult Reply(Bytes bytes) { return HookResult{HookResult::Replace, std::move(bytes)}; }
inline HookResult Silent() { return HookResult{HookResult::Silent, {}}; }
inline HookResult Normal() { return HookResult{}; }

inline bool IsShortRequest(const Bytes& r)
{
    return r.size() >= vx4::ShortOverhead && r[2] == vx4::CMD_TEST_CLOCK &&
           vx4::ShortFrameSize(vx4::GetU16(r.data())) == r.size();
}
inline std::uint8_t RequestCommand(const Bytes& r)
{
    if (IsShortRequest(r))
        return r[2];
    return r.size() > 6 ? r[6] : 0;
}
inline Bytes RequestData(const Bytes& r)
{
    if (IsShortRequest(r))
        return Bytes(r.begin() + 3, r.end() - 2);
    if (r.size() < vx4::Vx3cOverhead)
        return {};
    return Bytes(r.begin() + 7, r.end() - 2);
}

inline double SecondsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(sim.StartTcp("127.0.0.1", 0, &err)) << err;
        vx4::ConnectionSettings s = conn.Settings();
        s.port = "TCP/IP";
        s.IP = "127.0.0.1";
        s.TCPIPport = std::to_string(sim.Port());
        conn.SetSettings(s);
        ASSERT_EQ(conn.Open(), 0);
        address = sim.Serial();
    }
    void TearDown() override
    {
        conn.Close();
        sim.SetHook(nullptr);
        sim.Stop();
    }

    // Requests of one command code, in order.
    std::vector<Bytes> RequestsOf(std::uint8_t command) const
    {
        std::vector<Bytes> out;
        for (const Bytes& r : sim.Requests())
            if (RequestCommand(r) == command)
                out.push_back(r);
        return out;
    }

    vx4sim::Simulator sim;
    vx4::connection conn;
    std::uint32_t address = 0;
};

class PtySimTest : public SimTest {
protected:
    void SetUp() override
    {
        std::string err;
        ASSERT_TRUE(sim.StartPty(&err)) << err;
        vx4::ConnectionSettings s = conn.Settings();
        s.port = sim.PtyPath();
        s.speed = 115200;
        conn.SetSettings(s);
        ASSERT_EQ(conn.Open(), 0);
        address = sim.Serial();
    }
};

} // namespace vx4test
