#include "platform/IniFile.h"

#include "platform/fifo_reader_watch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace vx4;

namespace {

// A scratch INI file that is removed afterwards.
class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("vx4_ini_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "vx4pult.ini").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void Put(const std::string& text)
    {
        std::ofstream f(path_, std::ios::binary);
        f << text;
    }
    std::string Content()
    {
        std::ifstream f(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

    std::filesystem::path dir_;
    std::string path_;
};

} // namespace

TEST(ParseIniNumber, ReadsLeadingDecimalDigits)
{
    struct Case {
        const char* text;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"115200", 115200},
        {"12abc", 12},
        {"  \t42", 42},
        {"+7", 7},
        {"-1", 0xFFFFFFFFu},
        {"-0", 0},
        {"abc", 0},
        {"", 0},
        {" - 5", 0}, // blanks after the sign end the number
        {"10001x", 10001},
        {"4294967295", 4294967295u},
        {"4294967296", 0},  // wraps around at 2^32
        {"4294967306", 10}, // 2^32 + 10
        {"1.5", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseIniNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST_F(IniFileTest, ReadsValuesWithDefaults)
{
    Put("; settings\n"
        "[WINDOW]\n"
        "left=5\n"
        "[Connection]\n"
        "  Port = COM3  \n"
        "IP=\"10.0.0.7\"\n"
        "empty=\n"
        "speed=12abc\n"
        "[other]\n"
        "speed=1\n");
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "port", "COM1", path_), "COM3"); // names ignore case
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "IP", "x", path_), "10.0.0.7");   // quotes stripped
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "empty", "dflt", path_), "");     // present but empty
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "missing", "dflt", path_), "dflt");
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "left", "0", path_), "0"); // key of another section
    EXPECT_EQ(GetPrivateProfileString("NOSECTION", "port", "d", path_), "d");
    EXPECT_EQ(GetPrivateProfileNumber("CONNECTION", "speed", "115200", path_), 12u);
    EXPECT_EQ(GetPrivateProfileNumber("CONNECTION", "AuxTmout", "115200", path_), 115200u);
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "left", "", (dir_ / "none.ini").string()), "");
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "left", "9", (dir_ / "none.ini").string()), "9");
}

TEST_F(IniFileTest, ReadsCrLfFilesAndCutsLongValues)
{
    const std::string longValue(300, 'v');
    Put("[A]\r\nk=one\r\nlong=" + longValue + "\r\n");
    EXPECT_EQ(GetPrivateProfileString("A", "k", "", path_), "one");
    const std::string got = GetPrivateProfileString("A", "long", "", path_);
    EXPECT_EQ(got.size(), IniValueMax);
    EXPECT_EQ(got, longValue.substr(0, IniValueMax));
    EXPECT_EQ(GetPrivateProfileString("A", "none", longValue, path_).size(), IniValueMax);
}

TEST_F(IniFileTest, WriteCreatesTheFileAndReadsBack)
{
    ASSERT_TRUE(WritePrivateProfileString("CONNECTION", "port", "COM2", path_));
    ASSERT_TRUE(WritePrivateProfileString("CONNECTION", "speed", "9600", path_));
    ASSERT_TRUE(WritePrivateProfileString("WINDOW", "left", "10", path_));
    EXPECT_EQ(Content(), "[CONNECTION]\nport=COM2\nspeed=9600\n\n[WINDOW]\nleft=10\n");
    EXPECT_EQ(GetPrivateProfileString("connection", "SPEED", "", path_), "9600");
}

TEST_F(IniFileTest, WriteLeavesEverythingElseAlone)
{
    Put("; top comment\n"
        "[CONNECTION]\n"
        "# keep me\n"
        "Port = COM7\n"
        "speed=9600\n"
        "\n"
        "[WINDOW]\n"
        "left=1\n"
        "odd line without equals\n");
    ASSERT_TRUE(WritePrivateProfileString("connection", "PORT", "TCP/IP", path_)); // replaced in place
    ASSERT_TRUE(WritePrivateProfileString("CONNECTION", "AuxTmout", "500", path_)); // added to the section
    ASSERT_TRUE(WritePrivateProfileString("WINDOW", "top", "2", path_));
    EXPECT_EQ(Content(), "; top comment\n"
                         "[CONNECTION]\n"
                         "# keep me\n"
                         "PORT=TCP/IP\n"
                         "speed=9600\n"
                         "AuxTmout=500\n"
                         "\n"
                         "[WINDOW]\n"
                         "left=1\n"
                         "odd line without equals\n"
                         "top=2\n");
}

TEST_F(IniFileTest, SeveralKeysInOneWriteMatchOneWriteEach)
{
    const std::string start = "; top\n[CONNECTION]\nport=COM1\n\n[WINDOW]\nleft=1\n";
    const std::vector<IniEntry> entries = {{"CONNECTION", "port", "TCP/IP"},
                                           {"window", "top", "5"},
                                           {"NEW", "a", "1"},
                                           {"CONNECTION", "speed", "9600"},
                                           {"NEW", "a", "2"}};
    Put(start);
    for (const IniEntry& e : entries)
        ASSERT_TRUE(WritePrivateProfileString(e.section, e.key, e.value, path_));
    const std::string oneByOne = Content();
    Put(start);
    ASSERT_TRUE(WritePrivateProfileStrings(entries, path_));
    EXPECT_EQ(Content(), oneByOne);
    EXPECT_EQ(GetPrivateProfileString("NEW", "a", "", path_), "2");
}

TEST_F(IniFileTest, WriteKeepsCrLfAndAMissingLastLineEnd)
{
    Put("[A]\r\nk=1\r\n[B]\r\nx=2");
    ASSERT_TRUE(WritePrivateProfileString("B", "y", "3", path_));
    ASSERT_TRUE(WritePrivateProfileString("A", "k", "9", path_));
    EXPECT_EQ(Content(), "[A]\r\nk=9\r\n[B]\r\nx=2\r\ny=3\r\n");
}

TEST_F(IniFileTest, WriteFailsWhereNoFileCanBe)
{
    EXPECT_FALSE(WritePrivateProfileString("A", "k", "v", (dir_ / "no" / "such" / "dir.ini").string()));
}

TEST_F(IniFileTest, WriteKeepsModeAndWritesThroughALink)
{
    Put("[A]\nk=1\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_TRUE(WritePrivateProfileString("A", "k", "2", path_));
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);

    const std::string link = (dir_ / "link.ini").string();
    std::filesystem::create_symlink(path_, link);
    ASSERT_TRUE(WritePrivateProfileString("A", "k", "3", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(Content(), "[A]\nk=3\n");
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 2);
}

// What stands in the settings file's place and is not a small file of this user's is never
// waited on nor read: the defaults are used, the reason is given, and a write leaves it be.
TEST_F(IniFileTest, OnlyASmallRegularFileOfTheUsersIsRead)
{
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* reason;
        bool needsRoot = false;
    };
    const std::string big = "[CONNECTION]\nport=COM7\n" + std::string(IniFileMax, ';') + "\n";
    std::unique_ptr<vx4test::FifoReaderWatch> fifo;
    const Case cases[] = {
        {"a fifo", [&] { fifo = std::make_unique<vx4test::FifoReaderWatch>(path_); }, "not a regular file"},
        {"the user's link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", path_); },
         "not a regular file"},
        {"a file over 1 MiB", [&] { Put(big); }, "larger than"},
        {"a file anyone may change", [&] { Put("[CONNECTION]\nport=COM7\n"); ::chmod(path_.c_str(), 0666); },
         "another user"},
        {"another user's link to a good file",
         [&] {
             const std::string good = (dir_ / "good.ini").string();
             std::ofstream(good) << "[CONNECTION]\nport=COM7\n";
             std::filesystem::create_symlink(good, path_);
             ASSERT_EQ(::lchown(path_.c_str(), 65534, 65534), 0);
         },
         "another user", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) {
            std::printf("skipped case \"%s\": needs root to act as another user\n", c.what);
            continue;
        }
        fifo.reset();
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        c.arrange();
        struct stat before {};
        ASSERT_EQ(::lstat(path_.c_str(), &before), 0);
        IniFile file;
        EXPECT_FALSE(file.Load(path_));
        EXPECT_NE(file.ErrorText().find(path_), std::string::npos) << file.ErrorText();
        EXPECT_NE(file.ErrorText().find(c.reason), std::string::npos) << file.ErrorText();
        EXPECT_EQ(file.Get("CONNECTION", "port", "COM1"), "COM1");
        EXPECT_FALSE(WritePrivateProfileString("CONNECTION", "port", "COM2", path_));
        struct stat after {};
        ASSERT_EQ(::lstat(path_.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        if (fifo) {
            EXPECT_FALSE(fifo->Rescued()) << "the fifo was opened for reading";
        }
    }
    fifo.reset();
}

// Every key of a read comes from the one read of the file.
TEST_F(IniFileTest, KeysComeFromTheOneRead)
{
    Put("[CONNECTION]\nport=COM7\nspeed=9600\n");
    IniFile file;
    ASSERT_TRUE(file.Load(path_));
    std::filesystem::remove(path_);
    EXPECT_EQ(file.Get("CONNECTION", "port", "COM1"), "COM7");
    EXPECT_EQ(file.GetNumber("connection", "SPEED", "115200"), 9600u);
    IniFile missing;
    EXPECT_TRUE(missing.Load(path_));
    EXPECT_EQ(missing.ErrorText(), "");
}
