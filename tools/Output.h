#pragma once
// Output of vx4ctl: device texts converted to UTF-8, numbers as text and JSON, JSON lines,
// error reports on standard error and the progress bar (standard error, terminals only).

#include "link/Vx4Records.h"

#include <nlohmann/json.hpp>

#include <cstdint>
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

// "error <code>" and the console's text for it (when it has one) on standard error.
void PrintError(int code);
// "error <code>" and the given text (UTF-8; a leading blank is added).
void PrintError(int code, const std::string& text);
// A failure that has no result code: "vx4ctl: <message>".
void PrintFailure(const std::string& message);

// The identification record by its field names (texts as UTF-8).
Json IdentJson(const vx4::SDevIdent& id);
void PrintIdentText(const vx4::SDevIdent& id);
// "%.2x.%.2x.%.2x %.2x:%.2x:%.2x" of six BCD bytes.
std::string BcdTimeText(const std::array<std::uint8_t, 6>& bcd);

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
