#include "link/Connection.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/link_fake.h"
#include "link/link_tcp_server.h"
#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

using namespace vx4;
using vx4::conntest::FakeCall;
using vx4::conntest::FakeLinkState;
using vx4::test::ElapsedMs;
using vx4::test::TcpPeer;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::uint8_t> Vx3cFrame(std::uint32_t address, std::uint8_t command, std::vector<std::uint8_t> data,
                                    std::size_t announced = std::size_t(-1))
{
    std::vector<std::uint8_t> f(Vx3cFrameSize(data.size()));
    std::copy(data.begin(), data.end(), f.begin() + 7);
    BuildVx3cFrame(f.data(), address, std::uint16_t(data.size()), command);
    if (announced != std::size_t(-1))
        PutU16(f.data() + 4, std::uint16_t(announced));
    return f;
}

const std::vector<std::uint8_t> identify = {0x54, 0x53, 0x52, 0x51, 0x00, 0x00, 0x01, 0x05, 0x4B};

// A connection with a scripted link behind it, opened.
class ConnectionFake : public ::testing::Test {
protected:
    void SetUp() override
    {
        conn_.SetLinkFactory(conntest::FakeFactory(link_));
        conn_.SetClock(conntest::FakeClock);
        ASSERT_EQ(conn_.Open(), OK);
        answer_.fill(0);
    }
    std::shared_ptr<FakeLinkState> link_ = std::make_shared<FakeLinkState>();
    connection conn_;
    std::array<std::uint8_t, FrameCapacity> answer_{};
};

FakeCall P(std::uint32_t flags) { return {'P', flags, 0, 0}; }
FakeCall W(std::uint32_t n) { return {'W', n, 0, 0}; }
FakeCall R(std::uint32_t n) { return {'R', n, 0, 0}; }

// A scratch folder for INI files.
class ConnectionIni : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("vx4_conn_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "vx4pult.ini").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Put(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Content()
    {
        std::ifstream f(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    std::filesystem::path dir_;
    std::string path_;
};

struct Recorder : ConnectionListener {
    std::vector<std::pair<Field, std::string>> shown;
    void SettingShown(Field field, const std::string& text) override { shown.emplace_back(field, text); }
};
using F = ConnectionListener::Field;

} // namespace

TEST(Connection, StartsWithDefaultsAndNoLink)
{
    connection conn;
    const ConnectionSettings s = conn.Settings();
    EXPECT_EQ(s.port, "COM1");
    EXPECT_EQ(s.IP, "192.168.0.1");
    EXPECT_EQ(s.TCPIPport, "10001");
    EXPECT_EQ(s.speed, 9600u);
    EXPECT_EQ(s.dev_nom, 0u);
    EXPECT_EQ(s.AuxTmout, 0u);
    EXPECT_FALSE(conn.IsOpen());
    const ConnectionStatistics st = conn.Statistics();
    EXPECT_EQ(st.packetsOut + st.packetsOutFailed + st.packetsIn + st.packetsInFailed + st.lastError + st.maxTime +
                  st.avgTime,
              0u);
    std::uint8_t buf[FrameCapacity];
    std::size_t got = 0;
    EXPECT_EQ(conn.Exchange(identify.data(), identify.size(), buf, sizeof buf, 100, 1), LINK_NOT_OPEN);
    EXPECT_EQ(conn.ReceiveFrame(buf, sizeof buf, &got, 100, 1), LINK_NOT_OPEN);
    EXPECT_EQ(conn.ReadBytes(buf, 4, &got, 100, 1), LINK_NOT_OPEN);
    EXPECT_FALSE(conn.PurgeInput(8));
    EXPECT_EQ(conn.Statistics().packetsOutFailed, 0u);
}

TEST(Connection, OpenAndCloseAreCounted)
{
    auto link = std::make_shared<FakeLinkState>();
    connection conn;
    conn.SetLinkFactory(conntest::FakeFactory(link));
    EXPECT_EQ(conn.Open(), OK);
    EXPECT_EQ(conn.Open(), OK);
    EXPECT_EQ(link->creations, 1);
    conn.Close();
    EXPECT_TRUE(conn.IsOpen());
    EXPECT_TRUE(link->alive);
    conn.Close();
    EXPECT_FALSE(conn.IsOpen());
    EXPECT_FALSE(link->alive);
    conn.Close(); // one too many: nothing happens
    EXPECT_EQ(conn.Open(), OK);
    EXPECT_EQ(link->creations, 2);
    conn.Close();
    EXPECT_FALSE(link->alive);
}

TEST(Connection, FailedOpenKeepsTheLinkUntilTheLastClose)
{
    auto link = std::make_shared<FakeLinkState>();
    link->openResult = PORT_SET_STATE_FAILED;
    {
        connection conn;
        conn.SetLinkFactory(conntest::FakeFactory(link));
        EXPECT_EQ(conn.Open(), PORT_SET_STATE_FAILED);
        EXPECT_TRUE(conn.IsOpen());
        EXPECT_EQ(conn.Open(), OK); // the link object exists: counted, not opened again
        conn.Close();
        EXPECT_TRUE(conn.IsOpen());
    } // the destructor's one Close ends it
    EXPECT_FALSE(link->alive);

    // A link that cannot be created: 1007, nothing held, yet the opening counts.
    connection conn;
    conn.SetLinkFactory([](const ConnectionSettings&) { return std::unique_ptr<CLink>(); });
    EXPECT_EQ(conn.Open(), LINK_NO_MEMORY);
    EXPECT_FALSE(conn.IsOpen());
    conn.Close();
}

TEST(Connection, PortNameSelectsTheLink)
{
    connection conn;
    // Lower-case "tcp/ip" is a serial port name; no such port exists, so the serial link
    // fails to open, yet it stays until the last Close.
    ConnectionSettings s = conn.Settings();
    s.port = "tcp/ip";
    conn.SetSettings(s);
    EXPECT_EQ(conn.Open(), LINK_NOT_OPEN);
    EXPECT_TRUE(conn.IsOpen());
    std::uint8_t buf[FrameCapacity];
    EXPECT_EQ(conn.Exchange(identify.data(), identify.size(), buf, sizeof buf, 10, 3), LINK_NOT_OPEN);
    EXPECT_EQ(conn.Statistics().packetsOutFailed, 1u); // one try: the send failed
    conn.Close();
    EXPECT_FALSE(conn.IsOpen());

    // Exactly "TCP/IP": a TCP link to IP:TCPIPport.
    TcpPeer peer;
    ASSERT_TRUE(peer.Ok());
    s.port = "TCP/IP";
    s.IP = "127.0.0.1";
    s.TCPIPport = peer.Service();
    conn.SetSettings(s);
    EXPECT_EQ(conn.Open(), OK);
    EXPECT_TRUE(peer.Accept());
    conn.Close();
    EXPECT_TRUE(peer.SeesClose(1000));
}

TEST_F(ConnectionFake, ArgumentChecks)
{
    EXPECT_EQ(conn_.Exchange(nullptr, 9, answer_.data(), answer_.size(), 100, 1), LINK_BAD_ARGUMENT);
    EXPECT_EQ(conn_.Exchange(identify.data(), 0, answer_.data(), answer_.size(), 100, 1), LINK_BAD_ARGUMENT);
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), nullptr, 1024, 100, 1), LINK_BAD_ARGUMENT);
    EXPECT_EQ(conn_.ExchangeShort(identify.data(), identify.size(), nullptr, 1024, 100, 1), LINK_BAD_ARGUMENT);
    EXPECT_TRUE(link_->calls.empty()); // nothing was sent
    // No answer buffer and no capacity: sent, not awaited.
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), nullptr, 0, 100, 3), OK);
    EXPECT_EQ(link_->calls, (std::vector<FakeCall>{P(11), W(9)}));
    EXPECT_EQ(conn_.Statistics().packetsOut, 1u);
}

TEST_F(ConnectionFake, TriesArePurgedAndTimedOut)
{
    ConnectionSettings s = conn_.Settings();
    s.AuxTmout = 500;
    conn_.SetSettings(s);
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 800, 3), LINK_TIMEOUT);
    EXPECT_EQ(link_->calls, (std::vector<FakeCall>{P(11), W(9), R(7), P(11), W(9), R(7), P(11), W(9), R(7)}));
    for (const FakeCall& r : link_->Calls('R'))
        EXPECT_EQ(r.timeout, 1300u); // wait + extra delay for the header
    const ConnectionStatistics st = conn_.Statistics();
    EXPECT_EQ(st.packetsOut, 3u);
    EXPECT_EQ(st.packetsInFailed, 3u);
    EXPECT_EQ(st.packetsIn, 0u);
    EXPECT_EQ(st.lastError, std::uint32_t(LINK_TIMEOUT));

    // Zero tries count as one.
    link_->calls.clear();
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 800, 0), LINK_TIMEOUT);
    EXPECT_EQ(link_->calls.size(), 3u);
}

TEST_F(ConnectionFake, OversizedAnswerFailsAfterTheHeaderAndTheNextTryIsClean)
{
    // First try: a header announcing 2000 data bytes (more than a 1024-byte buffer takes),
    // with some of its bytes behind it; the purge before the second try drops them.
    std::vector<std::uint8_t> bad = Vx3cFrame(0x11, 0x01, std::vector<std::uint8_t>(20, 0xAA), 2000);
    const std::vector<std::uint8_t> good = Vx3cFrame(0x11, 0x01, {1, 2, 3});
    link_->answers = {bad, good};
    ConnectionSettings s = conn_.Settings();
    s.AuxTmout = 500;
    conn_.SetSettings(s);
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 2), OK);
    EXPECT_EQ(link_->calls, (std::vector<FakeCall>{P(11), W(9), R(7), P(11), W(9), R(7), R(5)}));
    EXPECT_EQ(link_->Calls('R').back().timeout, 3u + 12u); // the rest: length + 12, no extra delay
    EXPECT_TRUE(std::equal(good.begin(), good.end(), answer_.begin()));
    const ConnectionStatistics st = conn_.Statistics();
    EXPECT_EQ(st.packetsInFailed, 1u);
    EXPECT_EQ(st.packetsIn, 1u);
    EXPECT_EQ(st.lastError, std::uint32_t(FRAME_LENGTH_ERROR));

    // Every try oversized: 1017 each time, one header read per try.
    link_->calls.clear();
    link_->answers = {bad, bad};
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 2),
              FRAME_LENGTH_ERROR);
    EXPECT_EQ(link_->Calls('R'), (std::vector<FakeCall>{R(7), R(7)}));
    EXPECT_EQ(conn_.Statistics().packetsInFailed, 3u);
}

TEST_F(ConnectionFake, AnswerLimitsFollowTheBuffer)
{
    struct Case {
        const char* what;
        std::size_t capacity;
        std::size_t length;
        int code;
    };
    const Case cases[] = {
        {"fills the buffer exactly", 1024, 1015, OK},
        {"one byte too long", 1024, 1016, FRAME_LENGTH_ERROR},
        {"small buffer, fits", 20, 11, OK},
        {"small buffer, too long", 20, 12, FRAME_LENGTH_ERROR},
        {"no room for any frame", 8, 0, FRAME_LENGTH_ERROR},
    };
    for (const Case& c : cases) {
        link_->calls.clear();
        link_->input.clear();
        link_->answers = {Vx3cFrame(5, 0x02, std::vector<std::uint8_t>(c.length, 0x33))};
        std::vector<std::uint8_t> buf(c.capacity + 16, 0xCD); // guard bytes behind the capacity
        EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), buf.data(), c.capacity, 100, 1), c.code) << c.what;
        for (std::size_t i = c.capacity; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], 0xCD) << c.what << ": written past the buffer at " << i;
    }
}

TEST_F(ConnectionFake, IncompleteFramesAreLengthErrors)
{
    // A link that delivers fewer bytes than asked without failing: a cut header or a cut
    // body is 1017; a link that fails keeps its own code. Every byte that came is counted.
    std::vector<std::uint8_t> cutBody = Vx3cFrame(5, 0x02, {1, 2, 3, 4});
    cutBody.resize(cutBody.size() - 2);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> input;
        bool linkFails;
        int code;
        std::size_t received;
    };
    const Case cases[] = {
        {"cut header", {1, 2, 3}, false, FRAME_LENGTH_ERROR, 3},
        {"cut body", cutBody, false, FRAME_LENGTH_ERROR, cutBody.size()},
        {"cut header, link times out", {1, 2, 3}, true, LINK_TIMEOUT, 3},
        {"cut body, link times out", cutBody, true, LINK_TIMEOUT, cutBody.size()},
    };
    std::uint32_t failed = 0;
    for (const Case& c : cases) {
        link_->input.assign(c.input.begin(), c.input.end());
        link_->shortReadIsOk = !c.linkFails;
        std::size_t got = 99;
        EXPECT_EQ(conn_.ReceiveFrame(answer_.data(), answer_.size(), &got, 10, 1), c.code) << c.what;
        EXPECT_EQ(got, c.received) << c.what;
        const ConnectionStatistics st = conn_.Statistics();
        EXPECT_EQ(st.packetsInFailed, ++failed) << c.what;
        EXPECT_EQ(st.lastError, std::uint32_t(c.code)) << c.what;
        EXPECT_EQ(st.packetsIn, 0u) << c.what;
    }
}

TEST_F(ConnectionFake, FailedSendEndsTheExchangeAndLeavesLastError)
{
    // A failed answer read first sets lastError.
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 1), LINK_TIMEOUT);
    ASSERT_EQ(conn_.Statistics().lastError, std::uint32_t(LINK_TIMEOUT));

    struct Case {
        const char* what;
        int writeResult;
        std::size_t shortBy;
        int code;
    };
    const Case cases[] = {
        {"write failed", LINK_WRITE_FAILED, 0, LINK_WRITE_FAILED},
        {"link closed", LINK_NOT_OPEN, 0, LINK_NOT_OPEN},
        {"fewer bytes written", OK, 2, LINK_WRITE_FAILED},
    };
    std::uint32_t failed = 0;
    for (const Case& c : cases) {
        link_->calls.clear();
        link_->writeResult = c.writeResult;
        link_->writeShortBy = c.shortBy;
        EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 3), c.code)
            << c.what;
        EXPECT_EQ(link_->calls, (std::vector<FakeCall>{P(11), W(9)})) << c.what;
        const ConnectionStatistics st = conn_.Statistics();
        EXPECT_EQ(st.packetsOutFailed, ++failed) << c.what;
        EXPECT_EQ(st.lastError, std::uint32_t(LINK_TIMEOUT)) << c.what;
        EXPECT_EQ(st.packetsInFailed, 1u) << c.what;
    }
}

TEST_F(ConnectionFake, AnswerTimesFollowTheTimeRule)
{
    // Every answer takes 100 ms.
    link_->readDelayMs = 50; // two reads per answer
    std::vector<std::uint32_t> averages;
    for (int i = 0; i < 400; ++i) {
        link_->answers = {Vx3cFrame(5, 0x01, {})};
        ASSERT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 1), OK);
        averages.push_back(conn_.Statistics().avgTime);
    }
    EXPECT_EQ(std::vector<std::uint32_t>(averages.begin(), averages.begin() + 5),
              (std::vector<std::uint32_t>{2, 3, 4, 5, 6}));
    EXPECT_EQ(averages.back(), 51u); // (51 * 49 + 100) / 50 truncates to 51
    EXPECT_TRUE(std::is_sorted(averages.begin(), averages.end()));
    ConnectionStatistics st = conn_.Statistics();
    EXPECT_EQ(st.maxTime, 100u);
    EXPECT_EQ(st.packetsIn, 400u);
    EXPECT_EQ(st.packetsOut, 400u);

    // A longer answer raises maxTime; shorter ones leave it.
    link_->readDelayMs = 150;
    link_->answers = {Vx3cFrame(5, 0x01, {})};
    ASSERT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 1), OK);
    link_->readDelayMs = 1;
    link_->answers = {Vx3cFrame(5, 0x01, {})};
    ASSERT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 1), OK);
    EXPECT_EQ(conn_.Statistics().maxTime, 300u);

    // A failed read counts too, then everything goes back to 0.
    EXPECT_EQ(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 1), LINK_TIMEOUT);
    link_->writeResult = LINK_WRITE_FAILED;
    EXPECT_NE(conn_.Exchange(identify.data(), identify.size(), answer_.data(), answer_.size(), 100, 1), OK);
    st = conn_.Statistics();
    EXPECT_TRUE(st.packetsOut && st.packetsOutFailed && st.packetsIn && st.packetsInFailed && st.lastError &&
                st.maxTime && st.avgTime);
    conn_.ResetStatistics();
    st = conn_.Statistics();
    EXPECT_EQ(st.packetsOut + st.packetsOutFailed + st.packetsIn + st.packetsInFailed + st.lastError + st.maxTime +
                  st.avgTime,
              0u);
}

TEST_F(ConnectionFake, ShortFrames)
{
    ConnectionSettings s = conn_.Settings();
    s.AuxTmout = 40;
    conn_.SetSettings(s);
    const std::vector<std::uint8_t> request = {0x01, 0x00, 0xF0, 0x06, 0xF7, 0xF7};
    const std::vector<std::uint8_t> reply = {0x02, 0x00, 0xF0, 0x06, 0x07, 0x00, 0x00};
    std::vector<std::uint8_t> framed = reply;
    FillCheckBytes(framed.data(), 5);
    link_->answers = {framed};
    EXPECT_EQ(conn_.ExchangeShort(request.data(), request.size(), answer_.data(), answer_.size(), 200, 1), OK);
    EXPECT_EQ(link_->calls, (std::vector<FakeCall>{P(11), W(6), R(3), R(4)}));
    EXPECT_EQ(link_->Calls('R')[0].timeout, 240u);
    EXPECT_EQ(link_->Calls('R')[1].timeout, 14u);
    EXPECT_TRUE(CheckBytesValid(answer_.data(), 5));

    // Limit for a short frame in a 9-byte buffer: length <= 9 - 5.
    link_->answers = {std::vector<std::uint8_t>{0x04, 0x00, 0xF0, 1, 2, 3, 4, 0, 0}};
    EXPECT_EQ(conn_.ExchangeShort(request.data(), request.size(), answer_.data(), 9, 200, 1), OK);
    link_->answers = {std::vector<std::uint8_t>{0x05, 0x00, 0xF0, 1, 2, 3, 4, 5, 0, 0}};
    EXPECT_EQ(conn_.ExchangeShort(request.data(), request.size(), answer_.data(), 9, 200, 1), FRAME_LENGTH_ERROR);
}

TEST_F(ConnectionFake, ReceiveFrameSendsAndPurgesNothing)
{
    const std::vector<std::uint8_t> frame = Vx3cFrame(7, 0x24, {9, 9});
    link_->input.assign(frame.begin(), frame.end());
    std::size_t got = 0;
    EXPECT_EQ(conn_.ReceiveFrame(answer_.data(), answer_.size(), &got, 50, 3), OK);
    EXPECT_EQ(got, frame.size());
    EXPECT_EQ(link_->calls, (std::vector<FakeCall>{R(7), R(4)}));
    EXPECT_EQ(conn_.Statistics().packetsIn, 1u);

    link_->calls.clear();
    EXPECT_EQ(conn_.ReceiveFrame(answer_.data(), answer_.size(), &got, 50, 3), LINK_TIMEOUT);
    EXPECT_EQ(link_->calls, (std::vector<FakeCall>{R(7), R(7), R(7)}));
    EXPECT_EQ(conn_.Statistics().packetsInFailed, 3u);
    EXPECT_EQ(conn_.ReceiveFrame(nullptr, 1024, &got, 50, 1), LINK_BAD_ARGUMENT);
}

TEST_F(ConnectionFake, ReadBytesCountsOnlySuccesses)
{
    ConnectionSettings s = conn_.Settings();
    s.AuxTmout = 7;
    conn_.SetSettings(s);
    link_->input = {1, 2};
    std::uint8_t buf[4] = {};
    std::size_t got = 0;
    EXPECT_EQ(conn_.ReadBytes(buf, 4, &got, 30, 2), LINK_TIMEOUT);
    EXPECT_EQ(link_->calls, (std::vector<FakeCall>{R(4), R(4)}));
    EXPECT_EQ(link_->calls[0].timeout, 37u);
    EXPECT_EQ(got, 0u); // the count of the last try
    ConnectionStatistics st = conn_.Statistics();
    EXPECT_EQ(st.lastError, std::uint32_t(LINK_TIMEOUT));
    EXPECT_EQ(st.packetsInFailed, 0u);

    link_->input = {5, 6, 7, 8};
    link_->readDelayMs = 20;
    EXPECT_EQ(conn_.ReadBytes(buf, 4, &got, 30, 2), OK);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(buf[3], 8);
    st = conn_.Statistics();
    EXPECT_EQ(st.packetsIn, 1u);
    EXPECT_EQ(st.maxTime, 20u);

    EXPECT_TRUE(conn_.PurgeInput(8));
    EXPECT_EQ(link_->calls.back(), P(8));
}

TEST_F(ConnectionFake, OneExchangeHoldsTheLineForAllItsTries)
{
    link_->realReadSleepMs = 5;
    const std::vector<std::uint8_t> a = {0xA1, 0, 0, 0, 0, 0, 1, 0, 0};
    const std::vector<std::uint8_t> b = {0xB2, 0, 0, 0, 0, 0, 1, 0, 0};
    std::atomic<bool> go{false};
    auto run = [&](const std::vector<std::uint8_t>& req) {
        std::array<std::uint8_t, FrameCapacity> buf{};
        while (!go)
            std::this_thread::yield();
        for (int i = 0; i < 5; ++i)
            conn_.Exchange(req.data(), req.size(), buf.data(), buf.size(), 10, 3);
    };
    std::thread ta(run, a), tb(run, b);
    std::atomic<bool> stop{false};
    std::thread reader([&] { // the status bar reads statistics without the lock
        while (!stop)
            (void)conn_.Statistics();
    });
    go = true;
    ta.join();
    tb.join();
    stop = true;
    reader.join();
    std::lock_guard<std::recursive_mutex> hold(conn_.Lock());
    // Writes come in runs of three from the same requester.
    const std::vector<FakeCall> writes = link_->Calls('W');
    ASSERT_EQ(writes.size(), 30u);
    for (std::size_t i = 0; i < writes.size(); i += 3) {
        EXPECT_EQ(writes[i + 1].first, writes[i].first) << i;
        EXPECT_EQ(writes[i + 2].first, writes[i].first) << i;
    }
}

TEST_F(ConnectionIni, LoadReadsSixKeysWithTheirDefaults)
{
    Put("[CONNECTION]\n"
        "port=COM4\n"
        "IP=10.1.2.3\n"
        "TCPIPport=10001x\n"
        "AuxTmout=abc\n"
        "dev_nom=12abc\n");
    connection conn;
    Recorder rec;
    conn.SetListener(&rec);
    conn.LoadSettings(path_);
    ConnectionSettings s = conn.Settings();
    EXPECT_EQ(s.port, "COM4");
    EXPECT_EQ(s.IP, "10.1.2.3");
    EXPECT_EQ(s.TCPIPport, "10001");
    EXPECT_EQ(s.speed, 115200u); // missing: the file's default, not the 9600 of a new connection
    EXPECT_EQ(s.AuxTmout, 0u);
    EXPECT_EQ(s.dev_nom, 12u);
    EXPECT_EQ(conn.DeviceNumber(), 12u);
    const std::vector<std::pair<F, std::string>> expected = {
        {F::Port, "COM4"}, {F::IP, "10.1.2.3"}, {F::TCPIPport, "10001"},
        {F::Speed, "115200"}, {F::AuxTmout, "0"}, {F::DevNom, "12"},
    };
    EXPECT_EQ(rec.shown, expected);

    // No file at all: every default of the file.
    connection fresh;
    fresh.LoadSettings((dir_ / "missing.ini").string());
    s = fresh.Settings();
    EXPECT_EQ(s.port, "COM1");
    EXPECT_EQ(s.IP, "192.168.0.1");
    EXPECT_EQ(s.TCPIPport, "10001");
    EXPECT_EQ(s.speed, 115200u);
    EXPECT_EQ(s.AuxTmout, 0u);
    EXPECT_EQ(s.dev_nom, 1u);

    // A port number that is no number becomes "0".
    Put("[connection]\nTCPIPport=abc\n");
    fresh.LoadSettings(path_);
    EXPECT_EQ(fresh.Settings().TCPIPport, "0");
}

TEST_F(ConnectionIni, SaveWritesFiveKeysAndKeepsTheRest)
{
    Put("[WINDOW]\nleft=3\n\n[CONNECTION]\ndev_nom=77\nport=COM9\n");
    connection conn;
    ConnectionSettings s = conn.Settings();
    s.port = "TCP/IP";
    s.IP = "127.0.0.1";
    s.TCPIPport = "502";
    s.speed = 4294967295u;
    s.AuxTmout = 250;
    s.dev_nom = 5;
    conn.SetSettings(s);
    conn.SaveSettings(path_);
    EXPECT_EQ(Content(), "[WINDOW]\nleft=3\n\n[CONNECTION]\ndev_nom=77\nport=TCP/IP\nIP=127.0.0.1\n"
                         "TCPIPport=502\nspeed=4294967295\nAuxTmout=250\n");
    connection back;
    back.LoadSettings(path_);
    const ConnectionSettings r = back.Settings();
    EXPECT_EQ(r.port, "TCP/IP");
    EXPECT_EQ(r.speed, 4294967295u);
    EXPECT_EQ(r.AuxTmout, 250u);
    EXPECT_EQ(r.dev_nom, 77u); // dev_nom is the main window's to write
}

TEST(Connection, OverridesReplaceOnlyWhatIsGiven)
{
    connection conn;
    Recorder rec;
    conn.SetListener(&rec);
    ConnectionSettings s = conn.Settings();
    s.AuxTmout = 300;
    s.dev_nom = 8;
    conn.SetSettings(s);

    conn.ApplyOverrides("", "", "", 0, 0, 0);
    s = conn.Settings();
    EXPECT_EQ(s.port, "COM1");
    EXPECT_EQ(s.speed, 9600u);
    EXPECT_EQ(s.dev_nom, 8u);
    EXPECT_EQ(s.AuxTmout, 0u); // the extra delay is always replaced
    EXPECT_EQ(rec.shown, (std::vector<std::pair<F, std::string>>{{F::AuxTmout, "0"}}));

    rec.shown.clear();
    conn.ApplyOverrides("COM5", "10.0.0.2", "4001", 57600, 1234, 20);
    s = conn.Settings();
    EXPECT_EQ(s.port, "COM5");
    EXPECT_EQ(s.IP, "10.0.0.2");
    EXPECT_EQ(s.TCPIPport, "4001");
    EXPECT_EQ(s.speed, 57600u);
    EXPECT_EQ(s.dev_nom, 1234u);
    EXPECT_EQ(s.AuxTmout, 20u);
    const std::vector<std::pair<F, std::string>> expected = {
        {F::IP, "10.0.0.2"}, {F::TCPIPport, "4001"}, {F::Speed, "57600"}, {F::AuxTmout, "20"}, {F::DevNom, "1234"},
    };
    EXPECT_EQ(rec.shown, expected);
}

TEST(ConnectionTcp, ExchangeOverALoopbackPeer)
{
    TcpPeer peer;
    ASSERT_TRUE(peer.Ok());
    connection conn;
    conn.ApplyOverrides("TCP/IP", "127.0.0.1", peer.Service(), 0, 0, 0);
    ASSERT_EQ(conn.Open(), OK);
    ASSERT_TRUE(peer.Accept());

    // The device answers 100 ms after the request.
    const std::vector<std::uint8_t> reply = Vx3cFrame(123456, 0x01, std::vector<std::uint8_t>(42, 0x10));
    std::thread device([&] {
        if (peer.Receive(identify.size(), 2000) == identify) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            peer.Send(reply);
        }
    });
    std::array<std::uint8_t, FrameCapacity> answer{};
    EXPECT_EQ(conn.Exchange(identify.data(), identify.size(), answer.data(), answer.size(), 800, 3), OK);
    device.join();
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), answer.begin()));
    const ConnectionStatistics st = conn.Statistics();
    EXPECT_EQ(st.packetsIn, 1u);
    EXPECT_GE(st.maxTime, 95u);
    EXPECT_LE(st.maxTime, 1000u);
    EXPECT_EQ(st.avgTime, st.maxTime / 50);
    conn.Close();
}

TEST(ConnectionTcp, LateAnswerIsDroppedBeforeTheNextExchange)
{
    // The first request is answered only after its exchange gave up; the next exchange
    // must get its own answer, not the stale one.
    TcpPeer peer;
    ASSERT_TRUE(peer.Ok());
    connection conn;
    conn.ApplyOverrides("TCP/IP", "127.0.0.1", peer.Service(), 0, 0, 0);
    ASSERT_EQ(conn.Open(), OK);
    ASSERT_TRUE(peer.Accept());
    const std::vector<std::uint8_t> stale = Vx3cFrame(1, 0x01, {0x0A});
    const std::vector<std::uint8_t> fresh = Vx3cFrame(1, 0x02, {0x0B});
    std::array<std::uint8_t, FrameCapacity> answer{};

    const auto start = Clock::now();
    EXPECT_EQ(conn.Exchange(identify.data(), identify.size(), answer.data(), answer.size(), 0, 1), LINK_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 900); // a TCP header read waits wait + 1000 ms
    ASSERT_EQ(peer.Receive(identify.size(), 1000).size(), identify.size());
    peer.Send(stale);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::thread device([&] {
        if (peer.Receive(identify.size(), 2000).size() == identify.size())
            peer.Send(fresh);
    });
    EXPECT_EQ(conn.Exchange(identify.data(), identify.size(), answer.data(), answer.size(), 500, 1), OK);
    device.join();
    EXPECT_EQ(answer[6], 0x02);
    conn.Close();
}
