// vx4pult.ini: the WINDOW keys and the main window's device number.
#include "ui/main/WindowSettings.h"

#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vx4 {
namespace {

class WindowSettingsTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    std::string ini;
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("vx4ui_settings_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        ini = IniPathFor(dir.string());
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST(WindowSettingsPath, OneSlashBeforeTheFileName) {
    EXPECT_EQ(IniPathFor("/opt/vx4"), "/opt/vx4/vx4pult.ini");
    EXPECT_EQ(IniPathFor("/opt/vx4/"), "/opt/vx4/vx4pult.ini");
    EXPECT_EQ(IniPathFor("/"), "/vx4pult.ini");
}

TEST_F(WindowSettingsTest, DefaultsWithoutFile) {
    WindowSettings s = ReadWindowSettings(ini);
    EXPECT_EQ(s.left, 0);
    EXPECT_EQ(s.top, 0);
    EXPECT_EQ(s.width, 800);
    EXPECT_EQ(s.height, 600);
    EXPECT_EQ(s.state, 0u);
    EXPECT_EQ(s.treeWidth, 300);
    EXPECT_EQ(s.editorSplit, 180);
    EXPECT_EQ(ReadDeviceNumber(ini), 1u);
}

TEST_F(WindowSettingsTest, NormalWindowRoundTripsNegativePositions) {
    WindowSettings s{-8, -30, 1024, 700, 0, 250, 200};
    WriteWindowSettings(ini, s);
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "left", "", ini), "4294967288");
    WindowSettings r = ReadWindowSettings(ini);
    EXPECT_EQ(r.left, -8);
    EXPECT_EQ(r.top, -30);
    EXPECT_EQ(r.width, 1024);
    EXPECT_EQ(r.height, 700);
    EXPECT_EQ(r.treeWidth, 250);
    EXPECT_EQ(r.editorSplit, 200);
}

TEST_F(WindowSettingsTest, MaximisedWindowKeepsTheStoredGeometry) {
    WriteWindowSettings(ini, WindowSettings{10, 20, 900, 650, 0, 300, 180});
    WriteWindowSettings(ini, WindowSettings{0, 0, 1920, 1080, 2, 320, 190});
    WindowSettings r = ReadWindowSettings(ini);
    EXPECT_EQ(r.state, 2u);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.width, 900);
    EXPECT_EQ(r.treeWidth, 320);
    EXPECT_EQ(r.editorSplit, 190);
}

TEST_F(WindowSettingsTest, DeviceNumberAndUnreadableNumbers) {
    WriteDeviceNumber(ini, 4711);
    EXPECT_EQ(ReadDeviceNumber(ini), 4711u);
    WritePrivateProfileString("WINDOW", "w_size", "wide", ini);
    EXPECT_EQ(ReadWindowSettings(ini).width, 0);
}

} // namespace
} // namespace vx4
