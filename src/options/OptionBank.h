#pragma once
// One option bank: an XML file describing constants or calculated values, opened once and
// read by the lookups in options/Optlist.h. The document is parsed with libxml2: white space
// kept, entities substituted, validated against its own document type declaration when it
// has one. The only external entities and type declarations read are regular files in the
// bank's own folder (a symbolic link, a FIFO or device, a file elsewhere or on the network
// makes the opening fail, naming the entity); the bank itself must be a regular file.
// libxml2's limits on entity expansion stay on, so a hostile bank can neither read other
// files, nor hang, nor exhaust memory.
//
// The bank is a data file (platform/PathWalk.h) opened once; its folder is opened once with
// it, and each external entity is opened in that folder by its single name (no "/"), never
// through a link, never a file with a second name (hard link). Before libxml2 sees any of
// it, the bank and its entities together are held to MaxBankBytes and to the attribute and
// element limits below (platform/XmlLimits.h), which keep any accepted bank to well under a
// second of parsing and a few hundred megabytes.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct _xmlDoc;

namespace vx4 {

inline constexpr std::size_t MaxBankBytes = std::size_t(4) << 20;
inline constexpr std::size_t BankAttributesPerElement = 64;
inline constexpr std::size_t BankAttributesTotal = 200000;
inline constexpr std::size_t BankTagsTotal = 400000;

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
    // The first bank named name in the data folders (FindDataFileIn) that passes the data
    // file checks, opened once.
    bool OpenFound(const std::vector<std::string>& folders, const std::string& name);
    // The same for a document held in memory; baseUrl names the file it stands for, whose
    // folder external entities may come from (none without it).
    bool OpenMemory(std::string_view text, const std::string& baseUrl = {});
    void Close();

    bool IsOpen() const { return doc_ != nullptr; }
    const std::string& ErrorText() const { return error_; }
    // The parsed document, null while the bank is not open.
    _xmlDoc* Document() const { return doc_; }

private:
    bool OpenOpened(int fd, int folder, const std::string& path, const std::string& why);
    bool Parse(std::string_view text, const std::string& baseUrl, int folder);

    _xmlDoc* doc_ = nullptr;
    std::string error_;
};

} // namespace vx4
