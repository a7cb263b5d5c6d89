// Commands over the pseudo-terminal transport: the connection opens the simulator's pty
// as its serial port, so the serial link carries every byte.

#include "vx4prot_fixture.h"

#include "link/ResultCodes.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

using namespace vx4;
using namespace vx4test;

TEST_F(PtySimTest, IdentifySummaryAndEchoOverTheSerialLink)
{
    SDevIdent ident;
    ASSERT_EQ(Identify(conn, AnyDeviceAddress, &ident), 0);
    EXPECT_EQ(ident.serial, address);
    SConfigInfo info;
    ASSERT_EQ(ReadConfigSummary(conn, address, &info), 0);
    EXPECT_EQ(info.itemCount, sim.ItemCount());
    for (std::uint16_t n : {0, 64, 1015})
        EXPECT_EQ(Echo(conn, address, n), 0) << n;
}

TEST_F(PtySimTest, ReadFileWithATimedOutBlockOverTheSerialLink)
{
    Bytes content(4000);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = std::uint8_t(i ^ (i >> 8));
    sim.SetFile("event.dat", content);
    // The device answers the second block request, but the answer never arrives.
    auto blocks = std::make_shared<std::atomic<int>>(0);
    sim.SetHook([&, blocks](const Bytes& r) {
        if (RequestCommand(r) == CMD_FILE_BLOCK && blocks->fetch_add(1) == 1) {
            sim.Answer(r); // the device moves on to the next block
            return Silent();
        }
        return Normal();
    });
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ReadFile(conn, address, "event.dat", f), 0);
    std::rewind(f);
    Bytes got(content.size() + 10);
    got.resize(std::fread(got.data(), 1, got.size(), f));
    std::fclose(f);
    EXPECT_EQ(got, content);
    const auto reqs = RequestsOf(CMD_FILE_BLOCK);
    ASSERT_GE(reqs.size(), 4u);
    EXPECT_EQ(RequestData(reqs[1]), Bytes{FILE_NEXT_BLOCK});
    EXPECT_EQ(RequestData(reqs[2]), Bytes{FILE_REPEAT_BLOCK});
    EXPECT_EQ(RequestData(reqs[3]), Bytes{FILE_NEXT_BLOCK});
}

TEST_F(PtySimTest, TestClockOverTheSerialLink)
{
    EXPECT_EQ(TestClock(conn, address), 0);
    sim.ClearRequests();
    sim.SetHook([](const Bytes&) { return Silent(); });
    EXPECT_EQ(TestClock(conn, address), -1);
    EXPECT_EQ(sim.Requests().size(), 2u);
}

TEST_F(PtySimTest, FullFrameBackToBackArrivesWholeAtSlowLineSpeeds)
{
    // The largest answer, sent as the line carries it: the body alone takes 1.06 s at 9600
    // bit/s and 8.5 s at 1200, far past its length + 12 ms, yet a healthy line never times out.
    Bytes data(1015);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 7);
    const Bytes answer = Vx3cFrame(address, CMD_IDENTIFY, data);
    // The hook keeps its own copy: the simulator's thread never reads the test's locals.
    sim.SetHook([answer](const Bytes&) { return Reply(answer); });
    for (std::uint32_t speed : {9600u, 1200u}) {
        SCOPED_TRACE(speed);
        conn.Close();
        ConnectionSettings s = conn.Settings();
        s.speed = speed;
        conn.SetSettings(s);
        ASSERT_EQ(conn.Open(), 0);
        sim.SetBaud(speed);
        const Bytes request = Vx3cFrame(address, CMD_IDENTIFY, {});
        Bytes got(1024);
        const auto before = conn.Statistics();
        EXPECT_EQ(conn.Exchange(request.data(), request.size(), got.data(), got.size(), 800, 1), 0);
        EXPECT_EQ(got, answer);
        EXPECT_EQ(conn.Statistics().packetsIn, before.packetsIn + 1);
    }
}

TEST_F(SimTest, DrippingDeviceEndsTheExchangeAtTheHeaderDeadline)
{
    // Every answer trickles out one byte every 400 ms: the header read gives up once its
    // wait plus 1000 ms has passed, whatever came by then.
    vx4sim::Faults f;
    std::string error;
    ASSERT_TRUE(vx4sim::ParseFaults("drip=1:400", &f, &error)) << error;
    sim.SetFaults(f);
    const Bytes request = Vx3cFrame(address, CMD_IDENTIFY, {});
    Bytes got(1024);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn.Exchange(request.data(), request.size(), got.data(), got.size(), 300, 1), LINK_TIMEOUT);
    EXPECT_LT(SecondsSince(start), 2.5);
    EXPECT_EQ(conn.Statistics().lastError, std::uint32_t(LINK_TIMEOUT));
    EXPECT_EQ(conn.Statistics().packetsIn, 0u);
}

TEST_F(SimTest, LargestAnswerArrivesWholeOverTcpFromASlowLineBehindTheConverter)
{
    // A serial-to-TCP converter in front of a 1200 bit/s line: the 1015 data bytes take
    // 8.5 s to come, far past the wait plus 1000 ms, yet they keep coming and are all taken.
    Bytes data(1015);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 11);
    const Bytes answer = Vx3cFrame(address, CMD_IDENTIFY, data);
    sim.SetHook([answer](const Bytes&) { return Reply(answer); });
    sim.SetBaud(1200);
    const Bytes request = Vx3cFrame(address, CMD_IDENTIFY, {});
    Bytes got(1024);
    EXPECT_EQ(conn.Exchange(request.data(), request.size(), got.data(), got.size(), 800, 1), 0);
    EXPECT_EQ(got, answer);
}

TEST_F(PtySimTest, ConfigurationReadsWhenTheLineIsSlowerThanThePort)
{
    // A radio modem: the port runs at 115200 bit/s, the device's bytes come at 2400.
    sim.SetBaud(2400);
    std::uint8_t block[1024];
    std::size_t length = 0;
    ASSERT_EQ(ReadConfigBlock(conn, address, CONFIG_FIRST_BLOCK, block, sizeof block, &length), 0);
    EXPECT_GT(length, 300u); // far more than the port's speed would let come in time
    SConfigInfo info;
    EXPECT_EQ(ReadConfigSummary(conn, address, &info), 0);
}

TEST_F(SimTest, AfterACutAnswerTheNextExchangeSucceedsOnItsFirstTry)
{
    // A long answer at 2400 bit/s is cut by a cancel while its body comes in; the rest that
    // is still coming must not be read as the next answer.
    auto first = std::make_shared<std::atomic<bool>>(true);
    const Bytes longAnswer = Vx3cFrame(address, CMD_ECHO, Bytes(600, 0x55));
    sim.SetHook([first, longAnswer](const Bytes& r) {
        if (RequestCommand(r) == CMD_ECHO && first->exchange(false))
            return Reply(longAnswer);
        return Normal();
    });
    sim.SetBaud(2400);
    const Bytes echo = Vx3cFrame(address, CMD_ECHO, Bytes(4, 1));
    Bytes got(1024);
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // about 60 of its 609 bytes in
        cancel = true;
    });
    {
        const connection::CancelScope scope(&cancel);
        EXPECT_EQ(conn.Exchange(echo.data(), echo.size(), got.data(), got.size(), 800, 3), LINK_TIMEOUT);
    }
    canceller.join();
    EXPECT_EQ(RequestsOf(CMD_ECHO).size(), 1u);
    SDevIdent ident;
    EXPECT_EQ(Identify(conn, address, &ident), 0);
    EXPECT_EQ(RequestsOf(CMD_IDENTIFY).size(), 1u); // one try was enough
}
