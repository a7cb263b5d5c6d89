// Where an installed console keeps its settings and finds its option banks: started from
// the installed program folder, or from an install unpacked under another root, in a
// current folder without banks.
#include "mainwindow_fixture.h"

#include "platform/FileLocations.h"
#include "ui/main/WindowSettings.h"

#include <cstdlib>
#include <optional>

namespace vx4::uitest {
namespace {

class MainWindowFiles : public MainWindowTest {
protected:
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv;

    void SetUp() override {
        MainWindowTest::SetUp();
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
            const char* value = std::getenv(name);
            savedEnv.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        // Started from a folder without banks, as a desktop launcher starts it.
        std::filesystem::create_directories(dir / "cwd");
        std::filesystem::current_path(dir / "cwd");
    }

    void TearDown() override {
        MainWindowTest::TearDown();
        for (const auto& [name, value] : savedEnv) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }

    void MoveBanksTo(const std::filesystem::path& folder) {
        std::filesystem::create_directories(folder);
        for (const char* bank : {"constbank.xml", "calcbank.xml"}) std::filesystem::rename(dir / bank, folder / bank);
    }

    void CreateFormIn(const std::string& programDir) {
        MainFormOptions options;
        options.programDir = programDir;
        form = std::make_unique<Tvx4pult_MainForm>(options);
        form->FormActivate();
    }
};

TEST_F(MainWindowFiles, InstalledConsoleKeepsSettingsInTheXdgFolderAndReadsBanksFromTheDataFolder) {
    MoveBanksTo(dir / "data" / "vx4pult");
    CreateFormIn(InstalledProgramDir());
    EXPECT_TRUE(boxes.empty()) << boxes.front().toStdString();
    EXPECT_TRUE(form->ConstBank().IsOpen());
    EXPECT_TRUE(form->CalcBank().IsOpen());
    const std::string ini = (dir / "config" / "vx4pult" / "vx4pult.ini").string();
    EXPECT_EQ(form->IniPath(), ini);
    form->resize(700, 500);
    form->close();
    EXPECT_EQ(ReadWindowSettings(ini).width, 700);
    EXPECT_FALSE(std::filesystem::exists(InstalledProgramDir() + "vx4pult.ini"));
}

TEST_F(MainWindowFiles, RelocatedInstallReadsBanksRelativeToItsProgramFolder) {
    MoveBanksTo(dir / "root" / "usr" / "share" / "vx4pult");
    std::filesystem::create_directories(dir / "root" / "usr" / "bin");
    CreateFormIn((dir / "root" / "usr" / "bin").string());
    EXPECT_TRUE(boxes.empty()) << boxes.front().toStdString();
    EXPECT_TRUE(form->ConstBank().IsOpen());
    EXPECT_TRUE(form->CalcBank().IsOpen());
    // Its program folder is writable: the settings stay beside it.
    EXPECT_EQ(form->IniPath(), (dir / "root" / "usr" / "bin" / "vx4pult.ini").string());
}

TEST_F(MainWindowFiles, MissingBanksAreReportedByName) {
    if (std::filesystem::exists(InstalledDataDir() + "calcbank.xml")) GTEST_SKIP() << "the package is installed";
    std::filesystem::create_directories(dir / "root" / "usr" / "bin");
    std::filesystem::remove(dir / "constbank.xml");
    std::filesystem::remove(dir / "calcbank.xml");
    CreateFormIn((dir / "root" / "usr" / "bin").string());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[0].toStdString().find("calcbank.xml"), std::string::npos);
    EXPECT_NE(boxes[1].toStdString().find("constbank.xml"), std::string::npos);
}

} // namespace
} // namespace vx4::uitest
