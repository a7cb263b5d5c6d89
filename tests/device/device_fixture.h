#pragma once
// A simulated VX-4 on a loopback TCP port, a connection open to it and a device object
// over that connection with shortened timing; helpers to describe small devices and to
// build the answers a test hook puts on the line.

#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"

#include "DeviceDescription.h"
#include "Simulator.h"
#include "gateway_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx4test {

using Bytes = std::vector<std::uint8_t>;
using vx4sim::HookResult;
using vx4sim::ItemDesc;
using vx4sim::MakeCalc;
using vx4sim::MakeConst;
using vx4sim::MakeEvent;

inline Bytes Vx3cFrame(std::uint32_t address, std::uint8_t command, const Bytes& data)
{
    Bytes f(data.size() + vx4::Vx3cOverhead);
    std::copy(data.begin(), data.end(), f.begin() + vx4::Vx3cHeaderSize);
    vx4::BuildVx3cFrame(f.data(), address, std::uint16_t(data.size()), command);
    return f;
}

inline HookResult Reply(Bytes bytes) { return HookResult{HookResult::Replace, std::move(bytes)}; }

inline std::uint8_t RequestCommand(const Bytes& r) { return r.size() > 6 ? r[6] : 0; }
inline std::uint32_t RequestAddress(const Bytes& r) { return r.size() >= 4 ? vx4::GetU32(r.data()) : 0; }
inline Bytes RequestData(const Bytes& r)
{
    if (r.size() < vx4::Vx3cOverhead)
        return {};
    return Bytes(r.begin() + 7, r.end() - 2);
}

// A description with no files or transducers and the given systems and items.
inline vx4sim::DeviceDescription Describe(std::vector<vx4sim::SystemInfo> systems, std::vector<ItemDesc> items)
{
    vx4sim::DeviceDescription d = vx4sim::DemoDescription();
    d.systems = std::move(systems);
    d.items = std::move(items);
    for (std::size_t i = 0; i < d.items.size(); ++i)
        if (d.items[i].type == ItemDesc::Calc && d.items[i].id == 0)
            d.items[i].id = std::uint16_t(i + 1);
    d.files.clear();
    d.transducers.clear();
    return d;
}

inline vx4::CVX4Obj::Timing FastTiming()
{
    vx4::CVX4Obj::Timing t;
    t.cycleMs = 40;
    t.stabilityPauseMs = 10;
    t.writeWaitMs = 1000;
    t.gatewayWaitMs = 50;
    return t;
}

inline bool WaitFor(const std::function<bool()>& done, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Holds the simulator's answer to a request until the test opens the gate: a hook calls
// Hold (which blocks the simulator's server thread while the gate is shut); the test learns
// from WaitReached that the request has arrived. DeviceTest::MakeGate's gates are opened
// by TearDown, so a failing test never leaves the simulator blocked.
class Gate {
public:
    void Hold()
    {
        std::unique_lock<std::mutex> lock(m_);
        reached_ = true;
        cv_.notify_all();
        cv_.wait(lock, [this] { return open_; });
    }
    bool WaitReached(int ms)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return reached_; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool reached_ = false;
    bool open_ = false;
};

class DeviceTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const auto& gate : gates)
            gate->Open();
        obj.reset();
        conn.Close();
        if (sim) {
            sim->SetHook(nullptr);
            sim->Stop();
        }
    }

    // Starts the simulator (the demo device unless a description is given) and opens the
    // connection; devNo is put into the connection's settings.
    void StartSim(const vx4sim::DeviceDescription* description = nullptr, bool devNoFromSim = true)
    {
        std::string err;
        if (description) {
            sim = vx4sim::Simulator::FromJsonText(vx4sim::DescriptionToJson(*description), &err);
            ASSERT_TRUE(sim) << err;
        } else {
            sim = std::make_unique<vx4sim::Simulator>();
        }
        ASSERT_TRUE(sim->StartTcp("127.0.0.1", 0, &err)) << err;
        serial = sim->Serial();
        vx4::ConnectionSettings s = conn.Settings();
        s.port = "TCP/IP";
        s.IP = "127.0.0.1";
        s.TCPIPport = std::to_string(sim->Port());
        s.dev_nom = devNoFromSim ? serial : 0;
        conn.SetSettings(s);
        ASSERT_EQ(conn.Open(), 0);
    }

    void MakeObject(const vx4::CVX4Obj::Timing& timing = FastTiming())
    {
        obj = std::make_unique<vx4::CVX4Obj>(conn, timing);
    }

    // Asks for a read and waits until it has ended with a configuration loaded.
    bool Load(int ms = 10000)
    {
        obj->RequestReread();
        return WaitFor([this] { return obj->IsConfigReady() && obj->GetDeviceInfo().itemCount != 0; }, ms);
    }

    // A gate that TearDown opens before it stops anything.
    std::shared_ptr<Gate> MakeGate()
    {
        gates.push_back(std::make_shared<Gate>());
        return gates.back();
    }

    // The gateway's socket path once the worker has started it after a read.
    std::string GatewayPath(int ms = 3000)
    {
        std::string path;
        WaitFor([&] { return !(path = obj->GatewayPath()).empty(); }, ms);
        return path;
    }

    std::vector<Bytes> RequestsOf(std::uint8_t command) const
    {
        std::vector<Bytes> out;
        for (const Bytes& r : sim->Requests())
            if (RequestCommand(r) == command)
                out.push_back(r);
        return out;
    }
    std::size_t CountOf(std::uint8_t command) const { return RequestsOf(command).size(); }

    // The store must hold exactly what the simulator's items describe.
    void ExpectStoreMatchesDevice()
    {
        const std::uint32_t count = sim->ItemCount();
        ASSERT_EQ(obj->GetDeviceInfo().itemCount, count);
        for (std::uint16_t n = 1; n <= count; ++n) {
            const Bytes item = sim->ItemRecord(n);
            ASSERT_FALSE(item.empty());
            const std::uint8_t type = item[0];
            if (type == 0)
                continue;
            const std::uint16_t id = type == 3 ? vx4::GetU16(item.data() + 1 + 7) : n;
            const vx4::SNodeInfo info = obj->GetNodeInfo(id);
            EXPECT_EQ(info.kind, type) << "item " << n;
            EXPECT_EQ(info.id, id) << "item " << n;
            EXPECT_TRUE(std::equal(item.begin() + 1, item.end(), info.data.begin())) << "item " << n;
        }
    }

    RuntimeDir runtimeDir; // first: the gateway's socket goes there
    std::unique_ptr<vx4sim::Simulator> sim;
    vx4::connection conn;
    std::unique_ptr<vx4::CVX4Obj> obj;
    std::uint32_t serial = 0;
    std::vector<std::shared_ptr<Gate>> gates;
};

} // namespace vx4test
