// The monitors' capture file: read back by tshark (installed by scripts/install-deps).

#include "link/Frames.h"
#include "link/PcapFile.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace vx4 {
namespace {

std::string CommandOutput(const std::string& command)
{
    std::string out;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

class PcapFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() / ("vx4pcap_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

TEST_F(PcapFileTest, TsharkReadsEveryPieceWithItsKindTimeAndBytes)
{
    std::vector<SCapturedPiece> pieces;
    std::vector<std::uint8_t> whole(9 + 300);
    BuildVx3cFrame(whole.data(), 1, 300, 0x06);
    pieces.push_back({MonitorKind::Vx3c, 0, 10, 1765180800123456, whole});
    pieces.push_back({MonitorKind::Vx3c, 1016, 20, 1765180800223456, {0x01, 0x00, 0x00}});
    pieces.push_back({MonitorKind::Vx3c, 1003, 30, 1765180800323456, {}}); // nothing came: no packet
    pieces.push_back({MonitorKind::Vx2, 0, 40, 1765180801000001, std::vector<std::uint8_t>(72, 0xAB), DirectionAnswer});
    pieces.push_back({MonitorKind::Vx2, 1016, 50, 1765180801000002, {0x01, 0x03}, DirectionRequest});
    pieces.push_back({MonitorKind::Vx2, 0, 60, 1765180801000003, {0x01, 0x03, 0x00}, PieceModbusFlag});
    pieces.push_back({MonitorKind::Vx3c, 1017, 70, 1765180801000004, {0x01}});
    const std::string path = (dir_ / "capture.pcap").string();
    std::string error;
    ASSERT_TRUE(CPcapFile::Save(path, pieces, &error)) << error;

    // The file header: classic pcap, little-endian, microseconds, DLT_USER0.
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 24u);
    EXPECT_EQ(GetU32(bytes.data()), 0xA1B2C3D4u);
    EXPECT_EQ(GetU16(bytes.data() + 4), 2u);
    EXPECT_EQ(GetU16(bytes.data() + 6), 4u);
    EXPECT_EQ(GetU32(bytes.data() + 20), 147u);

    // Each packet's length, time and bytes as Wireshark read them, whatever dissector (an
    // installed vx4.lua too) takes the link type: the raw frame of tshark's JSON output.
    const std::string out = CommandOutput("tshark -r '" + path + "' -T json -x 2>/dev/null");
    auto quoted = [&](std::size_t from) {
        const std::size_t a = out.find('"', from);
        const std::size_t b = a == std::string::npos ? a : out.find('"', a + 1);
        return b == std::string::npos ? std::string() : out.substr(a + 1, b - a - 1);
    };
    std::vector<std::vector<std::string>> rows;
    for (std::size_t raw = out.find("\"frame_raw\":"); raw != std::string::npos;
         raw = out.find("\"frame_raw\":", raw + 1)) {
        const std::size_t time = out.find("\"frame.time_epoch\":", raw);
        const std::size_t len = out.find("\"frame.len\":", raw);
        ASSERT_NE(time, std::string::npos) << out;
        ASSERT_NE(len, std::string::npos) << out;
        rows.push_back({quoted(len + 12), quoted(time + 19), quoted(raw + 12)});
    }
    ASSERT_EQ(rows.size(), 6u) << out;
    auto field = [](const std::vector<std::string>& row, int k) { return row[std::size_t(k)]; };
    EXPECT_EQ(field(rows[0], 0), "313");
    EXPECT_EQ(field(rows[1], 0), "7");
    EXPECT_EQ(field(rows[2], 0), "76");
    EXPECT_EQ(field(rows[0], 1).substr(0, 17), "1765180800.123456");
    EXPECT_EQ(field(rows[2], 1).substr(0, 17), "1765180801.000001");
    // The pseudo-header: monitor, direction (with the Modbus mark), read status as u16
    // little-endian; the piece follows unchanged.
    EXPECT_EQ(field(rows[0], 2).substr(0, 22), "01000000010000002c0106");
    EXPECT_EQ(field(rows[1], 2), "0100f803010000");
    EXPECT_EQ(field(rows[2], 2).substr(0, 12), "02020000abab");
    EXPECT_EQ(field(rows[3], 2), "0201f8030103");
    EXPECT_EQ(field(rows[4], 2), "02800000010300");
    EXPECT_EQ(field(rows[5], 2), "0100f90301");
}

TEST_F(PcapFileTest, UnwritableFileGivesTheSystemsErrorText)
{
    std::string error;
    const std::string path = (dir_ / "missing" / "capture.pcap").string();
    EXPECT_FALSE(CPcapFile::Save(path, {}, &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_NE(error.find(path), std::string::npos) << error;

    // A device of that name is refused and stays what it was; a file never replaces it (as
    // root the staged write's rename would succeed).
    struct stat before {};
    if (::stat("/dev/full", &before) == 0 && S_ISCHR(before.st_mode)) {
        CPcapFile file;
        EXPECT_FALSE(file.Open("/dev/full", &error));
        EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
        struct stat after {};
        ASSERT_EQ(::stat("/dev/full", &after), 0);
        EXPECT_TRUE(S_ISCHR(after.st_mode));
        EXPECT_EQ(after.st_rdev, before.st_rdev);
    }
}

} // namespace
} // namespace vx4
