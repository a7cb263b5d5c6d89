// The local gateway server: one listening Unix-domain SOCK_SEQPACKET socket, one client at
// a time. While a client is served the listening socket is closed, so further clients are
// refused at connect; it is bound again as soon as the client is dropped.

#include "link/Pipetools.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vx4 {

namespace {

const char* const SocketSuffix = "_5B647F26-45E3-4d4a-BAC9-061E17C66550";

void Report(const char* format)
{
    std::printf(format, errno);
    std::fflush(stdout);
}

// Whether a server listens at path: a connect that is refused (or finds nothing) means the
// file, if any, is a crashed run's leftover. Anything else counts as served, so that a live
// socket is never removed.
bool Served(const sockaddr_un& addr)
{
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const bool refused = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
                         (errno == ECONNREFUSED || errno == ENOENT);
    ::close(fd);
    return !refused;
}

// Binds a fresh listening socket at path, replacing a file a crashed run left there. The
// file gets mode 0600 before the socket listens. -1 on failure (errno set); errno
// EADDRINUSE when another server listens at path.
int Listen(const std::string& path)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    if (Served(addr)) {
        ::close(fd);
        errno = EADDRINUSE;
        return -1;
    }
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 1) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// Waits until fd is readable (or hung up) or the wake pipe is written, at most waitMs.
// Returns true when fd is ready.
bool WaitReadable(int fd, int wakeFd, std::uint32_t waitMs)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int r = ::poll(fds, 2, int(waitMs));
    return r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Sends one reply message. A client that does not read its replies fills its socket: a
// reply that cannot go out within waitMs (or before a stop) fails, and the client is dropped.
bool SendReply(int client, const std::uint8_t* reply, std::size_t n, int wakeFd, std::uint32_t waitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const ssize_t sent = ::send(client, reply, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return std::size_t(sent) == n;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fds[2] = {{client, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, int(left.count()) + 1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents != 0)
            return false; // stopping
    }
}

} // namespace

CPipeServer::~CPipeServer() { Stop(); }

std::string CPipeServer::SocketName(std::uint32_t deviceNo)
{
    return "VX-4_" + std::to_string(deviceNo) + SocketSuffix;
}

std::string CPipeServer::SocketDirectory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st{};
    if (runtime && *runtime && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
        return runtime;
    const std::string dir = "/tmp/vx4pult-" + std::to_string(::getuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    // Only a real directory of our own that nobody else may enter will do.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        errno = EACCES;
        return {};
    }
    return dir;
}

std::string CPipeServer::SocketPath(std::uint32_t deviceNo)
{
    const std::string dir = SocketDirectory();
    return dir.empty() ? std::string() : dir + "/" + SocketName(deviceNo);
}

void CPipeServer::Start(std::uint32_t deviceNo, Handler handler, std::uint32_t waitMs)
{
    Stop();
    if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        Report("CreateEvent failed with %d.\n");
        wakeFds_[0] = wakeFds_[1] = -1;
        return;
    }
    stop_ = false;
    thread_ = std::thread(&CPipeServer::Serve, this, deviceNo, std::move(handler), waitMs);
}

void CPipeServer::Stop()
{
    if (thread_.joinable()) {
        stop_ = true;
        const char b = 1;
        [[maybe_unused]] ssize_t w = ::write(wakeFds_[1], &b, 1);
        thread_.join();
    }
    for (int& fd : wakeFds_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    stop_ = false;
    std::lock_guard<std::mutex> guard(pathLock_);
    path_.clear();
}

bool CPipeServer::Running() const { return thread_.joinable(); }

std::string CPipeServer::Path() const
{
    std::lock_guard<std::mutex> guard(pathLock_);
    return path_;
}

void CPipeServer::Serve(std::uint32_t deviceNo, Handler handler, std::uint32_t waitMs)
{
    const std::string path = SocketPath(deviceNo);
    int listener = path.empty() ? -1 : Listen(path);
    if (listener < 0) {
        if (errno == EADDRINUSE)
            ReportServedElsewhere(path);
        else
            Report("CreateNamedPipe failed with %d.\n");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(pathLock_);
        path_ = path;
    }
    const int wakeFd = wakeFds_[0];
    std::uint8_t request[MaxMessage + 1];
    std::uint8_t reply[MaxMessage + 1];

    while (!stop_) {
        if (!WaitReadable(listener, wakeFd, waitMs))
            continue;
        if (stop_)
            break;
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                Report("ConnectNamedPipe failed with %d.\n");
            continue;
        }
        // One client at a time: nobody else can connect until this one is dropped.
        ::close(listener);
        listener = -1;

        while (!stop_) {
            if (!WaitReadable(client, wakeFd, waitMs))
                continue;
            if (stop_)
                break;
            // MSG_TRUNC reports the message's real length, so an over-long one is seen.
            const ssize_t n = ::recv(client, request, sizeof request, MSG_TRUNC | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            if (n <= 0 || std::size_t(n) > MaxMessage)
                break; // gone, empty or too long: drop the client
            std::size_t replyLength = handler ? handler(request, std::size_t(n), reply, MaxMessage) : 0;
            if (replyLength > MaxMessage)
                replyLength = MaxMessage;
            if (!SendReply(client, reply, replyLength, wakeFd, waitMs))
                break;
        }
        ::shutdown(client, SHUT_RDWR);
        if (::close(client) != 0)
            Report("DisconnectNamedPipe failed with %d.\n");
        if (stop_)
            break;
        listener = Listen(path);
        if (listener < 0) {
            if (errno == EADDRINUSE) {
                ReportServedElsewhere(path);
                return; // the file is the other server's now
            }
            Report("CreateNamedPipe failed with %d.\n");
            break;
        }
    }
    if (listener >= 0)
        ::close(listener);
    ::unlink(path.c_str());
}

void CPipeServer::ReportServedElsewhere(const std::string& path)
{
    if (toldServedElsewhere_.exchange(true))
        return;
    std::fprintf(stderr, "Another program serves %s; running without the gateway.\n", path.c_str());
    std::fflush(stderr);
}

} // namespace vx4
