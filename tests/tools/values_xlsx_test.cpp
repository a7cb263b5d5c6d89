// vx4ctl values --xlsx: the samples as the console's table export writes them, read back
// with LibreOffice.

#include "CtlRunner.h"
#include "office/xlsx_readback.h"

#include <gtest/gtest.h>

namespace ctltest {
namespace {

using vx4::xlsxtest::CsvCell;

TEST(CtlValuesXlsx, WritesTheSamplesAsTheTableExportDoes)
{
    SimDevice dev;
    dev.sim.SetCalcValue(15, 12.3f, 0);
    dev.sim.SetCalcValue(17, -3.25f, 0);
    TempDir dir;
    const std::string file = dir.File("values.xlsx");
    const RunResult r = RunCtl(dev.Args({"values", "15", "17", "--count", "3", "--xlsx", file}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u); // the header and the samples are printed as without --xlsx
    lines.erase(lines.begin());

    // Captions as the console's table makes them: the system number, then the name.
    const RunResult config = RunCtl(dev.Args({"--json", "config"}));
    ASSERT_EQ(config.status, 0) << config.err;
    std::map<int, std::string> caption;
    const nlohmann::json items = ParseJson(config.out)["items"];
    for (const auto& item : items)
        if (item["id"] == 15 || item["id"] == 17)
            caption[item["id"].get<int>()] = std::to_string(item["system"].get<int>()) + item["name"].get<std::string>();
    ASSERT_EQ(caption.size(), 2u);

    const auto sheets = vx4::xlsxtest::ReadWithLibreOffice(file);
    ASSERT_EQ(sheets.size(), 1u);
    EXPECT_EQ(sheets.begin()->first, "VX-4_" + std::to_string(dev.sim.Serial()));
    const auto& rows = sheets.begin()->second;
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (std::vector<CsvCell>{{"Дата Время", true}, {caption[15], true}, {caption[17], true}}));
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 3u);
        // The printed time "YYYY-MM-DD HH:MM:SS" shown in the column's format dd.mm.yy hh:mm:ss.
        const std::string t = Split(lines[i - 1])[0];
        const std::string shown = t.substr(8, 2) + "." + t.substr(5, 2) + "." + t.substr(2, 2) + " " + t.substr(11);
        EXPECT_EQ(rows[i][0], (CsvCell{shown, false})) << i;
        EXPECT_TRUE(vx4::xlsxtest::SameCell(rows[i][1], {"12.3000001907349", false})) << rows[i][1].text;
        EXPECT_TRUE(vx4::xlsxtest::SameCell(rows[i][2], {"-3.25", false})) << rows[i][2].text;
    }
}

TEST(CtlValuesXlsx, AFolderThatTakesNoFileIsRefusedBeforeSampling)
{
    SimDevice dev;
    const RunResult r = RunCtl(dev.Args({"values", "15", "--xlsx", "/nonexistent-folder/v.xlsx"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("/nonexistent-folder/v.xlsx"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

} // namespace
} // namespace ctltest
