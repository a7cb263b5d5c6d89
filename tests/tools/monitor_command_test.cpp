// vx4ctl monitor: the monitors' lines on standard output from traffic the simulator sends
// unasked, the capture file, the ways it stops, and that it sends nothing at all.

#include "CtlRunner.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <regex>
#include <thread>

using namespace ctltest;

namespace {

vx4sim::Emission Traffic(vx4sim::Emission::Kind kind, double rate)
{
    vx4sim::Emission e;
    e.kind = kind;
    e.rate = rate;
    e.faults = false;
    return e;
}

std::vector<std::string> Rows(const std::string& command)
{
    std::vector<std::string> rows;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return rows;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) {
        std::string row(buf);
        while (!row.empty() && (row.back() == '\n' || row.back() == '\r'))
            row.pop_back();
        if (!row.empty())
            rows.push_back(row);
    }
    ::pclose(p);
    return rows;
}

TEST(MonitorCommand, Vx3cPrintsDecodedLinesWritesTheCaptureAndSendsNothing)
{
    SimDevice d;
    d.sim.SetEmission(Traffic(vx4sim::Emission::Vx3c, 100));
    TempDir dir;
    const std::string pcap = dir.File("capture.pcap");
    // Device number 0 would make other commands look for the device: the monitor does not.
    const RunResult r = RunCtl({"--port", d.PortText(), "--dev", "0", "monitor", "vx3c", "--count", "5", "--pcap", pcap});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    char adr[32];
    std::snprintf(adr, sizeof adr, "Adr[%.8u] ", unsigned(d.sim.Serial()));
    const std::regex line(R"(St\[0000\] dT\[ {0,5}\d{1,6}\] FLen\[\d{4}\] Adr\[\d{8,10}\] Len\[\d{4}\] Cmd\[[ \d]\d\] CS\[[0-9A-F]{2} [0-9A-F]{2}\] Data\[([0-9A-F]{2} )*\])");
    for (const std::string& l : lines) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        EXPECT_NE(l.find(adr), std::string::npos) << l;
    }
    EXPECT_TRUE(d.sim.Requests().empty()) << "the monitor sent something";

    // One packet per line: the 4-byte pseudo-header (vx3c, direction not known, read whole)
    // and the frame's bytes.
    const std::vector<std::string> packets = Rows("tshark -r '" + pcap + "' -T fields -e frame.len -e data.data 2>/dev/null");
    ASSERT_EQ(packets.size(), 5u);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const std::string flen = lines[i].substr(lines[i].find("FLen[") + 5, 4);
        EXPECT_EQ(std::stoul(packets[i].substr(0, packets[i].find('\t'))), std::stoul(flen) + 4) << packets[i];
        EXPECT_EQ(packets[i].substr(packets[i].find('\t') + 1, 8), "01000000") << packets[i];
    }
}

TEST(MonitorCommand, Vx2FilterAndPlainStyle)
{
    SimDevice d;
    d.sim.SetEmission(Traffic(vx4sim::Emission::Vx2, 100));
    RunResult r = RunCtl(d.Args({"monitor", "vx2", "--raw", "--filter", "requests", "--count", "4"}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 4u) << r.out;
    std::size_t shown = 0;
    for (const std::string& l : lines) {
        if (l == "---------------------")
            continue; // the first line may stand after a long gap
        ++shown;
        EXPECT_NE(l.find("FLen[0016] S Raw["), std::string::npos) << l;
    }
    EXPECT_EQ(shown, 4u);

    r = RunCtl(d.Args({"monitor", "vx2", "--filter", "answers", "--count", "3"}));
    ASSERT_EQ(r.status, 0) << r.err;
    shown = 0;
    for (const std::string& l : Lines(r.out)) {
        if (l == "---------------------")
            continue;
        ++shown;
        EXPECT_NE(l.find("] Ans["), std::string::npos) << l;
    }
    EXPECT_EQ(shown, 3u);
    EXPECT_TRUE(d.sim.Requests().empty());
}

// A peer on a loopback port that sends one piece to the first client and hangs up.
class OneShotPeer {
public:
    explicit OneShotPeer(std::vector<std::uint8_t> piece)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 1) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, piece = std::move(piece)] {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0)
                return;
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            ::usleep(100000); // the piece comes after the open, as a device's would
            [[maybe_unused]] const ssize_t n = ::send(c, piece.data(), piece.size(), MSG_NOSIGNAL);
            ::usleep(100000);
            ::close(c);
        });
    }
    ~OneShotPeer()
    {
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            ::close(fd_);
    }
    std::string PortText() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

TEST(MonitorCommand, LostLinkEndsTheRunWithItsFailure)
{
    // One frame with wrong check bytes, then the peer hangs up.
    OneShotPeer peer({0x01, 0, 0, 0, 0x02, 0x00, 0x05, 0x01, 0x02, 0x3A, 0x7F});
    TempDir dir;
    const std::string pcap = dir.File("lost.pcap");
    const RunResult r = RunCtl({"--port", peer.PortText(), "monitor", "vx3c", "--count", "4", "--pcap", pcap});
    EXPECT_EQ(r.status, 1) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind("St[1013] ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("CS[3A 7F] Data[01 02 ]"), std::string::npos) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(St\[1011\] dT\[ *\d+\] FLen\[0000\] )"))) << lines[1];
    EXPECT_NE(r.err.find("error 1011 "), std::string::npos) << r.err;
    // The capture holds the frame with its read status (1013 = F5 03) in the pseudo-header.
    const std::vector<std::string> packets = Rows("tshark -r '" + pcap + "' -T fields -e data.data 2>/dev/null");
    EXPECT_EQ(packets, std::vector<std::string>{"0100f503010000000200050102" "3a7f"});
}

TEST(MonitorCommand, FailedOpenShowsTheFailureAndLeavesNoCapture)
{
    TempDir dir;
    const std::string pcap = dir.File("never.pcap");
    const RunResult r = RunCtl({"--port", "127.0.0.1:" + std::to_string(ClosedPort()), "monitor", "vx2", "--pcap", pcap});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out), std::vector<std::string>{"St[1003] dT[     0] FLen[0000] A Raw[]"});
    EXPECT_NE(r.err.find("error "), std::string::npos) << r.err;
    EXPECT_FALSE(FileExists(pcap));
}

TEST(MonitorCommand, FilterKeepsDroppedFramesOutOfTheCapture)
{
    SimDevice d;
    d.sim.SetEmission(Traffic(vx4sim::Emission::Vx2, 100));
    TempDir dir;
    struct Case {
        const char* filter;
        const char* header; // monitor, direction, status 0
    };
    const Case cases[] = {{"requests", "02010000"}, {"answers", "02020000"}};
    for (const Case& c : cases) {
        const std::string pcap = dir.File(std::string(c.filter) + ".pcap");
        const RunResult r = RunCtl(d.Args({"monitor", "vx2", "--filter", c.filter, "--count", "4", "--pcap", pcap}));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> packets = Rows("tshark -r '" + pcap + "' -T fields -e data.data 2>/dev/null");
        ASSERT_EQ(packets.size(), 4u) << c.filter;
        for (const std::string& p : packets)
            EXPECT_EQ(p.substr(0, 8), c.header) << c.filter << ": " << p;
    }
}

TEST(MonitorCommand, StopsAfterItsTimeOrOnInterruptAndRefusesBadUsage)
{
    SimDevice d; // a silent line
    RunResult r = RunCtl(d.Args({"monitor", "vx3c", "--seconds", "0.5"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;

    struct Bad {
        std::vector<std::string> args;
    };
    const Bad bad[] = {{{"monitor"}},
                       {{"monitor", "vx4"}},
                       {{"monitor", "vx3c", "--filter", "requests"}},
                       {{"monitor", "vx2", "--filter", "some"}},
                       {{"monitor", "vx2", "--count", "0"}},
                       {{"monitor", "vx2", "--seconds", "-1"}}};
    for (const Bad& b : bad) {
        r = RunCtl(d.Args(b.args));
        EXPECT_EQ(r.status, 2) << b.args.back() << ": " << r.err;
    }
    // A capture file that cannot be written: a failure before anything is read.
    r = RunCtl(d.Args({"monitor", "vx3c", "--seconds", "0.1", "--pcap", "/nonexistent/dir/x.pcap"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;

    // Ctrl+C ends it with success.
    d.sim.SetEmission(Traffic(vx4sim::Emission::Vx3c, 50));
    int out = -1;
    const pid_t pid = SpawnPiped({CtlPath(), "--port", d.PortText(), "monitor", "vx3c"}, &out);
    ASSERT_GT(pid, 0);
    std::string first;
    char c;
    pollfd p{out, POLLIN, 0};
    while (first.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 && ::read(out, &c, 1) == 1)
        first += c;
    EXPECT_EQ(first.rfind("St[0000] ", 0), 0u) << first;
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
