#pragma once
// CWordDocument: a word-processing document made from a Word template (.dotx, OOXML) and
// filled without an office application: the package is read with libzip, its XML parts are
// edited with libxml2 and the result is written as a .docx (the main part's content type
// turned from template into document). The operations are those the reports use:
// named marks (bookmarks), the page header, table rows and cells, and the request to update
// fields when the document is opened.
//
// Texts are UTF-8; they are stored XML-escaped, a tab becomes a tab element and a line
// break a break element; bytes that are not UTF-8 or not allowed in XML are replaced.
// Tables are the top-level tables of the document body, counted from 1; rows and columns
// are counted from 1 as well. Every operation returns 0 or one of the codes below, with
// ErrorText naming what was missing; nothing throws.
//
// The template is untrusted: it is opened once as a data file (platform/PathWalk.h) and
// read whole; a package of more than 1000 parts, or whose parts declare more than 64 MiB
// together, is refused before they are read; before libxml2 parses a part, the parts
// parsed so far are held to the element and attribute limits below (platform/XmlLimits.h),
// which keep any accepted template to well under a second of parsing and a few hundred
// megabytes; a part with a document type declaration (and so entities) is refused; the
// walks over a part visit its elements only.

#include "platform/XmlLimits.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct _xmlDoc;
struct _xmlNode;

namespace vx4 {

// A template's main part has a few thousand elements of a few attributes each.
inline constexpr std::size_t TemplateAttributesPerElement = 64;
inline constexpr std::size_t TemplateAttributesTotal = 200000;
inline constexpr std::size_t TemplateTagsTotal = 400000;

class CWordDocument {
public:
    enum Result {
        Ok = 0,
        TemplateUnreadable = 1, // missing file, not a zip package, a part that is not XML
        MarkMissing = 2,
        TableMissing = 3,
        CellMissing = 4,        // a row or column the table does not have
        PartMissing = 5,        // the main part, its page header or settings
        WriteFailed = 6,
        NotOpen = 7,
    };

    CWordDocument();
    ~CWordDocument();
    CWordDocument(const CWordDocument&) = delete;
    CWordDocument& operator=(const CWordDocument&) = delete;

    // Reads the template; the template file itself is never changed.
    int AddDocumentFromTemplate(const std::string& templatePath);
    // The same from the template's bytes, read once when it was looked up; templatePath
    // names it in messages.
    int AddDocumentFromTemplateBytes(const std::string& bytes, const std::string& templatePath);
    // Fails as AddDocumentFromTemplate does for a template that could not be opened or read
    // (why: the system's reason or the data file check's).
    int TemplateNotRead(const std::string& templatePath, const std::string& why);
    // Replaces what the bookmark encloses with text (the bookmark then encloses the text).
    int FillNamedMark(const std::string& mark, const std::string& text);
    // Replaces the content of the first paragraph of the section's page header; tabs move
    // the following text to the header's tab stops.
    int WritePageHeader(const std::string& text);
    // Appends a row formatted like the table's last one, with empty cells.
    int AddTableRow(int table);
    // Replaces the content of a cell with one paragraph holding text.
    int SetTableCellText(int table, int row, int column, const std::string& text);
    // Marks the document so that its fields are updated when it is opened.
    int UpdateFields();

    // The document as .docx bytes.
    int Save(std::string* bytes);
    const std::string& ErrorText() const { return error_; }

private:
    struct Entry {
        std::string name;
        std::string bytes;      // as read, for the parts never parsed
        _xmlDoc* doc = nullptr; // parsed (and possibly changed) part
    };
    struct TableCache {
        _xmlNode* table = nullptr;
        std::vector<_xmlNode*> rows;
        _xmlNode* blankRow = nullptr; // detached: the last row as it was first added, emptied
    };

    void Reset();
    void ClearTables();
    int Fail(int code, const std::string& text);
    Entry* FindEntry(const std::string& name);
    _xmlDoc* Parsed(const std::string& partName, int* rc);
    // The part that the main part's relationship of this type (or with this id) points to.
    std::string RelatedPart(const std::string& typeSuffix, const std::string& id);
    int Table(int table, TableCache** out);

    std::string templatePath_;
    std::string mainPart_; // "word/document.xml" as named by the package relationships
    std::vector<Entry> entries_;
    std::vector<TableCache> tables_;
    bool tablesListed_ = false;
    XmlLimits limits_{TemplateAttributesPerElement, TemplateAttributesTotal, TemplateTagsTotal};
    std::string error_;
};

} // namespace vx4
