#include "options/Optlist.h"

#include "platform/NormalizeDecimalSeparator.h"

#include <libxml/tree.h>

#include <cstdlib>
#include <locale.h>
#include <optional>

namespace vx4 {

namespace {

// Attribute value without namespace, nullopt when the attribute is absent.
std::optional<std::string> Attr(const xmlNode* node, const char* attr)
{
    xmlChar* v = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(attr));
    if (v == nullptr)
        return std::nullopt;
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

std::string AttrOrEmpty(const xmlNode* node, const char* attr)
{
    return Attr(node, attr).value_or(std::string());
}

bool IsOptElement(const xmlNode* node)
{
    return node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, BAD_CAST "opt") &&
           (node->ns == nullptr || node->ns->prefix == nullptr);
}

// The first item element whose pattern matches name.
const xmlNode* FindItem(const COptionBank& bank, std::string_view name)
{
    if (!bank.IsOpen())
        return nullptr;
    const xmlNode* root = xmlDocGetRootElement(bank.Document());
    if (root == nullptr)
        return nullptr;
    for (const xmlNode* n = root->children; n != nullptr; n = n->next) {
        if (n->type != XML_ELEMENT_NODE)
            continue;
        if (BankNameMatches(AttrOrEmpty(n, "name"), name))
            return n;
    }
    return nullptr;
}

// Calls f for each of the first MaxOptions opt children; f returns true to stop.
template <typename F>
void ForEachOpt(const xmlNode* item, F f)
{
    std::size_t count = 0;
    for (const xmlNode* n = item->children; n != nullptr && count < MaxOptions; n = n->next) {
        if (!IsOptElement(n))
            continue;
        ++count;
        if (f(n))
            return;
    }
}

// Parses a number text that uses separator as its decimal point, in extended precision.
// Only plain decimal notation (sign, digits, one point, exponent) is accepted, and the whole
// text must be the number; leading and trailing blanks are allowed.
std::optional<long double> ParseNumber(std::string text, char separator)
{
    for (char& c : text) {
        if (c == separator)
            c = '.';
        else if (c != '.' && c != '+' && c != '-' && c != 'e' && c != 'E' && c != ' ' &&
                 (c < '0' || c > '9'))
            return std::nullopt;
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    if (cLocale == nullptr)
        return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    const long double v = strtold_l(begin, &end, cLocale);
    if (end == begin)
        return std::nullopt;
    while (*end == ' ')
        ++end;
    if (*end != '\0')
        return std::nullopt;
    return v;
}

} // namespace

bool BankNameMatches(std::string_view pattern, std::string_view name)
{
    // Texts are UTF-8; comparing bytes gives the same result as comparing characters,
    // because "$" and the digits are single bytes and every other byte must match itself.
    if (pattern.size() == name.size() + 1 && pattern.back() == '$')
        pattern.remove_suffix(1);
    if (pattern.size() != name.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (pattern[i] == name[i])
            continue;
        if (pattern[i] == '$' && name[i] >= '0' && name[i] <= '9')
            continue;
        return false;
    }
    return true;
}

SOptions FindOptions(const COptionBank& bank, std::string_view name)
{
    SOptions result;
    const xmlNode* item = FindItem(bank, name);
    if (item == nullptr)
        return result;
    result.note = AttrOrEmpty(item, "note");
    result.attr = AttrOrEmpty(item, "attr");
    result.hideOpt = Attr(item, "hideopt") == std::optional<std::string>("Yes");
    ForEachOpt(item, [&](const xmlNode* opt) {
        SOption& o = result.opts[result.optCount++];
        o.val = AttrOrEmpty(opt, "val");
        o.note = AttrOrEmpty(opt, "note");
        return false;
    });
    return result;
}

std::string OptionLabel(const COptionBank& bank, std::string_view name, float value)
{
    const xmlNode* item = FindItem(bank, name);
    if (item == nullptr)
        return {};
    const char separator = DecimalSeparator();
    const long double wanted = value;
    std::string label;
    ForEachOpt(item, [&](const xmlNode* opt) {
        const auto val = Attr(opt, "val");
        if (!val)
            return false;
        const auto number = ParseNumber(NormalizeDecimalSeparator(*val, separator), separator);
        if (!number || *number != wanted)
            return false;
        label = AttrOrEmpty(opt, "note");
        return true;
    });
    return label;
}

std::string OptionNote(const COptionBank& bank, std::string_view name)
{
    const xmlNode* item = FindItem(bank, name);
    return item == nullptr ? std::string() : AttrOrEmpty(item, "note");
}

std::string OptionValueOf(const COptionBank& bank, std::string_view name, std::string_view text)
{
    // An option without val stands for no value at all (OptionLabel never shows it either):
    // its label is not turned into an empty text, which the write path would read as 0.
    const xmlNode* item = FindItem(bank, name);
    if (item == nullptr)
        return std::string(text);
    std::optional<std::string> result;
    ForEachOpt(item, [&](const xmlNode* opt) {
        if (AttrOrEmpty(opt, "note") != text)
            return false;
        result = Attr(opt, "val");
        return result.has_value();
    });
    return result.value_or(std::string(text));
}

} // namespace vx4
