#pragma once
// A main window connected over loopback to an in-process simulator, with error boxes
// captured instead of shown, vx4pult.ini in a folder of its own and short device pauses.

#include "platform/IniFile.h"
#include "Simulator.h"
#include "ui/main/CommandLine.h"
#include "ui/views/ConfigTree.h"
#include "ui/main/MessageBoxes.h"
#include "ui/main/PollingCycle.h"
#include "ui/main/Vx4pult_main.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace vx4::uitest {

// One QApplication for the whole test program, whoever asks first.
inline void EnsureApplication() {
    if (QApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

class MainWindowTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    std::string ini;
    std::unique_ptr<vx4sim::Simulator> sim;
    std::unique_ptr<Tvx4pult_MainForm> form;
    std::vector<QString> boxes;
    std::filesystem::path savedCwd;

    void SetUp() override {
        EnsureApplication();
        dir = std::filesystem::temp_directory_path() /
              ("vx4ui_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        ini = (dir / "vx4pult.ini").string();
        SetMessageBoxHook([this](const QString& text) { boxes.push_back(text); });
        ProcessCommandLine() = CommandLineOptions{};
        // The window opens its option banks from the current folder: the demo banks.
        savedCwd = std::filesystem::current_path();
        for (const char* bank : {"constbank.xml", "calcbank.xml"})
            std::filesystem::copy_file(std::filesystem::path(VX4_SOURCE_DIR) / "data" / bank, dir / bank);
        std::filesystem::current_path(dir);
    }

    void TearDown() override {
        std::filesystem::current_path(savedCwd);
        form.reset();
        sim.reset();
        SetMessageBoxHook({});
        ProcessCommandLine() = CommandLineOptions{};
        std::filesystem::remove_all(dir);
    }

    // Starts the simulator and points the settings file at it.
    void StartSimulator() {
        sim = std::make_unique<vx4sim::Simulator>();
        std::string error;
        ASSERT_TRUE(sim->StartTcp("127.0.0.1", 0, &error)) << error;
        WritePrivateProfileString("CONNECTION", "port", "TCP/IP", ini);
        WritePrivateProfileString("CONNECTION", "IP", "127.0.0.1", ini);
        WritePrivateProfileString("CONNECTION", "TCPIPport", std::to_string(sim->Port()), ini);
        WritePrivateProfileString("CONNECTION", "dev_nom", std::to_string(sim->Serial()), ini);
    }

    void CreateForm() {
        MainFormOptions options;
        options.programDir = dir.string();
        options.timing.cycleMs = 150;
        options.timing.stabilityPauseMs = 50;
        options.timing.writeWaitMs = 2000;
        options.timing.gatewayWaitMs = 20;
        form = std::make_unique<Tvx4pult_MainForm>(options);
        form->FormActivate();
    }

    // Runs ticks (and the event loop between them) until pred holds or timeoutMs passed.
    bool TickUntil(const std::function<bool()>& pred, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            form->Polling().Timer1Timer();
            if (pred()) return true;
            QTest::qWait(30);
        }
        return pred();
    }

    bool StartAndWaitRunning() {
        form->StartItem().trigger();
        return TickUntil([this] { return form->PollStateValue() == psRunning; }, 20000);
    }

    // Item number of the first item with this name, 0 when none.
    std::uint16_t ItemNamed(const std::string& name) {
        const std::uint32_t n = form->Device().GetDeviceInfo().itemCount;
        for (std::uint32_t i = 1; i <= n; ++i) {
            SNodeInfo info = form->Device().GetNodeInfo(static_cast<std::uint16_t>(i));
            if (info.kind != 0 && info.name == name) return info.id;
        }
        return 0;
    }
};

} // namespace vx4::uitest
