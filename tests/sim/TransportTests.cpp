// The simulator's transports: identification over TCP and a pseudo-terminal, silence on
// frames it must not answer, one client after another, faults, the hook and the line model.

#include "SimTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

void ExpectIdentification(const vx4sim::Simulator& sim, const Bytes& answer)
{
    ASSERT_TRUE(ValidVx3c(answer)) << "answer of " << answer.size() << " bytes";
    EXPECT_EQ(answer[6], 0x01);
    const Bytes d = DataOf(answer);
    ASSERT_EQ(d.size(), 42u);
    EXPECT_EQ(vx4::GetU32(&d[21]), sim.Serial());
    EXPECT_EQ(vx4::GetU32(answer.data()), sim.Serial());
}

struct Served {
    vx4sim::Simulator sim;
    int fd = -1;
    explicit Served(bool pty)
    {
        std::string error;
        if (pty) {
            EXPECT_TRUE(sim.StartPty(&error)) << error;
            EXPECT_EQ(sim.PtyPath().rfind("/dev/pts/", 0), 0u) << sim.PtyPath();
            fd = OpenPty(sim.PtyPath());
        } else {
            EXPECT_TRUE(sim.StartTcp("127.0.0.1", 0, &error)) << error;
            EXPECT_NE(sim.Port(), 0);
            fd = ConnectTcp(sim.Port());
        }
        EXPECT_GE(fd, 0);
    }
    ~Served()
    {
        if (fd >= 0)
            close(fd);
        sim.Stop();
    }
};

} // namespace

class TransportTest : public ::testing::TestWithParam<bool> {};

TEST_P(TransportTest, AnswersIdentificationAtAnyDeviceAddressAndItsOwn)
{
    Served s(GetParam());
    ASSERT_TRUE(WriteAll(s.fd, Request(vx4::AnyDeviceAddress, 0x01)));
    ExpectIdentification(s.sim, ReadAnswer(s.fd));
    ASSERT_TRUE(WriteAll(s.fd, Request(s.sim.Serial(), 0x01)));
    ExpectIdentification(s.sim, ReadAnswer(s.fd));
    EXPECT_EQ(s.sim.Requests().size(), 2u);
}

TEST_P(TransportTest, StaysSilentOnFramesNotForItAndRecoversAfterwards)
{
    Served s(GetParam());
    Bytes badCheck = Request(s.sim.Serial(), 0x01);
    badCheck.back() ^= 1;
    const Bytes cases[] = {
        badCheck,
        Request(s.sim.Serial() + 1, 0x01),           // another device
        Request(vx4::AnyDeviceAddress, 0x02),         // the any-device address only identifies
        Request(s.sim.Serial() + 1, 0x08, {1, 2, 3}),
    };
    for (const Bytes& req : cases) {
        ASSERT_TRUE(WriteAll(s.fd, req));
        EXPECT_TRUE(ReadSome(s.fd, 1, 300).empty());
    }
    ASSERT_TRUE(WriteAll(s.fd, Request(s.sim.Serial(), 0x01)));
    ExpectIdentification(s.sim, ReadAnswer(s.fd));
    EXPECT_EQ(s.sim.Requests().size(), 5u);
}

TEST_P(TransportTest, AnswersTheShortClockTestFrame)
{
    Served s(GetParam());
    ASSERT_TRUE(WriteAll(s.fd, ShortRequest(0xF0, {0x06})));
    const Bytes a = ReadSome(s.fd, 6, 2000);
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(vx4::GetU16(a.data()), 1);
    EXPECT_EQ(a[2], 0xF0);
    EXPECT_TRUE(vx4::CheckBytesValid(a.data(), 4));
}

INSTANTIATE_TEST_SUITE_P(TcpAndPty, TransportTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pty" : "Tcp"; });

TEST(TcpTransport, ServesTheNextClientAfterTheFirstDisconnects)
{
    vx4sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.StartTcp("127.0.0.1", 0, &error)) << error;
    for (int i = 0; i < 2; ++i) {
        const int fd = ConnectTcp(sim.Port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAll(fd, Request(sim.Serial(), 0x01)));
        ExpectIdentification(sim, ReadAnswer(fd));
        close(fd);
    }
    EXPECT_EQ(sim.ConnectionsServed(), 2u);
    sim.Stop();
    // A stopped simulator no longer accepts.
    EXPECT_LT(ConnectTcp(sim.Port()), 0);
}

TEST(TcpTransport, RefusesASecondStart)
{
    vx4sim::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.StartTcp("127.0.0.1", 0, &error));
    EXPECT_FALSE(sim.StartPty(&error));
    EXPECT_FALSE(error.empty());
}

TEST(Hook, ReplacesOrSilencesAnswers)
{
    Served s(false);
    const Bytes custom = Request(s.sim.Serial(), 0x01, {9, 9});
    s.sim.SetHook([&](const Bytes& req) {
        vx4sim::HookResult r;
        if (req[6] == 0x02)
            r.kind = vx4sim::HookResult::Silent;
        else if (req[6] == 0x01) {
            r.kind = vx4sim::HookResult::Replace;
            r.bytes = custom;
        }
        return r;
    });
    ASSERT_TRUE(WriteAll(s.fd, Request(s.sim.Serial(), 0x01)));
    EXPECT_EQ(ReadAnswer(s.fd), custom);
    ASSERT_TRUE(WriteAll(s.fd, Request(s.sim.Serial(), 0x02)));
    EXPECT_TRUE(ReadSome(s.fd, 1, 300).empty());
    ASSERT_TRUE(WriteAll(s.fd, Request(s.sim.Serial(), 0x08, {1})));
    EXPECT_EQ(ReadAnswer(s.fd), Request(s.sim.Serial(), 0x08, {1}));
}

TEST(Faults, EachKindShowsOnTheLine)
{
    struct Case {
        const char* faults;
        int expect;  // 0 silent, 1 refusal 251, 2 wrong command, 3 bad check, 4 truncated
    } cases[] = {{"noanswer=1", 0}, {"busy=1", 1}, {"wrongcmd=1", 2}, {"badcheck=1", 3}, {"truncated=1", 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        Served s(false);
        vx4sim::Faults f;
        std::string error;
        ASSERT_TRUE(vx4sim::ParseFaults(c.faults, &f, &error)) << error;
        s.sim.SetFaults(f);
        const Bytes req = Request(s.sim.Serial(), 0x08, {1, 2, 3, 4});
        ASSERT_TRUE(WriteAll(s.fd, req));
        const Bytes a = c.expect == 4 ? ReadSome(s.fd, req.size(), 400) : ReadAnswer(s.fd, 400);
        switch (c.expect) {
        case 0: EXPECT_TRUE(a.empty()); break;
        case 1: ASSERT_TRUE(ValidVx3c(a)); EXPECT_EQ(a[6], 251); break;
        case 2: ASSERT_TRUE(ValidVx3c(a)); EXPECT_NE(a[6], 0x08); EXPECT_EQ(DataOf(a), Bytes({1, 2, 3, 4})); break;
        case 3: EXPECT_EQ(a.size(), req.size()); EXPECT_FALSE(ValidVx3c(a)); break;
        case 4: EXPECT_GE(a.size(), 1u); EXPECT_LT(a.size(), req.size()); break;
        }
    }
}

TEST(Faults, BusyDoesNotCarryTheCommandOut)
{
    vx4sim::Faults f;
    f.busy = 1;
    Served s(false);
    s.sim.SetFaults(f);
    const std::size_t before = s.sim.SystemEventsLeft();
    ASSERT_TRUE(WriteAll(s.fd, Request(s.sim.Serial(), 0x04, {1})));
    const Bytes a = ReadAnswer(s.fd);
    ASSERT_TRUE(ValidVx3c(a));
    EXPECT_EQ(a[6], 251);
    EXPECT_EQ(s.sim.SystemEventsLeft(), before);
}

TEST(Faults, DelayPostponesTheAnswer)
{
    Served s(false);
    vx4sim::Faults f;
    ASSERT_TRUE(vx4sim::ParseFaults("delay=1:300", &f, nullptr));
    s.sim.SetFaults(f);
    const auto t0 = Clock::now();
    ASSERT_TRUE(WriteAll(s.fd, Request(s.sim.Serial(), 0x01)));
    ExpectIdentification(s.sim, ReadAnswer(s.fd));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(280));
}

// At 9600 bit/s a byte takes 1.04 ms: an echo of 200 data bytes (209-byte frames both
// ways) starts about 218 ms after the request and ends about 436 ms after it.
TEST(LineModel, PacesAnswersAtTheBaudRate)
{
    Served s(true);
    s.sim.SetBaud(9600);
    Bytes data(200);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = std::uint8_t(i * 7);
    const Bytes req = Request(s.sim.Serial(), 0x08, data);
    const auto t0 = Clock::now();
    ASSERT_TRUE(WriteAll(s.fd, req));
    const Bytes first = ReadSome(s.fd, 1, 3000);
    const auto tFirst = Clock::now() - t0;
    Bytes rest = ReadSome(s.fd, req.size() - 1, 3000);
    const auto tAll = Clock::now() - t0;
    ASSERT_EQ(first.size() + rest.size(), req.size());
    using ms = std::chrono::milliseconds;
    EXPECT_GE(tFirst, ms(190));
    EXPECT_GE(tAll, ms(400));
    EXPECT_LT(tAll, ms(1500));

    s.sim.SetBaud(0);
    const auto t1 = Clock::now();
    ASSERT_TRUE(WriteAll(s.fd, req));
    EXPECT_EQ(ReadAnswer(s.fd).size(), req.size());
    EXPECT_LT(Clock::now() - t1, ms(150));
}

// Two requests written together: the second answer waits for the first to leave the line.
TEST(LineModel, AnswersOneAfterAnotherOnABusyLine)
{
    Served s(false);
    s.sim.SetBaud(9600);
    Bytes both = Request(s.sim.Serial(), 0x08, Bytes(50, 0x11));
    const Bytes second = Request(s.sim.Serial(), 0x08, Bytes(50, 0x22));
    both.insert(both.end(), second.begin(), second.end());
    const auto t0 = Clock::now();
    ASSERT_TRUE(WriteAll(s.fd, both));
    const Bytes a = ReadSome(s.fd, both.size(), 3000);
    ASSERT_EQ(a, both);
    // 4 frames of 59 bytes, about 246 ms.
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(220));
}
