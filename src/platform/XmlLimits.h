#pragma once
// Limits on XML that comes from outside, checked on the text before any parser sees it.
// libxml2 checks an element's attributes for duplicates in time that grows with the square
// of their number, and a parsed tree costs some hundred bytes per element and attribute: a
// small file of many attributes could otherwise take minutes and gigabytes, in a parse that
// cannot be cancelled.
//
// The count over-estimates and never under-estimates: every "=" outside a start tag's quoted
// values is one attribute of that tag, every "=" anywhere else (in a type declaration, an
// entity's text, character data) counts towards the total, and every "<" is a tag. Every
// reference to a general entity (other than the five predefined ones) counts as a copy of
// the largest entity seen (declared in the text, or an external file added with
// AddEntityFile). Every default value an attribute list declares counts as one more
// attribute on every element. Refused before counting: a start tag whose attribute list
// holds an entity reference ("&" or "%" outside quotes, as a declaration may build one), an
// attribute list declared through a parameter entity, and an entity whose text refers to
// another general entity (nested copies multiply).

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

    // Adds a document (or a part of a package) to the counts; the reason it goes beyond a
    // limit, empty while within them.
    std::string Add(std::string_view text);
    // Adds a file the document includes by reference (an external entity or type
    // declaration): each of the document's entity references may copy it.
    std::string AddEntityFile(std::string_view text);

    // The counts as limited: attributes and tags, entity copies included.
    std::size_t Attributes() const
    {
        return attributeCount_ + references_ * largestEntityAttributes_ + Tags() * defaults_;
    }
    std::size_t Tags() const { return tagCount_ + references_ * largestEntityTags_; }

private:
    std::string Scan(std::string_view text, bool entityFile);
    std::string Check() const;

    std::size_t perElement_, attributes_, tags_;
    std::size_t attributeCount_ = 0, tagCount_ = 0, references_ = 0;
    std::size_t largestEntityAttributes_ = 0, largestEntityTags_ = 0;
    std::size_t mostOnOneElement_ = 0; // attributes written on one element
    std::size_t defaults_ = 0;         // default values declared for attributes (any element)
};

} // namespace vx4
