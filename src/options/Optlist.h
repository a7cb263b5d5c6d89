#pragma once
// Lookups in an option bank. The bank's document element holds item elements (any name)
// with the attributes name (a pattern, see BankNameMatches), note, attr and hideopt; an
// item element's children named "opt" carry val (a number text) and note (its label).
// Every lookup walks the item elements in document order and uses the first whose pattern
// matches the item name; nothing is cached. A bank that is not open gives empty results.

#include "options/OptionBank.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx4 {

// Only this many opt children of an item element are ever read.
inline constexpr std::size_t MaxOptions = 15;

struct SOption {
    std::string val;   // the val attribute exactly as written
    std::string note;  // the label of that value
};

struct SOptions {
    std::string note;
    std::string attr;
    bool hideOpt = false;     // hideopt is exactly "Yes"
    std::uint8_t optCount = 0;
    std::array<SOption, MaxOptions> opts{};
};

// Pattern against item name: "$" stands for one decimal digit; a "$" at the very end of the
// pattern may also stand for nothing. Case-sensitive.
bool BankNameMatches(std::string_view pattern, std::string_view name);

// The first matching item element's description, or an empty record.
SOptions FindOptions(const COptionBank& bank, std::string_view name);
// The label of the first of the item's options whose val is exactly value.
std::string OptionLabel(const COptionBank& bank, std::string_view name, float value);
// The note of the first matching item element.
std::string OptionNote(const COptionBank& bank, std::string_view name);
// The val of the first option labelled exactly text, or text itself.
std::string OptionValueOf(const COptionBank& bank, std::string_view name, std::string_view text);

} // namespace vx4
