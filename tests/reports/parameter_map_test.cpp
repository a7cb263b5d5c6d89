// The parameter map and the graduation tables from a device as the reports see it.

#include "report_fixture.h"

#include "options/Optlist.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace vx4test {
namespace {

using vx4::ReportDocument;
using vx4::ReportOutcome;

const char* const Bank = R"(<?xml version="1.0" encoding="UTF-8"?>
<bank>
  <item name="Режим" note="Режим работы"><opt val="0" note="Лето"/><opt val="1" note="Зима"/></item>
  <item name="Kp$" note="Коэффициент &lt;K&gt;"/>
</bank>)";

class ParameterMapTest : public ::testing::Test {
protected:
    TempDir dir;
    FakeSource source;
    vx4::COptionBank bank;

    void SetUp() override { ASSERT_TRUE(bank.OpenMemory(Bank)) << bank.ErrorText(); }

    ReportOutcome Run(const vx4::ReportFiles& files)
    {
        return vx4::PrintParameterMap(source, bank, files);
    }
    ReportOutcome Run() { return Run(FilesIn(dir)); }
};

TEST_F(ParameterMapTest, MarksHeaderAndFieldsOfTheMap)
{
    source.info.systemCount = 2;
    source.info.systemNames[0] = "Котельная";
    source.info.systemNames[1] = "ЦТП";
    const ReportOutcome out = Run();
    ASSERT_EQ(out.error, 0) << out.errorText;
    ASSERT_EQ(out.documents.size(), 1u);
    const std::string docx = out.documents[0].path;
    EXPECT_EQ(out.documents[0].kind, ReportDocument::Map);
    EXPECT_EQ(std::filesystem::path(docx).parent_path(), std::filesystem::path(dir.Path()));
    EXPECT_EQ(std::filesystem::path(docx).filename().string().rfind("VX-4_123456_map_", 0), 0u) << docx;

    const std::string xml = ReadPart(docx, "word/document.xml");
    EXPECT_EQ(MarkText(xml, "Номер_VX_4"), "123456");
    EXPECT_EQ(MarkText(xml, "Версия_ПО"), "2.1.517");
    EXPECT_EQ(MarkText(xml, "КС_конфигурации"), "1A2B3C");
    const std::string date = MarkText(xml, "Дата_Протокола");
    EXPECT_TRUE(date != "<none>" && !date.empty()) << date;
    EXPECT_EQ(MarkText(xml, "Краткое_описание_системы_1"), "Котельная ()");
    EXPECT_EQ(MarkText(xml, "Краткое_описание_системы_2"), "ЦТП ()");
    for (int s = 3; s <= 9; ++s)
        EXPECT_EQ(MarkText(xml, "Краткое_описание_системы_" + std::to_string(s)), " ()") << s;
    EXPECT_EQ(HeaderText(docx).rfind("VX-4 № 123456\tкарта настроечных параметров\t", 0), 0u) << HeaderText(docx);
    EXPECT_NE(ReadPart(docx, "word/settings.xml").find("<w:updateFields w:val=\"true\"/>"), std::string::npos);
    // Nine tables, each with its heading row and the one empty row after the last written.
    const auto tables = Tables(xml);
    ASSERT_EQ(tables.size(), 9u);
    for (const auto& t : tables) {
        ASSERT_EQ(t.size(), 2u);
        EXPECT_EQ(t[1], (std::vector<std::string>{"", "", "", ""}));
    }
}

TEST_F(ParameterMapTest, ConstantsGoToTheTablesOfTheirSystems)
{
    CommaLocale comma;
    if (!comma.Active()) GTEST_SKIP() << "no locale with a decimal comma could be set up";
    source.AddConst(0, "dev1", 1001);  // n = 1, the device as a whole: not printed
    source.AddConst(1, "Kp1", 0.5f);   // n = 2
    source.AddCalc(1, "T1");           // not a constant
    source.AddConst(2, "Режим", 1);    // n = 3, labelled
    source.AddConst(0, "Отчет", 25);   // n = 4, not printed
    source.AddConst(1, "Kp2", 1e-7f);  // n = 5
    source.AddConst(2, "Режим", 7);    // n = 6, a value without a label
    source.AddConst(12, "Чужой", 3);   // n = 7, a system the device cannot have: passed over
    const ReportOutcome out = Run();
    ASSERT_EQ(out.error, 0) << out.errorText;
    const auto tables = Tables(ReadPart(out.documents.at(0).path, "word/document.xml"));
    ASSERT_EQ(tables.size(), 9u);
    const TableTexts one = {{"№", "Параметр", "Значение", "Описание"},
                            {"2", "Kp1", "0,5", "Коэффициент <K>"},
                            {"5", "Kp2", "1e-07", "Коэффициент <K>"},
                            {"", "", "", ""}};
    const TableTexts two = {{"№", "Параметр", "Значение", "Описание"},
                            {"3", "Режим", "Зима", "Режим работы"},
                            {"6", "Режим", "7", "Режим работы"},
                            {"", "", "", ""}};
    EXPECT_EQ(tables[0], one);
    EXPECT_EQ(tables[1], two);
    for (std::size_t s = 2; s < 9; ++s) EXPECT_EQ(tables[s].size(), 2u) << s + 1;
    const std::string xml = ReadPart(out.documents.at(0).path, "word/document.xml");
    EXPECT_EQ(xml.find("dev1"), std::string::npos);
    EXPECT_EQ(xml.find("Отчет"), std::string::npos);
    EXPECT_EQ(xml.find("Чужой"), std::string::npos);
}

TEST_F(ParameterMapTest, GraduationTablesStopAtTheFirstZeroAndPassOverUnreadTransducers)
{
    source.transducers = {1002, 1001, 0, 1003};
    source.pairs[1001] = {{3.0f, 30.5f}, {1.0f, 10.0f}, {2.0f, 0.125f}};
    source.pairs[1003] = {{1.0f, 1.0f}};
    const ReportOutcome out = Run();
    ASSERT_EQ(out.error, 0) << out.errorText;
    EXPECT_EQ(source.graduationReads, (std::vector<std::uint32_t>{1002, 1001}));
    ASSERT_EQ(out.documents.size(), 2u);
    const ReportDocument& g = out.documents[1];
    EXPECT_EQ(g.kind, ReportDocument::Graduation);
    EXPECT_EQ(g.transducer, 1001u);
    EXPECT_EQ(std::filesystem::path(g.path).filename().string().rfind("VX-4_123456_ZFL_1001_", 0), 0u) << g.path;

    const std::string xml = ReadPart(g.path, "word/document.xml");
    EXPECT_EQ(MarkText(xml, "Номер_ЗФЛ"), "1001");
    EXPECT_NE(MarkText(xml, "Дата_Протокола"), "");
    EXPECT_EQ(HeaderText(g.path).rfind("VX-4 № 123456 таблица градуировочных коэффициентов ЗФЛ № 1001\t", 0), 0u);
    const auto tables = Tables(xml);
    ASSERT_EQ(tables.size(), 1u);
    const TableTexts expected = {
        {"№", "Gi", "Ge"}, {"0", "1", "10"}, {"1", "2", "0.125"}, {"2", "3", "30.5"}, {"", "", ""}};
    EXPECT_EQ(tables[0], expected);
    EXPECT_NE(ReadPart(g.path, "word/settings.xml").find("<w:updateFields w:val=\"true\"/>"), std::string::npos);
}

// Cancel is seen among the constants of the map and among the pairs of a transducer, not only
// between transducers: the document in hand is dropped, those written before stay.
TEST_F(ParameterMapTest, CancelStopsInsideTheDocumentInHand)
{
    for (int k = 0; k < 5; ++k) source.AddConst(1, "Kp" + std::to_string(k), float(k));
    source.transducers = {1001, 1002, 1003};
    for (std::uint32_t a : source.transducers) source.pairs[a] = {{1.0f, 1.0f}, {2.0f, 2.0f}};
    struct Case {
        const char* what;
        std::function<bool(const FakeSource&)> cancel;
        std::size_t documents;
        std::vector<std::uint32_t> reads;
    };
    const Case cases[] = {
        {"never", [](const FakeSource&) { return false; }, 4, {1001, 1002, 1003}},
        {"among the constants", [](const FakeSource& s) { return s.nodeReads >= 3; }, 0, {}},
        {"while the second transducer is read", [](const FakeSource& s) { return s.graduationReads.size() == 2; }, 2,
         {1001, 1002}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir out;
        source.graduationReads.clear();
        source.nodeReads = 0;
        std::vector<float> fractions;
        const ReportOutcome outcome = vx4::PrintParameterMap(
            source, bank, FilesIn(out), [&](float f, const std::string&) { fractions.push_back(f); },
            [&] { return c.cancel(source); });
        EXPECT_EQ(outcome.error, 0);
        EXPECT_EQ(outcome.cancelled, c.documents != 4);
        EXPECT_EQ(outcome.documents.size(), c.documents);
        EXPECT_EQ(source.graduationReads, c.reads);
        if (c.documents == 0) {
            EXPECT_EQ(source.nodeReads, 3);
        }
        std::size_t files = 0;
        for (const auto& e : std::filesystem::directory_iterator(out.Path())) files += e.path().extension() == ".docx";
        EXPECT_EQ(files, c.documents);
        ASSERT_FALSE(fractions.empty());
        EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    }
}

// The templates are read when they are looked up: whatever takes their place while the
// report waits for the device is not used (a link someone swapped in, a file changed).
TEST_F(ParameterMapTest, TemplatesAreUsedAsTheyWereWhenLookedUp)
{
    const std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::create_directories(dir.File("Matrix"));
    std::filesystem::copy_file(MapTemplate(), dir.File(vx4::ParameterMapTemplate));
    std::filesystem::copy_file(GradTemplate(), dir.File(vx4::GraduationTemplate));
    std::filesystem::current_path(dir.Path()); // the current folder is the first data folder
    vx4::ReportFiles files = vx4::ReportTemplates();
    std::filesystem::current_path(saved);
    ASSERT_TRUE(files.mapFile && files.mapFile->read) << (files.mapFile ? files.mapFile->why : "");
    EXPECT_EQ(files.mapTemplate, std::string(vx4::ParameterMapTemplate));
    files.outDir = dir.Path() + "/";
    // In its place now: something else entirely.
    std::filesystem::remove(dir.File(vx4::ParameterMapTemplate));
    std::ofstream(dir.File(vx4::ParameterMapTemplate)) << "not a template";
    const ReportOutcome out = Run(files);
    ASSERT_EQ(out.error, 0) << out.errorText;
    ASSERT_EQ(out.documents.size(), 1u);
    EXPECT_EQ(MarkText(ReadPart(out.documents[0].path, "word/document.xml"), "Номер_VX_4"), "123456");

    // A template that was not taken at the lookup ends the report with the lookup's reason.
    vx4::ReportFiles refused = files;
    refused.mapFile = vx4::ReportTemplate{false, {}, "the file can be changed by another user"};
    const ReportOutcome none = Run(refused);
    EXPECT_EQ(none.error, vx4::CWordDocument::TemplateUnreadable);
    EXPECT_NE(none.errorText.find("another user"), std::string::npos) << none.errorText;
}

TEST_F(ParameterMapTest, SomethingMissingEndsTheReportAndKeepsWhatWasWritten)
{
    source.AddConst(3, "Kp1", 1);
    source.transducers = {1001};
    source.pairs[1001] = {{1.0f, 1.0f}};

    // The graduation template is missing: the map stays.
    vx4::ReportFiles files = FilesIn(dir);
    files.gradTemplate = dir.File("Matrix/GIGE_шаблон.dotx");
    ReportOutcome out = Run(files);
    EXPECT_EQ(out.error, vx4::CWordDocument::TemplateUnreadable);
    EXPECT_NE(out.errorText.find(files.gradTemplate), std::string::npos) << out.errorText;
    ASSERT_EQ(out.documents.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(out.documents[0].path));

    // A map template without a mark, or without the third table: nothing is written.
    struct Case {
        const char* what, *replace, *with, *message;
    } cases[] = {
        {"mark", "w:name=\"Версия_ПО\"", "w:name=\"Версия\"", "«Версия_ПО»"},
        {"table", "", "", "нет таблицы 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir out2;
        files = FilesIn(out2);
        files.mapTemplate = out2.File("map.dotx");
        RewritePackage(MapTemplate(), files.mapTemplate, [&](const std::string& name, std::string text) {
            if (name != "word/document.xml") return text;
            if (std::string(c.what) == "table") {
                // Tables 3..9 become empty paragraphs; their headings and marks stay.
                std::size_t at = text.find("</w:tbl>", text.find("</w:tbl>") + 1);
                for (std::size_t start; (start = text.find("<w:tbl>", at)) != std::string::npos;) {
                    text.replace(start, text.find("</w:tbl>", start) + 8 - start, "<w:p/>");
                    at = start;
                }
                return text;
            }
            return Replace(text, c.replace, c.with);
        });
        out = Run(files);
        EXPECT_NE(out.error, 0);
        EXPECT_NE(out.errorText.find(c.message), std::string::npos) << out.errorText;
        EXPECT_TRUE(out.documents.empty());
        for (const auto& e : std::filesystem::directory_iterator(out2.Path()))
            EXPECT_EQ(e.path().extension(), ".dotx") << "no document written: " << e.path();
    }
}

TEST_F(ParameterMapTest, DocumentsNeverReplaceEarlierOnes)
{
    source.transducers = {7};
    source.pairs[7] = {};
    const ReportOutcome first = Run(), second = Run();
    ASSERT_EQ(first.error, 0);
    ASSERT_EQ(second.error, 0);
    ASSERT_EQ(second.documents.size(), 2u);
    std::set<std::string> paths;
    for (const auto* out : {&first, &second})
        for (const auto& d : out->documents) paths.insert(d.path);
    EXPECT_EQ(paths.size(), 4u);
    EXPECT_EQ(Tables(ReadPart(second.documents[1].path, "word/document.xml")).at(0).size(), 2u)
        << "a transducer without pairs gives a table with the heading and the empty row";

    vx4::ReportFiles files = FilesIn(dir);
    files.outDir.clear();
    EXPECT_NE(Run(files).error, 0);
}

TEST(ReportTexts, GeneralNumberTextIsTheShortestThatReadsBack)
{
    const std::pair<float, const char*> cases[] = {
        {0.5f, "0.5"}, {0.1f, "0.1"}, {1203045.0f, "1203045"}, {-2.25f, "-2.25"}, {1e30f, "1e+30"},
        {16777215.0f, "16777215"}, {3.14159274f, "3.1415927"}, {0.0f, "0"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(vx4::GeneralNumberText(value), text) << value;
    EXPECT_EQ(vx4::MapDocumentName(5, 0).substr(0, 11), "VX-4_5_map_");
    EXPECT_EQ(vx4::GraduationDocumentName(5, 1001, 0).substr(0, 16), "VX-4_5_ZFL_1001_");
}

} // namespace
} // namespace vx4test
