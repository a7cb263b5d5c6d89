// The .xlsx writer, read back with LibreOffice and looked into with libzip and libxml2.

#include "office/XlsxTableWriter.h"
#include "office/xlsx_readback.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vx4 {
namespace {

namespace fs = std::filesystem;
using xlsxtest::CsvCell;

class XlsxWriterTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("vx4xlsx_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
};

CsvCell Num(const char* t) { return {t, false}; }
CsvCell Txt(const char* t) { return {t, true}; }

// A title row above the header (not exported), the header, three samples and the empty
// row that the next sample would fill; cells of every kind the table may hold.
TEST_F(XlsxWriterTest, CellsSheetAndFormatsReadBack)
{
    const std::vector<std::vector<std::string>> rows = {
        {"title row", "not", "exported", ""},
        {"Дата Время", "1T1", "2P1", "note"},
        {"10.12.2026 16:51:22", "12,3000001907349", "-1,5E-7", "text, with \"quotes\""},
        {"10.12.2026 16:51:23", "12.5", "NAN", "16:51"},
        {"11.12.2026", "100", "1E20", "10.12.2026 08:00:00"},
        {"", "", "", ""},
    };
    XlsxTableOptions options;
    options.sheetName = "VX-4_1234";
    const fs::path file = dir / "table.xlsx";
    const XlsxWriteResult r = WriteXlsxTable(file.string(), rows, 2, options);
    ASSERT_TRUE(r) << r.error;
    EXPECT_EQ(r.sheets, 1u);

    const auto sheets = xlsxtest::ReadWithLibreOffice(file);
    ASSERT_EQ(sheets.size(), 1u);
    ASSERT_EQ(sheets.begin()->first, "VX-4_1234");
    const xlsxtest::CsvRows& csv = sheets.begin()->second;
    // The header, then the samples as numbers (dates in the column's format), text quoted.
    // LibreOffice leaves the trailing empty row out of the CSV.
    const xlsxtest::CsvRows expected = {
        {Txt("Дата Время"), Txt("1T1"), Txt("2P1"), Txt("note")},
        {Num("10.12.26 16:51:22"), Num("12.3000001907349"), Num("-1.5E-07"), Txt("text, with \"quotes\"")},
        {Num("10.12.26 16:51:23"), Num("12.5"), Txt("NAN"), Num("16:51:00")},
        {Num("11.12.26 00:00:00"), Num("100"), Num("1E+20"), Num("10.12.26 08:00:00")},
    };
    xlsxtest::ExpectSameRows(csv, expected);

    // The sheet: five rows (the empty one included), every cell of the block outlined,
    // the header bold, column A in the date-and-time format, the pane frozen below row 1.
    const auto styles = xlsxtest::ReadCellStyles(file);
    xlsxtest::XmlPart sheet(xlsxtest::ZipEntry(file, "xl/worksheets/sheet1.xml"));
    ASSERT_TRUE(sheet.Ok());
    const auto cells = sheet.Find("//*[local-name()='c']");
    ASSERT_EQ(cells.size(), 5u * 4u);
    for (auto c : cells) {
        const std::string ref = c["r"];
        const std::size_t s = std::stoul(c["s"].empty() ? "0" : c["s"]);
        ASSERT_LT(s, styles.size()) << ref;
        EXPECT_TRUE(styles[s].allBorders) << ref;
        EXPECT_EQ(styles[s].bold, ref.back() == '1' && ref.size() == 2) << ref;
        if (ref[0] == 'A') {
            EXPECT_EQ(styles[s].numFmt, "dd.mm.yy hh:mm:ss") << ref;
        }
    }
    auto pane = sheet.Find("//*[local-name()='pane']");
    ASSERT_EQ(pane.size(), 1u);
    EXPECT_EQ(pane[0]["state"], "frozen");
    EXPECT_EQ(pane[0]["ySplit"], "1");
    EXPECT_EQ(pane[0]["xSplit"], "");
    EXPECT_EQ(pane[0]["topLeftCell"], "A2");

    // Widths fitted to the texts: the long text column is the widest, the date column fits
    // 17 characters, and column A's own format is the date format without borders.
    auto cols = sheet.Find("//*[local-name()='col']");
    ASSERT_EQ(cols.size(), 4u);
    std::vector<double> width;
    for (auto& c : cols)
        width.push_back(std::stod(c["width"]));
    EXPECT_GE(width[0], 17.0);
    EXPECT_GE(width[1], 16.0); // "12,3000001907349"
    EXPECT_LT(width[2], width[1]);
    EXPECT_GT(width[3], width[1]);
    const std::size_t colStyle = std::stoul(cols[0]["style"]);
    EXPECT_EQ(styles.at(colStyle).numFmt, "dd.mm.yy hh:mm:ss");
    EXPECT_FALSE(styles.at(colStyle).allBorders);
}

// A table longer than a sheet goes on in further sheets, each with the header row.
TEST_F(XlsxWriterTest, LongTableContinuesInFurtherSheets)
{
    std::vector<std::vector<std::string>> rows = {{"Дата Время", "1T1"}};
    for (int i = 0; i < 7; ++i)
        rows.push_back({"10.12.2026 16:51:0" + std::to_string(i), std::to_string(i)});
    XlsxTableOptions options;
    options.sheetName = "VX-4_7";
    options.sheetRowLimit = 4; // header and three rows per sheet
    const fs::path file = dir / "long.xlsx";
    const XlsxWriteResult r = WriteXlsxTable(file.string(), rows, 1, options);
    ASSERT_TRUE(r) << r.error;
    EXPECT_EQ(r.sheets, 3u);

    const auto sheets = xlsxtest::ReadWithLibreOffice(file);
    ASSERT_EQ(sheets.size(), 3u);
    int next = 0;
    for (const char* name : {"VX-4_7", "VX-4_7_2", "VX-4_7_3"}) {
        ASSERT_TRUE(sheets.count(name)) << name;
        const auto& csv = sheets.at(name);
        ASSERT_GE(csv.size(), 2u) << name;
        EXPECT_EQ(csv[0][1], Txt("1T1")) << name;
        for (std::size_t k = 1; k < csv.size(); ++k, ++next) {
            EXPECT_EQ(csv[k][1], Num(std::to_string(next).c_str())) << name;
            EXPECT_EQ(csv[k][0].text, "10.12.26 16:51:0" + std::to_string(next)) << name;
        }
    }
    EXPECT_EQ(next, 7);
    for (int n = 1; n <= 3; ++n) {
        xlsxtest::XmlPart sheet(xlsxtest::ZipEntry(file, "xl/worksheets/sheet" + std::to_string(n) + ".xml"));
        EXPECT_EQ(sheet.Find("//*[local-name()='pane'][@state='frozen']").size(), 1u) << n;
    }
}

// Failures are reported with the writer's reason and leave no file behind.
TEST_F(XlsxWriterTest, FailuresLeaveNoFile)
{
    const std::vector<std::vector<std::string>> rows = {{"Дата Время", "1T1"}, {"10.12.2026 16:51:22", "1"}};
    XlsxTableOptions options;
    options.sheetName = "VX-4_1";

    // The folder does not exist.
    const fs::path missing = dir / "no" / "such" / "folder" / "t.xlsx";
    XlsxWriteResult r = WriteXlsxTable(missing.string(), rows, 1, options);
    EXPECT_FALSE(r);
    EXPECT_FALSE(r.error.empty());
    EXPECT_FALSE(fs::exists(missing));

    const fs::path file = dir / "t.xlsx";
    // The disk fills up while the file is written (a file size limit in a child process):
    // the partial file is removed.
    std::vector<std::vector<std::string>> many = {{"Дата Время", "1T1"}};
    for (int i = 0; i < 50000; ++i)
        many.push_back({"10.12.2026 16:51:22", std::to_string(i * 1.1)});
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        const XlsxWriteResult w = WriteXlsxTable(file.string(), many, 1, options);
        _exit(w ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the write should have failed";
    EXPECT_FALSE(fs::exists(file));
}

} // namespace
} // namespace vx4
