// The VX-4 line in Wireshark, with tshark as the client: captures written by vx4ctl
// monitor --pcap, read with the vx4 dissector (packaging/wireshark/vx4.lua), agree field
// by field with the lines vx4ctl monitor printed for the same pieces; and the extcap
// program answers Wireshark's questions and captures the line into a fifo.

#include "CtlRunner.h"

#include "link/Frames.h"
#include "link/PcapFile.h"

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

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <thread>

extern char** environ;

using namespace ctltest;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::string Dissector = std::string(VX4_SOURCE_DIR) + "/packaging/wireshark/vx4.lua";
const std::string Extcap = std::string(VX4_BINARY_DIR) + "/tools/vx4-extcap";

std::string TsharkPath()
{
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/tshark";
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "tshark";
}

// tshark's own folders for this run: settings and plugins in an empty folder of its own, and
// VX4_DISSECTOR naming the tree's file, so that any other copy of the dissector (an
// installed package's) steps back: Wireshark ignores WIRESHARK_PLUGIN_DIR when run as root.
std::vector<std::string> TsharkEnv(const std::string& home = {})
{
    static TempDir folders;
    return {"WIRESHARK_CONFIG_DIR=" + folders.Path(), "WIRESHARK_PLUGIN_DIR=" + folders.Path(),
            "HOME=" + (home.empty() ? folders.Path() : home), "VX4_DISSECTOR=" + Dissector};
}

using Rows = std::vector<std::vector<std::string>>;

// tshark with the tree's dissector: one row of tab-separated fields per packet. Any Lua
// error (in loading the file, or in a packet) fails the test.
Rows TsharkRun(const std::vector<std::string>& options, const std::vector<std::string>& fields,
               const std::vector<std::string>& env = TsharkEnv())
{
    // tshark prints a field named twice only once: each name is asked for once.
    std::vector<std::string> asked;
    auto column = [&](const std::string& f) {
        const auto at = std::find(asked.begin(), asked.end(), f);
        if (at != asked.end())
            return std::size_t(at - asked.begin());
        asked.push_back(f);
        return asked.size() - 1;
    };
    std::vector<std::size_t> wanted;
    for (const std::string& f : fields)
        wanted.push_back(column(f));
    const std::size_t luaError = column("_ws.lua.error"), messages = column("_ws.expert.message");
    std::vector<std::string> args = {"-X", "lua_script:" + Dissector};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-T", "fields", "-E", "occurrence=a"});
    for (const std::string& f : asked)
        args.insert(args.end(), {"-e", f});
    const RunResult r = RunProgram(TsharkPath(), args, {}, false, env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Lua"), std::string::npos) << r.err;
    Rows rows;
    for (const std::string& line : Lines(r.out)) {
        std::vector<std::string> row = Split(line, '\t');
        row.resize(asked.size());
        EXPECT_EQ(row[luaError], "") << "frame " << rows.size() + 1 << ": " << row[messages];
        EXPECT_EQ(row[messages].find("Lua Error"), std::string::npos) << "frame " << rows.size() + 1;
        std::vector<std::string> out;
        for (std::size_t k : wanted)
            out.push_back(row[k]);
        rows.push_back(std::move(out));
    }
    return rows;
}

// Over a capture file, with an optional display filter; twoPass for the links to later
// frames (a request's answer).
Rows Tshark(const std::string& pcap, const std::vector<std::string>& fields, const std::string& filter = {},
            bool twoPass = false)
{
    std::vector<std::string> options = {"-r", pcap};
    if (twoPass)
        options.push_back("-2");
    if (!filter.empty())
        options.insert(options.end(), {"-Y", filter});
    return TsharkRun(options, fields);
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
        // A piece cut short: no check bytes to judge; the dissector shows every byte that
        // came after the header, and the monitor's data (when it shows any) lead them.
        EXPECT_EQ(f[5] + f[6] + f[7], "") << line;
        const std::size_t got = std::stoul(m[2].str());
        EXPECT_EQ(f[8].size(), got > 7 ? 2 * (got - 7) : 0) << line << " / " << f[8];
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
                                 "vx3c.event.code", "vx3c.echo.len", "vx3c.block.type", "_ws.expert.severity",
                                 "vx3c.block.record", "vx3c.len", "vx3c.kind"});
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
    // The configuration block: every item's record as long as its type says (11 bytes for a
    // constant or calculated value, 16 for an event, none for an empty slot), and the items
    // and the end marker fill the block.
    const std::vector<std::string> types = Split(d[11][11], ','), records = Split(d[11][13], ',');
    ASSERT_FALSE(types.empty());
    std::size_t record = 0, filled = 1;
    for (const std::string& type : types) {
        const std::size_t size = type == "2" ? 16 : type == "0" ? 0 : 11;
        filled += 1 + size;
        if (size == 0)
            continue;
        ASSERT_LT(record, records.size()) << d[11][13];
        EXPECT_EQ(records[record++].size(), 2 * size) << "item type " << type;
    }
    EXPECT_EQ(record, records.size());
    EXPECT_EQ(std::to_string(filled), d[11][14]);
    for (std::size_t i = 0; i < 14; ++i)
        EXPECT_EQ(d[i][15], i % 2 == 0 ? "request" : "answer") << "frame " << i + 1;
    EXPECT_EQ(d[12][10], "5");
    EXPECT_EQ(d[16][1], "Adr " + std::to_string(a) + " Result 253");
    for (std::size_t i = 0; i < pieces; ++i) {
        const bool broken = i + 1 >= 15 && i + 1 != 17;
        EXPECT_EQ(!d[i][12].empty(), broken) << "frame " << i + 1 << ": " << lines[i];
    }
}

// ---- request or answer, judged from the frames alone -------------------------------------

// A line as the vx3c monitor captures it: every piece with the time since the one before.
struct Timed {
    Bytes bytes;
    int afterMs = 20;
};

std::string SaveLine(const TempDir& dir, const std::string& name, const std::vector<Timed>& line)
{
    std::vector<vx4::SCapturedPiece> pieces;
    std::int64_t us = 1765180800000000;
    for (const Timed& t : line) {
        us += std::int64_t(t.afterMs) * 1000;
        pieces.push_back({vx4::MonitorKind::Vx3c, 0, 0, us, t.bytes});
    }
    const std::string path = dir.File(name + ".pcap");
    std::string error;
    EXPECT_TRUE(vx4::CPcapFile::Save(path, pieces, &error)) << error;
    return path;
}

// A valid vx2 frame of size bytes to the transducer with this serial number.
Bytes Vx2(std::uint32_t serial, std::uint8_t command, std::size_t size, std::uint8_t fill)
{
    Bytes f(size, fill);
    vx4::PutU32(f.data(), vx4::Vx2Address(serial));
    f[4] = command;
    vx4::FillCheckBytes(f.data(), size - 2);
    return f;
}

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Wireshark, RequestsAndAnswersAreJudgedFromTheFramesAndLinked)
{
    vx4sim::Simulator sim;
    const std::uint32_t a = sim.Serial();
    const std::vector<std::uint16_t> ids = sim.CalcIds();
    ASSERT_GE(ids.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i)
        sim.SetCalcValue(ids[i], float(i) * 1.5f, std::uint32_t(i));
    auto items = [&](std::size_t k) {
        Bytes b;
        for (std::size_t i = 0; i < k; ++i)
            b.insert(b.end(), {std::uint8_t(ids[i]), std::uint8_t(ids[i] >> 8)});
        return Frame(a, 0x24, b);
    };
    auto answer = [&](const Bytes& request) {
        const auto r = sim.Answer(request);
        EXPECT_TRUE(r.has_value());
        return r.value_or(Bytes{});
    };
    auto open = [&](const std::string& name) { return Frame(a, 0x05, Concat({0x01}, Bytes(name.begin(), name.end()))); };
    auto echo = [&](std::uint8_t seed) { return Frame(a, 0x08, {seed, std::uint8_t(seed * 7), std::uint8_t(seed + 3)}); };
    sim.SetFile("abc", Bytes(513, 0x55)); // its size 01 02 00 00 fits a request for a 3-letter name too
    const std::string text = "Датчик №2 t>90°C «Т1» – обрыв";
    sim.SetSystemEvents({{7, 42, 1, 1, text}});
    const Bytes relayRequest = Frame(a, 0x26, Concat(Concat({0x00, 0x02}, Vx2(1203045, 0x07, 16, 0)), {0, 0}));
    const Bytes relayAnswer = Frame(a, 0x26, Vx2(1203045, 0x07, 32, 0x11));
    Bytes badClock = answer(Frame(a, 0x02, {}));
    badClock.back() ^= 0x5A;

    // A request sent again after a lost answer comes after the command's wait (500 ms, 3 s
    // for a relay); an answer within it.
    struct Check {
        std::size_t frame; // 1-based
        std::string field, value;
    };
    struct Case {
        const char* name;
        std::vector<Timed> line;
        std::string kinds; // R request, A answer, per frame
        std::vector<Check> checks;
    };
    const std::vector<Case> cases = {
        {"4 and 8 items",
         {{items(4)}, {answer(items(4))}, {items(8), 300}, {answer(items(8))}, {items(1), 300}, {answer(items(1))}},
         "RARARA",
         {{1, "_ws.col.Info", "Adr " + std::to_string(a) + " ReadValues [4 items]"},
          {2, "_ws.col.Info", "Adr " + std::to_string(a) + " ReadValues answer [4 values]"},
          {2, "vx3c.value", "0,1.5,3,4.5"},
          {2, "vx3c.result", "0"},
          {2, "vx3c.request_in", "1"},
          {1, "vx3c.response_in", "2"},
          {2, "vx3c.time", "0.020000000"},
          {4, "vx3c.value_status", "0x00000000,0x00000001,0x00000002,0x00000003,0x00000004,0x00000005,0x00000006,"
                                   "0x00000007"},
          {6, "vx3c.value", "0"}}},
        {"retries after lost answers",
         {{items(4)}, {items(4), 600}, {items(4), 600}, {answer(items(4))}, {items(1), 300}, {items(1), 600},
          {items(1), 600}, {items(4), 600}, {answer(items(4))}},
         "RRRARRRRA",
         {{4, "vx3c.request_in", "3"},
          {3, "vx3c.response_in", "4"},
          {1, "vx3c.response_in", ""},
          {9, "vx3c.request_in", "8"},
          {8, "_ws.col.Info", "Adr " + std::to_string(a) + " ReadValues [4 items]"}}},
        {"a 3-letter file name",
         {{open("abc")}, {answer(open("abc"))}, {open("abc"), 300}, {open("abc"), 600}, {open("xyz"), 600},
          {answer(open("xyz"))}},
         "RARRRA",
         {{1, "vx3c.file.name", "abc"},
          {2, "vx3c.file.size", "513"},
          {5, "vx3c.file.name", "xyz"},
          {6, "vx3c.file.size", "0"},
          {6, "vx3c.request_in", "5"}}},
        {"echoes with lost answers",
         {{echo(1)}, {answer(echo(1))}, {echo(2), 100}, {echo(3), 600}, {answer(echo(3))}, {echo(4), 100},
          {answer(echo(4))}, {echo(5), 100}},
         "RARRARAR",
         {{5, "vx3c.request_in", "4"}, {7, "vx3c.request_in", "6"}, {3, "vx3c.response_in", ""}}},
        {"texts in code page 1251",
         {{Frame(a, 0x04, {0x01})}, {answer(Frame(a, 0x04, {0x01}))}},
         "RA",
         {{2, "vx3c.event.text", text}, {2, "vx3c.event.code", "42"}}},
        {"identification and clock, lost and refused",
         {{Frame(a, 0x01, {})}, {Frame(a, 0x01, {}), 900}, {answer(Frame(a, 0x01, {}))}, {Frame(a, 0x02, {}), 300},
          {badClock}, {items(2), 300}, {*sim.Refusal(items(2), 253)}},
         "RRARARA",
         {{3, "vx3c.ident.serial", std::to_string(a)},
          {3, "vx3c.check_status", "1"},
          {5, "vx3c.check_status", "0"},
          {5, "vx3c.check_ok", "0"},
          {7, "vx3c.result", "253"},
          {7, "vx3c.request_in", "6"}}},
        {"a relay with vx2 frames inside",
         {{relayRequest}, {relayRequest, 3500}, {relayAnswer}, {relayRequest, 300}, {Frame(a, 0x26, {1, 0, 0, 0})}},
         "RRARA",
         {{1, "vx2.cmd", "7"},
          {1, "vx2.addr", "0x01203045"},
          {3, "vx2.ans", "7"},
          {3, "vx3c.request_in", "2"},
          {5, "vx3c.relay.status", "1"}}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string pcap = SaveLine(dir, "line", c.line);
        std::vector<std::string> fields = {"vx3c.kind"};
        for (const Check& check : c.checks)
            fields.push_back(check.field);
        const Rows rows = Tshark(pcap, fields, {}, true);
        ASSERT_EQ(rows.size(), c.line.size()) << c.name;
        std::string kinds;
        for (const auto& row : rows)
            kinds += row[0] == "request" ? 'R' : row[0] == "answer" ? 'A' : '?';
        EXPECT_EQ(kinds, c.kinds) << c.name;
        for (std::size_t i = 0; i < c.checks.size(); ++i) {
            const Check& check = c.checks[i];
            ASSERT_LE(check.frame, rows.size());
            EXPECT_EQ(rows[check.frame - 1][i + 1], check.value) << c.name << ": frame " << check.frame << " "
                                                                 << check.field;
        }
    }
}

// ---- robust to anything ----------------------------------------------------------------

// A classic pcap file of records as given: each record's bytes (pseudo-header included) and
// its length on the line, which is more than the bytes when the snapshot length cut it.
void WriteRecords(const std::string& path, const std::vector<std::pair<Bytes, std::uint32_t>>& records)
{
    Bytes out(24);
    vx4::PutU32(out.data(), 0xA1B2C3D4u);
    vx4::PutU16(out.data() + 4, 2);
    vx4::PutU16(out.data() + 6, 4);
    vx4::PutU32(out.data() + 16, 65535);
    vx4::PutU32(out.data() + 20, 147);
    std::uint32_t second = 1765180800;
    for (const auto& [bytes, length] : records) {
        std::uint8_t h[16];
        vx4::PutU32(h, second++);
        vx4::PutU32(h + 4, 0);
        vx4::PutU32(h + 8, std::uint32_t(bytes.size()));
        vx4::PutU32(h + 12, length);
        out.insert(out.end(), h, h + 16);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    WriteFile(path, std::string(out.begin(), out.end()));
}

TEST(Wireshark, ShortUnknownAndCutRecordsKeepTheColumnsSet)
{
    const Bytes frame = Frame(1, 0x02, {});
    const Bytes modbus = {0x09, 0x10, 0x11, 0x6C, 0x0E}; // function 16 with a valid CRC, far too short
    struct Case {
        const char* name;
        Bytes record;
        std::uint32_t length; // on the line
        std::string protocol, info, expert;
    };
    auto with = [](std::vector<std::uint8_t> head, const Bytes& piece) { return Concat(head, piece); };
    const std::vector<Case> cases = {
        {"3-byte record", {0x01, 0x00, 0x00}, 3, "VX-4", "[record of 3 bytes, shorter than its 4-byte header]",
         "Record shorter than its 4-byte header"},
        {"unknown monitor", with({0x07, 0x00, 0x00, 0x00}, frame), 13, "VX-4", "[unknown monitor 7, 9 bytes]",
         "Unknown monitor 7: the piece is not decoded"},
        {"unknown direction", with({0x01, 0x03, 0x00, 0x00}, frame), 13, "vx3c", "Adr 1 ReadClock",
         "Unknown direction 3, taken as not known"},
        {"cut by the snapshot length", with({0x01, 0x00, 0x00, 0x00}, Bytes(frame.begin(), frame.begin() + 7)), 13,
         "vx3c", "Adr 1 ReadClock [capture cut at 7 of 9 bytes]",
         "Record cut by the capture's snapshot length: 7 of the piece's 9 bytes kept"},
        {"Modbus frame Wireshark cannot take apart", with({0x02, 0x80, 0x00, 0x00}, modbus), 9, "vx2", "[Malformed Packet]",
         "Malformed Packet (Exception occurred)"},
    };
    TempDir dir;
    const std::string pcap = dir.File("odd.pcap");
    std::vector<std::pair<Bytes, std::uint32_t>> records;
    for (const Case& c : cases)
        records.push_back({c.record, c.length});
    WriteRecords(pcap, records);
    const Rows rows = Tshark(pcap, {"_ws.col.Protocol", "_ws.col.Info", "_ws.expert.message"});
    ASSERT_EQ(rows.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(rows[i][0], c.protocol) << c.name;
        EXPECT_EQ(rows[i][1], c.info) << c.name;
        EXPECT_NE(rows[i][2].find(c.expert), std::string::npos) << c.name << ": " << rows[i][2];
        EXPECT_EQ(rows[i][2].find("cut short"), std::string::npos) << c.name << ": blamed on the line";
    }
}

// Random records and mutated frames (check bytes made right again, so that every decoder
// runs on them), some cut by the snapshot length, through tshark in two passes: no Lua
// error anywhere, and every packet gets its Protocol and Info columns.
TEST(Wireshark, DissectorTakesAnyRecordWithoutALuaError)
{
    vx4sim::Simulator sim;
    const std::uint32_t a = sim.Serial();
    const std::vector<std::uint16_t> ids = sim.CalcIds();
    sim.SetSystemEvents({{7, 42, 1, 1, "Датчик №2"}});
    std::vector<Bytes> seeds;
    auto both = [&](const Bytes& request) {
        seeds.push_back(request);
        if (auto r = sim.Answer(request))
            seeds.push_back(*r);
    };
    both(Frame(a, 0x01, {}));
    both(Frame(a, 0x02, {}));
    both(Frame(a, 0x04, {0x01}));
    both(Frame(a, 0x05, {0x01, 'a', 'b', 'c'}));
    both(Frame(a, 0x06, {0x5A}));
    both(Frame(a, 0x08, {1, 2, 3}));
    both(Frame(a, 0x21, {std::uint8_t(ids[0]), std::uint8_t(ids[0] >> 8)}));
    both(Frame(a, 0x22, {0x00}));
    both(Frame(a, 0x23, {}));
    both(Frame(a, 0x24, {std::uint8_t(ids[0]), std::uint8_t(ids[0] >> 8)}));
    both(Frame(a, 0x25, {0x00, std::uint8_t(ids[0]), std::uint8_t(ids[0] >> 8)}));
    both(Frame(a, 0x30, {0x01}));
    seeds.push_back(Frame(a, 0x26, Concat(Concat({0x00, 0x02}, Vx2(1203045, 0x07, 16, 0)), {0, 0})));
    seeds.push_back(Frame(a, 0x26, Vx2(1203045, 0x07, 32, 0x11)));
    seeds.push_back(Vx2(1203045, 0x41, 72, 3));
    seeds.push_back({0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0xC5, 0xCE});

    std::mt19937 rng(29);
    auto draw = [&](unsigned n) { return unsigned(rng() % n); };
    std::vector<std::pair<Bytes, std::uint32_t>> records;
    for (int i = 0; i < 3000; ++i) {
        Bytes piece;
        if (draw(4) == 0) {
            piece.resize(draw(40));
            for (auto& b : piece)
                b = std::uint8_t(rng());
        } else {
            piece = seeds[draw(unsigned(seeds.size()))];
            for (unsigned k = draw(4); k > 0 && !piece.empty(); --k)
                piece[draw(unsigned(piece.size()))] = std::uint8_t(rng());
            if (draw(3) == 0)
                piece.resize(draw(unsigned(piece.size()) + 8), std::uint8_t(rng()));
            if (piece.size() >= 9 && draw(2) == 0) {
                // A declared length that fits what is there, and check bytes made right.
                const std::size_t len = piece.size() - 9;
                vx4::PutU16(piece.data() + 4, std::uint16_t(len));
                vx4::FillCheckBytes(piece.data(), piece.size() - 2);
            }
        }
        const std::uint8_t monitor = draw(8) == 0 ? std::uint8_t(draw(4)) : std::uint8_t(1 + draw(2));
        const std::uint8_t direction = draw(8) == 0 ? std::uint8_t(rng()) : std::uint8_t(draw(3) | (draw(6) == 0 ? 0x80 : 0));
        const std::uint16_t status = draw(4) == 0 ? std::uint16_t(1000 + draw(60)) : 0;
        Bytes record = Concat({monitor, direction, std::uint8_t(status), std::uint8_t(status >> 8)}, piece);
        const std::uint32_t length = std::uint32_t(record.size());
        if (draw(10) == 0)
            record.resize(draw(unsigned(record.size()) + 1));
        records.push_back({record, length});
    }
    TempDir dir;
    const std::string pcap = dir.File("random.pcap");
    WriteRecords(pcap, records);
    const Rows rows = Tshark(pcap, {"_ws.col.Protocol", "_ws.col.Info"}, {}, true);
    ASSERT_EQ(rows.size(), records.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_NE(rows[i][0], "") << "frame " << i + 1;
        EXPECT_NE(rows[i][1], "") << "frame " << i + 1;
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

    r = RunProgram(Extcap, {"--extcap-version"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_match(Lines(r.out).at(0), std::regex(R"(extcap \{version=[0-9.]+\}.*)"))) << r.out;

    // Wireshark's check of a capture filter: status 0, and a line of text for a filter refused.
    r = RunProgram(Extcap, {"--extcap-interface", "vx4", "--extcap-capture-filter", "tcp port 80"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("display filter"), std::string::npos) << r.out;
    r = RunProgram(Extcap, {"--extcap-interface", "vx4", "--extcap-capture-filter", ""});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    // Wrong use: a status other than 0 and a message.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--extcap-interface", "eth0", "--extcap-dlts"},
          std::vector<std::string>{"--capture", "--fifo", "/tmp/x"},
          std::vector<std::string>{"--capture", "--port", "127.0.0.1:1"},
          std::vector<std::string>{"--bogus"}}) {
        r = RunProgram(Extcap, bad);
        EXPECT_NE(r.status, 0) << bad.back();
        EXPECT_FALSE(r.err.empty()) << bad.back();
    }
}

// The extcap program with a fifo as Wireshark makes it; its standard error goes to a file.
class ExtcapRun {
public:
    ExtcapRun(const TempDir& dir, std::vector<std::string> args) : fifo_(dir.File("fifo")), err_(dir.File("err"))
    {
        ::mkfifo(fifo_.c_str(), 0600);
        args.insert(args.begin(), {Extcap, "--extcap-interface", "vx4", "--capture", "--fifo", fifo_});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        started_ = std::chrono::steady_clock::now();
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        // Wireshark's side: the stream as it comes, while the capture runs.
        reader_ = std::thread([this] {
            const int fd = ::open(fifo_.c_str(), O_RDONLY);
            if (fd < 0)
                return;
            std::uint8_t buf[4096];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> g(m_);
                stream_.insert(stream_.end(), buf, buf + n);
            }
            ::close(fd);
        });
    }
    ~ExtcapRun()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        // A reader still waiting for a writer is let go.
        const int release = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
        if (release >= 0)
            ::close(release);
        if (reader_.joinable())
            reader_.join();
    }
    pid_t Pid() const { return pid_; }
    // The whole stream, once the program has ended (the reader has seen the fifo's end).
    Bytes Finished()
    {
        if (reader_.joinable())
            reader_.join();
        return stream_;
    }
    Bytes Stream()
    {
        std::lock_guard<std::mutex> g(m_);
        return stream_;
    }
    // Complete pcap records received so far.
    std::size_t Records()
    {
        const Bytes s = Stream();
        std::size_t at = 24, n = 0;
        while (s.size() >= at + 16 && s.size() >= at + 16 + vx4::GetU32(s.data() + at + 8)) {
            at += 16 + vx4::GetU32(s.data() + at + 8);
            ++n;
        }
        return n;
    }
    // Waits up to capSeconds for cond, polling.
    template <class F> static bool WaitFor(F cond, double capSeconds = 10)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(capSeconds);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // The exit status once the program has ended (-1: still running after capSeconds, or
    // killed by a signal); seconds from the start to the end.
    int Wait(double capSeconds, double* took = nullptr)
    {
        int status = 0;
        const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, capSeconds);
        if (took)
            *took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        if (!ended)
            return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Err() const { return ReadFile(err_); }

private:
    std::string fifo_, err_;
    pid_t pid_ = -1;
    bool exited_ = false;
    std::chrono::steady_clock::time_point started_;
    std::thread reader_;
    std::mutex m_;
    Bytes stream_;
};

// Whatever goes wrong, Wireshark first gets the stream's header it waits for, then the
// program ends with a message and status 1.
TEST(Wireshark, ExtcapEndsWithAMessageAfterTheStreamHeader)
{
    struct Case {
        const char* name;
        bool ownDevice;     // a simulated device on the line (else a port nobody listens on)
        bool loseLink;      // the device goes away during the capture
        std::vector<std::string> args;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"refused port", false, false, {}, "cannot open"},
        {"capture filter", true, false, {"--extcap-capture-filter", "port 1"}, "display filter"},
        {"bad protocol", true, false, {"--protocol", "vx9"}, "--protocol"},
        {"lost link", true, true, {}, "is lost"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::optional<SimDevice> d;
        std::vector<std::string> args = c.args;
        if (c.ownDevice)
            d.emplace();
        args.insert(args.end(), {"--port", d ? d->PortText() : "127.0.0.1:" + std::to_string(ClosedPort())});
        ExtcapRun run(dir, args);
        ASSERT_GT(run.Pid(), 0);
        if (c.loseLink) {
            ASSERT_TRUE(ExtcapRun::WaitFor([&] { return d->sim.ConnectionsServed() >= 1; })) << c.name;
            d->sim.Stop();
        }
        double took = 0;
        EXPECT_EQ(run.Wait(10, &took), 1) << c.name;
        if (!c.loseLink) {
            EXPECT_LT(took, 3.0) << c.name; // a correctness bound: Wireshark is not kept waiting
        }
        EXPECT_NE(run.Err().find(c.message), std::string::npos) << c.name << ": " << run.Err();
        ASSERT_TRUE(ExtcapRun::WaitFor([&] { return run.Stream().size() >= 24; })) << c.name;
        EXPECT_EQ(vx4::GetU32(run.Stream().data()), 0xA1B2C3D4u) << c.name;
        EXPECT_EQ(vx4::GetU32(run.Stream().data() + 20), 147u) << c.name;
    }
}

// Wireshark itself (tshark and its dumpcap) with the program in its extcap folder: a port
// that cannot be opened ends the capture at once with the program's message. The folder is
// the system's, so the program is put there only inside a mount namespace of this test's own
// (unshare); where the system allows none, the test is skipped.
TEST(Wireshark, TsharkEndsAtOnceOnARefusedPort)
{
    std::string folder;
    for (const std::string& line : Lines(RunProgram(TsharkPath(), {"-G", "folders"}).out))
        if (line.rfind("Extcap path:", 0) == 0)
            folder = line.substr(line.find_first_not_of(" \t", 12));
    ASSERT_FALSE(folder.empty());
    const std::string unshare = "/usr/bin/unshare";
    const std::vector<std::string> ns = {::geteuid() == 0 ? "-m" : "-rm", "sh", "-c"};
    auto inNamespace = [&](const std::string& script) {
        std::vector<std::string> args = ns;
        args.push_back(script);
        return RunProgram(unshare, args, {}, false, TsharkEnv());
    };
    TempDir dir;
    if (inNamespace("mount --bind '" + dir.Path() + "' '" + folder + "'").status != 0)
        GTEST_SKIP() << "no mount namespace here";
    std::filesystem::copy_file(Extcap, dir.File("vx4-extcap"));
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = inNamespace("mount --bind '" + dir.Path() + "' '" + folder + "' && exec '" + TsharkPath() +
                                    "' -i vx4 -o extcap.vx4.port:127.0.0.1:" + std::to_string(ClosedPort()) +
                                    " -a duration:20");
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NE(r.err.find("vx4-extcap: cannot open 127.0.0.1:"), std::string::npos) << r.err;
    EXPECT_LT(took, 10.0) << "tshark waited for the capture's end instead"; // a correctness bound
}

TEST(Wireshark, ExtcapCapturesIntoTheFifoUntilStopped)
{
    SimDevice d;
    vx4sim::Emission e;
    e.kind = vx4sim::Emission::Vx3c;
    e.rate = 2; // slow: a few records fill no buffer, so each must be flushed on its own
    e.faults = false;
    d.sim.SetEmission(e);
    TempDir dir;
    ExtcapRun run(dir, {"--port", d.PortText(), "--speed", "115200", "--protocol", "vx3c"});
    ASSERT_GT(run.Pid(), 0);

    // Each piece reaches Wireshark while the capture runs.
    EXPECT_TRUE(ExtcapRun::WaitFor([&] { return run.Records() >= 3; }, 20)) << run.Stream().size() << " bytes";
    EXPECT_EQ(::waitpid(run.Pid(), nullptr, WNOHANG), 0) << "the capture ended by itself: " << run.Err();
    const std::size_t before = run.Records();

    ASSERT_EQ(::kill(run.Pid(), SIGTERM), 0);
    const auto stop = std::chrono::steady_clock::now();
    EXPECT_EQ(run.Wait(10), 0) << run.Err();
    // A correctness bound, not a timing test: the capture ends at its next read (at most a
    // quarter second on a silent line).
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count(), 2.0);

    const std::string pcap = dir.File("live.pcap");
    const Bytes stream = run.Finished();
    WriteFile(pcap, std::string(stream.begin(), stream.end()));
    const auto rows = Tshark(pcap, {"vx4.monitor", "vx3c.addr", "vx3c.cmd", "vx3c.check_ok"});
    ASSERT_GE(rows.size(), before);
    for (const auto& row : rows)
        EXPECT_EQ(row, (std::vector<std::string>{"1", std::to_string(d.sim.Serial()), row[2], "1"}));
    EXPECT_TRUE(d.sim.Requests().empty()) << "the capture sent something";
    // Nothing left behind: only the fifo Wireshark made, its standard error and the copy of
    // the stream.
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"fifo", "err", "live.pcap"}));
}

// The tested dissector is the tree's, also where Wireshark loads an installed copy first
// (the personal plugin folder; the global one as well, where WIRESHARK_PLUGIN_DIR is not
// honoured as for root).
TEST(Wireshark, TheTreesDissectorIsUsedWithAnInstalledCopyInPlace)
{
    TempDir home;
    const std::string plugins = home.Path() + "/.local/lib/wireshark/plugins";
    std::filesystem::create_directories(plugins);
    std::string stale = ReadFile(Dissector);
    const std::size_t at = stale.find("\"ReadClock\"");
    ASSERT_NE(at, std::string::npos);
    stale.replace(at, 11, "\"OldClock\"");
    WriteFile(plugins + "/vx4.lua", stale);

    TempDir dir;
    const std::string pcap = SaveLine(dir, "clock", {{Frame(1, 0x02, {})}});
    const Rows rows = TsharkRun({"-r", pcap}, {"_ws.col.Info"}, TsharkEnv(home.Path()));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "Adr 1 ReadClock");
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
