// Loads arbitrary bytes as an option bank and runs the four lookups on it: with a few fixed
// names and with the names the bank's own patterns stand for.
#include "options/OptionBank.h"
#include "options/Optlist.h"

#include <libxml/tree.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Lookups(const vx4::COptionBank& bank, const std::string& name)
{
    const vx4::SOptions options = vx4::FindOptions(bank, name);
    for (float value : {0.0f, 1.0f, 1.5f, 0.1f, -20.0f})
        (void)vx4::OptionLabel(bank, name, value);
    (void)vx4::OptionNote(bank, name);
    (void)vx4::OptionValueOf(bank, name, "1");
    for (std::size_t i = 0; i < options.optCount; ++i)
        (void)vx4::OptionValueOf(bank, name, options.opts[i].note);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    vx4::COptionBank bank;
    const bool open =
        bank.OpenMemory(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<std::string> names = {"", "T1", "K00", "D"};
    if (open) {
        const xmlNode* root = xmlDocGetRootElement(bank.Document());
        int items = 0;
        for (const xmlNode* n = root->children; n != nullptr && items < 8; n = n->next) {
            if (n->type != XML_ELEMENT_NODE)
                continue;
            ++items;
            xmlChar* pattern = xmlGetNoNsProp(n, BAD_CAST "name");
            if (pattern == nullptr)
                continue;
            std::string name(reinterpret_cast<const char*>(pattern));
            xmlFree(pattern);
            for (char& c : name)
                if (c == '$')
                    c = '7';
            names.push_back(name);
        }
    } else if (bank.ErrorText().empty()) {
        __builtin_trap(); // a failed opening always says why
    }
    for (const std::string& name : names)
        Lookups(bank, name);
    return 0;
}
