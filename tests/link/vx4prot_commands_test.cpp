// Each device command against the simulated VX-4 over loopback TCP; the test hook puts
// the answers on the line that the simulated device itself would not give.

#include "vx4prot_fixture.h"

#include "link/ResultCodes.h"
#include "platform/Cp1251.h"
#include "platform/MsClock.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <cstring>
#include <mutex>

using namespace vx4;
using namespace vx4test;

namespace {

Bytes Data(const std::string& s) { return Bytes(s.begin(), s.end()); }

} // namespace

// ---------------------------------------------------------------------------------------
// Identification and the answer checks shared by every command

TEST_F(SimTest, IdentifyDecodesTheDevicesRecordAtItsOwnAndTheAnyDeviceAddress)
{
    const Bytes raw = sim.IdentRecord();
    ASSERT_EQ(raw.size(), SDevIdent::Size);
    for (std::uint32_t to : {address, AnyDeviceAddress}) {
        SDevIdent ident;
        ASSERT_EQ(Identify(conn, to, &ident), 0);
        EXPECT_EQ(ident, SDevIdent::Decode(raw.data(), raw.size()));
        EXPECT_EQ(ident.serial, address);
    }
    const auto reqs = RequestsOf(CMD_IDENTIFY);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(GetU32(reqs[1].data()), AnyDeviceAddress);
}

TEST_F(SimTest, IdentifyClearsTheSoftwareChecksumBeforeProtocol05)
{
    struct Case {
        std::uint8_t major, minor;
        std::size_t length;
        std::uint32_t checksum;
        std::uint8_t stateFlags;
    } cases[] = {
        {0, 4, 42, 0, 0x05}, {0, 5, 42, 0xA1B2C3D4, 0x05}, {1, 0, 42, 0xA1B2C3D4, 0x05},
        {0, 6, 41, 0xA1B2C3D4, 0}, // 41 bytes: stateFlags not carried
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << " len " << c.length);
        Bytes rec(42, 0);
        rec[0] = c.minor;
        rec[1] = c.major;
        PutU32(&rec[21], address);
        PutU32(&rec[37], 0xA1B2C3D4);
        rec[41] = 0x05;
        rec.resize(c.length);
        sim.SetHook([&](const Bytes&) { return Reply(Vx3cFrame(address, CMD_IDENTIFY, rec)); });
        SDevIdent ident;
        ASSERT_EQ(Identify(conn, address, &ident), 0);
        EXPECT_EQ(ident.swChecksum, c.checksum);
        EXPECT_EQ(ident.stateFlags, c.stateFlags);
        EXPECT_EQ(ident.serial, address);
    }
}

TEST_F(SimTest, BadCheckByteEndsACommandAfterOneExchangeWhateverItsTries)
{
    // Correct framing, wrong sum byte: the exchange succeeds, the command layer refuses the
    // frame and does not try again, also for commands that allow 3 tries.
    sim.SetHook([&](const Bytes& r) { return Reply(WithBadCheck(Vx3cFrame(address, RequestCommand(r), Bytes(12, 1)))); });
    SDevIdent ident;
    ident.serial = 77;
    DeviceClock clock;
    SConfigInfo info;
    SArchiveInfo arch;
    SItemValue value;
    std::uint16_t id = 1;
    std::string text = "keep";
    std::uint8_t buf[64];
    std::size_t len = 99;
    struct Case {
        const char* what;
        std::uint8_t command;
        std::function<int()> run;
    } cases[] = {
        {"Identify", CMD_IDENTIFY, [&] { return Identify(conn, address, &ident); }},
        {"ReadClock", CMD_READ_CLOCK, [&] { return ReadClock(conn, address, &clock); }},
        {"ReadConfigSummary", CMD_CONFIG_SUMMARY, [&] { return ReadConfigSummary(conn, address, &info); }},
        {"ReadArchiveInfo", CMD_ARCHIVE_INFO, [&] { return ReadArchiveInfo(conn, address, 1, &arch); }},
        {"ReadValues", CMD_READ_VALUES, [&] { return ReadValues(conn, address, &id, 1, &value); }},
        {"GetItemText", CMD_ITEM_TEXT, [&] { return GetItemText(conn, address, 1, &text); }},
        {"PutItemText", CMD_ITEM_TEXT, [&] { return PutItemText(conn, address, 1, "1"); }},
        {"ReadItemDescriptor", CMD_ITEM_DESCRIPTOR, [&] { return ReadItemDescriptor(conn, address, 1, buf, sizeof buf, &len); }},
        {"ReadConfigBlock", CMD_CONFIG_BLOCK, [&] { return ReadConfigBlock(conn, address, 0, buf, sizeof buf, &len); }},
        {"ReadSystemEvent", CMD_SYSTEM_EVENT, [&] { return ReadSystemEvent(conn, address, nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim.ClearRequests();
        EXPECT_EQ(c.run(), FRAME_CHECK_FAILED);
        EXPECT_EQ(sim.Requests().size(), 1u);
        EXPECT_EQ(RequestCommand(sim.Requests().at(0)), c.command);
    }
    // Nothing was decoded into the outputs.
    EXPECT_EQ(ident.serial, 77u);
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(len, 99u);
    EXPECT_EQ(info.itemCount, 0u);
}

TEST_F(SimTest, DeviceRefusalIsTheAnswersCommandByteAndDecodesNothing)
{
    struct Case {
        std::uint8_t answerCommand;
        int result;
    } cases[] = {{DEV_BUSY, 251}, {DEV_BAD_PARAMETER, 253}, {0x00, 255}, {0x02, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.answerCommand));
        sim.SetHook([&](const Bytes&) { return Reply(Vx3cFrame(address, c.answerCommand, Bytes(48, 0x11))); });
        SDevIdent ident;
        ident.serial = 5;
        EXPECT_EQ(Identify(conn, address, &ident), c.result);
        EXPECT_EQ(ident.serial, 5u);
        SSysEvent ev;
        ev.TaskID = 9;
        EXPECT_EQ(ReadSystemEvent(conn, address, &ev), c.result);
        EXPECT_EQ(ev.TaskID, 9u);
        std::string text = "x";
        EXPECT_EQ(GetItemText(conn, address, 3, &text), c.result);
        EXPECT_EQ(text, "x");
    }
}

TEST_F(SimTest, FramingFailuresAreTriedAsOftenAsTheCommandAllows)
{
    // An answer announcing more data than a frame holds fails in the connection (1017),
    // which tries again; the command's tries bound the exchanges.
    Bytes tooLong = {0, 0, 0, 0, 0xD0, 0x07, CMD_READ_CLOCK};
    PutU32(tooLong.data(), address);
    sim.SetHook([&](const Bytes&) { return Reply(tooLong); });
    DeviceClock clock;
    EXPECT_EQ(ReadClock(conn, address, &clock), FRAME_LENGTH_ERROR);
    EXPECT_EQ(RequestsOf(CMD_READ_CLOCK).size(), 3u);
    sim.ClearRequests();
    EXPECT_EQ(ReadConfigBlock(conn, address, CONFIG_FIRST_BLOCK, nullptr, 0, nullptr), FRAME_LENGTH_ERROR);
    EXPECT_EQ(RequestsOf(CMD_CONFIG_BLOCK).size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Clock, system events, archive descriptors

TEST_F(SimTest, SetClockIsSentWithoutWaitingAndTheDeviceClockFollows)
{
    const DeviceClock set = DeviceClock::FromValues(31, 12, 26, 23, 59, 30);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(SetClock(conn, address, set), 0);
    EXPECT_LT(SecondsSince(t0), 0.25);
    // The device takes the clock from the request.
    std::array<std::uint8_t, 6> now{};
    for (int i = 0; i < 100; ++i) {
        now = sim.Clock();
        if (now[0] == 0x31 && now[1] == 0x12)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(now[2], 0x26);
    EXPECT_EQ(now[3], 0x23);
    const auto reqs = RequestsOf(CMD_SET_CLOCK);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(RequestData(reqs[0]), Bytes(set.bcd.begin(), set.bcd.end()));

    DeviceClock read;
    ASSERT_EQ(ReadClock(conn, address, &read), 0);
    EXPECT_EQ(read.Value(DeviceClock::Day), 31u);
    EXPECT_EQ(read.Value(DeviceClock::Hour), 23u);
    EXPECT_EQ(read.Value(DeviceClock::Minute), 59u);
    EXPECT_GE(read.Value(DeviceClock::Second), 30u);
}

TEST_F(SimTest, SystemEventsOneByOneThenAnEmptyAnswer)
{
    sim.SetSystemEvents({{7, 100, 1000, 1, "Пуск"}, {8, 200, 2000, 3, "Сбой питания"}});
    SSysEvent ev;
    ASSERT_EQ(ReadSystemEvent(conn, address, &ev), 0);
    EXPECT_EQ(ev.TaskID, 7u);
    EXPECT_EQ(ev.EvCode, 100u);
    EXPECT_EQ(ev.TStamp, 1000u);
    EXPECT_EQ(ev.EvCnt, 1u);
    EXPECT_EQ(Cp1251ToUtf8(ev.Text()), "Пуск");
    ASSERT_EQ(ReadSystemEvent(conn, address, &ev), 0);
    EXPECT_EQ(ev.TaskID, 8u);
    EXPECT_EQ(Cp1251ToUtf8(ev.Text()), "Сбой питания");
    ASSERT_EQ(ReadSystemEvent(conn, address, &ev), 0);
    EXPECT_EQ(ev, SSysEvent{});
    EXPECT_EQ(RequestData(RequestsOf(CMD_SYSTEM_EVENT).at(0)), Bytes{0x01});
}

TEST_F(SimTest, ArchiveDescriptorsOfAllFiveArchives)
{
    for (std::uint8_t i = 0; i < SArchiveInfo::Count; ++i) {
        SArchiveInfo a;
        ASSERT_EQ(ReadArchiveInfo(conn, address, i, &a), 0) << int(i);
        const auto expect = sim.ArchiveDescriptor(i);
        EXPECT_EQ(a.Bytes(), expect) << int(i);
    }
}

// ---------------------------------------------------------------------------------------
// File download

namespace {

struct Download {
    std::FILE* f = std::tmpfile();
    std::vector<float> fractions;
    ~Download()
    {
        if (f)
            std::fclose(f);
    }
    static void Progress(void* user, float fraction) { static_cast<Download*>(user)->fractions.push_back(fraction); }
    Bytes Contents()
    {
        std::fflush(f);
        std::rewind(f);
        Bytes out;
        std::uint8_t buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            out.insert(out.end(), buf, buf + n);
        return out;
    }
};

Bytes Pattern(std::size_t n)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = std::uint8_t(i * 7 + i / 251);
    return b;
}

// Data bytes of the block requests (5A next, 00 again), in order.
std::string BlockSteps(const std::vector<Bytes>& reqs)
{
    std::string s;
    for (const Bytes& r : reqs)
        s += RequestData(r) == Bytes{FILE_NEXT_BLOCK} ? 'N' : RequestData(r) == Bytes{FILE_REPEAT_BLOCK} ? 'R' : '?';
    return s;
}

} // namespace

TEST_F(SimTest, ReadFileDownloadsEveryByteAndReportsProgress)
{
    const Bytes content = Pattern(5000);
    sim.SetFile("test.def", content);
    Download d;
    ASSERT_EQ(ReadFile(conn, address, "test.def", d.f, &Download::Progress, &d), 0);
    EXPECT_EQ(d.Contents(), content);
    const auto open = RequestsOf(CMD_FILE_OPEN);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(RequestData(open[0]), Data(std::string("\x01test.def"))); // no terminating zero
    // One progress call per block answer, the last one (the closing answer) at 1.
    ASSERT_GE(d.fractions.size(), 6u);
    EXPECT_FLOAT_EQ(d.fractions.back(), 1.0f);
    for (std::size_t i = 1; i < d.fractions.size(); ++i)
        EXPECT_GT(d.fractions[i], d.fractions[i - 1]);
    EXPECT_EQ(BlockSteps(RequestsOf(CMD_FILE_BLOCK)), std::string(d.fractions.size(), 'N'));
}

TEST_F(SimTest, ReadFileOfAnEmptyFileReportsFractionOne)
{
    sim.SetFile("empty.def", {});
    Download d;
    ASSERT_EQ(ReadFile(conn, address, "empty.def", d.f, &Download::Progress, &d), 0);
    EXPECT_TRUE(d.Contents().empty());
    EXPECT_EQ(d.fractions, std::vector<float>{1.0f});
}

TEST_F(SimTest, ReadFileOfAMissingFileEndsWithTheDevicesFileNotOpen)
{
    sim.RemoveFile("nosuch.dat");
    Download d;
    EXPECT_EQ(ReadFile(conn, address, "nosuch.dat", d.f, &Download::Progress, &d), DEV_FILE_NOT_OPEN);
    EXPECT_TRUE(d.Contents().empty());
    EXPECT_TRUE(d.fractions.empty());
}

TEST_F(SimTest, ReadFileOpenStepRefusedOrEmptyIsBadArgument)
{
    for (const Bytes& answer : {Vx3cFrame(address, DEV_FILE_NOT_OPEN, {}), Vx3cFrame(address, CMD_FILE_OPEN, {})}) {
        sim.SetHook([&](const Bytes&) { return Reply(answer); });
        Download d;
        EXPECT_EQ(ReadFile(conn, address, "hour.dat", d.f), LINK_BAD_ARGUMENT);
        EXPECT_TRUE(RequestsOf(CMD_FILE_BLOCK).empty());
    }
    Download d;
    EXPECT_EQ(ReadFile(conn, address, std::string(MaxFileName + 1, 'a'), d.f), LINK_BAD_ARGUMENT);
    EXPECT_EQ(ReadFile(conn, address, "hour.dat", nullptr), LINK_BAD_ARGUMENT);
}

TEST_F(SimTest, ReadFileReportsAnOutputThatCannotBeWritten)
{
    sim.SetFile("main.xmc", Pattern(100));
    std::FILE* readOnly = std::fopen("/dev/null", "rb");
    ASSERT_NE(readOnly, nullptr);
    // The local failure, with the system's reason, never the device's code 247.
    EXPECT_EQ(ReadFile(conn, address, "main.xmc", readOnly), LOCAL_WRITE_FAILED);
    EXPECT_EQ(errno, EBADF);
    std::fclose(readOnly);
}

namespace {
// A hook that answers block requests by a script, one entry per block request:
// 'n' normal; 'b' the device's answer with a bad check byte; 'd' the request lost before
// the device saw it and a damaged frame instead of its answer; 's' silence, the request
// lost before the device saw it; 'r' refused with 251; 'x' three data bytes. Requests
// beyond the script are answered normally.
struct BlockScript {
    vx4sim::Simulator* sim;
    std::string script;
    std::atomic<std::size_t> next{0};
    HookResult operator()(const Bytes& r)
    {
        if (RequestCommand(r) != CMD_FILE_BLOCK)
            return Normal();
        const std::size_t i = next++;
        const char c = i < script.size() ? script[i] : 'n';
        const std::uint32_t address = sim->Serial();
        switch (c) {
        case 'b': return Reply(WithBadCheck(sim->Answer(r).value()));
        case 'd': return Reply(WithBadCheck(Vx3cFrame(address, CMD_FILE_BLOCK, Bytes(20, 0))));
        case 's': return Silent();
        case 'r': return Reply(Vx3cFrame(address, DEV_BUSY, {}));
        case 'x': return Reply(Vx3cFrame(address, CMD_FILE_BLOCK, {1, 2, 3}));
        default: return Normal();
        }
    }
};
} // namespace

TEST_F(SimTest, ReadFileRepeatsAFailedBlockWith00AndThenGoesOnWith5A)
{
    const Bytes content = Pattern(3500);
    sim.SetFile("day.dat", content);
    struct Case {
        const char* script;  // answers to the block requests
        const char* steps;   // what the console asked for
    } cases[] = {
        {"nb", "NNRNNN"},                // second block's answer damaged, repeat succeeds
        {"bbbbbbbb", "NRRRRRRRRNNNN"},   // the 8th repeat succeeds
        {"nbrb", "NNRRRNNN"},            // a refused repeat is repeated again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        sim.ClearRequests();
        auto script = std::make_shared<BlockScript>();
        script->sim = &sim;
        script->script = c.script;
        sim.SetHook([script](const Bytes& r) { return (*script)(r); });
        Download d;
        ASSERT_EQ(ReadFile(conn, address, "day.dat", d.f, &Download::Progress, &d), 0);
        EXPECT_EQ(d.Contents(), content);
        EXPECT_EQ(BlockSteps(RequestsOf(CMD_FILE_BLOCK)), c.steps);
    }
}

TEST_F(SimTest, ReadFileRepeatOfABlockThatNeverLeftTheDeviceIsNotAppendedTwice)
{
    // The second block request never reaches the device (the hook takes it before the
    // device sees it and puts a damaged frame on the line): the repeat makes the device
    // send the first block again, which must not be appended a second time.
    const Bytes content = Pattern(3000);
    sim.SetFile("month.dat", content);
    auto script = std::make_shared<BlockScript>();
    script->sim = &sim;
    script->script = "nd";
    sim.SetHook([script](const Bytes& r) { return (*script)(r); });
    Download d;
    ASSERT_EQ(ReadFile(conn, address, "month.dat", d.f), 0);
    EXPECT_EQ(d.Contents(), content);
    EXPECT_EQ(BlockSteps(RequestsOf(CMD_FILE_BLOCK)).substr(0, 4), "NNRN");
}

TEST_F(SimTest, ReadFileEndsWithTheLastRepeatsCode)
{
    sim.SetFile("year.dat", Pattern(2500));
    struct Case {
        const char* script;
        int result;
        const char* steps;
    } cases[] = {
        {"nbbbbbbbbb", FRAME_CHECK_FAILED, "NNRRRRRRRR"},
        {"nrrrrrrrrr", DEV_BUSY, "NN"},              // a refused block request is not repeated
        {"nbrrrrrrrr", DEV_BUSY, "NNRRRRRRRR"},      // repeats all refused: the refusal
        {"nx", FRAME_LENGTH_ERROR, "NN"},            // a block answer shorter than its position
        {"nbbbbbbbbs", LINK_TIMEOUT, "NNRRRRRRRR"},  // the last repeat times out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        sim.ClearRequests();
        auto script = std::make_shared<BlockScript>();
        script->sim = &sim;
        script->script = c.script;
        sim.SetHook([script](const Bytes& r) { return (*script)(r); });
        Download d;
        EXPECT_EQ(ReadFile(conn, address, "year.dat", d.f), c.result);
        EXPECT_EQ(BlockSteps(RequestsOf(CMD_FILE_BLOCK)), c.steps);
        // The first block stays in the output; the caller deletes the file.
        EXPECT_EQ(d.Contents().size(), std::min<std::size_t>(2500, 1011));
    }
}

TEST_F(SimTest, ReadFileEndsAFaultyDeviceThatNeverFinishes)
{
    // The device announces 3000 bytes; the hook answers block requests without ever ending.
    // (It ends by itself after 300 requests, so a transfer without limits shows as a
    // success with a grown file instead of running on.)
    constexpr std::uint32_t announced = 3000;
    constexpr std::size_t block = MaxVx3cData - 4; // 1011
    struct Case {
        const char* what;
        bool samePosition;       // the same block again and again, or ever new ones
        std::size_t outputBytes; // what was appended before the transfer was ended
        std::size_t blockRequests;
    } cases[] = {
        {"never the end answer", false, 3 * block, 4}, // a 4th block would pass 3000 + 1011
        {"the same block again", true, block, 1 + 9},  // 9 in a row is past the limit of 8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim.ClearRequests();
        auto served = std::make_shared<std::atomic<std::uint32_t>>(0);
        const std::uint32_t device = address;
        sim.SetHook([device, served, c](const Bytes& r) -> HookResult {
            if (RequestCommand(r) == CMD_FILE_OPEN) {
                Bytes size(4);
                PutU32(size.data(), announced);
                return Reply(Vx3cFrame(device, CMD_FILE_OPEN, size));
            }
            if (RequestCommand(r) != CMD_FILE_BLOCK)
                return Normal();
            const std::uint32_t k = (*served)++;
            Bytes data(4);
            PutU32(data.data(), c.samePosition ? 0 : std::uint32_t(k * block));
            if (k < 300)
                data.resize(4 + block, std::uint8_t(k));
            return Reply(Vx3cFrame(device, CMD_FILE_BLOCK, data));
        });
        Download d;
        EXPECT_EQ(ReadFile(conn, address, "big.dat", d.f), FRAME_LENGTH_ERROR);
        EXPECT_EQ(d.Contents().size(), c.outputBytes);
        EXPECT_EQ(RequestsOf(CMD_FILE_BLOCK).size(), c.blockRequests);
    }
}

// ---------------------------------------------------------------------------------------
// Echo

TEST_F(SimTest, EchoOfRandomBytes)
{
    EXPECT_EQ(Echo(conn, address, 64), 0);
    EXPECT_EQ(Echo(conn, address, 0), 0);
    EXPECT_EQ(Echo(conn, address, 2000), 0);
    const auto reqs = RequestsOf(CMD_ECHO);
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(RequestData(reqs[0]).size(), 64u);
    EXPECT_EQ(RequestData(reqs[1]).size(), 0u);
    EXPECT_EQ(reqs[2].size(), FrameCapacity); // 1015 data bytes
    // The bytes are not a constant fill.
    const Bytes d = RequestData(reqs[0]);
    EXPECT_NE(std::count(d.begin(), d.end(), d[0]), 64);
}

TEST_F(SimTest, EchoJudgesCommandBeforeAddressBeforeBytes)
{
    enum Change { None, Address, Command, AddressAndCommand, OneByte, Shorter, Silence };
    struct Case {
        Change change;
        int result;
    } cases[] = {
        {None, 0}, {Address, ECHO_WRONG_ADDRESS}, {Command, ECHO_WRONG_COMMAND},
        {AddressAndCommand, ECHO_WRONG_COMMAND}, {OneByte, 1}, {Shorter, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.change));
        sim.SetHook([&](const Bytes& r) {
            Bytes data = RequestData(r);
            std::uint32_t to = GetU32(r.data());
            std::uint8_t cmd = CMD_ECHO;
            if (c.change == Address || c.change == AddressAndCommand)
                to += 1;
            if (c.change == Command || c.change == AddressAndCommand)
                cmd = DEV_BUSY;
            if (c.change == OneByte)
                data[17] ^= 0x40;
            if (c.change == Shorter)
                data.resize(data.size() - 1);
            return Reply(Vx3cFrame(to, cmd, data));
        });
        EXPECT_EQ(Echo(conn, address, 32), c.result);
    }
}

// ---------------------------------------------------------------------------------------
// Configuration: items, blocks, summary, values, texts

TEST_F(SimTest, ItemDescriptorsAreCopiedUpToTheCallersCapacity)
{
    for (std::uint16_t item : {std::uint16_t(1), std::uint16_t(2), std::uint16_t(sim.ItemCount())}) {
        const Bytes expect = sim.ItemRecord(item);
        ASSERT_FALSE(expect.empty());
        std::uint8_t buf[64];
        std::size_t len = 0;
        ASSERT_EQ(ReadItemDescriptor(conn, address, item, buf, sizeof buf, &len), 0) << item;
        EXPECT_EQ(Bytes(buf, buf + len), expect) << item;
        std::uint8_t small[3] = {0xEE, 0xEE, 0xEE};
        ASSERT_EQ(ReadItemDescriptor(conn, address, item, small, 2, &len), 0);
        EXPECT_EQ(len, 2u);
        EXPECT_EQ(Bytes(small, small + 2), Bytes(expect.begin(), expect.begin() + 2));
        EXPECT_EQ(small[2], 0xEE);
    }
    const auto reqs = RequestsOf(CMD_ITEM_DESCRIPTOR);
    EXPECT_EQ(RequestData(reqs.at(0)), (Bytes{1, 0}));
    // Item numbers start at 1; the device refuses others.
    std::uint8_t buf[8];
    std::size_t len = 77;
    EXPECT_EQ(ReadItemDescriptor(conn, address, 0, buf, sizeof buf, &len), DEV_BAD_PARAMETER);
    EXPECT_EQ(len, 77u);
}

TEST_F(SimTest, ConfigBlocksWalkToTheFinalMarker)
{
    sim.SetBlockLimit(200);
    std::vector<Bytes> blocks;
    std::uint8_t buf[FrameCapacity];
    std::size_t len = 0;
    ASSERT_EQ(ReadConfigBlock(conn, address, CONFIG_FIRST_BLOCK, buf, sizeof buf, &len), 0);
    blocks.emplace_back(buf, buf + len);
    while (len > 0 && buf[len - 1] != 0xFF && blocks.size() < 1000) {
        ASSERT_EQ(ReadConfigBlock(conn, address, CONFIG_NEXT_BLOCK, buf, sizeof buf, &len), 0);
        blocks.emplace_back(buf, buf + len);
    }
    ASSERT_GT(blocks.size(), 1u);
    EXPECT_EQ(blocks.back().back(), 0xFF);
    for (const Bytes& b : blocks)
        EXPECT_LE(b.size(), 200u);
    // Mode 2 gives the last block again.
    ASSERT_EQ(ReadConfigBlock(conn, address, CONFIG_SAME_BLOCK, buf, sizeof buf, &len), 0);
    EXPECT_EQ(Bytes(buf, buf + len), blocks.back());
    const auto reqs = RequestsOf(CMD_CONFIG_BLOCK);
    EXPECT_EQ(RequestData(reqs.front()), Bytes{0});
    EXPECT_EQ(RequestData(reqs.back()), Bytes{2});
}

TEST_F(SimTest, ConfigSummaryCarriesTheSystemsInCp1251)
{
    SConfigInfo info;
    ASSERT_EQ(ReadConfigSummary(conn, address, &info), 0);
    EXPECT_EQ(info.itemCount, sim.ItemCount());
    EXPECT_EQ(info.checksum, sim.ConfigChecksum());
    const auto systems = sim.Systems();
    ASSERT_GE(systems.size(), 2u);
    EXPECT_EQ(info.systemCount, systems.size());
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(info.systemNames[i], i < systems.size() ? Utf8ToCp1251(systems[i].name) : "") << i;
        EXPECT_EQ(info.systemNotes[i], i < systems.size() ? Utf8ToCp1251(systems[i].note) : "") << i;
    }
    sim.SetHook([&](const Bytes&) { return Reply(Vx3cFrame(address, CMD_CONFIG_SUMMARY, {5, 0, 0, 0, 6, 0, 0, 0})); });
    ASSERT_EQ(ReadConfigSummary(conn, address, &info), 0);
    EXPECT_EQ(info.itemCount, 5u);
    EXPECT_EQ(info.checksum, 6u);
    EXPECT_EQ(info.systemCount, 9);
    EXPECT_EQ(info.systemNames[0], "");
}

TEST_F(SimTest, ReadValuesInRequestOrder)
{
    const auto ids = sim.CalcIds();
    ASSERT_GE(ids.size(), 3u);
    sim.SetCalcValue(ids[0], 12.5f, 0x10);
    sim.SetCalcValue(ids[2], -3.25f, 0);
    const std::uint16_t req[] = {ids[2], ids[0]};
    SItemValue values[2];
    ASSERT_EQ(ReadValues(conn, address, req, 2, values), 0);
    EXPECT_FLOAT_EQ(values[0].AsFloat(), -3.25f);
    EXPECT_EQ(values[0].status, 0u);
    EXPECT_FLOAT_EQ(values[1].AsFloat(), 12.5f);
    EXPECT_EQ(values[1].status, 0x10u);
    Bytes expectData(4);
    PutU16(&expectData[0], ids[2]);
    PutU16(&expectData[2], ids[0]);
    EXPECT_EQ(RequestData(RequestsOf(CMD_READ_VALUES).back()), expectData);

    // The largest batch fits a frame.
    std::vector<std::uint16_t> many(MaxReadValues, ids[0]);
    std::vector<SItemValue> out(MaxReadValues);
    ASSERT_EQ(ReadValues(conn, address, many.data(), many.size(), out.data()), 0);
    EXPECT_FLOAT_EQ(out.back().AsFloat(), 12.5f);
    EXPECT_EQ(ReadValues(conn, address, many.data(), MaxReadValues + 1, out.data()), LINK_BAD_ARGUMENT);
    EXPECT_EQ(ReadValues(conn, address, many.data(), 0, out.data()), LINK_BAD_ARGUMENT);
}

TEST_F(SimTest, ReadValuesRefusedForAnIdentifierThatIsNoCalculatedValue)
{
    const auto ids = sim.CalcIds();
    std::uint16_t notCalc = 0;
    while (std::find(ids.begin(), ids.end(), notCalc) != ids.end())
        ++notCalc;
    const std::uint16_t req[] = {ids[0], notCalc};
    SItemValue values[2];
    values[0].status = 42;
    EXPECT_EQ(ReadValues(conn, address, req, 2, values), DEV_BAD_PARAMETER);
    EXPECT_EQ(values[0].status, 42u);

    // An answer carrying fewer values than asked leaves the rest zero.
    Bytes one(8, 0);
    PutF32(one.data(), 2.0f);
    PutU32(one.data() + 4, 3);
    sim.SetHook([&](const Bytes&) { return Reply(Vx3cFrame(address, CMD_READ_VALUES, one)); });
    values[1].status = 42;
    ASSERT_EQ(ReadValues(conn, address, req, 2, values), 0);
    EXPECT_FLOAT_EQ(values[0].AsFloat(), 2.0f);
    EXPECT_EQ(values[0].status, 3u);
    EXPECT_EQ(values[1], SItemValue{});
}

TEST_F(SimTest, ItemTextGetAndPut)
{
    // Find a float constant of the demo device.
    std::uint16_t item = 0;
    for (; item < sim.ItemCount(); ++item) {
        const auto t = sim.ItemText(item);
        if (sim.ConstValue(item) && t && t->find('.') != std::string::npos)
            break;
    }
    ASSERT_LT(item, sim.ItemCount());
    std::string text = "[";
    ASSERT_EQ(GetItemText(conn, address, item, &text), 0);
    EXPECT_EQ(text, "[" + *sim.ItemText(item));

    const std::uint32_t before = sim.ConfigChecksum();
    ASSERT_EQ(PutItemText(conn, address, item, "7.25"), 0);
    EXPECT_FLOAT_EQ(*sim.ConstValue(item), 7.25f);
    EXPECT_NE(sim.ConfigChecksum(), before);
    Bytes expect = {0x01, 0, 0, '7', '.', '2', '5', 0};
    PutU16(&expect[1], item);
    EXPECT_EQ(RequestData(RequestsOf(CMD_ITEM_TEXT).back()), expect);

    EXPECT_EQ(PutItemText(conn, address, item, "nonsense"), DEV_BAD_PARAMETER);
    EXPECT_FLOAT_EQ(*sim.ConstValue(item), 7.25f);
    EXPECT_EQ(PutItemText(conn, address, item, std::string(MaxItemText + 1, '1')), LINK_BAD_ARGUMENT);
}

TEST_F(SimTest, ItemTextDropsTheTerminatingZeroAndEmptyTextSendsLength4)
{
    struct Case {
        Bytes answer;
        std::string text;
    } cases[] = {{{0x41, 0x42, 0x00}, "AB"}, {{}, ""}, {{0x00}, ""}};
    for (const Case& c : cases) {
        sim.SetHook([&](const Bytes&) { return Reply(Vx3cFrame(address, CMD_ITEM_TEXT, c.answer)); });
        std::string text = "pre:";
        ASSERT_EQ(GetItemText(conn, address, 9, &text), 0);
        EXPECT_EQ(text, "pre:" + c.text);
    }
    ASSERT_EQ(PutItemText(conn, address, 0x0102, ""), 0);
    const Bytes put = RequestsOf(CMD_ITEM_TEXT).back();
    EXPECT_EQ(FrameLength(put.data()), 4u);
    EXPECT_EQ(RequestData(put), (Bytes{0x01, 0x02, 0x01, 0x00}));
}

// ---------------------------------------------------------------------------------------
// Relay to the flow transducers

namespace {
Bytes Vx2Request(std::uint32_t serial, std::uint8_t command, std::uint8_t index = 0)
{
    Bytes r(Vx2RequestSize, 0);
    PutU32(r.data(), Vx2Address(serial));
    r[4] = command;
    r[5] = index;
    FillCheckBytes(r.data(), Vx2Covered(r.size()));
    Bytes payload = {0x00, 0x02};
    payload.insert(payload.end(), r.begin(), r.end());
    return payload;
}
} // namespace

TEST_F(SimTest, RelayReachesATransducerBehindTheDevice)
{
    vx4sim::Transducer t;
    t.serial = 4711;
    t.pairs = {{1.0f, 1.5f}, {2.0f, 2.5f}, {3.0f, 3.25f}};
    sim.SetTransducers({t});

    const Bytes count = Vx2Request(t.serial, 0x07);
    std::uint8_t answer[32];
    std::size_t len = 0;
    ASSERT_EQ(Relay(conn, address, count.data(), count.size(), answer, sizeof answer, &len), 0);
    ASSERT_EQ(len, 32u);
    EXPECT_TRUE(CheckBytesValid(answer, Vx2Covered(32)));
    EXPECT_EQ(answer[5], 3);
    // The request carries the payload and two zero bytes.
    const Bytes sent = RequestData(RequestsOf(CMD_RELAY).back());
    Bytes expect = count;
    expect.push_back(0);
    expect.push_back(0);
    EXPECT_EQ(sent, expect);

    const Bytes pair = Vx2Request(t.serial, 0x2B, 2);
    ASSERT_EQ(Relay(conn, address, pair.data(), pair.size(), answer, sizeof answer, &len), 0);
    EXPECT_FLOAT_EQ(GetF32(answer + 6), 3.0f);
    EXPECT_FLOAT_EQ(GetF32(answer + 10), 3.25f);

    // A smaller buffer gets the start of the answer.
    ASSERT_EQ(Relay(conn, address, count.data(), count.size(), answer, 8, &len), 0);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(Relay(conn, address, answer, MaxRelayPayload + 1, answer, 8, &len), LINK_BAD_ARGUMENT);
}

TEST_F(SimTest, RelayStatusWordsCostFourAttemptsAndTwoSecondsOfPauses)
{
    vx4sim::Transducer t;
    t.serial = 4712;
    t.absent = true;
    sim.SetTransducers({t});
    const Bytes count = Vx2Request(t.serial, 0x07);
    std::uint8_t answer[32];
    std::size_t len = 99;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Relay(conn, address, count.data(), count.size(), answer, sizeof answer, &len),
              int(vx4sim::RelayStatusNoAnswer));
    const double took = SecondsSince(t0);
    EXPECT_GE(took, 1.95);
    EXPECT_LT(took, 3.5);
    EXPECT_EQ(RequestsOf(CMD_RELAY).size(), 4u);
    // The last status word is the answer.
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(GetU32(answer), vx4sim::RelayStatusNoAnswer);
}

TEST_F(SimTest, RelayOutcomesByAnswer)
{
    // Each case: the answers of up to four attempts, what Relay returns, how many requests
    // it sent and the answer length it reports.
    const Bytes status0 = {0, 0, 0, 0};
    const Bytes status5 = {5, 0, 0, 0};
    const Bytes unitAnswer(32, 0x3C);
    struct Case {
        const char* what;
        std::vector<Bytes> answers; // empty vector entry = damaged frame
        int result;
        std::size_t requests;
        std::size_t length;
    } cases[] = {
        {"busy once, then the answer", {status5, unitAnswer}, 0, 2, 32},
        {"four zero status words", {status0, status0, status0, status0}, 0, 4, 4},
        {"damaged, then the answer", {{}, unitAnswer}, 0, 2, 32},
        {"last attempt damaged", {status5, status5, status5, {}}, FRAME_CHECK_FAILED, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim.ClearRequests();
        auto n = std::make_shared<std::atomic<std::size_t>>(0);
        sim.SetHook([&, n](const Bytes&) {
            const Bytes& a = c.answers.at(std::min(n->fetch_add(1), c.answers.size() - 1));
            if (a.empty())
                return Reply(WithBadCheck(Vx3cFrame(address, CMD_RELAY, unitAnswer)));
            return Reply(Vx3cFrame(address, CMD_RELAY, a));
        });
        const Bytes payload = {0x00, 0x02, 0x11};
        std::uint8_t answer[64];
        std::size_t len = 99;
        EXPECT_EQ(Relay(conn, address, payload.data(), payload.size(), answer, sizeof answer, &len), c.result);
        EXPECT_EQ(sim.Requests().size(), c.requests);
        EXPECT_EQ(len, c.length);
    }
    // A refusal is the device's code, with whatever the answer carried copied.
    sim.SetHook([&](const Bytes&) { return Reply(Vx3cFrame(address, DEV_SLAVE_ERROR, {1, 2})); });
    std::uint8_t answer[8];
    std::size_t len = 0;
    EXPECT_EQ(Relay(conn, address, nullptr, 0, answer, sizeof answer, &len), DEV_SLAVE_ERROR);
    EXPECT_EQ(len, 2u);
}

// ---------------------------------------------------------------------------------------
// Clock test

TEST_F(SimTest, TestClockSendsTheTestThenIdentifyThenTheClosingRequest)
{
    EXPECT_EQ(TestClock(conn, address), 0);
    const auto reqs = sim.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0], (Bytes{0x01, 0x00, 0xF0, 0x06, 0xF7, 0xF7}));
    EXPECT_EQ(RequestCommand(reqs[1]), CMD_IDENTIFY);
    EXPECT_EQ(GetU32(reqs[1].data()), address);
    EXPECT_EQ(reqs[2], (Bytes{0x01, 0x00, 0xF0, 0x04, 0xF5, 0xF5}));
}

TEST_F(SimTest, TestClockResultWhenOnlyTheTestFails)
{
    struct Case {
        Bytes testAnswer;
        int result;
    } cases[] = {{ShortFrame(DEV_BAD_COMMAND, {}), 252}, {WithBadCheck(ShortFrame(CMD_TEST_CLOCK, {})), FRAME_CHECK_FAILED}};
    for (const Case& c : cases) {
        sim.ClearRequests();
        sim.SetHook([&](const Bytes& r) {
            if (IsShortRequest(r) && r[3] == 0x06)
                return Reply(c.testAnswer);
            return Normal();
        });
        EXPECT_EQ(TestClock(conn, address), c.result);
        EXPECT_EQ(sim.Requests().size(), 3u); // the closing request is sent
    }
}

TEST_F(SimTest, TestClockWithTheDeviceSilentIsMinusOneWithoutClosingRequest)
{
    sim.SetHook([](const Bytes&) { return Silent(); });
    EXPECT_EQ(TestClock(conn, address), -1);
    const auto reqs = sim.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_TRUE(IsShortRequest(reqs[0]));
    EXPECT_EQ(RequestCommand(reqs[1]), CMD_IDENTIFY);
}

// ---------------------------------------------------------------------------------------
// Frame monitor read

TEST_F(SimTest, ReadVx3cFrameTakesWhateverFrameComes)
{
    // An identification request sent without awaiting its answer: the monitor read picks
    // the answer off the line.
    std::uint8_t req[FrameCapacity] = {};
    const std::size_t n = BuildVx3cFrame(req, address, 0, CMD_IDENTIFY);
    ASSERT_EQ(conn.Exchange(req, n, nullptr, 0, 100, 1), 0);
    std::uint8_t buf[FrameCapacity];
    std::size_t count = 0;
    std::uint32_t clock = 0;
    ASSERT_EQ(ReadVx3cFrame(conn, buf, &count, &clock), 0);
    EXPECT_EQ(count, Vx3cFrameSize(SDevIdent::Size));
    EXPECT_EQ(FrameCommand(buf), CMD_IDENTIFY);
    EXPECT_LE(MsClock() - clock, 1000u);

    sim.SetHook([&](const Bytes&) { return Reply(WithBadCheck(Vx3cFrame(address, CMD_IDENTIFY, {1, 2, 3}))); });
    ASSERT_EQ(conn.Exchange(req, n, nullptr, 0, 100, 1), 0);
    EXPECT_EQ(ReadVx3cFrame(conn, buf, &count, &clock), FRAME_CHECK_FAILED);
    EXPECT_EQ(count, 12u);
}
