// Commands on the configuration: config, values, get and set. The configuration is read,
// polled and written by the console's device object.

#include "Output.h"
#include "Session.h"
#include "ValuesWorkbook.h"

#include "common/FormatForDevice.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <ctime>
#include <iostream>

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
    const vx4::SConfigSnapshot& snap = session.Configuration();

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
    auto isCalc = [&device](std::uint16_t id) { return device.GetNodeInfo(id).kind == vx4::ITEM_CALC; };
    for (std::uint16_t id : a.ids) {
        if (!isCalc(id)) {
            PrintFailure("item " + std::to_string(id) + " is not a calculated value of this device");
            return ExitUsage;
        }
    }
    // The device object's worker polls the marked values once a cycle and tells of each pass.
    // A sample is a pass that read every marked value, copied on the worker thread before
    // anything can change it. A pass answered with 253 (the configuration changed) makes the
    // worker read the configuration again; the values are then marked again and sampling
    // goes on. Three passes in a row that give no sample (failed, or not reading every
    // listed value), a failed read, or a value gone from the new configuration end the run.
    struct Sampling {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<std::vector<vx4::SNodeValue>> samples;
        std::uint64_t reports = 0;
        int passesWithoutSample = 0;
        int error = 0;
        std::string why;
    };
    constexpr int FruitlessPassesLimit = 3;
    auto sampling = std::make_shared<Sampling>();
    const std::vector<std::uint16_t> ids = a.ids;
    // An identifier listed twice is marked, and read, once a pass.
    const std::size_t marked = std::set<std::uint16_t>(ids.begin(), ids.end()).size();
    device.SetWorkerListener([sampling, ids, marked, &device, isCalc](const vx4::SWorkerReport& r) {
        std::lock_guard<std::mutex> g(sampling->lock);
        ++sampling->reports;
        sampling->changed.notify_all();
        if (sampling->error != 0)
            return;
        if (r.kind == vx4::SWorkerReport::ConfigRead) {
            if (r.result != 0) {
                sampling->error = r.result;
                sampling->why = "reading the configuration again failed";
                return;
            }
            for (std::uint16_t id : ids) {
                if (!isCalc(id)) {
                    sampling->error = vx4::DEV_BAD_PARAMETER;
                    sampling->why = "item " + std::to_string(id) + " is gone from the configuration read again";
                    return;
                }
                device.SetItemPolled(id, true);
            }
            return;
        }
        if (r.result != 0 || r.valuesRead < marked) {
            // A failed pass, or one that did not read every listed value (the first may have
            // begun before the marks).
            if (++sampling->passesWithoutSample >= FruitlessPassesLimit) {
                if (r.result != 0) {
                    sampling->error = r.result;
                    sampling->why = std::to_string(FruitlessPassesLimit) + " polls in a row failed";
                } else {
                    sampling->error = -1;
                    sampling->why = std::to_string(FruitlessPassesLimit) + " polls in a row read " +
                                    std::to_string(r.valuesRead) + " of the " + std::to_string(marked) +
                                    " values listed";
                }
            }
            return;
        }
        sampling->passesWithoutSample = 0;
        std::vector<vx4::SNodeValue> sample;
        for (std::uint16_t id : ids)
            sample.push_back(device.GetItemValue(id));
        sampling->samples.push_back(std::move(sample));
    });
    for (std::uint16_t id : a.ids)
        device.SetItemPolled(id, true);
    ValuesWorkbook workbook(a.xlsxFile, device, a.ids);
    const auto bound = session.WorkerBound();
    int rc = 0;
    std::uint32_t taken = 0;
    while (taken < a.count && rc == 0) {
        std::vector<vx4::SNodeValue> sample;
        {
            std::unique_lock<std::mutex> g(sampling->lock);
            std::uint64_t seen = sampling->reports;
            auto lastSign = std::chrono::steady_clock::now();
            while (sampling->samples.empty() && sampling->error == 0) {
                sampling->changed.wait_for(g, std::chrono::milliseconds(200));
                const auto now = std::chrono::steady_clock::now();
                if (sampling->reports != seen) {
                    seen = sampling->reports;
                    lastSign = now;
                } else if (now - lastSign > bound) {
                    sampling->error = -1;
                    sampling->why = "the device object's worker stopped polling";
                }
            }
            if (sampling->samples.empty()) {
                PrintError(sampling->error, sampling->why);
                rc = sampling->error;
                break;
            }
            sample = std::move(sampling->samples.front());
            sampling->samples.pop_front();
        }
        const std::string time = LocalTimeText();
        Json values = Json::array();
        std::string line = time;
        std::vector<float> row;
        for (std::size_t i = 0; i < a.ids.size(); ++i) {
            const vx4::SNodeValue& v = sample[i];
            row.push_back(v.value);
            values.push_back({{"id", a.ids[i]}, {"value", FloatJson(v.value)}, {"status", v.status}});
            line += "\t" + FloatText(v.value) + "\t" + std::to_string(v.status);
        }
        if (g.json)
            PrintJson(Json{{"time", time}, {"values", values}});
        else
            std::cout << line << '\n' << std::flush;
        workbook.Add(time, row);
        ++taken;
    }
    device.SetWorkerListener({});
    if (rc != 0) {
        if (taken != 0)
            workbook.Write(); // the samples taken are kept
        return ExitFailed;
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
