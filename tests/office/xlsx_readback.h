#pragma once
// Reading a written .xlsx back for tests: LibreOffice (headless, with a profile of its own
// per test process) converts every sheet to CSV, and the parts of the file are read with
// libzip and looked into with libxml2.

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <zip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vx4::xlsxtest {

// One CSV cell: its text as shown, and whether it is a text cell (quoted by the export).
struct CsvCell {
    std::string text;
    bool quoted = false;
    bool operator==(const CsvCell&) const = default;
};
using CsvRows = std::vector<std::vector<CsvCell>>;

inline void PrintTo(const CsvCell& c, std::ostream* os) { *os << (c.quoted ? "\"" + c.text + "\"" : c.text); }

// Cells compare equal when both are text with the same text, or both numbers: numbers by
// value (how a spreadsheet shows 1E20 or 0.00000015 is its own business), other shown
// values (dates) by text.
inline bool SameCell(const CsvCell& got, const CsvCell& want)
{
    if (got.quoted != want.quoted)
        return false;
    if (got.text == want.text)
        return true;
    if (got.quoted)
        return false;
    char* end1 = nullptr;
    char* end2 = nullptr;
    const double a = std::strtod(got.text.c_str(), &end1);
    const double b = std::strtod(want.text.c_str(), &end2);
    return !got.text.empty() && !want.text.empty() && *end1 == '\0' && *end2 == '\0' &&
           std::abs(a - b) <= 1e-14 * std::max(std::abs(a), std::abs(b));
}

inline void ExpectSameRows(const CsvRows& got, const CsvRows& want)
{
    EXPECT_EQ(got.size(), want.size()) << "rows";
    for (std::size_t r = 0; r < got.size() && r < want.size(); ++r) {
        EXPECT_EQ(got[r].size(), want[r].size()) << "cells of row " << r + 1;
        for (std::size_t c = 0; c < got[r].size() && c < want[r].size(); ++c) {
            EXPECT_TRUE(SameCell(got[r][c], want[r][c]))
                << "row " << r + 1 << " column " << c + 1 << ": got " << ::testing::PrintToString(got[r][c])
                << ", want " << ::testing::PrintToString(want[r][c]);
        }
    }
}

inline CsvRows ParseCsv(const std::string& data)
{
    CsvRows rows;
    std::vector<CsvCell> row;
    CsvCell cell;
    bool inQuotes = false, any = false;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (inQuotes) {
            if (c == '"' && i + 1 < data.size() && data[i + 1] == '"') {
                cell.text += '"';
                ++i;
            } else if (c == '"') {
                inQuotes = false;
            } else {
                cell.text += c;
            }
            continue;
        }
        if (c == '"') {
            inQuotes = true;
            cell.quoted = true;
            any = true;
        } else if (c == ',') {
            row.push_back(cell);
            cell = {};
            any = true;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n')
                ++i;
            row.push_back(cell);
            rows.push_back(row);
            row.clear();
            cell = {};
            any = false;
        } else {
            cell.text += c;
            any = true;
        }
    }
    if (any) {
        row.push_back(cell);
        rows.push_back(row);
    }
    return rows;
}

// Runs LibreOffice on xlsx; every sheet's cells as shown, by sheet name. Empty (and a
// failed expectation) when the conversion fails.
inline std::map<std::string, CsvRows> ReadWithLibreOffice(const std::filesystem::path& xlsx)
{
    namespace fs = std::filesystem;
    const fs::path profile = fs::temp_directory_path() / ("vx4_lo_profile_" + std::to_string(::getpid()));
    const fs::path out = fs::temp_directory_path() / ("vx4_lo_csv_" + std::to_string(::getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    // Field separator ",", text in double quotes, UTF-8, every text cell quoted, contents as
    // shown, every sheet into a file of its own (<name>-<sheet>.csv).
    const std::string filter = "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,true,false,true,false,false,-1";
    const std::string env = "-env:UserInstallation=file://" + profile.string();
    std::vector<std::string> args = {"timeout", "600",  "soffice",      env,          "--headless", "--norestore",
                                     "--convert-to", filter, "--outdir", out.string(), xlsx.string()};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "timeout", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    std::map<std::string, CsvRows> sheets;
    if (rc != 0) {
        ADD_FAILURE() << "cannot start soffice (Debian package libreoffice-calc-nogui)";
        return sheets;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "soffice failed on " << xlsx;
    const std::string prefix = xlsx.stem().string() + "-";
    for (const auto& entry : fs::directory_iterator(out)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0 || entry.path().extension() != ".csv")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        sheets[name.substr(prefix.size(), name.size() - prefix.size() - 4)] = ParseCsv(ss.str());
    }
    fs::remove_all(out);
    EXPECT_FALSE(sheets.empty()) << "soffice wrote no CSV for " << xlsx;
    return sheets;
}

// One part of the file (such as "xl/worksheets/sheet1.xml"); empty when missing.
inline std::string ZipEntry(const std::filesystem::path& xlsx, const std::string& name)
{
    int err = 0;
    zip_t* z = zip_open(xlsx.c_str(), ZIP_RDONLY, &err);
    if (z == nullptr)
        return {};
    std::string data;
    zip_stat_t st;
    if (zip_stat(z, name.c_str(), 0, &st) == 0) {
        if (zip_file_t* f = zip_fopen(z, name.c_str(), 0)) {
            data.resize(st.size);
            const zip_int64_t n = zip_fread(f, data.data(), st.size);
            data.resize(n < 0 ? 0 : std::size_t(n));
            zip_fclose(f);
        }
    }
    zip_close(z);
    return data;
}

// An XML part and XPath queries on it (elements are matched by local-name()).
class XmlPart {
public:
    explicit XmlPart(const std::string& xml)
        : doc_(xmlReadMemory(xml.data(), int(xml.size()), "part.xml", nullptr, XML_PARSE_NONET))
    {
    }
    ~XmlPart()
    {
        if (doc_)
            xmlFreeDoc(doc_);
    }
    XmlPart(const XmlPart&) = delete;
    XmlPart& operator=(const XmlPart&) = delete;
    bool Ok() const { return doc_ != nullptr; }

    // For every node the query finds: the value of each attribute named (empty when absent),
    // and "#children" the names of its child elements joined by ",".
    std::vector<std::map<std::string, std::string>> Find(const std::string& xpath) const
    {
        std::vector<std::map<std::string, std::string>> out;
        if (!doc_)
            return out;
        xmlXPathContextPtr ctx = xmlXPathNewContext(doc_);
        xmlXPathObjectPtr res = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()), ctx);
        if (res && res->nodesetval) {
            for (int i = 0; i < res->nodesetval->nodeNr; ++i) {
                xmlNodePtr n = res->nodesetval->nodeTab[i];
                std::map<std::string, std::string> m;
                for (xmlAttrPtr a = n->properties; a; a = a->next) {
                    xmlChar* v = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
                    m[reinterpret_cast<const char*>(a->name)] = v ? reinterpret_cast<const char*>(v) : "";
                    xmlFree(v);
                }
                std::string children;
                for (xmlNodePtr c = n->children; c; c = c->next) {
                    if (c->type != XML_ELEMENT_NODE)
                        continue;
                    if (!children.empty())
                        children += ",";
                    children += reinterpret_cast<const char*>(c->name);
                    // A border side: its line style.
                    if (xmlChar* style = xmlGetProp(c, reinterpret_cast<const xmlChar*>("style"))) {
                        children += "=" + std::string(reinterpret_cast<const char*>(style));
                        xmlFree(style);
                    }
                }
                m["#children"] = children;
                out.push_back(std::move(m));
            }
        }
        xmlXPathFreeObject(res);
        xmlXPathFreeContext(ctx);
        return out;
    }

private:
    xmlDocPtr doc_;
};

// The look of each cell style (index into cellXfs) of a workbook.
struct CellStyle {
    std::string numFmt; // format code; "General" for the built-in 0
    bool bold = false;
    bool allBorders = false; // left, right, top and bottom all thin
};

inline std::vector<CellStyle> ReadCellStyles(const std::filesystem::path& xlsx)
{
    XmlPart styles(ZipEntry(xlsx, "xl/styles.xml"));
    std::map<std::string, std::string> fmtCodes{{"0", "General"}};
    for (auto& f : styles.Find("//*[local-name()='numFmt']"))
        fmtCodes[f["numFmtId"]] = f["formatCode"];
    std::vector<bool> fontBold;
    for (auto& f : styles.Find("//*[local-name()='fonts']/*[local-name()='font']"))
        fontBold.push_back(("," + f["#children"] + ",").find(",b,") != std::string::npos);
    std::vector<bool> borderAll;
    for (auto& b : styles.Find("//*[local-name()='borders']/*[local-name()='border']")) {
        const std::string c = "," + b["#children"] + ",";
        borderAll.push_back(c.find(",left=thin,") != std::string::npos && c.find(",right=thin,") != std::string::npos &&
                            c.find(",top=thin,") != std::string::npos && c.find(",bottom=thin,") != std::string::npos);
    }
    std::vector<CellStyle> out;
    for (auto& xf : styles.Find("//*[local-name()='cellXfs']/*[local-name()='xf']")) {
        CellStyle s;
        s.numFmt = fmtCodes.count(xf["numFmtId"]) ? fmtCodes[xf["numFmtId"]] : "builtin " + xf["numFmtId"];
        const std::size_t font = std::stoul(xf["fontId"].empty() ? "0" : xf["fontId"]);
        const std::size_t border = std::stoul(xf["borderId"].empty() ? "0" : xf["borderId"]);
        s.bold = font < fontBold.size() && fontBold[font];
        s.allBorders = border < borderAll.size() && borderAll[border];
        out.push_back(s);
    }
    return out;
}

} // namespace vx4::xlsxtest
