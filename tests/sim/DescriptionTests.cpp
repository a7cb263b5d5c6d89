// Device descriptions from JSON, the fault syntax, and the vx4sim program's command line.

#include "DeviceDescription.h"
#include "SimTestUtil.h"

#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/wait.h>

namespace {

const char* const kSmall = R"({
  "identification": {"serial": 777001, "protocol": "0.5", "software": "3.4.99", "deviceType": "VX4",
                     "initTime": "02.03.26 04:05:06"},
  "systems": [{"name": "Котельная", "note": "тест"}],
  "items": [
    {"type": "const", "system": 0, "name": "dev1", "value": 1234567, "format": "int", "width": 7},
    {"type": "const", "system": 1, "name": "Tхв", "value": 5.5, "decimals": 2, "min": 0, "max": 40},
    {"type": "calc", "system": 1, "name": "G1", "group": 1, "base": 3, "statusBits": 3},
    {"type": "empty"},
    {"type": "event", "name": "Авар", "group": 1, "mask": 4, "code": 9}
  ],
  "files": [{"name": "a.def", "text": "Прибор"}, {"name": "b.bin", "hex": "00 01 fe"},
            {"name": "hour.dat", "archive": {"records": 10, "recordSize": 32}}],
  "systemEvents": [{"taskId": 1, "code": 2, "time": 3, "count": 1, "text": "Пуск"}],
  "transducers": [{"serial": 1234567, "pairs": [[1, 1.01], [2, 2.02]]}]
})";

} // namespace

TEST(Description, LoadsEverySection)
{
    std::string error;
    auto sim = vx4sim::Simulator::FromJsonText(kSmall, &error);
    ASSERT_TRUE(sim) << error;
    EXPECT_EQ(sim->Serial(), 777001u);
    const auto id = sim->IdentRecord();
    EXPECT_EQ(id[0], 5);
    EXPECT_EQ(id[1], 0);
    EXPECT_EQ(vx4::GetU16(&id[2]), 99);
    EXPECT_EQ(id[29], 0x02);
    EXPECT_EQ(id[34], 0x06);
    EXPECT_EQ(sim->ItemCount(), 5u);
    EXPECT_EQ(*sim->ItemText(1), "1234567");
    EXPECT_EQ(*sim->ItemText(2), "5.50");
    EXPECT_FALSE(sim->ItemText(4));
    EXPECT_EQ(sim->CalcIds(), std::vector<std::uint16_t>{3});  // the item number
    const auto event = sim->ItemRecord(5);
    ASSERT_EQ(event.size(), 17u);
    EXPECT_EQ(std::string(event.begin() + 1, event.begin() + 5), vx4::Utf8ToCp1251("Авар"));
    EXPECT_EQ(vx4::GetU32(&event[9]), 4u);
    EXPECT_EQ(*sim->FileContents("a.def"), simtest::Bytes({0xCF, 0xF0, 0xE8, 0xE1, 0xEE, 0xF0}));
    EXPECT_EQ(*sim->FileContents("B.BIN"), simtest::Bytes({0x00, 0x01, 0xFE}));
    EXPECT_EQ(sim->FileContents("hour.dat")->size(), 320u);
    EXPECT_EQ(sim->SystemEventsLeft(), 1u);
    ASSERT_EQ(sim->Transducers().size(), 1u);
    EXPECT_EQ(sim->Transducers()[0].pairs.size(), 2u);
}

TEST(Description, InvalidInputIsRefusedWithItsPlace)
{
    struct Case {
        const char* json;
        const char* mentions;
    } cases[] = {
        {"{", "not valid JSON"},
        {R"({"items": [{"type": "const", "name": "K", "value": 1e03045}]})", "not valid JSON"}, // beyond a double
        {"[]", "must be an object"},
        {R"({"extra": 1})", "extra"},
        {R"({"items": [{"type": "thing", "name": "x"}]})", "items[0].type"},
        {R"({"items": [{"type": "const", "name": "abcdefg"}]})", "items[0].name"},
        {R"({"items": [{"type": "const"}]})", "no name"},
        {R"({"items": [{"type": "calc", "name": "G"}]})", "system"},
        {R"({"items": [{"type": "const", "name": "K", "system": 2}]})", "items[0].system"},
        {R"({"systems": [{"name": "A"}], "items": [{"type": "calc", "name": "G", "system": 1, "id": 5},
            {"type": "calc", "name": "H", "system": 1, "id": 5}]})", "used twice"},
        {R"({"items": [{"type": "const", "name": "K", "value": "1"}]})", "items[0].value"},
        {R"({"items": [{"type": "const", "name": "K", "value": 50, "max": 10}]})", "outside"},
        {R"({"files": [{"name": "a"}]})", "files[0]"},
        {R"({"files": [{"name": "a", "hex": "0g"}]})", "files[0].hex"},
        {R"({"identification": {"serial": 0}})", "identification.serial"},
        {R"({"identification": {"protocol": "1"}})", "identification.protocol"},
        {R"({"identification": {"initTime": "32.01.26 00:00:00"}})", "initTime"},
        {R"({"identification": {"initTime": "00.01.26 00:00:00"}})", "initTime"},
        {R"({"transducers": [{"serial": 5, "pairs": [[1]]}]})", "transducers[0].pairs[0]"},
        {R"({"systemEvents": [{"code": 1}]})", "taskId"},
        {R"({"identification": {"serail": 5}})", "identification.serail"},
        {R"({"items": [{"type": "const", "name": "K", "vlaue": 1}]})", "items[0].vlaue"},
        {R"({"items": [{"type": "const", "name": "K", "format": "int", "value": 1.5}]})", "whole number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        std::string error;
        EXPECT_FALSE(vx4sim::Simulator::FromJsonText(c.json, &error));
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

TEST(Description, FileErrorsNameTheFile)
{
    std::string error;
    EXPECT_FALSE(vx4sim::Simulator::FromJsonFile("/nonexistent/dev.json", &error));
    EXPECT_NE(error.find("/nonexistent/dev.json"), std::string::npos);
    const std::string path = testing::TempDir() + "vx4sim_bad.json";
    std::ofstream(path) << "{\"items\": 5}";
    EXPECT_FALSE(vx4sim::Simulator::FromJsonFile(path, &error));
    EXPECT_NE(error.find(path), std::string::npos);
    EXPECT_NE(error.find("items"), std::string::npos);
    std::remove(path.c_str());
}

// The shipped demo file and the JSON dump of the built-in demo describe the same device.
TEST(Description, DemoDumpAndShippedFileMatchTheBuiltInDemo)
{
    vx4sim::Simulator demo;
    std::string error;
    auto dumped = vx4sim::Simulator::FromJsonText(vx4sim::DescriptionToJson(vx4sim::DemoDescription()), &error);
    ASSERT_TRUE(dumped) << error;
    auto shipped = vx4sim::Simulator::FromJsonFile(VX4_SOURCE_DIR "/sim/devices/demo.json", &error);
    ASSERT_TRUE(shipped) << error;
    for (auto* s : {dumped.get(), shipped.get()}) {
        EXPECT_EQ(s->ItemCount(), demo.ItemCount());
        EXPECT_EQ(s->ConfigChecksum(), demo.ConfigChecksum());
        EXPECT_EQ(s->FileNames(), demo.FileNames());
        EXPECT_EQ(s->FileContents("hour.dat"), demo.FileContents("hour.dat"));
        EXPECT_EQ(s->IdentRecord(), demo.IdentRecord());
        EXPECT_EQ(s->Transducers().size(), demo.Transducers().size());
    }
}

// What DescriptionToJson writes, DescriptionFromJson reads back: the same description, a
// calculated value written with id 0 taking its item number.
TEST(Description, JsonRoundTrip)
{
    using vx4sim::DeviceDescription;
    auto small = [](std::array<std::uint8_t, 6> initTime, std::vector<vx4sim::ItemDesc> items) {
        DeviceDescription d;
        d.initTime = initTime;
        d.systems = {{"Котельная", "тест"}};
        d.items = std::move(items);
        return d;
    };
    const std::array<std::uint8_t, 6> set = {0x02, 0x03, 0x26, 0x04, 0x05, 0x06};
    struct Case {
        const char* what;
        DeviceDescription written;
        std::vector<std::uint16_t> calcIdsRead;
    } cases[] = {
        {"init time never set", small({}, {vx4sim::MakeConst(1, "K", 2.5)}), {}},
        {"calc ids 0 and explicit",
         small(set, {vx4sim::MakeConst(0, "K", 1), vx4sim::MakeCalc(1, "G", 0, 1, 3),
                     vx4sim::MakeCalc(1, "H", 40, 0, 4), vx4sim::MakeEvent("E", 1, 2),
                     vx4sim::MakeCalc(1, "Q", 0, 0, 5)}),
         {2, 40, 5}},
        {"both at once", small({}, {vx4sim::MakeCalc(1, "G", 0, 1, 3)}), {1}},
        {"demo device", vx4sim::DemoDescription(), {}},
    };
    // The demo's ids are assigned already and must come back as they are.
    for (const vx4sim::ItemDesc& it : cases[3].written.items)
        if (it.type == vx4sim::ItemDesc::Calc)
            cases[3].calcIdsRead.push_back(it.id);
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        DeviceDescription read;
        const bool ok = vx4sim::DescriptionFromJson(vx4sim::DescriptionToJson(c.written), &read, &error);
        EXPECT_TRUE(ok) << error;
        if (!ok)
            continue;
        EXPECT_EQ(read.initTime, c.written.initTime);
        std::vector<std::uint16_t> ids;
        for (const vx4sim::ItemDesc& it : read.items)
            if (it.type == vx4sim::ItemDesc::Calc)
                ids.push_back(it.id);
        EXPECT_EQ(ids, c.calcIdsRead);
        // Apart from the resolved ids, everything the writer knows comes back unchanged.
        std::size_t k = 0;
        for (vx4sim::ItemDesc& it : c.written.items)
            if (it.type == vx4sim::ItemDesc::Calc && k < c.calcIdsRead.size())
                it.id = c.calcIdsRead[k++];
        EXPECT_EQ(vx4sim::DescriptionToJson(read), vx4sim::DescriptionToJson(c.written));
    }
}

TEST(FaultSyntax, ParsesAndRejects)
{
    vx4sim::Faults f;
    std::string error;
    ASSERT_TRUE(vx4sim::ParseFaults(
        "noanswer=0.1,badcheck=0.05,truncated=0.05,wrongcmd=0.05,busy=0.05,delay=0.1:200,drip=0.2:900,checksum=0.01",
        &f, &error))
        << error;
    EXPECT_DOUBLE_EQ(f.noAnswer, 0.1);
    EXPECT_DOUBLE_EQ(f.badCheck, 0.05);
    EXPECT_DOUBLE_EQ(f.truncated, 0.05);
    EXPECT_DOUBLE_EQ(f.wrongCommand, 0.05);
    EXPECT_DOUBLE_EQ(f.busy, 0.05);
    EXPECT_DOUBLE_EQ(f.delay, 0.1);
    EXPECT_EQ(f.delayMs, 200u);
    EXPECT_DOUBLE_EQ(f.drip, 0.2);
    EXPECT_EQ(f.dripMs, 900u);
    EXPECT_DOUBLE_EQ(f.checksumChange, 0.01);
    for (const char* bad : {"noanswer", "noanswer=2", "noanswer=-0.1", "lost=0.1", "delay=0.1", "delay=0.1:x",
                            "busy=0.1x", "drip=0.5", "drip=0.5:", "drip=2:10"}) {
        SCOPED_TRACE(bad);
        vx4sim::Faults g;
        error.clear();
        EXPECT_FALSE(vx4sim::ParseFaults(bad, &g, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_DOUBLE_EQ(g.noAnswer, 0);
    }
}

// ---------------------------------------------------------------------------------------
// The program itself.

namespace {

const std::string kProgram = VX4_BINARY_DIR "/sim/vx4sim";

// Runs the program to its end; returns the exit status and the combined output.
int RunToEnd(const std::string& args, std::string* output)
{
    FILE* p = popen((kProgram + " " + args + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        output->append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(Program, BadInputEndsWithAMessageAndNonZeroStatus)
{
    const std::string badFile = testing::TempDir() + "vx4sim_prog_bad.json";
    std::ofstream(badFile) << "{\"items\": [{\"type\": \"nope\", \"name\": \"x\"}]}";
    struct Case {
        std::string args;
        const char* mentions;
    } cases[] = {
        {"--bogus", "--bogus"},
        {"--device /nonexistent.json", "/nonexistent.json"},
        {"--device " + badFile, "items[0].type"},
        {"--faults lost=1", "lost"},
        {"--profile huge:5", "large:N"},
        {"--tcp nohostport", "HOST:PORT"},
        {"--tcp 127.0.0.1:0 --pty", "either"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string out;
        EXPECT_NE(RunToEnd(c.args, &out), 0);
        EXPECT_NE(out.find(c.mentions), std::string::npos) << out;
    }
    std::remove(badFile.c_str());
    std::string help;
    EXPECT_EQ(RunToEnd("--help", &help), 0);
    EXPECT_NE(help.find("noanswer=0.1"), std::string::npos);
}

TEST(Program, FirstLineNamesTheTcpPortAndTheDeviceAnswersThere)
{
    for (const char* args : {"--tcp 127.0.0.1:0", "--pty --profile large:500"}) {
        SCOPED_TRACE(args);
        // The program runs in the background; its first line is read from a pipe.
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execl("/bin/sh", "sh", "-c", ("exec " + kProgram + " " + args).c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        for (;;) {
            const auto b = simtest::ReadSome(out[0], 1, 5000);
            if (b.empty() || b[0] == '\n')
                break;
            line += char(b[0]);
        }
        int fd = -1;
        unsigned port = 0;
        char path[64] = "";
        char tail = 0;
        if (std::sscanf(line.c_str(), "listening tcp 127.0.0.1:%u%c", &port, &tail) == 1 && port != 0)
            fd = simtest::ConnectTcp(std::uint16_t(port));
        else if (line.rfind("listening pty /dev/pts/", 0) == 0 &&
                 std::sscanf(line.c_str(), "listening pty %63s%c", path, &tail) == 1)
            fd = simtest::OpenPty(path);
        EXPECT_GE(fd, 0) << "first line: " << line;
        if (fd >= 0) {
            ASSERT_TRUE(simtest::WriteAll(fd, simtest::Request(vx4::AnyDeviceAddress, 0x01)));
            const auto a = simtest::ReadAnswer(fd);
            EXPECT_TRUE(simtest::ValidVx3c(a));
            close(fd);
        }
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        close(out[0]);
    }
}
