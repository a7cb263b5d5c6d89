#pragma once
// One option bank: an XML file describing constants or calculated values, opened once and
// read by the lookups in options/Optlist.h. The document is parsed with libxml2: white space
// kept, entities substituted, validated against its own document type declaration when it
// has one. Nothing is ever fetched over the network, and libxml2's limits on entity
// expansion stay on, so a hostile bank can neither reach out nor exhaust memory.

#include <string>
#include <string_view>

struct _xmlDoc;

namespace vx4 {

class COptionBank {
public:
    COptionBank() = default;
    ~COptionBank();
    COptionBank(const COptionBank&) = delete;
    COptionBank& operator=(const COptionBank&) = delete;

    // Parses the file at path. True when the bank is open; opening a bank that is already
    // open does nothing and succeeds. On failure the bank stays closed and ErrorText holds
    // the parser's message (UTF-8).
    bool Open(const std::string& path);
    // The same for a document held in memory; baseUrl resolves relative external entities.
    bool OpenMemory(std::string_view text, const std::string& baseUrl = {});
    void Close();

    bool IsOpen() const { return doc_ != nullptr; }
    const std::string& ErrorText() const { return error_; }
    // The parsed document, null while the bank is not open.
    _xmlDoc* Document() const { return doc_; }

private:
    _xmlDoc* doc_ = nullptr;
    std::string error_;
};

} // namespace vx4
