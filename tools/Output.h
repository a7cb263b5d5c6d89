#pragma once
// Output of vx4ctl: device texts converted to UTF-8, numbers as text and JSON, JSON lines,
// error reports on standard error and the progress bar (standard error, terminals only).

#include "link/Vx4Records.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <string>

namespace vx4ctl {

using Json = nlohmann::ordered_json;

// A device text (CP1251 bytes) as UTF-8.
std::string Utf8(const std::string& cp1251);
// The shortest text that reads back as the same single-precision value ("12.345").
std::string FloatText(float v);
// The same value as a JSON number (null when it is not finite).
Json FloatJson(float v);
// Upper-case hex, two digits a byte, no separators.
std::string HexText(const std::uint8_t* data, std::size_t n);

// One JSON document on one line of standard output.
void PrintJson(const Json& j);
// "name<TAB>value" on standard output.
void PrintField(const std::string& name, const std::string& value);

// "error <code>" and a text for it on standard error: the console's text when it has one,
// else a short one (every code gets a text).
void PrintError(int code);
// That text without the code (begins with a blank).
std::string CodeText(int code);
// "error <code>" and the given text (UTF-8; a leading blank is added).
void PrintError(int code, const std::string& text);
// A failure that has no result code: "vx4ctl: <message>".
void PrintFailure(const std::string& message);

// The identification record by its field names (texts as UTF-8).
Json IdentJson(const vx4::SDevIdent& id);
void PrintIdentText(const vx4::SDevIdent& id);
// "%.2x.%.2x.%.2x %.2x:%.2x:%.2x" of six BCD bytes.
std::string BcdTimeText(const std::array<std::uint8_t, 6>& bcd);
// ISO 8601 with the zone: "2026-12-11T12:00:00+03:00" in the computer's local zone, or
// "2026-12-11T09:00:00Z" in UTC.
std::string IsoTime(std::time_t t, bool utc = false);
// A device time (six BCD bytes, day first) as ISO 8601 with the zone; the device keeps no
// zone, so its time is taken as the computer's local time (or UTC). null when the bytes hold
// no real date.
Json DeviceTimeJson(const std::array<std::uint8_t, 6>& bcd, bool utc = false);
// The device time as seconds since the epoch; false when it holds no real date.
bool DeviceTimeSeconds(const std::array<std::uint8_t, 6>& bcd, bool utc, std::time_t* out);
// The folders data files (option banks, report templates) are looked for in, in order, for
// a message that names them: "the current folder, /usr/bin/, ...".
std::string DataFoldersText();
// A checksum as the console shows it: upper-case hex without a prefix.
std::string ChecksumText(std::uint32_t v);

// The configuration summary: itemCount, checksum, systemCount and the systems' names and
// notes (converted from CP1251 unless they are UTF-8 already).
Json SummaryJson(const vx4::SConfigInfo& s, bool textsAreUtf8);
void PrintSummaryText(const Json& summary);

// What `info --json` prints: identification, summary, the five archive descriptors and the
// clock (CmdDevice.cpp).
Json InfoJson(const vx4::SDevIdent& ident, const vx4::SConfigInfo& summary, bool namesAreUtf8,
              const vx4::SArchiveInfo* archives, const vx4::DeviceClock& clock);

// A progress bar on standard error, drawn only when standard error is a terminal.
class ProgressBar {
public:
    explicit ProgressBar(std::string label);
    ~ProgressBar(); // ends the line when something was drawn
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    void Show(double fraction); // 0..1

private:
    std::string label_;
    bool enabled_;
    int shown_ = -1;
};

} // namespace vx4ctl
