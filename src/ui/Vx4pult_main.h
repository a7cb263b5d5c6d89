#pragma once
// Tvx4pult_MainForm: the console's main window. It owns the connection, the device object
// and the two option banks for the life of the process, and wires the window's units:
// the configuration tree (ConfigTree), the value editor (ParamEditor), the device
// information panel (TDeviceInfoPanel) and the polling cycle with the status bar
// (TPollingCycle, TStatusBar). This file holds what belongs to the window as a whole:
// creation, activation, close and destruction, the settings file, the menus and the
// shared progress bar.

#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "options/OptionBank.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <string>

class QAction;
class QDialog;
class QMenu;
class QProgressBar;
class QSplitter;
class QWidget;

namespace vx4 {

class ConfigTree;
class ParamEditor;
class TAboutBox;
class TDeviceInfoPanel;
class TPollingCycle;
class TStatusBar;
class Tvx2_monitor;
class Tvx3c_monitor;

struct MainFormOptions {
    // Folder of vx4pult.ini; empty: the program's own folder.
    std::string programDir;
    // Pauses of the device object (tests shorten them).
    CVX4Obj::Timing timing;
};

class Tvx4pult_MainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit Tvx4pult_MainForm(const MainFormOptions& options = {}, QWidget* parent = nullptr);
    ~Tvx4pult_MainForm() override;

    // Moves the shared progress bar to fraction (0..1) of its range; when the position
    // changes the whole window is repainted at once, so that progress shows while a long
    // operation blocks the event loop (user input is not let through).
    void SetProgress(float fraction);

    // Window events.
    void FormCreate();
    // Loads the connection settings, applies the command line and opens the option banks;
    // runs once, at the first activation, so that settings changed later in the window stay
    // in force until the program ends (and are written at close).
    void FormActivate();
    void FormClose();
    void ExitClick();
    void N5Click(); // "О программе"
    // Frame monitors ("vx3c монитор", "vx2 монитор"); the windows are made on first use and
    // kept, with their logs, until the main window goes.
    void vx3c1Click();
    void vx2Click();
    Tvx3c_monitor* Vx3cMonitor() const { return vx3cMonitor_; }
    Tvx2_monitor* Vx2Monitor() const { return vx2Monitor_; }

    void SetAboutBox(TAboutBox* about) { about_ = about; }
    std::string IniPath() const;

    // The window's parts, for the units and for tests.
    connection& Conn() { return *conn_; }
    CVX4Obj& Device() { return *device_; }
    ConfigTree& Tree() { return *TreeView1; }
    ParamEditor& Editor() { return *ValueListEditor1; }
    TPollingCycle& Polling() { return *polling_; }
    TStatusBar& StatusPanels() { return *StatusBar; }
    TDeviceInfoPanel& DeviceInfo() { return *deviceInfo_; }
    QProgressBar& ProgressBar() { return *progressBar; }
    QAction& StopItem() { return *Stop_polling; }
    QAction& StartItem() { return *Start_polling; }
    COptionBank& ConstBank() { return ConstOptBank; }
    COptionBank& CalcBank() { return CalcOptBank; }
    bool PollingPaused() const { return pollingPaused; }
    int PollStateValue() const { return pollState; }
    std::uint32_t DevNo() const { return devNo; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CreateMenus();
    void CreateMonitorItems(QMenu* file);
    void RunMonitor(QDialog* monitor);
    void DeleteMonitors();
    void OpenBanks();

    MainFormOptions options_;

    // Controls.
    QSplitter* Splitter1 = nullptr;
    QWidget* Panel1 = nullptr;
    QSplitter* Splitter2 = nullptr;
    ConfigTree* TreeView1 = nullptr;
    ParamEditor* ValueListEditor1 = nullptr;
    TStatusBar* StatusBar = nullptr;
    QProgressBar* progressBar = nullptr;
    QAction* Exit = nullptr;
    QAction* Stop_polling = nullptr;
    QAction* Start_polling = nullptr;
    QAction* N5 = nullptr;
    QAction* vx3c1 = nullptr;
    QAction* vx2 = nullptr;
    Tvx3c_monitor* vx3cMonitor_ = nullptr;
    Tvx2_monitor* vx2Monitor_ = nullptr;

    // The device side, created after the window frame and destroyed before the controls.
    std::unique_ptr<connection> conn_;
    std::unique_ptr<CVX4Obj> device_;
    COptionBank ConstOptBank; // "constbank.xml"
    COptionBank CalcOptBank;  // "calcbank.xml"

    // Display flags shared by the units.
    bool pollingPaused = true;
    int pollState = 0;
    std::uint32_t devNo = 0;

    std::unique_ptr<TDeviceInfoPanel> deviceInfo_;
    TPollingCycle* polling_ = nullptr;
    TAboutBox* about_ = nullptr;

    int pendingTreeWidth_ = -1; // applied when the splitter first has its real width
    bool activated_ = false;
};

} // namespace vx4
