// Every save of the program: a write that fails (here: files of the process may not grow
// past a few bytes) leaves the older file byte for byte and nothing beside it; one that
// succeeds replaces it.

#include "common/DarFile.h"
#include "link/PcapFile.h"
#include "office/RtfWriter.h"
#include "office/XlsxTableWriter.h"
#include "platform/IniFile.h"
#include "platform/StagedFile.h"

#include "platform/file_fault.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vx4 {
namespace {

namespace fs = std::filesystem;
using vx4test::InLimitedChild;
using vx4test::ReadWhole;

struct Writer {
    const char* name;
    std::function<bool(const std::string& path)> write;
};

std::vector<Writer> Writers()
{
    const std::vector<std::string> lines(20, "line of the monitor");
    std::vector<SCapturedPiece> pieces(3);
    for (auto& p : pieces)
        p.bytes.assign(100, 0x5A);
    const std::vector<std::vector<std::string>> rows(20, {"12.5", "text", "01.02.26 10:00:00"});
    return {
        {"settings", [](const std::string& p) { return WritePrivateProfileString("CONNECTION", "dev_nom", std::string(80, '7'), p); }},
        {"dar", [](const std::string& p) { return DarFile::Write(p, std::vector<DarRow>(10, DarRow{"1", 2.5, 3.5})); }},
        {"rtf", [lines](const std::string& p) { return WriteRtfFile(p, lines, SRtfFont{}, nullptr); }},
        {"pcap", [pieces](const std::string& p) { return CPcapFile::Save(p, pieces, nullptr); }},
        {"xlsx", [rows](const std::string& p) { return bool(WriteXlsxTable(p, rows, 1, XlsxTableOptions{})); }},
        {"text", [](const std::string& p) { return StagedFile::Write(p, std::string(300, 'e')).empty(); }},
    };
}

TEST(FileWriters, AFailedWriteKeepsTheOlderFileAndASuccessfulOneReplacesIt)
{
    const fs::path dir = fs::temp_directory_path() / ("vx4_writers_" + std::to_string(::getpid()));
    const std::string older = "[CONNECTION]\ndev_nom=1234\n[WINDOW]\nLeft=10\n";
    for (const Writer& w : Writers()) {
        SCOPED_TRACE(w.name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const fs::path path = dir / "saved";
        std::ofstream(path, std::ios::binary) << older;

        EXPECT_FALSE(InLimitedChild([&] { return w.write(path.string()); }, rlim_t(older.size())));
        EXPECT_EQ(ReadWhole(path), older);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

        EXPECT_TRUE(InLimitedChild([&] { return w.write(path.string()); }, 0));
        EXPECT_GT(ReadWhole(path).size(), older.size());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    }
    fs::remove_all(dir);
}

} // namespace
} // namespace vx4
