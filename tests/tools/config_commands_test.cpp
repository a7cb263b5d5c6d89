// vx4ctl's commands that read the configuration through the device object: config,
// values and set. Each configuration read takes the product's few seconds, so runs that
// need one go at the same time, each against its own simulator.

#include "CtlRunner.h"

#include "DeviceDescription.h"
#include "link/Frames.h"
#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <ctime>
#include <future>
#include <memory>

using namespace ctltest;
using nlohmann::json;

namespace {

std::string Name(const std::vector<std::uint8_t>& rec, std::size_t at)
{
    std::string s;
    for (std::size_t i = at; i < at + 6 && rec[i] != 0; ++i)
        s += char(rec[i]);
    return vx4::Cp1251ToUtf8(s);
}

std::string FloatText(float v)
{
    char buf[64];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// The items the simulator holds, as config --json shows them, in identifier order (the
// demo's calculated values carry their item number as identifier).
json ExpectedItems(const vx4sim::Simulator& sim, json* transducers)
{
    json items = json::array();
    *transducers = json::array();
    for (std::uint16_t i = 1; i <= sim.ItemCount(); ++i) {
        const auto rec = sim.ItemRecord(i);
        switch (rec.at(0)) {
        case 1: {
            const float value = *sim.ConstValue(i);
            items.push_back({{"id", i}, {"kind", "const"}, {"name", Name(rec, 2)}, {"system", rec[1]},
                             {"value", std::strtod(FloatText(value).c_str(), nullptr)}});
            if (Name(rec, 2).rfind("dev", 0) == 0)
                transducers->push_back(std::uint32_t(value));
            break;
        }
        case 3:
            items.push_back({{"id", vx4::GetU16(&rec[8])}, {"kind", "calc"}, {"name", Name(rec, 2)},
                             {"system", rec[1]}, {"groupEventId", vx4::GetU16(&rec[10])}});
            break;
        case 2:
            items.push_back({{"id", i}, {"kind", "event"}, {"name", Name(rec, 1)},
                             {"groupEventId", vx4::GetU16(&rec[7])}, {"mask", vx4::GetU32(&rec[9])},
                             {"code", vx4::GetU32(&rec[13])}});
            break;
        default:
            break;
        }
    }
    return items;
}

TEST(CtlConfig, ConfigShowsEveryItemOfTheDeviceInTextAndJson)
{
    SimDevice a, b;
    const auto runs = RunCtlAll({a.Args({"--json", "config"}), b.Args({"config"})});
    ASSERT_EQ(runs[0].status, 0) << runs[0].err;
    ASSERT_EQ(runs[1].status, 0) << runs[1].err;

    json transducers;
    const json expected = ExpectedItems(a.sim, &transducers);
    ASSERT_GT(expected.size(), 20u);
    const json config = ParseJson(runs[0].out);
    EXPECT_EQ(config["ident"]["serial"], a.sim.Serial());
    EXPECT_EQ(config["summary"]["itemCount"], a.sim.ItemCount());
    EXPECT_EQ(config["summary"]["checksum"], a.sim.ConfigChecksum());
    const auto systems = a.sim.Systems();
    ASSERT_EQ(config["summary"]["systems"].size(), systems.size());
    for (std::size_t i = 0; i < systems.size(); ++i)
        EXPECT_EQ(config["summary"]["systems"][i], (json{{"name", systems[i].name}, {"note", systems[i].note}}));
    ASSERT_EQ(config["items"].size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(config["items"][i], expected[i]) << i;
    EXPECT_EQ(config["transducers"], transducers);

    // The text shows the same items, one line each, with the kind's fields as key=value.
    std::vector<std::string> itemLines;
    std::string systemLine;
    for (const auto& line : Lines(runs[1].out)) {
        if (line.rfind("item\t", 0) == 0)
            itemLines.push_back(line);
        if (systemLine.empty() && line.rfind("system\t", 0) == 0)
            systemLine = line;
    }
    EXPECT_EQ(systemLine, "system\t1\t" + systems[0].name + "\t" + systems[0].note);
    ASSERT_EQ(itemLines.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const json& e = expected[i];
        std::string want = "item\t" + e["id"].dump() + "\t" + e["kind"].get<std::string>() + "\t" +
                           e["name"].get<std::string>();
        for (const char* key : {"system", "value", "groupEventId", "mask", "code"})
            if (e.contains(key))
                want += std::string("\t") + key + "=" +
                        (e[key].is_number_float() ? FloatText(float(e[key].get<double>())) : e[key].dump());
        EXPECT_EQ(itemLines[i], want);
    }
}

std::time_t ParseTime(const std::string& text)
{
    std::tm t{};
    // Text output "YYYY-MM-DD HH:MM:SS", JSON ISO 8601 "YYYY-MM-DDTHH:MM:SS+hh:mm".
    if (!strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &t) && !strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &t))
        return 0;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

TEST(CtlConfig, ValuesPollsTheMarkedValuesOnceASecond)
{
    SimDevice a, b, c;
    for (SimDevice* d : {&a, &b}) {
        d->sim.SetCalcValue(15, 12.5f, 4);
        d->sim.SetCalcValue(17, -3.25f, 0);
    }
    const auto runs = RunCtlAll({a.Args({"--json", "values", "15", "17", "--count", "2"}),
                                 b.Args({"values", "17", "15"}), c.Args({"values", "15", "12"})});

    ASSERT_EQ(runs[0].status, 0) << runs[0].err;
    const auto lines = Lines(runs[0].out);
    ASSERT_EQ(lines.size(), 2u);
    std::vector<std::time_t> times;
    for (const auto& line : lines) {
        const json sample = ParseJson(line);
        EXPECT_EQ(sample["values"], (json{{{"id", 15}, {"value", 12.5}, {"status", 4}},
                                          {{"id", 17}, {"value", -3.25}, {"status", 0}}}));
        const std::string time = sample["time"].get<std::string>();
        times.push_back(ParseTime(time));
        EXPECT_TRUE(time.size() == 25 && (time[19] == '+' || time[19] == '-') && time[22] == ':') << time;
    }
    EXPECT_GE(times[1] - times[0], 0); // two samples a second apart
    EXPECT_LE(times[1] - times[0], 3);

    ASSERT_EQ(runs[1].status, 0) << runs[1].err;
    const auto text = Lines(runs[1].out);
    ASSERT_EQ(text.size(), 2u);
    EXPECT_EQ(text[0], "time\t17 T1\tstatus\t15 G1\tstatus"); // the header row
    const auto fields = Split(text[1]);
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_NE(ParseTime(fields[0]), 0);
    EXPECT_EQ(std::vector<std::string>(fields.begin() + 1, fields.end()),
              (std::vector<std::string>{"-3.25", "0", "12.5", "4"}));

    EXPECT_EQ(runs[2].status, 2);
    EXPECT_EQ(runs[2].err, "vx4ctl: item 12 is not a calculated value of this device\n");
    EXPECT_EQ(runs[2].out, "");
}

// Configuration reads (0x23) the simulator has seen.
std::size_t DescriptorReads(const vx4sim::Simulator& sim)
{
    std::size_t n = 0;
    for (const auto& r : sim.Requests())
        n += r.size() > 6 && r[6] == 0x23;
    return n;
}

// Values requests (0x24) refused with 253, the answer of a device whose configuration
// changed: the first `refused` of them, or all when refused is negative.
void RefuseValues(vx4sim::Simulator& sim, int refused)
{
    auto left = std::make_shared<std::atomic<int>>(refused);
    sim.SetHook([&sim, left, always = refused < 0](const std::vector<std::uint8_t>& req) {
        vx4sim::HookResult h;
        if (req.size() > 6 && req[6] == 0x24 && (always || (*left)-- > 0)) {
            h.kind = vx4sim::HookResult::Replace;
            h.bytes = *sim.Refusal(req, 253);
        }
        return h;
    });
}

// A sample is printed only for a poll that read every value. After a refusal with 253 the
// configuration is read again and sampling goes on; when polls keep failing the run ends
// with the code, having printed nothing it did not read. A device whose configuration keeps
// changing still gets its configuration printed: the first read that ends is taken.
TEST(CtlConfig, ValuesAndConfigAgainstAChangingConfiguration)
{
    SimDevice once, always, changing, plain;
    once.sim.SetCalcValue(15, 12.5f, 4);
    RefuseValues(once.sim, 1);
    RefuseValues(always.sim, -1);
    vx4sim::Faults f;
    f.checksumChange = 1.0; // every answer leaves a new checksum behind
    changing.sim.SetFaults(f);
    const std::size_t items = once.sim.ItemCount();
    const auto runs = RunCtlAll({once.Args({"values", "15", "--count", "2"}), always.Args({"values", "15"}),
                                 changing.Args({"--json", "config"}), plain.Args({"config"})});

    ASSERT_EQ(runs[0].status, 0) << runs[0].err;
    auto lines = Lines(runs[0].out);
    ASSERT_EQ(lines.size(), 3u);
    lines.erase(lines.begin()); // the header row
    for (const auto& line : lines) {
        const auto fields = Split(line);
        ASSERT_EQ(fields.size(), 3u) << line;
        EXPECT_EQ(fields[1], "12.5");
        EXPECT_EQ(fields[2], "4");
    }
    ASSERT_EQ(runs[3].status, 0) << runs[3].err;
    EXPECT_GE(DescriptorReads(once.sim), 2 * DescriptorReads(plain.sim)) << "the configuration was read again";

    EXPECT_EQ(runs[1].status, 1);
    EXPECT_EQ(runs[1].out, "");
    EXPECT_EQ(runs[1].err.rfind("error 253 ", 0), 0u) << runs[1].err;

    ASSERT_EQ(runs[2].status, 0) << runs[2].err;
    const json config = ParseJson(runs[2].out);
    EXPECT_EQ(config["summary"]["itemCount"], items);
    EXPECT_FALSE(config["items"].empty());
}

bool SentItemWrite(const vx4sim::Simulator& sim)
{
    for (const auto& r : sim.Requests())
        if (r.size() > 7 && r[6] == 0x25 && r[7] == 0x01)
            return true;
    return false;
}

TEST(CtlConfig, SetFormatsLikeTheDevicesTextAndWrites)
{
    SimDevice f, i, refused, calc;
    const float refusedBefore = *refused.sim.ConstValue(14);
    const auto runs = RunCtlAll({f.Args({"set", "12", "15,5"}), i.Args({"set", "7", "9"}),
                                 refused.Args({"set", "14", "7"}), calc.Args({"set", "15", "1"})});

    // "ID name: old → new", both in the device's own text.
    EXPECT_EQ(runs[0].status, 0) << runs[0].err;
    EXPECT_EQ(runs[0].out, "12 Gmax: 12.345 → 15.500\n"); // sent as 1.550E+01
    EXPECT_EQ(*f.sim.ConstValue(12), 15.5f);
    EXPECT_EQ(f.sim.ItemText(12), "15.500");

    EXPECT_EQ(runs[1].status, 0) << runs[1].err;
    EXPECT_EQ(runs[1].out, "7 Адрес: 005 → 009\n");
    EXPECT_EQ(*i.sim.ConstValue(7), 9.0f);

    EXPECT_EQ(runs[2].status, 1);
    EXPECT_EQ(runs[2].err.rfind("error 253 Ошибка в передаваемом в команде параметре\n  writing item 14 Реж (7) failed\n", 0),
              0u)
        << runs[2].err;
    EXPECT_EQ(*refused.sim.ConstValue(14), refusedBefore);

    EXPECT_EQ(runs[3].status, 2);
    EXPECT_EQ(runs[3].err, "vx4ctl: item 15 is not a constant of this device\n");
    EXPECT_FALSE(SentItemWrite(calc.sim));
}

TEST(CtlConfig, SetSendsNothingForTheCurrentValueOrATextThatIsNoNumber)
{
    SimDevice dev;
    const RunResult same = RunCtl(dev.Args({"set", "7", "5"})); // the device prints 005
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.out, "7: 005 → 005 (unchanged)\n");

    const RunResult word = RunCtl(dev.Args({"set", "12", "abc"}));
    EXPECT_EQ(word.status, 2);
    EXPECT_NE(word.err.find("'abc' is not a value for item 12 (device text '12.345')"), std::string::npos)
        << word.err;
    const RunResult fraction = RunCtl(dev.Args({"set", "7", "1.5"})); // an integer constant
    EXPECT_EQ(fraction.status, 2);

    EXPECT_FALSE(SentItemWrite(dev.sim));
    EXPECT_EQ(dev.sim.ItemText(12), "12.345");
    EXPECT_EQ(dev.sim.ItemText(7), "005");
}

TEST(CtlConfig, SetWritesSeveralValuesAfterOneReadAndSaysWhatTheDeviceKept)
{
    SimDevice dev;
    TempDir dir; // the constant bank in the current folder names the allowed values
    WriteFile(dir.File("constbank.xml"), ReadFile(std::string(VX4_SOURCE_DIR) + "/data/constbank.xml"));
    const RunResult r = RunCtl(dev.Args({"set", "11=0.1234", "12=15"}), dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"11 Gmin: 0.120 → 0.123", "12 Gmax: 12.345 → 15.000"}));
    EXPECT_NE(r.err.find("item 11: the device's format rounds 0.1234 to 0.123"), std::string::npos) << r.err;
    // One configuration read for both: a single first-block request.
    std::size_t firstBlocks = 0;
    for (const auto& req : dev.sim.Requests())
        firstBlocks += req.size() > 7 && req[6] == 0x22 && req[7] == 0;
    EXPECT_EQ(firstBlocks, 1u);

    const RunResult json = RunCtl(dev.Args({"--json", "set", "12=16"}));
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(ParseJson(json.out)["writes"][0],
              (nlohmann::json{{"id", 12}, {"name", "Gmax"}, {"old", "15.000"}, {"new", "16.000"}, {"written", true},
                              {"rounded", false}}));

    // A refused value: the bank's allowed values.
    const RunResult refused = RunCtl(dev.Args({"set", "13", "5"}), dir.Path());
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("constbank.xml): 10, 15, 20, 25"), std::string::npos)
        << refused.err;
    // Without a bank, where it was looked for.
    TempDir empty;
    const RunResult noBank = RunCtl(dev.Args({"set", "13", "5"}), empty.Path());
    EXPECT_NE(noBank.err.find("was not found in the current folder, "), std::string::npos) << noBank.err;

    // Bad forms are refused before anything is sent.
    for (const auto& args : std::vector<std::vector<std::string>>{{"set", "13"}, {"set", "x=1"}, {"set", "1=2", "3"}}) {
        const RunResult bad = RunCtl(dev.Args(args));
        EXPECT_EQ(bad.status, 2) << testing::PrintToString(args) << bad.err;
    }
}

TEST(CtlConfig, ValuesWithCountZeroRunUntilInterruptedAndEndWithSuccess)
{
    SimDevice dev;
    TempDir dir;
    int out = -1;
    const pid_t pid = SpawnPiped({CtlPath(), "--port", dev.PortText(), "--dev", std::to_string(dev.sim.Serial()),
                                  "values", "15", "--count", "0", "--interval", "100", "--xlsx", dir.File("v.xlsx")},
                                 &out, true);
    ASSERT_GT(pid, 0);
    // The header and three samples, then Ctrl+C.
    std::string text;
    char c;
    pollfd p{out, POLLIN, 0};
    while (std::count(text.begin(), text.end(), '\n') < 4 && ::poll(&p, 1, 60000) > 0 && ::read(out, &c, 1) == 1)
        text += c;
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text.rfind("time\t15 G1\tstatus\n", 0), 0u) << text;
    EXPECT_TRUE(FileExists(dir.File("v.xlsx"))); // the samples taken are kept
}

TEST(CtlConfig, AConsolesGatewaySocketForTheSameDeviceIsLeftAlone)
{
    // A console for the same device listens on its gateway socket in the runtime
    // directory; the tool's own device object must neither replace nor remove it.
    SimDevice dev;
    TempDir runtime;
    const std::string path =
        runtime.File("VX-4_" + std::to_string(dev.sim.Serial()) + "_5B647F26-45E3-4d4a-BAC9-061E17C66550");
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    struct stat before{};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);

    const RunResult r = RunProgram(CtlPath(), dev.Args({"values", "15"}), {}, false, {"XDG_RUNTIME_DIR=" + runtime.Path()});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat after{};
    EXPECT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    ::close(fd);
}

} // namespace

namespace {

// A device whose one system holds `calcs` calculated values, ids 1..calcs.
std::unique_ptr<vx4sim::Simulator> OneSystemDevice(unsigned calcs)
{
    vx4sim::DeviceDescription d = vx4sim::DemoDescription();
    d.systems = {{"S1", ""}};
    d.items.clear();
    for (unsigned i = 1; i <= calcs; ++i)
        d.items.push_back(vx4sim::MakeCalc(1, "V" + std::to_string(i), std::uint16_t(i), 0, 1.0));
    d.files.clear();
    d.transducers.clear();
    std::string err;
    auto sim = vx4sim::Simulator::FromJsonText(vx4sim::DescriptionToJson(d), &err);
    EXPECT_TRUE(sim) << err;
    if (sim && !sim->StartTcp("127.0.0.1", 0, &err))
        ADD_FAILURE() << err;
    return sim;
}

std::vector<std::string> ArgsFor(const vx4sim::Simulator& sim, std::vector<std::string> args)
{
    std::vector<std::string> all{"--port", "127.0.0.1:" + std::to_string(sim.Port()), "--dev",
                                 std::to_string(sim.Serial())};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

} // namespace

// values waits only for what a poll can read, and a wait without progress ends: every
// listed value of a large system is read, a value listed twice is read once, and a value
// the device never answers ends the run with exit 1 after three polls.
TEST(CtlConfig, ValuesReadsEveryListedValueOrEnds)
{
    auto many = OneSystemDevice(138);
    SimDevice twice, unanswered;
    ASSERT_TRUE(many);
    unanswered.sim.SetHook([](const std::vector<std::uint8_t>& req) {
        vx4sim::HookResult h;
        if (req.size() > 8 && req[6] == 0x24)
            for (std::size_t i = 7; i + 3 < req.size(); i += 2)
                if (req[i] == 17 && req[i + 1] == 0)
                    h.kind = vx4sim::HookResult::Silent;
        return h;
    });
    std::vector<std::string> ids;
    for (int id = 1; id <= 138; ++id)
        ids.push_back(std::to_string(id));
    std::vector<std::string> manyArgs = ids;
    manyArgs.insert(manyArgs.begin(), "values");
    // A run that never ends shows as exit 124 of timeout, not as a test that never ends.
    auto bounded = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"180", CtlPath()});
        return args;
    };
    std::vector<std::future<RunResult>> running;
    for (auto args : {ArgsFor(*many, manyArgs), twice.Args({"values", "15", "15", "--count", "2"}),
                      unanswered.Args({"values", "15", "17"})})
        running.push_back(std::async(std::launch::async, [args = bounded(args)] {
            return RunProgram("/usr/bin/timeout", args);
        }));
    const RunResult all = running[0].get(), dup = running[1].get(), stuck = running[2].get();

    ASSERT_EQ(all.status, 0) << all.err;
    const auto lines = Lines(all.out);
    ASSERT_EQ(lines.size(), 2u); // header and sample
    EXPECT_EQ(Split(lines[1]).size(), 1u + 2 * 138);

    ASSERT_EQ(dup.status, 0) << dup.err;
    const auto dupLines = Lines(dup.out);
    ASSERT_EQ(dupLines.size(), 3u);
    for (const auto& line : dupLines)
        EXPECT_EQ(Split(line).size(), 5u) << line;

    EXPECT_EQ(stuck.status, 1) << stuck.err;
    EXPECT_EQ(stuck.out, "");
    EXPECT_EQ(stuck.err.rfind("error 1016 ", 0), 0u) << stuck.err;
    EXPECT_NE(stuck.err.find("3 polls in a row failed"), std::string::npos) << stuck.err;
}
