#include "link/Comlink.h"

#include "link/ResultCodes.h"
#include "platform/SerialSpeed.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace vx4 {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Waits until fd is ready for events or the deadline passes; limit caps this wait.
// Returns poll's result (0 on time-out), retrying on signals.
int WaitFd(int fd, short events, SteadyClock::time_point deadline, SteadyClock::duration limit, short* revents)
{
    for (;;) {
        auto left = deadline - SteadyClock::now();
        if (left > limit)
            left = limit;
        if (left < SteadyClock::duration::zero())
            left = SteadyClock::duration::zero();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p{fd, events, 0};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0 && errno == EINTR)
            continue;
        *revents = p.revents;
        return r;
    }
}

} // namespace

CComLink::CComLink(std::string port, std::uint32_t speed, std::uint32_t stopBits)
    : port_(std::move(port)), speed_(speed), stopBits_(std::min<std::uint32_t>(stopBits, 2))
{
}

CComLink::~CComLink() { CloseFd(); }

std::string CComLink::DevicePath(const std::string& port)
{
    if (!port.empty() && port.front() == '/')
        return port;
    if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') &&
        (port[2] == 'M' || port[2] == 'm')) {
        std::uint64_t n = 0;
        bool digits = true;
        for (std::size_t i = 3; i < port.size() && digits; ++i) {
            digits = port[i] >= '0' && port[i] <= '9';
            n = n * 10 + std::uint64_t(port[i] - '0');
            if (n > 1000000)
                digits = false;
        }
        if (digits && n >= 1)
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + port;
}

void CComLink::CloseFd()
{
    if (fd_ >= 0) {
        // Give up the exclusive hold first: it belongs to the terminal, not to this
        // descriptor, and would outlive it while anyone else keeps the terminal open.
        (void)::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }
}

int CComLink::Open(bool reopen)
{
    CloseFd();
    if (!reopen)
        return OK;

    const std::string path = DevicePath(port_);
    openErrno_ = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        openErrno_ = errno;
        return LINK_NOT_OPEN;
    }
    // Only terminals are serial ports; anything else (a file, a folder) is not opened.
    if (!::isatty(fd) || ::ioctl(fd, TIOCEXCL) != 0) {
        openErrno_ = errno == 0 || errno == EINVAL ? ENOTTY : errno;
        ::close(fd);
        return LINK_NOT_OPEN;
    }
    fd_ = fd;

    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0)
        return PORT_GET_STATE_FAILED;
    // Raw bytes both ways: no line editing, no translation, no flow control characters.
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    if (stopBits_ != 0)
        tio.c_cflag |= CSTOPB; // one and a half stop bits do not exist here: two
    // Reads are timed by poll; a read call itself never waits.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0 || !SetSerialSpeed(fd_, speed_))
        return PORT_SET_STATE_FAILED;
    // DTR low; a port without modem lines (a pseudo-terminal) has nothing to drop.
    int dtr = TIOCM_DTR;
    (void)::ioctl(fd_, TIOCMBIC, &dtr);
    // The line-event mask has no counterpart here: nothing to set.
    writeConstant_ = 300;
    return OK;
}

int CComLink::WaitInput(CLineRead::Clock::duration wait)
{
    revents_ = 0;
    const int r = WaitFd(fd_, POLLIN, SteadyClock::now() + wait, wait, &revents_);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

long CComLink::TakeInput(std::uint8_t* buf, std::size_t max)
{
    const ssize_t k = ::read(fd_, buf, max);
    if (k > 0)
        return long(k);
    if (k < 0 && (errno == EAGAIN || errno == EINTR) && !(revents_ & (POLLHUP | POLLERR | POLLNVAL)))
        return 0;
    // Readable yet nothing to read: the line hung up.
    return -1;
}

int CComLink::Read(std::uint8_t* buf, std::size_t n, std::size_t* received, std::uint32_t timeoutMs)
{
    if (received)
        *received = 0;
    if (!buf || n == 0)
        return LINK_BAD_ARGUMENT;
    if (fd_ < 0)
        return LINK_NOT_OPEN;
    return CLineRead::Read(*this, {CLineRead::Silence::Serial, speed_}, buf, n, received, timeoutMs);
}

int CComLink::DropUntilQuiet()
{
    if (fd_ < 0)
        return LINK_NOT_OPEN;
    return CLineRead::WaitQuiet(*this, speed_);
}

int CComLink::Write(const std::uint8_t* buf, std::size_t n, std::size_t* sent)
{
    std::size_t total = 0;
    if (sent)
        *sent = 0;
    if (!buf || n == 0)
        return LINK_BAD_ARGUMENT;
    if (fd_ < 0)
        return LINK_NOT_OPEN;
    // The write time-out: the line time of the block at the port's speed plus the constant.
    const auto deadline = SteadyClock::now() + CLineRead::PortLineTime(n, speed_) +
                          std::chrono::milliseconds(writeConstant_);
    while (total < n) {
        short revents = 0;
        const int r = WaitFd(fd_, POLLOUT, deadline, SteadyClock::duration::max(), &revents);
        if (r <= 0)
            break;
        const ssize_t k = ::write(fd_, buf + total, n - total);
        if (k > 0) {
            total += std::size_t(k);
            continue;
        }
        if (k < 0 && (errno == EAGAIN || errno == EINTR) && !(revents & (POLLHUP | POLLERR | POLLNVAL)))
            continue;
        break;
    }
    // The bytes are the port's now; wait until they are on the line, still within the
    // write time-out. The queue is watched rather than drained with tcdrain, which has no
    // time-out and would hang on a line that never sends (a stopped handshake).
    while (total == n) {
        const int queued = OutputQueued();
        if (queued <= 0)
            break;
        const auto now = SteadyClock::now();
        // A stopped line is not waited for either: what is still queued counts as unsent.
        if (now >= deadline || Stopped()) {
            total -= std::min<std::size_t>(std::size_t(queued), total);
            break;
        }
        // About the time the queue takes to go out (10 bits a byte), checked at least every
        // 20 ms and never past the deadline.
        const std::uint64_t speed = std::max<std::uint32_t>(speed_, 1);
        auto wait = std::chrono::microseconds(std::uint64_t(queued) * 10'000'000 / speed);
        wait = std::clamp(wait, std::chrono::microseconds(500), std::chrono::microseconds(20'000));
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        std::this_thread::sleep_for(std::min(wait, left));
    }
    if (sent)
        *sent = total;
    return total < n ? LINK_WRITE_FAILED : OK;
}

int CComLink::OutputQueued() const
{
    if (outputQueued_)
        return outputQueued_(fd_);
    int queued = 0;
    return ::ioctl(fd_, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

bool CComLink::Purge(std::uint32_t flags)
{
    if (fd_ < 0)
        return false;
    // Aborting (1, 2) has nothing to stop: reads and writes here finish before they return.
    const bool out = flags & PURGE_TXCLEAR;
    const bool in = flags & PURGE_RXCLEAR;
    if (out && in)
        return ::tcflush(fd_, TCIOFLUSH) == 0;
    if (out)
        return ::tcflush(fd_, TCOFLUSH) == 0;
    if (in)
        return ::tcflush(fd_, TCIFLUSH) == 0;
    return true;
}

} // namespace vx4
