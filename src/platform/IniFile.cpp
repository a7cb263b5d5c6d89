#include "platform/IniFile.h"

#include "platform/PathWalk.h"
#include "platform/StagedFile.h"

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <vector>

namespace vx4 {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// One line of the file as it stands, without its line end.
struct Line {
    std::string text;
    bool ended = true; // whether a line end followed it in the file
};

std::vector<Line> SplitLines(const std::string& content)
{
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t nl = content.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({content.substr(pos), false});
            break;
        }
        std::size_t end = nl;
        if (end > pos && content[end - 1] == '\r')
            --end;
        lines.push_back({content.substr(pos, end - pos), true});
        pos = nl + 1;
    }
    return lines;
}

bool IsComment(std::string_view t) { return !t.empty() && (t.front() == ';' || t.front() == '#'); }

// The section name when the line is a section header.
bool SectionHeader(std::string_view line, std::string_view* name)
{
    const std::string_view t = Trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    const std::size_t close = t.find(']');
    if (close == std::string_view::npos)
        return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

// The key and value when the line is a key=value line.
bool KeyLine(std::string_view line, std::string_view* key, std::string_view* value)
{
    const std::string_view t = Trim(line);
    if (t.empty() || IsComment(t) || t.front() == '[')
        return false;
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

} // namespace

bool IniFile::Load(const std::string& path)
{
    content_.clear();
    error_.clear();
    std::string why;
    if (path.empty()) {
        error_ = "no settings file: no home folder ($HOME is not set and the user has no entry in the user database)";
        return false;
    }
    if (ReadDataFile(path, IniFileMax, &content_, &why) || why == std::strerror(ENOENT))
        return true;
    error_ = path + ": " + why + "; the settings' defaults are used";
    return false;
}

std::string IniFile::Get(std::string_view section, std::string_view key, std::string_view def) const
{
    std::string result(def);
    bool inSection = false;
    for (const Line& line : SplitLines(content_)) {
        std::string_view name;
        if (SectionHeader(line.text, &name)) {
            if (inSection)
                break; // the first section of that name is the one that counts
            inSection = SameName(name, section);
            continue;
        }
        std::string_view k, v;
        if (inSection && KeyLine(line.text, &k, &v) && SameName(k, key)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            result.assign(v);
            break;
        }
    }
    if (result.size() > IniValueMax)
        result.resize(IniValueMax);
    return result;
}

std::uint32_t IniFile::GetNumber(std::string_view section, std::string_view key, std::string_view def) const
{
    return ParseIniNumber(Get(section, key, def));
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& path)
{
    IniFile file;
    file.Load(path);
    return file.Get(section, key, def);
}

std::uint32_t GetPrivateProfileNumber(std::string_view section, std::string_view key, std::string_view def,
                                      const std::string& path)
{
    return ParseIniNumber(GetPrivateProfileString(section, key, def, path));
}

namespace {

// Sets key=value in section within the lines of a file.
void SetKeyLine(std::vector<Line>& lines, std::string_view section, std::string_view key, std::string_view value)
{
    const std::string keyLine = std::string(key) + "=" + std::string(value);
    std::size_t sectionAt = lines.size(); // header index of the first matching section
    std::size_t lastContent = 0;           // last non-blank line of that section
    bool done = false;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        std::string_view name;
        if (SectionHeader(lines[i].text, &name)) {
            if (sectionAt != lines.size())
                break; // end of the section
            if (SameName(name, section)) {
                sectionAt = i;
                lastContent = i;
            }
            continue;
        }
        if (sectionAt == lines.size())
            continue;
        if (!Trim(lines[i].text).empty())
            lastContent = i;
        std::string_view k, v;
        if (KeyLine(lines[i].text, &k, &v) && SameName(k, key)) {
            lines[i].text = keyLine;
            done = true;
        }
    }
    if (!done) {
        if (sectionAt == lines.size()) {
            if (!lines.empty() && !Trim(lines.back().text).empty())
                lines.push_back({"", true});
            lines.push_back({"[" + std::string(section) + "]", true});
            lines.push_back({keyLine, true});
        } else {
            lines.insert(lines.begin() + std::ptrdiff_t(lastContent + 1), Line{keyLine, true});
        }
    }
}

} // namespace

bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& path)
{
    return WritePrivateProfileStrings({{std::string(section), std::string(key), std::string(value)}}, path);
}

bool WritePrivateProfileStrings(const std::vector<IniEntry>& entries, const std::string& path)
{
    // A missing file is created below; one that is there but not taken (a fifo, a device,
    // a file someone else may change) is left as it is.
    IniFile file;
    if (!file.Load(path))
        return false;
    const std::string& content = file.Content();
    // Keep the file's own line ends.
    const std::string eol = content.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    std::vector<Line> lines = SplitLines(content);
    for (const IniEntry& e : entries)
        SetKeyLine(lines, e.section, e.key, e.value);

    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += lines[i].text;
        // The line that ended the file without a line end gets one when lines follow it.
        if (lines[i].ended || i + 1 < lines.size())
            out += eol;
    }

    // A failed write leaves the older file as it was.
    return StagedFile::Write(path, out).empty();
}

std::uint32_t ParseIniNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint32_t value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10u + std::uint32_t(text[i] - '0');
        ++i;
    }
    return negative ? 0u - value : value;
}

} // namespace vx4
