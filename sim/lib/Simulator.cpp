#include "Simulator.h"

#include "Device.h"
#include "DeviceDescription.h"
#include "Emitter.h"
#include "FrameScanner.h"

#include "link/Frames.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace vx4sim {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// A frame that has begun but gets no further byte for this long is dropped, so that a
// broken request cannot swallow the next one.
constexpr int kIdleFlushMs = 250;
// Silence after an emitted piece that a listener must see end: longer than a monitor's
// read waits before it gives up on a silent line (about 1.25 s over TCP, 0.5 s on a
// serial line).
constexpr int kEmitPauseTcpMs = 1500;
constexpr int kEmitPausePtyMs = 600;
// A paced frame whose next bytes leave this much later than their line time has stalled
// in the middle (the machine did not run the simulator in time).
constexpr int kStallMs = 50;
// Back-to-back emission without --baud is paced as a line of this speed.
constexpr unsigned kEmitDefaultBaud = 115200;

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool ParseProbability(const std::string& text, double* out)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0.0 && v <= 1.0))
        return false;
    *out = v;
    return true;
}

} // namespace

bool ParseFaults(const std::string& text, Faults* faults, std::string* error)
{
    Faults f = *faults;
    std::stringstream in(text);
    std::string item;
    auto fail = [&](const std::string& msg) {
        if (error)
            *error = msg;
        return false;
    };
    while (std::getline(in, item, ',')) {
        if (item.empty())
            continue;
        const auto eq = item.find('=');
        if (eq == std::string::npos)
            return fail("fault \"" + item + "\" needs the form name=probability");
        const std::string key = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        double* target = nullptr;
        if (key == "noanswer") target = &f.noAnswer;
        else if (key == "badcheck") target = &f.badCheck;
        else if (key == "truncated") target = &f.truncated;
        else if (key == "wrongcmd") target = &f.wrongCommand;
        else if (key == "busy") target = &f.busy;
        else if (key == "checksum") target = &f.checksumChange;
        else if (key == "delay" || key == "drip") {
            const auto colon = value.find(':');
            if (colon == std::string::npos)
                return fail("fault " + key + " needs the form " + key + "=probability:milliseconds");
            const std::string ms = value.substr(colon + 1);
            char* end = nullptr;
            const unsigned long v = std::strtoul(ms.c_str(), &end, 10);
            if (ms.empty() || *end != '\0' || v > 600000)
                return fail("fault " + key + ": \"" + ms + "\" is not a number of milliseconds (0..600000)");
            (key == "delay" ? f.delayMs : f.dripMs) = unsigned(v);
            value = value.substr(0, colon);
            target = key == "delay" ? &f.delay : &f.drip;
        } else {
            return fail("unknown fault \"" + key +
                        "\" (noanswer, badcheck, truncated, wrongcmd, busy, delay, drip, checksum)");
        }
        if (!ParseProbability(value, target))
            return fail("fault " + key + ": \"" + value + "\" is not a probability between 0 and 1");
    }
    *faults = f;
    return true;
}

struct Simulator::Impl {
    std::unique_ptr<Device> device;

    mutable std::mutex m;  // settings and records below
    unsigned baud = 0;
    Faults faults;
    std::mt19937 rng{1};
    std::function<HookResult(const Bytes&)> hook;
    std::function<void(const std::string&)> log;
    std::vector<Bytes> requests;
    std::size_t connections = 0;
    Emission emission;
    unsigned emissionGeneration = 1;  // changes with every SetEmission
    std::atomic<std::uint64_t> framesEmitted{0};
    std::atomic<std::uint64_t> stalls{0};

    // Transport.
    std::thread thread;
    std::atomic<bool> stop{false};
    std::mutex waitMutex;
    std::condition_variable waitCv;
    int wakeFd = -1;
    int emitWakeFd = -1;  // tells a serving thread that the emission changed
    int listenFd = -1;
    int ptyMaster = -1, ptySlave = -1;
    std::string ptyPath;
    std::string host;
    std::uint16_t port = 0;
    Clock::time_point lineFree{};  // when the last paced answer has left the line

    ~Impl() { StopTransport(); }

    bool Running() const { return thread.joinable(); }

    bool PrepareWake(std::string* error)
    {
        stop = false;
        if (wakeFd < 0)
            wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (emitWakeFd < 0)
            emitWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd < 0 || emitWakeFd < 0) {
            if (error)
                *error = Errno("eventfd");
            return false;
        }
        return true;
    }

    void StopTransport()
    {
        if (thread.joinable()) {
            {
                std::lock_guard<std::mutex> g(waitMutex);
                stop = true;
            }
            waitCv.notify_all();
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t w = write(wakeFd, &one, sizeof one);
            thread.join();
        }
        for (int* fd : {&listenFd, &ptyMaster, &ptySlave, &wakeFd, &emitWakeFd})
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
    }

    // Sleeps until `t`; false when the transport is being stopped.
    bool WaitUntil(Clock::time_point t)
    {
        std::unique_lock<std::mutex> g(waitMutex);
        return !waitCv.wait_until(g, t, [&] { return stop.load(); });
    }

    bool WriteAll(int fd, const std::uint8_t* p, std::size_t n, bool socket)
    {
        while (n > 0) {
            const ssize_t w = socket ? send(fd, p, n, MSG_NOSIGNAL) : write(fd, p, n);
            if (w > 0) {
                p += w;
                n -= std::size_t(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return false;
            pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                return false;
            if (stop)
                return false;
        }
        return true;
    }

    // Sends an answer under the line model: it starts one request line time after the
    // request arrived and each byte takes 10 bit times.
    void Log(const char* what, const Bytes& bytes)
    {
        std::function<void(const std::string&)> l;
        {
            std::lock_guard<std::mutex> g(m);
            l = log;
        }
        if (!l)
            return;
        std::string line = what;
        char hex[4];
        for (std::uint8_t b : bytes) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            line += hex;
        }
        l(line);
    }

    bool Send(int fd, const Bytes& answer, std::size_t requestSize, Clock::time_point arrived,
              unsigned extraDelayMs, bool socket, unsigned dripMs = 0)
    {
        Log("<-", answer);
        if (dripMs > 0) {
            // A slow device: the answer goes out one byte every dripMs, the first one at once
            // (after any delay).
            Clock::time_point due = arrived + std::chrono::milliseconds(extraDelayMs);
            for (std::size_t i = 0; i < answer.size(); ++i, due += std::chrono::milliseconds(dripMs)) {
                if (!WaitUntil(due) || !WriteAll(fd, answer.data() + i, 1, socket))
                    return false;
            }
            return true;
        }
        unsigned b;
        {
            std::lock_guard<std::mutex> g(m);
            b = baud;
        }
        Clock::time_point start = arrived + std::chrono::milliseconds(extraDelayMs);
        if (b == 0) {
            if (extraDelayMs && !WaitUntil(start))
                return false;
            return WriteAll(fd, answer.data(), answer.size(), socket);
        }
        // The line carries one thing at a time: a request that came in while an earlier
        // answer was still going out is taken as arriving after that answer.
        start = std::max(start, lineFree);
        start = LineTime(start, b, requestSize);
        return WritePaced(fd, answer, start, b, socket);
    }

    static Clock::time_point LineTime(Clock::time_point start, unsigned b, std::size_t bytes)
    {
        return start + std::chrono::nanoseconds(std::int64_t(1e10 / double(b) * double(bytes)));
    }

    // Writes bytes as a line of b baud carries them from start on: in slices of about a
    // millisecond, each when its last byte would have left the line.
    bool WritePaced(int fd, const Bytes& bytes, Clock::time_point start, unsigned b, bool socket)
    {
        lineFree = LineTime(start, b, bytes.size());
        const std::size_t slice = std::max<std::size_t>(1, b / 10 / 1000);
        for (std::size_t i = 0; i < bytes.size();) {
            const std::size_t next = std::min(bytes.size(), i + slice);
            const Clock::time_point due = LineTime(start, b, next);
            if (!WaitUntil(due))
                return false;
            if (i > 0 && Clock::now() - due > std::chrono::milliseconds(kStallMs))
                stalls.fetch_add(1);
            if (!WriteAll(fd, bytes.data() + i, next - i, socket))
                return false;
            i = next;
        }
        return true;
    }

    // Traffic put on the line unasked (--emit), for the time one connection is served.
    struct EmitState {
        unsigned generation = 0;
        std::unique_ptr<Emitter> emitter;
        Emission emission;
        Clock::time_point nextAt{};
    };

    // Picks up a changed emission setting.
    void RefreshEmission(EmitState& st)
    {
        Emission e;
        unsigned generation;
        {
            std::lock_guard<std::mutex> g(m);
            e = emission;
            generation = emissionGeneration;
        }
        if (generation == st.generation)
            return;
        st.generation = generation;
        st.emission = e;
        st.nextAt = Clock::now();
        std::vector<std::uint32_t> serials;
        for (const Transducer& t : device->Transducers())
            serials.push_back(t.serial);
        st.emitter = e.kind == Emission::None ? nullptr : std::make_unique<Emitter>(e, device->Serial(), serials);
    }

    // Sends the next unit when it is due; false when the transport failed or stops.
    bool EmitDue(int fd, bool socket, EmitState& st)
    {
        const Clock::time_point now = Clock::now();
        if (!st.emitter || now < st.nextAt)
            return true;
        unsigned b;
        {
            std::lock_guard<std::mutex> g(m);
            b = baud;
        }
        if (b == 0 && st.emission.rate == 0)
            b = kEmitDefaultBaud;
        const std::vector<EmittedFrame> unit = st.emitter->NextUnit();
        for (const EmittedFrame& frame : unit) {
            Log("<=", frame.bytes);
            bool written;
            if (b == 0)
                written = WriteAll(fd, frame.bytes.data(), frame.bytes.size(), socket);
            else
                written = WritePaced(fd, frame.bytes, std::max(Clock::now(), lineFree), b, socket);
            if (!written)
                return false;
            framesEmitted.fetch_add(1);
            if (frame.pauseAfter &&
                !WaitUntil(Clock::now() + std::chrono::milliseconds(socket ? kEmitPauseTcpMs : kEmitPausePtyMs)))
                return false;
        }
        if (st.emission.rate > 0) {
            st.nextAt += std::chrono::nanoseconds(std::int64_t(1e9 * double(unit.size()) / st.emission.rate));
            // A line that cannot carry the rate runs back to back, without a burst to catch up.
            if (st.nextAt < Clock::now())
                st.nextAt = Clock::now();
        } else {
            st.nextAt = Clock::now();
        }
        return true;
    }

    // Milliseconds until the next unit is due (-1: nothing to emit).
    static int EmitTimeout(const EmitState& st)
    {
        if (!st.emitter)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(st.nextAt - Clock::now()).count();
        return int(std::clamp<long long>(left, 0, 1000));
    }

    // One complete frame: record it, let the hook or the device answer, apply faults.
    bool Handle(int fd, const Bytes& frame, bool shortFrame, Clock::time_point arrived, bool socket)
    {
        std::function<HookResult(const Bytes&)> h;
        {
            std::lock_guard<std::mutex> g(m);
            requests.push_back(frame);
            h = hook;
        }
        Log("->", frame);
        if (h) {
            HookResult r = h(frame);
            if (r.kind == HookResult::Silent)
                return true;
            if (r.kind == HookResult::Replace)
                return Send(fd, r.bytes, frame.size(), arrived, 0, socket);
        }
        Faults f;
        double draw[8];
        double dripDraw = 1.0;
        {
            std::lock_guard<std::mutex> g(m);
            f = faults;
            std::uniform_real_distribution<double> u(0.0, 1.0);
            for (double& d : draw)
                d = u(rng);
            // Drawn only when asked for, so that a seed gives the same other faults as before.
            if (f.drip > 0)
                dripDraw = u(rng);
        }
        std::optional<Bytes> answer;
        if (draw[0] < f.busy)
            answer = device->Refusal(frame.data(), frame.size(), shortFrame, 251);
        else
            answer = device->Process(frame.data(), frame.size(), shortFrame);
        if (!answer)
            return true;
        if (draw[1] < f.checksumChange)
            device->ChangeChecksum();
        if (draw[2] < f.noAnswer)
            return true;
        Bytes& a = *answer;
        const std::size_t covered = a.size() - 2;
        if (draw[3] < f.wrongCommand) {
            a[shortFrame ? 2 : 6] ^= 0x80;
            vx4::FillCheckBytes(a.data(), covered);
        }
        if (draw[4] < f.truncated && a.size() > 1)
            a.resize(1 + std::size_t(draw[5] * double(a.size() - 1)) % (a.size() - 1));
        else if (draw[7] < f.badCheck)
            a[covered + 1] ^= 0x5A;  // a wrong sum byte
        const unsigned extra = draw[6] < f.delay ? f.delayMs : 0;
        const unsigned drip = dripDraw < f.drip ? f.dripMs : 0;
        return Send(fd, a, frame.size(), arrived, extra, socket, drip);
    }

    // Serves one connected byte stream until it ends or the transport stops.
    void Serve(int fd, bool socket)
    {
        Bytes buffer;
        std::uint8_t tmp[4096];
        EmitState emit;
        Clock::time_point lastInput = Clock::now();
        while (!stop) {
            RefreshEmission(emit);
            if (!EmitDue(fd, socket, emit))
                return;
            int timeout = EmitTimeout(emit);
            if (!buffer.empty()) {
                const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastInput);
                const int flushIn = int(std::max<long long>(0, kIdleFlushMs - idle.count()));
                timeout = timeout < 0 ? flushIn : std::min(timeout, flushIn);
            }
            pollfd fds[3] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {emitWakeFd, POLLIN, 0}};
            const int n = poll(fds, 3, timeout);
            if (stop)
                return;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[2].revents & POLLIN) {
                std::uint64_t drained;
                [[maybe_unused]] ssize_t r = read(emitWakeFd, &drained, sizeof drained);
            }
            if (!buffer.empty() && Clock::now() - lastInput >= std::chrono::milliseconds(kIdleFlushMs))
                buffer.clear();
            if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
                continue;
            lastInput = Clock::now();
            if (fds[0].revents & POLLIN) {
                const ssize_t r = socket ? recv(fd, tmp, sizeof tmp, 0) : read(fd, tmp, sizeof tmp);
                if (r == 0)
                    return;
                if (r < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                        continue;
                    if (socket)
                        return;
                    // A pseudo-terminal without a reader on the other side: wait a little.
                    if (!WaitUntil(Clock::now() + std::chrono::milliseconds(50)))
                        return;
                    continue;
                }
                buffer.insert(buffer.end(), tmp, tmp + r);
            } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                if (socket)
                    return;
                if (!WaitUntil(Clock::now() + std::chrono::milliseconds(50)))
                    return;
                continue;
            }
            const Clock::time_point arrived = Clock::now();
            for (;;) {
                const ScanResult s = ScanFrame(buffer.data(), buffer.size());
                if (s.kind == ScanResult::NeedMore)
                    break;
                if (s.kind == ScanResult::Garbage) {
                    buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(s.size));
                    continue;
                }
                Bytes frame(buffer.begin(), buffer.begin() + std::ptrdiff_t(s.size));
                buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(s.size));
                if (!Handle(fd, frame, s.shortFrame, arrived, socket))
                    return;
            }
        }
    }

    void AcceptLoop()
    {
        while (!stop) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (stop)
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            const int c = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0)
                continue;
            const int one = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            {
                std::lock_guard<std::mutex> g(m);
                ++connections;
            }
            Serve(c, true);
            close(c);
        }
    }
};

// ---------------------------------------------------------------------------------------

Simulator::Simulator() : Simulator(std::make_unique<Device>(DemoDescription())) {}

Simulator::Simulator(std::unique_ptr<Device> device) : impl_(std::make_unique<Impl>())
{
    impl_->device = std::move(device);
}

Simulator::~Simulator() { Stop(); }

std::unique_ptr<Simulator> Simulator::FromJsonText(const std::string& text, std::string* error)
{
    DeviceDescription d;
    if (!DescriptionFromJson(text, &d, error))
        return nullptr;
    return std::unique_ptr<Simulator>(new Simulator(std::make_unique<Device>(std::move(d))));
}

std::unique_ptr<Simulator> Simulator::FromJsonFile(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot read " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    std::string e;
    auto sim = FromJsonText(ss.str(), &e);
    if (!sim && error)
        *error = path + ": " + e;
    return sim;
}

std::unique_ptr<Simulator> Simulator::LargeProfile(unsigned items)
{
    return std::unique_ptr<Simulator>(new Simulator(std::make_unique<Device>(LargeDescription(items))));
}

bool Simulator::StartTcp(const std::string& host, std::uint16_t port, std::string* error)
{
    Impl& s = *impl_;
    if (s.Running()) {
        if (error)
            *error = "the simulator is already running";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(),
                               &hints, &res);
    if (rc != 0 || !res) {
        if (error)
            *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        freeaddrinfo(res);
        if (error)
            *error = Errno("socket");
        return false;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 || listen(fd, 8) != 0) {
        if (error)
            *error = Errno(("cannot listen on " + host + ":" + std::to_string(port)).c_str());
        freeaddrinfo(res);
        close(fd);
        return false;
    }
    freeaddrinfo(res);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text);
    if (!s.PrepareWake(error)) {
        close(fd);
        return false;
    }
    s.listenFd = fd;
    s.host = text;
    s.port = ntohs(bound.sin_port);
    s.thread = std::thread([&s] { s.AcceptLoop(); });
    return true;
}

std::uint16_t Simulator::Port() const { return impl_->port; }
std::string Simulator::Host() const { return impl_->host; }

bool Simulator::StartPty(std::string* error)
{
    Impl& s = *impl_;
    if (s.Running()) {
        if (error)
            *error = "the simulator is already running";
        return false;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        if (error)
            *error = Errno("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        if (error)
            *error = Errno("pseudo-terminal");
        close(master);
        return false;
    }
    // Raw line: no echo, no line editing, no translation of bytes.
    termios tio{};
    if (tcgetattr(master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
    }
    // Keeping one slave descriptor open keeps the slave alive while consoles open and
    // close it; this side never reads from it.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        if (error)
            *error = Errno("open pseudo-terminal slave");
        close(master);
        return false;
    }
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }
    SetNonBlocking(master);
    if (!s.PrepareWake(error)) {
        close(slave);
        close(master);
        return false;
    }
    s.ptyMaster = master;
    s.ptySlave = slave;
    s.ptyPath = name;
    s.thread = std::thread([&s] { s.Serve(s.ptyMaster, false); });
    return true;
}

std::string Simulator::PtyPath() const { return impl_->ptyPath; }

void Simulator::Stop() { impl_->StopTransport(); }

void Simulator::SetBaud(unsigned baud)
{
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->baud = baud;
}

void Simulator::SetWriteChecksumDelay(unsigned ms) { impl_->device->SetWriteChecksumDelay(ms); }

void Simulator::SetFaults(const Faults& f)
{
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->faults = f;
    impl_->rng.seed(f.seed);
}

void Simulator::SetLog(std::function<void(const std::string& line)> log)
{
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->log = std::move(log);
}

void Simulator::SetEmission(const Emission& emission)
{
    {
        std::lock_guard<std::mutex> g(impl_->m);
        impl_->emission = emission;
        ++impl_->emissionGeneration;
    }
    if (impl_->emitWakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t w = write(impl_->emitWakeFd, &one, sizeof one);
    }
}

std::uint64_t Simulator::FramesEmitted() const { return impl_->framesEmitted.load(); }
std::uint64_t Simulator::LineStalls() const { return impl_->stalls.load(); }

void Simulator::SetHook(std::function<HookResult(const std::vector<std::uint8_t>& request)> hook)
{
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->hook = std::move(hook);
}

std::vector<std::vector<std::uint8_t>> Simulator::Requests() const
{
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->requests;
}

void Simulator::ClearRequests()
{
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->requests.clear();
}

std::size_t Simulator::ConnectionsServed() const
{
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->connections;
}

std::optional<std::vector<std::uint8_t>> Simulator::Answer(const std::vector<std::uint8_t>& request)
{
    const ScanResult s = ScanFrame(request.data(), request.size());
    if (s.kind != ScanResult::Frame || s.size != request.size())
        return std::nullopt;
    return impl_->device->Process(request.data(), request.size(), s.shortFrame);
}

std::optional<std::vector<std::uint8_t>> Simulator::Refusal(const std::vector<std::uint8_t>& request,
                                                            std::uint8_t code)
{
    const ScanResult s = ScanFrame(request.data(), request.size());
    if (s.kind != ScanResult::Frame || s.size != request.size())
        return std::nullopt;
    return impl_->device->Refusal(request.data(), request.size(), s.shortFrame, code);
}

std::uint32_t Simulator::Serial() const { return impl_->device->Serial(); }
std::vector<std::uint8_t> Simulator::IdentRecord() const { return impl_->device->IdentRecord(); }
std::uint32_t Simulator::ItemCount() const { return impl_->device->ItemCount(); }
std::uint32_t Simulator::ConfigChecksum() const { return impl_->device->ConfigChecksum(); }
void Simulator::ChangeChecksum() { impl_->device->ChangeChecksum(); }
std::vector<SystemInfo> Simulator::Systems() const { return impl_->device->Systems(); }
std::vector<std::uint8_t> Simulator::ItemRecord(std::uint16_t item) const
{
    return impl_->device->ItemRecord(item);
}
std::optional<std::string> Simulator::ItemText(std::uint16_t item) const
{
    return impl_->device->ItemText(item);
}
std::optional<float> Simulator::ConstValue(std::uint16_t item) const
{
    return impl_->device->ConstValue(item);
}
std::vector<std::uint16_t> Simulator::CalcIds() const { return impl_->device->CalcIds(); }
bool Simulator::CalcValue(std::uint16_t id, float* value, std::uint32_t* status) const
{
    return impl_->device->CalcValue(id, value, status);
}
void Simulator::SetCalcValue(std::uint16_t id, float value, std::uint32_t status)
{
    impl_->device->SetCalcValue(id, value, status);
}
void Simulator::SetBlockLimit(std::size_t bytes) { impl_->device->SetBlockLimit(bytes); }
std::vector<std::string> Simulator::FileNames() const { return impl_->device->FileNames(); }
std::optional<std::vector<std::uint8_t>> Simulator::FileContents(const std::string& name) const
{
    return impl_->device->FileContents(name);
}
void Simulator::SetFile(const std::string& name, std::vector<std::uint8_t> bytes)
{
    impl_->device->SetFile(name, std::move(bytes));
}
void Simulator::RemoveFile(const std::string& name) { impl_->device->RemoveFile(name); }
std::vector<Transducer> Simulator::Transducers() const { return impl_->device->Transducers(); }
void Simulator::SetTransducers(std::vector<Transducer> transducers)
{
    impl_->device->SetTransducers(std::move(transducers));
}
std::size_t Simulator::SystemEventsLeft() const { return impl_->device->SystemEventsLeft(); }
void Simulator::SetSystemEvents(std::vector<SystemEvent> events)
{
    impl_->device->SetSystemEvents(std::move(events));
}
std::array<std::uint8_t, 6> Simulator::Clock() const { return impl_->device->Clock(); }
void Simulator::SetClock(const std::array<std::uint8_t, 6>& bcd) { impl_->device->SetClock(bcd); }
std::array<std::uint8_t, 12> Simulator::ArchiveDescriptor(unsigned index) const
{
    return impl_->device->Archive(index);
}

} // namespace vx4sim
