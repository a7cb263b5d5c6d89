// The document filler on the generated templates: what it writes into the XML parts.

#include "report_fixture.h"

#include "platform/fifo_reader_watch.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vx4test {
namespace {

using vx4::CWordDocument;

std::string FileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Fills a document with fill and saves it into dir as out.docx; the path.
std::string Filled(const TempDir& dir, const std::string& templ, const std::function<void(CWordDocument&)>& fill)
{
    CWordDocument doc;
    EXPECT_EQ(doc.AddDocumentFromTemplate(templ), 0) << doc.ErrorText();
    fill(doc);
    std::string bytes;
    EXPECT_EQ(doc.Save(&bytes), 0) << doc.ErrorText();
    return dir.Write("out.docx", bytes);
}

TEST(WordDocument, TextsAreEscapedTabsBecomeTabElementsAndBadBytesAreReplaced)
{
    TempDir dir;
    const std::string before = FileBytes(MapTemplate());
    const std::string docx = Filled(dir, MapTemplate(), [](CWordDocument& d) {
        EXPECT_EQ(d.FillNamedMark("Номер_VX_4", "a<b>&\"c\"\t d"), 0);
        EXPECT_EQ(d.FillNamedMark("Версия_ПО", " ()"), 0);
        EXPECT_EQ(d.FillNamedMark("КС_конфигурации", std::string("x\x01y\xFFz\r\nw")), 0);
        EXPECT_EQ(d.WritePageHeader("left\tmiddle\tright"), 0);
    });
    const std::string xml = ReadPart(docx, "word/document.xml");
    ASSERT_TRUE(ParseXml(xml)) << "the document part is well-formed XML";
    EXPECT_NE(xml.find("a&lt;b&gt;&amp;"), std::string::npos);
    EXPECT_EQ(MarkText(xml, "Номер_VX_4"), "a<b>&\"c\"\t d");
    EXPECT_EQ(MarkText(xml, "Версия_ПО"), " ()");
    EXPECT_NE(xml.find("xml:space=\"preserve\"> ()</w:t>"), std::string::npos) << "the leading blank is kept";
    EXPECT_EQ(MarkText(xml, "КС_конфигурации"), "xy\xEF\xBF\xBDz\nw");
    EXPECT_EQ(HeaderText(docx), "left\tmiddle\tright");
    const std::string header = ReadPart(docx, "word/header1.xml");
    EXPECT_NE(header.find("<w:tab/>"), std::string::npos);
    EXPECT_NE(header.find("<w:tab w:val=\"right\""), std::string::npos) << "the header's tab stops stay";

    const std::string types = ReadPart(docx, "[Content_Types].xml");
    EXPECT_NE(types.find("wordprocessingml.document.main+xml"), std::string::npos);
    EXPECT_EQ(types.find("template.main+xml"), std::string::npos);
    EXPECT_EQ(FileBytes(MapTemplate()), before) << "the template itself is never changed";
}

TEST(WordDocument, RowsAddedAfterTheLastOneAreEmptyAndNoHeadingRows)
{
    TempDir dir;
    const std::string docx = Filled(dir, GradTemplate(), [](CWordDocument& d) {
        EXPECT_EQ(d.SetTableCellText(1, 2, 1, "0"), 0);
        EXPECT_EQ(d.SetTableCellText(1, 2, 3, "1,5"), 0);
        EXPECT_EQ(d.AddTableRow(1), 0);
        EXPECT_EQ(d.SetTableCellText(1, 3, 2, "2"), 0);
        EXPECT_EQ(d.AddTableRow(1), 0);
        // Out of the table: the codes name what is missing.
        EXPECT_EQ(d.SetTableCellText(1, 5, 1, "x"), CWordDocument::CellMissing);
        EXPECT_NE(d.ErrorText().find("(5, 1)"), std::string::npos) << d.ErrorText();
        EXPECT_EQ(d.SetTableCellText(1, 2, 4, "x"), CWordDocument::CellMissing);
        EXPECT_EQ(d.SetTableCellText(2, 1, 1, "x"), CWordDocument::TableMissing);
        EXPECT_NE(d.ErrorText().find("нет таблицы 2"), std::string::npos) << d.ErrorText();
        EXPECT_EQ(d.AddTableRow(0), CWordDocument::TableMissing);
    });
    const std::string xml = ReadPart(docx, "word/document.xml");
    const auto tables = Tables(xml);
    ASSERT_EQ(tables.size(), 1u);
    const TableTexts expected = {{"№", "Gi", "Ge"}, {"0", "", "1,5"}, {"", "2", ""}, {"", "", ""}};
    EXPECT_EQ(tables[0], expected);
    std::size_t headings = 0;
    for (auto pos = xml.find("<w:tblHeader/>"); pos != std::string::npos; pos = xml.find("<w:tblHeader/>", pos + 1))
        ++headings;
    EXPECT_EQ(headings, 1u);
    EXPECT_EQ(xml.find("xmlns:w=", xml.find("xmlns:w=") + 1), std::string::npos)
        << "copied rows use the document's namespace declaration";
}

TEST(WordDocument, UpdateFieldsStandsWhereTheSettingsSequenceWantsIt)
{
    TempDir dir;
    const std::string docx = Filled(dir, GradTemplate(), [](CWordDocument& d) {
        EXPECT_EQ(d.UpdateFields(), 0);
        EXPECT_EQ(d.UpdateFields(), 0); // twice: still one element
    });
    const std::string settings = ReadPart(docx, "word/settings.xml");
    const auto flag = settings.find("<w:updateFields w:val=\"true\"/>");
    ASSERT_NE(flag, std::string::npos) << settings;
    EXPECT_EQ(settings.find("<w:updateFields", flag + 1), std::string::npos);
    EXPECT_LT(flag, settings.find("<w:compat>"));
    EXPECT_GT(flag, settings.find("<w:characterSpacingControl"));
}

TEST(WordDocument, MarksOverTextAndOverSeveralParagraphs)
{
    TempDir dir;
    // Номер_ЗФЛ made to enclose placeholder text in bold; Дата_Протокола made to run from
    // its line over the next one.
    const std::string templ = dir.File("marks.dotx");
    RewritePackage(GradTemplate(), templ, [](const std::string& name, std::string text) {
        if (name != "word/document.xml") return text;
        text = Replace(text, "w:name=\"Номер_ЗФЛ\"/>",
                       "w:name=\"Номер_ЗФЛ\"/><w:r><w:rPr><w:b/></w:rPr><w:t>XXXX</w:t></w:r><w:r><w:t>YY</w:t></w:r>");
        text = Replace(text, "<w:bookmarkEnd w:id=\"0\"/></w:p>", "<w:r><w:t>old</w:t></w:r></w:p>");
        text = Replace(text, "<w:bookmarkStart w:id=\"1\"", "<w:r><w:t>gone</w:t></w:r><w:bookmarkEnd w:id=\"0\"/><w:r><w:t>kept</w:t></w:r><w:bookmarkStart w:id=\"1\"");
        return text;
    });
    const std::string docx = Filled(dir, templ, [](CWordDocument& d) {
        EXPECT_EQ(d.FillNamedMark("Номер_ЗФЛ", "1001"), 0) << d.ErrorText();
        EXPECT_EQ(d.FillNamedMark("Дата_Протокола", "01.02.2026 10:00:00"), 0) << d.ErrorText();
        EXPECT_EQ(d.FillNamedMark("Нет_такой", "x"), CWordDocument::MarkMissing);
        EXPECT_NE(d.ErrorText().find("«Нет_такой»"), std::string::npos);
    });
    const std::string xml = ReadPart(docx, "word/document.xml");
    ASSERT_TRUE(ParseXml(xml));
    EXPECT_EQ(MarkText(xml, "Номер_ЗФЛ"), "1001");
    EXPECT_NE(xml.find("<w:rPr><w:b/></w:rPr><w:t xml:space=\"preserve\">1001"), std::string::npos)
        << "the new text takes the formatting of the text it replaces: " << xml.substr(xml.find("Номер_ЗФЛ"), 300);
    EXPECT_EQ(MarkText(xml, "Дата_Протокола"), "01.02.2026 10:00:00");
    EXPECT_EQ(xml.find("old"), std::string::npos);
    EXPECT_EQ(xml.find("gone"), std::string::npos);
    EXPECT_EQ(xml.find("Заводской номер ЗФЛ"), std::string::npos) << "the paragraphs became one";
    EXPECT_NE(xml.find("kept"), std::string::npos);
}

TEST(WordDocument, TablesAreFoundAgainAfterAMarkTookOneAway)
{
    TempDir dir;
    // The first system's mark ends in the second system's heading: table 1 lies inside it.
    const std::string templ = dir.File("span.dotx");
    RewritePackage(MapTemplate(), templ, [](const std::string& name, std::string text) {
        if (name != "word/document.xml") return text;
        const std::string end1 = "<w:bookmarkEnd w:id=\"4\"/>";
        text = Replace(text, end1, "");
        return Replace(text, "<w:bookmarkStart w:id=\"5\"", end1 + "<w:bookmarkStart w:id=\"5\"");
    });
    const std::string docx = Filled(dir, templ, [](CWordDocument& d) {
        EXPECT_EQ(d.SetTableCellText(1, 2, 1, "x"), 0);
        EXPECT_EQ(d.FillNamedMark("Краткое_описание_системы_1", "A"), 0) << d.ErrorText();
        EXPECT_EQ(d.SetTableCellText(1, 2, 1, "y"), 0);
        EXPECT_EQ(d.SetTableCellText(9, 2, 1, "z"), CWordDocument::TableMissing);
    });
    const auto tables = Tables(ReadPart(docx, "word/document.xml"));
    ASSERT_EQ(tables.size(), 8u);
    EXPECT_EQ(tables[0][1][0], "y");
}

TEST(WordDocument, UnreadableTemplatesAreNamed)
{
    TempDir dir;
    CWordDocument doc;
    EXPECT_EQ(doc.AddDocumentFromTemplate(dir.File("none.dotx")), CWordDocument::TemplateUnreadable);
    EXPECT_NE(doc.ErrorText().find("none.dotx"), std::string::npos);
    EXPECT_EQ(doc.AddDocumentFromTemplate(dir.Write("text.dotx", "not a package")), CWordDocument::TemplateUnreadable);
    EXPECT_NE(doc.ErrorText().find("text.dotx"), std::string::npos);
    const std::string broken = dir.File("broken.dotx");
    RewritePackage(GradTemplate(), broken, [](const std::string& name, std::string text) {
        return name == "word/document.xml" ? text.substr(0, text.size() / 2) : text;
    });
    EXPECT_EQ(doc.AddDocumentFromTemplate(broken), CWordDocument::TemplateUnreadable);
    EXPECT_EQ(doc.FillNamedMark("Номер_ЗФЛ", "1"), CWordDocument::NotOpen);
    std::string bytes;
    EXPECT_EQ(doc.Save(&bytes), CWordDocument::NotOpen);
}

// A package's parts carry no document type declaration; one that declares entities is
// refused, wherever the part is read.
TEST(WordDocument, APartThatDeclaresEntitiesIsRefused)
{
    TempDir dir;
    const char* const declaration = "<!DOCTYPE w:document [<!ENTITY e \"x\">]>";
    const std::string prolog = "standalone=\"yes\"?>";
    for (const std::string part : {"word/document.xml", "word/header1.xml", "word/settings.xml"}) {
        SCOPED_TRACE(part);
        const std::string path = dir.File("entities.dotx");
        RewritePackage(GradTemplate(), path, [&](const std::string& name, std::string text) {
            if (name != part) return text;
            text = Replace(text, prolog, prolog + declaration);
            return part == "word/document.xml" ? Replace(text, "</w:t>", "&e;</w:t>") : text;
        });
        CWordDocument doc;
        int rc = doc.AddDocumentFromTemplate(path);
        if (part != "word/document.xml") {
            ASSERT_EQ(rc, 0) << doc.ErrorText();
            rc = part == "word/header1.xml" ? doc.WritePageHeader("h") : doc.UpdateFields();
        }
        ASSERT_EQ(rc, CWordDocument::TemplateUnreadable);
        EXPECT_NE(doc.ErrorText().find("DOCTYPE"), std::string::npos) << doc.ErrorText();
        EXPECT_NE(doc.ErrorText().find(part), std::string::npos) << doc.ErrorText();
        if (part == "word/document.xml") {
            EXPECT_EQ(doc.FillNamedMark("Номер_ЗФЛ", "1"), CWordDocument::NotOpen);
        }
    }
}

// Adds parts (name, bytes) to a copy of a package.
void WithParts(const std::string& from, const std::string& to, const std::vector<std::pair<std::string, const std::string*>>& parts)
{
    RewritePackage(from, to, [](const std::string&, std::string text) { return text; });
    int err = 0;
    zip_t* z = zip_open(to.c_str(), 0, &err);
    ASSERT_NE(z, nullptr);
    for (const auto& [name, bytes] : parts) {
        const zip_int64_t index = zip_file_add(z, name.c_str(), zip_source_buffer(z, bytes->data(), bytes->size(), 0), 0);
        ASSERT_GE(index, 0) << name;
        zip_set_file_compression(z, zip_uint64_t(index), ZIP_CM_DEFLATE, 1);
    }
    ASSERT_EQ(zip_close(z), 0);
}

TEST(WordDocument, TooManyPartsOrTooMuchInThemIsRefused)
{
    TempDir dir;
    // Two parts each below the cap and together above it; a fitting part is kept as it is.
    const std::string small = "<x/>", half(std::size_t(33) << 20, ' '), fits(std::size_t(1) << 20, 'f');
    std::vector<std::pair<std::string, const std::string*>> many, large, fitting = {{"extra/fits.bin", &fits}};
    for (int i = 0; i < 1000; ++i) many.emplace_back("extra/p" + std::to_string(i) + ".xml", &small);
    large = {{"extra/a.bin", &half}, {"extra/b.bin", &half}};
    struct Case {
        const char* name;
        const std::vector<std::pair<std::string, const std::string*>>* parts;
        int rc;
        const char* message;
    };
    const Case cases[] = {
        {"many.dotx", &many, CWordDocument::TemplateUnreadable, "частей"},
        {"large.dotx", &large, CWordDocument::TemplateUnreadable, "64 МиБ"},
        {"fitting.dotx", &fitting, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File(c.name);
        WithParts(GradTemplate(), path, *c.parts);
        CWordDocument doc;
        EXPECT_EQ(doc.AddDocumentFromTemplate(path), c.rc) << doc.ErrorText();
        EXPECT_NE(doc.ErrorText().find(c.message), std::string::npos) << doc.ErrorText();
        EXPECT_NE(doc.ErrorText().find(c.rc ? c.name : ""), std::string::npos) << doc.ErrorText();
        std::string bytes;
        EXPECT_EQ(doc.Save(&bytes), c.rc ? int(CWordDocument::NotOpen) : 0);
        if (c.rc == 0) {
            EXPECT_EQ(ReadPart(dir.Write("out.docx", bytes), "extra/fits.bin"), fits);
        }
    }
}

TEST(WordDocument, OnlyARegularFileIsATemplate)
{
    TempDir dir;
    vx4test::FifoReaderWatch fifo(dir.File("fifo.dotx"));
    ASSERT_TRUE(fifo.Made());
    std::filesystem::create_directory(dir.File("folder.dotx"));
    for (const std::string& path : {fifo.Path(), dir.File("folder.dotx"), std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        CWordDocument doc;
        EXPECT_EQ(doc.AddDocumentFromTemplate(path), CWordDocument::TemplateUnreadable);
        EXPECT_NE(doc.ErrorText().find("не обычный файл"), std::string::npos) << doc.ErrorText();
        EXPECT_NE(doc.ErrorText().find(path), std::string::npos) << doc.ErrorText();
    }
    EXPECT_FALSE(fifo.Rescued()) << "the FIFO was opened for reading";
}

// A few megabytes of empty elements would take gigabytes once parsed, and many attributes
// on one element minutes (libxml2 checks them for duplicates pairwise): both are refused
// before the part is parsed.
TEST(WordDocument, APartOfTooManyElementsOrAttributesIsRefusedBeforeItIsParsed)
{
    TempDir dir;
    const auto attributes = [](std::size_t n) {
        std::string a;
        for (std::size_t i = 0; i < n; ++i) a += " a" + std::to_string(i) + "=\"\"";
        return a;
    };
    struct Case {
        const char* what;
        std::size_t elements, attributesEach;
        bool refused;
    };
    const Case cases[] = {
        {"a few more elements", 1000, 0, false},
        {"elements beyond the limit", vx4::TemplateTagsTotal, 0, true},
        {"attributes per element at the limit", 10, vx4::TemplateAttributesPerElement, false},
        {"one attribute more", 1, vx4::TemplateAttributesPerElement + 1, true},
        {"attributes beyond the total", vx4::TemplateAttributesTotal / 50 + 1, 50, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.File("dense.dotx");
        RewritePackage(GradTemplate(), path, [&](const std::string& name, std::string text) {
            if (name != "word/document.xml") return text;
            const std::string one = "<w:p" + attributes(c.attributesEach) + "/>";
            std::string more;
            for (std::size_t i = 0; i < c.elements; ++i) more += one;
            return Replace(text, "</w:body>", more + "</w:body>");
        });
        CWordDocument doc;
        EXPECT_EQ(doc.AddDocumentFromTemplate(path), c.refused ? int(CWordDocument::TemplateUnreadable) : 0);
        EXPECT_EQ(doc.ErrorText().find("элементов или атрибутов") != std::string::npos, c.refused) << doc.ErrorText();
    }
}

} // namespace
} // namespace vx4test
