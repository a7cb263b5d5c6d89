// The simulator's receiving side: a byte stream split into request frames the way its
// transport does it (frames taken off the front, garbage dropped, a begun frame waited
// for), and every frame found answered by the simulated device, once as it came and
// once with its address and check bytes put right so that the device's command
// handlers see the fuzzed data.
#include "FuzzSupport.h"

#include "FrameScanner.h"

namespace {

using vx4fuzz::Bytes;
using vx4fuzz::Check;

vx4sim::Simulator& Device()
{
    static vx4sim::Simulator sim;
    return sim;
}

void Answer(Bytes frame, bool isShort)
{
    vx4sim::Simulator& sim = Device();
    (void)sim.Answer(frame);
    if (isShort) {
        vx4::FillCheckBytes(frame.data(), frame.size() - 2);
    } else {
        // Half of the frames go to the device's own address, the rest keep theirs.
        if (frame[0] & 1)
            vx4::PutU32(frame.data(), sim.Serial());
        vx4::FillCheckBytes(frame.data(), frame.size() - 2);
    }
    const auto answer = sim.Answer(frame);
    if (answer)
        Check(answer->size() >= vx4::ShortOverhead && answer->size() <= vx4::FrameCapacity);
}

// Requests the console sends to the demo device, one seed each and one with them all.
void MakeSeeds(const char* dir)
{
    vx4sim::Simulator sim;
    const std::uint32_t a = sim.Serial();
    const std::vector<std::pair<std::uint8_t, Bytes>> requests = {
        {0x01, {}}, {0x02, {}}, {0x04, {0x01}}, {0x05, {0x01, 'v', 'x', '4', '.', 'd', 'e', 'f'}}, {0x06, {0x5A}},
        {0x08, {1, 2, 3}}, {0x21, {2, 0}}, {0x22, {0}}, {0x23, {}}, {0x24, {3, 0, 4, 0}}, {0x25, {0, 2, 0}},
        {0x25, {1, 2, 0, '1', '.', '5', 0}}, {0x30, {1}},
        {0x26, {0x00, 0x02, 0x45, 0x30, 0x20, 0x01, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}};
    Bytes all;
    int index = 0;
    for (const auto& [command, data] : requests) {
        const Bytes frame = vx4fuzz::Vx3cFrame(a, command, data);
        vx4fuzz::WriteSeed(dir, "request" + std::to_string(index++), frame);
        all.insert(all.end(), frame.begin(), frame.end());
    }
    const Bytes clockTest = vx4fuzz::ShortFrame(0xF0, {0x06});
    vx4fuzz::WriteSeed(dir, "short", clockTest);
    all.insert(all.end(), clockTest.begin(), clockTest.end());
    vx4fuzz::WriteSeed(dir, "stream", all);
}

} // namespace

VX4_FUZZ_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes buffer;
    std::size_t fed = 0;
    // Bytes arrive in pieces of up to 64: each piece is scanned as the transport scans.
    while (fed < size || !buffer.empty()) {
        const std::size_t piece = std::min<std::size_t>(size - fed, 1 + (fed < size ? data[fed] % 64 : 0));
        buffer.insert(buffer.end(), data + fed, data + fed + piece);
        fed += piece;
        for (;;) {
            const vx4sim::ScanResult s = vx4sim::ScanFrame(buffer.data(), buffer.size());
            if (s.kind == vx4sim::ScanResult::NeedMore) {
                // A buffer of a whole frame's capacity always holds a frame or garbage.
                Check(buffer.size() < vx4::FrameCapacity);
                break;
            }
            Check(s.size >= 1 && s.size <= buffer.size());
            if (s.kind == vx4sim::ScanResult::Frame) {
                Check(s.size >= (s.shortFrame ? vx4::ShortOverhead : vx4::Vx3cOverhead));
                Answer(Bytes(buffer.begin(), buffer.begin() + std::ptrdiff_t(s.size)), s.shortFrame);
            }
            buffer.erase(buffer.begin(), buffer.begin() + std::ptrdiff_t(s.size));
        }
        if (fed >= size)
            break;
    }
    return 0;
}
