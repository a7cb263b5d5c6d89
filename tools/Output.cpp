#include "Output.h"

#include "common/ClockText.h"
#include "link/ResultCodes.h"
#include "link/ResultTexts.h"
#include "platform/Cp1251.h"
#include "platform/FileLocations.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace vx4ctl {

std::string Utf8(const std::string& cp1251) { return vx4::Cp1251ToUtf8(cp1251); }

std::string FloatText(float v)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

Json FloatJson(float v)
{
    if (!std::isfinite(v))
        return nullptr;
    // Through the shortest text, so that 12.345f shows as 12.345 rather than as the
    // double nearest to the single-precision value.
    return std::strtod(FloatText(v).c_str(), nullptr);
}

std::string HexText(const std::uint8_t* data, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    return s;
}

void PrintJson(const Json& j)
{
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n' << std::flush;
}

void PrintField(const std::string& name, const std::string& value) { std::cout << name << '\t' << value << '\n'; }

std::string CodeText(int code)
{
    if (const char* text = vx4::FailureText(code))
        return text;
    if (code >= 1 && code <= 255)
        return " the device refused the request (its answer code)";
    switch (code) {
    case vx4::OPERATION_CANCELLED:
        return " stopped";
    case vx4::LOCAL_WRITE_FAILED:
        return " the local file could not be written";
    case vx4::LOCAL_NO_SPACE:
        return " not enough space for the local file";
    default:
        return " unexpected failure";
    }
}

void PrintError(int code) { std::cerr << "error " << code << CodeText(code) << '\n'; }

void PrintError(int code, const std::string& text) { std::cerr << "error " << code << ' ' << text << '\n'; }

void PrintFailure(const std::string& message) { std::cerr << "vx4ctl: " << message << '\n'; }

std::string BcdTimeText(const std::array<std::uint8_t, 6>& b)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2x.%.2x.%.2x %.2x:%.2x:%.2x", unsigned(b[0]), unsigned(b[1]), unsigned(b[2]),
                  unsigned(b[3]), unsigned(b[4]), unsigned(b[5]));
    return buf;
}

std::string IsoTime(std::time_t t, bool utc)
{
    std::tm tm{};
    if (utc)
        gmtime_r(&t, &tm);
    else
        localtime_r(&t, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::string text = buf;
    if (utc)
        return text + "Z";
    // %z gives +0300; ISO 8601's extended form wants +03:00.
    std::strftime(buf, sizeof buf, "%z", &tm);
    const std::string z = buf;
    if (z.size() == 5)
        return text + z.substr(0, 3) + ":" + z.substr(3);
    return text + "Z";
}

bool DeviceTimeSeconds(const std::array<std::uint8_t, 6>& bcd, bool utc, std::time_t* out)
{
    vx4::DeviceClock clock;
    clock.bcd = bcd;
    std::tm tm{};
    if (!vx4::ClockToTm(clock, &tm))
        return false;
    const std::time_t t = utc ? timegm(&tm) : std::mktime(&tm);
    if (t == std::time_t(-1))
        return false;
    *out = t;
    return true;
}

Json DeviceTimeJson(const std::array<std::uint8_t, 6>& bcd, bool utc)
{
    std::time_t t = 0;
    if (!DeviceTimeSeconds(bcd, utc, &t))
        return nullptr;
    return IsoTime(t, utc);
}

std::string DataFoldersText()
{
    std::string text;
    for (const std::string& folder : vx4::DataFolders(vx4::ProgramDir()))
        text += (text.empty() ? "" : ", ") + (folder.empty() ? std::string("the current folder") : folder);
    return text;
}

std::string ChecksumText(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", unsigned(v));
    return buf;
}

Json IdentJson(const vx4::SDevIdent& id)
{
    return Json{
        {"protoMinor", id.protoMinor},
        {"protoMajor", id.protoMajor},
        {"swBuild", id.swBuild},
        {"swMinor", id.swMinor},
        {"swMajor", id.swMajor},
        {"stackFillPct", id.stackFillPct},
        {"deviceType", Utf8(id.DeviceTypeText())},
        {"cpuType", Utf8(id.CpuTypeText())},
        {"serial", id.serial},
        {"initState", id.initState},
        {"initTime", DeviceTimeJson(id.initTime)},
        {"extMinor", id.extMinor},
        {"extMajor", id.extMajor},
        {"swChecksum", id.swChecksum},
        {"stateFlags", id.stateFlags},
    };
}

void PrintIdentText(const vx4::SDevIdent& id)
{
    // The same fields and order as the JSON object.
    const Json j = IdentJson(id);
    for (const char* name : {"protoMinor", "protoMajor", "swBuild", "swMinor", "swMajor", "stackFillPct",
                             "deviceType", "cpuType", "serial", "initState", "initTime", "extMinor", "extMajor",
                             "swChecksum", "stateFlags"}) {
        const auto& v = j.at(name);
        if (std::string(name) == "initTime")
            PrintField(name, BcdTimeText(id.initTime));
        else if (std::string(name) == "swChecksum")
            PrintField(name, ChecksumText(id.swChecksum));
        else
            PrintField(name, v.is_string() ? v.get<std::string>() : v.dump());
    }
}

Json SummaryJson(const vx4::SConfigInfo& s, bool namesAreUtf8)
{
    Json systems = Json::array();
    for (std::size_t i = 0; i < std::min<std::size_t>(s.systemCount, vx4::SConfigInfo::MaxSystems); ++i)
        systems.push_back({{"name", namesAreUtf8 ? s.systemNames[i] : Utf8(s.systemNames[i])},
                           {"note", namesAreUtf8 ? s.systemNotes[i] : Utf8(s.systemNotes[i])}});
    return Json{{"itemCount", s.itemCount},
                {"checksum", s.checksum},
                {"systemCount", s.systemCount},
                {"systems", systems}};
}


void PrintSummaryText(const Json& summary)
{
    PrintField("itemCount", summary["itemCount"].dump());
    PrintField("checksum", ChecksumText(summary["checksum"].get<std::uint32_t>()));
    PrintField("systemCount", summary["systemCount"].dump());
    int n = 1;
    for (const auto& s : summary["systems"])
        PrintField("system", std::to_string(n++) + "\t" + s["name"].get<std::string>() + "\t" +
                                 s["note"].get<std::string>());
}

ProgressBar::ProgressBar(std::string label) : label_(std::move(label)), enabled_(::isatty(2) == 1) {}

ProgressBar::~ProgressBar()
{
    if (enabled_ && shown_ >= 0)
        std::cerr << '\n' << std::flush;
}

void ProgressBar::Show(double fraction)
{
    if (!enabled_)
        return;
    if (!(fraction >= 0))
        fraction = 0;
    if (fraction > 1)
        fraction = 1;
    const int percent = int(fraction * 100);
    if (percent == shown_)
        return;
    shown_ = percent;
    constexpr int width = 40;
    const int filled = percent * width / 100;
    std::cerr << '\r' << label_ << " [" << std::string(filled, '#') << std::string(width - filled, ' ') << "] "
              << percent << "%" << std::flush;
}

} // namespace vx4ctl
