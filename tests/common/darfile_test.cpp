#include "common/DarFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

using namespace vx4;

namespace {

std::string ReadAll(const std::filesystem::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TEST(DarFile, NumbersMatchThePrintfFormatInTheCLocale)
{
    const double values[] = {1.5, 10, 0, -0.0, -2.5e-7, 1e30, 123456789.0, 9.9999995, 1e100, -1e-300,
                             double(0.1f), 3.4028234663852886e38};
    for (double v : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "% 9E", v);
        EXPECT_EQ(DarFile::Number(v), expected) << v;
    }
    EXPECT_EQ(DarFile::Number(1.0 / 0.0), "      INF");
    EXPECT_EQ(DarFile::Number(-1.0 / 0.0), "     -INF");
}

TEST(DarFile, TextHasHeaderThenCrLfSeparatedRowsAndNoFinalBreak)
{
    EXPECT_EQ(DarFile::Text({}), " \xB9\t       Gi\t       Ge");
    const auto rows = DarFile::RowsFromPairs({{1.5, 10}, {2, -0.25}});
    EXPECT_EQ(DarFile::Text(rows), " \xB9\t       Gi\t       Ge"
                                   "\r\n 0\t 1.500000E+00\t 1.000000E+01"
                                   "\r\n 1\t 2.000000E+00\t-2.500000E-01");
}

TEST(DarFile, WriteReplacesAnExistingFileAndReportsAnUnwritablePath)
{
    const auto dir = std::filesystem::temp_directory_path() / ("darfile_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / DarFile::FileName(1234);
    EXPECT_EQ(path.filename(), "00001234.dar");
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(500, 'x');
    }
    const auto rows = DarFile::RowsFromPairs({{0.5, 0.75}});
    ASSERT_TRUE(DarFile::Write(path.string(), rows));
    EXPECT_EQ(ReadAll(path), DarFile::Text(rows));

    EXPECT_FALSE(DarFile::Write((dir / "missing" / "x.dar").string(), rows));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
    std::filesystem::remove_all(dir);
}

TEST(DarFile, FileNameIsEightDigitsWithLeadingZeros)
{
    EXPECT_EQ(DarFile::FileName(0), "00000000.dar");
    EXPECT_EQ(DarFile::FileName(123456789), "123456789.dar");
    EXPECT_EQ(DarFile::FileName(-5), "-00000005.dar");
}

} // namespace
