#include "platform/XmlLimits.h"

namespace vx4 {

namespace {

bool NameStart(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

} // namespace

std::string XmlLimits::Add(std::string_view text)
{
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = text[i];
        if (c == '=') {
            ++attributeCount_;
            ++i;
            continue;
        }
        if (c != '<') {
            ++i;
            continue;
        }
        ++tagCount_;
        ++i;
        if (i >= n || !NameStart(static_cast<unsigned char>(text[i])))
            continue;
        // A start tag (or what would be one once an entity's text is parsed): its attributes
        // are the "=" outside quotes up to the ">" outside quotes.
        std::size_t here = 0;
        char quote = 0;
        for (; i < n; ++i) {
            const char t = text[i];
            if (quote != 0) {
                if (t == quote)
                    quote = 0;
                else if (t == '<')
                    break; // no "<" in a value: the tag was an entity's text ending here
                continue;
            }
            if (t == '"' || t == '\'')
                quote = t;
            else if (t == '=')
                ++here;
            else if (t == '&' || t == '%')
                return "an element's attributes are made from entities";
            else if (t == '>' || t == '<')
                break;
        }
        attributeCount_ += here;
        if (here > perElement_)
            return "an element has more than " + std::to_string(perElement_) + " attributes";
    }
    if (attributeCount_ > attributes_)
        return "more than " + std::to_string(attributes_) + " attributes";
    if (tagCount_ > tags_)
        return "more than " + std::to_string(tags_) + " elements";
    return {};
}

} // namespace vx4
