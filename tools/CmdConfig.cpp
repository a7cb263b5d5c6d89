// Commands on the configuration: config, values, get and set. The configuration is read,
// polled and written by the console's device object.

#include "Output.h"
#include "Session.h"
#include "StopSignals.h"
#include "ValuesWorkbook.h"

#include "common/FormatForDevice.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "link/Vx4prot.h"
#include "options/OptionBank.h"
#include "options/Optlist.h"
#include "platform/Cp1251.h"
#include "platform/FileLocations.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
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

std::string LocalTimeText(std::time_t now)
{
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
    // With --count 0 a stop signal is the run's end; otherwise it cuts the run short. Either
    // way the samples taken go into the spreadsheet.
    StopSignals stop;
    Session session(g);
    session.SetPollInterval(a.intervalMs);
    if (session.Open() != 0 || session.ReadConfiguration() != 0)
        return stop.Requested() ? stop.ExitCode() : ExitFailed;
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
    // The header row comes with the first sample, so that a run that gets none prints nothing.
    std::string header = "time";
    for (std::uint16_t id : a.ids)
        header += "\t" + std::to_string(id) + " " + device.GetNodeInfo(id).name + "\tstatus";
    const auto bound = session.WorkerBound();
    int rc = 0;
    std::uint32_t taken = 0;
    while ((a.count == 0 || taken < a.count) && rc == 0 && !stop.Requested()) {
        std::vector<vx4::SNodeValue> sample;
        {
            std::unique_lock<std::mutex> g(sampling->lock);
            std::uint64_t seen = sampling->reports;
            auto lastSign = std::chrono::steady_clock::now();
            while (sampling->samples.empty() && sampling->error == 0 && !stop.Requested()) {
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
            if (sampling->samples.empty() && stop.Requested())
                break;
            if (sampling->samples.empty()) {
                session.Fail(sampling->error);
                std::cerr << "  " << sampling->why << "\n";
                rc = sampling->error;
                break;
            }
            sample = std::move(sampling->samples.front());
            sampling->samples.pop_front();
        }
        const std::time_t now = std::time(nullptr);
        const std::string time = LocalTimeText(now);
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
            PrintJson(Json{{"time", IsoTime(now)}, {"values", values}});
        else
            std::cout << (taken == 0 ? header + "\n" : std::string()) << line << '\n' << std::flush;
        workbook.Add(time, row);
        ++taken;
    }
    device.SetWorkerListener({});
    if (rc != 0) {
        if (taken != 0)
            workbook.Write(); // the samples taken are kept
        return ExitFailed;
    }
    const int written = workbook.Write();
    if (stop.Requested() && a.count != 0)
        return stop.ExitCode();
    return written;
}

int CmdGet(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    std::string text;
    if (int rc = vx4::GetItemText(session.Conn(), address, a.id, &text); rc != 0) {
        session.Fail(rc);
        return ExitFailed;
    }
    if (g.json)
        PrintJson(Json{{"id", a.id}, {"text", Utf8(text)}});
    else
        std::cout << Utf8(text) << '\n';
    return ExitOk;
}

namespace {

// The number a text stands for ("," or "." as the separator); false when it is none.
bool TextNumber(std::string text, double* out)
{
    for (char& c : text)
        if (c == ',')
            c = '.';
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0')
        return false;
    *out = v;
    return true;
}

// What the constant bank allows for a constant of this name: its listed values, or empty.
std::string AllowedValues(const std::string& name)
{
    const std::string path = vx4::FindDataFile("constbank.xml");
    vx4::COptionBank bank;
    if (!bank.OpenFound(vx4::DataFolders(vx4::ProgramDir()), "constbank.xml"))
        return "constbank.xml, which tells the allowed values, was not found in " + DataFoldersText();
    const vx4::SOptions o = vx4::FindOptions(bank, name);
    if (o.optCount == 0)
        return {};
    std::string list;
    for (std::size_t i = 0; i < o.optCount; ++i)
        list += (i ? ", " : "") + o.opts[i].val;
    return "allowed values (" + path + "): " + list;
}

struct Write {
    std::uint16_t id = 0;
    std::string typed, old, sent, now, name;
    bool rounded = false, written = false;
};

void PrintWrite(const Write& w, bool json, Json* list)
{
    if (json) {
        list->push_back({{"id", w.id},
                         {"name", w.name},
                         {"old", w.old},
                         {"new", w.now},
                         {"written", w.written},
                         {"rounded", w.rounded}});
        return;
    }
    std::cout << w.id << (w.name.empty() ? "" : " " + w.name) << ": " << w.old << " → " << w.now
              << (w.written ? "" : " (unchanged)") << '\n';
}

} // namespace

int CmdSet(const GlobalOptions& g, const CommandArgs& a)
{
    Session session(g);
    std::uint32_t address = 0;
    if (session.Connect(&address) != 0)
        return ExitFailed;
    // Every value is checked against the device's current text before anything is written.
    std::vector<Write> writes;
    for (const auto& [id, typed] : a.writes) {
        Write w;
        w.id = id;
        w.typed = typed;
        std::string reference;
        if (int rc = vx4::GetItemText(session.Conn(), address, id, &reference); rc != 0) {
            session.Fail(rc);
            std::cerr << "  reading item " << id << " failed\n";
            return ExitFailed;
        }
        w.old = Utf8(reference);
        // A text that cannot be converted gives the reference back unchanged; a reference
        // with a marker behind it (same shape, never a formatted number) tells the two apart.
        if (vx4::FormatForDevice(typed, w.old + "\x01", '.') == w.old + "\x01") {
            PrintFailure("'" + typed + "' is not a value for item " + std::to_string(id) + " (device text '" + w.old +
                         "')");
            return ExitUsage;
        }
        w.sent = vx4::FormatForDevice(typed, w.old, '.');
        writes.push_back(std::move(w));
    }
    const bool anyChange =
        std::any_of(writes.begin(), writes.end(), [](const Write& w) { return w.sent != w.old; });
    Json list = Json::array();
    if (!anyChange) {
        // The device already holds every value: nothing is written.
        for (Write& w : writes) {
            w.now = w.old;
            PrintWrite(w, g.json, &list);
        }
        if (g.json)
            PrintJson(Json{{"writes", list}});
        return ExitOk;
    }
    // The writes go through the device object, which needs the configuration: one read for
    // all of them.
    if (session.ReadConfiguration() != 0)
        return ExitFailed;
    vx4::CVX4Obj& device = session.Device();
    for (Write& w : writes) {
        const vx4::SNodeInfo node = device.GetNodeInfo(w.id);
        if (node.kind != vx4::ITEM_CONST) {
            PrintFailure("item " + std::to_string(w.id) + " is not a constant of this device");
            return ExitUsage;
        }
        w.name = node.name;
    }
    int result = ExitOk;
    for (Write& w : writes) {
        if (w.sent == w.old) {
            w.now = w.old;
            PrintWrite(w, g.json, &list);
            continue;
        }
        if (int rc = device.WriteConstant(w.id, w.sent); rc != 0) {
            session.Fail(rc);
            std::cerr << "  writing item " << w.id << " " << w.name << " (" << w.typed << ") failed\n";
            if (rc == vx4::DEV_BAD_PARAMETER) {
                const std::string allowed = AllowedValues(w.name);
                std::cerr << "  the device refused the value"
                          << (allowed.empty() ? std::string(", or its parameters are locked (EN-PR)")
                                              : "; " + allowed)
                          << "\n";
            }
            result = ExitFailed;
            break;
        }
        w.written = true;
        // The device's own text of what it now holds.
        std::string now;
        w.now = vx4::GetItemText(session.Conn(), address, w.id, &now) == 0 ? Utf8(now) : w.sent;
        // The device keeps the value at its own decimals.
        double typedValue = 0, nowValue = 0;
        if (TextNumber(w.typed, &typedValue) && TextNumber(w.now, &nowValue) &&
            std::fabs(typedValue - nowValue) > 1e-6 * std::max(1.0, std::fabs(typedValue))) {
            w.rounded = true;
            std::cerr << "warning: item " << w.id << ": the device's format rounds " << w.typed << " to " << w.now
                      << "\n";
        }
        PrintWrite(w, g.json, &list);
    }
    if (g.json)
        PrintJson(Json{{"writes", list}});
    return result;
}

} // namespace vx4ctl
