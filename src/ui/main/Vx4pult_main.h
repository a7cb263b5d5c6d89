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
class ManualOperation;
class ParamEditor;
class TAboutBox;
class TDeviceInfoPanel;
class TDeviceOperations;
class TGIGEShowForm;
class TSetPortDlg;
class TPollingCycle;
class TPolledValuesPages;
class TStatusBar;
class TParameterMapReport;
class TSysEventForm;
class TTestConnForm;
class Tvx2_monitor;
class Tvx3c_monitor;

struct MainFormOptions {
    // The program's folder, for vx4pult.ini and the option banks (platform/FileLocations.h);
    // empty: the folder of the running program.
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
    TPolledValuesPages& Values() { return *PageControl1; }
    QAction& StopItem() { return *Stop_polling; }
    QAction& StartItem() { return *Start_polling; }
    // The one frame around every one-shot device operation, and the operations themselves.
    ManualOperation& Operations() { return *operations_; }
    TDeviceOperations& DeviceOperations() { return *deviceOperations_; }
    TSysEventForm& SysEventForm() { return *sysEventForm_; }
    TTestConnForm& TestConnForm() { return *testConnForm_; }
    COptionBank& ConstBank() { return ConstOptBank; }
    COptionBank& CalcBank() { return CalcOptBank; }
    bool PollingPaused() const { return pollingPaused; }
    int PollStateValue() const { return pollState; }
    std::uint32_t DevNo() const { return devNo; }
    TParameterMapReport& ParameterMap() { return *parameterMap_; }

    // Connection settings and the graduation viewer.
    void PortClick();      // "Настройки" / "Порт"
    void Read_GiGeClick(); // "Градуировочные коэфициенты (GiGe)", tree "Показать градуировку"
    // The transducer number a tree label names: the number after "=" of a label holding
    // "dev" (dev1   = 5 gives 5); 0 for any other label.
    static std::int32_t TransducerNumberOf(const QString& label);
    TSetPortDlg& SetPortDlg() { return *SetPortDlg_; }
    TGIGEShowForm& GIGEShowForm() { return *GIGEShowForm_; }
    QAction& PortItem() { return *Port; }
    QAction& Read_GiGeItem() { return *Read_GiGe; }
    QAction& ShowGraduationItem() { return *MenuItem1; }

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
    void CreatePortAndGraduation();

    MainFormOptions options_;

    // Controls.
    QSplitter* Splitter1 = nullptr;
    QWidget* Panel1 = nullptr;
    QSplitter* Splitter2 = nullptr;
    ConfigTree* TreeView1 = nullptr;
    ParamEditor* ValueListEditor1 = nullptr;
    TPolledValuesPages* PageControl1 = nullptr; // the chart and table pages below the editor
    TStatusBar* StatusBar = nullptr;
    QProgressBar* progressBar = nullptr;
    QAction* Exit = nullptr;
    QAction* Stop_polling = nullptr;
    QAction* Start_polling = nullptr;
    QAction* N5 = nullptr;
    // Device operations (their handlers live in TDeviceOperations).
    QAction* LoadFromVX4 = nullptr;
    QAction* SysEvent = nullptr;
    QAction* TestConnect = nullptr;
    QAction* N91 = nullptr;
    QAction* SyncTime = nullptr;
    QAction* TestRTC = nullptr;
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
    ManualOperation* operations_ = nullptr;
    TDeviceOperations* deviceOperations_ = nullptr;
    TSysEventForm* sysEventForm_ = nullptr;
    TTestConnForm* testConnForm_ = nullptr;
    TParameterMapReport* parameterMap_ = nullptr; // File: "Печать карты настр. парам."

    int pendingTreeWidth_ = -1; // applied when the splitter first has its real width
    bool activated_ = false;
    IniFile settingsFile_; // vx4pult.ini as read at creation

    // Connection settings and the graduation viewer.
    QAction* Port = nullptr;
    QAction* Read_GiGe = nullptr;
    QAction* MenuItem1 = nullptr;
    TSetPortDlg* SetPortDlg_ = nullptr;
    TGIGEShowForm* GIGEShowForm_ = nullptr;
};

} // namespace vx4
