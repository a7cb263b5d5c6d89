// The VX-4 line in Wireshark, with tshark as the client: captures written by vx4ctl
// monitor --pcap, read with the vx4 dissector (packaging/wireshark/vx4.lua), agree field
// by field with the lines vx4ctl monitor printed for the same pieces; and the extcap
// program answers Wireshark's questions and captures the line into a fifo.

#include "CtlRunner.h"

#include "link/Frames.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

extern char** environ;

using namespace ctltest;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string Dissector = std::string(VX4_SOURCE_DIR) + "/packaging/wireshark/vx4.lua";
const std::string Extcap = std::string(VX4_BINARY_DIR) + "/tools/vx4-extcap";

// tshark with the dissector over a capture: one row of tab-separated fields per packet.
std::vector<std::vector<std::string>> Tshark(const std::string& pcap, const std::vector<std::string>& fields,
                                             const std::string& filter = {})
{
    std::string command = "tshark -X 'lua_script:" + Dissector + "' -r '" + pcap + "' -T fields -E occurrence=a";
    if (!filter.empty())
        command += " -Y '" + filter + "'";
    for (const std::string& f : fields)
        command += " -e " + f;
    command += " 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return rows;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    ::pclose(p);
    for (const std::string& line : Lines(text))
        rows.push_back(Split(line, '\t'));
    for (auto& row : rows)
        row.resize(fields.size());
    return rows;
}

std::string Hex(const std::string& spaced) // "0A 1B " -> "0a1b"
{
    std::string out;
    for (char c : spaced)
        if (c != ' ')
            out += char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The monitor's lines without the vx2 separators.
std::vector<std::string> Shown(const std::string& out)
{
    std::vector<std::string> lines;
    for (const std::string& l : Lines(out))
        if (l != "---------------------")
            lines.push_back(l);
    return lines;
}

const std::vector<std::string> Vx3cFields = {"frame.len", "vx4.status", "vx3c.addr", "vx3c.len", "vx3c.cmd",
                                             "vx3c.xor",  "vx3c.sum",   "vx3c.check_ok", "vx3c.data"};

// One vx3c line against the dissector's fields of the same piece.
void ExpectVx3cAgrees(const std::string& line, const std::vector<std::string>& f)
{
    static const std::regex re(R"(St\[(\d{4})\] dT\[ *\d+\] FLen\[(\d{4})\] (?:Adr\[(\d{8,10})\] )?)"
                               R"((?:(Bad)?Len\[(\d{4})\] )?(?:Cmd\[ ?(\d{1,3})\] )?)"
                               R"((?:CS\[([0-9A-F]{2}) ([0-9A-F]{2})\] )?(?:Data\[((?:[0-9A-F]{2} )*)\])?)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, re)) << line;
    const int status = std::stoi(m[1]);
    EXPECT_EQ(f[1], std::to_string(status)) << line;
    EXPECT_EQ(std::stoul(f[0]) - 4, std::stoul(m[2].str())) << line;
    EXPECT_EQ(f[2], m[3].matched ? std::to_string(std::stoul(m[3])) : "") << line;
    EXPECT_EQ(f[3], m[5].matched ? std::to_string(std::stoul(m[5])) : "") << line;
    EXPECT_EQ(f[4], m[6].matched ? m[6].str() : "") << line;
    if (m[7].matched) {
        // A whole frame: its check bytes, their verdict and all its data.
        EXPECT_FALSE(m[4].matched) << line;
        EXPECT_EQ(f[5], "0x" + Hex(m[7])) << line;
        EXPECT_EQ(f[6], "0x" + Hex(m[8])) << line;
        EXPECT_EQ(f[7], status == 1013 ? "0" : "1") << line;
        EXPECT_EQ(f[8], Hex(m[9])) << line;
    } else {
        // A piece cut short: no check bytes to judge; the data shown lead what arrived.
        EXPECT_EQ(f[5] + f[6] + f[7], "") << line;
        EXPECT_EQ(f[8].rfind(Hex(m[9]), 0), 0u) << line << " / " << f[8];
    }
}

const std::vector<std::string> Vx2Fields = {"frame.len",  "vx4.status", "vx4.dir",       "vx2.addr",
                                            "vx2.cmd",    "vx2.ans",    "vx2.check_ok",  "vx2.data",
                                            "mbrtu.unit_id", "modbus.func_code"};

void ExpectVx2Agrees(const std::string& line, const std::vector<std::string>& f)
{
    static const std::regex head(R"(St\[(\d{4})\] dT\[ *\d+\] FLen\[(\d{4})\] (.*))");
    static const std::regex decoded(R"(Adr\[([0-9A-F]{8})\] (Cmd|Ans)\[ *(\d+)\] CS\[.. ..\] Data\[((?:[0-9A-F]{2} )*)\])");
    static const std::regex modbus(R"(CS\[.. ..\] ModBusData\[((?:[0-9A-F]{2} )*)\])");
    static const std::regex raw(R"([SA] Raw\[((?:[0-9A-F]{2} )*)\])");
    std::smatch h, m;
    ASSERT_TRUE(std::regex_match(line, h, head)) << line;
    EXPECT_EQ(f[1], std::to_string(std::stoi(h[1]))) << line;
    EXPECT_EQ(std::stoul(f[0]) - 4, std::stoul(h[2].str())) << line;
    const std::string rest = h[3];
    if (std::regex_match(rest, m, decoded)) {
        const bool request = m[2] == "Cmd";
        EXPECT_EQ(f[2], request ? "1" : "2") << line;
        EXPECT_EQ(f[3], "0x" + Hex(m[1])) << line;
        EXPECT_EQ(f[4], request ? m[3].str() : "") << line;
        EXPECT_EQ(f[5], request ? "" : m[3].str()) << line;
        EXPECT_EQ(f[6], "1") << line;
        EXPECT_EQ(f[7], Hex(m[4])) << line;
    } else if (std::regex_match(rest, m, modbus)) {
        // Handed to Wireshark's Modbus RTU dissector: unit and function code.
        const std::string bytes = Hex(m[1]);
        EXPECT_EQ(f[8], std::to_string(std::stoul(bytes.substr(0, 2), nullptr, 16))) << line;
        EXPECT_EQ(f[9], std::to_string(std::stoul(bytes.substr(2, 2), nullptr, 16))) << line;
        EXPECT_EQ(f[3] + f[4] + f[5], "") << line;
    } else {
        ASSERT_TRUE(std::regex_match(rest, m, raw)) << line;
        const std::string bytes = Hex(m[1]);
        Bytes b;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            b.push_back(std::uint8_t(std::stoul(bytes.substr(i, 2), nullptr, 16)));
        const bool valid = b.size() >= 2 && vx4::CheckBytesValid(b.data(), b.size() - 2);
        EXPECT_EQ(f[6], b.size() >= 2 ? (valid ? "1" : "0") : "") << line;
        EXPECT_EQ(f[8], "") << line;
    }
}

// A line that plays a script of pieces to the one client that connects: each piece is
// sent whole, then the pause after it passes.
class ScriptedLine {
public:
    struct Piece {
        Bytes bytes;
        int pauseMs = 0;
    };
    explicit ScriptedLine(std::vector<Piece> script) : script_(std::move(script))
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(listen_, 1) == 0 &&
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Play(); });
    }
    ~ScriptedLine()
    {
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }
    std::string PortText() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    void Play()
    {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0)
            return;
        const int s = ::accept(listen_, nullptr, nullptr);
        if (s < 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the monitor's first read is under way
        for (const Piece& piece : script_) {
            if (::send(s, piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL) != ssize_t(piece.bytes.size()))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(piece.pauseMs));
        }
        // Stay connected until the monitor has gone.
        char c;
        pollfd q{s, POLLIN, 0};
        while (::poll(&q, 1, 20000) > 0 && ::recv(s, &c, 1, 0) > 0) {
        }
        ::close(s);
    }
    std::vector<Piece> script_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

Bytes Frame(std::uint32_t address, std::uint8_t command, const Bytes& data)
{
    Bytes f(vx4::Vx3cFrameSize(std::uint16_t(data.size())));
    std::copy(data.begin(), data.end(), f.begin() + vx4::Vx3cHeaderSize);
    vx4::BuildVx3cFrame(f.data(), address, std::uint16_t(data.size()), command);
    vx4::FillCheckBytes(f.data(), f.size() - 2);
    return f;
}

TEST(Wireshark, EmittedTrafficDecodesAsTheMonitorPrintedIt)
{
    TempDir dir;
    struct Case {
        vx4sim::Emission::Kind kind;
        const char* monitor;
        const char* count;
    };
    for (const Case& c : {Case{vx4sim::Emission::Vx3c, "vx3c", "60"}, Case{vx4sim::Emission::Vx2, "vx2", "40"}}) {
        SimDevice d;
        vx4sim::Emission e;
        e.kind = c.kind;
        e.rate = 0; // back to back, with the broken pieces and Modbus frames
        d.sim.SetEmission(e);
        const std::string pcap = dir.File(std::string(c.monitor) + ".pcap");
        const RunResult r = RunCtl(d.Args({"monitor", c.monitor, "--count", c.count, "--pcap", pcap}));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = Shown(r.out);
        const bool vx2 = c.kind == vx4sim::Emission::Vx2;
        const auto rows = Tshark(pcap, vx2 ? Vx2Fields : Vx3cFields);
        ASSERT_EQ(rows.size(), lines.size()) << c.monitor;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (vx2)
                ExpectVx2Agrees(lines[i], rows[i]);
            else
                ExpectVx3cAgrees(lines[i], rows[i]);
        }
        EXPECT_TRUE(d.sim.Requests().empty());
    }
}

TEST(Wireshark, ScriptedVx3cExchangesAndBrokenPieces)
{
    vx4sim::Simulator sim;
    const std::uint32_t a = sim.Serial();
    const std::vector<std::uint16_t> ids = sim.CalcIds();
    ASSERT_GE(ids.size(), 3u);
    const float values[] = {12.5f, -0.375f, 101325.0f};
    const std::uint32_t statuses[] = {0, 0x10, 0x80000001u};
    for (int i = 0; i < 3; ++i)
        sim.SetCalcValue(ids[i], values[i], statuses[i]);
    sim.SetSystemEvents({{7, 42, 123456, 2, "Обрыв датчика"}});

    std::vector<ScriptedLine::Piece> script;
    auto exchange = [&](std::uint8_t command, const Bytes& data) {
        const Bytes request = Frame(a, command, data);
        script.push_back({request, 5});
        const auto answer = sim.Answer(request);
        ASSERT_TRUE(answer.has_value()) << int(command);
        script.push_back({*answer, 5});
    };
    exchange(0x01, {});                                   // 1, 2 identification
    exchange(0x02, {});                                   // 3, 4 clock
    exchange(0x23, {});                                   // 5, 6 summary
    Bytes items;
    for (int i = 0; i < 3; ++i)
        items.insert(items.end(), {std::uint8_t(ids[i]), std::uint8_t(ids[i] >> 8)});
    exchange(0x24, items);                                // 7, 8 values
    exchange(0x04, {0x01});                               // 9, 10 system event
    exchange(0x22, {0x00});                               // 11, 12 first configuration block
    exchange(0x08, {1, 2, 3, 4, 5});                      // 13, 14 echo
    Bytes bad = *sim.Answer(Frame(a, 0x24, items));
    bad.back() ^= 0x5A;
    script.push_back({bad, 5});                           // 15 wrong sum byte
    Bytes badXor = Frame(a, 0x02, {0x11, 0x12, 0x25, 0x08, 0x30, 0x00});
    badXor[badXor.size() - 2] ^= 0x01;
    script.push_back({badXor, 5});                        // 16 wrong XOR byte
    script.push_back({*sim.Refusal(Frame(a, 0x24, items), 253), 5}); // 17 refused
    Bytes cut = Frame(a, 0x22, Bytes(300, 0x33));
    cut.resize(20);
    // The broken pieces are followed by silence longer than a read waits over TCP (its wait
    // plus a second), so that the monitor's read gives up on each.
    script.push_back({cut, 1600});                        // 18 cut short in the data
    script.push_back({{0x01, 0x00, 0x00}, 1600});         // 19 cut short in the header
    const std::size_t pieces = 19;

    ScriptedLine line(script);
    TempDir dir;
    const std::string pcap = dir.File("scripted.pcap");
    const RunResult r = RunCtl({"--port", line.PortText(), "monitor", "vx3c", "--count", std::to_string(pieces),
                                "--pcap", pcap});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Shown(r.out);
    ASSERT_EQ(lines.size(), pieces) << r.out;
    const auto rows = Tshark(pcap, Vx3cFields);
    ASSERT_EQ(rows.size(), pieces);
    for (std::size_t i = 0; i < pieces; ++i)
        ExpectVx3cAgrees(lines[i], rows[i]);

    // Exactly the frames with wrong check bytes.
    std::set<std::string> wrong;
    for (std::size_t i = 0; i < pieces; ++i)
        if (lines[i].rfind("St[1013]", 0) == 0)
            wrong.insert(std::to_string(i + 1));
    EXPECT_EQ(wrong, (std::set<std::string>{"15", "16"}));
    std::set<std::string> found;
    for (const auto& row : Tshark(pcap, {"frame.number"}, "vx3c.check_ok == 0"))
        found.insert(row[0]);
    EXPECT_EQ(found, wrong);

    // The decoded payloads, the Info column and the warnings.
    const auto d = Tshark(pcap, {"frame.number", "_ws.col.Info", "vx3c.item", "vx3c.value", "vx3c.value_status",
                                 "vx3c.ident.serial", "vx3c.clock", "vx3c.summary.item_count", "vx3c.event.text",
                                 "vx3c.event.code", "vx3c.echo.len", "vx3c.block.type", "_ws.expert.severity"});
    ASSERT_EQ(d.size(), pieces);
    EXPECT_EQ(d[0][1], "Adr " + std::to_string(a) + " Identify");
    EXPECT_EQ(d[1][5], std::to_string(a));
    const Bytes& clock = script[3].bytes; // the device's clock at the time of its answer
    ASSERT_EQ(clock.size(), 15u);
    char clockText[32];
    std::snprintf(clockText, sizeof clockText, "%02X.%02X.%02X %02X:%02X:%02X", clock[7], clock[8], clock[9], clock[10],
                  clock[11], clock[12]);
    EXPECT_EQ(d[3][6], clockText);
    EXPECT_EQ(d[5][7], std::to_string(sim.ItemCount()));
    EXPECT_EQ(d[6][1], "Adr " + std::to_string(a) + " ReadValues [3 items]");
    EXPECT_EQ(d[6][2], std::to_string(ids[0]) + "," + std::to_string(ids[1]) + "," + std::to_string(ids[2]));
    EXPECT_EQ(d[7][1], "Adr " + std::to_string(a) + " ReadValues answer [3 values]");
    const std::vector<std::string> shownValues = Split(d[7][3], ',');
    const std::vector<std::string> shownStatus = Split(d[7][4], ',');
    ASSERT_EQ(shownValues.size(), 3u) << d[7][3];
    ASSERT_EQ(shownStatus.size(), 3u) << d[7][4];
    for (int i = 0; i < 3; ++i) {
        float v = 0;
        std::uint32_t st = 0;
        ASSERT_TRUE(sim.CalcValue(ids[i], &v, &st));
        EXPECT_EQ(std::stof(shownValues[i]), v) << i;
        EXPECT_EQ(std::stoul(shownStatus[i], nullptr, 16), st) << i;
        EXPECT_EQ(v, values[i]);
    }
    EXPECT_EQ(d[9][8], "Обрыв датчика");
    EXPECT_EQ(d[9][9], "42");
    EXPECT_NE(d[11][11], "") << "the configuration block's items";
    EXPECT_EQ(d[12][10], "5");
    EXPECT_EQ(d[16][1], "Adr " + std::to_string(a) + " Result 253");
    for (std::size_t i = 0; i < pieces; ++i) {
        const bool broken = i + 1 >= 15 && i + 1 != 17;
        EXPECT_EQ(!d[i][12].empty(), broken) << "frame " << i + 1 << ": " << lines[i];
    }
}

TEST(Wireshark, ScriptedVx2LineWithModbusFrames)
{
    auto vx2 = [](std::uint8_t command, std::size_t size, std::uint8_t fill) {
        Bytes f(size, fill);
        vx4::PutU32(f.data(), vx4::Vx2Address(1203045));
        f[4] = command;
        vx4::FillCheckBytes(f.data(), size - 2);
        return f;
    };
    auto modbus = [](Bytes f) {
        const std::uint16_t crc = vx4::Crc16Modbus(f.data(), f.size());
        f.push_back(std::uint8_t(crc));
        f.push_back(std::uint8_t(crc >> 8));
        return f;
    };
    // Pieces of other lengths than the one due are followed by silence longer than a read
    // waits over TCP (its wait plus a second).
    const std::vector<ScriptedLine::Piece> script = {
        {vx2(0x30, 16, 0), 5},
        {vx2(0x30, 8, 5), 5},
        {modbus({0x01, 0x03, 0x00, 0x10, 0x00, 0x02}), 1300},
        {modbus({0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78}), 1300},
        {vx2(0x41, 16, 1), 5},
        {vx2(0x41, 72, 2), 5},
        {{0x7E, 0x7F, 0x80}, 1300},
    };
    ScriptedLine line(script);
    TempDir dir;
    const std::string pcap = dir.File("vx2.pcap");
    const RunResult r = RunCtl({"--port", line.PortText(), "monitor", "vx2", "--count", "7", "--pcap", pcap});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Shown(r.out);
    ASSERT_EQ(lines.size(), 7u) << r.out;
    const auto rows = Tshark(pcap, Vx2Fields);
    ASSERT_EQ(rows.size(), 7u);
    for (std::size_t i = 0; i < rows.size(); ++i)
        ExpectVx2Agrees(lines[i], rows[i]);
    // Both Modbus frames under Wireshark's own dissector, with their function code.
    const auto mb = Tshark(pcap, {"frame.number", "modbus.func_code"}, "mbrtu");
    ASSERT_EQ(mb.size(), 2u);
    EXPECT_EQ(mb[0], (std::vector<std::string>{"3", "3"}));
    EXPECT_EQ(mb[1], (std::vector<std::string>{"4", "3"}));
}

// ---- the extcap program -----------------------------------------------------------------

TEST(Wireshark, ExtcapAnswersWiresharksQuestions)
{
    const std::regex sentence(R"((extcap|interface|dlt|arg|value) (\{[a-z]+=[^{}]*\})+)");
    RunResult r = RunProgram(Extcap, {"--extcap-interfaces", "--extcap-version=4.0"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    for (const std::string& l : lines)
        EXPECT_TRUE(std::regex_match(l, sentence)) << l;
    EXPECT_EQ(lines[1].rfind("interface {value=vx4}", 0), 0u) << lines[1];

    r = RunProgram(Extcap, {"--extcap-interface", "vx4", "--extcap-dlts"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("dlt {number=147}{name=USER0}", 0), 0u) << r.out;

    r = RunProgram(Extcap, {"--extcap-interface=vx4", "--extcap-config"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> calls;
    for (const std::string& l : Lines(r.out)) {
        EXPECT_TRUE(std::regex_match(l, sentence)) << l;
        std::smatch m;
        if (std::regex_search(l, m, std::regex(R"(\{call=(--[a-z]+)\})")))
            calls.insert(m[1]);
    }
    EXPECT_EQ(calls, (std::set<std::string>{"--port", "--speed", "--protocol"}));
    EXPECT_NE(r.out.find("{value=vx2}"), std::string::npos);

    // Wrong use: a status other than 0 and a message.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--extcap-interface", "eth0", "--extcap-dlts"},
          std::vector<std::string>{"--capture", "--fifo", "/tmp/x"},
          std::vector<std::string>{"--capture", "--fifo", "/tmp/x", "--port", "not a port"},
          std::vector<std::string>{"--capture", "--fifo", "/tmp/x", "--port", "127.0.0.1:1", "--protocol", "vx9"},
          std::vector<std::string>{"--bogus"}}) {
        r = RunProgram(Extcap, bad);
        EXPECT_NE(r.status, 0) << bad.back();
        EXPECT_FALSE(r.err.empty()) << bad.back();
    }
}

TEST(Wireshark, ExtcapCapturesIntoTheFifoUntilStopped)
{
    SimDevice d;
    vx4sim::Emission e;
    e.kind = vx4sim::Emission::Vx3c;
    e.rate = 100;
    d.sim.SetEmission(e);
    TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    std::vector<std::string> args = {Extcap, "--extcap-interface", "vx4", "--capture", "--fifo", fifo,
                                     "--port", d.PortText(), "--speed", "115200", "--protocol", "vx3c"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ), 0);

    // Wireshark's side: read the fifo into a file while the capture runs.
    const std::string pcap = dir.File("live.pcap");
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        std::ofstream out(pcap, std::ios::binary);
        out << in.rdbuf();
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto stop = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = -1;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() - stop < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    // A reader still waiting for a writer (the program ended before opening the fifo) is
    // let go.
    const int release = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (release >= 0)
        ::close(release);
    reader.join();
    ASSERT_EQ(done, pid) << "still running after SIGTERM";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // A correctness bound, not a timing test: the capture ends at its next read (at most a
    // quarter second on a silent line).
    EXPECT_LT(took, 2.0);

    const auto rows = Tshark(pcap, {"vx4.monitor", "vx3c.addr", "vx3c.cmd"});
    EXPECT_GE(rows.size(), 50u);
    std::size_t whole = 0;
    for (const auto& row : rows) {
        EXPECT_EQ(row[0], "1");
        if (row[1] == std::to_string(d.sim.Serial()) && !row[2].empty())
            ++whole;
    }
    EXPECT_GE(whole, rows.size() * 8 / 10);
    EXPECT_TRUE(d.sim.Requests().empty()) << "the capture sent something";
    // Nothing left behind: only the fifo Wireshark made and the copy of the stream.
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"fifo", "live.pcap"}));
}

TEST(Wireshark, MonitorWritesTheCaptureToStandardOutput)
{
    SimDevice d;
    vx4sim::Emission e;
    e.kind = vx4sim::Emission::Vx3c;
    e.rate = 200;
    e.faults = false;
    d.sim.SetEmission(e);
    const RunResult r = RunCtl(d.Args({"monitor", "vx3c", "--count", "5", "--pcap", "-"}));
    ASSERT_EQ(r.status, 0) << r.err;
    // The lines go to standard error, the stream to standard output.
    EXPECT_EQ(Shown(r.err).size(), 5u) << r.err;
    TempDir dir;
    const std::string pcap = dir.File("stdout.pcap");
    WriteFile(pcap, r.out);
    const auto rows = Tshark(pcap, Vx3cFields);
    ASSERT_EQ(rows.size(), 5u);
    const std::vector<std::string> lines = Shown(r.err);
    for (std::size_t i = 0; i < rows.size(); ++i)
        ExpectVx3cAgrees(lines[i], rows[i]);

    // Each piece reaches the reader while the capture still runs (no buffer filling up
    // first): the file header and the first record arrive from a slow line.
    e.rate = 2;
    d.sim.SetEmission(e);
    int out = -1;
    const pid_t pid = SpawnPiped({CtlPath(), "--port", d.PortText(), "monitor", "vx3c", "--pcap", "-"}, &out, true);
    ASSERT_GT(pid, 0);
    Bytes stream;
    std::uint8_t buf[4096];
    pollfd p{out, POLLIN, 0};
    auto firstRecordIn = [&] {
        return stream.size() >= 24 + 16 && stream.size() >= 24 + 16 + vx4::GetU32(stream.data() + 24 + 8);
    };
    while (!firstRecordIn() && ::poll(&p, 1, 10000) > 0) {
        const ssize_t n = ::read(out, buf, sizeof buf);
        if (n <= 0)
            break;
        stream.insert(stream.end(), buf, buf + n);
    }
    EXPECT_TRUE(firstRecordIn()) << stream.size() << " bytes";
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the capture ended by itself";
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
