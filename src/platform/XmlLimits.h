#pragma once
// Limits on XML that comes from outside, checked on the text before any parser sees it.
// libxml2 checks an element's attributes for duplicates in time that grows with the square
// of their number, and a parsed tree costs some hundred bytes per element and attribute: a
// small file of many attributes could otherwise take minutes and gigabytes, in a parse that
// cannot be cancelled.
//
// The count over-estimates and never under-estimates: every "=" outside a start tag's quoted
// values is one attribute of that tag, every "=" anywhere else (in a type declaration, an
// entity's text, character data) counts towards the total, and every "<" is a tag. A start
// tag whose attribute list holds an entity reference ("&" or "%" outside quotes, as a
// declaration may build one) cannot be counted and is refused.

#include <cstddef>
#include <string>
#include <string_view>

namespace vx4 {

class XmlLimits {
public:
    XmlLimits(std::size_t attributesPerElement, std::size_t attributesTotal, std::size_t tagsTotal)
        : perElement_(attributesPerElement), attributes_(attributesTotal), tags_(tagsTotal)
    {
    }

    // Adds text (a document or a file it includes) to the counts; the reason it goes beyond
    // a limit, empty while within them.
    std::string Add(std::string_view text);

    std::size_t Attributes() const { return attributeCount_; }
    std::size_t Tags() const { return tagCount_; }

private:
    std::size_t perElement_, attributes_, tags_;
    std::size_t attributeCount_ = 0, tagCount_ = 0;
};

} // namespace vx4
