// vx4ctl's commands that talk to the device without its configuration: identify, info,
// get, clock, test-clock, echo and relay, compared with what the simulator holds.

#include "CtlRunner.h"

#include "DeviceDescription.h"
#include "link/Frames.h"
#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>

extern char** environ;

using namespace ctltest;
using nlohmann::json;

namespace {

std::string Text(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t max)
{
    std::string s;
    for (std::size_t i = at; i < at + max && b[i] != 0; ++i)
        s += char(b[i]);
    return vx4::Cp1251ToUtf8(s);
}

std::string BcdText(const std::uint8_t* b, const char* fmt)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, b[0], b[1], b[2], b[3], b[4], b[5]);
    return buf;
}

std::string Hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", unsigned(v));
    return buf;
}

// Six BCD bytes (day first) as ISO 8601 in the local zone, "+hh:mm" after the time.
std::string IsoLocal(const std::uint8_t* b)
{
    auto v = [](std::uint8_t x) { return (x >> 4) * 10 + (x & 15); };
    std::tm tm{};
    tm.tm_mday = v(b[0]);
    tm.tm_mon = v(b[1]) - 1;
    tm.tm_year = v(b[2]) + 100;
    tm.tm_hour = v(b[3]);
    tm.tm_min = v(b[4]);
    tm.tm_sec = v(b[5]);
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    localtime_r(&t, &tm);
    char buf[40], zone[8];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::strftime(zone, sizeof zone, "%z", &tm);
    return std::string(buf) + std::string(zone).substr(0, 3) + ":" + std::string(zone).substr(3);
}

// The identification fields straight from the record's bytes.
json IdentFromRecord(const std::vector<std::uint8_t>& r)
{
    return json{{"protoMinor", r[0]},
                {"protoMajor", r[1]},
                {"swBuild", vx4::GetU16(&r[2])},
                {"swMinor", r[4]},
                {"swMajor", r[5]},
                {"stackFillPct", r[6]},
                {"deviceType", Text(r, 7, 4)},
                {"cpuType", Text(r, 11, 9)},
                {"serial", vx4::GetU32(&r[21])},
                {"initState", std::int32_t(vx4::GetU32(&r[25]))},
                {"initTime", IsoLocal(&r[29])},
                {"extMinor", r[35]},
                {"extMajor", r[36]},
                {"swChecksum", vx4::GetU32(&r[37])},
                {"stateFlags", r[41]}};
}

// "name<TAB>value" lines as a map (the first occurrence of each name).
std::map<std::string, std::string> Fields(const std::string& out)
{
    std::map<std::string, std::string> m;
    for (const auto& line : Lines(out)) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos)
            m.emplace(line.substr(0, tab), line.substr(tab + 1));
    }
    return m;
}

TEST(CtlDevice, IdentifyInTextAndJsonMatchesTheRecord)
{
    SimDevice dev;
    const json expected = IdentFromRecord(dev.sim.IdentRecord());
    const RunResult j = RunCtl(dev.Args({"--json", "identify"}));
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_EQ(ParseJson(j.out), expected);

    const RunResult t = RunCtl(dev.Args({"identify"}));
    ASSERT_EQ(t.status, 0) << t.err;
    const auto fields = Fields(t.out);
    EXPECT_EQ(fields.size(), expected.size());
    // In text the start-up time as the device keeps it and the checksum in hex, as the console shows them.
    const std::vector<std::uint8_t> record = dev.sim.IdentRecord();
    for (const auto& [name, value] : expected.items()) {
        if (name == "initTime")
            EXPECT_EQ(fields.at(name), BcdText(&record[29], "%.2x.%.2x.%.2x %.2x:%.2x:%.2x"));
        else if (name == "swChecksum")
            EXPECT_EQ(fields.at(name), Hex(vx4::GetU32(&record[37])));
        else
            EXPECT_EQ(fields.at(name), value.is_string() ? value.get<std::string>() : value.dump()) << name;
    }
}

TEST(CtlDevice, DeviceNumberZeroLearnsTheAddressThroughTheAnyDeviceAddress)
{
    SimDevice dev;
    const RunResult r = RunCtl({"--port", dev.PortText(), "--dev", "0", "--json", "identify"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ParseJson(r.out), IdentFromRecord(dev.sim.IdentRecord())); // all 42 bytes, state flags too
    const auto requests = dev.sim.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(vx4::GetU32(requests[0].data()), vx4::AnyDeviceAddress);
    EXPECT_EQ(vx4::GetU32(requests[1].data()), dev.sim.Serial());

    // The same for a command that needs the address only.
    const RunResult clock = RunCtl({"--port", dev.PortText(), "--dev", "0", "clock"});
    EXPECT_EQ(clock.status, 0) << clock.err;
}

TEST(CtlDevice, DeviceNumberZeroReportsWhyNoDeviceWasFound)
{
    SimDevice dev;
    struct Case {
        const char* what;
        bool badCheck; // an answer with a wrong check byte, or none
        const char* error;
    } cases[] = {{"wrong check bytes", true, "error 1013"}, {"silence", false, "error 1016"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool badCheck = c.badCheck;
        vx4sim::Simulator* sim = &dev.sim;
        dev.sim.SetHook([badCheck, sim](const std::vector<std::uint8_t>& req) {
            vx4sim::HookResult h{badCheck ? vx4sim::HookResult::Replace : vx4sim::HookResult::Silent, {}};
            if (badCheck) {
                h.bytes = sim->Answer(req).value_or(std::vector<std::uint8_t>(12, 0));
                h.bytes.back() ^= 0x55;
            }
            return h;
        });
        const RunResult r = RunCtl({"--port", dev.PortText(), "--dev", "0", "identify"});
        EXPECT_EQ(r.status, 1);
        const std::string code = r.err.substr(0, r.err.find_first_of(" \n", 6)); // "error <code>"
        EXPECT_EQ(code, c.error) << r.err;
    }
    dev.sim.SetHook(nullptr);
}

TEST(CtlDevice, InfoShowsSummarySystemsArchivesAndClock)
{
    SimDevice dev;
    const RunResult r = RunCtl(dev.Args({"--json", "info"}));
    ASSERT_EQ(r.status, 0) << r.err;
    const json info = ParseJson(r.out);
    EXPECT_EQ(info["ident"], IdentFromRecord(dev.sim.IdentRecord()));
    const json& summary = info["summary"];
    EXPECT_EQ(summary["itemCount"], dev.sim.ItemCount());
    EXPECT_EQ(summary["checksum"], dev.sim.ConfigChecksum());
    const auto systems = dev.sim.Systems();
    ASSERT_EQ(summary["systemCount"], systems.size());
    ASSERT_EQ(summary["systems"].size(), systems.size());
    for (std::size_t i = 0; i < systems.size(); ++i) {
        EXPECT_EQ(summary["systems"][i]["name"], systems[i].name);
        EXPECT_EQ(summary["systems"][i]["note"], systems[i].note);
    }
    ASSERT_EQ(info["archives"].size(), 5u);
    for (unsigned i = 0; i < 5; ++i) {
        const auto d = dev.sim.ArchiveDescriptor(i);
        const json& a = info["archives"][i];
        EXPECT_EQ(a["lastRecord"], vx4::GetU16(&d[0])) << i;
        EXPECT_EQ(a["flags"], d[2]) << i;
        EXPECT_EQ(a["startAddress"], vx4::GetU32(&d[4])) << i;
        EXPECT_EQ(a["rowsMinusOne"], vx4::GetU16(&d[8])) << i;
    }
    // The clock read during the run: at most a second behind the device's clock now.
    const auto now = dev.sim.Clock();
    EXPECT_EQ(info["clock"].get<std::string>().substr(0, 16), IsoLocal(now.data()).substr(0, 16));
    EXPECT_EQ(info["clock"].get<std::string>().substr(19), IsoLocal(now.data()).substr(19)); // the zone

    const RunResult t = RunCtl(dev.Args({"info"}));
    ASSERT_EQ(t.status, 0) << t.err;
    const auto fields = Fields(t.out);
    EXPECT_EQ(fields.at("itemCount"), std::to_string(dev.sim.ItemCount()));
    EXPECT_EQ(fields.at("checksum"), Hex(dev.sim.ConfigChecksum())); // as the console shows it
    EXPECT_EQ(fields.at("system"), "1\t" + systems[0].name + "\t" + systems[0].note);
    EXPECT_EQ(fields.at("archive").substr(0, 2), "0\t");
}

TEST(CtlDevice, GetPrintsTheDevicesTextOrItsRefusal)
{
    SimDevice dev;
    dev.sim.SetCalcValue(15, 4.25f, 0); // calculated values move unless pinned
    for (std::uint16_t id : {7, 12, 15}) {
        const RunResult r = RunCtl(dev.Args({"get", std::to_string(id)}));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, dev.sim.ItemText(id).value_or("?") + "\n") << id;
    }
    const RunResult none = RunCtl(dev.Args({"get", "65535"}));
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "error 253 Ошибка в передаваемом в команде параметре\n");
    EXPECT_EQ(none.out, "");
}

TEST(CtlDevice, ClockIsReadAndSet)
{
    SimDevice dev;
    dev.sim.SetClock({0x31, 0x12, 0x25, 0x23, 0x59, 0x30});
    const RunResult read = RunCtl(dev.Args({"clock"}));
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out.substr(0, 15), "31.12.25 23:59:"); // the clock runs

    // The clock is read back: before, sent, after and their difference.
    const RunResult set = RunCtl(dev.Args({"clock", "--set", "05.03.24 07:08:09"}));
    ASSERT_EQ(set.status, 0) << set.err;
    auto fields = Fields(set.out);
    EXPECT_EQ(fields.at("before").substr(0, 9), "31.12.25 ");
    EXPECT_EQ(fields.at("sent"), "05.03.24 07:08:09");
    EXPECT_EQ(fields.at("after").substr(0, 15), "05.03.24 07:08:");
    EXPECT_TRUE(fields.at("difference") == "0 s" || fields.at("difference") == "1 s") << set.out;
    const auto c = dev.sim.Clock();
    EXPECT_EQ(std::vector<std::uint8_t>(c.begin(), c.begin() + 5), (std::vector<std::uint8_t>{5, 3, 0x24, 7, 8}));

    // ISO 8601, in JSON with the zone.
    const RunResult iso = RunCtl(dev.Args({"--json", "clock", "--set", "2026-12-11T12:00:00"}));
    ASSERT_EQ(iso.status, 0) << iso.err;
    const json j = ParseJson(iso.out);
    const std::uint8_t sent[6] = {0x11, 0x12, 0x26, 0x12, 0x00, 0x00};
    EXPECT_EQ(j["sent"], IsoLocal(sent));
    EXPECT_EQ(j["after"].get<std::string>().substr(0, 16), "2026-12-11T12:00");

    const std::time_t before = std::time(nullptr);
    const RunResult now = RunCtl(dev.Args({"clock", "--set", "now"}));
    ASSERT_EQ(now.status, 0) << now.err;
    std::tm t{};
    localtime_r(&before, &t);
    char day[16];
    std::strftime(day, sizeof day, "%d.%m.%y", &t);
    EXPECT_EQ(Fields(now.out).at("sent").substr(0, 8), day);
    // --utc: the computer's time in UTC.
    const RunResult utc = RunCtl(dev.Args({"clock", "--set", "now", "--utc"}));
    ASSERT_EQ(utc.status, 0) << utc.err;
    gmtime_r(&before, &t);
    std::strftime(day, sizeof day, "%d.%m.%y", &t);
    EXPECT_EQ(Fields(utc.out).at("sent").substr(0, 8), day);
}

TEST(CtlDevice, ClockSetFailsWhenNoDeviceTookTheTime)
{
    SimDevice dev;
    // A wrong device number: nothing answers, nothing is set.
    const RunResult nobody =
        RunCtl({"--port", dev.PortText(), "--dev", std::to_string(dev.sim.Serial() + 1), "clock", "--set", "now"});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_NE(nobody.err.find("error 1016"), std::string::npos) << nobody.err;
    // A device that answers reads but drops the set: the time read back is not the one sent.
    dev.sim.SetClock({0x01, 0x01, 0x20, 0x00, 0x00, 0x00});
    dev.sim.SetHook([](const std::vector<std::uint8_t>& req) {
        return vx4sim::HookResult{req.size() > 6 && req[6] == 0x03 ? vx4sim::HookResult::Silent
                                                                    : vx4sim::HookResult::Normal,
                                  {}};
    });
    const RunResult dropped = RunCtl(dev.Args({"clock", "--set", "2026-12-11T12:00:00"}));
    EXPECT_EQ(dropped.status, 1);
    EXPECT_NE(dropped.err.find("did not take it"), std::string::npos) << dropped.err;
    EXPECT_EQ(Fields(dropped.out).at("after").substr(0, 8), "01.01.20");
    // A device that goes silent after the set: the read back fails.
    auto sets = std::make_shared<std::atomic<int>>(0);
    dev.sim.SetHook([sets](const std::vector<std::uint8_t>& req) {
        if (req.size() > 6 && req[6] == 0x03)
            ++*sets;
        return vx4sim::HookResult{*sets > 0 ? vx4sim::HookResult::Silent : vx4sim::HookResult::Normal, {}};
    });
    const RunResult silent = RunCtl(dev.Args({"clock", "--set", "now"}));
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("reading the clock back failed"), std::string::npos) << silent.err;
    dev.sim.SetHook(nullptr);
}

// Every value named like a time in a JSON document: ISO 8601 with a zone.
void ExpectZonedTimes(const json& j, const std::string& where)
{
    if (j.is_object()) {
        for (const auto& [key, value] : j.items()) {
            if (value.is_string() &&
                (key == "time" || key == "clock" || key == "initTime" || key == "before" || key == "sent" ||
                 key == "after")) {
                const std::string t = value.get<std::string>();
                const bool zoned = (t.size() == 20 && t.back() == 'Z') ||
                                   (t.size() == 25 && (t[19] == '+' || t[19] == '-') && t[22] == ':');
                EXPECT_TRUE(zoned && t[10] == 'T') << where << ": " << key << " = " << t;
            } else {
                ExpectZonedTimes(value, where);
            }
        }
    } else if (j.is_array()) {
        for (const auto& v : j)
            ExpectZonedTimes(v, where);
    }
}

TEST(CtlDevice, EveryJsonCommandPrintsDocumentsWithZonedTimes)
{
    SimDevice dev;
    vx4sim::Transducer t;
    t.serial = 1234;
    t.pairs = {{1, 10}};
    dev.sim.SetTransducers({t});
    const std::vector<std::vector<std::string>> commands = {
        {"identify"}, {"info"}, {"config"}, {"values", "15"}, {"get", "12"}, {"set", "12", "13"}, {"clock"},
        {"clock", "--set", "now"}, {"test-clock"}, {"events"}, {"graduation", "1234"}, {"echo", "--count", "2"},
        {"relay", "0002"}};
    for (const auto& c : commands) {
        std::vector<std::string> args{"--json"};
        args.insert(args.end(), c.begin(), c.end());
        const RunResult r = RunCtl(dev.Args(args));
        const std::string where = testing::PrintToString(c);
        EXPECT_TRUE(r.status == 0 || c[0] == "relay") << where << "\n" << r.err;
        const auto lines = Lines(r.out);
        ASSERT_FALSE(lines.empty()) << where;
        for (const auto& line : lines) {
            const json j = json::parse(line, nullptr, false);
            ASSERT_FALSE(j.is_discarded()) << where << ": " << line;
            ExpectZonedTimes(j, where);
        }
    }
}

TEST(CtlDevice, ClockTestPassesFailsOrFindsTheDeviceUnreachable)
{
    SimDevice dev;
    const RunResult ok = RunCtl(dev.Args({"test-clock"}));
    EXPECT_EQ(ok.status, 0) << ok.err;

    // The short test request answered with another command code.
    dev.sim.SetHook([](const std::vector<std::uint8_t>& req) {
        vx4sim::HookResult h;
        if (req.size() >= 4 && req[2] == 0xF0) {
            h.kind = vx4sim::HookResult::Replace;
            h.bytes = {0x01, 0x00, 0xF1, req[3], 0, 0};
            vx4::FillCheckBytes(h.bytes.data(), 4);
        }
        return h;
    });
    const RunResult smode = RunCtl(dev.Args({"test-clock"}));
    EXPECT_EQ(smode.status, 1);
    EXPECT_EQ(smode.err, "error 241 Ошибка (Проверь SMODE)\n");

    dev.sim.SetHook([](const std::vector<std::uint8_t>&) { return vx4sim::HookResult{vx4sim::HookResult::Silent, {}}; });
    const RunResult silent = RunCtl(dev.Args({"test-clock"}));
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.err.rfind("error -1 VX-4 недоступен\n  tried ", 0), 0u) << silent.err;
    dev.sim.SetHook(nullptr);
}

TEST(CtlDevice, EchoCountsErrorsByClass)
{
    SimDevice dev;
    const RunResult clean = RunCtl(dev.Args({"--json", "echo", "--count", "20", "--size", "64"}));
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(ParseJson(clean.out), (json{{"tests", 20}, {"errors", 0}, {"classes", {0, 0, 0, 0, 0, 0}}}));
    const auto requests = dev.sim.Requests();
    ASSERT_EQ(requests.size(), 20u);
    EXPECT_EQ(vx4::GetU16(&requests[0][4]), 64);

    // Every third echo unanswered (class 1), every third answered with another command
    // (class 4), the rest echoed.
    std::atomic<int> n{0};
    dev.sim.SetHook([&n](const std::vector<std::uint8_t>& req) {
        vx4sim::HookResult h;
        if (req.size() < 9 || req[6] != 0x08)
            return h;
        const int k = n++ % 3;
        if (k == 0) {
            h.kind = vx4sim::HookResult::Silent;
        } else if (k == 1) {
            h.kind = vx4sim::HookResult::Replace;
            h.bytes = req;
            h.bytes[6] = 0x09;
            vx4::FillCheckBytes(h.bytes.data(), h.bytes.size() - 2);
        }
        return h;
    });
    const RunResult mixed = RunCtl(dev.Args({"--json", "echo", "--count", "5", "--size", "0"}));
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_EQ(ParseJson(mixed.out), (json{{"tests", 5}, {"errors", 4}, {"classes", {2, 0, 0, 2, 0, 0}}}));

    n = 0;
    const RunResult text = RunCtl(dev.Args({"echo", "--count", "3", "--size", "10"}));
    ASSERT_EQ(text.status, 0) << text.err;
    const auto fields = Fields(text.out);
    EXPECT_EQ(fields.at("tests"), "3");
    EXPECT_EQ(fields.at("errors"), "2");
    EXPECT_EQ(fields.at("rate"), "66.67%");
    EXPECT_EQ(fields.at("class1"), "1\t1 - Ошибка ожидания ответа.");
    EXPECT_EQ(fields.at("class4"), "1\t4 - Неверная команда ответа.");
    dev.sim.SetHook(nullptr);
}

TEST(CtlDevice, RelayPrintsTheAnswerAsHex)
{
    SimDevice dev;
    const auto transducers = dev.sim.Transducers();
    ASSERT_FALSE(transducers.empty());
    const vx4sim::Transducer& tr = transducers[0];
    // 00 02, then a vx2 request for the transducer's pair count.
    std::vector<std::uint8_t> payload{0x00, 0x02};
    std::uint8_t vx2[16] = {};
    vx4::PutU32(vx2, vx4::Vx2Address(tr.serial));
    vx2[4] = 7;
    vx4::FillCheckBytes(vx2, 14);
    payload.insert(payload.end(), vx2, vx2 + 16);
    std::string hex;
    for (std::uint8_t b : payload) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", b);
        hex += buf;
    }
    const RunResult r = RunCtl(dev.Args({"relay", hex}));
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out.size(), 65u) << r.out; // 32 bytes as hex and a line break
    EXPECT_EQ(std::stoul(r.out.substr(10, 2), nullptr, 16), tr.pairs.size()); // the count at byte 5

    // No unit behind the device answers: four status words, the last one printed.
    const RunResult none = RunCtl(dev.Args({"relay", "00 02 01"}));
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "01000000\n");
    EXPECT_EQ(none.err, "error 1 the device refused the request (its answer code)\n");
}

TEST(CtlDevice, WorksAgainstTheSimulatorProgram)
{
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, out[1]);
    std::string program = SimPath(), opt = "--tcp", where = "127.0.0.1:0";
    char* argv[] = {program.data(), opt.data(), where.data(), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);

    std::string first;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (first.find('\n') == std::string::npos && ::poll(&p, 1, 5000) > 0 && ::read(out[0], &c, 1) == 1)
        first += c;
    const std::string prefix = "listening tcp 127.0.0.1:";
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    const std::string port = first.substr(prefix.size(), first.size() - prefix.size() - 1);

    const vx4sim::DeviceDescription demo = vx4sim::DemoDescription();
    const RunResult r = RunCtl({"--port", "127.0.0.1:" + port, "--dev", "0", "--json", "info"});
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    ASSERT_EQ(r.status, 0) << r.err;
    const json info = ParseJson(r.out);
    EXPECT_EQ(info["ident"]["serial"], demo.serial);
    EXPECT_EQ(info["ident"]["deviceType"], demo.deviceType);
    ASSERT_EQ(info["summary"]["systems"].size(), demo.systems.size());
    EXPECT_EQ(info["summary"]["systems"][0]["name"], demo.systems[0].name);
}

} // namespace
