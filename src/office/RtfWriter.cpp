#include "office/RtfWriter.h"

#include "platform/StagedFile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vx4 {

namespace {

// Decodes one UTF-8 sequence at s[i]; advances i. Malformed input gives U+FFFD.
char32_t NextCodePoint(const std::string& s, std::size_t& i)
{
    const auto b = static_cast<unsigned char>(s[i++]);
    if (b < 0x80)
        return b;
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
        extra = 1;
        cp = b & 0x1F;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2;
        cp = b & 0x0F;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3;
        cp = b & 0x07;
        min = 0x10000;
    } else {
        return 0xFFFD;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80)
            return 0xFFFD;
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0xFFFD;
    return cp;
}

void AppendUnit(std::string& out, std::uint16_t unit)
{
    out += "\\u";
    out += std::to_string(static_cast<int>(static_cast<std::int16_t>(unit)));
    out += '?';
}

void AppendEscaped(std::string& out, const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const char32_t cp = NextCodePoint(text, i);
        if (cp == '\\' || cp == '{' || cp == '}') {
            out += '\\';
            out += char(cp);
        } else if (cp == '\t') {
            out += "\\tab ";
        } else if (cp < 0x20 || cp == 0x7F) {
            // control characters carry nothing a reader could show
        } else if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x10000) {
            AppendUnit(out, std::uint16_t(cp));
        } else {
            const char32_t v = cp - 0x10000;
            AppendUnit(out, std::uint16_t(0xD800 + (v >> 10)));
            AppendUnit(out, std::uint16_t(0xDC00 + (v & 0x3FF)));
        }
    }
}

} // namespace

std::string RtfDocument(const std::vector<std::string>& lines, const SRtfFont& font)
{
    std::string out = "{\\rtf1\\ansi\\ansicpg1251\\deff0\\uc1{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset204 ";
    AppendEscaped(out, font.name);
    out += ";}}\n\\pard\\plain\\f0\\fs" + std::to_string(font.points > 0 ? font.points * 2 : 16) + " \n";
    for (const std::string& line : lines) {
        AppendEscaped(out, line);
        out += "\\par\n";
    }
    out += "}\n";
    return out;
}

bool WriteRtfFile(const std::string& path, const std::vector<std::string>& lines, const SRtfFont& font,
                  std::string* error)
{
    int err = 0;
    if (StagedFile::Write(path, RtfDocument(lines, font), StagedFile::Mode::Replace, &err).empty())
        return true;
    if (error)
        *error = path + ": " + std::strerror(err);
    return false;
}

} // namespace vx4
