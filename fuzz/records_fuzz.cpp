// The answer records and the store they fill: the identification, clock, system event,
// archive descriptor, summary and value records decoded from arbitrary data (every
// length from 0 up), and a sequence of item records placed into a configuration store
// under the summary's systems, then looked up as the windows do.
// Input: a summary length byte and the summary's data, then item records, each a type
// byte and up to 16 record bytes (fewer at the end of the input).
#include "FuzzSupport.h"

#include "device/ConfigStore.h"
#include "device/Vx4obj.h"
#include "link/Vx4Records.h"
#include "platform/Cp1251.h"

#include <cstring>

namespace {

using namespace vx4;
using vx4fuzz::Bytes;
using vx4fuzz::Check;
using vx4fuzz::Input;

// A fixed-size record decodes the bytes it carries and encodes them back unchanged.
template <typename Record>
void RoundTrip(const std::uint8_t* data, std::size_t n)
{
    const Record r = Record::Decode(data, n);
    std::uint8_t out[Record::Size + 1];
    std::memset(out, 0, sizeof out);
    r.Encode(out);
    Check(n == 0 || std::memcmp(out, data, std::min(n, Record::Size)) == 0);
    for (std::size_t i = n; i < Record::Size; ++i)
        Check(out[i] == 0);
}

void Records(const std::uint8_t* data, std::size_t n)
{
    RoundTrip<SDevIdent>(data, n);
    RoundTrip<DeviceClock>(data, n);
    RoundTrip<SSysEvent>(data, n);
    RoundTrip<SArchiveInfo>(data, n);
    RoundTrip<SItemValue>(data, n);
    const SDevIdent ident = SDevIdent::Decode(data, n);
    Check(ident.DeviceTypeText().size() <= 4 && ident.CpuTypeText().size() <= 9);
    Check(SSysEvent::Decode(data, n).Text().size() <= SSysEvent::TextSize);
    (void)Cp1251ToUtf8(SSysEvent::Decode(data, n).Text());
}

void Summary(const std::uint8_t* data, std::size_t n, SConfigInfo* info)
{
    *info = SConfigInfo::Decode(data, n);
    Check(info->systemCount <= SConfigInfo::MaxSystems);
    std::size_t texts = 0;
    for (int i = 0; i < SConfigInfo::MaxSystems; ++i) {
        texts += info->systemNames[std::size_t(i)].size() + info->systemNotes[std::size_t(i)].size();
        if (i >= info->systemCount)
            Check(info->systemNames[std::size_t(i)].empty() && info->systemNotes[std::size_t(i)].empty());
        (void)Cp1251ToUtf8(info->systemNames[std::size_t(i)]);
    }
    Check(n <= 9 ? texts == 0 : texts <= n - 9);
}

std::size_t RecordLength(std::uint8_t type)
{
    return type == ITEM_EVENT ? EventRecordSize : (type == ITEM_CONST || type == ITEM_CALC ? ConstRecordSize : 0);
}

void Store(const SConfigInfo& info, Input& in)
{
    CConfigStore store;
    for (int i = 0; i < SConfigInfo::MaxSystems; ++i)
        store.AddSystem(info.systemNames[std::size_t(i)], info.systemNotes[std::size_t(i)], info.systemCount);
    Check(store.SystemCount() <= info.systemCount);
    std::uint16_t number = 0;
    while (!in.Done()) {
        const std::uint8_t type = in.Byte() & 3;
        std::uint8_t record[ItemRecordMax] = {};
        const Bytes bytes = in.Take(RecordLength(type));
        std::copy(bytes.begin(), bytes.end(), record);
        ++number;
        const std::string name = CVX4Obj::ItemName(type, record, bytes.size());
        Check(name.size() <= ItemNameSize && name.find('\0') == std::string::npos);
        switch (type) {
        case ITEM_CONST:
            if (CConst* c = store.AddConst(record, Cp1251ToUtf8(name), number))
                store.AddTransducer(GetU32(record + 7) & 0xFF);
            break;
        case ITEM_CALC:
            if (CCalc* c = store.AddCalc(record, Cp1251ToUtf8(name)))
                c->SetValue(1.0f, GetU32(record));
            break;
        case ITEM_EVENT:
            store.AddEvent(record, Cp1251ToUtf8(name), number);
            break;
        default:
            break;
        }
    }
    Check(store.TransducerCount() <= CConfigStore::MaxTransducers);
    for (std::uint32_t id = 0; id <= std::uint32_t(number) + 2; ++id) {
        CNode* node = store.FindNode(std::uint16_t(id));
        if (node == nullptr)
            continue;
        const SNodeInfo info = node->Info();
        Check(info.kind >= ITEM_CONST && info.kind <= ITEM_CALC);
        (void)node->Value();
        (void)store.EventNamesFor(node);
    }
    (void)store.Transducers();
}

void MakeSeeds(const char* dir)
{
    vx4sim::Simulator sim;
    // Item records of the demo configuration behind the summary's data.
    Bytes summaryData;
    {
        Bytes request(vx4::Vx3cOverhead);
        vx4::BuildVx3cFrame(request.data(), sim.Serial(), 0, 0x23);
        if (const auto answer = sim.Answer(request))
            summaryData.assign(answer->begin() + 7, answer->end() - 2);
    }
    Bytes seed = {std::uint8_t(std::min<std::size_t>(summaryData.size(), 255))};
    seed.insert(seed.end(), summaryData.begin(), summaryData.begin() + seed[0]);
    for (std::uint32_t i = 1; i <= sim.ItemCount(); ++i) {
        const Bytes r = sim.ItemRecord(std::uint16_t(i));
        if (r.empty())
            seed.push_back(0);
        else
            seed.insert(seed.end(), r.begin(), r.end());
    }
    vx4fuzz::WriteSeed(dir, "demo_items", seed);
    // The identification record as a summary: another shape of data.
    const Bytes ident = sim.IdentRecord();
    Bytes identSeed = {std::uint8_t(ident.size())};
    identSeed.insert(identSeed.end(), ident.begin(), ident.end());
    vx4fuzz::WriteSeed(dir, "ident", identSeed);
}

} // namespace

VX4_FUZZ_SEEDS

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    const Bytes head = in.Take(in.Byte());
    Records(head.data(), head.size());
    Records(data, size);
    SConfigInfo info;
    Summary(head.data(), head.size(), &info);
    Store(info, in);
    return 0;
}
