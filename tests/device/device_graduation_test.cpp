// Graduation pairs through the device's relay, and the gateway socket the device object
// keeps running while a configuration is loaded.

#include "device_fixture.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>
#include <sys/stat.h>

namespace vx4test {
namespace {

using vx4::CGiGeArray;
using vx4::GiGePair;

std::vector<GiGePair> Pairs(const CGiGeArray& t)
{
    std::vector<GiGePair> out;
    for (int i = 0; i < t.Count(); ++i)
        out.push_back(t.Get(i));
    return out;
}

class GraduationTest : public DeviceTest {
protected:
    void SetUp() override
    {
        StartSim();
        const float nan = std::numeric_limits<float>::quiet_NaN();
        sim->SetTransducers({{1001, {{3, 30}, {1, 10}, {2, nan}, {1, 11}}, false, 0},
                             {1002, {}, false, 0}});
        MakeObject();
    }
};

TEST_F(GraduationTest, PairsArriveOrderedAndNotANumberBecomesLarge)
{
    CGiGeArray table;
    ASSERT_EQ(obj->ReadGraduation(1001, table), 0);
    EXPECT_EQ(Pairs(table), (std::vector<GiGePair>{{1, 10}, {1, 11}, {2, 1.0e30f}, {3, 30}}));
    EXPECT_EQ(RequestsOf(vx4::CMD_RELAY).size(), 5u);

    // No pairs: an empty table and success.
    ASSERT_EQ(obj->ReadGraduation(1002, table), 0);
    EXPECT_EQ(table.Count(), 0);
}

TEST_F(GraduationTest, RequestsCarryTheTransducerAddressInVx2Frames)
{
    CGiGeArray table;
    ASSERT_EQ(obj->ReadGraduation(1001, table), 0);
    const auto relays = RequestsOf(vx4::CMD_RELAY);
    ASSERT_EQ(relays.size(), 5u);
    for (std::size_t i = 0; i < relays.size(); ++i) {
        const Bytes d = RequestData(relays[i]);
        ASSERT_EQ(d.size(), 20u); // 18 payload bytes and the two trailing ones
        EXPECT_EQ(d[0], 0);
        EXPECT_EQ(d[1], 2);
        const std::uint8_t* frame = d.data() + 2;
        EXPECT_EQ(vx4::GetU32(frame), vx4::Vx2Address(1001));
        EXPECT_EQ(frame[4], i == 0 ? 0x07 : 0x2B);
        EXPECT_EQ(frame[5], i == 0 ? 0 : i - 1);
        EXPECT_TRUE(vx4::CheckBytesValid(frame, 14));
    }
}

TEST_F(GraduationTest, FailuresAndShortAnswers)
{
    CGiGeArray table;
    table.Add(9, 90);
    // A relay answer too short to hold what is taken from it, at the count and at a pair.
    struct Case {
        const char* what;
        int shortAt;         // index of the relay answered short
        std::size_t length;  // data bytes of that answer
        int pairsLeft;
    };
    const Case cases[] = {
        {"count answer of 5 bytes", 0, 5, 1},  // the table keeps its old contents
        {"pair answer of 13 bytes", 2, 13, 1}, // the first pair stays
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto index = std::make_shared<std::atomic<int>>(0);
        const Case cc = c;
        sim->SetHook([this, index, cc](const Bytes& r) -> HookResult {
            if (RequestCommand(r) != vx4::CMD_RELAY || (*index)++ != cc.shortAt)
                return {};
            Bytes data(cc.length, 0);
            data[5 % cc.length] = 4;
            return Reply(Vx3cFrame(serial, vx4::CMD_RELAY, data));
        });
        EXPECT_EQ(obj->ReadGraduation(1001, table), vx4::FRAME_LENGTH_ERROR);
        EXPECT_EQ(table.Count(), c.pairsLeft);
    }
    EXPECT_EQ(table.Get(0), (GiGePair{3, 30})); // the transducer's first pair

    sim->SetHook([this](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_RELAY)
            return Reply(Vx3cFrame(serial, vx4::DEV_BAD_COMMAND, {}));
        return {};
    });
    EXPECT_EQ(obj->ReadGraduation(1001, table), vx4::DEV_BAD_COMMAND);
    EXPECT_EQ(table.Count(), 1); // unchanged by a failed first exchange
}

// The gateway: a hook answers every relay with the payload reversed and two marker bytes.
class GatewayTest : public DeviceTest {
protected:
    void SetUp() override
    {
        StartSim();
        sim->SetHook([this](const Bytes& r) -> HookResult {
            if (RequestCommand(r) != vx4::CMD_RELAY)
                return {};
            const Bytes d = RequestData(r);
            Bytes answer(d.rbegin() + 2, d.rend()); // without the two trailing bytes
            answer.insert(answer.end(), {0xAA, 0xBB}); // never the 4 bytes of a status word
            return Reply(Vx3cFrame(serial, vx4::CMD_RELAY, answer));
        });
        MakeObject();
        ASSERT_TRUE(Load());
        path = GatewayPath();
    }
    std::string path;
};

TEST_F(GatewayTest, ClientRequestIsRelayedToTheDevice)
{
    EXPECT_EQ(path, vx4::CPipeServer::SocketPath(serial));
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000)) << c.Error();
    ASSERT_TRUE(c.Send({1, 2, 3}));
    Bytes reply;
    ASSERT_EQ(c.Receive(&reply, 3000), 5);
    EXPECT_EQ(reply, (Bytes{3, 2, 1, 0xAA, 0xBB}));
    const auto relays = RequestsOf(vx4::CMD_RELAY);
    ASSERT_EQ(relays.size(), 1u);
    EXPECT_EQ(RequestAddress(relays[0]), serial);
    const Bytes d = RequestData(relays[0]);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 3), (Bytes{1, 2, 3}));
}

TEST_F(GatewayTest, OverlongMessageDropsTheClientAndASecondClientIsRefused)
{
    GatewayClient first;
    ASSERT_TRUE(first.ConnectWithin(path, 2000));
    ASSERT_TRUE(first.Send({7}));
    ASSERT_EQ(first.Receive(nullptr, 3000), 3);
    GatewayClient second;
    EXPECT_FALSE(second.Connect(path));
    EXPECT_EQ(second.Error(), ECONNREFUSED);

    ASSERT_TRUE(first.Send(Bytes(300, 1)));
    EXPECT_TRUE(first.ClosedByPeer(2000));
    ASSERT_TRUE(second.ConnectWithin(path, 2000));
    ASSERT_TRUE(second.Send({5, 6, 7}));
    Bytes reply;
    ASSERT_EQ(second.Receive(&reply, 3000), 5);
    EXPECT_EQ(reply, (Bytes{7, 6, 5, 0xAA, 0xBB}));
    EXPECT_EQ(RequestsOf(vx4::CMD_RELAY).size(), 2u); // the 300 bytes never reached the device
}

TEST_F(GatewayTest, FailedRelayIsAnsweredWithAnEmptyMessage)
{
    sim->SetHook([this](const Bytes& r) -> HookResult {
        if (RequestCommand(r) == vx4::CMD_RELAY)
            return Reply(Vx3cFrame(serial, vx4::DEV_SLAVE_ERROR, {}));
        return {};
    });
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000));
    ASSERT_TRUE(c.Send({1, 2, 3}));
    EXPECT_EQ(c.Receive(nullptr, 3000), 0);
    EXPECT_FALSE(c.ClosedByPeer(100)); // still connected
}

TEST_F(GatewayTest, GatewayStopsWhenTheObjectIsDestroyed)
{
    GatewayClient c;
    ASSERT_TRUE(c.ConnectWithin(path, 2000));
    const auto t0 = std::chrono::steady_clock::now();
    obj.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(c.ClosedByPeer(1000));
}

} // namespace
} // namespace vx4test
