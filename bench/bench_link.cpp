// Link throughput against the simulated device, printed as ratios:
//  1. a file download over a pseudo-terminal paced at --baud: payload bytes per second
//     divided by the protocol's ceiling at that rate (10 bits a byte; each block costs a
//     10-byte request and an answer of at most 1024 bytes carrying at most 1011 payload
//     bytes);
//  2. echo exchanges per second over loopback TCP with 64 data bytes, divided by the rate
//     of a bare socket ping-pong of the same frames measured in the same run;
//  3. one echo of 1015 data bytes over TCP to a device whose line behind the converter runs
//     at 1200 bit/s: its time divided by the line time of request and answer;
//  4. the first exchange right after an answer cut by a cancel while its rest is still
//     coming: the tries it used.
// Options: --baud N (115200), --size BYTES (1048576), --seconds S for each echo run (2),
// --skip-download, --skip-echo, --skip-slow (3 and 4).

#include "link/Connection.h"
#include "link/Frames.h"
#include "link/Vx4prot.h"

#include "Simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Options {
    unsigned baud = 115200;
    std::size_t size = 1u << 20;
    double seconds = 2.0;
    bool download = true, echo = true, slow = true;
};

bool ParseArgs(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--baud")
            o->baud = unsigned(std::strtoul(value("--baud"), nullptr, 10));
        else if (a == "--size")
            o->size = std::size_t(std::strtoull(value("--size"), nullptr, 10));
        else if (a == "--seconds")
            o->seconds = std::strtod(value("--seconds"), nullptr);
        else if (a == "--skip-download")
            o->download = false;
        else if (a == "--skip-echo")
            o->echo = false;
        else if (a == "--skip-slow")
            o->slow = false;
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return false;
        }
    }
    return o->baud > 0 && o->seconds > 0;
}

// ---- download over the pty ----------------------------------------------------------------

int Download(const Options& o)
{
    vx4sim::Simulator sim;
    std::vector<std::uint8_t> file(o.size);
    for (std::size_t i = 0; i < file.size(); ++i)
        file[i] = std::uint8_t(i * 13 + (i >> 10));
    sim.SetFile("bench.dat", file);
    sim.SetBaud(o.baud);
    std::string err;
    if (!sim.StartPty(&err)) {
        std::fprintf(stderr, "simulator pty: %s\n", err.c_str());
        return 1;
    }
    vx4::connection conn;
    vx4::ConnectionSettings s = conn.Settings();
    s.port = sim.PtyPath();
    s.speed = o.baud;
    conn.SetSettings(s);
    if (int rc = conn.Open(); rc != 0) {
        std::fprintf(stderr, "open %s: %d\n", s.port.c_str(), rc);
        return 1;
    }
    std::FILE* out = std::tmpfile();
    const auto t0 = Clock::now();
    const int rc = vx4::ReadFile(conn, sim.Serial(), "bench.dat", out);
    const double t = Since(t0);
    const long got = std::ftell(out);
    std::fclose(out);
    conn.Close();
    if (rc != 0 || got != long(file.size())) {
        std::fprintf(stderr, "download failed: %d (%ld of %zu bytes)\n", rc, got, file.size());
        return 1;
    }
    const double rate = double(file.size()) / t;
    const double ceiling = o.baud / 10.0 * 1011.0 / (10.0 + 1024.0);
    std::printf("download %zu bytes at %u baud over pty: %.2f s, %.0f payload B/s, ceiling %.0f B/s, "
                "ratio %.3f (goal >= 0.97)\n",
                file.size(), o.baud, t, rate, ceiling, rate / ceiling);
    return 0;
}

// ---- echo over TCP loopback -------------------------------------------------------------------

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

bool ReadAll(int fd, std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= std::size_t(r);
    }
    return true;
}

// A bare peer on loopback that sends every vx3c frame it receives straight back: the same
// frames as the echo test, without the device, the connection or the command layer.
double BarePingPong(std::size_t dataBytes, double seconds)
{
    const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (ls < 0 || ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 1) != 0 ||
        ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("bare server");
        return 0;
    }
    std::thread server([ls] {
        const int fd = ::accept(ls, nullptr, nullptr);
        std::uint8_t f[vx4::FrameCapacity];
        while (fd >= 0 && ReadAll(fd, f, vx4::Vx3cHeaderSize)) {
            const std::size_t rest = vx4::GetU16(f + 4) + 2u;
            if (!ReadAll(fd, f + vx4::Vx3cHeaderSize, rest) || !WriteAll(fd, f, vx4::Vx3cHeaderSize + rest))
                break;
        }
        if (fd >= 0)
            ::close(fd);
    });
    const int c = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("bare connect");
        ::close(c);
        server.join();
        ::close(ls);
        return 0;
    }
    std::uint8_t req[vx4::FrameCapacity] = {}, ans[vx4::FrameCapacity];
    for (std::size_t i = 0; i < dataBytes; ++i)
        req[vx4::Vx3cHeaderSize + i] = std::uint8_t(i * 31);
    const std::size_t n = vx4::BuildVx3cFrame(req, 123456, std::uint16_t(dataBytes), 0x08);
    std::size_t count = 0;
    const auto t0 = Clock::now();
    double t = 0;
    while ((t = Since(t0)) < seconds) {
        if (!WriteAll(c, req, n) || !ReadAll(c, ans, n))
            break;
        ++count;
    }
    ::close(c);
    server.join();
    ::close(ls);
    return double(count) / t;
}

int EchoRates(const Options& o)
{
    constexpr std::uint16_t dataBytes = 64;
    vx4sim::Simulator sim;
    std::string err;
    if (!sim.StartTcp("127.0.0.1", 0, &err)) {
        std::fprintf(stderr, "simulator tcp: %s\n", err.c_str());
        return 1;
    }
    vx4::connection conn;
    vx4::ConnectionSettings s = conn.Settings();
    s.port = "TCP/IP";
    s.IP = "127.0.0.1";
    s.TCPIPport = std::to_string(sim.Port());
    conn.SetSettings(s);
    if (int rc = conn.Open(); rc != 0) {
        std::fprintf(stderr, "open tcp: %d\n", rc);
        return 1;
    }
    const std::uint32_t address = sim.Serial();
    std::size_t count = 0, failed = 0;
    const auto t0 = Clock::now();
    double t = 0;
    while ((t = Since(t0)) < o.seconds) {
        if (vx4::Echo(conn, address, dataBytes) != 0)
            ++failed;
        ++count;
    }
    conn.Close();
    const double echoRate = double(count) / t;
    const double bareRate = BarePingPong(dataBytes, o.seconds);
    std::printf("echo %u data bytes over tcp loopback: %.0f exchanges/s (%zu failed), bare ping-pong "
                "%.0f/s, ratio %.3f (goal >= 0.8)\n",
                unsigned(dataBytes), echoRate, failed, bareRate, bareRate > 0 ? echoRate / bareRate : 0.0);
    return failed == 0 ? 0 : 1;
}

// ---- slow lines behind a converter ------------------------------------------------------------

bool OpenTcp(vx4sim::Simulator& sim, vx4::connection& conn)
{
    std::string err;
    if (!sim.StartTcp("127.0.0.1", 0, &err)) {
        std::fprintf(stderr, "simulator tcp: %s\n", err.c_str());
        return false;
    }
    vx4::ConnectionSettings s = conn.Settings();
    s.port = "TCP/IP";
    s.IP = "127.0.0.1";
    s.TCPIPport = std::to_string(sim.Port());
    conn.SetSettings(s);
    if (int rc = conn.Open(); rc != 0) {
        std::fprintf(stderr, "open tcp: %d\n", rc);
        return false;
    }
    return true;
}

int SlowEcho()
{
    constexpr unsigned baud = 1200;
    vx4sim::Simulator sim;
    vx4::connection conn;
    if (!OpenTcp(sim, conn))
        return 1;
    sim.SetBaud(baud);
    const auto t0 = Clock::now();
    const int rc = vx4::Echo(conn, sim.Serial(), std::uint16_t(vx4::MaxVx3cData));
    const double t = Since(t0);
    conn.Close();
    const double lineTime = 2.0 * double(vx4::FrameCapacity) * 10.0 / baud;
    std::printf("echo of %zu data bytes over tcp, line behind the converter at %u bit/s: rc %d, %.2f s, line time "
                "%.2f s, ratio %.3f (goal <= 1.05)\n",
                vx4::MaxVx3cData, baud, rc, t, lineTime, t / lineTime);
    return rc == 0 ? 0 : 1;
}

int ExchangeAfterACutAnswer()
{
    // A 609-byte answer at 2400 bit/s (2.5 s) to a short request is cut by a cancel 300 ms
    // in; an identification with three tries follows at once.
    vx4sim::Simulator sim;
    vx4::connection conn;
    if (!OpenTcp(sim, conn))
        return 1;
    sim.SetBaud(2400);
    std::vector<std::uint8_t> longAnswer(600 + vx4::Vx3cOverhead);
    vx4::BuildVx3cFrame(longAnswer.data(), sim.Serial(), 600, 0x08);
    auto first = std::make_shared<std::atomic<bool>>(true);
    sim.SetHook([first, longAnswer](const std::vector<std::uint8_t>& r) {
        if (r.size() > 6 && r[6] == 0x08 && first->exchange(false))
            return vx4sim::HookResult{vx4sim::HookResult::Replace, longAnswer};
        return vx4sim::HookResult{};
    });
    std::uint8_t request[vx4::FrameCapacity] = {}, answer[vx4::FrameCapacity];
    const std::size_t n = vx4::BuildVx3cFrame(request, sim.Serial(), 4, 0x08);
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel = true;
    });
    int cutRc = 0;
    {
        const vx4::connection::CancelScope scope(&cancel);
        cutRc = conn.Exchange(request, n, answer, sizeof answer, 800, 1);
    }
    canceller.join();
    sim.ClearRequests();
    vx4::SDevIdent ident;
    const auto t0 = Clock::now();
    const int rc = vx4::Identify(conn, sim.Serial(), &ident);
    const double t = Since(t0);
    conn.Close();
    std::size_t tries = 0;
    for (const auto& r : sim.Requests())
        tries += r.size() > 6 && r[6] == 0x01;
    std::printf("first exchange after a cut answer (cut: rc %d): rc %d in %.2f s, tries used %zu (goal 1)\n", cutRc,
                rc, t, tries);
    return rc == 0 && tries == 1 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, &o))
        return 2;
    int rc = 0;
    if (o.echo)
        rc |= EchoRates(o);
    if (o.download)
        rc |= Download(o);
    if (o.slow) {
        rc |= SlowEcho();
        rc |= ExchangeAfterACutAnswer();
    }
    return rc;
}
