// The frame monitors below the window: byte pieces against the lines they give, the vx2
// request-answer rhythm, and the capture step on a scripted link.

#include "link/Frames.h"
#include "link/Vx2Monitor.h"
#include "link/Vx3cMonitor.h"
#include "link/link_fake.h"
#include "link/link_tcp_server.h"
#include "link/Connection.h"
#include "link/ResultCodes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <string>
#include <vector>

namespace vx4 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

Bytes Vx2Frame(std::uint32_t address, std::uint8_t code, Bytes data)
{
    Bytes f(4);
    PutU32(f.data(), address);
    f.push_back(code);
    f.insert(f.end(), data.begin(), data.end());
    f.resize(f.size() + 2);
    FillCheckBytes(f.data(), f.size() - 2);
    return f;
}

Bytes Vx2Request(std::uint8_t command) { return Vx2Frame(12, command, Bytes(9, 0)); }

Bytes Vx2Answer(std::uint8_t code, std::size_t size)
{
    Bytes data(size - 7);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i + 1);
    return Vx2Frame(12, code, data);
}

Bytes Modbus(Bytes body)
{
    const std::uint16_t crc = Crc16Modbus(body.data(), body.size());
    body.push_back(std::uint8_t(crc));
    body.push_back(std::uint8_t(crc >> 8));
    return body;
}

// ---- vx3c ------------------------------------------------------------------------------

TEST(Vx3cMonitorLines, PiecesGiveTheirLines)
{
    Bytes whole = {0x54, 0x53, 0x52, 0x51, 0x00, 0x00, 0x01, 0, 0};
    FillCheckBytes(whole.data(), 7);
    struct Case {
        const char* what;
        int status;
        Bytes bytes;
        std::uint32_t previous, tick;
        bool decoded;
        std::string line;
    };
    const Case cases[] = {
        {"whole frame, wrong check bytes", 1013, {0x01, 0, 0, 0, 0x02, 0x00, 0x05, 0x01, 0x02, 0x3A, 0x7F}, 1000, 1125,
         true, "St[1013] dT[   125] FLen[0011] Adr[00000001] Len[0002] Cmd[ 5] CS[3A 7F] Data[01 02 ]"},
        {"body did not come", 1016, {0x01, 0, 0, 0, 0x2C, 0x01, 0x05}, 2000, 2040, true,
         "St[1016] dT[    40] FLen[0007] Adr[00000001] BadLen[0300] Cmd[ 5] "},
        {"body did not come, plain", 1016, {0x01, 0, 0, 0, 0x2C, 0x01, 0x05}, 2000, 2040, false,
         "St[1016] dT[    40] FLen[0007] Raw[01 00 00 00 2C 01 05 ]"},
        {"no data bytes, ten-digit address", 0, whole, 5, 5, true,
         "St[0000] dT[     0] FLen[0009] Adr[1364349780] Len[0000] Cmd[ 1] CS[05 4B] Data[]"},
        {"part of the body", 1016, {0x01, 0, 0, 0, 0x05, 0x00, 0x24, 0xAA, 0xBB, 0xCC}, 10, 20, true,
         "St[1016] dT[    10] FLen[0010] Adr[00000001] BadLen[0005] Cmd[36] Data[AA ]"},
        {"six bytes", 1016, {0x01, 0, 0, 0, 0x05, 0x00}, 10, 10, true,
         "St[1016] dT[     0] FLen[0006] Adr[00000001] BadLen[0005] "},
        {"five bytes", 1016, {0x0C, 0, 0, 0, 0x05}, 10, 10, true, "St[1016] dT[     0] FLen[0005] Adr[00000012] "},
        {"four bytes", 1016, {0x0C, 0, 0, 0}, 10, 10, true, "St[1016] dT[     0] FLen[0004] Adr[00000012] "},
        {"three bytes", 1016, {0x0C, 0, 0}, 10, 10, true, "St[1016] dT[     0] FLen[0003] "},
        {"no link", 1003, {}, 10, 12, true, "St[1003] dT[     2] FLen[0000] "},
        {"no link, plain", 1003, {}, 10, 12, false, "St[1003] dT[     2] FLen[0000] Raw[]"},
        {"length over the buffer", 1017, {0x01, 0, 0, 0, 0xD0, 0x07, 0x05}, 10, 10, true,
         "St[1017] dT[     0] FLen[0007] Adr[00000001] BadLen[2000] Cmd[ 5] "},
    };
    for (const Case& c : cases) {
        CVx3cMonitor m;
        m.isDecoded = c.decoded;
        m.lastShownTick = c.previous;
        EXPECT_EQ(m.Decode(c.status, c.bytes.data(), c.bytes.size(), c.tick), Lines{c.line}) << c.what;
        EXPECT_EQ(m.lastShownTick, c.tick) << c.what;
    }
}

// Pieces of a frame with D data bytes cut (or padded) to n bytes: the check bytes only for
// the whole frame, the data bytes as far as they came.
TEST(Vx3cMonitorLines, DataOfBrokenPiecesAsFarAsTheyCame)
{
    // D = 3: 01 00 00 00 | 03 00 | 05 | AA BB CC | xor sum, then three extra bytes.
    Bytes three = {0x01, 0, 0, 0, 0x03, 0x00, 0x05, 0xAA, 0xBB, 0xCC, 0, 0};
    FillCheckBytes(three.data(), 10);
    const std::string cs3 = [&] {
        char t[16];
        std::snprintf(t, sizeof t, "CS[%.2X %.2X] ", three[10], three[11]);
        return std::string(t);
    }();
    three.insert(three.end(), {0xD1, 0xD2, 0xD3});
    // D = 0: 01 00 00 00 | 00 00 | 05 | xor sum, then three extra bytes.
    Bytes zero = {0x01, 0, 0, 0, 0x00, 0x00, 0x05, 0, 0};
    FillCheckBytes(zero.data(), 7);
    const std::string cs0 = [&] {
        char t[16];
        std::snprintf(t, sizeof t, "CS[%.2X %.2X] ", zero[7], zero[8]);
        return std::string(t);
    }();
    zero.insert(zero.end(), {0xD1, 0xD2, 0xD3});
    struct Case {
        const Bytes* frame;
        std::size_t n;
        std::string fields;
    };
    const Case cases[] = {
        {&three, 7, "Adr[00000001] BadLen[0003] Cmd[ 5] "},
        {&three, 8, "Adr[00000001] BadLen[0003] Cmd[ 5] Data[]"},
        {&three, 9 + 3 - 1, "Adr[00000001] BadLen[0003] Cmd[ 5] Data[AA BB ]"},
        {&three, 9 + 3, "Adr[00000001] Len[0003] Cmd[ 5] " + cs3 + "Data[AA BB CC ]"},
        {&three, 9 + 3 + 3, "Adr[00000001] BadLen[0003] Cmd[ 5] Data[AA BB CC ]"},
        {&zero, 7, "Adr[00000001] BadLen[0000] Cmd[ 5] "},
        {&zero, 8, "Adr[00000001] BadLen[0000] Cmd[ 5] Data[]"},
        {&zero, 9, "Adr[00000001] Len[0000] Cmd[ 5] " + cs0 + "Data[]"},
        {&zero, 9 + 3, "Adr[00000001] BadLen[0000] Cmd[ 5] Data[]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CVx3cMonitor::Fields(c.frame->data(), c.n), c.fields) << c.n << " of " << c.frame->size();
}

TEST(Vx3cMonitorLines, SilenceAddsNoLineAndCountsIntoTheNextGap)
{
    CVx3cMonitor m;
    const Bytes piece = {0x01, 0, 0};
    // The first read after the start sets the reference, even when it is silent.
    EXPECT_TRUE(m.Decode(LINK_TIMEOUT, nullptr, 0, 100).empty());
    EXPECT_EQ(m.lastShownTick, 100u);
    EXPECT_TRUE(m.Decode(LINK_TIMEOUT, nullptr, 0, 350).empty());
    EXPECT_EQ(m.lastShownTick, 100u);
    EXPECT_EQ(m.Decode(LINK_TIMEOUT, piece.data(), piece.size(), 600), Lines{"St[1016] dT[   500] FLen[0003] "});
    // The clock wraps: differences stay right.
    m.lastShownTick = 0xFFFFFFF0u;
    EXPECT_EQ(m.Decode(LINK_TIMEOUT, piece.data(), piece.size(), 0x10), Lines{"St[1016] dT[    32] FLen[0003] "});
}

// ---- vx2 ---------------------------------------------------------------------------------

// One read as the capture does it: the length due at start, the piece at end.
Lines Read(CVx2Monitor& m, const Bytes& piece, std::uint32_t start, std::uint32_t end, int status = 0)
{
    const CVx2Monitor::SRead r = m.NextRead(start);
    return m.Decode(status, piece.data(), piece.size(), end, r.expectedLen);
}

TEST(Vx2MonitorLines, RequestAndAnswerAsShownInTheExamples)
{
    CVx2Monitor m;
    EXPECT_EQ(Read(m, Vx2Request(48), 990, 1000),
              Lines{"St[0000] dT[     0] FLen[0016] Adr[0000000C] Cmd[ 48] CS[3C 3C] Data[00 00 00 00 00 00 00 00 00 ]"});
    EXPECT_EQ(m.NextRead(1000).expectedLen, 8u);
    EXPECT_EQ(Read(m, Vx2Frame(12, 48, {0x05}), 1000, 1040),
              Lines{"St[0000] dT[    40] FLen[0008] Adr[0000000C] Ans[ 48] CS[39 41] Data[05 ]"});
    // After the answer a request is due again.
    EXPECT_EQ(m.NextRead(1040).expectedLen, 16u);
}

TEST(Vx2MonitorLines, AnswerLengthAndWaitFollowTheCommandCode)
{
    struct Case {
        std::uint32_t command;
        std::size_t length;
        std::uint32_t wait;
    };
    const Case cases[] = {{11, 32, 290}, {39, 32, 290}, {48, 8, 90},    {49, 32, 290},  {90, 72, 290},
                          {91, 72, 790}, {100, 72, 790}, {101, 72, 90}, {0x07, 32, 90}, {0x40, 72, 290}};
    for (const Case& c : cases) {
        CVx2Monitor m;
        m.lastMatched = true;
        m.lastLen = 16;
        m.lastCmd = c.command;
        m.lastReadEnd = 5000;
        EXPECT_EQ(m.NextRead(5000).expectedLen, c.length) << c.command;
        EXPECT_EQ(m.NextRead(5000).waitMs, c.wait) << c.command;
        // Only the rest of the wait is waited; once it has passed, the full wait again.
        EXPECT_EQ(m.NextRead(5030).waitMs, c.wait - 30) << c.command;
        EXPECT_EQ(m.NextRead(5000 + c.wait - 1).waitMs, 1u) << c.command;
        EXPECT_EQ(m.NextRead(5000 + c.wait).waitMs, c.wait) << c.command;
    }
    CVx2Monitor fresh; // a request is due: 16 bytes, 3 ms
    fresh.lastReadEnd = 100;
    EXPECT_EQ(fresh.NextRead(100).expectedLen, 16u);
    EXPECT_EQ(fresh.NextRead(100).waitMs, 3u);
    EXPECT_EQ(fresh.NextRead(102).waitMs, 1u);
    EXPECT_EQ(fresh.NextRead(500).waitMs, 3u);
}

TEST(Vx2MonitorLines, PiecesOfOtherKindsAndLengths)
{
    const Bytes request = Vx2Request(0x30);
    const Bytes modbus = Modbus({0x01, 0x03, 0x00, 0x10, 0x00, 0x02});
    {
        // A Modbus frame where the answer is due leaves the expected length alone.
        CVx2Monitor m;
        Read(m, request, 0, 10);
        EXPECT_EQ(Read(m, modbus, 10, 20), Lines{"St[0000] dT[    10] FLen[0008] CS[C5 CE] ModBusData[01 03 00 10 00 02 ]"});
        EXPECT_EQ(m.NextRead(20).expectedLen, 8u);
        EXPECT_TRUE(m.lastMatched);
        EXPECT_EQ(m.lastCmd, 0x30u);
    }
    {
        // An answer of another length is shown plain with "A "; so is a valid request where
        // an answer was due.
        CVx2Monitor m;
        Read(m, request, 0, 10);
        const Bytes longAnswer = Vx2Answer(0x30, 32);
        Lines lines = Read(m, longAnswer, 10, 20);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("St[0000] dT[    10] FLen[0032] A Raw[0C 00 00 00 30 01 02 ", 0), 0u) << lines[0];
        EXPECT_FALSE(m.lastMatched);
        EXPECT_EQ(m.NextRead(20).expectedLen, 16u);
        Read(m, Vx2Request(0x41), 20, 30);
        EXPECT_EQ(m.NextRead(30).expectedLen, 72u);
        EXPECT_EQ(Read(m, Vx2Request(0x07), 30, 40),
                  Lines{"St[0000] dT[    10] FLen[0016] A Raw[0C 00 00 00 07 00 00 00 00 00 00 00 00 00 0B 13 ]"});
        EXPECT_EQ(m.NextRead(40).expectedLen, 16u);
    }
    {
        // Pieces that are neither: "S " or "A " after the last valid frame, plain bytes.
        CVx2Monitor m;
        const Bytes one = {0x7E};
        EXPECT_EQ(Read(m, one, 0, 0, LINK_TIMEOUT), Lines{"St[1016] dT[     0] FLen[0001] A Raw[7E ]"});
        Read(m, request, 0, 10);
        EXPECT_EQ(Read(m, {0x0C, 0x00, 0x00}, 10, 20, LINK_TIMEOUT), Lines{"St[1016] dT[    10] FLen[0003] S Raw[0C 00 00 ]"});
        EXPECT_EQ(Read(m, {}, 20, 30, LINK_NOT_OPEN), Lines{"St[1003] dT[    10] FLen[0000] S Raw[]"});
    }
    {
        // Plain style: every valid frame with "S " or "A ".
        CVx2Monitor m;
        m.isDecoded = false;
        EXPECT_EQ(Read(m, request, 0, 5),
                  Lines{"St[0000] dT[     0] FLen[0016] S Raw[0C 00 00 00 30 00 00 00 00 00 00 00 00 00 3C 3C ]"});
        EXPECT_EQ(Read(m, Vx2Frame(12, 0x30, {0x05}), 5, 7), Lines{"St[0000] dT[     2] FLen[0008] S Raw[0C 00 00 00 30 05 39 41 ]"});
    }
}

TEST(Vx2MonitorLines, SeparatorAfterMoreThan150ms)
{
    CVx2Monitor m;
    const Bytes request = Vx2Request(0x07);
    const Bytes answer = Vx2Answer(0x07, 32);
    Read(m, request, 0, 1000);
    Lines lines = Read(m, answer, 1000, 1150);
    ASSERT_EQ(lines.size(), 1u) << "exactly 150 ms";
    lines = Read(m, request, 1150, 1301);
    ASSERT_EQ(lines.size(), 2u) << "151 ms";
    EXPECT_EQ(lines[0], "---------------------");
    EXPECT_EQ(lines[1].substr(0, 19), "St[0000] dT[   151]");
    // A silent read adds nothing and the gap goes on growing.
    EXPECT_TRUE(Read(m, {}, 1301, 1400, LINK_TIMEOUT).empty());
    lines = Read(m, answer, 1400, 1460);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(0, 19), "St[0000] dT[   159]");
}

TEST(Vx2MonitorLines, FilterDropsRequestsOrAnswersWithTheirSeparators)
{
    const Bytes request = Vx2Request(0x07);
    const Bytes answer = Vx2Answer(0x07, 32);
    const Bytes modbus = Modbus({0x01, 0x03, 0x00, 0x10, 0x00, 0x02});
    // "Запр.": requests only; answers give no line and no separator, Modbus frames and
    // unrecognised pieces still show.
    CVx2Monitor m;
    m.showFilter = CVx2Monitor::ShowRequests;
    EXPECT_EQ(Read(m, request, 0, 100).size(), 1u);
    EXPECT_TRUE(Read(m, answer, 100, 400).empty());
    EXPECT_EQ(m.NextRead(400).expectedLen, 16u) << "the dropped answer still moved the rhythm on";
    EXPECT_EQ(Read(m, modbus, 400, 410).size(), 1u);
    EXPECT_EQ(Read(m, {0x01, 0x02}, 410, 420, LINK_TIMEOUT).size(), 1u);
    Lines lines = Read(m, request, 420, 1000);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "---------------------");
    // A valid 16-byte frame where an answer was due counts as a request.
    EXPECT_EQ(Read(m, Vx2Request(0x07), 1000, 1010).size(), 1u);

    // "Отв.": answers only.
    CVx2Monitor a;
    a.showFilter = CVx2Monitor::ShowAnswers;
    EXPECT_TRUE(Read(a, request, 0, 1000).empty());
    lines = Read(a, answer, 1000, 1010);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Ans[  7]"), std::string::npos) << lines[0];
    Read(a, request, 1010, 1020);
    EXPECT_TRUE(Read(a, Vx2Request(0x07), 1020, 1030).empty()) << "a request where an answer was due";
}

// ---- capture steps on a scripted link --------------------------------------------------------

class FrameCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        state_ = std::make_shared<conntest::FakeLinkState>();
        conn_.SetLinkFactory(conntest::FakeFactory(state_));
        ASSERT_EQ(conn_.Open(), OK);
    }
    void Input(const Bytes& bytes) { state_->input.insert(state_->input.end(), bytes.begin(), bytes.end()); }

    std::shared_ptr<conntest::FakeLinkState> state_;
    connection conn_;
};

TEST_F(FrameCapture, StoppedCaptureDiscardsTrafficAndRunningCaptureShowsIt)
{
    CVx3cMonitor m;
    // A fixed clock: the silence step and the frame must fall on the same tick however slow the machine.
    m.SetClock([] { return std::uint32_t{5000}; });
    ASSERT_TRUE(m.isStopped);
    Bytes frame = {1, 0, 0, 0, 2, 0, 0x24, 7, 8, 0, 0};
    FillCheckBytes(frame.data(), 9);
    Input(frame);
    m.lastShownTick = 77;
    SCaptureStep step = m.CaptureStep(conn_);
    EXPECT_FALSE(step.read);
    EXPECT_TRUE(step.lines.empty());
    EXPECT_TRUE(state_->input.empty()) << "thrown away";
    EXPECT_EQ(m.lastShownTick, 0u);
    EXPECT_EQ(state_->calls, (std::vector<conntest::FakeCall>{{'P', PURGE_RXCLEAR, 0, 0}}));
    EXPECT_TRUE(state_->Calls('W').empty());

    m.isStopped = false;
    state_->calls.clear();
    step = m.CaptureStep(conn_);
    EXPECT_FALSE(step.read) << "silence";
    EXPECT_TRUE(step.lines.empty());
    Input(frame);
    step = m.CaptureStep(conn_);
    ASSERT_TRUE(step.read);
    ASSERT_EQ(step.lines.size(), 1u);
    EXPECT_EQ(step.lines[0].substr(0, 31), "St[0000] dT[     0] FLen[0011] ");
    EXPECT_NE(step.lines[0].find("Cmd[36] CS[28 36] Data[07 08 ]"), std::string::npos) << step.lines[0];
    EXPECT_EQ(step.piece.bytes, frame);
    EXPECT_EQ(step.piece.kind, MonitorKind::Vx3c);
    EXPECT_GT(step.piece.wallUs, 0);
    // Listening only: nothing was written and nothing purged while running.
    EXPECT_TRUE(state_->Calls('W').empty());
    EXPECT_TRUE(state_->Calls('P').empty());
}

TEST_F(FrameCapture, Vx2CaptureReadsTheLengthThatIsDue)
{
    std::uint32_t now = 1000;
    static std::uint32_t* clock = nullptr;
    clock = &now;
    CVx2Monitor m;
    m.SetClock([] { return *clock; });
    m.isStopped = false;
    Input(Vx2Request(0x30));
    Input(Vx2Frame(12, 0x30, {0x05}));
    SCaptureStep step = m.CaptureStep(conn_);
    ASSERT_EQ(step.lines.size(), 1u);
    EXPECT_NE(step.lines[0].find("Cmd[ 48]"), std::string::npos);
    EXPECT_EQ(step.piece.kind, MonitorKind::Vx2);
    EXPECT_EQ(step.piece.direction, DirectionRequest);
    now += 10;
    step = m.CaptureStep(conn_);
    ASSERT_EQ(step.lines.size(), 1u);
    EXPECT_NE(step.lines[0].find("FLen[0008] Adr[0000000C] Ans[ 48]"), std::string::npos) << step.lines[0];
    EXPECT_EQ(step.piece.direction, DirectionAnswer);
    // 16 bytes with 3 ms, then 8 with the 90 ms answer wait less the 10 ms already gone.
    const std::vector<conntest::FakeCall> reads = state_->Calls('R');
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].value, 16u);
    EXPECT_EQ(reads[0].timeout, 3u);
    EXPECT_EQ(reads[1].value, 8u);
    EXPECT_EQ(reads[1].timeout, 80u);
    EXPECT_TRUE(state_->Calls('W').empty());
}

TEST_F(FrameCapture, Vx2PiecesCarryTheirDirectionAndTheFilterKeepsThemOut)
{
    std::uint32_t now = 1000;
    static std::uint32_t* clock = nullptr;
    clock = &now;
    CVx2Monitor m;
    m.SetClock([] { return *clock; });
    m.isStopped = false;
    m.showFilter = CVx2Monitor::ShowRequests;
    Input(Vx2Request(0x30));
    Input(Vx2Frame(12, 0x30, {0x05}));
    Input(Modbus({0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    Input({0x01, 0x02, 0x03});
    struct Expected {
        std::uint8_t direction;
        bool filtered;
        int status;
        std::size_t lines;
    };
    const Expected expected[] = {{DirectionRequest, false, OK, 1},
                                 {DirectionAnswer, true, OK, 0},
                                 {PieceModbusFlag, false, OK, 1},
                                 {DirectionUnknown, false, LINK_TIMEOUT, 1}};
    for (const Expected& e : expected) {
        const SCaptureStep step = m.CaptureStep(conn_);
        now += 10;
        ASSERT_TRUE(step.read);
        EXPECT_EQ(step.piece.direction, e.direction) << step.piece.bytes.size();
        EXPECT_EQ(step.filtered, e.filtered) << step.piece.bytes.size();
        EXPECT_EQ(step.piece.status, e.status) << step.piece.bytes.size();
        EXPECT_EQ(step.lines.size(), e.lines) << step.piece.bytes.size();
    }
}

TEST_F(FrameCapture, ReadFailureWithoutBytesIsShown)
{
    conn_.Close(); // no link: every read fails at once
    CVx3cMonitor m;
    m.isStopped = false;
    const SCaptureStep step = m.CaptureStep(conn_);
    EXPECT_TRUE(step.read);
    EXPECT_EQ(step.lines, Lines{"St[1003] dT[     0] FLen[0000] "});
    EXPECT_TRUE(step.piece.bytes.empty());
}

TEST(FrameCaptureTcp, Vx2PieceShorterThanExpectedIsStampedAfterTheSilenceThatFollowsIt)
{
    // A 16-byte request is due (wait 3 ms); 10 bytes come while the read waits. On TCP the
    // piece ends once the line has been silent for 3 + 1000 ms after its last byte, so its
    // stamp lies that far behind the bytes, however long the read had waited before them.
    test::TcpPeer peer;
    ASSERT_TRUE(peer.Ok());
    connection conn;
    ConnectionSettings s = conn.Settings();
    s.port = "TCP/IP";
    s.IP = "127.0.0.1";
    s.TCPIPport = peer.Service();
    conn.SetSettings(s);
    ASSERT_EQ(conn.Open(), OK);
    ASSERT_TRUE(peer.Accept());
    CVx2Monitor m;
    m.isStopped = false;
    std::chrono::steady_clock::time_point sentAt;
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        sentAt = std::chrono::steady_clock::now();
        peer.Send(Bytes(10, 0x42));
    });
    const SCaptureStep step = m.CaptureStep(conn);
    const auto ended = std::chrono::steady_clock::now();
    device.join();
    ASSERT_TRUE(step.read);
    EXPECT_EQ(step.piece.status, LINK_TIMEOUT);
    EXPECT_EQ(step.piece.bytes.size(), 10u);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(ended - sentAt).count();
    EXPECT_GE(ms, 1000);
    EXPECT_LT(ms, 2500);
}

} // namespace
} // namespace vx4
