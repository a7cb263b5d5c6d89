// Writes the two report templates of the console, "карта_параметров_шаблон.dotx" (the
// parameter map) and "GIGE_шаблон.dotx" (a transducer's graduation table), into the folder
// given as the first argument. The templates are Word 2007+ templates (OOXML): A4 with
// margins, a page header with tab stops for the report's header parts, a footer with the
// page number, named marks as bookmarks, and ruled tables with a heading row and one empty
// row. Both Word and LibreOffice open them. The build runs this program, so no binary file
// is kept in the sources; every part is written with a fixed time stamp, so a rebuild gives
// the same bytes.

#include <zip.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const XmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
const char* const WordNs =
    "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";

// Page geometry in twentieths of a point: A4, margins 2.5 cm left, 1.5 cm right, 2 cm top
// and bottom; TextWidth is what lies between the margins.
constexpr int PageW = 11906, PageH = 16838;
constexpr int MarginL = 1418, MarginR = 850, MarginT = 1134, MarginB = 1134;
constexpr int TextWidth = PageW - MarginL - MarginR;

struct Part {
    std::string name;
    std::string text;
};

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Run(const std::string& text, const std::string& rPr = {})
{
    return "<w:r>" + (rPr.empty() ? std::string() : "<w:rPr>" + rPr + "</w:rPr>") +
           "<w:t xml:space=\"preserve\">" + Escape(text) + "</w:t></w:r>";
}

std::string Paragraph(const std::string& content, const std::string& pPr = {})
{
    return "<w:p>" + (pPr.empty() ? std::string() : "<w:pPr>" + pPr + "</w:pPr>") + content + "</w:p>";
}

// An empty bookmark: the report puts its text between start and end.
std::string Mark(int id, const std::string& name)
{
    return "<w:bookmarkStart w:id=\"" + std::to_string(id) + "\" w:name=\"" + Escape(name) +
           "\"/><w:bookmarkEnd w:id=\"" + std::to_string(id) + "\"/>";
}

// "Caption: [mark]" with the caption in bold.
std::string FieldLine(int id, const std::string& caption, const std::string& mark)
{
    return Paragraph(Run(caption + ": ", "<w:b/>") + Mark(id, mark), "<w:pStyle w:val=\"InfoLine\"/>");
}

std::string Cell(int width, const std::string& text, bool heading, const char* align)
{
    std::string tcPr = "<w:tcW w:w=\"" + std::to_string(width) + "\" w:type=\"dxa\"/>";
    if (heading) tcPr += "<w:shd w:val=\"clear\" w:color=\"auto\" w:fill=\"D9E2F3\"/>";
    tcPr += "<w:vAlign w:val=\"center\"/>";
    std::string pPr = "<w:pStyle w:val=\"TableText\"/><w:jc w:val=\"" + std::string(align) + "\"/>";
    if (heading) pPr += "<w:rPr><w:b/></w:rPr>";
    return "<w:tc><w:tcPr>" + tcPr + "</w:tcPr>" +
           Paragraph(text.empty() ? std::string() : Run(text, heading ? "<w:b/>" : ""), pPr) + "</w:tc>";
}

struct Column {
    int width;
    std::string heading;
    const char* align; // of the data cells
};

// A ruled table: the heading row (repeated on every page) and one empty row.
std::string Table(const std::vector<Column>& columns)
{
    std::string s = "<w:tbl><w:tblPr><w:tblW w:w=\"" + std::to_string(TextWidth) +
                    "\" w:type=\"dxa\"/><w:tblBorders>";
    for (const char* side : {"top", "left", "bottom", "right", "insideH", "insideV"})
        s += std::string("<w:") + side + " w:val=\"single\" w:sz=\"4\" w:space=\"0\" w:color=\"808080\"/>";
    s += "</w:tblBorders><w:tblLayout w:type=\"fixed\"/><w:tblCellMar>"
         "<w:left w:w=\"85\" w:type=\"dxa\"/><w:right w:w=\"85\" w:type=\"dxa\"/></w:tblCellMar>"
         "<w:tblLook w:val=\"04A0\"/></w:tblPr><w:tblGrid>";
    for (const Column& c : columns) s += "<w:gridCol w:w=\"" + std::to_string(c.width) + "\"/>";
    s += "</w:tblGrid><w:tr><w:trPr><w:cantSplit/><w:tblHeader/></w:trPr>";
    for (const Column& c : columns) s += Cell(c.width, c.heading, true, "center");
    s += "</w:tr><w:tr><w:trPr><w:cantSplit/></w:trPr>";
    for (const Column& c : columns) s += Cell(c.width, {}, false, c.align);
    return s + "</w:tr></w:tbl>";
}

std::string Document(const std::string& body)
{
    return std::string(XmlHead) + "<w:document " + WordNs + "><w:body>" + body +
           "<w:sectPr><w:headerReference w:type=\"default\" r:id=\"rId3\"/>"
           "<w:footerReference w:type=\"default\" r:id=\"rId4\"/>"
           "<w:pgSz w:w=\"" + std::to_string(PageW) + "\" w:h=\"" + std::to_string(PageH) + "\"/>"
           "<w:pgMar w:top=\"" + std::to_string(MarginT) + "\" w:right=\"" + std::to_string(MarginR) +
           "\" w:bottom=\"" + std::to_string(MarginB) + "\" w:left=\"" + std::to_string(MarginL) +
           "\" w:header=\"567\" w:footer=\"567\" w:gutter=\"0\"/><w:cols w:space=\"708\"/>"
           "</w:sectPr></w:body></w:document>";
}

// The page header: one paragraph ruled below, with the tab stops given (kind, position).
std::string Header(const std::vector<std::pair<const char*, int>>& tabs)
{
    std::string t;
    for (const auto& [kind, pos] : tabs)
        t += std::string("<w:tab w:val=\"") + kind + "\" w:pos=\"" + std::to_string(pos) + "\"/>";
    return std::string(XmlHead) + "<w:hdr " + WordNs + ">" +
           Paragraph({}, "<w:pStyle w:val=\"Header\"/><w:tabs>" + t + "</w:tabs>") + "</w:hdr>";
}

std::string Footer()
{
    auto field = [](const char* instr) {
        return std::string("<w:fldSimple w:instr=\" ") + instr + " \">" + Run("1") + "</w:fldSimple>";
    };
    return std::string(XmlHead) + "<w:ftr " + WordNs + ">" +
           Paragraph(Run("Лист ") + field("PAGE") + Run(" из ") + field("NUMPAGES"),
                     "<w:pStyle w:val=\"Footer\"/><w:jc w:val=\"center\"/>") +
           "</w:ftr>";
}

std::string Styles()
{
    // Styles named like Word's own (Title, header, footer) are not marked as custom ones.
    auto para = [](const char* id, const char* name, const std::string& pPr, const std::string& rPr) {
        const bool builtIn = std::string(id) == "Title" || std::string(id) == "Header" || std::string(id) == "Footer";
        return std::string("<w:style w:type=\"paragraph\"") + (builtIn ? "" : " w:customStyle=\"1\"") +
               " w:styleId=\"" + id +
               "\"><w:name w:val=\"" + name + "\"/><w:basedOn w:val=\"Normal\"/><w:qFormat/>" +
               (pPr.empty() ? "" : "<w:pPr>" + pPr + "</w:pPr>") + (rPr.empty() ? "" : "<w:rPr>" + rPr + "</w:rPr>") +
               "</w:style>";
    };
    return std::string(XmlHead) + "<w:styles " + WordNs + ">"
           "<w:docDefaults><w:rPrDefault><w:rPr>"
           "<w:rFonts w:ascii=\"Arial\" w:hAnsi=\"Arial\" w:eastAsia=\"Arial\" w:cs=\"Arial\"/>"
           "<w:sz w:val=\"20\"/><w:szCs w:val=\"20\"/><w:lang w:val=\"ru-RU\" w:eastAsia=\"en-US\" w:bidi=\"ar-SA\"/>"
           "</w:rPr></w:rPrDefault><w:pPrDefault><w:pPr><w:spacing w:after=\"0\" w:line=\"240\" w:lineRule=\"auto\"/>"
           "</w:pPr></w:pPrDefault></w:docDefaults>"
           "<w:style w:type=\"paragraph\" w:default=\"1\" w:styleId=\"Normal\"><w:name w:val=\"Normal\"/><w:qFormat/></w:style>"
           "<w:style w:type=\"character\" w:default=\"1\" w:styleId=\"DefaultParagraphFont\">"
           "<w:name w:val=\"Default Paragraph Font\"/><w:uiPriority w:val=\"1\"/><w:semiHidden/></w:style>"
           "<w:style w:type=\"table\" w:default=\"1\" w:styleId=\"TableNormal\"><w:name w:val=\"Normal Table\"/>"
           "<w:semiHidden/><w:tblPr><w:tblInd w:w=\"0\" w:type=\"dxa\"/><w:tblCellMar>"
           "<w:top w:w=\"0\" w:type=\"dxa\"/><w:left w:w=\"108\" w:type=\"dxa\"/>"
           "<w:bottom w:w=\"0\" w:type=\"dxa\"/><w:right w:w=\"108\" w:type=\"dxa\"/></w:tblCellMar></w:tblPr></w:style>" +
           para("Title", "Title", "<w:spacing w:after=\"240\"/><w:jc w:val=\"center\"/>",
                "<w:b/><w:sz w:val=\"32\"/><w:szCs w:val=\"32\"/>") +
           para("InfoLine", "Info Line", "<w:spacing w:after=\"60\"/>", "<w:sz w:val=\"22\"/><w:szCs w:val=\"22\"/>") +
           para("SystemHeading", "System Heading", "<w:keepNext/><w:spacing w:before=\"300\" w:after=\"120\"/>",
                "<w:b/><w:sz w:val=\"24\"/><w:szCs w:val=\"24\"/>") +
           para("TableText", "Table Text", "<w:spacing w:before=\"30\" w:after=\"30\"/>", {}) +
           para("Header", "header",
                "<w:pBdr><w:bottom w:val=\"single\" w:sz=\"4\" w:space=\"1\" w:color=\"808080\"/></w:pBdr>",
                "<w:sz w:val=\"18\"/><w:szCs w:val=\"18\"/>") +
           para("Footer", "footer", {}, "<w:sz w:val=\"18\"/><w:szCs w:val=\"18\"/>") + "</w:styles>";
}

std::vector<Part> Package(const std::string& title, const std::string& body, const std::string& header)
{
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    const std::string ct = "application/vnd.openxmlformats-officedocument.";
    return {
        {"[Content_Types].xml",
         std::string(XmlHead) + "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
         "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
         "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
         "<Override PartName=\"/word/document.xml\" ContentType=\"" + ct + "wordprocessingml.template.main+xml\"/>"
         "<Override PartName=\"/word/styles.xml\" ContentType=\"" + ct + "wordprocessingml.styles+xml\"/>"
         "<Override PartName=\"/word/settings.xml\" ContentType=\"" + ct + "wordprocessingml.settings+xml\"/>"
         "<Override PartName=\"/word/header1.xml\" ContentType=\"" + ct + "wordprocessingml.header+xml\"/>"
         "<Override PartName=\"/word/footer1.xml\" ContentType=\"" + ct + "wordprocessingml.footer+xml\"/>"
         "<Override PartName=\"/docProps/core.xml\" ContentType=\"application/vnd.openxmlformats-package.core-properties+xml\"/>"
         "<Override PartName=\"/docProps/app.xml\" ContentType=\"" + ct + "extended-properties+xml\"/>"
         "</Types>"},
        {"_rels/.rels",
         std::string(XmlHead) + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" + rel + "officeDocument\" Target=\"word/document.xml\"/>"
         "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties\" Target=\"docProps/core.xml\"/>"
         "<Relationship Id=\"rId3\" Type=\"" + rel + "extended-properties\" Target=\"docProps/app.xml\"/>"
         "</Relationships>"},
        {"docProps/core.xml",
         std::string(XmlHead) + "<cp:coreProperties xmlns:cp=\"http://schemas.openxmlformats.org/package/2006/metadata/core-properties\" "
         "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" + Escape(title) + "</dc:title><dc:creator>vx4pult</dc:creator>"
         "</cp:coreProperties>"},
        {"docProps/app.xml",
         std::string(XmlHead) + "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\">"
         "<Application>vx4pult</Application></Properties>"},
        {"word/_rels/document.xml.rels",
         std::string(XmlHead) + "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" + rel + "styles\" Target=\"styles.xml\"/>"
         "<Relationship Id=\"rId2\" Type=\"" + rel + "settings\" Target=\"settings.xml\"/>"
         "<Relationship Id=\"rId3\" Type=\"" + rel + "header\" Target=\"header1.xml\"/>"
         "<Relationship Id=\"rId4\" Type=\"" + rel + "footer\" Target=\"footer1.xml\"/>"
         "</Relationships>"},
        {"word/document.xml", Document(body)},
        {"word/styles.xml", Styles()},
        {"word/settings.xml",
         std::string(XmlHead) + "<w:settings " + WordNs + "><w:zoom w:percent=\"100\"/>"
         "<w:defaultTabStop w:val=\"708\"/><w:characterSpacingControl w:val=\"doNotCompress\"/>"
         "<w:compat><w:compatSetting w:name=\"compatibilityMode\" w:uri=\"http://schemas.microsoft.com/office/word\" w:val=\"15\"/></w:compat>"
         "</w:settings>"},
        {"word/header1.xml", header},
        {"word/footer1.xml", Footer()},
    };
}

std::vector<Part> ParameterMap()
{
    std::string body = Paragraph(Run("Карта настроечных параметров VX-4"), "<w:pStyle w:val=\"Title\"/>");
    int id = 0;
    body += FieldLine(id++, "Дата протокола", "Дата_Протокола");
    body += FieldLine(id++, "Заводской номер VX-4", "Номер_VX_4");
    body += FieldLine(id++, "Версия ПО", "Версия_ПО");
    body += FieldLine(id++, "Контрольная сумма конфигурации", "КС_конфигурации");
    const std::vector<Column> columns = {
        {680, "№", "center"}, {1500, "Параметр", "left"}, {2300, "Значение", "left"}, {TextWidth - 4480, "Описание", "left"}};
    for (int s = 1; s <= 9; ++s) {
        body += Paragraph(Run("Система " + std::to_string(s) + ": ") +
                              Mark(id++, "Краткое_описание_системы_" + std::to_string(s)),
                          "<w:pStyle w:val=\"SystemHeading\"/>");
        body += Table(columns);
    }
    body += Paragraph({});
    return Package("Карта настроечных параметров VX-4", body,
                   Header({{"center", TextWidth / 2}, {"right", TextWidth}}));
}

std::vector<Part> Graduation()
{
    std::string body = Paragraph(Run("Таблица градуировочных коэффициентов ЗФЛ"), "<w:pStyle w:val=\"Title\"/>");
    body += FieldLine(0, "Дата протокола", "Дата_Протокола");
    body += FieldLine(1, "Заводской номер ЗФЛ", "Номер_ЗФЛ");
    body += Paragraph({}, "<w:pStyle w:val=\"InfoLine\"/>");
    body += Table({{1200, "№", "center"}, {3400, "Gi", "right"}, {3400, "Ge", "right"}});
    body += Paragraph({});
    return Package("Таблица градуировочных коэффициентов ЗФЛ", body, Header({{"right", TextWidth}}));
}

bool Write(const std::string& path, const std::vector<Part>& parts)
{
    std::remove(path.c_str());
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!z) {
        std::fprintf(stderr, "make_templates: cannot create %s (libzip error %d)\n", path.c_str(), err);
        return false;
    }
    for (const Part& p : parts) {
        zip_source_t* src = zip_source_buffer(z, p.text.data(), p.text.size(), 0);
        const zip_int64_t index = src ? zip_file_add(z, p.name.c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (src) zip_source_free(src);
            std::fprintf(stderr, "make_templates: %s: %s\n", path.c_str(), zip_strerror(z));
            zip_discard(z);
            return false;
        }
        zip_file_set_mtime(z, zip_uint64_t(index), 1262304000, 0); // 2010-01-01: reproducible bytes
    }
    if (zip_close(z) != 0) {
        std::fprintf(stderr, "make_templates: cannot write %s: %s\n", path.c_str(), zip_strerror(z));
        zip_discard(z);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_templates DIR\n");
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    const bool ok = Write(dir + "карта_параметров_шаблон.dotx", ParameterMap()) &&
                    Write(dir + "GIGE_шаблон.dotx", Graduation());
    return ok ? 0 : 1;
}
