// The answer path of every device command: a scripted link puts arbitrary answers (well
// formed around fuzzed data, refusals, other addresses, silence, raw bytes) behind the
// connection, and the commands decode them. The input is a sequence of steps: a command
// byte and its parameters, then the answer chunks its exchanges take.
//
// The relay command is left out: it pauses half a second after every failed attempt.
#include "FuzzSupport.h"

#include "link/Vx4prot.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

using namespace vx4;
using vx4fuzz::Bytes;
using vx4fuzz::Check;
using vx4fuzz::CheckResultCode;
using vx4fuzz::Input;

constexpr int Operations = 14;

// The answer's data bytes, padded with zeros to at least n, when the last request written
// was for command and was answered by a well-formed frame the script built: then that
// frame is the answer the command decoded (every try starts with the line emptied).
std::optional<Bytes> LastAnswer(const vx4fuzz::ServedLog* log, std::uint8_t command, std::size_t n)
{
    if (log == nullptr || log->empty())
        return std::nullopt;
    const vx4fuzz::ServedAnswer& a = log->back();
    if (a.request.size() <= 6 || a.request[6] != command || a.served.kind < 0 || a.served.kind > 3)
        return std::nullopt;
    Bytes d = a.served.data;
    if (d.size() < n)
        d.resize(n, 0);
    return d;
}

// True when text holds exactly the bytes at p.
bool SameBytes(const std::string& text, const std::uint8_t* p)
{
    return std::memcmp(text.data(), p, text.size()) == 0;
}

// One step: reads the command and all of its parameters from params before the first
// exchange, so that a recorded step (parameters, then answers) plays back the same way.
// With a log of what was served, decoded records are checked field by field against the
// bytes of the answer they came from.
void Step(connection& conn, Input& params, const vx4fuzz::ServedLog* log = nullptr)
{
    const std::uint32_t address = conn.DeviceNumber();
    const int op = params.Byte() % Operations;
    switch (op) {
    case 0: {
        SDevIdent ident;
        const int rc = Identify(conn, address, &ident);
        CheckResultCode(rc);
        (void)ident.DeviceTypeText();
        (void)ident.CpuTypeText();
        if (const auto d = LastAnswer(log, CMD_IDENTIFY, SDevIdent::Size); rc == 0 && d) {
            const std::uint8_t* b = d->data();
            Check(ident.protoMinor == b[0] && ident.protoMajor == b[1] && ident.swBuild == GetU16(b + 2) &&
                  ident.swMinor == b[4] && ident.swMajor == b[5] && ident.stackFillPct == b[6]);
            Check(std::equal(ident.deviceType.begin(), ident.deviceType.end(), b + 7) &&
                  std::equal(ident.cpuType.begin(), ident.cpuType.end(), b + 11));
            Check(ident.serial == GetU32(b + 21) && std::uint32_t(ident.initState) == GetU32(b + 25) &&
                  std::equal(ident.initTime.begin(), ident.initTime.end(), b + 29));
            Check(ident.extMinor == b[35] && ident.extMajor == b[36] && ident.stateFlags == b[41]);
            // Before protocol 0.5 the software checksum is undefined and reads as 0.
            Check(ident.swChecksum == (b[1] == 0 && b[0] < 5 ? 0u : GetU32(b + 37)));
        }
        break;
    }
    case 1: {
        DeviceClock clock;
        const int rc = ReadClock(conn, address, &clock);
        CheckResultCode(rc);
        for (int f = DeviceClock::Day; f <= DeviceClock::Second; ++f)
            Check(clock.Value(DeviceClock::Field(f)) <= 165);
        if (const auto d = LastAnswer(log, CMD_READ_CLOCK, DeviceClock::Size); rc == 0 && d) {
            std::uint8_t bcd[DeviceClock::Size];
            clock.Encode(bcd);
            Check(std::equal(bcd, bcd + DeviceClock::Size, d->begin()));
            // Each field is the BCD byte read as two decimal digits.
            for (int f = DeviceClock::Day; f <= DeviceClock::Second; ++f)
                Check(clock.Value(DeviceClock::Field(f)) == unsigned((*d)[std::size_t(f)] >> 4) * 10u + ((*d)[std::size_t(f)] & 15u));
        }
        break;
    }
    case 2: {
        const DeviceClock clock = DeviceClock::FromValues(params.Byte(), params.Byte(), params.Byte(),
                                                          params.Byte(), params.Byte(), params.Byte());
        CheckResultCode(SetClock(conn, address, clock));
        break;
    }
    case 3: {
        SSysEvent event;
        const int rc = ReadSystemEvent(conn, address, &event);
        CheckResultCode(rc);
        Check(event.Text().size() <= SSysEvent::TextSize);
        if (const auto d = LastAnswer(log, CMD_SYSTEM_EVENT, SSysEvent::Size); rc == 0 && d) {
            const std::uint8_t* b = d->data();
            Check(event.TaskID == GetU32(b) && event.EvCode == GetU32(b + 4) && event.TStamp == GetU32(b + 8) &&
                  event.EvCnt == GetU32(b + 12));
            const std::string text = event.Text();
            Check(SameBytes(text, b + 16) &&
                  (text.size() == SSysEvent::TextSize || b[16 + text.size()] == 0));
        }
        break;
    }
    case 4: {
        const std::uint16_t n = params.U16() % 1100;
        CheckResultCode(Echo(conn, address, n));
        break;
    }
    case 5: {
        const std::uint16_t item = params.U16();
        const std::size_t capacity = params.Byte() % 40;
        std::uint8_t buf[40];
        std::size_t length = 12345;
        const int rc = ReadItemDescriptor(conn, address, item, buf, capacity, &length);
        CheckResultCode(rc);
        Check(rc != 0 || length <= capacity);
        break;
    }
    case 6: {
        const std::uint8_t mode = params.Byte() % 3;
        std::uint8_t block[FrameCapacity];
        std::size_t length = 0;
        const int rc = ReadConfigBlock(conn, address, mode, block, sizeof block, &length);
        CheckResultCode(rc);
        Check(rc != 0 || length <= MaxVx3cData);
        break;
    }
    case 7: {
        SConfigInfo info;
        const int rc = ReadConfigSummary(conn, address, &info);
        CheckResultCode(rc);
        Check(info.systemCount <= SConfigInfo::MaxSystems);
        if (const auto d = LastAnswer(log, CMD_CONFIG_SUMMARY, 9); rc == 0 && d) {
            const std::size_t length = log->back().served.data.size();
            Check(info.itemCount == GetU32(d->data()) && info.checksum == GetU32(d->data() + 4));
            if (length <= 8)
                Check(info.systemCount == SConfigInfo::MaxSystems);
            else if ((*d)[8] <= SConfigInfo::MaxSystems)
                Check(info.systemCount == (*d)[8]);
            // The texts are zero-ended strings from byte 9 on, name then note per system; a
            // text cut by the end of the data ends there, and those after it are empty.
            // Without them (8 bytes or fewer) every text is empty.
            std::size_t at = std::min<std::size_t>(9, length);
            for (int i = 0; i < info.systemCount; ++i) {
                for (const std::string* text : {&info.systemNames[std::size_t(i)], &info.systemNotes[std::size_t(i)]}) {
                    Check(at + text->size() <= length && SameBytes(*text, d->data() + at));
                    Check(at + text->size() == length || (*d)[at + text->size()] == 0);
                    at = std::min(at + text->size() + 1, length);
                }
            }
        }
        break;
    }
    case 8: {
        const std::size_t k = params.Byte() % MaxReadValues + 1;
        std::uint16_t items[MaxReadValues];
        for (std::size_t i = 0; i < k; ++i)
            items[i] = params.U16();
        SItemValue values[MaxReadValues];
        CheckResultCode(ReadValues(conn, address, items, k, values));
        for (std::size_t i = 0; i < k; ++i)
            (void)values[i].AsFloat();
        break;
    }
    case 9: {
        const std::uint16_t item = params.U16();
        std::string text = "x";
        const int rc = GetItemText(conn, address, item, &text);
        CheckResultCode(rc);
        Check(text.size() <= 1 + MaxVx3cData);
        break;
    }
    case 10: {
        const std::uint16_t item = params.U16();
        const std::size_t n = params.U16() % (MaxItemText + 20);
        const std::string text(n, '7');
        const int rc = PutItemText(conn, address, item, text);
        CheckResultCode(rc);
        Check(n <= MaxItemText || rc == LINK_BAD_ARGUMENT);
        break;
    }
    case 11: {
        const std::uint8_t index = params.Byte();
        SArchiveInfo archive;
        const int rc = ReadArchiveInfo(conn, address, index, &archive);
        CheckResultCode(rc);
        if (const auto d = LastAnswer(log, CMD_ARCHIVE_INFO, SArchiveInfo::Size); rc == 0 && d) {
            const std::uint8_t* b = d->data();
            Check(archive.lastRecord == GetU16(b) && archive.flags == b[2] && archive.startAddress == GetU32(b + 4) &&
                  archive.rowsMinusOne == GetU16(b + 8));
        }
        break;
    }
    case 12:
        CheckResultCode(TestClock(conn, address), true);
        break;
    default: {
        std::uint8_t buf[FrameCapacity];
        std::size_t count = 0;
        std::uint32_t at = 0;
        // A frame nobody asked for: the scripted link answers only writes, so the bytes
        // of an earlier raw chunk are what arrives.
        CheckResultCode(ReadVx3cFrame(conn, buf, &count, &at));
        Check(count <= FrameCapacity);
        break;
    }
    }
}

// Parameters of one step of each command against the demo device.
std::vector<Bytes> SeedSteps(const vx4sim::Simulator& sim)
{
    const std::vector<std::uint16_t> calcs = sim.CalcIds();
    Bytes values = {8, std::uint8_t(std::min<std::size_t>(calcs.size(), 10) - 1)};
    for (std::size_t i = 0; i < calcs.size() && i < 10; ++i) {
        values.push_back(std::uint8_t(calcs[i]));
        values.push_back(std::uint8_t(calcs[i] >> 8));
    }
    return {
        {0}, {1}, {2, 0x10, 0x12, 0x26, 0x08, 0x30, 0x00}, {3}, {4, 40, 0}, {5, 2, 0, 17},
        {6, 0}, {7}, values, {9, 2, 0}, {10, 2, 0, 4, 0}, {11, 0}, {11, 4}, {12},
    };
}

void MakeSeeds(const char* dir)
{
    vx4sim::Simulator sim;
    Bytes all;
    int index = 0;
    for (const Bytes& step : SeedSteps(sim)) {
        Bytes seed = step;
        {
            connection conn;
            vx4fuzz::OpenRecording(conn, sim, seed);
            Input params(step.data(), step.size());
            Step(conn, params);
        }
        vx4fuzz::WriteSeed(dir, "step" + std::to_string(index++), seed);
        all.insert(all.end(), seed.begin(), seed.end());
    }
    vx4fuzz::WriteSeed(dir, "all_steps", all);
}

} // namespace

VX4_FUZZ_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    vx4fuzz::ServedLog log;
    connection conn;
    vx4fuzz::OpenScripted(conn, 123456, in, &log);
    for (int steps = 0; !in.Done() && steps < 64; ++steps)
        Step(conn, in, &log);
    return 0;
}
