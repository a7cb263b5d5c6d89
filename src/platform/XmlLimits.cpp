#include "platform/XmlLimits.h"

#include <algorithm>

namespace vx4 {

namespace {

bool NameStart(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool NameChar(unsigned char c) { return NameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Whether "&" at i starts a reference to a general entity other than a predefined one.
bool EntityReference(std::string_view text, std::size_t i)
{
    std::size_t j = i + 1;
    if (j >= text.size() || !NameStart(static_cast<unsigned char>(text[j])))
        return false; // a character reference or a stray "&"
    while (j < text.size() && NameChar(static_cast<unsigned char>(text[j])))
        ++j;
    const std::string_view name = text.substr(i + 1, j - i - 1);
    return !(name == "lt" || name == "gt" || name == "amp" || name == "quot" || name == "apos");
}

} // namespace

std::string XmlLimits::Add(std::string_view text) { return Scan(text, false); }

std::string XmlLimits::AddEntityFile(std::string_view text) { return Scan(text, true); }

std::string XmlLimits::Scan(std::string_view text, bool entityFile)
{
    const std::size_t n = text.size();
    const std::size_t attributesBefore = attributeCount_, tagsBefore = tagCount_;
    // The general entity whose quoted text is being read: its end and its counts.
    std::size_t entityEnd = 0, entityAttributes = 0, entityTags = 0;
    std::size_t i = 0;
    while (i < n) {
        const bool inEntity = i < entityEnd;
        if (!inEntity && entityEnd != 0) {
            largestEntityAttributes_ = std::max(largestEntityAttributes_, entityAttributes);
            largestEntityTags_ = std::max(largestEntityTags_, entityTags);
            entityEnd = 0;
        }
        const char c = text[i];
        if (c == '&') {
            if (EntityReference(text, i)) {
                if (inEntity)
                    return "an entity's text refers to another entity";
                ++references_;
            }
            ++i;
            continue;
        }
        if (c == '=') {
            ++attributeCount_;
            entityAttributes += inEntity;
            ++i;
            continue;
        }
        if (c != '<') {
            ++i;
            continue;
        }
        ++tagCount_;
        entityTags += inEntity;
        ++i;
        if (!inEntity && text.compare(i, 7, "!ENTITY") == 0) {
            // <!ENTITY name "text">: the text's counts are those of one copy.
            std::size_t j = i + 7;
            while (j < n && Blank(text[j]))
                ++j;
            if (j < n && text[j] == '%')
                continue; // a parameter entity: declarations, counted as they stand
            while (j < n && !Blank(text[j]))
                ++j;
            while (j < n && Blank(text[j]))
                ++j;
            if (j < n && (text[j] == '"' || text[j] == '\'')) {
                const std::size_t close = text.find(text[j], j + 1);
                entityEnd = close == std::string_view::npos ? n : close;
                entityAttributes = entityTags = 0;
                i = j + 1;
            }
            continue;
        }
        if (!inEntity && text.compare(i, 8, "!ATTLIST") == 0) {
            // <!ATTLIST element name type default ...>: every quoted default may be added to
            // every element (libxml2 then checks it against each attribute already there).
            char quote = 0;
            for (i += 8; i < n; ++i) {
                const char t = text[i];
                if (quote != 0) {
                    if (t == quote)
                        quote = 0;
                } else if (t == '"' || t == '\'') {
                    quote = t;
                    ++defaults_;
                } else if (t == '%') {
                    return "an attribute list is declared from entities";
                } else if (t == '>') {
                    break;
                }
            }
            continue;
        }
        if (i >= n || !NameStart(static_cast<unsigned char>(text[i])))
            continue;
        // A start tag (or what will be one once an entity's text is parsed): its attributes
        // are the "=" outside quotes up to the ">" outside quotes.
        std::size_t here = 0;
        char quote = 0;
        for (; i < n; ++i) {
            const char t = text[i];
            if (quote != 0) {
                if (t == quote)
                    quote = 0;
                else if (t == '<' || (inEntity && i >= entityEnd))
                    break; // no "<" in a value: the tag was an entity's text ending here
                else if (t == '&' && EntityReference(text, i)) {
                    if (inEntity)
                        return "an entity's text refers to another entity";
                    ++references_;
                }
                continue;
            }
            if (inEntity && i >= entityEnd)
                break;
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
        entityAttributes += inEntity ? here : 0;
        mostOnOneElement_ = std::max(mostOnOneElement_, here);
        if (here > perElement_)
            return "an element has more than " + std::to_string(perElement_) + " attributes";
    }
    if (entityEnd != 0) {
        largestEntityAttributes_ = std::max(largestEntityAttributes_, entityAttributes);
        largestEntityTags_ = std::max(largestEntityTags_, entityTags);
    }
    if (entityFile) {
        // The whole file is what a reference to it copies.
        largestEntityAttributes_ = std::max(largestEntityAttributes_, attributeCount_ - attributesBefore);
        largestEntityTags_ = std::max(largestEntityTags_, tagCount_ - tagsBefore);
    }
    return Check();
}

std::string XmlLimits::Check() const
{
    if (mostOnOneElement_ + defaults_ > perElement_)
        return "an element has more than " + std::to_string(perElement_) + " attributes (declared defaults counted)";
    if (Attributes() > attributes_)
        return "more than " + std::to_string(attributes_) + " attributes (entity copies counted)";
    if (Tags() > tags_)
        return "more than " + std::to_string(tags_) + " elements (entity copies counted)";
    return {};
}

} // namespace vx4
