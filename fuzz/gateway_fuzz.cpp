// The local gateway's request handling over its real socket: a client sends messages of
// any length, the handler answers with any length (more than fits included), and the
// client checks what comes back. The input is a sequence of steps, each:
//   2 bytes  the request's length (modulo 300: empty and over-long ones included)
//   n bytes  the request (zeros past the input's end)
//   2 bytes  the length the handler reports (modulo 300)
//   1 byte   the first byte of its answer (the rest counts up from it)
// A request of 1..255 bytes reaches the handler unchanged and gets one reply: the answer,
// cut at 255 bytes. Any other is dropped unanswered, the handler never sees it, and the
// next step connects again.
#include "FuzzSupport.h"

#include "link/Pipetools.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using vx4::CPipeServer;
using vx4fuzz::Bytes;
using vx4fuzz::Check;
using vx4fuzz::Input;

// What the handler is to answer next, and what it was asked.
struct Script {
    std::mutex lock;
    std::size_t answerLength = 0;
    std::uint8_t answerFirst = 0;
    Bytes asked;
    int calls = 0;
};

Script& TheScript()
{
    static Script script;
    return script;
}

// One server for the whole run, in a private runtime folder of its own.
const std::string& ServerPath()
{
    static const std::string path = [] {
        static char dir[] = "/tmp/vx4gwfuzzXXXXXX";
        if (!::mkdtemp(dir))
            std::abort();
        ::setenv("XDG_RUNTIME_DIR", dir, 1);
        static CPipeServer server;
        server.Start(
            7,
            [](const std::uint8_t* req, std::size_t n, std::uint8_t* reply, std::size_t capacity) {
                Script& s = TheScript();
                std::lock_guard<std::mutex> guard(s.lock);
                s.asked.assign(req, req + n);
                ++s.calls;
                for (std::size_t i = 0; i < s.answerLength && i < capacity; ++i)
                    reply[i] = std::uint8_t(s.answerFirst + i);
                return s.answerLength;
            },
            20);
        return CPipeServer::SocketPath(7);
    }();
    return path;
}

// A connected client; the server listens again a moment after it dropped the last one.
int Connect()
{
    const std::string& path = ServerPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    for (int attempt = 0; attempt < 50000; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        Check(fd >= 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return fd;
        ::close(fd);
        Check(errno == ECONNREFUSED || errno == ENOENT || errno == EAGAIN);
        ::usleep(100);
    }
    Check(false); // the gateway no longer takes clients
    return -1;
}

// One message from the server: its length (0 for an empty message or the end), or -1 on
// an error such as a reset.
int Receive(int fd, std::uint8_t* buf, std::size_t capacity)
{
    pollfd p{fd, POLLIN, 0};
    Check(::poll(&p, 1, 10000) == 1); // every request is answered or dropped
    const ssize_t n = ::recv(fd, buf, capacity, MSG_TRUNC);
    return n < 0 ? -1 : int(n);
}

// Whether the server has ended the connection.
bool HungUp(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

void MakeSeeds(const char* dir)
{
    const auto step = [](std::size_t length, std::size_t answer) {
        Bytes b{std::uint8_t(length), std::uint8_t(length >> 8)};
        for (std::size_t i = 0; i < length; ++i)
            b.push_back(std::uint8_t(i * 7));
        b.push_back(std::uint8_t(answer));
        b.push_back(std::uint8_t(answer >> 8));
        b.push_back(0x30);
        return b;
    };
    vx4fuzz::WriteSeed(dir, "one_request", step(3, 5));
    Bytes mixed;
    for (const auto& [length, answer] : {std::pair<std::size_t, std::size_t>{1, 0}, {255, 299}, {0, 1}, {256, 1}, {9, 255}}) {
        const Bytes b = step(length, answer);
        mixed.insert(mixed.end(), b.begin(), b.end());
    }
    vx4fuzz::WriteSeed(dir, "awkward_sizes", mixed);
}

} // namespace

VX4_FUZZ_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    Script& script = TheScript();
    int fd = -1;
    std::uint8_t reply[1024];
    for (int steps = 0; !in.Done() && steps < 16; ++steps) {
        const std::size_t length = in.U16() % 300;
        Bytes request = in.Take(length);
        request.resize(length);
        const std::size_t answerLength = in.U16() % 300;
        const std::uint8_t answerFirst = in.Byte();
        int callsBefore = 0;
        {
            std::lock_guard<std::mutex> guard(script.lock);
            script.answerLength = answerLength;
            script.answerFirst = answerFirst;
            script.asked.clear();
            callsBefore = script.calls;
        }
        if (fd < 0)
            fd = Connect();
        const ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        Check(sent == ssize_t(request.size()));
        const int n = Receive(fd, reply, sizeof reply);
        std::lock_guard<std::mutex> guard(script.lock);
        if (length >= 1 && length <= CPipeServer::MaxMessage) {
            const std::size_t expected = std::min(answerLength, CPipeServer::MaxMessage);
            Check(n == int(expected));
            for (std::size_t i = 0; i < expected; ++i)
                Check(reply[i] == std::uint8_t(answerFirst + i));
            Check(script.calls == callsBefore + 1);
            Check(script.asked == request);
            Check(!HungUp(fd, 0)); // the client stays connected, an empty reply included
        } else {
            Check(n <= 0);
            Check(HungUp(fd, 10000));
            Check(script.calls == callsBefore);
            ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0)
        ::close(fd);
    return 0;
}
