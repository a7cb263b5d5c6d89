// The local gateway server with a handler of its own, over real Unix-domain sockets.

#include "link/Pipetools.h"

#include "gateway_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <sys/stat.h>

namespace vx4 {
namespace {

using vx4test::GatewayClient;
using vx4test::RuntimeDir;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first = 1)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = std::uint8_t(first + i);
    return v;
}

// Answers a request with its bytes reversed; a request starting with 0 gets no answer.
class PipeServerTest : public ::testing::Test {
protected:
    void StartServer(std::uint32_t deviceNo = 7)
    {
        server.Start(
            deviceNo,
            [this](const std::uint8_t* req, std::size_t n, std::uint8_t* reply, std::size_t cap) -> std::size_t {
                ++calls;
                if (n == 0 || req[0] == 0)
                    return 0;
                for (std::size_t i = 0; i < n && i < cap; ++i)
                    reply[i] = req[n - 1 - i];
                return std::min(n, cap);
            },
            100);
        path = CPipeServer::SocketPath(deviceNo);
    }

    RuntimeDir dir;
    CPipeServer server;
    std::string path;
    std::atomic<int> calls{0};
};

TEST_F(PipeServerTest, NamesTheSocketAfterTheDeviceInTheRuntimeDirectory)
{
    EXPECT_EQ(CPipeServer::SocketName(7), "VX-4_7_5B647F26-45E3-4d4a-BAC9-061E17C66550");
    EXPECT_EQ(CPipeServer::SocketName(123456), "VX-4_123456_5B647F26-45E3-4d4a-BAC9-061E17C66550");
    EXPECT_EQ(CPipeServer::SocketPath(7), dir.Path() + "/VX-4_7_5B647F26-45E3-4d4a-BAC9-061E17C66550");
}

TEST_F(PipeServerTest, WithoutRuntimeDirectoryUsesAPrivateDirectoryUnderTmp)
{
    unsetenv("XDG_RUNTIME_DIR");
    const std::string d = CPipeServer::SocketDirectory();
    EXPECT_EQ(d, "/tmp/vx4pult-" + std::to_string(getuid()));
    struct stat st{};
    ASSERT_EQ(::stat(d.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// The fallback folder's name is known to every user: one that another user made first, or
// that is a link or open to others, is never used, and the reason names it.
TEST_F(PipeServerTest, AFallbackFolderTakenByAnotherUserIsRefusedAndNamed)
{
    const std::string expected = dir.Path() + "/vx4pult-" + std::to_string(getuid());
    std::string problem;
    EXPECT_EQ(CPipeServer::PrivateDirectoryIn(dir.Path(), &problem), expected) << problem;
    struct Case {
        const char* what;
        std::function<void()> arrange;
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"open to the group", [&] { ASSERT_EQ(::chmod(expected.c_str(), 0770), 0); }},
        {"a link to a folder of the user's", [&] {
             ASSERT_EQ(::rmdir(expected.c_str()), 0);
             ASSERT_EQ(::mkdir((expected + "-real").c_str(), 0700), 0);
             ASSERT_EQ(::symlink((expected + "-real").c_str(), expected.c_str()), 0);
         }},
        {"made by another user", [&] { ASSERT_EQ(::chown(expected.c_str(), 65534, 65534), 0); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("skipped case \"%s\": needs root to act as another user\n", c.what);
            continue;
        }
        ::unlink(expected.c_str());
        ::rmdir(expected.c_str());
        ::rmdir((expected + "-real").c_str());
        ASSERT_EQ(::mkdir(expected.c_str(), 0700), 0);
        c.arrange();
        problem.clear();
        EXPECT_EQ(CPipeServer::PrivateDirectoryIn(dir.Path(), &problem), "");
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
    }
    ::unlink(expected.c_str());
    ::rmdir(expected.c_str());
    ::rmdir((expected + "-real").c_str());
}

// The runtime directory is taken only when it is the user's own and closed to others;
// otherwise the private directory under /tmp.
TEST_F(PipeServerTest, RuntimeDirectoryIsUsedOnlyWhenPrivateToTheUser)
{
    struct Case {
        mode_t mode;
        bool otherOwner;
        bool used;
    };
    const std::string fallback = "/tmp/vx4pult-" + std::to_string(getuid());
    for (const Case& k : {Case{0700, false, true}, Case{0755, false, false}, Case{0711, false, false},
                          Case{0770, false, false}, Case{01700, false, false}, Case{0700, true, false}}) {
        SCOPED_TRACE(std::to_string(k.mode) + (k.otherOwner ? " owned by another" : ""));
        if (k.otherOwner && ::geteuid() != 0) {
            std::printf("skipped the case of another user's folder: handing a folder to another user needs root\n");
            continue;
        }
        ASSERT_EQ(::chmod(dir.Path().c_str(), k.mode), 0);
        ASSERT_EQ(::chown(dir.Path().c_str(), k.otherOwner ? 65534 : ::geteuid(), gid_t(-1)), 0);
        EXPECT_EQ(CPipeServer::SocketDirectory(), k.used ? dir.Path() : fallback);
    }
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0700), 0);
}

TEST_F(PipeServerTest, RelaysMessagesAndAnswersAFailedRelayWithAnEmptyMessage)
{
    StartServer();
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000)) << c.Error();

    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(c.Send({1, 2, 3}));
    ASSERT_EQ(c.Receive(&reply, 2000), 3);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{3, 2, 1}));

    // No answer from the handler: an empty message, and the client stays connected.
    ASSERT_TRUE(c.Send({0, 9}));
    EXPECT_EQ(c.Receive(&reply, 2000), 0);
    ASSERT_TRUE(c.Send(Bytes(255)));
    ASSERT_EQ(c.Receive(&reply, 2000), 255);
    EXPECT_EQ(reply.front(), 255);
    EXPECT_EQ(calls.load(), 3);
}

TEST_F(PipeServerTest, SocketFileIsPrivateToTheUserAndRemovedOnStop)
{
    StartServer();
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000));
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(server.Path(), path);
    c.Close();
    server.Stop();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(server.Running());
}

TEST_F(PipeServerTest, OverlongOrEmptyMessageDropsTheClientAndTheNextIsServed)
{
    StartServer();
    for (const auto& bad : {Bytes(300), std::vector<std::uint8_t>{}}) {
        GatewayClient c;
        ASSERT_TRUE(c.ConnectWithin(path, 2000));
        ASSERT_TRUE(c.Send(bad));
        std::vector<std::uint8_t> reply;
        EXPECT_EQ(c.Receive(&reply, 2000), 0) << bad.size() << " bytes: connection ended without reply";
        EXPECT_TRUE(c.ClosedByPeer(2000));

        GatewayClient next;
        ASSERT_TRUE(next.ConnectWithin(path, 2000)) << next.Error();
        ASSERT_TRUE(next.Send({4, 5}));
        ASSERT_EQ(next.Receive(&reply, 2000), 2);
        EXPECT_EQ(reply, (std::vector<std::uint8_t>{5, 4}));
    }
    EXPECT_EQ(calls.load(), 2); // the bad messages never reached the handler
}

TEST_F(PipeServerTest, SecondClientIsRefusedWhileOneIsConnected)
{
    StartServer();
    GatewayClient first;
    ASSERT_TRUE(first.ConnectWithin(path, 2000));
    ASSERT_TRUE(first.Send({1}));
    ASSERT_EQ(first.Receive(nullptr, 2000), 1); // surely accepted by now

    GatewayClient second;
    EXPECT_FALSE(second.Connect(path));
    EXPECT_EQ(second.Error(), ECONNREFUSED);

    first.Close(); // the gateway notices and listens again
    EXPECT_TRUE(second.ConnectWithin(path, 2000));
}

// A client that connects and then sends nothing, or goes quiet after a request, loses the
// slot once the request time-out has passed; the next client is served.
TEST_F(PipeServerTest, ClientWithoutRequestWithinTheTimeOutIsDropped)
{
    server.SetRequestTimeout(300);
    StartServer();
    for (const bool askFirst : {false, true}) {
        SCOPED_TRACE(askFirst ? "quiet after a request" : "never asks");
        GatewayClient idle;
        ASSERT_TRUE(idle.ConnectWithin(path, 2000)) << idle.Error();
        if (askFirst) {
            ASSERT_TRUE(idle.Send({1, 2}));
            ASSERT_EQ(idle.Receive(nullptr, 2000), 2);
        }
        EXPECT_TRUE(idle.ClosedByPeer(5000));
        GatewayClient next;
        ASSERT_TRUE(next.ConnectWithin(path, 2000)) << next.Error();
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(next.Send({4, 5}));
        ASSERT_EQ(next.Receive(&reply, 2000), 2);
        EXPECT_EQ(reply, (std::vector<std::uint8_t>{5, 4}));
    }
}

// A server started without a time-out of its own drops an idle client after ten seconds:
// not within the first two, and within the ten (with a margin for a busy machine).
TEST_F(PipeServerTest, RequestTimeOutIsTenSecondsUnlessSet)
{
    StartServer();
    GatewayClient idle;
    ASSERT_TRUE(idle.ConnectWithin(path, 2000)) << idle.Error();
    const auto connected = Clock::now();
    EXPECT_FALSE(idle.ClosedByPeer(2000)) << "dropped before its ten seconds";
    EXPECT_TRUE(idle.ClosedByPeer(11000)) << "still connected long after ten seconds";
    EXPECT_GE(Clock::now() - connected, std::chrono::milliseconds(9900));
}

TEST_F(PipeServerTest, StaleSocketFileIsReplaced)
{
    path = CPipeServer::SocketPath(7);
    std::ofstream(path) << "left over";
    StartServer();
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000)) << c.Error();
    ASSERT_TRUE(c.Send({1, 2}));
    EXPECT_EQ(c.Receive(nullptr, 2000), 2);
}

// A socket bound at path and, when listening, served by "another program".
int BindAt(const std::string& path, bool listening)
{
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || (listening && ::listen(fd, 1) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

ino_t InodeOf(const std::string& path)
{
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Two consoles for one device: the second leaves the socket to the first even while the
// first is busy with a client (and so not listening), and stopping the second leaves the
// first's socket in place.
TEST_F(PipeServerTest, SecondServerForTheSameDeviceLeavesTheFirstsSocketAlone)
{
    StartServer();
    GatewayClient busy;
    ASSERT_TRUE(busy.ConnectWithin(path, 2000)) << busy.Error();
    ASSERT_TRUE(busy.Send({1}));
    ASSERT_EQ(busy.Receive(nullptr, 2000), 1); // being served: the first does not listen now
    const ino_t firstsFile = InodeOf(path);
    ASSERT_NE(firstsFile, 0u);

    std::atomic<int> secondCalls{0};
    CPipeServer second;
    ::testing::internal::CaptureStderr();
    second.Start(
        7,
        [&](const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) -> std::size_t {
            ++secondCalls;
            return 0;
        },
        100);
    // The server sets itself up before it looks at the stop: a stop right away still
    // lets it try the socket.
    second.Stop();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Another program serves " + path + "; running without the gateway.\n");
    EXPECT_EQ(InodeOf(path), firstsFile) << "the second took the first's socket";

    // The first still serves its client and then the next one.
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(busy.Send({1, 2}));
    EXPECT_EQ(busy.Receive(&reply, 2000), 2);
    busy.Close();
    GatewayClient next;
    ASSERT_TRUE(next.ConnectWithin(path, 2000)) << next.Error();
    ASSERT_TRUE(next.Send({3, 4}));
    ASSERT_EQ(next.Receive(&reply, 2000), 2);
    EXPECT_EQ(reply, (std::vector<std::uint8_t>{4, 3}));
    EXPECT_EQ(secondCalls.load(), 0);
}

// A socket file that is no longer the one the server bound (another program put its own
// there) stays when the server stops.
TEST_F(PipeServerTest, StopRemovesOnlyTheSocketFileItBound)
{
    StartServer();
    GatewayClient busy;
    ASSERT_TRUE(busy.ConnectWithin(path, 2000)) << busy.Error();
    ASSERT_TRUE(busy.Send({1}));
    ASSERT_EQ(busy.Receive(nullptr, 2000), 1);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    const int other = BindAt(path, true);
    ASSERT_GE(other, 0);
    const ino_t othersFile = InodeOf(path);
    server.Stop();
    EXPECT_EQ(InodeOf(path), othersFile);
    GatewayClient c;
    EXPECT_TRUE(c.Connect(path)) << c.Error();
    ::close(other);
}

TEST_F(PipeServerTest, SocketOfACrashedRunIsReplaced)
{
    path = CPipeServer::SocketPath(7);
    const int old = BindAt(path, false); // bound, never listening: connects are refused
    ASSERT_GE(old, 0);
    ::close(old);
    StartServer();
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000)) << c.Error();
    ASSERT_TRUE(c.Send({1, 2}));
    EXPECT_EQ(c.Receive(nullptr, 2000), 2);
}

TEST_F(PipeServerTest, SocketAnotherProgramServesIsLeftAloneAndSaidOnce)
{
    path = CPipeServer::SocketPath(7);
    const int other = BindAt(path, true);
    ASSERT_GE(other, 0);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i) { // the worker starts the gateway after every read
        StartServer();
        // The gateway tries whether the socket is served, and leaves it to its server.
        pollfd p{other, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 5000), 1);
        if (p.revents & POLLIN)
            ::close(::accept4(other, nullptr, nullptr, SOCK_CLOEXEC));
        server.Stop();
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    // Clients still reach the other program.
    GatewayClient c;
    EXPECT_TRUE(c.Connect(path)) << c.Error();
    pollfd p{other, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 2000), 1);
    if (p.revents & POLLIN)
        ::close(::accept4(other, nullptr, nullptr, SOCK_CLOEXEC));
    ::close(other);
    EXPECT_EQ(said, "Another program serves " + path + "; running without the gateway.\n");
}

TEST_F(PipeServerTest, ClientThatDoesNotReadItsRepliesIsDroppedAndStopStaysQuick)
{
    StartServer();
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000));
    // Requests keep coming, replies are never read: the client's socket fills up.
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end && c.SendNow(Bytes(200)) >= 0) // until the gateway drops it
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(c.ClosedByPeer(2000));
    // Stopping never waits on a client's full socket.
    auto stopped = std::async(std::launch::async, [this] { server.Stop(); });
    const bool quick = stopped.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    c.Close(); // lets a gateway blocked on the send go
    EXPECT_TRUE(quick);
}

TEST_F(PipeServerTest, StopsQuicklyWhetherIdleOrServing)
{
    StartServer();
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000));
    c.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = Clock::now();
    server.Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(300));

    StartServer();
    GatewayClient d;
    ASSERT_TRUE(d.ConnectWithin(path, 2000));
    t0 = Clock::now();
    server.Stop(); // with a client connected
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(300));
    EXPECT_TRUE(d.ClosedByPeer(1000));
}

} // namespace
} // namespace vx4
