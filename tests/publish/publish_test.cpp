// vx4ctl publish against a real mosquitto and the simulated device: the topics and their
// payloads, the retained state a late subscriber finds, the last will, nothing lost while the
// broker or vx4ctl itself is away, the device lost and back, and the refusals of a wrong
// password and of a certificate that is not trusted.

#include "MqttBroker.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

using namespace ctltest;
using namespace mqtttest;
using nlohmann::json;

namespace {

const std::string DataDir = std::string(VX4_SOURCE_DIR) + "/data";

std::string Base(const SimDevice& dev) { return "vx4/" + std::to_string(dev.sim.Serial()) + "/"; }

std::vector<std::string> PublishArgs(const SimDevice& dev, const Broker& broker, std::vector<std::string> more)
{
    std::vector<std::string> args{"publish", "--broker", broker.Url(), "--interval", "200"};
    args.insert(args.end(), more.begin(), more.end());
    return dev.Args(args);
}

// The last seq the publisher numbered (kept in its spool).
std::uint64_t SpoolSeq(const TempDir& spool, const SimDevice& dev)
{
    const std::string text = ReadFile(spool.File("vx4ctl-" + std::to_string(dev.sim.Serial()) + ".seq"));
    return text.empty() ? 0 : std::stoull(text);
}

std::uint64_t MaxSeq(Subscriber& sub, const std::string& base)
{
    const auto seqs = Seqs(sub.Payloads(base + "values"));
    return seqs.empty() ? 0 : *std::max_element(seqs.begin(), seqs.end());
}

// The messages Paho keeps in the spool (one file each).
std::size_t SpooledMessages(const TempDir& spool)
{
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(spool.Path()))
        n += entry.path().filename().string().rfind("c-", 0) == 0;
    return n;
}

// Every number 1..last (but gap) arrived, in order (a QoS-1 repeat may come twice, never
// out of turn).
void ExpectEverySeqInOrder(const std::vector<std::uint64_t>& seqs, std::uint64_t last, std::uint64_t gap = 0)
{
    std::vector<std::uint64_t> firsts;
    std::set<std::uint64_t> seen;
    for (std::uint64_t s : seqs)
        if (seen.insert(s).second)
            firsts.push_back(s);
    std::vector<std::uint64_t> expected(last);
    for (std::uint64_t i = 0; i < last; ++i)
        expected[i] = i + 1;
    if (gap != 0)
        expected.erase(std::remove(expected.begin(), expected.end(), gap), expected.end());
    EXPECT_EQ(firsts, expected);
}

bool HasPayload(const std::vector<Message>& messages, const std::string& topic, const std::string& payload)
{
    return std::any_of(messages.begin(), messages.end(),
                       [&](const Message& m) { return m.topic == topic && m.payload == payload; });
}

TEST(Publish, BadUsageIsRefusedWithExitTwoBeforeTheDeviceIsAsked)
{
    SimDevice dev;
    const std::uint16_t port = ClosedPort();
    const std::string broker = "mqtt://127.0.0.1:" + std::to_string(port);
    struct Case {
        std::vector<std::string> args;
        const char* message; // part of the message on standard error
    };
    const Case cases[] = {
        {{"--broker", "http://x", "17"}, "expected mqtt://HOST[:PORT]"},
        {{"--broker", "mqtt://host:0", "17"}, "cannot parse broker"},
        {{"--broker", broker, "--all", "17"}, "not both"},
        {{"--broker", broker}, "or --all"},
        {{"--broker", broker, "70000"}, "out of range 0..65535"},
        {{"--broker", broker, "--qos", "2", "17"}, "--qos"},
        {{"--broker", broker, "--interval", "50", "17"}, "--interval"},
        {{"--broker", broker, "--password-file", "/etc/hostname", "17"}, "needs --user"},
        {{"--broker", broker, "--cafile", "/etc/hostname", "17"}, "needs an mqtts://"},
        {{"--broker", broker, "--prefix", "a/#", "17"}, "--prefix"},
        {{"17"}, "--broker"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"publish"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = RunCtl(dev.Args(args));
        EXPECT_EQ(r.status, 2) << c.message << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_TRUE(dev.sim.Requests().empty());
}

TEST(Publish, TopicsPayloadsAndTheRetainedStateALateSubscriberFinds)
{
    SimDevice dev;
    Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::string base = Base(dev);
    Subscriber live(broker.PahoUri(), "live", true);
    ASSERT_TRUE(live.Connect("vx4/#"));

    Process pub(CtlPath(), PublishArgs(dev, broker, {"--count", "3", "17", "15"}), DataDir);
    ASSERT_EQ(pub.Wait(), 0) << pub.Err();
    // The clean stop's offline comes after everything else.
    ASSERT_TRUE(live.WaitFor([&](const auto& m) { return HasPayload(m, base + "status", "offline"); }));

    EXPECT_EQ(live.Payloads(base + "status"), (std::vector<std::string>{"online", "offline"}));
    const auto values = live.Payloads(base + "values");
    ASSERT_EQ(values.size(), 3u);
    const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    for (std::size_t i = 0; i < values.size(); ++i) {
        const json v = json::parse(values[i]);
        EXPECT_EQ(v.size(), 3u) << values[i];
        EXPECT_EQ(v.at("seq"), i + 1);
        EXPECT_TRUE(std::regex_match(v.at("time").get<std::string>(), utc)) << values[i];
        ASSERT_EQ(v.at("values").size(), 2u);
        EXPECT_EQ(v["values"][0].at("id"), 17);
        EXPECT_EQ(v["values"][1].at("id"), 15);
        for (const json& one : v["values"]) {
            EXPECT_TRUE(one.at("value").is_number()) << values[i];
            EXPECT_TRUE(one.at("status").is_number_unsigned()) << values[i];
        }
    }

    Subscriber late(broker.PahoUri(), "late", true);
    ASSERT_TRUE(late.Connect("vx4/#"));
    ASSERT_TRUE(late.WaitFor([](const auto& m) { return m.size() >= 4; }));
    const auto retained = late.Messages();
    for (const Message& m : retained)
        EXPECT_TRUE(m.retained) << m.topic;
    EXPECT_EQ(late.Payloads(base + "values").size(), 0u);
    EXPECT_EQ(late.Payloads(base + "status"), std::vector<std::string>{"offline"});
    ASSERT_EQ(late.Payloads(base + "link").size(), 1u);
    EXPECT_EQ(json::parse(late.Payloads(base + "link")[0]), json({{"state", "up"}}));

    // info: what `vx4ctl --json info` prints (the clock aside, which moves on).
    const RunResult info = RunCtl(dev.Args({"--json", "info"}));
    ASSERT_EQ(info.status, 0) << info.err;
    const json expected = json::parse(info.out);
    ASSERT_EQ(late.Payloads(base + "info").size(), 1u);
    const json published = json::parse(late.Payloads(base + "info")[0]);
    for (const char* key : {"ident", "summary", "archives"})
        EXPECT_EQ(published.at(key), expected.at(key)) << key;
    EXPECT_TRUE(published.at("clock").is_string());

    ASSERT_EQ(late.Payloads(base + "items").size(), 1u);
    const json items = json::parse(late.Payloads(base + "items")[0]);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].at("id"), 17);
    EXPECT_EQ(items[0].at("system"), 1);
    EXPECT_EQ(items[0].at("name"), "T1");
    EXPECT_EQ(items[0].at("unit"), "°C");
    EXPECT_EQ(items[1].at("name"), "G1");
    EXPECT_EQ(items[1].at("unit"), "м3/ч");
}

TEST(Publish, EverySeqReachesAPersistentSubscriberAcrossABrokerRestart)
{
    SimDevice dev;
    Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::string base = Base(dev);
    Subscriber sub(broker.PahoUri(), "keeper", false);
    ASSERT_TRUE(sub.Connect(base + "values"));
    TempDir spool;
    Process pub(CtlPath(), PublishArgs(dev, broker, {"--spool", spool.Path(), "17"}), DataDir);
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= 2; })) << pub.Err();

    broker.Stop(); // saves the subscriber's session
    const std::uint64_t atStop = SpoolSeq(spool, dev);
    // Cycles go on while the broker is away.
    ASSERT_TRUE(WaitUntil([&] { return SpoolSeq(spool, dev) >= atStop + 3; })) << pub.Err();
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(sub.Connect(base + "values"));
    const std::uint64_t atStart = SpoolSeq(spool, dev);
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= atStart + 2; })) << pub.Err();

    pub.Signal(SIGTERM);
    EXPECT_EQ(pub.Wait(), 0) << pub.Err();
    const std::uint64_t last = SpoolSeq(spool, dev);
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= last; }));
    ExpectEverySeqInOrder(Seqs(sub.Payloads(base + "values")), last);
    EXPECT_NE(pub.Err().find("was lost"), std::string::npos) << pub.Err();
}

// A persistent subscriber has its session on the broker, and the broker is away.
class PublishWhileTheBrokerIsAway : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(broker.Start());
        ASSERT_TRUE(sub.Connect(base + "values"));
        sub.Disconnect();
        broker.Stop();
    }
    SimDevice dev;
    Broker broker;
    const std::string base = Base(dev);
    Subscriber sub{broker.PahoUri(), "keeper", false};
    TempDir spool;
};

TEST_F(PublishWhileTheBrokerIsAway, ARestartWithTheSameSpoolDeliversWhatTheKilledOneHeld)
{
    const auto args = PublishArgs(dev, broker, {"--spool", spool.Path(), "17"});
    std::uint64_t held = 0;
    {
        Process first(CtlPath(), args, DataDir);
        ASSERT_TRUE(WaitUntil([&] { return SpoolSeq(spool, dev) >= 3; })) << first.Err();
        first.Signal(SIGKILL);
        first.Wait();
        held = SpoolSeq(spool, dev);
    }
    // The number is kept before its message is handed over; a kill between the two loses
    // that one message, and its number stays a gap. Messages kept: link, info, items and
    // the values.
    const bool lastKept = SpooledMessages(spool) >= 3 + held;
    ASSERT_TRUE(broker.Start());
    Process second(CtlPath(), args, DataDir);
    ASSERT_TRUE(sub.Connect(base + "values"));
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= held + 2; })) << second.Err();
    second.Signal(SIGINT);
    EXPECT_EQ(second.Wait(), 0) << second.Err();
    const std::uint64_t last = SpoolSeq(spool, dev);
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= last; }));
    ExpectEverySeqInOrder(Seqs(sub.Payloads(base + "values")), last, lastKept ? 0 : held);
    EXPECT_GE(last, held + 2);
}

TEST_F(PublishWhileTheBrokerIsAway, AFullSpoolDropsTheOldestAndSaysHowMany)
{
    // Five messages kept: link, info and items come first and are the first to go.
    Process pub(CtlPath(), PublishArgs(dev, broker, {"--spool", spool.Path(), "--spool-limit", "5", "17"}), DataDir);
    ASSERT_TRUE(WaitUntil([&] { return SpoolSeq(spool, dev) >= 8; })) << pub.Err();
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(sub.Connect(base + "values"));
    ASSERT_TRUE(WaitUntil([&] { return pub.Err().find("oldest messages were dropped") != std::string::npos; }))
        << pub.Err();
    const std::uint64_t seqAtReport = SpoolSeq(spool, dev);
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= seqAtReport + 1; })) << pub.Err();
    pub.Signal(SIGTERM);
    EXPECT_EQ(pub.Wait(), 0) << pub.Err();

    // What arrived is the newest: the first ones are gone, the last one numbered came.
    const std::uint64_t last = SpoolSeq(spool, dev);
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= last; }));
    const auto seqs = Seqs(sub.Payloads(base + "values"));
    const std::uint64_t first = *std::min_element(seqs.begin(), seqs.end());
    EXPECT_GT(first, 1u);
    // One line, with the number dropped: at least the three retained messages and the values
    // before the first that came. One handed over just as the broker comes back may go too,
    // and the client library's own bound may drop one more then without telling.
    const std::string err = pub.Err();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, std::regex("the spool was full: the (\\d+) oldest messages were dropped")))
        << err;
    EXPECT_GE(std::stoull(m[1]) + 1, 3 + first - 1) << err;
    EXPECT_EQ(err.find("oldest messages"), err.rfind("oldest messages")) << err;
    // The retained state the drop took is published again once connected.
    Subscriber late(broker.PahoUri(), "late", true);
    ASSERT_TRUE(late.Connect(base + "#"));
    EXPECT_TRUE(late.WaitFor([&](const auto&) { return late.Payloads(base + "items").size() == 1; }));
}

TEST(Publish, TheDeviceAbsentLostAndBackShowsOnLinkAndAKilledPublisherLeavesItsWill)
{
    // The device is not there yet when the publisher starts.
    const std::uint16_t port = ClosedPort();
    auto device = std::make_unique<vx4sim::Simulator>();
    const std::string base = "vx4/" + std::to_string(device->Serial()) + "/";
    Broker broker;
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.PahoUri(), "watcher", true);
    ASSERT_TRUE(sub.Connect("vx4/#"));
    Process pub(CtlPath(),
                {"--port", "127.0.0.1:" + std::to_string(port), "--dev", std::to_string(device->Serial()), "publish",
                 "--broker", broker.Url(), "--interval", "200", "17"},
                DataDir);
    auto links = [&] {
        std::vector<json> out;
        for (const std::string& p : sub.Payloads(base + "link"))
            out.push_back(json::parse(p));
        return out;
    };
    auto lastLinkIs = [&](const char* state) {
        const auto l = links();
        return !l.empty() && l.back().at("state") == state;
    };
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(WaitUntil([&] { return lastLinkIs("down"); })) << round << pub.Err();
        const json down = links().back();
        EXPECT_TRUE(down.at("code").is_number_integer()) << down;
        EXPECT_FALSE(down.at("text").get<std::string>().empty()) << down;
        const std::uint64_t beforeBack = MaxSeq(sub, base);
        if (round == 1)
            device = std::make_unique<vx4sim::Simulator>(); // back on the same port
        std::string err;
        ASSERT_TRUE(device->StartTcp("127.0.0.1", port, &err)) << err;
        ASSERT_TRUE(sub.WaitFor([&](const auto&) { return MaxSeq(sub, base) >= beforeBack + 2; })) << pub.Err();
        EXPECT_TRUE(lastLinkIs("up"));
        if (round == 0)
            device->Stop(); // lost
    }
    // A failed cycle took no number.
    ExpectEverySeqInOrder(Seqs(sub.Payloads(base + "values")), MaxSeq(sub, base));

    pub.Signal(SIGKILL);
    pub.Wait();
    ASSERT_TRUE(sub.WaitFor([&](const auto&) { return sub.Payloads(base + "status").back() == "offline"; }));
    Subscriber late(broker.PahoUri(), "late", true);
    ASSERT_TRUE(late.Connect(base + "status"));
    ASSERT_TRUE(late.WaitFor([](const auto& m) { return !m.empty(); }));
    EXPECT_EQ(late.Messages()[0].payload, "offline");
}

TEST(Publish, AWrongPasswordIsACleanErrorAndTheSecretStaysUnsaid)
{
    TempDir dir;
    const RunResult made = RunProgram("/usr/bin/mosquitto_passwd", {"-b", "-c", dir.File("passwd"), "plant", "right-secret"});
    ASSERT_EQ(made.status, 0) << made.err;
    SimDevice dev;
    Broker broker(BrokerOptions{dir.File("passwd"), {}, {}});
    ASSERT_TRUE(broker.Start());

    // A password file its group or others may read is refused before anything is sent.
    WriteFile(dir.File("open"), "right-secret\n");
    for (const mode_t mode : {0644, 0640}) {
        ::chmod(dir.File("open").c_str(), mode);
        const RunResult open =
            RunCtl(PublishArgs(dev, broker, {"--user", "plant", "--password-file", dir.File("open"), "17"}));
        EXPECT_EQ(open.status, 2) << mode;
        EXPECT_NE(open.err.find("chmod 600"), std::string::npos) << open.err;
    }

    struct Case {
        const char* secret;
        int status;
    } cases[] = {{"wrong-secret", 1}, {"right-secret", 0}};
    for (const Case& c : cases) {
        WriteFile(dir.File("pw"), std::string(c.secret) + "\n");
        ::chmod(dir.File("pw").c_str(), 0600);
        Process pub(CtlPath(),
                    PublishArgs(dev, broker, {"--user", "plant", "--password-file", dir.File("pw"), "--count", "1", "17"}),
                    DataDir);
        EXPECT_EQ(pub.Wait(), c.status) << c.secret << ": " << pub.Err();
        if (c.status != 0) {
            EXPECT_NE(pub.Err().find("refused the connection"), std::string::npos) << pub.Err();
        }
        EXPECT_EQ(pub.Err().find(c.secret), std::string::npos) << pub.Err();
        EXPECT_EQ(pub.Out().find(c.secret), std::string::npos) << pub.Out();
    }
}

TEST(Publish, ACertificateNotSignedByTheGivenAuthorityIsRefused)
{
    TempDir dir;
    auto openssl = [&](std::vector<std::string> args) {
        const RunResult r = RunProgram("/usr/bin/openssl", args, dir.Path());
        EXPECT_EQ(r.status, 0) << r.err;
    };
    const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    for (const std::string ca : {"ca", "other"})
        openssl(with({"req", "-x509"}, with(ec, {"-keyout", ca + ".key", "-out", ca + ".crt", "-days", "2", "-subj", "/CN=" + ca})));
    openssl(with({"req"}, with(ec, {"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost"})));
    WriteFile(dir.File("ext"), "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-out",
             "server.crt", "-days", "2", "-extfile", "ext"});

    SimDevice dev;
    Broker broker(BrokerOptions{{}, dir.File("server.crt"), dir.File("server.key")});
    ASSERT_TRUE(broker.Start());
    struct Case {
        const char* ca;
        int status;
    } cases[] = {{"other.crt", 1}, {"ca.crt", 0}};
    for (const Case& c : cases) {
        Process pub(CtlPath(), PublishArgs(dev, broker, {"--cafile", dir.File(c.ca), "--count", "1", "17"}), DataDir);
        EXPECT_EQ(pub.Wait(), c.status) << c.ca << ": " << pub.Err();
        if (c.status != 0) {
            EXPECT_NE(pub.Err().find("certificate verify failed"), std::string::npos) << pub.Err();
        }
    }
}

} // namespace
