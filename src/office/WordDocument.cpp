#include "office/WordDocument.h"

#include "platform/PathWalk.h"
#include "platform/RegularFile.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vx4 {

namespace {

const char* const WNs = "http://schemas.openxmlformats.org/wordprocessingml/2006/main";
const char* const RelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const char* const PkgRelNs = "http://schemas.openxmlformats.org/package/2006/relationships";
const char* const CtNs = "http://schemas.openxmlformats.org/package/2006/content-types";

// A template is a few parts of a few kilobytes; these bound what a crafted package can make
// the reader hold (the sizes are those the package declares, and no more is read).
constexpr zip_int64_t MaxParts = 1000;
constexpr zip_uint64_t MaxTotalBytes = zip_uint64_t(64) << 20;
// A template file itself: a few tens of kilobytes.
constexpr std::size_t MaxTemplateFileBytes = std::size_t(16) << 20;

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

bool Named(const xmlNode* n, const char* local, const char* ns)
{
    return n && n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, X(local)) && n->ns &&
           xmlStrEqual(n->ns->href, X(ns));
}
bool IsW(const xmlNode* n, const char* local) { return Named(n, local, WNs); }

std::string Attr(const xmlNode* n, const char* name, const char* ns)
{
    xmlChar* v = ns ? xmlGetNsProp(n, X(name), X(ns)) : xmlGetNoNsProp(n, X(name));
    if (!v) return {};
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

xmlNode* FirstChild(xmlNode* parent, const char* local, const char* ns = WNs)
{
    for (xmlNode* c = parent ? parent->children : nullptr; c; c = c->next)
        if (Named(c, local, ns)) return c;
    return nullptr;
}

void Remove(xmlNode* n)
{
    xmlUnlinkNode(n);
    xmlFreeNode(n);
}

xmlNode* NextElementSibling(xmlNode* n)
{
    for (n = n->next; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE) return n;
    return nullptr;
}

// The next element in document order below root (an element), or null. Only elements are
// entered, so the walk stays in the element tree below root and visits each element once.
xmlNode* NextInOrder(xmlNode* n, const xmlNode* root)
{
    for (xmlNode* c = n->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return c;
    while (n && n != root) {
        if (xmlNode* next = NextElementSibling(n)) return next;
        n = n->parent;
    }
    return nullptr;
}

// UTF-8 text as XML allows it: malformed bytes become U+FFFD, control characters other
// than tab and line feed are dropped (a CR before LF too).
std::string XmlSafe(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c >= 0x20 || c == '\t' || c == '\n') out += char(c);
            ++i;
            continue;
        }
        std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        bool good = len != 0 && i + len <= n;
        std::uint32_t cp = len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        for (std::size_t k = 1; good && k < len; ++k) {
            good = (p[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        good = good && !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)) &&
               !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF));
        if (good) {
            out.append(s, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

xmlNs* WordNamespace(xmlNode* anyNode)
{
    return xmlSearchNsByHref(anyNode->doc, anyNode, X(WNs));
}

// A detached deep copy of src whose names use the namespace declarations in scope at
// context (xmlDocCopyNode would declare them again on every copy).
xmlNode* CloneAt(const xmlNode* src, xmlNode* context)
{
    if (src->type == XML_TEXT_NODE) return xmlNewDocTextLen(context->doc, src->content, xmlStrlen(src->content));
    if (src->type != XML_ELEMENT_NODE) return xmlDocCopyNode(const_cast<xmlNode*>(src), context->doc, 1);
    xmlNs* ns = src->ns ? xmlSearchNsByHref(context->doc, context, src->ns->href) : nullptr;
    if (src->ns && !ns) return xmlDocCopyNode(const_cast<xmlNode*>(src), context->doc, 1);
    xmlNode* copy = xmlNewDocNode(context->doc, ns, src->name, nullptr);
    for (const xmlAttr* a = src->properties; a; a = a->next) {
        xmlChar* value = xmlNodeListGetString(src->doc, a->children, 1);
        xmlNs* attrNs = a->ns ? xmlSearchNsByHref(context->doc, context, a->ns->href) : nullptr;
        if (a->ns && !attrNs) attrNs = xmlNewNs(copy, a->ns->href, a->ns->prefix);
        xmlSetNsProp(copy, attrNs, a->name, value);
        xmlFree(value);
    }
    for (const xmlNode* c = src->children; c; c = c->next) xmlAddChild(copy, CloneAt(c, context));
    return copy;
}

// A run holding text, with a copy of rPr (may be null) as its properties.
xmlNode* MakeRun(xmlNode* context, const xmlNode* rPr, const std::string& text)
{
    xmlDoc* doc = context->doc;
    xmlNs* w = WordNamespace(context);
    xmlNode* run = xmlNewDocNode(doc, w, X("r"), nullptr);
    if (rPr) xmlAddChild(run, CloneAt(rPr, context));
    const std::string safe = XmlSafe(text);
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        if (end == start) return;
        xmlNode* t = xmlNewDocNode(doc, w, X("t"), nullptr);
        xmlNodeSetSpacePreserve(t, 1);
        xmlAddChild(t, xmlNewDocTextLen(doc, X(safe.c_str() + start), int(end - start)));
        xmlAddChild(run, t);
    };
    for (std::size_t i = 0; i < safe.size(); ++i) {
        if (safe[i] != '\t' && safe[i] != '\n') continue;
        flush(i);
        xmlAddChild(run, xmlNewDocNode(doc, w, X(safe[i] == '\t' ? "tab" : "br"), nullptr));
        start = i + 1;
    }
    flush(safe.size());
    return run;
}

// The properties of the paragraph's first run, else those of its paragraph mark.
const xmlNode* RunPropertiesOf(xmlNode* paragraph)
{
    for (xmlNode* c = paragraph->children; c; c = c->next)
        if (IsW(c, "r")) return FirstChild(c, "rPr");
    return FirstChild(FirstChild(paragraph, "pPr"), "rPr");
}

// Leaves the paragraph with its properties only and returns a copy of the run properties
// its text had (null when none); the caller frees the copy.
xmlNode* EmptyParagraph(xmlNode* paragraph)
{
    const xmlNode* rPr = RunPropertiesOf(paragraph);
    xmlNode* kept = rPr ? CloneAt(rPr, paragraph) : nullptr;
    for (xmlNode* c = paragraph->children; c;) {
        xmlNode* next = c->next;
        if (!IsW(c, "pPr")) Remove(c);
        c = next;
    }
    return kept;
}

// Leaves the cell with its properties and its first paragraph (made when it has none), which
// it returns.
xmlNode* FirstParagraphOnly(xmlNode* cell, xmlNode* context)
{
    xmlNode* paragraph = nullptr;
    for (xmlNode* k = cell->children; k;) {
        xmlNode* next = k->next;
        if (IsW(k, "p") && !paragraph) paragraph = k;
        else if (!IsW(k, "tcPr")) Remove(k);
        k = next;
    }
    if (!paragraph) paragraph = xmlAddChild(cell, xmlNewDocNode(cell->doc, WordNamespace(context), X("p"), nullptr));
    return paragraph;
}

std::string Directory(const std::string& part)
{
    const auto slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

// A relationship target resolved against the folder of its source part.
std::string ResolveTarget(const std::string& sourceDir, const std::string& target)
{
    std::string path = !target.empty() && target[0] == '/' ? target.substr(1) : sourceDir + target;
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const auto slash = path.find('/', pos);
        const std::string piece = path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        if (piece == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!piece.empty() && piece != ".") {
            parts.push_back(piece);
        }
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

// Settings children that come after updateFields in the settings part's sequence.
bool AfterUpdateFields(const xmlNode* n)
{
    static const char* const later[] = {"hdrShapeDefaults", "footnotePr", "endnotePr", "compat", "docVars",
                                        "rsids", "mathPr", "attachedSchema", "themeFontLang", "clrSchemeMapping",
                                        "doNotIncludeSubdocsInStats", "doNotAutoCompressPictures", "forceUpgrade",
                                        "captions", "readModeInkLockDown", "smartTagType", "schemaLibrary",
                                        "shapeDefaults", "doNotEmbedSmartTags", "decimalSymbol", "listSeparator"};
    if (n->type != XML_ELEMENT_NODE) return false;
    for (const char* name : later)
        if (xmlStrEqual(n->name, X(name))) return true;
    return false;
}

} // namespace

CWordDocument::CWordDocument() = default;

CWordDocument::~CWordDocument() { Reset(); }

void CWordDocument::ClearTables()
{
    for (TableCache& t : tables_)
        if (t.blankRow) xmlFreeNode(t.blankRow);
    tables_.clear();
    tablesListed_ = false;
}

void CWordDocument::Reset()
{
    ClearTables();
    for (Entry& e : entries_)
        if (e.doc) xmlFreeDoc(e.doc);
    entries_.clear();
    mainPart_.clear();
    limits_ = XmlLimits(TemplateAttributesPerElement, TemplateAttributesTotal, TemplateTagsTotal);
}

int CWordDocument::Fail(int code, const std::string& text)
{
    error_ = text;
    return code;
}

CWordDocument::Entry* CWordDocument::FindEntry(const std::string& name)
{
    for (Entry& e : entries_)
        if (e.name == name) return &e;
    return nullptr;
}

xmlDoc* CWordDocument::Parsed(const std::string& partName, int* rc)
{
    *rc = 0;
    Entry* e = FindEntry(partName);
    if (!e) {
        *rc = Fail(PartMissing, "В шаблоне " + templatePath_ + " нет части " + partName);
        return nullptr;
    }
    if (!e->doc) {
        // Counted over every part parsed so far, before libxml2 sees this one.
        if (const std::string over = limits_.Add(e->bytes); !over.empty()) {
            *rc = Fail(TemplateUnreadable, "Шаблон " + templatePath_ + " не принят: в части " + partName +
                                               " больше элементов или атрибутов, чем допустимо (" + over + ")");
            return nullptr;
        }
        e->doc = xmlReadMemory(e->bytes.data(), int(e->bytes.size()), partName.c_str(), nullptr,
                               XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (!e->doc || !xmlDocGetRootElement(e->doc)) {
            *rc = Fail(TemplateUnreadable, "Шаблон " + templatePath_ + " повреждён: часть " + partName + " не читается");
            return nullptr;
        }
        // The parts of a package carry no document type declaration, so no entities either;
        // one that does is refused rather than half understood.
        if (e->doc->intSubset || e->doc->extSubset) {
            xmlFreeDoc(e->doc);
            e->doc = nullptr;
            *rc = Fail(TemplateUnreadable, "Шаблон " + templatePath_ + " не принят: часть " + partName +
                                               " объявляет тип документа или сущности (DOCTYPE)");
            return nullptr;
        }
        e->bytes.clear();
    }
    return e->doc;
}

int CWordDocument::TemplateNotRead(const std::string& templatePath, const std::string& why)
{
    Reset();
    templatePath_ = templatePath;
    if (why == std::strerror(ENOENT)) return Fail(TemplateUnreadable, "Не найден шаблон " + templatePath);
    return Fail(TemplateUnreadable, "Шаблон " + templatePath + " не читается: " +
                                        (why == NotRegularFileText ? "это не обычный файл" : why));
}

int CWordDocument::AddDocumentFromTemplate(const std::string& templatePath)
{
    Reset();
    templatePath_ = templatePath;
    // Opened once, as a data file, and read whole; never reopened by its path.
    std::string why, bytes;
    const int fd = OpenDataFile(templatePath, &why);
    const bool read = fd >= 0 && ReadOpenFile(fd, MaxTemplateFileBytes, &bytes, &why);
    if (fd >= 0) ::close(fd);
    if (!read) return TemplateNotRead(templatePath, why);
    return AddDocumentFromTemplateBytes(bytes, templatePath);
}

int CWordDocument::AddDocumentFromTemplateBytes(const std::string& bytes, const std::string& templatePath)
{
    Reset();
    error_.clear();
    templatePath_ = templatePath;
    zip_error_t openError;
    zip_error_init(&openError);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &openError);
    zip_t* z = source ? zip_open_from_source(source, ZIP_RDONLY, &openError) : nullptr;
    if (!z) {
        if (source) zip_source_free(source);
        const std::string why = zip_error_strerror(&openError);
        zip_error_fini(&openError);
        return Fail(TemplateUnreadable, "Шаблон " + templatePath + " не читается: " + why);
    }
    zip_error_fini(&openError);
    const zip_int64_t count = zip_get_num_entries(z, 0);
    if (count > MaxParts) {
        zip_close(z);
        return Fail(TemplateUnreadable, "Шаблон " + templatePath + " не принят: в нём " + std::to_string(count) +
                                            " частей, больше " + std::to_string(MaxParts));
    }
    zip_uint64_t total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t zs;
        if (zip_stat_index(z, zip_uint64_t(i), 0, &zs) != 0) continue;
        if (!(zs.valid & ZIP_STAT_NAME) || !(zs.valid & ZIP_STAT_SIZE)) continue;
        Entry e;
        e.name = zs.name;
        if (!e.name.empty() && e.name.back() == '/') continue; // a folder entry
        // The sizes are checked before anything is allocated for the part.
        if (zs.size > MaxTotalBytes - total) {
            zip_close(z);
            Reset();
            return Fail(TemplateUnreadable, "Шаблон " + templatePath + " не принят: его части вместе больше " +
                                                std::to_string(MaxTotalBytes >> 20) + " МиБ");
        }
        total += zs.size;
        e.bytes.resize(std::size_t(zs.size));
        zip_file_t* f = zip_fopen_index(z, zip_uint64_t(i), 0);
        const zip_int64_t got = f ? zip_fread(f, e.bytes.data(), zs.size) : -1;
        if (f) zip_fclose(f);
        if (got < 0 || zip_uint64_t(got) != zs.size) {
            const std::string why = zip_strerror(z);
            zip_close(z);
            Reset();
            return Fail(TemplateUnreadable, "Шаблон " + templatePath + " не читается: " + why);
        }
        entries_.push_back(std::move(e));
    }
    zip_close(z);

    // The main part, as the package relationships name it.
    int rc = 0;
    xmlDoc* rels = Parsed("_rels/.rels", &rc);
    if (!rels) {
        Reset();
        return rc;
    }
    for (xmlNode* r = xmlDocGetRootElement(rels)->children; r; r = r->next) {
        const std::string type = Attr(r, "Type", nullptr);
        if (Named(r, "Relationship", PkgRelNs) && type.size() >= 15 &&
            type.compare(type.size() - 15, 15, "/officeDocument") == 0)
            mainPart_ = ResolveTarget("", Attr(r, "Target", nullptr));
    }
    xmlDoc* doc = mainPart_.empty() ? nullptr : Parsed(mainPart_, &rc);
    if (doc && !FirstChild(xmlDocGetRootElement(doc), "body")) doc = nullptr;
    if (!doc) {
        if (rc == 0) rc = Fail(PartMissing, "В шаблоне " + templatePath + " нет основной части документа");
        Reset(); // nothing of a broken template is kept
        return rc;
    }
    return Ok;
}

std::string CWordDocument::RelatedPart(const std::string& typeSuffix, const std::string& id)
{
    const std::string relsName = Directory(mainPart_) + "_rels/" + mainPart_.substr(Directory(mainPart_).size()) + ".rels";
    int rc = 0;
    xmlDoc* rels = Parsed(relsName, &rc);
    if (!rels) return {};
    for (xmlNode* r = xmlDocGetRootElement(rels)->children; r; r = r->next) {
        if (!Named(r, "Relationship", PkgRelNs)) continue;
        const std::string type = Attr(r, "Type", nullptr);
        const bool typeMatches = type.size() >= typeSuffix.size() &&
                                 type.compare(type.size() - typeSuffix.size(), typeSuffix.size(), typeSuffix) == 0;
        if (typeMatches && (id.empty() || Attr(r, "Id", nullptr) == id))
            return ResolveTarget(Directory(mainPart_), Attr(r, "Target", nullptr));
    }
    return {};
}

int CWordDocument::FillNamedMark(const std::string& mark, const std::string& text)
{
    int rc = 0;
    xmlDoc* doc = entries_.empty() ? nullptr : Parsed(mainPart_, &rc);
    if (!doc) return rc ? rc : Fail(NotOpen, "Документ не создан");
    xmlNode* body = FirstChild(xmlDocGetRootElement(doc), "body");
    xmlNode* start = nullptr;
    for (xmlNode* n = body; n; n = NextInOrder(n, body))
        if (IsW(n, "bookmarkStart") && Attr(n, "name", WNs) == mark) {
            start = n;
            break;
        }
    const std::string id = start ? Attr(start, "id", WNs) : std::string();
    xmlNode* end = nullptr;
    for (xmlNode* n = start; n; n = NextInOrder(n, body))
        if (IsW(n, "bookmarkEnd") && Attr(n, "id", WNs) == id) {
            end = n;
            break;
        }
    if (!start || !end) return Fail(MarkMissing, "В шаблоне " + templatePath_ + " нет закладки «" + mark + "»");
    xmlNode* paragraph = start->parent;
    if (!IsW(paragraph, "p"))
        return Fail(MarkMissing, "Закладка «" + mark + "» шаблона " + templatePath_ + " стоит вне абзаца");

    const xmlNode* rPrSource = nullptr; // formatting of the text that was there, else of the text before
    for (xmlNode* c = start->next; c && c != end && !rPrSource; c = c->next)
        if (IsW(c, "r")) rPrSource = FirstChild(c, "rPr");
    for (xmlNode* c = start->prev; c && !rPrSource; c = c->prev)
        if (IsW(c, "r")) rPrSource = FirstChild(c, "rPr");
    xmlNode* run = MakeRun(start, rPrSource, text);

    if (end->parent == paragraph) {
        for (xmlNode* c = start->next; c && c != end;) {
            xmlNode* next = c->next;
            Remove(c);
            c = next;
        }
    } else if (IsW(end->parent, "p") && end->parent->parent == paragraph->parent) {
        // The mark runs over several paragraphs: they become one, holding the text.
        xmlNode* last = end->parent;
        for (xmlNode* c = start->next; c;) {
            xmlNode* next = c->next;
            Remove(c);
            c = next;
        }
        for (xmlNode* c = paragraph->next; c && c != last;) {
            xmlNode* next = c->next;
            Remove(c);
            c = next;
        }
        // A table may have gone with the paragraphs: the tables are listed again when next asked for.
        ClearTables();
        for (xmlNode* c = last->children; c && c != end;) {
            xmlNode* next = c->next;
            Remove(c);
            c = next;
        }
        for (xmlNode* c = end; c;) {
            xmlNode* next = c->next;
            xmlUnlinkNode(c);
            xmlAddChild(paragraph, c);
            c = next;
        }
        Remove(last);
    } else {
        xmlFreeNode(run);
        return Fail(MarkMissing, "Закладка «" + mark + "» шаблона " + templatePath_ + " охватывает часть таблицы");
    }
    xmlAddNextSibling(start, run);
    return Ok;
}

int CWordDocument::WritePageHeader(const std::string& text)
{
    int rc = 0;
    xmlDoc* doc = entries_.empty() ? nullptr : Parsed(mainPart_, &rc);
    if (!doc) return rc ? rc : Fail(NotOpen, "Документ не создан");
    // The header of the last section (the body's own section properties), default kind.
    xmlNode* sectPr = FirstChild(FirstChild(xmlDocGetRootElement(doc), "body"), "sectPr");
    std::string id;
    for (xmlNode* c = sectPr ? sectPr->children : nullptr; c; c = c->next)
        if (IsW(c, "headerReference") && (id.empty() || Attr(c, "type", WNs) == "default"))
            id = Attr(c, "id", RelNs);
    const std::string part = id.empty() ? std::string() : RelatedPart("/header", id);
    xmlDoc* header = part.empty() ? nullptr : Parsed(part, &rc);
    if (!header && rc != 0) return rc;
    xmlNode* paragraph = header ? FirstChild(xmlDocGetRootElement(header), "p") : nullptr;
    if (!paragraph) return Fail(PartMissing, "В шаблоне " + templatePath_ + " нет верхнего колонтитула");
    xmlNode* rPr = EmptyParagraph(paragraph);
    xmlAddChild(paragraph, MakeRun(paragraph, rPr, text));
    if (rPr) xmlFreeNode(rPr);
    return Ok;
}

int CWordDocument::Table(int table, TableCache** out)
{
    int rc = 0;
    xmlDoc* doc = entries_.empty() ? nullptr : Parsed(mainPart_, &rc);
    if (!doc) return rc ? rc : Fail(NotOpen, "Документ не создан");
    if (!tablesListed_) {
        for (xmlNode* c = FirstChild(xmlDocGetRootElement(doc), "body")->children; c; c = c->next) {
            if (!IsW(c, "tbl")) continue;
            TableCache t;
            t.table = c;
            for (xmlNode* r = c->children; r; r = r->next)
                if (IsW(r, "tr")) t.rows.push_back(r);
            tables_.push_back(std::move(t));
        }
        tablesListed_ = true;
    }
    if (table < 1 || std::size_t(table) > tables_.size())
        return Fail(TableMissing, "В шаблоне " + templatePath_ + " нет таблицы " + std::to_string(table));
    *out = &tables_[std::size_t(table) - 1];
    return Ok;
}

int CWordDocument::AddTableRow(int table)
{
    TableCache* t = nullptr;
    if (int rc = Table(table, &t); rc != Ok) return rc;
    if (t->rows.empty())
        return Fail(CellMissing, "В таблице " + std::to_string(table) + " шаблона " + templatePath_ + " нет строк");
    xmlNode* last = t->rows.back();
    if (!t->blankRow) {
        // The last row with its cells emptied; every row added copies it.
        xmlNode* blank = CloneAt(last, last);
        for (xmlNode* c = blank->children; c; c = c->next) {
            if (IsW(c, "trPr")) {
                if (xmlNode* h = FirstChild(c, "tblHeader")) Remove(h); // a new row is not a heading
                continue;
            }
            if (!IsW(c, "tc")) continue;
            if (xmlNode* rPr = EmptyParagraph(FirstParagraphOnly(c, last))) xmlFreeNode(rPr);
        }
        t->blankRow = blank;
    }
    xmlNode* row = CloneAt(t->blankRow, last);
    xmlAddNextSibling(last, row);
    t->rows.push_back(row);
    return Ok;
}

int CWordDocument::SetTableCellText(int table, int row, int column, const std::string& text)
{
    TableCache* t = nullptr;
    if (int rc = Table(table, &t); rc != Ok) return rc;
    xmlNode* cell = nullptr;
    if (row >= 1 && std::size_t(row) <= t->rows.size()) {
        int n = 0;
        for (xmlNode* c = t->rows[std::size_t(row) - 1]->children; c && !cell; c = c->next)
            if (IsW(c, "tc") && ++n == column) cell = c;
    }
    if (!cell)
        return Fail(CellMissing, "В таблице " + std::to_string(table) + " шаблона " + templatePath_ + " нет ячейки (" +
                                     std::to_string(row) + ", " + std::to_string(column) + ")");
    xmlNode* paragraph = FirstParagraphOnly(cell, cell);
    xmlNode* rPr = EmptyParagraph(paragraph);
    xmlAddChild(paragraph, MakeRun(paragraph, rPr, text));
    if (rPr) xmlFreeNode(rPr);
    return Ok;
}

int CWordDocument::UpdateFields()
{
    if (entries_.empty()) return Fail(NotOpen, "Документ не создан");
    const std::string part = RelatedPart("/settings", {});
    int rc = 0;
    xmlDoc* settings = part.empty() ? nullptr : Parsed(part, &rc);
    if (!settings && rc != 0) return rc;
    if (!settings) return Fail(PartMissing, "В шаблоне " + templatePath_ + " нет параметров документа (settings)");
    xmlNode* root = xmlDocGetRootElement(settings);
    xmlNode* flag = FirstChild(root, "updateFields");
    if (!flag) {
        flag = xmlNewDocNode(settings, WordNamespace(root), X("updateFields"), nullptr);
        xmlNode* before = nullptr;
        for (xmlNode* c = root->children; c && !before; c = c->next)
            if (c->ns && xmlStrEqual(c->ns->href, X(WNs)) && AfterUpdateFields(c)) before = c;
        if (before) xmlAddPrevSibling(before, flag);
        else xmlAddChild(root, flag);
    }
    xmlSetNsProp(flag, WordNamespace(root), X("val"), X("true"));
    return Ok;
}

int CWordDocument::Save(std::string* bytes)
{
    if (entries_.empty()) return Fail(NotOpen, "Документ не создан");
    // The main part becomes a document's main part (it was a template's).
    int rc = 0;
    if (xmlDoc* types = Parsed("[Content_Types].xml", &rc)) {
        for (xmlNode* o = xmlDocGetRootElement(types)->children; o; o = o->next) {
            if (!Named(o, "Override", CtNs) || Attr(o, "PartName", nullptr) != "/" + mainPart_) continue;
            const std::string type = Attr(o, "ContentType", nullptr);
            std::string now = type;
            if (type == "application/vnd.openxmlformats-officedocument.wordprocessingml.template.main+xml")
                now = "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml";
            else if (type == "application/vnd.ms-word.template.macroEnabledTemplate.main+xml")
                now = "application/vnd.ms-word.document.macroEnabled.main+xml";
            xmlSetProp(o, X("ContentType"), X(now.c_str()));
        }
    } else {
        return rc;
    }

    // Serialised parts must outlive the archive until it is closed.
    std::vector<std::string> texts(entries_.size());
    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &ze);
    zip_t* z = target ? zip_open_from_source(target, ZIP_TRUNCATE, &ze) : nullptr;
    if (!z) {
        const std::string why = zip_error_strerror(&ze);
        if (target) zip_source_free(target);
        zip_error_fini(&ze);
        return Fail(WriteFailed, "Не удалось собрать документ: " + why);
    }
    zip_source_keep(target);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        const std::string* data = &e.bytes;
        if (e.doc) {
            xmlChar* mem = nullptr;
            int size = 0;
            xmlDocDumpMemoryEnc(e.doc, &mem, &size, "UTF-8");
            texts[i].assign(reinterpret_cast<const char*>(mem), std::size_t(size));
            xmlFree(mem);
            data = &texts[i];
        }
        zip_source_t* src = zip_source_buffer(z, data->data(), data->size(), 0);
        const zip_int64_t index = src ? zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (src) zip_source_free(src);
            const std::string why = zip_strerror(z);
            zip_discard(z);
            zip_source_free(target);
            zip_error_fini(&ze);
            return Fail(WriteFailed, "Не удалось собрать документ: " + why);
        }
        // The fastest deflate: a large table's part shrinks nearly as well, in a fraction of the time.
        zip_set_file_compression(z, zip_uint64_t(index), ZIP_CM_DEFLATE, 1);
    }
    if (zip_close(z) != 0) {
        const std::string why = zip_strerror(z);
        zip_discard(z);
        zip_source_free(target);
        zip_error_fini(&ze);
        return Fail(WriteFailed, "Не удалось собрать документ: " + why);
    }
    bytes->clear();
    zip_stat_t st;
    if (zip_source_stat(target, &st) == 0 && zip_source_open(target) == 0) {
        bytes->resize(std::size_t(st.size));
        const zip_int64_t got = zip_source_read(target, bytes->data(), st.size);
        zip_source_close(target);
        if (got < 0 || zip_uint64_t(got) != st.size) bytes->clear();
    }
    zip_source_free(target);
    zip_error_fini(&ze);
    if (bytes->empty()) return Fail(WriteFailed, "Не удалось собрать документ");
    return Ok;
}

} // namespace vx4
