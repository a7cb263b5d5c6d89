#pragma once
// Helpers for the report tests: parts of a written .docx, the texts of its tables and
// marks, templates with a part changed, and a device as the reports see it.

#include "office/DocumentReports.h"
#include "office/WordDocument.h"

#include "options/bank_fixture.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vx4test {

inline std::string TemplatePath(const char* relName) { return std::string(VX4_TEMPLATE_DIR) + "/" + (relName + 7); }
inline std::string MapTemplate() { return TemplatePath(vx4::ParameterMapTemplate); }
inline std::string GradTemplate() { return TemplatePath(vx4::GraduationTemplate); }

// One part of a zip package, empty when it is not there.
inline std::string ReadPart(const std::string& zipPath, const std::string& part)
{
    int err = 0;
    zip_t* z = zip_open(zipPath.c_str(), ZIP_RDONLY, &err);
    if (!z) return {};
    std::string out;
    zip_stat_t st;
    if (zip_stat(z, part.c_str(), 0, &st) == 0) {
        out.resize(st.size);
        zip_file_t* f = zip_fopen(z, part.c_str(), 0);
        if (!f || zip_fread(f, out.data(), st.size) != zip_int64_t(st.size)) out.clear();
        if (f) zip_fclose(f);
    }
    zip_close(z);
    return out;
}

// Copies a package, passing every part through change (name, text) -> text.
inline void RewritePackage(const std::string& from, const std::string& to,
                           const std::function<std::string(const std::string&, std::string)>& change)
{
    int err = 0;
    zip_t* in = zip_open(from.c_str(), ZIP_RDONLY, &err);
    ASSERT_NE(in, nullptr);
    std::vector<std::pair<std::string, std::string>> parts;
    for (zip_int64_t i = 0; i < zip_get_num_entries(in, 0); ++i) {
        const std::string name = zip_get_name(in, zip_uint64_t(i), 0);
        parts.emplace_back(name, change(name, ReadPart(from, name)));
    }
    zip_close(in);
    zip_t* out = zip_open(to.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(out, nullptr);
    for (const auto& [name, text] : parts)
        zip_file_add(out, name.c_str(), zip_source_buffer(out, text.data(), text.size(), 0), ZIP_FL_ENC_UTF_8);
    ASSERT_EQ(zip_close(out), 0);
}

inline std::string Replace(std::string s, const std::string& what, const std::string& with)
{
    const auto pos = s.find(what);
    EXPECT_NE(pos, std::string::npos) << what;
    if (pos != std::string::npos) s.replace(pos, what.size(), with);
    return s;
}

struct XmlDocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

inline XmlDocPtr ParseXml(const std::string& text)
{
    return XmlDocPtr(xmlReadMemory(text.data(), int(text.size()), "part.xml", nullptr, XML_PARSE_NONET));
}

inline bool IsW(const xmlNode* n, const char* name)
{
    return n && n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, reinterpret_cast<const xmlChar*>(name));
}

// The text below n: w:t texts, a tab element as "\t", a break as "\n".
inline std::string TextOf(const xmlNode* n)
{
    std::string s;
    for (const xmlNode* c = n->children; c; c = c->next) {
        if (IsW(c, "t")) {
            xmlChar* t = xmlNodeGetContent(c);
            s += reinterpret_cast<const char*>(t);
            xmlFree(t);
        } else if (IsW(c, "tab") && IsW(n, "r")) {
            s += "\t";
        } else if (IsW(c, "br")) {
            s += "\n";
        } else if (c->type == XML_ELEMENT_NODE && !IsW(c, "tabs") && !IsW(c, "pPr")) {
            s += TextOf(c);
        }
    }
    return s;
}

using TableTexts = std::vector<std::vector<std::string>>; // rows of cells

// The top-level tables of a document part.
inline std::vector<TableTexts> Tables(const std::string& documentXml)
{
    std::vector<TableTexts> out;
    XmlDocPtr doc = ParseXml(documentXml);
    if (!doc) return out;
    xmlNode* body = xmlDocGetRootElement(doc.get())->children;
    while (body && !IsW(body, "body")) body = body->next;
    for (xmlNode* t = body ? body->children : nullptr; t; t = t->next) {
        if (!IsW(t, "tbl")) continue;
        TableTexts table;
        for (xmlNode* r = t->children; r; r = r->next) {
            if (!IsW(r, "tr")) continue;
            std::vector<std::string> row;
            for (xmlNode* c = r->children; c; c = c->next)
                if (IsW(c, "tc")) row.push_back(TextOf(c));
            table.push_back(row);
        }
        out.push_back(table);
    }
    return out;
}

// The text a named mark encloses (same paragraph), or "<none>".
inline std::string MarkText(const std::string& documentXml, const std::string& mark)
{
    XmlDocPtr doc = ParseXml(documentXml);
    std::function<std::string(xmlNode*)> walk = [&](xmlNode* n) -> std::string {
        for (xmlNode* c = n->children; c; c = c->next) {
            if (IsW(c, "bookmarkStart")) {
                xmlChar* name = xmlGetProp(c, reinterpret_cast<const xmlChar*>("name"));
                const bool match = name && mark == reinterpret_cast<const char*>(name);
                xmlFree(name);
                if (!match) continue;
                std::string s;
                for (xmlNode* k = c->next; k && !IsW(k, "bookmarkEnd"); k = k->next)
                    if (IsW(k, "r")) s += TextOf(k);
                return s;
            }
            if (std::string s = walk(c); s != "<none>") return s;
        }
        return "<none>";
    };
    return doc ? walk(xmlDocGetRootElement(doc.get())) : "<none>";
}

// The text of the first paragraph of a header part.
inline std::string HeaderText(const std::string& docx)
{
    XmlDocPtr doc = ParseXml(ReadPart(docx, "word/header1.xml"));
    if (!doc) return "<none>";
    for (xmlNode* p = xmlDocGetRootElement(doc.get())->children; p; p = p->next)
        if (IsW(p, "p")) {
            std::string s;
            for (xmlNode* r = p->children; r; r = r->next)
                if (IsW(r, "r")) s += TextOf(r);
            return s;
        }
    return "<none>";
}

// A device as the reports see it.
class FakeSource : public vx4::ReportSource {
public:
    vx4::SVX4_Info info;
    std::vector<vx4::SNodeInfo> items; // item k is items[k - 1]
    std::vector<std::uint32_t> transducers;
    std::map<std::uint32_t, std::vector<vx4::GiGePair>> pairs; // a transducer not here fails
    std::vector<std::uint32_t> graduationReads;
    int nodeReads = 0;

    FakeSource()
    {
        info.ident.serial = 123456;
        info.ident.swMajor = 2;
        info.ident.swMinor = 1;
        info.ident.swBuild = 517;
        info.checksum = 0x1A2B3C;
    }

    void AddConst(std::uint8_t system, const std::string& name, float value)
    {
        vx4::SNodeInfo n;
        n.kind = vx4::ITEM_CONST;
        n.id = std::uint16_t(items.size() + 1);
        n.name = name;
        n.data[0] = system;
        std::memcpy(n.data.data() + 7, &value, 4);
        items.push_back(n);
        info.itemCount = std::uint32_t(items.size());
    }
    void AddCalc(std::uint8_t system, const std::string& name)
    {
        vx4::SNodeInfo n;
        n.kind = vx4::ITEM_CALC;
        n.id = std::uint16_t(items.size() + 1);
        n.name = name;
        n.data[0] = system;
        items.push_back(n);
        info.itemCount = std::uint32_t(items.size());
    }

    vx4::SVX4_Info GetDeviceInfo() override { return info; }
    vx4::SNodeInfo GetNodeInfo(std::uint16_t id) override
    {
        ++nodeReads;
        return id >= 1 && id <= items.size() ? items[id - 1] : vx4::SNodeInfo{};
    }
    std::vector<std::uint32_t> GetTransducers() override { return transducers; }
    int ReadGraduation(std::uint32_t address, vx4::CGiGeArray& table) override
    {
        graduationReads.push_back(address);
        const auto it = pairs.find(address);
        if (it == pairs.end()) return 1016;
        table.Clear();
        for (const auto& p : it->second) table.Add(p.gi, p.ge);
        return 0;
    }
};

// Files for a report into a fresh folder, with the generated templates.
inline vx4::ReportFiles FilesIn(const TempDir& dir)
{
    return {MapTemplate(), GradTemplate(), dir.Path() + "/", {}, {}};
}

} // namespace vx4test
