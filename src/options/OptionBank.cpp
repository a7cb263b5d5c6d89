#include "options/OptionBank.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vx4 {

namespace {

// White space is kept (no XML_PARSE_NOBLANKS), entities are substituted and the external
// DTD subset is loaded so that validation has something to check against. XML_PARSE_NONET
// keeps every load local; XML_PARSE_HUGE is deliberately absent, which leaves libxml2's
// protection against runaway entity expansion in force. The parser prints nothing; its
// messages are collected instead.
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
    // is reported with the system's own reason.
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (in) {
        std::ostringstream buffer;
        buffer << in.rdbuf();
        text = buffer.str();
    }
    if (!in) {
        const int err = errno;
        error_ = path + ": " + std::strerror(err != 0 ? err : EIO);
        return false;
    }
    return OpenMemory(text, path);
}

bool COptionBank::OpenMemory(std::string_view text, const std::string& baseUrl)
{
    if (doc_ != nullptr)
        return true;
    error_.clear();
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
    FirstError first;
    const xmlStructuredErrorFunc savedHandler = xmlStructuredError;
    void* const savedContext = xmlStructuredErrorContext;
    xmlSetStructuredErrorFunc(&first, CollectError);
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()),
                                      baseUrl.empty() ? nullptr : baseUrl.c_str(), nullptr,
                                      ParseOptions);
    xmlSetStructuredErrorFunc(savedContext, savedHandler);
    if (first.text.empty())
        first.text = ErrorMessage(xmlCtxtGetLastError(ctxt), "");
    if (doc == nullptr || !ctxt->wellFormed) {
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
