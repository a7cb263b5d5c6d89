// The main window as a whole: settings at creation, activation and close; the command
// line; option banks; menus; the shared progress bar; the About box.
#include "mainwindow_fixture.h"

#include "ui/dialogs/About.h"
#include "ui/main/StatusBar.h"
#include "ui/main/WindowSettings.h"
#include "ui/views/ParamEditor.h"

#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>

#include <fstream>
#include <string>

namespace vx4::uitest {
namespace {

using MainWindow = MainWindowTest;

TEST_F(MainWindow, StartsStoppedWithSettingsFromTheFile) {
    WriteWindowSettings(ini, WindowSettings{40, 50, 900, 640, 0, 260, 150});
    WritePrivateProfileString("CONNECTION", "dev_nom", "42", ini);
    CreateForm();
    EXPECT_EQ(form->objectName(), "vx4pult_MainForm");
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Удаленный пульт управления VX-4"));
    EXPECT_EQ(form->size(), QSize(900, 640));
    EXPECT_EQ(form->Editor().DefaultColumnWidth(), 150);
    EXPECT_EQ(form->DevNo(), 42u);
    EXPECT_TRUE(form->PollingPaused());
    EXPECT_EQ(form->PollStateValue(), psRequestReload);
    EXPECT_TRUE(form->StopItem().isChecked());
    EXPECT_FALSE(form->StartItem().isChecked());
    EXPECT_FALSE(form->Conn().IsOpen());
    EXPECT_TRUE(form->ProgressBar().isHidden());
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(form->ConstBank().IsOpen());
    EXPECT_TRUE(form->CalcBank().IsOpen());

    form->Polling().Timer1Timer();
    EXPECT_EQ(form->StatusPanels().PanelText(2), QStringLiteral("Стоп"));
    EXPECT_EQ(form->StatusPanels().PanelText(1), QStringLiteral("00.00.00 00:00:00"));

    form->show();
    QTest::qWait(20);
    EXPECT_EQ(form->Tree().width(), 260);
    EXPECT_EQ(form->StatusPanels().PanelWidth(0), 200);
    EXPECT_GE(form->StatusPanels().PanelWidth(1), 120);
}

TEST_F(MainWindow, CloseWritesWindowAndConnectionKeys) {
    CreateForm();
    form->show();
    form->resize(850, 620);
    form->move(-8, 12);
    form->Editor().SetDefaultColumnWidth(170); // as the user left the value column
    QTest::qWait(20);
    // Where the window system put the window (it may keep a frame's width on the screen).
    const QPoint at = form->pos();
    ASSERT_LT(at.x(), 0);
    ASSERT_GT(at.y(), 0);
    form->close();
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "state", "", ini), "0");
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "left", "", ini), std::to_string(std::uint32_t(at.x()))); // as unsigned
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "top", "", ini), std::to_string(at.y()));
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "w_size", "", ini), "850");
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "h_size", "", ini), "620");
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "tw_size", "", ini), std::to_string(form->Tree().width()));
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "VLE_split", "", ini), "170");
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "dev_nom", "", ini), "1");
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "port", "", ini), "COM1");
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "speed", "", ini), "115200");
    EXPECT_TRUE(form->PollingPaused());
}

// A value half typed into the editor when the window closes is dropped, never written.
TEST_F(MainWindow, ClosingDropsAHalfTypedValue) {
    StartSimulator();
    CreateForm();
    form->show();
    ASSERT_TRUE(StartAndWaitRunning());
    std::uint16_t id = 0;
    for (std::uint16_t i = 1; id == 0 && i <= form->Device().GetDeviceInfo().itemCount; ++i)
        if (form->Device().GetNodeInfo(i).kind == ITEM_CONST) id = i;
    ASSERT_NE(id, 0);
    QTreeWidgetItem* node = form->Tree().FindNodeById(nullptr, id);
    ASSERT_NE(node, nullptr);
    form->Tree().scrollToItem(node);
    form->Tree().setCurrentItem(node);
    QCoreApplication::processEvents();
    ParamEditor& editor = form->Editor();
    int row = -1;
    for (int r = 0; r < editor.rowCount() && row < 0; ++r)
        if (editor.item(r, 1) != nullptr && (editor.item(r, 1)->flags() & Qt::ItemIsEditable)) row = r;
    ASSERT_GE(row, 0);
    editor.setFocus();
    editor.setCurrentCell(row, 1);
    if (!editor.IsCellEditorOpen()) editor.editItem(editor.item(row, 1));
    QCoreApplication::processEvents();
    QLineEdit* line = nullptr;
    for (QLineEdit* w : editor.viewport()->findChildren<QLineEdit*>())
        if (w->isVisible()) line = w;
    ASSERT_NE(line, nullptr);
    line->selectAll();
    QTest::keyClicks(line, "4");
    sim->ClearRequests();
    form->close();
    QTest::qWait(300);
    for (const auto& r : sim->Requests())
        EXPECT_FALSE(r.size() > 7 && r[6] == 0x25 && r[7] == 0x01) << "a write was sent";
}

TEST_F(MainWindow, MaximisedCloseKeepsTheStoredGeometry) {
    WriteWindowSettings(ini, WindowSettings{30, 40, 700, 500, 0, 300, 180});
    CreateForm();
    form->showMaximized();
    QTest::qWait(20);
    form->close();
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "state", "", ini), "2");
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "left", "", ini), "30");
    EXPECT_EQ(GetPrivateProfileString("WINDOW", "w_size", "", ini), "700");
}

TEST_F(MainWindow, CommandLineOverridesTheFileAtActivation) {
    struct Case {
        const char* line;
        std::uint32_t devNo; // window's device number after activation
        const char* port;
        std::uint32_t speed;
        std::uint32_t aux;
    };
    const Case cases[] = {
        {"/dev=7", 7, "COM5", 19200, 0},
        {"/port=192.168.0.10:10001 /speed=57600", 3, "TCP/IP", 57600, 0},
        {"/port=/dev/ttyUSB1", 3, "/dev/ttyUSB1", 19200, 0},
        {"/dev=0", 3, "COM5", 19200, 0},
        {"bare", 3, "COM5", 19200, 0},          // valid, changes nothing but the extra delay
        {"/dev=9 /speed=fast", 3, "COM5", 19200, 50}, // invalid as a whole
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        WritePrivateProfileString("CONNECTION", "port", "COM5", ini);
        WritePrivateProfileString("CONNECTION", "speed", "19200", ini);
        WritePrivateProfileString("CONNECTION", "AuxTmout", "50", ini);
        WritePrivateProfileString("CONNECTION", "dev_nom", "3", ini);
        ProcessCommandLine() = CommandLineOptions{};
        ParseCommandLine(c.line, ProcessCommandLine());
        CreateForm();
        EXPECT_EQ(form->DevNo(), c.devNo);
        ConnectionSettings s = form->Conn().Settings();
        EXPECT_EQ(s.port, c.port);
        EXPECT_EQ(s.speed, c.speed);
        EXPECT_EQ(s.AuxTmout, c.aux);
        form.reset();
    }
    // The TCP form carries the address and the port.
    ProcessCommandLine() = CommandLineOptions{};
    ParseCommandLine("/port=10.1.2.3:4001", ProcessCommandLine());
    CreateForm();
    EXPECT_EQ(form->Conn().Settings().IP, "10.1.2.3");
    EXPECT_EQ(form->Conn().Settings().TCPIPport, "4001");
}

TEST_F(MainWindow, SettingsChangedAfterTheFirstActivationStay) {
    WritePrivateProfileString("CONNECTION", "port", "COM5", ini);
    CreateForm();
    ConnectionSettings s = form->Conn().Settings();
    s.port = "COM9";
    form->Conn().SetSettings(s); // as the settings dialog would
    form->FormActivate();        // a later activation (return from a modal window)
    EXPECT_EQ(form->Conn().Settings().port, "COM9");
    form->close();
    EXPECT_EQ(GetPrivateProfileString("CONNECTION", "port", "", ini), "COM9");
}

// Option banks come from the current folder; a broken bank is reported with the parser's
// text and the window stays.
TEST_F(MainWindow, BrokenBankIsReportedAndTheWindowStays) {
    std::ofstream(dir / "calcbank.xml") << "<?xml version=\"1.0\"?>\n<bank><item name=\"T$\" note=\"x\">\n";
    CreateForm();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(boxes[0].isEmpty());
    EXPECT_EQ(boxes[0].toStdString(), form->CalcBank().ErrorText());
    EXPECT_FALSE(form->CalcBank().IsOpen());
    EXPECT_TRUE(form->ConstBank().IsOpen());
    form->show();
    QTest::qWait(20);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(MainWindow, MenusHoldOnlyItemsWithActions) {
    CreateForm();
    QStringList items;
    for (QAction* top : form->menuBar()->actions()) {
        items << top->text() + ":";
        for (QAction* a : top->menu()->actions()) items << a->text();
    }
    EXPECT_EQ(items.join('|'), QStringLiteral("Файл:|Выгрузить из VX4|Печать карты настр. парам.|"
                                              "Градуировочные коэфициенты (GiGe)|Сист. события|vx3c монитор|vx2 монитор|Выход|"
                                              "Настройки:|Порт|Тест связи||Стоп|Опрос|Поиск VX-4||Синхр. время|Тест RTC|"
                                              "Помощь:|О программе"));
    EXPECT_EQ(form->StopItem().shortcut(), QKeySequence(Qt::Key_F10));
    EXPECT_EQ(form->StartItem().shortcut(), QKeySequence(Qt::Key_F11));
    const std::pair<const char*, QKeySequence> shortcuts[] = {{"N91", QKeySequence(Qt::Key_F3)},
                                                              {"TestConnect", QKeySequence(Qt::CTRL | Qt::Key_T)}};
    for (const auto& [name, keys] : shortcuts) {
        auto* action = form->findChild<QAction*>(name);
        ASSERT_NE(action, nullptr) << name;
        EXPECT_EQ(action->shortcut(), keys) << name;
    }
    form->StartItem().trigger();
    EXPECT_TRUE(form->StartItem().isChecked());
    EXPECT_FALSE(form->StopItem().isChecked());
    form->StopItem().trigger();
    EXPECT_TRUE(form->StopItem().isChecked());
}

TEST_F(MainWindow, SetProgressTruncatesTowardZero) {
    CreateForm();
    const std::pair<float, int> cases[] = {{0.0f, 0}, {0.505f, 50}, {0.999f, 99}, {1.0f, 100}, {0.259f, 25}};
    for (auto [fraction, position] : cases) {
        form->SetProgress(fraction);
        EXPECT_EQ(form->ProgressBar().value(), position) << fraction;
    }
}

TEST_F(MainWindow, ProgressBarCoversStatusPanelZero) {
    CreateForm();
    form->show();
    // Each resize of the window must put the bar back over panel 0 through the status bar's
    // own resize event: the bar is moved away first, so only the handler can bring it back.
    const QSize sizes[] = {{1000, 600}, {700, 450}, {1280, 760}};
    for (const QSize& size : sizes) {
        SCOPED_TRACE(size.width());
        form->ProgressBar().setGeometry(0, 0, 1, 1);
        form->resize(size);
        for (int i = 0; i < 200 && form->ProgressBar().geometry() != form->StatusPanels().PanelRect(0); ++i)
            QTest::qWait(10);
        const QRect panel = form->StatusPanels().PanelRect(0);
        EXPECT_EQ(form->size(), size);
        EXPECT_EQ(form->ProgressBar().geometry(), panel);
        EXPECT_GE(panel.width(), 200);
        EXPECT_GT(panel.height(), 0);
    }
}

TEST(AboutBox, VersionInFourParts) {
    EXPECT_EQ(VersionLabelText("1.5.12.47"), QStringLiteral("Версия: 1.5.12.47"));
    EXPECT_EQ(VersionLabelText("0.1.0"), QStringLiteral("Версия: 0.1.0.0"));
    EXPECT_EQ(VersionLabelText(""), QStringLiteral("Версия: "));
    EXPECT_EQ(VersionLabelText("1.x"), QStringLiteral("Версия: "));
    EnsureApplication();
    TAboutBox box(nullptr);
    EXPECT_EQ(box.windowTitle(), QStringLiteral("О программе"));
    // The version the project declares, read from its build description.
    std::ifstream cmake(VX4_SOURCE_DIR "/CMakeLists.txt");
    std::string line, declared;
    while (declared.empty() && std::getline(cmake, line)) {
        const auto at = line.find("project(vx4pult VERSION ");
        if (at != std::string::npos) {
            declared = line.substr(at + 24);
            declared = declared.substr(0, declared.find(' '));
        }
    }
    ASSERT_FALSE(declared.empty());
    EXPECT_EQ(box.VersionText(), QStringLiteral("Версия: ") + QString::fromStdString(declared));
    EXPECT_EQ(box.VersionText().count('.'), 3);
}

} // namespace
} // namespace vx4::uitest
