// Only regular files are opened for reading: FIFOs, devices and folders are refused without
// a read (and a FIFO without waiting for a writer).

#include "platform/RegularFile.h"

#include "platform/fifo_reader_watch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

using namespace vx4;
namespace fs = std::filesystem;

namespace {

class RegularFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "vx4regXXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Write(const std::string& name, const std::string& bytes)
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    }
    fs::path dir;
};

TEST_F(RegularFileTest, OnlyARegularFileIsRead)
{
    const std::string file = Write("plain.txt", "content");
    fs::create_directory(dir / "folder");
    fs::create_symlink(file, dir / "link");
    vx4test::FifoReaderWatch fifo((dir / "fifo").string());
    ASSERT_TRUE(fifo.Made());
    struct Case {
        std::string path;
        bool followLinks;
        bool opens;
        const char* why; // part of the reason when refused
        bool reads;      // by ReadRegularFile, which follows links
    };
    const Case cases[] = {
        {file, true, true, "", true},
        {(dir / "link").string(), true, true, "", true},
        {(dir / "link").string(), false, false, "not a regular file", true},
        {(dir / "folder").string(), true, false, "not a regular file", false},
        {fifo.Path(), true, false, "not a regular file", false},
        {fifo.Path(), false, false, "not a regular file", false},
        {"/dev/zero", true, false, "not a regular file", false},
        {(dir / "missing").string(), true, false, "No such file", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + (c.followLinks ? "" : " (links refused)"));
        std::string why;
        const int fd = OpenRegularFile(c.path, &why, c.followLinks);
        EXPECT_EQ(fd >= 0, c.opens) << why;
        if (fd >= 0) {
            char buffer[16] = {};
            EXPECT_EQ(::read(fd, buffer, sizeof buffer), 7);
            EXPECT_STREQ(buffer, "content");
            ::close(fd);
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
        }
        std::string bytes = "old";
        EXPECT_EQ(ReadRegularFile(c.path, 1 << 20, &bytes, &why), c.reads);
        EXPECT_EQ(bytes, c.reads ? "content" : "");
    }
    EXPECT_FALSE(fifo.Rescued()) << "the FIFO was opened for reading";
}

TEST_F(RegularFileTest, AFileBeyondTheLimitIsRefused)
{
    const std::string path = Write("big", std::string(3000, 'x'));
    std::string bytes, why;
    EXPECT_TRUE(ReadRegularFile(path, 3000, &bytes, &why)) << why;
    EXPECT_EQ(bytes.size(), 3000u);
    EXPECT_FALSE(ReadRegularFile(path, 2999, &bytes, &why));
    EXPECT_TRUE(bytes.empty());
    EXPECT_NE(why.find("larger"), std::string::npos) << why;
}

} // namespace
