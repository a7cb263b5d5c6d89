// Commands on the configuration: config, values, get and set. The configuration is read,
// polled and written by the console's device object.

#include "Output.h"
#include "Session.h"
#include "ValuesWorkbook.h"

#include "common/FormatForDevice.h"
#include "link/Frames.h"
#include "link/Vx4prot.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <thread>

namespace vx4ctl {

namespace {

const char* KindName(std::int32_t kind)
{
    switch (kind) {
    case vx4::ITEM_CONST:
        return "const";
    case vx4::ITEM_CALC:
        return "calc";
    case vx4::ITEM_EVENT:
        return "event";
    default:
        return "none";
    }
}

// One item with the fields that apply to its kind.
Json ItemJson(const vx4::SNodeInfo& n)
{
    Json j{{"id", n.id}, {"kind", KindName(n.kind)}, {"name", n.name}};
    const std::uint8_t* d = n.data.data();
    switch (n.kind) {
    case vx4::ITEM_CONST:
        j["system"] = d[0];
        j["value"] = FloatJson(vx4::GetF32(d + 7));
        break;
    case vx4::ITEM_CALC:
        j["system"] = d[0];
        j["groupEventId"] = vx4::GetU16(d + 9);
        break;
    case vx4::ITEM_EVENT:
        j["groupEventId"] = vx4::GetU16(d + 6);
        j["mask"] = vx4::GetU32(d + 8);
        j["code"] = vx4::GetU32(d + 12);
        break;
    default:
        break;
    }
    return j;
}

// "item<TAB>id<TAB>kind<TAB>name" and then "key=value" for the kind's fields.
void PrintItemText(const Json& item)
{
    std::string line = item["id"].dump() + "\t" + item["kind"].get<std::string>() + "\t" +
                       item["name"].get<std::string>();
    for (const char* key : {"system", "value", "groupEventId", "mask", "code"}) {
        if (!item.contains(key))
            continue;
        const Json& v = item[key];
        line += std::string("\t") + key + "=" + (v.is_number_float() ? FloatText(float(v.get<double>())) : v.dump());
    }
    PrintField("item", line);
}

std::string LocalTimeText()
{
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &t);
    return buf;
}

} // namespace

int CmdConfig(const GlobalOptions& g, const CommandArgs&)
{
    Session session(g);
    if (session.Open() != 0 || session.ReadConfiguration() != 0)
        return ExitFailed;
    const vx4::SConfigSnapshot snap = session.Device().GetConfigSnapshot();

    std::vector<vx4::SNodeInfo> items = snap.deviceConsts;
    for (const auto& s : snap.systems) {
        items.insert(items.end(), s.consts.begin(), s.consts.end());
        items.insert(items.end(), s.calcs.begin(), s.calcs.end());
    }
    items.insert(items.end(), snap.events.begin(), snap.events.end());
    std::stable_sort(items.begin(), items.end(),
                     [](const vx4::SNodeInfo& a, const vx4::SNodeInfo& b) { return a.id < b.id; });

    Json itemList = Json::array();
    for (const auto& n : items)
        itemList.push_back(ItemJson(n));
    Json transducers = Json::array();
    for (std::uint32_t t : snap.transducers)
        transducers.push_back(t);
    const Json summary = SummaryJson(snap.info, true);

    if (g.json) {
        PrintJson(Json{{"ident", IdentJson(snap.info.ident)},
                       {"summary", summary},
                       {"items", itemList},
                       {"transducers", transducers}});
        return ExitOk;
    }
    PrintIdentText(snap.info.ident);
    PrintSummaryText(summary);
    for (const auto& item : itemList)
        PrintItemText(item);
    for (const auto& t : transducers)
        PrintField("transducer", t.dump());
    return ExitOk;
}

int CmdValues(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    if (session.Open() != 0 || session.ReadConfiguration() != 0)
        return ExitFailed;
    vx4::CVX4Obj& device = session.Device();
    for (std::uint16_t id : a.ids) {
        if (device.GetNodeInfo(id).kind != vx4::ITEM_CALC) {
            PrintFailure("item " + std::to_string(id) + " is not a calculated value of this device");
            return ExitUsage;
        }
    }
    // Mark the values; the device object's worker polls them once a cycle: a summary
    // check, the clock, then the values (one exchange per batch of 126). Each sample waits for the exchanges of one whole
    // cycle after the previous sample (or after the marks), so that it shows a poll that
    // included every marked value; a cycle that fails is waited for at most a little
    // longer than two cycles.
    vx4::connection& conn = session.Conn();
    auto exchanges = [&conn] {
        const vx4::ConnectionStatistics s = conn.Statistics();
        return std::uint64_t(s.packetsIn) + s.packetsInFailed;
    };
    const auto longest = std::chrono::milliseconds(2500 + 2 * std::uint64_t(conn.Settings().AuxTmout));
    const std::uint64_t perCycle = 2 + (a.ids.size() + vx4::MaxReadValues - 1) / vx4::MaxReadValues;
    std::uint64_t seen = exchanges();
    for (std::uint16_t id : a.ids)
        device.SetItemPolled(id, true);
    ValuesWorkbook workbook(a.xlsxFile, device, a.ids);
    for (std::uint32_t cycle = 0; cycle < a.count; ++cycle) {
        const auto start = std::chrono::steady_clock::now();
        while (exchanges() - seen < perCycle && std::chrono::steady_clock::now() - start < longest)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        seen = exchanges();
        // The answer is counted inside the exchange; the values are stored right after it.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string time = LocalTimeText();
        Json values = Json::array();
        std::string line = time;
        std::vector<float> sample;
        for (std::uint16_t id : a.ids) {
            const vx4::SNodeValue v = device.GetItemValue(id);
            sample.push_back(v.value);
            values.push_back({{"id", id}, {"value", FloatJson(v.value)}, {"status", v.status}});
            line += "\t" + FloatText(v.value) + "\t" + std::to_string(v.status);
        }
        if (g.json)
            PrintJson(Json{{"time", time}, {"values", values}});
        else
            std::cout << line << '\n' << std::flush;
        workbook.Add(time, sample);
    }
    return workbook.Write();
}

int CmdGet(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    std::string text;
    if (int rc = vx4::GetItemText(session.Conn(), address, a.id, &text); rc != 0) {
        PrintError(rc);
        return ExitFailed;
    }
    std::cout << Utf8(text) << '\n';
    return ExitOk;
}

int CmdSet(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    // The reference: the constant's current value as the device prints it.
    std::string reference;
    if (int rc = vx4::GetItemText(session.Conn(), address, a.id, &reference); rc != 0) {
        PrintError(rc);
        return ExitFailed;
    }
    reference = Utf8(reference);
    // A text that cannot be converted gives the reference back unchanged; a reference
    // with a marker behind it (same shape, never a formatted number) tells the two apart.
    if (vx4::FormatForDevice(a.text, reference + "\x01", '.') == reference + "\x01") {
        PrintFailure("'" + a.text + "' is not a value for item " + std::to_string(a.id) + " (device text '" +
                     reference + "')");
        return ExitUsage;
    }
    const std::string text = vx4::FormatForDevice(a.text, reference, '.');
    if (text == reference) {
        std::cout << text << '\n';
        return ExitOk; // the device already holds this value: nothing is written
    }
    // The write goes through the device object, which needs the configuration.
    if (session.ReadConfiguration() != 0)
        return ExitFailed;
    vx4::CVX4Obj& device = session.Device();
    if (device.GetNodeInfo(a.id).kind != vx4::ITEM_CONST) {
        PrintFailure("item " + std::to_string(a.id) + " is not a constant of this device");
        return ExitUsage;
    }
    if (int rc = device.WriteConstant(a.id, text); rc != 0) {
        PrintError(rc);
        return ExitFailed;
    }
    std::cout << text << '\n';
    return ExitOk;
}

} // namespace vx4ctl
