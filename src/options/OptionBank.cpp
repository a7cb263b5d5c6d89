#include "options/OptionBank.h"

#include "platform/FileLocations.h"
#include "platform/PathWalk.h"
#include "platform/RegularFile.h"
#include "platform/XmlLimits.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/uri.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx4 {

namespace {

// White space is kept (no XML_PARSE_NOBLANKS), entities are substituted and the external
// DTD subset is loaded so that validation has something to check against. What an external
// entity or DTD may load is decided by BankEntityLoader below: only a regular file in the
// bank's own folder. XML_PARSE_NONET is kept as a second guard; XML_PARSE_HUGE is
// deliberately absent, which leaves libxml2's protection against runaway entity expansion
// in force. The parser prints nothing; its messages are collected instead.
constexpr int ParseOptions = XML_PARSE_NOENT | XML_PARSE_DTDLOAD | XML_PARSE_DTDVALID |
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Keeps the first error the parser raises (its last one often only says that parsing
// stopped). The complaint that a document without a type declaration cannot be validated
// is no error for a bank.
struct FirstError {
    std::string text;
};

std::string ErrorMessage(const xmlError* err, const char* fallback)
{
    if (err == nullptr || err->message == nullptr)
        return fallback;
    std::string msg = err->message;
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r' || msg.back() == ' '))
        msg.pop_back();
    if (err->file != nullptr && err->line > 0)
        msg = std::string(err->file) + ":" + std::to_string(err->line) + ": " + msg;
    return msg;
}

void CollectError(void* data, xmlErrorPtr err)
{
    auto* first = static_cast<FirstError*>(data);
    if (err == nullptr || err->level < XML_ERR_ERROR || err->code == XML_DTD_NO_DTD)
        return;
    if (first->text.empty())
        first->text = ErrorMessage(err, "");
}

// What the parse running on this thread may load as external entities: files named by a
// single name in the folder the bank was found in, read through that folder's descriptor,
// and counted with the bank against its limits. While no bank is opened on the thread,
// loads go to the loader that was there before.
struct EntityPolicy {
    int folder = -1;        // the bank's real folder, opened once
    std::string folderText; // that folder as the bank's path names it (entity URLs resolve against it)
    XmlLimits limits{BankAttributesPerElement, BankAttributesTotal, BankTagsTotal};
    std::size_t bytes = 0;  // the bank's and its entities' bytes so far
    std::string refused;    // the first entity refused, for the error text
};
thread_local EntityPolicy* activePolicy = nullptr;
xmlExternalEntityLoader previousLoader = nullptr;

std::string FolderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file-system path an entity's URL names; empty for any scheme other than file.
std::string LocalPath(const char* url)
{
    std::string u = url;
    const auto colon = u.find(':');
    const auto slash = u.find('/');
    if (colon != std::string::npos && (slash == std::string::npos || colon < slash)) {
        if (u.compare(0, 5, "file:") != 0) return {};
        u.erase(0, 5);
        if (u.compare(0, 11, "//localhost") == 0) u.erase(0, 11);
        else if (u.compare(0, 3, "///") == 0) u.erase(0, 2);
        else if (u.compare(0, 2, "//") == 0) return {}; // a file on another host
    }
    char* plain = xmlURIUnescapeString(u.c_str(), 0, nullptr);
    if (plain == nullptr) return {};
    std::string path = plain;
    xmlFree(plain);
    return path.find('\0') == std::string::npos ? path : std::string();
}

xmlParserInputPtr Refuse(EntityPolicy* policy, const char* url, const std::string& why)
{
    if (policy->refused.empty())
        policy->refused = std::string("external entity \"") + (url ? url : "") + "\" refused: " + why;
    return nullptr;
}

xmlParserInputPtr BankEntityLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt)
{
    EntityPolicy* policy = activePolicy;
    if (policy == nullptr) return previousLoader ? previousLoader(url, id, ctxt) : nullptr;
    if (url == nullptr || ctxt == nullptr) return Refuse(policy, url, "it names no file");
    const std::string path = LocalPath(url);
    const std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (path.empty() || policy->folder < 0 || FolderOf(path) != policy->folderText || name.empty() || name == "." ||
        name == "..")
        return Refuse(policy, url, "only files in the bank's folder are read");
    // A look before the open keeps a device's open from happening at all.
    struct stat st{};
    if (::fstatat(policy->folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Refuse(policy, url, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return Refuse(policy, url, NotRegularFileText);
    const int fd = ::openat(policy->folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Refuse(policy, url, errno == ELOOP ? NotRegularFileText : std::strerror(errno));
    std::string why, text;
    const bool read = IsTrustedDataFile(fd, &why) && ReadOpenFile(fd, MaxBankBytes - policy->bytes, &text, &why);
    ::close(fd);
    if (!read) return Refuse(policy, url, why);
    policy->bytes += text.size();
    if (std::string over = policy->limits.AddEntityFile(text); !over.empty()) return Refuse(policy, url, over);
    xmlParserInputBufferPtr buffer =
        xmlParserInputBufferCreateMem(text.data(), static_cast<int>(text.size()), XML_CHAR_ENCODING_NONE);
    if (buffer == nullptr) return Refuse(policy, url, "out of memory");
    xmlParserInputPtr input = xmlNewIOInputStream(ctxt, buffer, XML_CHAR_ENCODING_NONE);
    if (input == nullptr) {
        xmlFreeParserInputBuffer(buffer);
        return Refuse(policy, url, "out of memory");
    }
    // Relative names inside the entity resolve against the entity's own place.
    input->filename = reinterpret_cast<const char*>(xmlStrdup(reinterpret_cast<const xmlChar*>(url)));
    return input;
}

// Installs the loader once per process; it defers to the one it replaces outside a bank.
void InstallEntityLoader()
{
    static const bool installed = [] {
        previousLoader = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(BankEntityLoader);
        return true;
    }();
    (void)installed;
}

// Sets the policy of this thread for the life of the object.
class PolicyScope {
public:
    explicit PolicyScope(EntityPolicy* policy) : saved_(activePolicy) { activePolicy = policy; }
    ~PolicyScope() { activePolicy = saved_; }
    PolicyScope(const PolicyScope&) = delete;
    PolicyScope& operator=(const PolicyScope&) = delete;

private:
    EntityPolicy* saved_;
};

} // namespace

COptionBank::~COptionBank()
{
    Close();
}

void COptionBank::Close()
{
    if (doc_ != nullptr) {
        xmlFreeDoc(doc_);
        doc_ = nullptr;
    }
}

bool COptionBank::Open(const std::string& path)
{
    if (doc_ != nullptr)
        return true;
    // The file is read here rather than by the parser, so that a missing or unreadable file
    // is reported with the system's own reason, a FIFO or device is never read, and the
    // bank's folder is the one the file was opened in.
    std::string why;
    int folder = -1;
    const int fd = OpenDataFile(path, &why, &folder);
    return OpenOpened(fd, folder, path, why);
}

bool COptionBank::OpenFound(const std::vector<std::string>& folders, const std::string& name)
{
    if (doc_ != nullptr)
        return true;
    std::string path, why;
    int folder = -1;
    const int fd = OpenDataFileIn(folders, name, &path, &why, &folder);
    return OpenOpened(fd, folder, path, why);
}

bool COptionBank::OpenOpened(int fd, int folder, const std::string& path, const std::string& why)
{
    std::string text, reason = why;
    const bool read = fd >= 0 && ReadOpenFile(fd, MaxBankBytes, &text, &reason);
    if (fd >= 0) ::close(fd);
    if (!read) {
        if (folder >= 0) ::close(folder);
        error_ = path + ": " + reason;
        return false;
    }
    return Parse(text, path, folder);
}

bool COptionBank::OpenMemory(std::string_view text, const std::string& baseUrl)
{
    if (doc_ != nullptr)
        return true;
    const int folder = baseUrl.empty() ? -1 : ::open(FolderOf(baseUrl).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return Parse(text, baseUrl, folder);
}

bool COptionBank::Parse(std::string_view text, const std::string& baseUrl, int folder)
{
    // The folder's descriptor is this parse's, closed when it ends.
    struct FolderCloser {
        int fd;
        ~FolderCloser()
        {
            if (fd >= 0) ::close(fd);
        }
    } closer{folder};
    error_.clear();
    if (text.size() > MaxBankBytes) {
        error_ = baseUrl + ": the file is larger than " + std::to_string(MaxBankBytes) + " bytes";
        return false;
    }
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (ctxt == nullptr) {
        error_ = "out of memory";
        return false;
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        xmlFreeParserCtxt(ctxt);
        error_ = baseUrl + ": the file is too large";
        return false;
    }
    // Every report of this thread's parse goes to the collector instead of standard error
    // (the structured handler is per thread in libxml2); the previous handler is restored.
    InstallEntityLoader();
    EntityPolicy policy;
    policy.folder = folder;
    policy.folderText = baseUrl.empty() ? std::string() : FolderOf(baseUrl);
    policy.bytes = text.size();
    // What libxml2 takes its time over is refused before it sees it.
    if (std::string over = policy.limits.Add(text); !over.empty()) {
        xmlFreeParserCtxt(ctxt);
        error_ = (baseUrl.empty() ? std::string() : baseUrl + ": ") + "refused: " + over;
        return false;
    }
    FirstError first;
    const xmlStructuredErrorFunc savedHandler = xmlStructuredError;
    void* const savedContext = xmlStructuredErrorContext;
    xmlSetStructuredErrorFunc(&first, CollectError);
    xmlDocPtr doc = nullptr;
    {
        PolicyScope scope(&policy);
        doc = xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()),
                                baseUrl.empty() ? nullptr : baseUrl.c_str(), nullptr, ParseOptions);
    }
    xmlSetStructuredErrorFunc(savedContext, savedHandler);
    if (first.text.empty())
        first.text = ErrorMessage(xmlCtxtGetLastError(ctxt), "");
    if (!policy.refused.empty()) {
        // A refused entity is never left out quietly: the bank would read differently.
        error_ = (baseUrl.empty() ? std::string() : baseUrl + ": ") + policy.refused;
    } else if (doc == nullptr || !ctxt->wellFormed) {
        error_ = first.text.empty() ? "the document could not be parsed" : first.text;
    } else if (doc->intSubset != nullptr && !ctxt->valid) {
        // A document that declares its own type must also conform to it. Without such a
        // declaration the validity flag only says that there was nothing to validate.
        error_ = first.text.empty() ? "the document is not valid" : first.text;
    } else if (xmlDocGetRootElement(doc) == nullptr) {
        error_ = "the document has no root element";
    }
    xmlFreeParserCtxt(ctxt);
    if (!error_.empty()) {
        if (doc != nullptr)
            xmlFreeDoc(doc);
        return false;
    }
    doc_ = doc;
    return true;
}

} // namespace vx4
