#pragma once
// Shared setup of the console benchmarks: an offscreen application and a main window whose
// settings file points at a simulator on the loopback address.

#include "platform/IniFile.h"
#include "ui/main/CommandLine.h"
#include "ui/main/MessageBoxes.h"
#include "ui/main/Vx4pult_main.h"

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

namespace vx4bench {

inline std::filesystem::path MakeRunFolder(const char* name) {
    auto dir = std::filesystem::temp_directory_path() / (std::string(name) + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Settings for a TCP device at 127.0.0.1:port with this device number (0: identify it).
inline void WriteConnection(const std::filesystem::path& dir, unsigned port, std::uint32_t devNo) {
    const std::string ini = (dir / "vx4pult.ini").string();
    vx4::WritePrivateProfileString("CONNECTION", "port", "TCP/IP", ini);
    vx4::WritePrivateProfileString("CONNECTION", "IP", "127.0.0.1", ini);
    vx4::WritePrivateProfileString("CONNECTION", "TCPIPport", std::to_string(port), ini);
    vx4::WritePrivateProfileString("CONNECTION", "dev_nom", std::to_string(devNo), ini);
}

inline std::unique_ptr<vx4::Tvx4pult_MainForm> MakeForm(const std::filesystem::path& dir) {
    vx4::SetMessageBoxHook([](const QString&) {}); // no option banks in the run folder
    vx4::MainFormOptions options;
    options.programDir = dir.string();
    options.timing.stabilityPauseMs = 0;
    auto form = std::make_unique<vx4::Tvx4pult_MainForm>(options);
    form->show();
    form->FormActivate();
    return form;
}

} // namespace vx4bench
