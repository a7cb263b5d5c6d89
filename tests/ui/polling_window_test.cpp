// The polling cycle against the simulator over loopback: start builds the tree, the device
// panel, the write-error box, a silent device, counted opens, the statistics reset.
#include "mainwindow_fixture.h"

#include "device/Vx4obj.h"
#include "ui/main/DeviceOperations.h"
#include "link/Vx4prot.h"
#include "ui/main/StatusBar.h"
#include "ui/views/DeviceInfoPanel.h"
#include "ui/views/ParamEditor.h"

#include <QLabel>
#include <QProgressBar>

#include <stdexcept>

namespace vx4::uitest {
namespace {

using PollingWindow = MainWindowTest;

TEST_F(PollingWindow, StartBuildsTheTreeAndShowsTheDevice) {
    StartSimulator();
    CreateForm();
    form->StartItem().trigger();
    EXPECT_FALSE(form->PollingPaused());
    EXPECT_TRUE(form->Conn().IsOpen());
    const QString numbered = QStringLiteral("Удаленный пульт управления VX-4 №") + QString::number(sim->Serial());
    EXPECT_EQ(form->windowTitle(), numbered);

    form->Polling().Timer1Timer(); // psRequestReload: asks for the read, shows progress
    EXPECT_EQ(form->PollStateValue(), psLoading);
    EXPECT_FALSE(form->ProgressBar().isHidden());
    ASSERT_TRUE(TickUntil([this] { return form->PollStateValue() == psRunning; }, 20000));
    EXPECT_TRUE(form->ProgressBar().isHidden());
    EXPECT_EQ(form->windowTitle(), numbered);

    ConfigTree& tree = form->Tree();
    ASSERT_NE(tree.Root(), nullptr);
    EXPECT_EQ(tree.Root()->text(0), QStringLiteral("VX4 №") + QString::number(sim->Serial()));
    for (std::uint16_t id : sim->CalcIds()) EXPECT_NE(tree.FindNodeById(nullptr, id), nullptr) << id;

    // The device panel, refreshed in place by the tick.
    tree.setCurrentItem(tree.Root());
    ParamEditor& editor = form->Editor();
    EXPECT_EQ(editor.Value(QStringLiteral("Серийный номер")), QString::number(sim->Serial()));
    EXPECT_EQ(editor.Value(QStringLiteral("Количество элементов конф.")), QString::number(sim->ItemCount()));
    EXPECT_FALSE(editor.Editing());
    // Each tick fills the panel again in place: a stale row is overwritten, none is added.
    const int rows = editor.rowCount();
    editor.SetRow(QStringLiteral("Серийный номер"), QStringLiteral("0"));
    form->Polling().Timer1Timer();
    EXPECT_EQ(editor.rowCount(), rows);
    EXPECT_EQ(editor.Value(QStringLiteral("Серийный номер")), QString::number(sim->Serial()));

    // The status bar shows the statistics and the device clock.
    EXPECT_TRUE(form->StatusPanels().PanelText(2).startsWith(QStringLiteral("Пакетов: out ")));
    ASSERT_TRUE(TickUntil([this] { return form->Polling().LastDeviceClock().bcd[1] != 0; }, 5000));
    EXPECT_EQ(form->StatusPanels().PanelText(1).size(), 17);

    form->StopItem().trigger();
    EXPECT_TRUE(form->PollingPaused());
    EXPECT_FALSE(form->Conn().IsOpen());
    EXPECT_EQ(form->PollStateValue(), psRequestReload);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Удаленный пульт управления VX-4"));
    form->Polling().Timer1Timer();
    EXPECT_EQ(form->StatusPanels().PanelText(2), QStringLiteral("Стоп"));
}

TEST_F(PollingWindow, RefusedWriteShowsOneMessageBoxAtTheNextTick) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    const std::uint16_t id = ItemNamed("Адрес"); // the device accepts 1..247
    ASSERT_NE(id, 0);
    QTreeWidgetItem* node = form->Tree().FindNodeById(nullptr, id);
    ASSERT_NE(node, nullptr);
    form->Tree().setCurrentItem(node);
    const QString reference = QString::fromStdString(form->Device().ReadItemText(id));
    form->Editor().WriteConst(id, QStringLiteral("999"), reference);
    EXPECT_EQ(form->Editor().WriteError(), 253);
    EXPECT_TRUE(boxes.empty()); // reported by the tick, not by the editor
    form->Polling().Timer1Timer();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], QStringLiteral("Ошибка записи.\r\nvx4pult_MainForm\r\n EN-PR заблокировано"));
    form->Polling().Timer1Timer();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(sim->ConstValue(id).value_or(-1), 5.0f);
}

TEST_F(PollingWindow, SilentDeviceStopsPollingByItself) {
    StartSimulator();
    sim->SetHook([](const std::vector<std::uint8_t>&) { return vx4sim::HookResult{vx4sim::HookResult::Silent, {}}; });
    CreateForm();
    form->StartItem().trigger();
    ASSERT_TRUE(TickUntil([this] { return form->PollingPaused(); }, 60000));
    EXPECT_TRUE(form->StopItem().isChecked());
    EXPECT_FALSE(form->Conn().IsOpen());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Удаленный пульт управления VX-4"));
    EXPECT_EQ(form->PollStateValue(), psRequestReload);
    EXPECT_TRUE(form->ProgressBar().isHidden());
    EXPECT_EQ(form->Tree().Root(), nullptr);
    EXPECT_TRUE(boxes.empty());
    form->Polling().Timer1Timer();
    EXPECT_EQ(form->StatusPanels().PanelText(2), QStringLiteral("Стоп — Таймаут ожидания ответа (1016)"));
}

TEST_F(PollingWindow, StopAfterAFailedReadNamesItsReasonAndF10DoesNot) {
    StartSimulator();
    // Every answer comes whole but with a wrong sum byte.
    sim->SetHook([](const std::vector<std::uint8_t>& request) {
        std::vector<std::uint8_t> bad = request;
        bad.back() ^= 0xFF;
        return vx4sim::HookResult{vx4sim::HookResult::Replace, bad};
    });
    CreateForm();
    form->StartItem().trigger();
    ASSERT_TRUE(TickUntil([this] { return form->PollingPaused(); }, 60000));
    form->Polling().Timer1Timer();
    const QString reason = QStringLiteral("Стоп — Неверные контрольные байты (1013)");
    EXPECT_EQ(form->StatusPanels().PanelText(2), reason);
    QLabel* panel = form->StatusPanels().findChild<QLabel*>("StatusPanel2");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->toolTip(), reason);
    // Started again and stopped by the user: plain "Стоп".
    form->StartItem().trigger();
    form->StopItem().trigger();
    form->Polling().Timer1Timer();
    EXPECT_EQ(form->StatusPanels().PanelText(2), QStringLiteral("Стоп"));
    EXPECT_EQ(panel->toolTip(), QStringLiteral("Стоп"));
}

TEST_F(PollingWindow, ASearchThatFindsTheDeviceClearsTheStopReason) {
    StartSimulator();
    sim->SetHook([](const std::vector<std::uint8_t>&) { return vx4sim::HookResult{vx4sim::HookResult::Silent, {}}; });
    CreateForm();
    form->StartItem().trigger();
    ASSERT_TRUE(TickUntil([this] { return form->PollingPaused(); }, 60000));
    form->Polling().Timer1Timer();
    ASSERT_EQ(form->StatusPanels().PanelText(2), QStringLiteral("Стоп — Таймаут ожидания ответа (1016)"));
    // The device answers again and F3 finds it: the old reason goes.
    sim->SetHook(nullptr);
    form->DeviceOperations().N91Click();
    form->Polling().Timer1Timer();
    EXPECT_EQ(form->StatusPanels().PanelText(2), QStringLiteral("Стоп"));
}

TEST_F(PollingWindow, TwoStartsAndOneStopKeepTheLinkOpen) {
    StartSimulator();
    CreateForm();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    // F11, F11, F10 as the user presses them.
    QTest::keyClick(form.get(), Qt::Key_F11);
    EXPECT_TRUE(form->StartItem().isChecked());
    QTest::keyClick(form.get(), Qt::Key_F11);
    QTest::keyClick(form.get(), Qt::Key_F10);
    EXPECT_TRUE(form->StopItem().isChecked());
    EXPECT_TRUE(form->Conn().IsOpen());
    EXPECT_TRUE(form->PollingPaused());
    QTest::keyClick(form.get(), Qt::Key_F10);
    EXPECT_FALSE(form->Conn().IsOpen());
}

TEST_F(PollingWindow, DoubleClickResetsTheStatistics) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    EXPECT_GT(form->Conn().Statistics().packetsOut, 0u);
    // A double click on the clock panel reaches the status bar.
    form->show();
    QWidget* clockPanel = form->StatusPanels().findChild<QWidget*>("StatusPanel1");
    ASSERT_NE(clockPanel, nullptr);
    QTest::mouseDClick(clockPanel, Qt::LeftButton);
    ConnectionStatistics s = form->Conn().Statistics();
    // The worker may have sent a request since; the counters started again from zero.
    EXPECT_LE(s.packetsOut, 3u);
    EXPECT_EQ(s.lastError, 0u);
}

TEST_F(PollingWindow, ChangedConfigurationIsReadAgainOnce) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    const std::uint32_t before = form->Tree().SavedChecksum();
    sim->ClearRequests();
    sim->ChangeChecksum(); // another program wrote to the device
    ASSERT_TRUE(TickUntil([this] { return form->PollStateValue() != psRunning; }, 10000));
    ASSERT_TRUE(TickUntil([this] { return form->PollStateValue() == psRunning; }, 20000));
    EXPECT_NE(form->Tree().SavedChecksum(), before);
    EXPECT_EQ(form->Tree().SavedChecksum(), sim->ConfigChecksum());
    // The worker's read and the tick's request for the same change are one read: one first
    // block and the two identifications of one read, also a few cycles later.
    const std::uint64_t cycles = form->Device().CyclesDone();
    ASSERT_TRUE(TickUntil([&] { return form->Device().CyclesDone() >= cycles + 3; }, 10000));
    std::size_t firstBlocks = 0, identifies = 0;
    for (const auto& r : sim->Requests()) {
        if (r.size() < 8) continue;
        firstBlocks += r[6] == CMD_CONFIG_BLOCK && r[7] == CONFIG_FIRST_BLOCK;
        identifies += r[6] == CMD_IDENTIFY;
    }
    EXPECT_EQ(firstBlocks, 1u);
    EXPECT_EQ(identifies, 2u);
    EXPECT_EQ(form->PollStateValue(), psRunning);
}

TEST_F(PollingWindow, SelectedCalculatedValueFollowsTheDeviceBetweenTicks) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    const std::vector<std::uint16_t> ids = sim->CalcIds();
    ASSERT_FALSE(ids.empty());
    QTreeWidgetItem* node = form->Tree().FindNodeById(nullptr, ids.front());
    ASSERT_NE(node, nullptr);
    form->Tree().scrollToItem(node); // its group open, as the user reaches it
    form->Tree().setCurrentItem(node);
    ParamEditor& editor = form->Editor();
    for (const float value : {271.5f, -3.25f}) {
        sim->SetCalcValue(ids.front(), value, 0);
        EXPECT_TRUE(TickUntil([&] { return editor.Value(QStringLiteral("Значение")) == QString::number(value); }, 10000))
            << editor.Value(QStringLiteral("Значение")).toStdString();
    }
}

TEST_F(PollingWindow, TickRestartsItsTimerWhenItsWorkThrows) {
    StartSimulator();
    CreateForm();
    form->Polling().Timer1().stop(); // only the cycle below ticks
    bool paused = false;
    int state = psLoading;
    std::uint32_t devNo = 0;
    TPollingCycle cycle(nullptr, PollingContext{*form, form->Conn(), form->Device(), form->Tree(), form->Editor(),
                                                form->DeviceInfo(), form->StatusPanels(), form->ProgressBar(),
                                                form->StopItem(), form->StartItem(), paused, state, devNo,
                                                [](float) { throw std::runtime_error("progress"); }});
    form->Device().RequestReread(); // the link is closed: the read stays pending
    ASSERT_FALSE(form->Device().IsConfigReady());
    EXPECT_THROW(cycle.Timer1Timer(), std::runtime_error);
    EXPECT_TRUE(cycle.Timer1().isActive()); // ticks go on
}

} // namespace
} // namespace vx4::uitest
