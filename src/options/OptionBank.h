#pragma once
// One option bank: an XML file describing constants or calculated values, opened once and
// read by the lookups in options/Optlist.h. The document is parsed with libxml2: white space
// kept, entities substituted, validated against its own document type declaration when it
// has one. The only external entities and type declarations read are regular files in the
// bank's own folder (a symbolic link, a FIFO or device, a file elsewhere or on the network
// makes the opening fail, naming the entity); the bank itself must be a regular file.
// libxml2's limits on entity expansion stay on, so a hostile bank can neither read other
// files, nor hang, nor exhaust memory.

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
    // The same for a document held in memory; baseUrl names the file it stands for, whose
    // folder external entities may come from (none without it).
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
