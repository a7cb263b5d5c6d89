// A real office suite reads what the reports write: the documents are converted to PDF by
// LibreOffice (headless, with a profile folder of its own) and their texts read back with
// pdftotext. Set VX4_REPORT_KEEP to a folder to keep the PDFs for a look.

#include "report_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vx4test {
namespace {

std::string Slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool HaveProgram(const char* name)
{
    return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(ReportsInLibreOffice, FilledTextsAppearInThePdf)
{
    // Both programs are part of the project's dependencies (scripts/install-deps).
    ASSERT_TRUE(HaveProgram("soffice")) << "LibreOffice (libreoffice-writer-nogui) is not installed";
    ASSERT_TRUE(HaveProgram("pdftotext")) << "pdftotext (poppler-utils) is not installed";

    TempDir dir;
    FakeSource source;
    source.info.systemCount = 2;
    source.info.systemNames[0] = "Котельная";
    source.info.systemNotes[0] = "Котёл №1 & <резерв>";
    source.info.systemNames[1] = "ЦТП";
    source.AddConst(0, "dev1", 1001);
    source.AddConst(1, "Режим", 1);
    source.AddConst(1, "Kp1", 0.5f);
    source.AddConst(2, "Тхв", 5);
    for (int i = 0; i < 60; ++i) source.AddConst(2, "Q" + std::to_string(i), float(i) * 1.25f); // a second page
    source.transducers = {1001};
    source.pairs[1001] = {{0.15f, 0.151f}, {30.0f, 29.8f}, {12.5f, 12.4f}};
    vx4::COptionBank bank;
    ASSERT_TRUE(bank.OpenMemory("<b><i name=\"Режим\" note=\"Режим работы\"><opt val=\"1\" note=\"Зима\"/></i></b>"));
    const vx4::ReportOutcome out = vx4::PrintParameterMap(source, bank, FilesIn(dir));
    ASSERT_EQ(out.error, 0) << out.errorText;
    ASSERT_EQ(out.documents.size(), 2u);

    std::string command = "cd " + dir.Path() + " && timeout 300 soffice -env:UserInstallation=file://" + dir.Path() +
                          "/profile --headless --convert-to pdf --outdir " + dir.Path() + "/pdf";
    for (const auto& d : out.documents) command += " '" + d.path + "'";
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;

    std::vector<std::string> texts;
    for (const auto& d : out.documents) {
        const std::string pdf = dir.Path() + "/pdf/" + std::filesystem::path(d.path).stem().string() + ".pdf";
        ASSERT_TRUE(std::filesystem::exists(pdf)) << pdf;
        ASSERT_EQ(std::system(("pdftotext -layout '" + pdf + "' '" + pdf + ".txt'").c_str()), 0);
        texts.push_back(Slurp(pdf + ".txt"));
        if (const char* keep = std::getenv("VX4_REPORT_KEEP"))
            std::filesystem::copy_file(pdf, std::filesystem::path(keep) / std::filesystem::path(pdf).filename(),
                                       std::filesystem::copy_options::overwrite_existing);
    }
    const std::vector<std::string> inMap = {
        "VX-4 № 123456", "карта настроечных параметров", "Карта настроечных параметров VX-4", "2.1.517", "1A2B3C",
        "Котельная (Котёл №1 & <резерв>)", "ЦТП ()", "Режим работы", "Зима", "Kp1", "0.5", "Тхв", "Q59", "73.75",
        "Лист 2 из 3"};
    for (const auto& t : inMap) EXPECT_NE(texts[0].find(t), std::string::npos) << t << "\n" << texts[0];
    EXPECT_EQ(texts[0].find("dev1"), std::string::npos);
    const std::vector<std::string> inTable = {"таблица градуировочных коэффициентов ЗФЛ № 1001", "0.15", "0.151",
                                              "12.5", "12.4", "29.8"};
    for (const auto& t : inTable) EXPECT_NE(texts[1].find(t), std::string::npos) << t << "\n" << texts[1];
}

} // namespace
} // namespace vx4test
