// The answer path of every device command: a scripted link puts arbitrary answers (well
// formed around fuzzed data, refusals, other addresses, silence, raw bytes) behind the
// connection, and the commands decode them. The input is a sequence of steps: a command
// byte and its parameters, then the answer chunks its exchanges take.
//
// The relay command is left out: it pauses half a second after every failed attempt.
#include "FuzzSupport.h"

#include "link/Vx4prot.h"

#include <cstring>

namespace {

using namespace vx4;
using vx4fuzz::Bytes;
using vx4fuzz::Check;
using vx4fuzz::CheckResultCode;
using vx4fuzz::Input;

constexpr int Operations = 14;

// One step: reads the command and all of its parameters from params before the first
// exchange, so that a recorded step (parameters, then answers) plays back the same way.
void Step(connection& conn, Input& params)
{
    const std::uint32_t address = conn.DeviceNumber();
    const int op = params.Byte() % Operations;
    switch (op) {
    case 0: {
        SDevIdent ident;
        CheckResultCode(Identify(conn, address, &ident));
        (void)ident.DeviceTypeText();
        (void)ident.CpuTypeText();
        break;
    }
    case 1: {
        DeviceClock clock;
        CheckResultCode(ReadClock(conn, address, &clock));
        for (int f = DeviceClock::Day; f <= DeviceClock::Second; ++f)
            Check(clock.Value(DeviceClock::Field(f)) <= 165);
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
        CheckResultCode(ReadSystemEvent(conn, address, &event));
        Check(event.Text().size() <= SSysEvent::TextSize);
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
        CheckResultCode(ReadConfigSummary(conn, address, &info));
        Check(info.systemCount <= SConfigInfo::MaxSystems);
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
        CheckResultCode(ReadArchiveInfo(conn, address, index, &archive));
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
    connection conn;
    vx4fuzz::OpenScripted(conn, 123456, in);
    for (int steps = 0; !in.Done() && steps < 64; ++steps)
        Step(conn, in);
    return 0;
}
