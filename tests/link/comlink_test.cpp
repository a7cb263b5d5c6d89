#include "link/Comlink.h"
#include "link/ResultCodes.h"
#include "link/link_pty.h"
#include "platform/SerialSpeed.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <termios.h>
#include <thread>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vx4;
using vx4::test::ElapsedMs;
using vx4::test::PtyPair;
using Clock = std::chrono::steady_clock;

TEST(ComLinkPath, MapsPortNamesToDevices)
{
    struct Case {
        const char* name;
        const char* path;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},      {"COM10", "/dev/ttyS9"},        {"com3", "/dev/ttyS2"},
        {"/dev/pts/3", "/dev/pts/3"}, {"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"ttyUSB0", "/dev/ttyUSB0"},
        {"COM0", "/dev/COM0"},       {"COMx", "/dev/COMx"},          {"COM", "/dev/COM"},
        {"tcp/ip", "/dev/tcp/ip"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CComLink::DevicePath(c.name), c.path) << c.name;
}

TEST(ComLink, ArgumentsAndClosedPort)
{
    CComLink link("/dev/null-not-a-port", 9600, 0);
    std::uint8_t buf[8];
    std::size_t count = 99;
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.Read(buf, 0, &count, 10), LINK_BAD_ARGUMENT);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(link.Read(nullptr, 4, &count, 10), LINK_BAD_ARGUMENT);
    EXPECT_EQ(link.Write(buf, 0, &count), LINK_BAD_ARGUMENT);
    EXPECT_EQ(link.Read(buf, 4, &count, 10), LINK_NOT_OPEN);
    EXPECT_EQ(link.Write(buf, 4, &count), LINK_NOT_OPEN);
    EXPECT_FALSE(link.Purge(PURGE_RXCLEAR));
    EXPECT_EQ(link.Open(true), LINK_NOT_OPEN);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.Open(false), OK); // closing a closed link is fine
}

TEST(ComLink, RefusesWhatIsNotATerminal)
{
    const auto file = std::filesystem::temp_directory_path() / ("vx4_notaport_" + std::to_string(::getpid()));
    std::ofstream(file) << "data";
    CComLink link(file.string(), 9600, 0);
    EXPECT_EQ(link.Open(true), LINK_NOT_OPEN);
    EXPECT_FALSE(link.IsOpen());
    std::filesystem::remove(file);
    // A folder is no port either.
    CComLink dir("/tmp", 9600, 0);
    EXPECT_EQ(dir.Open(true), LINK_NOT_OPEN);
}

class ComLinkPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()); }
    PtyPair pty_;
};

TEST_F(ComLinkPty, OpensRawWithTheLineSettings)
{
    struct Case {
        std::uint32_t speed;
        std::uint32_t stopBits;
        bool twoStopBits;
    };
    const Case cases[] = {
        {115200, 0, false}, {9600, 1, true}, {19200, 2, true}, {57600, 7, true}, {250000, 0, false},
    };
    for (const Case& c : cases) {
        CComLink link(pty_.Path(), c.speed, c.stopBits);
        ASSERT_EQ(link.Open(true), OK) << c.speed;
        EXPECT_TRUE(link.IsOpen());
        termios tio{};
        ASSERT_EQ(::tcgetattr(pty_.Slave(), &tio), 0);
        EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
        EXPECT_FALSE(tio.c_cflag & PARENB);
        EXPECT_EQ(bool(tio.c_cflag & CSTOPB), c.twoStopBits) << c.stopBits;
        EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON));
        EXPECT_FALSE(tio.c_oflag & OPOST);
        EXPECT_EQ(GetSerialSpeed(pty_.Slave()), c.speed);
        EXPECT_EQ(link.Open(false), OK);
        EXPECT_FALSE(link.IsOpen());
    }
}

TEST_F(ComLinkPty, PortIsTakenExclusively)
{
    // Another program tries the port while the link holds it, and again after the link
    // closed. The superuser may open an exclusive terminal anyway, so the other program
    // runs as an unprivileged user.
    ASSERT_EQ(::chmod(pty_.Path().c_str(), 0666), 0);
    const std::string path = pty_.Path();
    auto otherOpens = [&path]() -> int {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::geteuid() == 0 && ::setuid(65534) != 0)
                ::_exit(2);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ::_exit(fd >= 0 ? 0 : (errno == EBUSY ? 1 : 3));
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
    };
    CComLink link(path, 9600, 0);
    ASSERT_EQ(link.Open(true), OK);
    const int held = otherOpens();
    if (held == 2)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(held, 1); // busy
    link.Open(false);
    EXPECT_EQ(otherOpens(), 0); // free again, although the terminal itself stays open
}

TEST_F(ComLinkPty, BytesPassUnchangedBothWays)
{
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    // Line ends, interrupt, XON/XOFF, NUL and 0xFF would all be touched by a cooked line.
    const std::vector<std::uint8_t> bytes = {0x0A, 0x0D, 0x03, 0x11, 0x13, 0x00, 0xFF, 0x7F, 0x1A, 0x04, 0x54};
    std::size_t sent = 0;
    ASSERT_EQ(link.Write(bytes.data(), bytes.size(), &sent), OK);
    EXPECT_EQ(sent, bytes.size());
    EXPECT_EQ(pty_.Receive(bytes.size(), 1000), bytes);

    pty_.Send(bytes);
    std::vector<std::uint8_t> in(bytes.size());
    std::size_t got = 0;
    EXPECT_EQ(link.Read(in.data(), in.size(), &got, 300), OK);
    EXPECT_EQ(got, bytes.size());
    EXPECT_EQ(in, bytes);
}

TEST_F(ComLinkPty, SilentLineTimesOutAtTheDeadline)
{
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    std::uint8_t buf[7];
    std::size_t got = 99;
    const auto start = Clock::now();
    EXPECT_EQ(link.Read(buf, 7, &got, 300), LINK_TIMEOUT);
    const auto ms = ElapsedMs(start);
    EXPECT_EQ(got, 0u);
    // Two empty read calls of 307 ms (1 ms per byte plus 300 ms): the first ends before
    // 300 + 100 ms have passed, the second after.
    EXPECT_GE(ms, 600);
    EXPECT_LE(ms, 1200);
}

TEST_F(ComLinkPty, BurstsFiftyMillisecondsApartMakeOneRead)
{
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    std::thread device([&] {
        pty_.Send({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty_.Send({4, 5, 6, 7});
    });
    std::uint8_t buf[7] = {};
    std::size_t got = 0;
    const int code = link.Read(buf, 7, &got, 300);
    device.join();
    EXPECT_EQ(code, OK);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 7), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(ComLinkPty, DrippingBytesEndTheReadAtItsDeadline)
{
    // One byte every 150 ms: each read call brings a byte, yet the read as a whole ends once
    // the time-out plus 100 ms plus the line time of 20 bytes at 1200 bit/s (167 ms) has
    // passed since the first byte.
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    std::atomic<bool> stop{false};
    std::thread device([&] {
        for (std::uint8_t i = 0; i < 20 && !stop; ++i) {
            pty_.Send({i});
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
    std::uint8_t buf[20] = {};
    std::size_t got = 0;
    const auto start = Clock::now();
    const int code = link.Read(buf, 20, &got, 300);
    const auto ms = ElapsedMs(start);
    stop = true;
    device.join();
    EXPECT_EQ(code, LINK_TIMEOUT);
    // What came before the deadline is reported, in order.
    EXPECT_GE(got, 2u);
    EXPECT_LE(got, 4u);
    for (std::size_t i = 0; i < got; ++i)
        EXPECT_EQ(buf[i], i);
    EXPECT_GE(ms, 400);
    EXPECT_LT(ms, 1000);
}

TEST_F(ComLinkPty, LineTimeIsAddedToTheDeadline)
{
    // 120 bytes at 1200 bit/s take a second on the line: a read with a time-out of 50 ms
    // still waits for them when they come at that pace.
    CComLink link(pty_.Path(), 1200, 0);
    ASSERT_EQ(link.Open(true), OK);
    std::thread device([&] {
        for (std::uint8_t i = 0; i < 12; ++i) {
            pty_.Send(std::vector<std::uint8_t>(10, i));
            std::this_thread::sleep_for(std::chrono::milliseconds(80));
        }
    });
    std::uint8_t buf[120] = {};
    std::size_t got = 0;
    const int code = link.Read(buf, sizeof buf, &got, 50);
    device.join();
    EXPECT_EQ(code, OK);
    EXPECT_EQ(got, sizeof buf);
    EXPECT_EQ(buf[119], 11);
}

TEST_F(ComLinkPty, PartialAnswerReportsWhatCame)
{
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    pty_.Send({9, 8, 7});
    std::uint8_t buf[10] = {};
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(link.Read(buf, 10, &got, 200), LINK_TIMEOUT);
    const auto ms = ElapsedMs(start);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(buf[2], 7);
    // First call brings 3 bytes at once, then two empty calls of 207 ms.
    EXPECT_GE(ms, 300);
    EXPECT_LE(ms, 1000);
}

TEST_F(ComLinkPty, PurgeDropsPendingInput)
{
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    pty_.Send({1, 2, 3, 4});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(link.Purge(PURGE_TXABORT | PURGE_RXABORT)); // nothing to abort: succeeds, drops nothing
    std::uint8_t kept[2] = {};
    std::size_t keptCount = 0;
    EXPECT_EQ(link.Read(kept, 2, &keptCount, 100), OK);
    EXPECT_EQ(keptCount, 2u);
    EXPECT_EQ(kept[0], 1);
    EXPECT_EQ(kept[1], 2);
    EXPECT_TRUE(link.Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_RXCLEAR)); // drops 3 and 4
    pty_.Send({42});
    std::uint8_t b = 0;
    std::size_t got = 0;
    EXPECT_EQ(link.Read(&b, 1, &got, 100), OK);
    EXPECT_EQ(b, 42);
    EXPECT_TRUE(link.Purge(PURGE_TXCLEAR));
    EXPECT_TRUE(link.Purge(PURGE_TXCLEAR | PURGE_RXCLEAR));
}

TEST_F(ComLinkPty, WriteReturnsOnceTheOutputQueueHasGoneOut)
{
    // A pseudo-terminal passes bytes on at once; the probe plays a port still sending.
    CComLink link(pty_.Path(), 9600, 0);
    ASSERT_EQ(link.Open(true), OK);
    std::vector<int> answers = {900, 400, 12, 0};
    std::size_t asked = 0;
    link.SetOutputQueueProbe([&](int) { return answers[std::min(asked++, answers.size() - 1)]; });
    const std::vector<std::uint8_t> bytes(1015, 0x55);
    std::size_t sent = 0;
    EXPECT_EQ(link.Write(bytes.data(), bytes.size(), &sent), OK);
    EXPECT_EQ(sent, bytes.size());
    EXPECT_EQ(asked, answers.size()); // asked until the queue was empty, then no more
    EXPECT_EQ(pty_.Receive(bytes.size(), 1000).size(), bytes.size());
}

TEST_F(ComLinkPty, OutputThatNeverGoesOutFailsTheWriteAfterTheWriteTimeout)
{
    CComLink link(pty_.Path(), 9600, 0);
    ASSERT_EQ(link.Open(true), OK);
    link.SetOutputQueueProbe([](int) { return 3; }); // a stopped line: tcdrain would never return
    const std::vector<std::uint8_t> bytes(100, 0x55);
    std::size_t sent = 0;
    const auto start = Clock::now();
    EXPECT_EQ(link.Write(bytes.data(), bytes.size(), &sent), LINK_WRITE_FAILED);
    const auto ms = ElapsedMs(start);
    EXPECT_EQ(sent, 97u); // what left the queue
    // The line time of 100 bytes at 9600 bit/s (104 ms) plus 300 ms.
    EXPECT_GE(ms, 390);
    EXPECT_LE(ms, 3000);
}

TEST_F(ComLinkPty, SlowPortGetsTheLineTimeOfItsBytesToWrite)
{
    // 100 bytes at 1200 bit/s take 833 ms on the line, far more than 1 ms a byte: the probe
    // plays a port whose queue drains at that speed.
    CComLink link(pty_.Path(), 1200, 0);
    ASSERT_EQ(link.Open(true), OK);
    const auto start = Clock::now();
    link.SetOutputQueueProbe([start](int) {
        const long long left = 100 - ElapsedMs(start) * 120 / 1000;
        return int(std::max(left, 0ll));
    });
    const std::vector<std::uint8_t> bytes(100, 0x55);
    std::size_t sent = 0;
    EXPECT_EQ(link.Write(bytes.data(), bytes.size(), &sent), OK);
    EXPECT_EQ(sent, bytes.size());
    EXPECT_GE(ElapsedMs(start), 800);
}

TEST_F(ComLinkPty, HungUpLineFailsTheReadAtOnce)
{
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    pty_.CloseMaster();
    std::uint8_t buf[4];
    std::size_t got = 0;
    const auto start = Clock::now();
    EXPECT_EQ(link.Read(buf, 4, &got, 2000), LINK_READ_FAILED);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_TRUE(link.IsOpen());
    EXPECT_EQ(link.Write(buf, 4, &got), LINK_WRITE_FAILED);
}

TEST_F(ComLinkPty, ReopenCloses)
{
    CComLink link(pty_.Path(), 115200, 0);
    ASSERT_EQ(link.Open(true), OK);
    ASSERT_EQ(link.Open(true), OK); // reopening an open link
    pty_.Send({5});
    std::uint8_t b = 0;
    std::size_t got = 0;
    EXPECT_EQ(link.Read(&b, 1, &got, 100), OK);
    EXPECT_EQ(link.Open(false), OK);
    EXPECT_EQ(link.Read(&b, 1, &got, 100), LINK_NOT_OPEN);
}
