#include "link/ResultCodes.h"
#include "link/Tcpiplink.h"
#include "link/link_tcp_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace vx4;
using vx4::test::ElapsedMs;
using vx4::test::TcpPeer;
using Clock = std::chrono::steady_clock;

TEST(TcpLink, ArgumentsAndClosedLink)
{
    CTCPIPLink link("127.0.0.1", "1");
    std::uint8_t buf[4];
    std::size_t count = 99;
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.Read(buf, 0, &count, 10), LINK_BAD_ARGUMENT);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(link.Write(nullptr, 4, &count), LINK_BAD_ARGUMENT);
    EXPECT_EQ(link.Read(buf, 4, &count, 10), LINK_NOT_OPEN);
    EXPECT_EQ(link.Write(buf, 4, &count), LINK_NOT_OPEN);
    EXPECT_FALSE(link.Purge(PURGE_RXCLEAR));
}

TEST(TcpLink, OpenFailures)
{
    // Nobody listens on a port that was just given up.
    std::string freePort;
    {
        TcpPeer gone;
        ASSERT_TRUE(gone.Ok());
        freePort = gone.Service();
    }
    struct Case {
        const char* what;
        std::string host, service;
    };
    const Case cases[] = {
        {"refused", "127.0.0.1", freePort},
        {"unknown service", "127.0.0.1", "no-such-service-name"},
    };
    for (const Case& c : cases) {
        CTCPIPLink link(c.host, c.service);
        const auto start = Clock::now();
        EXPECT_EQ(link.Open(true), LINK_NOT_OPEN) << c.what;
        EXPECT_LT(ElapsedMs(start), 3000) << c.what;
        EXPECT_FALSE(link.IsOpen()) << c.what;
    }
}

TEST(TcpLink, ConnectGivesUpAfterItsTimeout)
{
    // A listener whose accept queue is full drops further connection requests unanswered,
    // like a host that does not respond.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        (void)::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    EXPECT_EQ(CTCPIPLink::ConnectTimeoutMs, 5000);
    CTCPIPLink link("127.0.0.1", std::to_string(ntohs(a.sin_port)));
    link.SetConnectTimeout(300);
    const auto start = Clock::now();
    const int code = link.Open(true);
    const auto ms = ElapsedMs(start);
    for (int c : fillers)
        ::close(c);
    ::close(listener);
    if (code == OK)
        GTEST_SKIP() << "this system accepts past a full queue";
    EXPECT_EQ(code, LINK_NOT_OPEN);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_GE(ms, 250);
    EXPECT_LE(ms, 2000);
}

class TcpLinkPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer_.Ok());
        link_ = std::make_unique<CTCPIPLink>("127.0.0.1", peer_.Service());
        ASSERT_EQ(link_->Open(true), OK);
        ASSERT_TRUE(link_->IsOpen());
        ASSERT_TRUE(peer_.Accept());
    }
    TcpPeer peer_;
    std::unique_ptr<CTCPIPLink> link_;
};

TEST_F(TcpLinkPeer, WritesAndReads)
{
    const std::vector<std::uint8_t> request = {0x54, 0x53, 0x52, 0x51, 0x00, 0x00, 0x01, 0x05, 0x4B};
    std::size_t sent = 0;
    ASSERT_EQ(link_->Write(request.data(), request.size(), &sent), OK);
    EXPECT_EQ(sent, request.size());
    EXPECT_EQ(peer_.Receive(request.size(), 1000), request);
    peer_.Send({1, 2, 3, 4, 5});
    std::uint8_t buf[5] = {};
    std::size_t got = 0;
    EXPECT_EQ(link_->Read(buf, 5, &got, 100), OK);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(buf[4], 5);
}

TEST_F(TcpLinkPeer, SilentPeerTimesOutAfterTimeoutPlusOneSecond)
{
    std::uint8_t buf[7];
    std::size_t got = 99;
    const auto start = Clock::now();
    EXPECT_EQ(link_->Read(buf, 7, &got, 250), LINK_TIMEOUT);
    const auto ms = ElapsedMs(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(ms, 1200);
    EXPECT_LE(ms, 2500);
    EXPECT_TRUE(link_->IsOpen());
}

TEST_F(TcpLinkPeer, DrippingPeerEndsTheReadAtItsDeadline)
{
    // One byte every 300 ms: every wait sees a byte, yet the read as a whole ends once the
    // time-out plus 1000 ms plus the line time of 20 bytes at 1200 bit/s (167 ms) has passed
    // since the first byte.
    std::atomic<bool> stop{false};
    std::thread device([&] {
        for (std::uint8_t i = 0; i < 20 && !stop; ++i) {
            peer_.Send({i});
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    std::uint8_t buf[20] = {};
    std::size_t got = 0;
    const auto start = Clock::now();
    const int code = link_->Read(buf, 20, &got, 250);
    const auto ms = ElapsedMs(start);
    stop = true;
    device.join();
    EXPECT_EQ(code, LINK_TIMEOUT);
    EXPECT_GE(got, 3u);
    EXPECT_LE(got, 6u);
    for (std::size_t i = 0; i < got; ++i)
        EXPECT_EQ(buf[i], i);
    EXPECT_GE(ms, 1200);
    EXPECT_LT(ms, 2000);
    EXPECT_TRUE(link_->IsOpen());
}

TEST_F(TcpLinkPeer, BytesInTwoBursts)
{
    std::thread device([&] {
        peer_.Send({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer_.Send({4, 5, 6, 7});
    });
    std::uint8_t buf[7] = {};
    std::size_t got = 0;
    const int code = link_->Read(buf, 7, &got, 100);
    device.join();
    EXPECT_EQ(code, OK);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 7), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(TcpLinkPeer, BytesBeyondARead)
{
    // One arrival carries more than a read asks for: the rest serves the next read, and a
    // purge drops it like any other pending input.
    peer_.Send({1, 2, 3, 4, 5, 6});
    std::uint8_t buf[4] = {};
    std::size_t got = 0;
    ASSERT_EQ(link_->Read(buf, 2, &got, 100), OK);
    ASSERT_EQ(link_->Read(buf, 2, &got, 100), OK);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(buf[1], 4);
    EXPECT_TRUE(link_->Purge(11));
    peer_.Send({9});
    ASSERT_EQ(link_->Read(buf, 1, &got, 100), OK);
    EXPECT_EQ(buf[0], 9);
}

TEST_F(TcpLinkPeer, PeerClosingEndsTheReadAtOnce)
{
    peer_.Send({7, 8});
    peer_.CloseConnection();
    std::uint8_t buf[5] = {};
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(link_->Read(buf, 5, &got, 2000), LINK_READ_FAILED);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buf[1], 8);
    // The peer can send nothing more: the link is closed, later reads fail at once.
    EXPECT_FALSE(link_->IsOpen());
    EXPECT_EQ(link_->Read(buf, 1, &got, 2000), LINK_NOT_OPEN);
    // Opening it again connects anew.
    EXPECT_EQ(link_->Open(true), OK);
    EXPECT_TRUE(link_->IsOpen());
}

TEST(TcpLink, PeerThatStopsReadingFailsTheWriteAndClosesTheLink)
{
    TcpPeer peer(4096);
    ASSERT_TRUE(peer.Ok());
    CTCPIPLink link("127.0.0.1", peer.Service());
    ASSERT_EQ(link.Open(true), OK);
    ASSERT_TRUE(peer.Accept());
    // Far more than the send and receive buffers of a loopback connection hold.
    std::vector<std::uint8_t> block(64u << 20, 0x55);
    std::size_t sent = 0;
    const auto start = Clock::now();
    EXPECT_EQ(link.Write(block.data(), block.size(), &sent), LINK_WRITE_FAILED);
    const auto ms = ElapsedMs(start);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, block.size());
    EXPECT_GE(ms, 1000);
    EXPECT_LE(ms, 5000);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.Write(block.data(), 4, &sent), LINK_NOT_OPEN);
}

TEST_F(TcpLinkPeer, PurgeDrainsInputWheneverFlagsIncludeEight)
{
    struct Case {
        std::uint32_t flags;
        bool drains;
    };
    const Case cases[] = {{8, true}, {11, true}, {15, true}, {4, false}, {1, false}, {3, false}};
    for (const Case& c : cases) {
        // Stale bytes (a late answer), then the fresh byte the next read is after.
        std::vector<std::uint8_t> stale(3000, 0xEE);
        peer_.Send(stale);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(link_->Purge(c.flags), c.drains) << c.flags;
        peer_.Send({0x42});
        std::uint8_t b = 0;
        std::size_t got = 0;
        ASSERT_EQ(link_->Read(&b, 1, &got, 100), OK);
        EXPECT_EQ(b, c.drains ? 0x42 : 0xEE) << c.flags;
        EXPECT_TRUE(link_->Purge(PURGE_RXCLEAR)); // clean up for the next case
    }
    // Nothing pending: a quick true.
    const auto start = Clock::now();
    EXPECT_TRUE(link_->Purge(11));
    EXPECT_LT(ElapsedMs(start), 100);
}

TEST_F(TcpLinkPeer, ReopenMakesANewConnection)
{
    ASSERT_EQ(link_->Open(true), OK);
    EXPECT_TRUE(peer_.SeesClose(1000)); // the first connection was closed
    ASSERT_TRUE(peer_.Accept());
    peer_.Send({3});
    std::uint8_t b = 0;
    std::size_t got = 0;
    EXPECT_EQ(link_->Read(&b, 1, &got, 100), OK);
    EXPECT_EQ(link_->Open(false), OK);
    EXPECT_FALSE(link_->IsOpen());
    EXPECT_TRUE(peer_.SeesClose(1000));
}

TEST(TcpLink, TriesResolvedAddressesInOrder)
{
    // The first address refuses (nothing listens on its port), the second accepts; the third
    // also listens but must never be reached.
    std::string refusedPort;
    {
        TcpPeer gone;
        ASSERT_TRUE(gone.Ok());
        refusedPort = gone.Service();
    }
    TcpPeer second;
    TcpPeer third;
    ASSERT_TRUE(second.Ok());
    ASSERT_TRUE(third.Ok());
    const auto loopback = [](const std::string& port) {
        CTCPIPLink::Address a;
        auto* in = reinterpret_cast<sockaddr_in*>(&a.addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(std::uint16_t(std::stoi(port)));
        a.len = sizeof(sockaddr_in);
        return a;
    };
    std::string askedHost, askedService;
    CTCPIPLink link("device.example", "4001");
    link.SetResolver([&](const std::string& host, const std::string& service) {
        askedHost = host;
        askedService = service;
        return std::vector<CTCPIPLink::Address>{loopback(refusedPort), loopback(second.Service()),
                                                loopback(third.Service())};
    });
    ASSERT_EQ(link.Open(true), OK);
    EXPECT_EQ(askedHost, "device.example");
    EXPECT_EQ(askedService, "4001");
    EXPECT_TRUE(link.IsOpen());
    EXPECT_TRUE(second.Accept(1000));
    EXPECT_FALSE(third.Accept(100));

    // Every address refusing, or none at all, leaves the link closed.
    link.SetResolver([&](const std::string&, const std::string&) {
        return std::vector<CTCPIPLink::Address>{loopback(refusedPort)};
    });
    EXPECT_EQ(link.Open(true), LINK_NOT_OPEN);
    EXPECT_FALSE(link.IsOpen());
    link.SetResolver([](const std::string&, const std::string&) { return std::vector<CTCPIPLink::Address>{}; });
    EXPECT_EQ(link.Open(true), LINK_NOT_OPEN);
}

TEST(TcpLink, NameLookupIsGivenUpOnceTheLineIsAbandoned)
{
    // A lookup that hangs (an unreachable name server): the opening ends within a second of
    // the stop, and the lookup left running owns everything it uses.
    auto hang = std::make_shared<std::atomic<bool>>(true);
    CTCPIPLink link("device.example", "4001");
    link.SetResolver([hang](const std::string&, const std::string&) {
        for (int i = 0; i < 3000 && *hang; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return std::vector<CTCPIPLink::Address>{};
    });
    std::atomic<bool> stop{false};
    link.SetStopCheck([&stop] { return stop.load(); });
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    const auto start = Clock::now();
    EXPECT_EQ(link.Open(true), LINK_NOT_OPEN);
    const auto ms = ElapsedMs(start);
    stopper.join();
    *hang = false;
    EXPECT_GE(ms, 150);
    EXPECT_LT(ms, 1200);
    EXPECT_FALSE(link.IsOpen());
}
