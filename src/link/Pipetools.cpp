// The local gateway server: one listening Unix-domain SOCK_SEQPACKET socket, one client at
// a time. While a client is served the listening socket is closed, so further clients are
// refused at connect; it is bound again as soon as the client is dropped. The socket file
// stays meanwhile, and the lock held on the file beside it tells a second server for the
// same device that this one is live, listening or not.

#include "link/Pipetools.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
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

// The socket file's identity, to tell at stop whether the file is still the one bound.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool valid = false;
};

FileId IdOf(const struct stat& st) { return {st.st_dev, st.st_ino, true}; }

// Binds a fresh listening socket at path, replacing a file a crashed run left there. The
// socket's own mode is set to 0600 before bind, which creates the file with it (less the
// umask): no window in which the file is open to others, no chmod of a path another could
// swap, and no change to the process-wide umask. -1 on failure (errno set); errno
// EADDRINUSE when another server listens at path. *id: the bound file.
int Listen(const std::string& path, FileId* id)
{
    *id = FileId{};
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
    struct stat st{};
    if (::fchmod(fd, 0600) != 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::lstat(path.c_str(), &st) != 0 || ::listen(fd, 1) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    *id = IdOf(st);
    return fd;
}

// Removes the socket file at path only when it is still the one bound (a second server
// may have put its own there since).
void RemoveIfOurs(const std::string& path, const FileId& id)
{
    struct stat st{};
    if (id.valid && ::lstat(path.c_str(), &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino)
        ::unlink(path.c_str());
}

// Takes the lock file beside the socket that marks its live server: the descriptor holding
// the lock, or -1 with errno EADDRINUSE when another server holds it (or another error).
// A lock taken on a file its previous holder removed meanwhile is taken again on the new one.
int ClaimSocket(const std::string& lockPath)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return -1;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            ::close(fd);
            errno = e == EWOULDBLOCK ? EADDRINUSE : e;
            return -1;
        }
        struct stat held{}, named{};
        if (::fstat(fd, &held) == 0 && ::lstat(lockPath.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        ::close(fd);
    }
    errno = EAGAIN;
    return -1;
}

// Whether the peer on a connected socket runs as our own user.
bool SameUser(int fd)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred &&
           cred.uid == ::geteuid();
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
    // The runtime directory only when it is the user's own and closed to everybody else.
    if (runtime && *runtime && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 07777) == 0700)
        return runtime;
    return PrivateDirectoryIn("/tmp", nullptr);
}

std::string CPipeServer::PrivateDirectoryIn(const std::string& parent, std::string* problem)
{
    const std::string dir = parent + "/vx4pult-" + std::to_string(::getuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (problem)
            *problem = "cannot make the folder " + dir + ": " + std::strerror(errno);
        return {};
    }
    // Only a real directory of our own that nobody else may enter will do: the name is
    // known to all, and someone else may have taken it first.
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        if (problem)
            *problem = "the folder " + dir + " is not a folder of this user's closed to others (its name is taken)";
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
    thread_ = std::thread(&CPipeServer::Serve, this, deviceNo, std::move(handler), waitMs, requestTimeoutMs_);
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

void CPipeServer::Serve(std::uint32_t deviceNo, Handler handler, std::uint32_t waitMs,
                        std::uint32_t requestTimeoutMs)
{
    const std::string path = SocketPath(deviceNo);
    if (path.empty()) {
        // The folder for the socket is missing or someone else's: said once, with its name.
        std::string problem;
        if (PrivateDirectoryIn("/tmp", &problem).empty())
            std::printf("The gateway does not run: %s.\n", problem.c_str());
        std::fflush(stdout);
        return;
    }
    const std::string lockPath = path + ".lock";
    const int lockFd = path.empty() ? -1 : ClaimSocket(lockPath);
    FileId bound;
    int listener = lockFd < 0 ? -1 : Listen(path, &bound);
    if (listener < 0) {
        if (errno == EADDRINUSE)
            ReportServedElsewhere(path);
        else
            Report("CreateNamedPipe failed with %d.\n");
        if (lockFd >= 0) {
            ::unlink(lockPath.c_str());
            ::close(lockFd);
        }
        return;
    }
    {
        std::lock_guard<std::mutex> guard(pathLock_);
        path_ = path;
    }
    const int wakeFd = wakeFds_[0];
    std::uint8_t request[MaxMessage + 1];
    std::uint8_t reply[MaxMessage + 1];
    using Clock = std::chrono::steady_clock;

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
        if (!SameUser(client)) {
            ::close(client); // another user's program: not a word to it
            continue;
        }
        // One client at a time: nobody else can connect until this one is dropped.
        ::close(listener);
        listener = -1;

        auto deadline = Clock::now() + std::chrono::milliseconds(requestTimeoutMs);
        while (!stop_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break; // no request in time: the slot goes to the next client
            if (!WaitReadable(client, wakeFd, std::uint32_t(std::min<long long>(left, waitMs))))
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
            deadline = Clock::now() + std::chrono::milliseconds(requestTimeoutMs);
        }
        ::shutdown(client, SHUT_RDWR);
        if (::close(client) != 0)
            Report("DisconnectNamedPipe failed with %d.\n");
        if (stop_)
            break;
        listener = Listen(path, &bound);
        if (listener < 0) {
            if (errno == EADDRINUSE) {
                ReportServedElsewhere(path); // the file is the other server's now
                bound = FileId{};
            } else {
                Report("CreateNamedPipe failed with %d.\n");
            }
            break;
        }
    }
    if (listener >= 0)
        ::close(listener);
    RemoveIfOurs(path, bound);
    ::unlink(lockPath.c_str()); // still held: the next server takes a fresh one
    ::close(lockFd);
}

void CPipeServer::ReportServedElsewhere(const std::string& path)
{
    if (toldServedElsewhere_.exchange(true))
        return;
    std::fprintf(stderr, "Another program serves %s; running without the gateway.\n", path.c_str());
    std::fflush(stderr);
}

} // namespace vx4
