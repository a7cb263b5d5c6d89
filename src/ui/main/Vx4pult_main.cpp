#include "ui/main/Vx4pult_main.h"

#include "platform/FileLocations.h"
#include "ui/dialogs/About.h"
#include "ui/main/CommandLine.h"
#include "ui/views/ConfigTree.h"
#include "ui/views/DeviceInfoPanel.h"
#include "ui/main/DeviceOperations.h"
#include "ui/dialogs/ScreenPlacement.h"
#include "ui/main/ManualOperation.h"
#include "ui/reports/ParameterMapReport.h"
#include "ui/main/MessageBoxes.h"
#include "ui/views/ParamEditor.h"
#include "ui/views/PolledValuesPages.h"
#include "ui/main/PollingCycle.h"
#include "ui/main/StatusBar.h"
#include "ui/dialogs/Syseventdlg.h"
#include "ui/dialogs/TestConnection.h"
#include "ui/main/WindowSettings.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include <vector>

namespace vx4 {

Tvx4pult_MainForm::Tvx4pult_MainForm(const MainFormOptions& options, QWidget* parent)
    : QMainWindow(parent), options_(options) {
    // 1. The window frame and its controls.
    setObjectName("vx4pult_MainForm");
    setWindowTitle(TPollingCycle::Caption(0));
    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setObjectName("Splitter1");
    Splitter1->setChildrenCollapsible(false);
    setCentralWidget(Splitter1);
    StatusBar = new TStatusBar(this);
    setStatusBar(StatusBar);
    CreateMenus();

    // 2., 3. The connection with its defaults, then the device object bound to it (its
    // worker starts now and idles while the link is closed).
    conn_ = std::make_unique<connection>();
    device_ = std::make_unique<CVX4Obj>(*conn_, options_.timing);

    // The units that work on the device object.
    TreeView1 = new ConfigTree(Splitter1, *device_, *conn_, ConstOptBank, CalcOptBank, pollingPaused, pollState);
    TreeView1->setObjectName("TreeView1");
    Panel1 = new QWidget(Splitter1);
    Panel1->setObjectName("Panel1");
    auto* panelLayout = new QVBoxLayout(Panel1);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    // Splitter2 separates the value editor from the chart and table pages below it.
    Splitter2 = new QSplitter(Qt::Vertical, Panel1);
    Splitter2->setObjectName("Splitter2");
    Splitter2->setChildrenCollapsible(false);
    panelLayout->addWidget(Splitter2);
    ValueListEditor1 = new ParamEditor(Splitter2, *device_, *conn_, ConstOptBank, CalcOptBank, *TreeView1,
                                       pollingPaused, pollState);
    ValueListEditor1->setObjectName("ValueListEditor1");
    PageControl1 = new TPolledValuesPages(Splitter2, *device_, *TreeView1);
    Splitter2->addWidget(PageControl1);
    Splitter2->setStretchFactor(0, 1);
    Splitter2->setStretchFactor(1, 0);
    Splitter2->setSizes({400, 264});
    Splitter1->addWidget(TreeView1);
    Splitter1->addWidget(Panel1);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    deviceInfo_ = std::make_unique<TDeviceInfoPanel>(*device_, *ValueListEditor1);

    progressBar = new QProgressBar(StatusBar);
    progressBar->setObjectName("progressBar");
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    progressBar->hide();

    polling_ = new TPollingCycle(this, PollingContext{*this, *conn_, *device_, *TreeView1, *ValueListEditor1,
                                                      *deviceInfo_, *StatusBar, *progressBar, *Stop_polling,
                                                      *Start_polling, pollingPaused, pollState, devNo,
                                                      [this](float f) { SetProgress(f); }});

    // The operation frame, the windows of the operations (created once, living as long as
    // the main window) and the menu items' handlers.
    operations_ = new ManualOperation(this, *conn_, *device_, pollingPaused);
    testConnForm_ = new TTestConnForm(this, *conn_);
    sysEventForm_ = new TSysEventForm(this);
    deviceOperations_ = new TDeviceOperations(
        this, DeviceOperationsContext{*this, *conn_, *device_, *operations_, *progressBar, *TreeView1,
                                      *ValueListEditor1, *sysEventForm_, *testConnForm_, devNo,
                                      [this](float f) { SetProgress(f); }});
    polling_->SetOperations(operations_);
    ValueListEditor1->SetOperations(operations_);
    connect(LoadFromVX4, &QAction::triggered, deviceOperations_, &TDeviceOperations::LoadFromVX4Click);
    // File: "Печать карты настр. парам." after "Выгрузить из VX4": the parameter map and the
    // graduation tables, made in the same frame.
    parameterMap_ = new TParameterMapReport(this, *device_, ConstOptBank, *operations_);
    menuBar()->findChild<QMenu*>("File")->insertAction(SysEvent, parameterMap_->MenuItem());
    connect(SysEvent, &QAction::triggered, deviceOperations_, &TDeviceOperations::SysEventClick);
    connect(TestConnect, &QAction::triggered, deviceOperations_, &TDeviceOperations::TestConnectClick);
    connect(N91, &QAction::triggered, deviceOperations_, &TDeviceOperations::N91Click);
    // A device found: the reason polling last stopped is no longer news.
    connect(deviceOperations_, &TDeviceOperations::deviceFound, polling_, &TPollingCycle::ClearStopReason);
    connect(SyncTime, &QAction::triggered, deviceOperations_, &TDeviceOperations::SyncTimeClick);
    connect(TestRTC, &QAction::triggered, deviceOperations_, &TDeviceOperations::TestRTCClick);

    // Wiring of the units.
    connect(Start_polling, &QAction::triggered, polling_, &TPollingCycle::Start_pollingClick);
    connect(Stop_polling, &QAction::triggered, polling_, &TPollingCycle::Stop_pollingClick);
    connect(StatusBar, &TStatusBar::resized, polling_, &TPollingCycle::StatusBarResize);
    connect(StatusBar, &TStatusBar::doubleClicked, polling_, &TPollingCycle::StatusBarDblClick);
    connect(ValueListEditor1, &ParamEditor::deviceNodeShown, this, [this] { deviceInfo_->ShowDeviceInfo(); });
    auto showProgress = [this](bool shown) { progressBar->setVisible(shown); };
    auto moveProgress = [this](float f) { SetProgress(f); };
    connect(TreeView1, &ConfigTree::progressShown, this, showProgress);
    connect(TreeView1, &ConfigTree::progressChanged, this, moveProgress);
    connect(ValueListEditor1, &ParamEditor::progressShown, this, showProgress);
    connect(ValueListEditor1, &ParamEditor::progressChanged, this, moveProgress);
    connect(TreeView1, &ConfigTree::aboutToClear, PageControl1, &TPolledValuesPages::Clear);
    connect(polling_, &TPollingCycle::AddPolledSample, PageControl1, &TPolledValuesPages::AddPolledSample);
    connect(PageControl1, &TPolledValuesPages::progressShown, this, showProgress);
    connect(PageControl1, &TPolledValuesPages::progressChanged, this, moveProgress);

    CreatePortAndGraduation();

    // 4. The members have their initial values; 5. FormCreate.
    FormCreate();
}

Tvx4pult_MainForm::~Tvx4pult_MainForm() {
    polling_->Timer1().stop();
    // The program no longer waits for the line: an exchange still running (a slow device
    // trickling its answer in) gives up at once, and so does everything after it, so the
    // threads below end without waiting for the device.
    conn_->Abandon();
    // The monitors' capture threads read the connection: they end first.
    DeleteMonitors();
    // A link test thread let go inside a long echo still uses the connection.
    testConnForm_->WaitForReleasedThreads();
    // The device object first (its worker ends after its current exchange and stops the
    // gateway), then the connection (closes the link if still open), then the controls.
    device_.reset();
    conn_.reset();
    // The chart and table pages and the editor refer to the tree: they go first.
    delete PageControl1;
    PageControl1 = nullptr;
    delete ValueListEditor1;
    ValueListEditor1 = nullptr;
    delete TreeView1;
    TreeView1 = nullptr;
}

// The menus in their order. Items whose windows come with other units are added where the
// comments stand, so that each stays in its place.
void Tvx4pult_MainForm::CreateMenus() {
    auto item = [this](QMenu* menu, const char* name, const QString& caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(name);
        return a;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("Файл"));
    file->setObjectName("File");
    LoadFromVX4 = item(file, "LoadFromVX4", QStringLiteral("Выгрузить из VX4"));
    // N4 "Печать карты настр. парам." (the parameter map report) goes here.
    // Read_GiGe "Градуировочные коэфициенты (GiGe)" (the graduation viewer) goes here.
    SysEvent = item(file, "SysEvent", QStringLiteral("Сист. события"));
    // vx3c1 "vx3c монитор" and vx2 "vx2 монитор" (the frame monitors) go here.
    Exit = file->addAction(QStringLiteral("Выход"));
    Exit->setObjectName("Exit");
    connect(Exit, &QAction::triggered, this, &Tvx4pult_MainForm::ExitClick);
    CreateMonitorItems(file);

    QMenu* setting = menuBar()->addMenu(QStringLiteral("Настройки"));
    setting->setObjectName("Setting");
    // Port "Порт" (Ctrl+P, the connection settings) goes here, first.
    TestConnect = item(setting, "TestConnect", QStringLiteral("Тест связи"));
    TestConnect->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    setting->addSeparator()->setObjectName("N1");
    auto* group = new QActionGroup(this);
    group->setExclusive(true);
    Stop_polling = setting->addAction(QStringLiteral("Стоп"));
    Stop_polling->setObjectName("Stop_polling");
    Stop_polling->setShortcut(QKeySequence(Qt::Key_F10));
    Stop_polling->setCheckable(true);
    Stop_polling->setChecked(true);
    Stop_polling->setActionGroup(group);
    Start_polling = setting->addAction(QStringLiteral("Опрос"));
    Start_polling->setObjectName("Start_polling");
    Start_polling->setShortcut(QKeySequence(Qt::Key_F11));
    Start_polling->setCheckable(true);
    Start_polling->setActionGroup(group);
    // Shortcuts work whether or not a menu is open.
    Stop_polling->setShortcutContext(Qt::ApplicationShortcut);
    Start_polling->setShortcutContext(Qt::ApplicationShortcut);
    N91 = item(setting, "N91", QStringLiteral("Поиск VX-4"));
    N91->setShortcut(QKeySequence(Qt::Key_F3));
    setting->addSeparator()->setObjectName("N2");
    SyncTime = item(setting, "SyncTime", QStringLiteral("Синхр. время"));
    TestRTC = item(setting, "TestRTC", QStringLiteral("Тест RTC"));

    QMenu* help = menuBar()->addMenu(QStringLiteral("Помощь"));
    help->setObjectName("Help");
    N5 = help->addAction(QStringLiteral("О программе"));
    N5->setObjectName("N5");
    connect(N5, &QAction::triggered, this, &Tvx4pult_MainForm::N5Click);
}

std::string Tvx4pult_MainForm::IniPath() const {
    return SettingsFilePathFor(options_.programDir.empty() ? ProgramDir() : options_.programDir);
}

void Tvx4pult_MainForm::FormCreate() {
    // The settings file is read once for all of the window's keys; a file that is not taken
    // (a fifo, a device, one someone else may change) gives the defaults and is told about
    // once the window shows.
    settingsFile_.Load(IniPath());
    const WindowSettings s = ReadWindowSettings(settingsFile_);
    resize(s.width, s.height);
    // A position saved on another monitor layout comes back on the screen.
    MoveOnScreen(this, QPoint(s.left, s.top));
    if (s.state == 1) setWindowState(Qt::WindowMinimized);
    else if (s.state == 2) setWindowState(Qt::WindowMaximized);
    pendingTreeWidth_ = s.treeWidth;
    TreeView1->resize(s.treeWidth, TreeView1->height());
    Splitter1->setSizes({s.treeWidth, std::max(1, s.width - s.treeWidth)});
    ValueListEditor1->SetDefaultColumnWidth(s.editorSplit);

    const CommandLineOptions& cl = ProcessCommandLine();
    devNo = cl.valid && cl.devNo != 0 ? cl.devNo : ReadDeviceNumber(settingsFile_);
    // The progress bar exists already (hidden, position 0) as a child of the status bar.
}

void Tvx4pult_MainForm::FormActivate() {
    if (activated_) return;
    activated_ = true;
    // Once more for the connection's part, which is read at activation.
    settingsFile_.Load(IniPath());
    conn_->LoadSettings(settingsFile_);
    const CommandLineOptions& cl = ProcessCommandLine();
    if (cl.valid) {
        if (cl.devNo != 0) devNo = cl.devNo;
        conn_->ApplyOverrides(cl.port, cl.ip, cl.tcpPort, cl.speed, cl.devNo, 0);
    }
    OpenBanks();
    if (!settingsFile_.ErrorText().empty()) ShowErrorBox(this, QString::fromStdString(settingsFile_.ErrorText()));
}

void Tvx4pult_MainForm::OpenBanks() {
    const std::pair<COptionBank*, const char*> banks[] = {{&CalcOptBank, "calcbank.xml"},
                                                          {&ConstOptBank, "constbank.xml"}};
    const std::vector<std::string> folders =
        DataFolders(options_.programDir.empty() ? ProgramDir() : options_.programDir);
    for (const auto& [bank, file] : banks) {
        if (bank->OpenFound(folders, file)) continue;
        // The window stays open; items are then shown without the bank's labels.
        ShowErrorBox(this, QString::fromStdString(bank->ErrorText()));
    }
}

void Tvx4pult_MainForm::SetProgress(float fraction) {
    const int min = progressBar->minimum();
    const int max = progressBar->maximum();
    const int position = min + static_cast<int>(static_cast<float>(max - min) * fraction);
    if (position == progressBar->value()) return;
    progressBar->setValue(position);
    repaint(); // at once, without running the event loop
}

void Tvx4pult_MainForm::closeEvent(QCloseEvent* event) {
    // FormCloseQuery: the tick stops driving the device; the window may close. A value
    // half typed in the editor is dropped, never written.
    pollingPaused = true;
    ValueListEditor1->DropEdit();
    event->accept();
    FormClose();
    QMainWindow::closeEvent(event);
}

void Tvx4pult_MainForm::FormClose() {
    const std::string ini = IniPath();
    WindowSettings s;
    s.state = isMinimized() ? 1u : isMaximized() ? 2u : 0u;
    s.left = pos().x();
    s.top = pos().y();
    s.width = width();
    s.height = height();
    s.treeWidth = TreeView1->width();
    s.editorSplit = ValueListEditor1->DefaultColumnWidth();
    // Everything in one write of the file; the connection's part never waits for the line.
    std::vector<IniEntry> entries = WindowSettingsEntries(s);
    for (IniEntry& e : conn_->SettingsToSave())
        entries.push_back(std::move(e));
    entries.push_back(DeviceNumberEntry(devNo));
    WritePrivateProfileStrings(entries, ini);
}

void Tvx4pult_MainForm::ExitClick() { close(); }

void Tvx4pult_MainForm::N5Click() {
    if (about_) about_->exec();
}

void Tvx4pult_MainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (pendingTreeWidth_ >= 0) {
        const int total = Splitter1->width();
        Splitter1->setSizes({pendingTreeWidth_, std::max(1, total - pendingTreeWidth_)});
        pendingTreeWidth_ = -1;
    }
    // A window manager normally activates the window on its first show; without one (a bare
    // X server) activation may never come, so the first show counts as well.
    if (!activated_) QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void Tvx4pult_MainForm::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

} // namespace vx4
