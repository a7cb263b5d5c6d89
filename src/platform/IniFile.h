#pragma once
// Private-profile (INI) files: "[section]" headers and "key=value" lines, section and key
// names compared without regard to case, lines starting with ';' or '#' kept as comments.
// Reading never fails (a missing file, section or key gives the default); writing changes
// only the one line it concerns and leaves every other byte of the file as it was.
//
// The file is read once, by descriptor, as a data file (see platform/PathWalk.h): a regular
// file of at most IniFileMax bytes that only this user or root may change, reached through
// no other user's link. A fifo, a device or anything else in its place is refused with a
// message (never waited on, never read), reads give the defaults, and writes leave it alone.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vx4 {

// The longest value a read returns; longer values are cut to this many bytes.
inline constexpr std::size_t IniValueMax = 255;

// The largest settings file read.
inline constexpr std::size_t IniFileMax = std::size_t(1) << 20;

// A settings file read once; every key is then looked up in what was read.
class IniFile {
public:
    // Reads the file at path. A missing file is no error (every key has its default); any
    // other reason the file is not taken is kept in ErrorText, and false returned.
    bool Load(const std::string& path);
    // As GetPrivateProfileString and GetPrivateProfileNumber below, from what Load read.
    std::string Get(std::string_view section, std::string_view key, std::string_view def) const;
    std::uint32_t GetNumber(std::string_view section, std::string_view key, std::string_view def) const;
    // Why the file was not taken ("<path>: <reason>"); empty when it was or is missing.
    const std::string& ErrorText() const { return error_; }
    const std::string& Content() const { return content_; }

private:
    std::string content_;
    std::string error_;
};

// The value of key in section, blanks around it removed and one pair of enclosing quotes
// stripped; def when the file, the section or the key is missing. Cut at IniValueMax.
std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& path);

// Reads the key as text (with the default text def) and converts it with ParseIniNumber.
std::uint32_t GetPrivateProfileNumber(std::string_view section, std::string_view key, std::string_view def,
                                      const std::string& path);

// Sets key=value in section: replaces the key's line when it exists, otherwise adds the
// line at the end of the section (creating the section at the end of the file, and the
// file itself, when missing). False when the file cannot be written.
bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& path);

// One key=value line of a section, for writing several at once.
struct IniEntry {
    std::string section, key, value;
};

// Sets every entry as WritePrivateProfileString does, in order, and writes the file once.
bool WritePrivateProfileStrings(const std::vector<IniEntry>& entries, const std::string& path);

// A decimal number from the start of text: leading blanks, an optional sign, then digits
// up to the first other character. The value wraps around modulo 2^32 (a minus sign
// negates it the same way); no digits give 0.
std::uint32_t ParseIniNumber(std::string_view text);

} // namespace vx4
