#pragma once
// RtfWriter: plain text lines as a Rich Text Format document, for the monitor logs.
// One paragraph (\par) per line in a single monospace font; "\", "{" and "}" are escaped,
// tabs become \tab, other control characters are left out, and every character outside
// ASCII is written as \uN? (N the signed 16-bit UTF-16 unit, "?" the fallback for readers
// without Unicode). Lines are UTF-8; a byte that is not valid UTF-8 becomes U+FFFD.

#include <string>
#include <vector>

namespace vx4 {

struct SRtfFont {
    std::string name = "Courier New";
    int points = 8;
};

// The document text.
std::string RtfDocument(const std::vector<std::string>& lines, const SRtfFont& font = {});

// Writes the document to path, replacing any file of that name. On failure returns false
// with the system's error text, and an older file of that name is kept as it was.
bool WriteRtfFile(const std::string& path, const std::vector<std::string>& lines, const SRtfFont& font,
                  std::string* error);

} // namespace vx4
