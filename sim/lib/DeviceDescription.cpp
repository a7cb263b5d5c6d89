#include "DeviceDescription.h"

#include "link/Frames.h"
#include "platform/Cp1251.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

namespace vx4sim {

using nlohmann::json;

namespace {

std::uint8_t Bcd(unsigned v) { return std::uint8_t(((v / 10) % 10) << 4 | (v % 10)); }

std::vector<std::uint8_t> TextBytes(const std::string& utf8)
{
    const std::string cp = vx4::Utf8ToCp1251(utf8);
    return std::vector<std::uint8_t>(cp.begin(), cp.end());
}

// Calculated values without an explicit identifier take their item number.
void AssignCalcIds(DeviceDescription& d)
{
    for (std::size_t i = 0; i < d.items.size(); ++i)
        if (d.items[i].type == ItemDesc::Calc && d.items[i].id == 0)
            d.items[i].id = std::uint16_t(i + 1);
}

Transducer MakeTransducer(std::uint32_t serial, unsigned pairs, double gmax, unsigned seed)
{
    Transducer t;
    t.serial = serial;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dev(-0.012, 0.012);
    for (unsigned i = 0; i < pairs; ++i) {
        // Graduation points spread geometrically from 0.5 % to 100 % of the largest flow.
        const double gi = gmax * std::pow(200.0, double(i) / double(pairs - 1)) / 200.0;
        t.pairs.push_back({float(gi), float(gi * (1.0 + dev(rng)))});
    }
    return t;
}

std::vector<std::uint8_t> MainXmc(const DeviceDescription& d)
{
    std::string x = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<config device=\"" +
                    std::to_string(d.serial) + "\">\r\n";
    for (std::size_t s = 0; s < d.systems.size(); ++s)
        x += "  <system n=\"" + std::to_string(s + 1) + "\" name=\"" + d.systems[s].name +
             "\" note=\"" + d.systems[s].note + "\"/>\r\n";
    for (std::size_t i = 0; i < d.items.size(); ++i) {
        const ItemDesc& it = d.items[i];
        static const char* const kTag[] = {"empty", "const", "event", "calc"};
        char line[200];
        std::snprintf(line, sizeof line, "  <%s n=\"%zu\" sys=\"%u\" name=\"", kTag[it.type], i + 1,
                      it.system);
        x += line;
        x += it.name + "\"/>\r\n";
    }
    x += "</config>\r\n";
    return TextBytes(x);
}

} // namespace

ItemDesc MakeConst(unsigned system, const std::string& name, double value, unsigned decimals,
                   double min, double max)
{
    ItemDesc d;
    d.type = ItemDesc::Const;
    d.system = system;
    d.name = name;
    d.value = value;
    d.decimals = decimals;
    d.min = min;
    d.max = max;
    return d;
}

ItemDesc MakeIntConst(unsigned system, const std::string& name, double value, unsigned width,
                      double min, double max)
{
    ItemDesc d = MakeConst(system, name, value, 0, min, max);
    d.integer = true;
    d.width = width;
    return d;
}

ItemDesc MakeCalc(unsigned system, const std::string& name, std::uint16_t id, std::uint16_t group,
                  double base, double amplitude, double periodS, std::uint32_t statusBits,
                  double ratePerHour)
{
    ItemDesc d;
    d.type = ItemDesc::Calc;
    d.system = system;
    d.name = name;
    d.id = id;
    d.group = group;
    d.base = base;
    d.amplitude = amplitude;
    d.periodS = periodS;
    d.statusBits = statusBits;
    d.ratePerHour = ratePerHour;
    return d;
}

ItemDesc MakeEvent(const std::string& name, std::uint16_t group, std::uint32_t mask, std::uint32_t code)
{
    ItemDesc d;
    d.type = ItemDesc::Event;
    d.name = name;
    d.group = group;
    d.mask = mask;
    d.code = code;
    return d;
}

std::vector<std::uint8_t> MakeArchiveFile(unsigned records, unsigned recordSize, unsigned intervalS,
                                          std::uint32_t seed)
{
    if (recordSize < 8)
        recordSize = 8;
    std::vector<std::uint8_t> out(std::size_t(records) * recordSize, 0);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-1.f, 1.f);
    const std::uint32_t start = 1764547200u;  // 2025-12-01 00:00 UTC
    for (unsigned r = 0; r < records; ++r) {
        std::uint8_t* p = out.data() + std::size_t(r) * recordSize;
        const std::uint32_t t = start + r * intervalS;
        p[0] = std::uint8_t(t);
        p[1] = std::uint8_t(t >> 8);
        p[2] = std::uint8_t(t >> 16);
        p[3] = std::uint8_t(t >> 24);
        p[4] = std::uint8_t(r);
        p[5] = std::uint8_t(r >> 8);
        p[6] = (r % 97 == 13) ? 1 : 0;  // a rare flag, as a power failure would leave
        p[7] = 0;
        for (unsigned k = 8; k + 4 <= recordSize; k += 4) {
            const float v = 10.f * float(k) + noise(rng);
            std::uint32_t u;
            std::memcpy(&u, &v, 4);
            p[k] = std::uint8_t(u);
            p[k + 1] = std::uint8_t(u >> 8);
            p[k + 2] = std::uint8_t(u >> 16);
            p[k + 3] = std::uint8_t(u >> 24);
        }
    }
    return out;
}

FileDesc ArchiveFile(const std::string& name, const ArchiveGen& gen)
{
    return FileDesc{name, MakeArchiveFile(gen.records, gen.recordSize, gen.intervalS, gen.seed), gen};
}

DeviceDescription DemoDescription()
{
    DeviceDescription d;
    d.initTime = {Bcd(1), Bcd(12), Bcd(26), Bcd(8), Bcd(0), Bcd(0)};
    d.systems = {{"Отопление", "Тепловой ввод, ул. Садовая 14"},
                 {"ГВС", "Горячее водоснабжение"},
                 {"Подпитка", "Холодная вода на подпитку"}};

    auto& it = d.items;
    // Device-wide constants: the transducers on the line, then general settings.
    it.push_back(MakeIntConst(0, "dev1", 1203045, 7, 0, 16777215));
    it.push_back(MakeIntConst(0, "dev2", 1203046, 7, 0, 16777215));
    it.push_back(MakeIntConst(0, "dev3", 1207001, 7, 0, 16777215));
    it.push_back(MakeIntConst(0, "ЛетВр", 1, 1, 0, 1));  // summer time: 0 off, 1 on
    it.push_back(MakeIntConst(0, "Отчет", 25, 2, 1, 31));
    it.push_back(MakeIntConst(0, "РасчЧ", 0, 2, 0, 23));
    it.push_back(MakeIntConst(0, "Адрес", 5, 3, 1, 247));
    it.push_back(ItemDesc{});  // an unused slot
    for (unsigned s = 1; s <= 3; ++s) {
        const double k = 1.0 + 0.37 * (s - 1);
        it.push_back(MakeConst(s, "Tхв", 5.0 + s, 3));
        it.push_back(MakeConst(s, "Pхв", 0.25, 3));
        it.push_back(MakeConst(s, "Gmin", 0.12 * k, 3));
        it.push_back(MakeConst(s, "Gmax", 12.345 * k, 3));
        it.push_back(MakeIntConst(s, "Ду", s == 3 ? 25 : 50, 3, 10, 999));
        it.push_back(MakeIntConst(s, "Реж", 1, 1, 0, 1));  // metering: 0 off, 1 on
        it.push_back(MakeCalc(s, "G1", 0, s, 4.5 * k, 0.8, 90, 0x03));
        if (s != 3)
            it.push_back(MakeCalc(s, "G2", 0, s, 4.3 * k, 0.7, 110, 0x03));
        it.push_back(MakeCalc(s, "T1", 0, s, s == 3 ? 8 : 72, 3, 300, 0));
        if (s != 3) {
            it.push_back(MakeCalc(s, "T2", 0, s, 48, 2, 240, 0x08));
            it.push_back(MakeCalc(s, "dT", 0, s, 24, 1.5, 200, 0x08));
        }
        it.push_back(MakeCalc(s, "P1", 0, s, 0.62, 0.03, 45, 0x04));
        if (s != 3)
            it.push_back(MakeCalc(s, "Q", 0, s, 0.11 * k, 0.02, 120, 0));
        it.push_back(MakeCalc(s, "W", 0, s, 1523.7 * k, 0, 60, 0, 0.11 * k));
        it.push_back(MakeCalc(s, "M1", 0, s, 88412.0 * k, 0, 60, 0, 4.5 * k));
        it.push_back(MakeCalc(s, "Tраб", 0, s, 8450, 0, 60, 0x10, 1.0));
    }
    it.push_back(MakeEvent("Питан", 0, 0x10, 1));
    it.push_back(MakeEvent("Gmin", 0, 0x01, 2));
    it.push_back(MakeEvent("Gmax", 0, 0x02, 3));
    it.push_back(MakeEvent("dT<", 1, 0x08, 4));
    it.push_back(MakeEvent("Обрыв", 2, 0x04, 5));
    it.push_back(MakeEvent("T2>T1", 2, 0x08, 6));
    it.push_back(MakeEvent("Pмин", 3, 0x04, 7));
    AssignCalcIds(d);

    d.transducers = {MakeTransducer(1203045, 12, 30.0, 1), MakeTransducer(1203046, 8, 30.0, 2),
                     MakeTransducer(1207001, 17, 12.0, 3)};

    struct Arch {
        const char* name;
        unsigned records, size, interval;
    };
    const Arch arch[] = {{"hour.dat", 1440, 48, 3600},
                         {"day.dat", 400, 48, 86400},
                         {"month.dat", 48, 48, 2592000},
                         {"year.dat", 10, 48, 31536000},
                         {"event.dat", 512, 16, 5400}};
    std::uint32_t address = 0x00020000;
    for (unsigned i = 0; i < 5; ++i) {
        d.files.push_back(ArchiveFile(arch[i].name, {arch[i].records, arch[i].size, arch[i].interval, 100 + i}));
        ArchiveDesc& a = d.archives[i];
        a.lastRecord = std::uint16_t(arch[i].records - 1);
        a.flags = 0x01;
        a.startAddress = address;
        a.rowsMinusOne = std::uint16_t(arch[i].records - 1);
        address += ((arch[i].records * arch[i].size + 0xFFFF) & ~0xFFFFu);
    }
    d.files.push_back({"main.xmc", MainXmc(d), std::nullopt});
    d.files.push_back({"otop.xms", TextBytes("[Система]\r\nИмя=Отопление\r\nСхема=2\r\nДатчиков=2\r\n"), std::nullopt});
    d.files.push_back(ArchiveFile("otop.xmb", {64, 32, 60, 7}));
    d.files.push_back({"main.wmc", TextBytes("; Карта памяти архивов\r\nhour=00020000\r\nday=00030000\r\n"), std::nullopt});
    d.files.push_back({"vx4.def", TextBytes("[Прибор]\r\nТип=VX4\r\nСистем=3\r\nЗФЛ=3\r\n"), std::nullopt});

    d.systemEvents = {{3, 0x101, 1765180800u, 1, "Включение питания"},
                      {5, 0x204, 1765195200u, 2, "Обрыв датчика T2"},
                      {2, 0x031, 1765267200u, 1, "Изменение конфигурации"},
                      {7, 0x012, 1765353600u, 1, "Коррекция часов"}};
    return d;
}

DeviceDescription LargeDescription(unsigned items)
{
    DeviceDescription d = DemoDescription();
    d.items.clear();
    d.systems.clear();
    for (unsigned s = 1; s <= 9; ++s)
        d.systems.push_back({"Система " + std::to_string(s), "Участок " + std::to_string(s)});
    for (unsigned i = 0; i < items; ++i) {
        const unsigned sys = 1 + (i / 10) % 9;
        const std::string n = std::to_string(i % 100000);
        switch (i % 10) {
        case 0: case 1: case 2:
            d.items.push_back(MakeConst(sys, "K" + n, 1.5 * (i % 97), 3));
            break;
        case 9:
            d.items.push_back(MakeEvent("E" + n, std::uint16_t(sys), 1u << (i % 8), i));
            break;
        default:
            d.items.push_back(MakeCalc(sys, "V" + n, 0, sys, 10.0 + i % 50, 1.0, 60 + i % 50, 0x03));
        }
    }
    AssignCalcIds(d);
    // A one-megabyte file for transfer measurements.
    d.files.push_back(ArchiveFile("big.dat", {16384, 64, 60, 9}));
    return d;
}

// ---------------------------------------------------------------------------------------
// JSON

namespace {

class JsonReader {
public:
    explicit JsonReader(std::string* error) : error_(error) {}

    bool Fail(const std::string& where, const std::string& what)
    {
        if (error_)
            *error_ = where + ": " + what;
        return false;
    }

    // An object whose keys all appear in `keys` (any keys when the list is empty).
    bool Object(const json& j, const std::string& where, std::initializer_list<const char*> keys = {})
    {
        if (!j.is_object())
            return Fail(where, "must be an object");
        if (keys.size() == 0)
            return true;
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool known = false;
            for (const char* k : keys)
                known = known || it.key() == k;
            if (!known)
                return Fail(where + "." + it.key(), "unknown key");
        }
        return true;
    }

    // Optional unsigned number within [min, max].
    template <typename T>
    bool UInt(const json& obj, const char* key, const std::string& where, T* out, double min,
              double max)
    {
        auto f = obj.find(key);
        if (f == obj.end())
            return true;
        if (!f->is_number_integer() && !f->is_number_unsigned())
            return Fail(where + "." + key, "must be an integer");
        const double v = f->get<double>();
        if (v < min || v > max)
            return Fail(where + "." + key, "out of range " + Num(min) + ".." + Num(max));
        *out = T(f->get<long long>());
        return true;
    }

    bool Double(const json& obj, const char* key, const std::string& where, double* out)
    {
        auto f = obj.find(key);
        if (f == obj.end())
            return true;
        if (!f->is_number() || !std::isfinite(f->get<double>()))
            return Fail(where + "." + key, "must be a number");
        *out = f->get<double>();
        return true;
    }

    bool Bool(const json& obj, const char* key, const std::string& where, bool* out)
    {
        auto f = obj.find(key);
        if (f == obj.end())
            return true;
        if (!f->is_boolean())
            return Fail(where + "." + key, "must be true or false");
        *out = f->get<bool>();
        return true;
    }

    // Optional text; maxBytes limits its CP1251 form (0 = no limit).
    bool Text(const json& obj, const char* key, const std::string& where, std::string* out,
              std::size_t maxBytes)
    {
        auto f = obj.find(key);
        if (f == obj.end())
            return true;
        if (!f->is_string())
            return Fail(where + "." + key, "must be a text");
        const std::string s = f->get<std::string>();
        if (maxBytes && vx4::Utf8ToCp1251(s).size() > maxBytes)
            return Fail(where + "." + key, "longer than " + std::to_string(maxBytes) + " characters");
        *out = s;
        return true;
    }

    // "a.b" or "a.b.c" version texts.
    bool Version(const json& obj, const char* key, const std::string& where, unsigned* parts,
                 int count)
    {
        std::string text;
        if (!Text(obj, key, where, &text, 0) || text.empty())
            return error_ ? error_->empty() : true;
        unsigned v[3] = {0, 0, 0};
        int n = 0;
        const char* p = text.c_str();
        while (n < count) {
            char* end = nullptr;
            const unsigned long x = std::strtoul(p, &end, 10);
            if (end == p || x > (n == 2 ? 65535ul : 255ul))
                return Fail(where + "." + key, "must look like " + std::string(count == 2 ? "1.2" : "1.2.3"));
            v[n++] = unsigned(x);
            p = end;
            if (n < count) {
                if (*p != '.')
                    return Fail(where + "." + key, "must look like " + std::string(count == 2 ? "1.2" : "1.2.3"));
                ++p;
            }
        }
        if (*p)
            return Fail(where + "." + key, "must look like " + std::string(count == 2 ? "1.2" : "1.2.3"));
        for (int i = 0; i < count; ++i)
            parts[i] = v[i];
        return true;
    }

    static std::string Num(double v)
    {
        char b[40];
        std::snprintf(b, sizeof b, "%.15g", v);
        return b;
    }

private:
    std::string* error_;
};

bool ParseHex(const std::string& s, std::vector<std::uint8_t>* out)
{
    out->clear();
    int hi = -1;
    for (char c : s) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        else return false;
        if (hi < 0) {
            hi = v;
        } else {
            out->push_back(std::uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

// "DD.MM.YY hh:mm:ss" into 6 BCD bytes. All zeros is a time never set (what a device
// that was never initialised reports, and what DescriptionToJson writes for it).
bool ParseTime(const std::string& s, std::array<std::uint8_t, 6>* out)
{
    unsigned v[6];
    char tail;
    if (std::sscanf(s.c_str(), "%2u.%2u.%2u %2u:%2u:%2u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &tail) != 6)
        return false;
    if (v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0 && v[4] == 0 && v[5] == 0) {
        out->fill(0);
        return true;
    }
    if (v[0] < 1 || v[0] > 31 || v[1] < 1 || v[1] > 12 || v[3] > 23 || v[4] > 59 || v[5] > 59)
        return false;
    for (int i = 0; i < 6; ++i)
        (*out)[i] = Bcd(v[i]);
    return true;
}

bool ReadItem(JsonReader& r, const json& j, const std::string& where, std::size_t systems,
              ItemDesc* it)
{
    if (!r.Object(j, where, {"type", "system", "name", "value", "format", "decimals", "width", "min", "max",
                             "id", "group", "base", "amplitude", "periodS", "ratePerHour", "statusBits",
                             "mask", "code"}))
        return false;
    std::string type = "empty";
    if (!r.Text(j, "type", where, &type, 0))
        return false;
    if (type == "empty") {
        it->type = ItemDesc::Empty;
        return true;
    }
    if (type == "const") it->type = ItemDesc::Const;
    else if (type == "calc") it->type = ItemDesc::Calc;
    else if (type == "event") it->type = ItemDesc::Event;
    else return r.Fail(where + ".type", "unknown item type \"" + type + "\" (const, calc, event, empty)");

    if (!j.contains("name"))
        return r.Fail(where, "has no name");
    if (!r.Text(j, "name", where, &it->name, 6))
        return false;
    if (it->type != ItemDesc::Event) {
        const double lo = it->type == ItemDesc::Calc ? 1 : 0;
        if (!j.contains("system") && it->type == ItemDesc::Calc)
            return r.Fail(where, "a calculated value needs a system");
        if (!r.UInt(j, "system", where, &it->system, lo, 9))
            return false;
        if (it->system > systems)
            return r.Fail(where + ".system", "names a system that is not described");
    }
    if (it->type == ItemDesc::Const) {
        std::string format = "float";
        if (!r.Text(j, "format", where, &format, 0))
            return false;
        if (format != "float" && format != "int")
            return r.Fail(where + ".format", "must be \"float\" or \"int\"");
        it->integer = format == "int";
        if (!r.Double(j, "value", where, &it->value) ||
            !r.UInt(j, "decimals", where, &it->decimals, 0, 9) ||
            !r.UInt(j, "width", where, &it->width, 1, 12) || !r.Double(j, "min", where, &it->min) ||
            !r.Double(j, "max", where, &it->max))
            return false;
        if (it->min > it->max)
            return r.Fail(where, "min is above max");
        if (it->value < it->min || it->value > it->max)
            return r.Fail(where + ".value", "outside min..max");
        if (it->integer && it->value != std::floor(it->value))
            return r.Fail(where + ".value", "must be a whole number for an \"int\" constant");
        if (std::fabs(it->value) > 3.4e38)
            return r.Fail(where + ".value", "does not fit a single-precision number");
    } else if (it->type == ItemDesc::Calc) {
        // An id of 0, like a missing one, means the item's number.
        if (!r.UInt(j, "id", where, &it->id, 0, 65535) || !r.UInt(j, "group", where, &it->group, 0, 65535) ||
            !r.Double(j, "base", where, &it->base) || !r.Double(j, "amplitude", where, &it->amplitude) ||
            !r.Double(j, "periodS", where, &it->periodS) ||
            !r.Double(j, "ratePerHour", where, &it->ratePerHour) ||
            !r.UInt(j, "statusBits", where, &it->statusBits, 0, 4294967295.0) ||
            !r.UInt(j, "decimals", where, &it->decimals, 0, 9))
            return false;
        if (it->periodS <= 0)
            return r.Fail(where + ".periodS", "must be above 0");
    } else {
        if (!r.UInt(j, "group", where, &it->group, 0, 65535) ||
            !r.UInt(j, "mask", where, &it->mask, 0, 4294967295.0) ||
            !r.UInt(j, "code", where, &it->code, 0, 4294967295.0))
            return false;
    }
    return true;
}

bool ReadFileEntry(JsonReader& r, const json& j, const std::string& where, FileDesc* f)
{
    if (!r.Object(j, where, {"name", "text", "hex", "archive"}))
        return false;
    if (!j.contains("name"))
        return r.Fail(where, "has no name");
    if (!r.Text(j, "name", where, &f->name, 1014))
        return false;
    if (f->name.empty())
        return r.Fail(where + ".name", "is empty");
    int sources = 0;
    if (j.contains("text")) {
        ++sources;
        std::string t;
        if (!r.Text(j, "text", where, &t, 0))
            return false;
        f->bytes = TextBytes(t);
    }
    if (j.contains("hex")) {
        ++sources;
        std::string t;
        if (!r.Text(j, "hex", where, &t, 0))
            return false;
        if (!ParseHex(t, &f->bytes))
            return r.Fail(where + ".hex", "is not a sequence of hexadecimal byte pairs");
    }
    if (j.contains("archive")) {
        ++sources;
        const json& a = j["archive"];
        const std::string w = where + ".archive";
        if (!r.Object(a, w, {"records", "recordSize", "intervalS", "seed"}))
            return false;
        unsigned records = 100, size = 48, interval = 3600, seed = 1;
        if (!r.UInt(a, "records", w, &records, 0, 1 << 20) ||
            !r.UInt(a, "recordSize", w, &size, 8, 4096) ||
            !r.UInt(a, "intervalS", w, &interval, 1, 1e9) || !r.UInt(a, "seed", w, &seed, 0, 4294967295.0))
            return false;
        *f = ArchiveFile(f->name, {records, size, interval, seed});
    }
    if (sources != 1)
        return r.Fail(where, "needs exactly one of \"text\", \"hex\" or \"archive\"");
    return true;
}

} // namespace

bool DescriptionFromJson(const std::string& text, DeviceDescription* out, std::string* error)
{
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& e) { // a syntax error, or a number beyond any double
        if (error)
            *error = std::string("not valid JSON: ") + e.what();
        return false;
    }
    JsonReader r(error);
    if (!r.Object(root, "device description"))
        return false;
    DeviceDescription d = DemoDescription();
    d.items.clear();
    d.systems.clear();
    d.files.clear();
    d.systemEvents.clear();
    d.transducers.clear();
    d.archives = {};

    static const char* const kKnown[] = {"identification", "systems", "items", "files",
                                         "archives", "systemEvents", "transducers"};
    for (auto it = root.begin(); it != root.end(); ++it) {
        bool known = false;
        for (const char* k : kKnown)
            known = known || it.key() == k;
        if (!known)
            return r.Fail(it.key(), "unknown section");
    }

    if (root.contains("identification")) {
        const json& id = root["identification"];
        const std::string w = "identification";
        if (!r.Object(id, w, {"serial", "protocol", "software", "extension", "stackFillPct", "deviceType",
                              "cpuType", "initState", "initTime", "swChecksum", "stateFlags"}))
            return false;
        unsigned proto[2] = {d.protoMajor, d.protoMinor};
        unsigned sw[3] = {d.swMajor, d.swMinor, d.swBuild};
        unsigned ext[2] = {d.extMajor, d.extMinor};
        std::string init;
        if (!r.UInt(id, "serial", w, &d.serial, 1, 4294967295.0) ||
            !r.Version(id, "protocol", w, proto, 2) || !r.Version(id, "software", w, sw, 3) ||
            !r.Version(id, "extension", w, ext, 2) ||
            !r.UInt(id, "stackFillPct", w, &d.stackFillPct, 0, 100) ||
            !r.Text(id, "deviceType", w, &d.deviceType, 4) || !r.Text(id, "cpuType", w, &d.cpuType, 9) ||
            !r.UInt(id, "initState", w, &d.initState, -2147483648.0, 2147483647.0) ||
            !r.UInt(id, "swChecksum", w, &d.swChecksum, 0, 4294967295.0) ||
            !r.UInt(id, "stateFlags", w, &d.stateFlags, 0, 255) || !r.Text(id, "initTime", w, &init, 0))
            return false;
        if (d.serial == vx4::AnyDeviceAddress)
            return r.Fail(w + ".serial", "must not be the any-device address");
        if (!init.empty() && !ParseTime(init, &d.initTime))
            return r.Fail(w + ".initTime", "must look like 01.12.26 08:00:00");
        d.protoMajor = proto[0];
        d.protoMinor = proto[1];
        d.swMajor = sw[0];
        d.swMinor = sw[1];
        d.swBuild = sw[2];
        d.extMajor = ext[0];
        d.extMinor = ext[1];
    }

    auto array = [&](const char* key, std::size_t maxCount) -> const json* {
        if (!root.contains(key))
            return nullptr;
        const json& a = root[key];
        if (!a.is_array()) {
            r.Fail(key, "must be an array");
            return &a;
        }
        if (a.size() > maxCount) {
            r.Fail(key, "more than " + std::to_string(maxCount) + " entries");
            return &a;
        }
        return &a;
    };
    auto bad = [&](const json* a, std::size_t maxCount) {
        return a && (!a->is_array() || a->size() > maxCount);
    };

    if (const json* a = array("systems", 9)) {
        if (bad(a, 9))
            return false;
        for (std::size_t i = 0; i < a->size(); ++i) {
            const std::string w = "systems[" + std::to_string(i) + "]";
            SystemInfo s;
            if (!r.Object((*a)[i], w, {"name", "note"}) || !r.Text((*a)[i], "name", w, &s.name, 200) ||
                !r.Text((*a)[i], "note", w, &s.note, 200))
                return false;
            d.systems.push_back(s);
        }
        // The summary answer carries every name and note; it must fit one frame.
        std::size_t summary = 9;
        for (const SystemInfo& s : d.systems)
            summary += vx4::Utf8ToCp1251(s.name).size() + vx4::Utf8ToCp1251(s.note).size() + 2;
        if (summary > vx4::MaxVx3cData)
            return r.Fail("systems", "names and notes together are too long for one answer");
    }
    if (const json* a = array("items", 65535)) {
        if (bad(a, 65535))
            return false;
        for (std::size_t i = 0; i < a->size(); ++i) {
            ItemDesc it;
            if (!ReadItem(r, (*a)[i], "items[" + std::to_string(i) + "]", d.systems.size(), &it))
                return false;
            d.items.push_back(it);
        }
    }
    AssignCalcIds(d);
    for (std::size_t i = 0; i < d.items.size(); ++i)
        for (std::size_t k = 0; k < i; ++k)
            if (d.items[i].type == ItemDesc::Calc && d.items[k].type == ItemDesc::Calc &&
                d.items[i].id == d.items[k].id)
                return r.Fail("items[" + std::to_string(i) + "].id",
                              "identifier " + std::to_string(d.items[i].id) + " used twice");

    if (const json* a = array("files", 1000)) {
        if (bad(a, 1000))
            return false;
        for (std::size_t i = 0; i < a->size(); ++i) {
            FileDesc f;
            if (!ReadFileEntry(r, (*a)[i], "files[" + std::to_string(i) + "]", &f))
                return false;
            d.files.push_back(std::move(f));
        }
    }
    if (const json* a = array("archives", 5)) {
        if (bad(a, 5))
            return false;
        for (std::size_t i = 0; i < a->size(); ++i) {
            const std::string w = "archives[" + std::to_string(i) + "]";
            ArchiveDesc& x = d.archives[i];
            if (!r.Object((*a)[i], w, {"lastRecord", "flags", "startAddress", "rowsMinusOne"}) ||
                !r.UInt((*a)[i], "lastRecord", w, &x.lastRecord, 0, 65535) ||
                !r.UInt((*a)[i], "flags", w, &x.flags, 0, 255) ||
                !r.UInt((*a)[i], "startAddress", w, &x.startAddress, 0, 4294967295.0) ||
                !r.UInt((*a)[i], "rowsMinusOne", w, &x.rowsMinusOne, 0, 65535))
                return false;
        }
    }
    if (const json* a = array("systemEvents", 100000)) {
        if (bad(a, 100000))
            return false;
        for (std::size_t i = 0; i < a->size(); ++i) {
            const std::string w = "systemEvents[" + std::to_string(i) + "]";
            SystemEvent e;
            const json& x = (*a)[i];
            if (!r.Object(x, w, {"taskId", "code", "time", "count", "text"}) || !r.UInt(x, "taskId", w, &e.taskId, 1, 4294967295.0) ||
                !r.UInt(x, "code", w, &e.evCode, 0, 4294967295.0) ||
                !r.UInt(x, "time", w, &e.tStamp, 0, 4294967295.0) ||
                !r.UInt(x, "count", w, &e.evCnt, 0, 4294967295.0) || !r.Text(x, "text", w, &e.text, 31))
                return false;
            if (!x.contains("taskId"))
                return r.Fail(w, "needs a taskId (1 or more)");
            d.systemEvents.push_back(e);
        }
    }
    if (const json* a = array("transducers", 1000)) {
        if (bad(a, 1000))
            return false;
        for (std::size_t i = 0; i < a->size(); ++i) {
            const std::string w = "transducers[" + std::to_string(i) + "]";
            const json& x = (*a)[i];
            Transducer t;
            if (!r.Object(x, w, {"serial", "absent", "busyCount", "pairs"}) || !r.UInt(x, "serial", w, &t.serial, 1, 4294967295.0) ||
                !r.Bool(x, "absent", w, &t.absent) || !r.UInt(x, "busyCount", w, &t.busyCount, 0, 1e6))
                return false;
            if (!x.contains("serial"))
                return r.Fail(w, "has no serial");
            if (x.contains("pairs")) {
                const json& p = x["pairs"];
                if (!p.is_array() || p.size() > 255)
                    return r.Fail(w + ".pairs", "must be an array of at most 255 [gi, ge] pairs");
                for (std::size_t k = 0; k < p.size(); ++k) {
                    const json& q = p[k];
                    if (!q.is_array() || q.size() != 2 || !q[0].is_number() || !q[1].is_number())
                        return r.Fail(w + ".pairs[" + std::to_string(k) + "]", "must be [gi, ge]");
                    t.pairs.push_back({q[0].get<float>(), q[1].get<float>()});
                }
            }
            d.transducers.push_back(std::move(t));
        }
    }
    *out = std::move(d);
    return true;
}

std::string DescriptionToJson(const DeviceDescription& d)
{
    using json = nlohmann::ordered_json;
    json root;
    auto bcd = [](std::uint8_t b) { return unsigned(b >> 4) * 10 + (b & 15); };
    char init[40];
    std::snprintf(init, sizeof init, "%02u.%02u.%02u %02u:%02u:%02u", bcd(d.initTime[0]),
                  bcd(d.initTime[1]), bcd(d.initTime[2]), bcd(d.initTime[3]), bcd(d.initTime[4]),
                  bcd(d.initTime[5]));
    root["identification"] = {
        {"serial", d.serial},
        {"protocol", std::to_string(d.protoMajor) + "." + std::to_string(d.protoMinor)},
        {"software", std::to_string(d.swMajor) + "." + std::to_string(d.swMinor) + "." + std::to_string(d.swBuild)},
        {"extension", std::to_string(d.extMajor) + "." + std::to_string(d.extMinor)},
        {"stackFillPct", d.stackFillPct}, {"deviceType", d.deviceType}, {"cpuType", d.cpuType},
        {"initState", d.initState}, {"initTime", init}, {"swChecksum", d.swChecksum},
        {"stateFlags", d.stateFlags}};
    root["systems"] = json::array();
    for (const SystemInfo& s : d.systems)
        root["systems"].push_back({{"name", s.name}, {"note", s.note}});
    root["items"] = json::array();
    for (const ItemDesc& it : d.items) {
        json j;
        switch (it.type) {
        case ItemDesc::Empty:
            j = {{"type", "empty"}};
            break;
        case ItemDesc::Const:
            j = {{"type", "const"}, {"system", it.system}, {"name", it.name}, {"value", it.value},
                 {"format", it.integer ? "int" : "float"}};
            if (it.integer)
                j["width"] = it.width;
            else
                j["decimals"] = it.decimals;
            if (it.min > -1e30)
                j["min"] = it.min;
            if (it.max < 1e30)
                j["max"] = it.max;
            break;
        case ItemDesc::Calc:
            j = {{"type", "calc"}, {"system", it.system}, {"name", it.name}, {"id", it.id},
                 {"group", it.group}, {"base", it.base}, {"amplitude", it.amplitude},
                 {"periodS", it.periodS}, {"ratePerHour", it.ratePerHour},
                 {"statusBits", it.statusBits}, {"decimals", it.decimals}};
            break;
        case ItemDesc::Event:
            j = {{"type", "event"}, {"name", it.name}, {"group", it.group}, {"mask", it.mask},
                 {"code", it.code}};
            break;
        }
        root["items"].push_back(j);
    }
    root["files"] = json::array();
    for (const FileDesc& f : d.files) {
        if (f.generated) {
            const ArchiveGen& g = *f.generated;
            root["files"].push_back({{"name", f.name},
                                     {"archive", {{"records", g.records}, {"recordSize", g.recordSize},
                                                  {"intervalS", g.intervalS}, {"seed", g.seed}}}});
            continue;
        }
        const std::string raw(f.bytes.begin(), f.bytes.end());
        const std::string utf8 = vx4::Cp1251ToUtf8(raw);
        bool text = vx4::Utf8ToCp1251(utf8) == raw;
        for (unsigned char c : raw)
            text = text && (c >= 0x20 || c == '\r' || c == '\n' || c == '\t');
        if (text) {
            root["files"].push_back({{"name", f.name}, {"text", utf8}});
            continue;
        }
        std::string hex;
        hex.reserve(f.bytes.size() * 2);
        static const char* const digits = "0123456789ABCDEF";
        for (std::uint8_t b : f.bytes) {
            hex += digits[b >> 4];
            hex += digits[b & 15];
        }
        root["files"].push_back({{"name", f.name}, {"hex", hex}});
    }
    root["archives"] = json::array();
    for (const ArchiveDesc& a : d.archives)
        root["archives"].push_back({{"lastRecord", a.lastRecord}, {"flags", a.flags},
                                    {"startAddress", a.startAddress}, {"rowsMinusOne", a.rowsMinusOne}});
    root["systemEvents"] = json::array();
    for (const SystemEvent& e : d.systemEvents)
        root["systemEvents"].push_back({{"taskId", e.taskId}, {"code", e.evCode}, {"time", e.tStamp},
                                        {"count", e.evCnt}, {"text", e.text}});
    root["transducers"] = json::array();
    for (const Transducer& t : d.transducers) {
        json pairs = json::array();
        for (const GiGe& p : t.pairs)
            pairs.push_back({p.gi, p.ge});
        root["transducers"].push_back({{"serial", t.serial}, {"absent", t.absent}, {"pairs", pairs}});
    }
    return root.dump(2);
}

} // namespace vx4sim
