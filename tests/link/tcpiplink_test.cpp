#include "link/ResultCodes.h"
#include "link/Tcpiplink.h"
#include "link/link_tcp_server.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    // "localhost" resolves from the hosts file to ::1 and/or 127.0.0.1. Listen on the same
    // port on every loopback address that allows it; the link must land on the first one
    // getaddrinfo lists.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (::getaddrinfo("localhost", "0", &hints, &list) != 0 || !list)
        GTEST_SKIP() << "localhost does not resolve here";
    std::vector<int> families;
    for (addrinfo* a = list; a; a = a->ai_next)
        families.push_back(a->ai_family);
    ::freeaddrinfo(list);

    // The first listed family gets no listener: the link has to go on to the next.
    TcpPeer v4;
    ASSERT_TRUE(v4.Ok());
    int v6 = -1;
    if (std::find(families.begin(), families.end(), AF_INET6) != families.end()) {
        v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(std::uint16_t(std::stoi(v4.Service())));
        if (::bind(v6, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(v6, 4) != 0) {
            ::close(v6);
            v6 = -1;
        }
    }
    CTCPIPLink link("localhost", v4.Service());
    ASSERT_EQ(link.Open(true), OK);
    const int first = families.front();
    if (first == AF_INET || v6 < 0) {
        EXPECT_TRUE(v4.Accept(1000));
    } else {
        pollfd p{v6, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 1000), 1); // the connection waits on ::1
        EXPECT_FALSE(v4.Accept(100));
    }
    if (v6 >= 0)
        ::close(v6);
}
