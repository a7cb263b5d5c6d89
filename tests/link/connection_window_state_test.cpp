// What the window asks of the connection never waits for the line: the settings, the device
// number, the statistics and whether a link is held are read and set while an exchange
// holds the line's lock; a reconnect does not hold that lock while it connects; and a
// program that no longer waits for the line ends a read in progress at once.

#include "link/Comlink.h"
#include "link/Connection.h"
#include "link/ResultCodes.h"
#include "link/link_pty.h"
#include "link/link_tcp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <vector>
#include <thread>
#include <unistd.h>

using namespace vx4;
using namespace std::chrono_literals;

namespace {

// A link whose reads and whose opening wait until the test lets them go (or the connection
// stops them); the test sees when one has begun.
class HeldLink : public CLink {
public:
    struct State {
        std::atomic<bool> release{false};
        std::atomic<bool> reading{false};
        std::atomic<bool> opening{false};
        std::atomic<bool> up{true};
        std::atomic<int> opens{0};
    };
    explicit HeldLink(std::shared_ptr<State> s) : s_(std::move(s)) {}

    int Open(bool reopen) override
    {
        if (!reopen)
            return OK;
        if (s_->up)
            return OK;
        if (s_->opens++ == 0)
            return LINK_NOT_OPEN; // the first opening fails at once: the link is down
        s_->opening = true;
        Hold();
        s_->up = true;
        return OK;
    }
    int Read(std::uint8_t*, std::size_t, std::size_t* received, std::uint32_t) override
    {
        *received = 0;
        s_->reading = true;
        Hold();
        return LINK_TIMEOUT;
    }
    int Write(const std::uint8_t*, std::size_t n, std::size_t* sent) override
    {
        *sent = n;
        return OK;
    }
    bool IsOpen() const override { return s_->up; }
    bool Purge(std::uint32_t) override { return true; }

private:
    void Hold()
    {
        while (!s_->release && !Stopped())
            std::this_thread::sleep_for(5ms);
    }
    std::shared_ptr<State> s_;
};

bool Within(std::future<void>& f, std::chrono::milliseconds d) { return f.wait_for(d) == std::future_status::ready; }

TEST(ConnectionWindowState, WindowCallsDoNotWaitWhileAnExchangeHoldsTheLine)
{
    auto state = std::make_shared<HeldLink::State>();
    connection conn;
    conn.SetLinkFactory([state](const ConnectionSettings&) { return std::make_unique<HeldLink>(state); });
    ASSERT_EQ(conn.Open(), OK);
    const std::uint8_t request[9] = {1, 2, 3, 4, 0, 0, 1, 0, 0};
    std::uint8_t answer[64];
    auto exchange = std::async(std::launch::async, [&] { return conn.Exchange(request, 9, answer, 64, 100, 1); });
    for (int i = 0; i < 400 && !state->reading; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(state->reading);

    const std::string ini = (std::filesystem::temp_directory_path() /
                             ("vx4_window_state_" + std::to_string(::getpid()) + ".ini")).string();
    struct Case {
        const char* what;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"DeviceNumber", [&] { (void)conn.DeviceNumber(); }},
        {"SetDeviceNumber", [&] { conn.SetDeviceNumber(77); }},
        {"Settings", [&] { (void)conn.Settings(); }},
        {"SetSettings", [&] { conn.SetSettings(conn.Settings()); }},
        {"SaveSettings", [&] { conn.SaveSettings(ini); }},
        {"ResetStatistics", [&] { conn.ResetStatistics(); }},
        {"Statistics", [&] { (void)conn.Statistics(); }},
        {"IsOpen", [&] { EXPECT_TRUE(conn.IsOpen()); }},
    };
    std::vector<std::future<void>> late; // calls still waiting end once the exchange does
    for (const Case& c : cases) {
        auto f = std::async(std::launch::async, c.call);
        EXPECT_TRUE(Within(f, 2s)) << c.what;
        late.push_back(std::move(f));
    }
    EXPECT_EQ(conn.DeviceNumber(), 77u);
    state->release = true;
    EXPECT_EQ(exchange.get(), LINK_TIMEOUT);
    late.clear();
    std::remove(ini.c_str());
}

TEST(ConnectionWindowState, ReconnectDoesNotHoldTheLine)
{
    auto state = std::make_shared<HeldLink::State>();
    state->up = false;
    connection conn;
    conn.SetLinkFactory([state](const ConnectionSettings&) { return std::make_unique<HeldLink>(state); });
    conn.Open(); // held, and down
    auto reconnect = std::async(std::launch::async, [&] { return conn.Reconnect(); });
    for (int i = 0; i < 400 && !state->opening; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(state->opening);
    // Another thread gets the line's lock while the connect is under way.
    auto other = std::async(std::launch::async, [&] {
        std::lock_guard<std::recursive_mutex> hold(conn.Lock());
    });
    EXPECT_TRUE(Within(other, 2s));
    EXPECT_TRUE(conn.IsOpen());
    std::uint8_t answer[64];
    const std::uint8_t request[9] = {1, 2, 3, 4, 0, 0, 1, 0, 0};
    EXPECT_EQ(conn.Exchange(request, 9, answer, 64, 100, 1), LINK_NOT_OPEN); // no link to use meanwhile
    state->release = true;
    EXPECT_EQ(reconnect.get(), OK);
    EXPECT_TRUE(conn.LinkUp());
    conn.Close();
    EXPECT_FALSE(conn.IsOpen());
}

TEST(ConnectionWindowState, APortChangedDuringAReconnectionIsTheOneUsedNext)
{
    // F10 while the link is out for its reconnection, a new port, F11: the reconnection that
    // ends afterwards must not put the old link back.
    auto state = std::make_shared<HeldLink::State>();
    state->up = false;
    auto fresh = std::make_shared<HeldLink::State>(); // the second link opens at once
    std::vector<std::string> made;
    connection conn;
    conn.SetLinkFactory([state, fresh, &made](const ConnectionSettings& s) {
        made.push_back(s.port);
        return std::make_unique<HeldLink>(made.size() == 1 ? state : fresh);
    });
    ConnectionSettings s = conn.Settings();
    s.port = "/dev/old-port";
    conn.SetSettings(s);
    conn.Open();
    auto reconnect = std::async(std::launch::async, [&] { return conn.Reconnect(); });
    for (int i = 0; i < 400 && !state->opening; ++i)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(state->opening);
    conn.Close();
    s.port = "/dev/new-port";
    conn.SetSettings(s);
    conn.Open();
    state->release = true;
    reconnect.get();
    state->up = false; // the old link would show as down
    ASSERT_EQ(made, (std::vector<std::string>{"/dev/old-port", "/dev/new-port"}));
    EXPECT_TRUE(conn.IsOpen());
    EXPECT_TRUE(conn.LinkUp());
    conn.Close();
    EXPECT_FALSE(conn.IsOpen());
}

TEST(ConnectionWindowState, AbandonEndsAReadInProgressOnEitherLink)
{
    vx4::test::PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    vx4::test::TcpPeer peer;
    ASSERT_TRUE(peer.Ok());
    struct Case {
        const char* what;
        ConnectionSettings settings;
        bool body; // the device is sending the body of a long answer, else it is silent
    };
    ConnectionSettings serial;
    serial.port = pty.Path();
    serial.speed = 1200;
    ConnectionSettings tcp;
    tcp.port = "TCP/IP";
    tcp.IP = "127.0.0.1";
    tcp.TCPIPport = peer.Service();
    const std::uint8_t request[9] = {1, 2, 3, 4, 0, 0, 1, 0, 0};
    for (const Case& c : {Case{"serial, silent", serial, false}, Case{"serial, body coming", serial, true},
                          Case{"tcp, silent", tcp, false}, Case{"tcp, body coming", tcp, true}}) {
        SCOPED_TRACE(c.what);
        const bool isTcp = c.settings.port == "TCP/IP";
        connection conn;
        conn.SetSettings(c.settings);
        ASSERT_EQ(conn.Open(), OK);
        if (isTcp)
            ASSERT_TRUE(peer.Accept());
        auto deviceSide = [&](std::size_t n, int ms) { return isTcp ? peer.Receive(n, ms) : pty.Receive(n, ms); };
        std::uint8_t answer[1024];
        // A wait of half a minute and three tries.
        auto exchange =
            std::async(std::launch::async, [&] { return conn.Exchange(request, 9, answer, sizeof answer, 30000, 3); });
        ASSERT_EQ(deviceSide(9, 5000).size(), 9u);
        std::atomic<bool> sending{c.body};
        std::thread device;
        if (c.body) {
            // A header announcing 1000 data bytes, then the body as a 1200 bit/s line carries it.
            device = std::thread([&] {
                const std::vector<std::uint8_t> header = {1, 2, 3, 4, 0xE8, 0x03, 1};
                isTcp ? peer.Send(header) : pty.Send(header);
                while (sending) {
                    const std::vector<std::uint8_t> piece(1, 0x55);
                    isTcp ? peer.Send(piece) : pty.Send(piece);
                    std::this_thread::sleep_for(8ms);
                }
            });
            // Well into the body.
            std::this_thread::sleep_for(400ms);
        } else {
            std::this_thread::sleep_for(200ms);
        }
        const auto start = std::chrono::steady_clock::now();
        conn.Abandon();
        ASSERT_EQ(exchange.wait_for(2s), std::future_status::ready);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        EXPECT_EQ(exchange.get(), LINK_TIMEOUT);
        sending = false;
        if (device.joinable())
            device.join();
        // The tries that remained sent nothing.
        EXPECT_TRUE(deviceSide(1, 300).empty());
        EXPECT_EQ(conn.Exchange(request, 9, answer, sizeof answer, 30000, 1), LINK_NOT_OPEN);
    }
}

} // namespace
