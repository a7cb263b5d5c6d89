// The local gateway under abuse: thousands of clients coming and going, messages of every
// awkward size, and clients of another user.

#include "link/Pipetools.h"

#include "gateway_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace vx4 {
namespace {

using vx4test::GatewayClient;
using vx4test::RuntimeDir;

std::size_t OpenDescriptors()
{
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// Echoes every request back.
class GatewayAbuseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.Start(
            7,
            [this](const std::uint8_t* req, std::size_t n, std::uint8_t* reply, std::size_t cap) -> std::size_t {
                ++calls;
                std::copy(req, req + std::min(n, cap), reply);
                return std::min(n, cap);
            },
            50);
        path = CPipeServer::SocketPath(7);
    }

    // A client served a one-byte request: the server is listening and answering.
    void ExpectServing()
    {
        GatewayClient c;
        ASSERT_TRUE(c.ConnectWithin(path, 5000)) << c.Error();
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(c.Send({42}));
        ASSERT_EQ(c.Receive(&reply, 5000), 1);
        EXPECT_EQ(reply[0], 42);
    }

    RuntimeDir dir;
    CPipeServer server;
    std::string path;
    std::atomic<int> calls{0};
};

TEST_F(GatewayAbuseTest, TenThousandClientsLeaveNoDescriptorBehind)
{
    ExpectServing();
    const std::size_t before = OpenDescriptors();
    for (int i = 0; i < 10000; ++i) {
        GatewayClient c;
        // The server listens again a moment after the previous client left: retry briskly.
        bool connected = false;
        for (int attempt = 0; attempt < 50000 && !(connected = c.Connect(path)); ++attempt)
            ::usleep(100);
        ASSERT_TRUE(connected) << "client " << i << ": " << c.Error();
        // Each one asks and takes its answer, so the server has taken it before the next
        // one comes (a client arriving between the server's accept and the closing of its
        // listening socket would find its connection reset).
        ASSERT_TRUE(c.Send({std::uint8_t(i | 1)}));
        std::vector<std::uint8_t> reply;
        ASSERT_EQ(c.Receive(&reply, 5000), 1) << "client " << i;
    }
    ExpectServing();
    // The server lets go of the last client's descriptor once it sees that client leave,
    // which on a busy machine may be a moment after the client closed; a leak stays.
    std::size_t after = OpenDescriptors();
    for (int i = 0; i < 200 && after != before; ++i) {
        ::usleep(10000);
        after = OpenDescriptors();
    }
    std::printf("open descriptors: %zu before, %zu after 10000 clients\n", before, after);
    EXPECT_EQ(after, before);
}

TEST_F(GatewayAbuseTest, MessagesOfEveryAwkwardSize)
{
    struct Case {
        std::size_t size;
        bool served;
    };
    // 1..255 bytes are requests; empty and longer ones drop the client unanswered.
    for (const Case& k : {Case{1, true}, Case{255, true}, Case{0, false}, Case{256, false}, Case{65536, false}}) {
        SCOPED_TRACE(k.size);
        const int callsBefore = calls;
        GatewayClient c;
        ASSERT_TRUE(c.ConnectWithin(path, 5000)) << c.Error();
        ASSERT_TRUE(c.Send(std::vector<std::uint8_t>(k.size, 0x5A)));
        std::vector<std::uint8_t> reply;
        if (k.served) {
            ASSERT_EQ(c.Receive(&reply, 5000), int(k.size));
            EXPECT_EQ(calls, callsBefore + 1);
        } else {
            EXPECT_EQ(c.Receive(&reply, 5000), 0);
            EXPECT_TRUE(c.ClosedByPeer(5000));
            EXPECT_EQ(calls, callsBefore);
        }
        c.Close();
        ExpectServing();
    }
}

// A client that sends and sends but never reads its answers must not take the gateway
// with it: it is dropped, the next client is served, and the server stops when told.
TEST_F(GatewayAbuseTest, ClientThatNeverReadsIsDropped)
{
    GatewayClient greedy;
    ASSERT_TRUE(greedy.ConnectWithin(path, 5000)) << greedy.Error();
    int sent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && !greedy.ClosedByPeer(0)) {
        if (greedy.SendNow({1}) == 1)
            ++sent;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("the greedy client sent %d requests\n", sent);
    EXPECT_TRUE(greedy.ClosedByPeer(1000)) << "dropped";
    greedy.Close();
    ExpectServing();
    const auto t0 = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

// Another user cannot reach the socket: its directory is the user's own and closed to
// others, the socket file itself is open to the user alone, and a client of another user
// that still gets through is closed at once. With root, a child process that has become
// another user tries it through each of the three barriers.
TEST_F(GatewayAbuseTest, AnotherUserIsRefused)
{
    ExpectServing();
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::getuid());
    ASSERT_EQ(::stat(dir.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the socket's directory is closed to others";
    if (::geteuid() != 0)
        GTEST_SKIP() << "trying as another user needs root";

    // errno of a connect made by user nobody (65534), or -1 when it connected.
    auto connectAsNobody = [this] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(250);
            GatewayClient c;
            ::_exit(c.Connect(path) ? 255 : (c.Error() & 0xFF));
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 251;
        return code == 255 ? -1 : code;
    };
    EXPECT_EQ(connectAsNobody(), EACCES) << "through the private directory";
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    EXPECT_EQ(connectAsNobody(), EACCES) << "through the socket file's own mode";

    // With the directory and the file opened up, the peer's user is what is left. The
    // child's verdict: 0 closed without a reply, 1 answered, 2 neither within the wait,
    // 3 the request could not be sent; else the connect's errno.
    auto askAsNobody = [this] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(250);
            GatewayClient c;
            if (!c.Connect(path))
                ::_exit(c.Error() & 0xFF);
            if (!c.Send({7}) && errno != EPIPE && errno != ECONNRESET)
                ::_exit(3);
            std::vector<std::uint8_t> reply;
            const int n = c.Receive(&reply, 5000);
            ::_exit(n > 0 ? 1 : n == 0 || c.ClosedByPeer(0) ? 0 : 2);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 251;
    };
    const int callsBefore = calls;
    int verdict = -1;
    // The server binds a fresh file after each client: open up whichever file is there.
    for (int attempt = 0; attempt < 100; ++attempt) {
        ::chmod(path.c_str(), 0666);
        verdict = askAsNobody();
        if (verdict != EACCES && verdict != ECONNREFUSED && verdict != ENOENT)
            break;
        ::usleep(20000);
    }
    EXPECT_EQ(verdict, 0) << "another user's client is closed unanswered";
    EXPECT_EQ(calls, callsBefore);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0700), 0);
    ExpectServing();
}

} // namespace
} // namespace vx4
