#include "link/SerialPortNames.h"

#include <algorithm>
#include <tuple>

namespace vx4 {

namespace {

// The name split into its kind and its trailing number; a name without trailing digits
// has no number and comes before the numbered names of its kind.
struct NameKey {
    std::string kind;
    bool numbered = false;
    std::string digits; // without leading zeros, so that length then text orders as numbers
};

NameKey KeyOf(const std::string& name)
{
    std::size_t end = name.size();
    while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9')
        --end;
    NameKey key;
    key.kind = name.substr(0, end);
    key.numbered = end < name.size();
    std::size_t first = end;
    while (first + 1 < name.size() && name[first] == '0')
        ++first;
    key.digits = name.substr(first);
    return key;
}

} // namespace

bool SerialPortNames::Before(const std::string& a, const std::string& b)
{
    const NameKey ka = KeyOf(a);
    const NameKey kb = KeyOf(b);
    return std::tie(ka.kind, ka.numbered) < std::tie(kb.kind, kb.numbered) ||
           (std::tie(ka.kind, ka.numbered) == std::tie(kb.kind, kb.numbered) &&
            (ka.digits.size() < kb.digits.size() ||
             (ka.digits.size() == kb.digits.size() && (ka.digits < kb.digits || (ka.digits == kb.digits && a < b)))));
}

std::vector<std::string> SerialPortNames::Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end(), Before);
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::vector<SerialPortEntry> SerialPortNames::Sorted(std::vector<SerialPortEntry> entries)
{
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SerialPortEntry& a, const SerialPortEntry& b) { return Before(a.name, b.name); });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.name == b.name; }),
                  entries.end());
    return entries;
}

std::string SerialPortNames::TreeText(const SerialPortEntry& entry)
{
    std::string text = entry.name;
    if (entry.description.empty() && entry.manufacturer.empty())
        return text;
    text += "  ";
    text += entry.description;
    if (!entry.manufacturer.empty()) {
        if (!entry.description.empty())
            text += ' ';
        text += "(" + entry.manufacturer + ")";
    }
    return text;
}

std::string SerialPortNames::FirstWord(const std::string& text)
{
    const std::size_t end = text.find_first_of(" =\"'");
    return text.substr(0, end);
}

} // namespace vx4
