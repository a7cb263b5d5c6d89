#include "link/Tcpiplink.h"

#include "link/ResultCodes.h"
#include "platform/MsClock.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <chrono>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace vx4 {

namespace {

// poll on one socket, retrying on signals (with the full wait again: a signal only
// lengthens the wait, it never ends it early).
int WaitSocket(int fd, short events, int timeoutMs, short* revents)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        *revents = p.revents;
        return r;
    }
}

// Connects fd to addr within timeoutMs (given up early once stopped answers true); true
// when connected.
bool ConnectWithin(int fd, const CTCPIPLink::Address& addr, int timeoutMs, const std::function<bool()>& stopped)
{
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr.addr), addr.len) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR)
        return false;
    short revents = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0 || stopped()) {
            errno = ETIMEDOUT;
            return false;
        }
        const int r = WaitSocket(fd, POLLOUT, int(std::min<long long>(left, CLink::StopCheckMs)), &revents);
        if (r < 0)
            return false;
        if (r > 0)
            break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return false;
    errno = err;
    return err == 0;
}

} // namespace

CTCPIPLink::CTCPIPLink(std::string host, std::string service) : host_(std::move(host)), service_(std::move(service))
{
}

CTCPIPLink::~CTCPIPLink() { CloseSocket(); }

void CTCPIPLink::CloseSocket()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    rxBegin_ = rxEnd_ = 0;
}

int CTCPIPLink::Open(bool reopen)
{
    CloseSocket();
    if (!reopen)
        return OK;

    openErrno_ = 0;
    const std::vector<Address> list = Resolve();
    if (list.empty())
        return LINK_NOT_OPEN; // the name does not resolve: no system reason

    for (const Address& a : list) {
        // The socket stays non-blocking: every wait is a poll with its own time-out.
        const int fd = ::socket(a.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            openErrno_ = errno;
            continue; // e.g. no IPv6 here: the next address may still do
        }
        if (ConnectWithin(fd, a, connectTimeoutMs_, [this] { return Stopped(); })) {
            fd_ = fd;
            openErrno_ = 0;
            return OK;
        }
        openErrno_ = errno;
        ::close(fd);
    }
    return LINK_NOT_OPEN;
}

std::vector<CTCPIPLink::Address> CTCPIPLink::ResolveAddresses(const std::string& host, const std::string& service)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::vector<Address> out;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list)
        return out;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address r;
        std::memcpy(&r.addr, a->ai_addr, a->ai_addrlen);
        r.len = a->ai_addrlen;
        out.push_back(r);
    }
    ::freeaddrinfo(list);
    return out;
}

std::vector<CTCPIPLink::Address> CTCPIPLink::Resolve()
{
    if (!resolver_)
        return {};
    // A name lookup has no time-out of its own: it runs on a thread that is left behind
    // (detached, owning what it uses) when the line is given up meanwhile.
    struct Lookup {
        std::mutex m;
        std::condition_variable done;
        bool finished = false;
        std::vector<Address> list;
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, resolver = resolver_, host = host_, service = service_] {
        std::vector<Address> list = resolver(host, service);
        std::lock_guard<std::mutex> hold(lookup->m);
        lookup->list = std::move(list);
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> hold(lookup->m);
    while (!lookup->done.wait_for(hold, std::chrono::milliseconds(StopCheckMs), [&] { return lookup->finished; }))
        if (Stopped())
            return {};
    return std::move(lookup->list);
}

int CTCPIPLink::WaitInput(CLineRead::Clock::duration wait)
{
    if (rxBegin_ < rxEnd_)
        return 1;
    short revents = 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    const int r = WaitSocket(fd_, POLLIN, int(std::max<long long>(ms, 0)), &revents);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

long CTCPIPLink::TakeInput(std::uint8_t* buf, std::size_t max)
{
    // Bytes left over from an earlier receive come first.
    if (rxBegin_ < rxEnd_) {
        const std::size_t take = std::min(max, rxEnd_ - rxBegin_);
        std::memcpy(buf, rx_.data() + rxBegin_, take);
        rxBegin_ += take;
        return long(take);
    }
    // A large remainder goes straight into the caller's buffer, a small one through ours:
    // one receive takes a whole answer, whose header and rest come in two reads.
    const bool direct = max >= rx_.size();
    const ssize_t k = direct ? ::recv(fd_, buf, max, MSG_DONTWAIT) : ::recv(fd_, rx_.data(), rx_.size(), MSG_DONTWAIT);
    if (k > 0) {
        if (direct)
            return long(k);
        rxBegin_ = 0;
        rxEnd_ = std::size_t(k);
        return TakeInput(buf, max);
    }
    if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    // 0: the peer closed the connection, nothing more will come; the socket is given up so
    // that the connection sees the link down and the next opening connects anew.
    CloseSocket();
    return -1;
}

int CTCPIPLink::Read(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t timeoutMs)
{
    if (received)
        *received = 0;
    if (!buf || n == 0)
        return LINK_BAD_ARGUMENT;
    if (fd_ < 0)
        return LINK_NOT_OPEN;
    return CLineRead::Read(*this, {CLineRead::Silence::Tcp, 0, sendingUntil_}, buf, n, received, timeoutMs);
}

int CTCPIPLink::DropUntilQuiet()
{
    if (fd_ < 0)
        return LINK_NOT_OPEN;
    rxBegin_ = rxEnd_ = 0;
    return CLineRead::WaitQuiet(*this, 0, sendingUntil_);
}

int CTCPIPLink::Write(const std::uint8_t* buf, std::size_t n, std::size_t* sent)
{
    std::size_t total = 0;
    if (sent)
        *sent = 0;
    if (!buf || n == 0)
        return LINK_BAD_ARGUMENT;
    if (fd_ < 0)
        return LINK_NOT_OPEN;
    int code = OK;
    // Send at once; wait for room only when the socket's buffer is full.
    while (total < n) {
        const ssize_t k = ::send(fd_, buf + total, n - total, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0) {
            total += std::size_t(k);
            continue;
        }
        if (k < 0 && errno == EINTR)
            continue;
        if (k == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            code = LINK_WRITE_FAILED;
            break;
        }
        short revents = 0;
        const int r = WaitSocket(fd_, POLLOUT, 1000, &revents);
        if (r == 0) {
            // The peer has stopped taking bytes: give the connection up.
            CloseSocket();
            code = LINK_WRITE_FAILED;
            break;
        }
        if (r < 0) {
            code = LINK_WRITE_FAILED;
            break;
        }
    }
    if (total > 0)
        sendingUntil_ = std::max(CLineRead::Clock::now(), sendingUntil_) + CLineRead::LineTime(total, 0);
    if (sent)
        *sent = total;
    return code;
}

bool CTCPIPLink::Purge(std::uint32_t flags)
{
    if (!(flags & PURGE_RXCLEAR) || fd_ < 0)
        return false;
    rxBegin_ = rxEnd_ = 0;
    const std::uint32_t start = MsClock();
    std::uint8_t sink[512];
    while (MsClock() - start < 1000) {
        // Nothing pending right now means the input is clear.
        const ssize_t k = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
        if (k > 0)
            continue;
        if (k == 0) {
            CloseSocket(); // the peer closed: nothing more can be pending
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        if (errno != EINTR)
            return false;
    }
    return false;
}

} // namespace vx4
