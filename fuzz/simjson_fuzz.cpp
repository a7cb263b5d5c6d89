// The simulator's JSON device description: any text is refused with a message or read
// into a description; a description read is written back and read again to the same
// JSON, and a simulator built from it answers the identification and the first
// configuration block.
#include "FuzzSupport.h"

#include "DeviceDescription.h"

namespace {

using vx4fuzz::Check;

void MakeSeeds(const char* dir)
{
    const std::string demo = vx4sim::DescriptionToJson(vx4sim::DemoDescription());
    vx4fuzz::WriteSeed(dir, "demo.json", vx4fuzz::Bytes(demo.begin(), demo.end()));
    const std::string small =
        R"({"identification": {"serial": 77, "protocol": "0.4", "initTime": "01.12.26 08:00:00"},)"
        R"( "systems": [{"name": "A", "note": "B"}],)"
        R"( "items": [{"type": "const", "system": 0, "name": "dev1", "value": 1203045, "format": "int", "width": 7},)"
        R"( {"type": "calc", "system": 1, "name": "G1", "group": 1, "base": 4.5}, {"type": "empty"},)"
        R"( {"type": "event", "name": "Gmin", "group": 0, "mask": 1, "code": 2}],)"
        R"( "files": [{"name": "x.bin", "hex": "00 01 FE"}],)"
        R"( "archives": [{"lastRecord": 3, "flags": 1, "startAddress": 131072, "rowsMinusOne": 3}],)"
        R"( "transducers": [{"serial": 1203045, "pairs": [[0.15, 0.151], [30, 29.8]]}]})";
    vx4fuzz::WriteSeed(dir, "small.json", vx4fuzz::Bytes(small.begin(), small.end()));
}

} // namespace

VX4_FUZZ_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    vx4sim::DeviceDescription d;
    std::string error;
    if (!vx4sim::DescriptionFromJson(text, &d, &error)) {
        Check(!error.empty());
        return 0;
    }
    const std::string written = vx4sim::DescriptionToJson(d);
    vx4sim::DeviceDescription again;
    Check(vx4sim::DescriptionFromJson(written, &again, &error));
    Check(vx4sim::DescriptionToJson(again) == written);
    // Large generated archives and configurations cost time, not coverage.
    if (d.items.size() > 2000)
        return 0;
    auto sim = vx4sim::Simulator::FromJsonText(text, &error);
    Check(sim != nullptr);
    for (std::uint8_t command : {0x01, 0x23}) {
        const auto answer = sim->Answer(vx4fuzz::Vx3cFrame(sim->Serial(), command, {}));
        Check(answer.has_value());
    }
    (void)sim->Answer(vx4fuzz::Vx3cFrame(sim->Serial(), 0x22, {0}));
    return 0;
}
