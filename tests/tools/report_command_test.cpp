// vx4ctl report: the documents the console's report writes, without a display.

#include "CtlRunner.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ctltest;

namespace {

TEST(CtlReport, WritesTheMapAndTheGraduationTablesIntoTheFolder)
{
    SimDevice dev;
    auto transducers = dev.sim.Transducers();
    ASSERT_EQ(transducers.size(), 3u);
    transducers[2].absent = true;
    dev.sim.SetTransducers(transducers);
    TempDir dir;
    const std::string out = dir.File("reports/new");
    const RunResult r = RunCtl(dev.Args({"report", "-o", out}), dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    const std::string serial = std::to_string(dev.sim.Serial());
    const std::string prefixes[] = {"VX-4_" + serial + "_map_",
                                    "VX-4_" + serial + "_ZFL_" + std::to_string(transducers[0].serial) + "_",
                                    "VX-4_" + serial + "_ZFL_" + std::to_string(transducers[1].serial) + "_"};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::filesystem::path p(lines[i]);
        EXPECT_EQ(p.parent_path(), std::filesystem::path(out));
        EXPECT_EQ(p.filename().string().rfind(prefixes[i], 0), 0u) << lines[i];
        EXPECT_EQ(p.extension(), ".docx");
        EXPECT_EQ(ReadFile(lines[i]).substr(0, 2), "PK");
    }
}

TEST(CtlReport, MissingTemplateIsNamedAndAnUnusableFolderRefused)
{
    SimDevice dev;
    TempDir dir;
    // A template folder in the current folder is found first: one without the map's template.
    std::filesystem::create_directories(dir.File("Matrix"));
    WriteFile(dir.File("Matrix/карта_параметров_шаблон.dotx"), "not a package");
    const RunResult r = RunCtl(dev.Args({"report", "-o", dir.File("out")}), dir.Path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("карта_параметров_шаблон.dotx"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    WriteFile(dir.File("file"), "x");
    const RunResult bad = RunCtl(dev.Args({"report", "-o", dir.File("file")}));
    EXPECT_EQ(bad.status, 2);
}

} // namespace
