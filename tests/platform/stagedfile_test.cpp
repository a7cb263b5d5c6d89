// The one way files are written: a neighbour flushed and renamed into place; a write that
// fails keeps the older file byte for byte.

#include "platform/IniFile.h"
#include "platform/StagedFile.h"

#include "platform/file_fault.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>

namespace vx4 {
namespace {

namespace fs = std::filesystem;
using vx4test::InLimitedChild;
using vx4test::ReadWhole;

void Put(const fs::path& p, const std::string& bytes)
{
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> Entries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class StagedFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("vx4_staged_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "f.txt").string();
    }
    void TearDown() override
    {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    fs::path dir_;
    std::string path_;
};

const std::string Older = "older contents, kept\n";
const std::string Newer(200, 'n'); // past the child's limit of 64 bytes

TEST_F(StagedFileTest, ReplacesOrKeepsTheOlderFileByteForByte)
{
    struct Case {
        const char* name;
        StagedFile::Mode mode;
        rlim_t limit;
        bool written;
    };
    const Case cases[] = {
        {"replace", StagedFile::Mode::Replace, 0, true},
        {"replace, write fails", StagedFile::Mode::Replace, 64, false},
        {"staged only, write fails", StagedFile::Mode::ReplaceStaged, 64, false},
        {"keep existing", StagedFile::Mode::KeepExisting, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put(path_, Older);
        const bool ok = InLimitedChild([&] { return StagedFile::Write(path_, Newer, c.mode).empty(); }, c.limit);
        EXPECT_EQ(ok, c.written);
        EXPECT_EQ(ReadWhole(path_), c.written ? Newer : Older);
        EXPECT_EQ(Entries(dir_), std::vector<std::string>{"f.txt"}); // no neighbour left
    }
}

TEST_F(StagedFileTest, ReportsTheSystemsReason)
{
    Put(path_, Older);
    int err = 0;
    EXPECT_NE(StagedFile::Write(path_, Newer, StagedFile::Mode::KeepExisting, &err), "");
    EXPECT_EQ(err, EEXIST);
    const std::string missing = (dir_ / "no" / "f.txt").string();
    EXPECT_NE(StagedFile::Write(missing, Newer, StagedFile::Mode::Replace, &err).find(std::strerror(ENOENT)),
              std::string::npos);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(StagedFile::Write((dir_ / "new.txt").string(), Newer, StagedFile::Mode::KeepExisting, &err), "");
    EXPECT_EQ(err, 0);
    EXPECT_EQ(ReadWhole(dir_ / "new.txt"), Newer);
}

// A name that is a fifo (or a device) is never replaced by a file: as root the rename of
// the neighbour would succeed and take the special file away.
TEST_F(StagedFileTest, AFifoOfThatNameIsRefusedAndStays)
{
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    for (StagedFile::Mode mode : {StagedFile::Mode::Replace, StagedFile::Mode::ReplaceStaged}) {
        int err = 0;
        const std::string message = StagedFile::Write(path_, Newer, mode, &err);
        EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
        EXPECT_EQ(err, EINVAL);
        struct stat st {};
        ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_EQ(Entries(dir_), std::vector<std::string>{"f.txt"});
    }
}

TEST_F(StagedFileTest, ADiscardedOrAbandonedFileLeavesNothing)
{
    Put(path_, Older);
    {
        StagedFile f(path_);
        ASSERT_EQ(f.Create(), "");
        std::fputs("half", f.File());
        EXPECT_EQ(Entries(dir_).size(), 2u); // the neighbour while writing
    }
    EXPECT_EQ(ReadWhole(path_), Older);
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"f.txt"});
}

TEST_F(StagedFileTest, ALibraryWritesTheNeighbourByName)
{
    StagedFile f(path_, StagedFile::Mode::ReplaceStaged);
    ASSERT_EQ(f.Create(), "");
    const std::string temp = f.HandOver();
    ASSERT_NE(temp, "");
    EXPECT_EQ(Entries(dir_).size(), 1u); // the neighbour, by way of the folder opened
    Put(temp, "by name");
    ASSERT_EQ(f.Commit(), "");
    EXPECT_EQ(ReadWhole(path_), "by name");
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"f.txt"});
}

// A folder that refuses new files while the file is writable: only a user other than root
// meets it.
TEST_F(StagedFileTest, InPlaceOnlyOnceTheContentIsCompleteAndTheSpaceTaken)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const uid_t nobody = 65534;
    Put(path_, Older);
    ::chmod(path_.c_str(), 0666);
    ::chmod(dir_.c_str(), 0755); // root's: nobody makes no file here
    EXPECT_FALSE(InLimitedChild([&] { return StagedFile::Write(path_, Newer).empty(); }, 64, nobody));
    EXPECT_EQ(ReadWhole(path_), Older);
    EXPECT_FALSE(InLimitedChild([&] { return StagedFile::Write(path_, Newer, StagedFile::Mode::ReplaceStaged).empty(); }, 0,
                         nobody));
    EXPECT_EQ(ReadWhole(path_), Older);

    EXPECT_TRUE(InLimitedChild([&] { return StagedFile::Write(path_, Newer).empty(); }, 0, nobody));
    EXPECT_EQ(ReadWhole(path_), Newer);
    EXPECT_TRUE(InLimitedChild([&] { return StagedFile::Write(path_, "short").empty(); }, 0, nobody));
    EXPECT_EQ(ReadWhole(path_), "short");
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"f.txt"});
}

// Two users and a shared sticky folder (as /tmp): a link the other user planted under the
// name about to be written never carries the write elsewhere, whether it points at an
// existing file or at a name to be made; one's own link is written through.
TEST_F(StagedFileTest, AnotherUsersLinkIsNeverFollowed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as a second user";
    const uid_t other = 65534;
    const fs::path shared = dir_ / "shared";
    const fs::path home = dir_ / "home";
    fs::create_directories(shared);
    fs::create_directories(home);
    fs::permissions(dir_, fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    const fs::path victim = home / ".bashrc";
    Put(victim, Older);
    const fs::path planted = shared / "events.txt";
    const fs::path dangling = shared / "VX-4_1_map_20260101_000000.docx";
    const fs::path madeThere = home / "made.docx";
    ASSERT_TRUE(InLimitedChild(
        [&] {
            return ::symlink(victim.c_str(), planted.c_str()) == 0 && ::symlink(madeThere.c_str(), dangling.c_str()) == 0;
        },
        0, other));
    for (StagedFile::Mode mode : {StagedFile::Mode::Replace, StagedFile::Mode::ReplaceStaged}) {
        int err = 0;
        const std::string message = StagedFile::Write(planted.string(), Newer, mode, &err);
        EXPECT_NE(message.find(planted.string()), std::string::npos) << message;
        EXPECT_NE(message.find("another user"), std::string::npos) << message;
        EXPECT_EQ(err, EACCES);
    }
    EXPECT_EQ(ReadWhole(victim), Older);
    EXPECT_NE(StagedFile::Write(dangling.string(), Newer, StagedFile::Mode::KeepExisting), "");
    EXPECT_FALSE(fs::exists(madeThere));
    EXPECT_EQ(Entries(home), std::vector<std::string>{".bashrc"});
    // A link on the way to the name counts the same.
    const fs::path folderLink = shared / "out";
    ASSERT_TRUE(InLimitedChild([&] { return ::symlink(home.c_str(), folderLink.c_str()) == 0; }, 0, other));
    EXPECT_NE(StagedFile::Write((folderLink / ".bashrc").string(), Newer), "");
    EXPECT_EQ(ReadWhole(victim), Older);

    // The user's own link is written through and stays a link.
    const fs::path own = shared / "own.txt";
    fs::create_symlink(victim, own);
    EXPECT_EQ(StagedFile::Write(own.string(), Newer), "");
    EXPECT_EQ(ReadWhole(victim), Newer);
    EXPECT_TRUE(fs::is_symlink(own));
    // The other user, writing through root's link in root's own folder, follows it.
    fs::permissions(home, fs::perms::all | fs::perms::sticky_bit);
    const fs::path rootsFolder = dir_ / "roots";
    fs::create_directories(rootsFolder);
    fs::create_symlink(home / "for-other.txt", rootsFolder / "link.txt");
    EXPECT_TRUE(InLimitedChild([&] { return StagedFile::Write((rootsFolder / "link.txt").string(), "x").empty(); }, 0,
                               other));
    EXPECT_EQ(ReadWhole(home / "for-other.txt"), "x");
}

// A neighbour a crashed run left behind goes once it is a day old, when the same name is
// written next; other names and younger neighbours stay.
TEST_F(StagedFileTest, StaleNeighboursOfTheSameNameAreRemoved)
{
    const fs::path old = dir_ / "f.txt.Ab3XyZ", young = dir_ / "f.txt.Qr5TuV", otherName = dir_ / "g.txt.Ab3XyZ",
                   notOurs = dir_ / "f.txt.bak";
    for (const fs::path& p : {old, young, otherName, notOurs})
        Put(p, "left");
    const struct timespec times[2] = {{std::time(nullptr) - 2 * StagedFile::StaleNeighbourSeconds, 0},
                                      {std::time(nullptr) - 2 * StagedFile::StaleNeighbourSeconds, 0}};
    for (const fs::path& p : {old, otherName, notOurs})
        ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    ASSERT_EQ(StagedFile::Write(path_, Newer), "");
    EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"f.txt", "f.txt.Qr5TuV", "f.txt.bak", "g.txt.Ab3XyZ"}));
}

// Written in place, the new content's whole size is taken before any byte changes, also
// when it is shorter than the older content.
TEST_F(StagedFileTest, InPlaceNeverThroughALinkPutInPlaceOfTheFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const uid_t nobody = 65534;
    const fs::path elsewhere = dir_ / "elsewhere.txt";
    Put(elsewhere, Older);
    ::chmod(elsewhere.c_str(), 0666);
    fs::create_symlink(elsewhere, path_);
    ASSERT_EQ(::lchown(path_.c_str(), 0, 0), 0);
    ::chmod(dir_.c_str(), 0755); // root's: nobody makes no file here, and root's link here is followed
    EXPECT_TRUE(InLimitedChild([&] { return StagedFile::Write(path_, "short").empty(); }, 0, nobody));
    EXPECT_EQ(ReadWhole(elsewhere), "short");
    ::chmod(dir_.c_str(), 0775); // a folder others may change: root's link is no longer followed
    ASSERT_EQ(::chown(dir_.c_str(), 0, nobody), 0);
    EXPECT_FALSE(InLimitedChild([&] { return StagedFile::Write(path_, "again").empty(); }, 0, nobody));
    EXPECT_EQ(ReadWhole(elsewhere), "short");
    ASSERT_EQ(::chown(dir_.c_str(), 0, 0), 0);
}

TEST_F(StagedFileTest, SettingsKeepEveryKeyWhenTheWriteFails)
{
    const std::string ini = "[CONNECTION]\nport=/dev/ttyS0\ndev_nom=1234\n\n[WINDOW]\nLeft=10\nTop=20\n"
                            "Width=640\nHeight=480\n";
    Put(path_, ini);
    const std::string longValue(100, 'x');
    EXPECT_FALSE(InLimitedChild([&] { return WritePrivateProfileString("CONNECTION", "port", longValue, path_); },
                         rlim_t(ini.size())));
    EXPECT_EQ(ReadWhole(path_), ini);
    EXPECT_EQ(Entries(dir_), std::vector<std::string>{"f.txt"});
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "dev_nom", "", path_), "1234");
}

} // namespace
} // namespace vx4
