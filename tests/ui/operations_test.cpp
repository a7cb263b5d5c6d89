// The one-shot device operations of the main window against the simulator over loopback:
// the frame around them (what they leave open, paused and enabled, a failed opening,
// Cancel), the clock bytes, downloads, the system events window and the link test window.
#include "mainwindow_fixture.h"

#include "common/SystemEventsText.h"
#include "device/Vx4obj.h"
#include "link/Frames.h"
#include "link/ResultCodes.h"
#include "platform/Cp1251.h"
#include "ui/dialogs/SaveDialog.h"
#include "ui/dialogs/Syseventdlg.h"
#include "ui/dialogs/TestConnection.h"
#include "ui/main/DeviceOperations.h"
#include "ui/main/ManualOperation.h"
#include "ui/views/ParamEditor.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <fstream>
#include <iterator>
#include <thread>

namespace vx4::uitest {
namespace {

using vx4sim::HookResult;

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Operations : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        SetSaveDialogHook([this](const SaveDialogOptions& o) {
            dialogs.push_back(o);
            return nextPath;
        });
    }
    void TearDown() override {
        SetSaveDialogHook({});
        MainWindowTest::TearDown();
    }

    // Runs act once the window is visible (from inside whatever modal loop shows it).
    void WhenShown(QWidget* window, std::function<void()> act) {
        auto* timer = new QTimer(form.get());
        timer->setInterval(20);
        QObject::connect(timer, &QTimer::timeout, timer, [timer, window, act] {
            if (!window->isVisible()) return;
            timer->stop();
            timer->deleteLater();
            act();
        });
        timer->start();
    }

    // Requests the simulator received with this command, in order.
    std::vector<std::vector<std::uint8_t>> RequestsOf(std::uint8_t command) {
        std::vector<std::vector<std::uint8_t>> found;
        for (const auto& r : sim->Requests())
            if (r.size() > 6 && r[6] == command) found.push_back(r);
        return found;
    }

    TDeviceOperations& Ops() { return form->DeviceOperations(); }

    std::vector<SaveDialogOptions> dialogs;
    QString nextPath;
};

TEST_F(Operations, ClockSettingSendsTheLocalTimeAsBcd) {
    StartSimulator();
    CreateForm();
    Ops().SetLocalTimeSource([] {
        std::tm t{};
        t.tm_year = 2024 - 1900;
        t.tm_mon = 2;
        t.tm_mday = 5;
        t.tm_hour = 7;
        t.tm_min = 8;
        t.tm_sec = 9;
        return t;
    });
    Ops().SyncTimeClick();
    std::vector<std::vector<std::uint8_t>> sets;
    ASSERT_TRUE(TickUntil([&] { return !(sets = RequestsOf(0x03)).empty(); }, 5000));
    ASSERT_EQ(sets.size(), 1u);
    const std::vector<std::uint8_t> data(sets[0].begin() + 7, sets[0].begin() + 13);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0x05, 0x03, 0x24, 0x07, 0x08, 0x09}));
    EXPECT_FALSE(form->Conn().IsOpen()); // opened for the operation only
    EXPECT_TRUE(form->PollingPaused());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Operations, DownloadAsksForTheBaseNameAndWritesTheFile) {
    StartSimulator();
    CreateForm();
    std::filesystem::create_directories(dir / "sub");
    nextPath = QString::fromStdString((dir / "sub" / "main.xmc").string());
    Ops().LoadFromVX4Click();

    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].filters, TDeviceOperations::DownloadFilters());
    EXPECT_EQ(dialogs[0].filters.front(), QStringLiteral("БД (Hour Month Day Year Event) (*.dat)"));
    EXPECT_EQ(dialogs[0].filters.back(), QStringLiteral("настройки (*.def) (*.def)"));
    EXPECT_EQ(dialogs[0].defaultSuffix, QStringLiteral("dat"));
    const auto opens = RequestsOf(0x05);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(std::string(opens[0].begin() + 8, opens[0].end() - 2), "main.xmc");
    EXPECT_EQ(ReadBytes(dir / "sub" / "main.xmc"), sim->FileContents("main.xmc").value());
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(form->Conn().IsOpen());
    EXPECT_TRUE(form->ProgressBar().isHidden());
    // Nothing but the file is left in the folder.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "sub"), {}), 1);
}

TEST_F(Operations, FailedDownloadsLeaveNoFile) {
    StartSimulator();
    CreateForm();
    struct Case {
        std::filesystem::path path;
        QString box;  // prefix of the message
        bool traffic; // whether the device was asked at all
    };
    const Case cases[] = {
        {dir / "nosuch.dat", QStringLiteral("VX-4: не удается открать файл"), true}, // 248
        {dir / "missing" / "main.xmc", QStringLiteral("Не удается создать файл"), false},
    };
    for (const Case& c : cases) {
        boxes.clear();
        sim->ClearRequests();
        Ops().DownloadTo(QString::fromStdString(c.path.string()));
        ASSERT_EQ(boxes.size(), 1u) << c.path;
        EXPECT_TRUE(boxes[0].startsWith(c.box)) << boxes[0].toStdString();
        EXPECT_FALSE(std::filesystem::exists(c.path)) << c.path;
        EXPECT_EQ(!sim->Requests().empty(), c.traffic) << c.path;
        EXPECT_FALSE(form->Conn().IsOpen());
    }
    // Only the two box texts above: the failed download shows its own text once.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3); // ini and two banks
}

TEST_F(Operations, CancelledDownloadLeavesNoFileAndTheLinkAsItWas) {
    StartSimulator();
    CreateForm();
    // Slow blocks, so that the progress window shows and Cancel comes between blocks.
    sim->SetHook([](const std::vector<std::uint8_t>& r) {
        if (r.size() > 6 && r[6] == 0x06) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return HookResult{};
    });
    int windows = 0;
    QObject::connect(&form->Operations(), &ManualOperation::progressWindowShown, [&](QWidget* w) {
        ++windows;
        auto* cancel = w->findChild<QPushButton*>("OperationCancel");
        ASSERT_NE(cancel, nullptr);
        EXPECT_NE(w->findChild<QProgressBar*>("OperationProgress"), nullptr);
        QTimer::singleShot(100, cancel, [cancel] { cancel->click(); });
    });

    for (bool polling : {false, true}) {
        if (polling) {
            ASSERT_TRUE(StartAndWaitRunning());
        }
        const auto folder = dir / (polling ? "polling" : "stopped");
        std::filesystem::create_directories(folder);
        const auto path = folder / "hour.dat";
        sim->ClearRequests();
        Ops().DownloadTo(QString::fromStdString(path.string()));
        EXPECT_FALSE(std::filesystem::exists(path));
        EXPECT_TRUE(boxes.empty()); // a cancelled download is no failure
        EXPECT_EQ(form->Conn().IsOpen(), polling);
        EXPECT_EQ(form->PollingPaused(), !polling);
        // Stopped between blocks: far fewer block requests than the file has blocks.
        EXPECT_LT(RequestsOf(0x06).size(), 60u);
        if (polling) {
            EXPECT_TRUE(form->Device().EnablePolling(true)); // switched on again
        }
    }
    EXPECT_EQ(windows, 2);
}

TEST_F(Operations, SearchWhilePollingKeepsTheLinkOpenAndPollingOn) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    Ops().N91Click();
    EXPECT_TRUE(form->Conn().IsOpen());
    EXPECT_FALSE(form->PollingPaused());
    EXPECT_TRUE(form->Device().EnablePolling(true));
    EXPECT_EQ(form->DevNo(), sim->Serial());
    EXPECT_EQ(form->windowTitle(),
              QStringLiteral("Удаленный пульт управления VX-4 №") + QString::number(sim->Serial()));
    form->Polling().Timer1Timer();
    EXPECT_EQ(form->PollStateValue(), psRunning); // the display goes on where it was

    // Stopped: the search leaves the link closed again.
    form->StopItem().trigger();
    Ops().N91Click();
    EXPECT_FALSE(form->Conn().IsOpen());
    EXPECT_TRUE(form->PollingPaused());
    EXPECT_EQ(form->DevNo(), sim->Serial());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Operations, SilentOrUnreachableDevice) {
    StartSimulator();
    CreateForm();
    sim->SetHook([](const std::vector<std::uint8_t>&) { return HookResult{HookResult::Silent, {}}; });
    const QString title = form->windowTitle();
    Ops().N91Click(); // nothing answers: nothing changes, no message
    EXPECT_EQ(form->windowTitle(), title);
    EXPECT_TRUE(boxes.empty());
    Ops().TestRTCClick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], QStringLiteral("VX-4 недоступен"));

    // A link that cannot be opened: the operation still runs (its exchanges fail at once)
    // and the counted opening is closed again.
    sim.reset();
    boxes.clear();
    form->Conn().SetSettings([&] {
        ConnectionSettings s = form->Conn().Settings();
        s.TCPIPport = "1"; // nothing listens there
        return s;
    }());
    Ops().TestRTCClick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], QStringLiteral("VX-4 недоступен"));
    EXPECT_FALSE(form->Conn().IsOpen());
    EXPECT_FALSE(form->Operations().Busy());
}

TEST_F(Operations, FrameStepsPerKind) {
    StartSimulator();
    CreateForm();
    struct Case {
        FrameKind kind;
        bool pausedDuring;  // with polling running before
        bool pollingDuring; // the device object's polling
    };
    const Case cases[] = {
        {FrameKind::Full, true, false},     {FrameKind::Light, true, true},
        {FrameKind::LinkOnly, false, true}, {FrameKind::Monitor, true, false},
        {FrameKind::PauseOnly, true, true},
    };
    ASSERT_TRUE(StartAndWaitRunning());
    for (const Case& c : cases) {
        bool paused = false, polling = false, open = false;
        OperationOptions options;
        options.kind = c.kind;
        form->Operations().Run(options, [&](OperationContext&) {
            polling = form->Device().EnablePolling(false);
            form->Device().EnablePolling(polling);
            open = form->Conn().IsOpen();
            return 0;
        });
        // pollingPaused belongs to the window's thread: looked at from there while busy.
        form->Operations().RunAround(options, [&] { paused = form->PollingPaused(); });
        EXPECT_EQ(paused, c.pausedDuring) << int(c.kind);
        EXPECT_EQ(polling, c.pollingDuring) << int(c.kind);
        EXPECT_TRUE(open);
        EXPECT_FALSE(form->PollingPaused()) << int(c.kind);
        EXPECT_TRUE(form->Conn().IsOpen());
        EXPECT_TRUE(form->Device().EnablePolling(true)) << int(c.kind);
    }
    // With polling stopped the link is closed: each frame but the pause-only one opens it for
    // the work and closes it again afterwards.
    form->StopItem().trigger();
    ASSERT_TRUE(TickUntil([&] { return !form->Conn().IsOpen(); }, 5000));
    for (const Case& c : cases) {
        bool open = false;
        OperationOptions options;
        options.kind = c.kind;
        form->Operations().Run(options, [&](OperationContext&) {
            open = form->Conn().IsOpen();
            return 0;
        });
        EXPECT_EQ(open, c.kind != FrameKind::PauseOnly) << int(c.kind);
        EXPECT_FALSE(form->Conn().IsOpen()) << int(c.kind);
    }
    // A second operation is refused while one runs.
    int inner = 0;
    form->Operations().RunAround({}, [&] { inner = form->Operations().Run({}, [](OperationContext&) { return 5; }); });
    EXPECT_EQ(inner, -1);
}

TEST_F(Operations, EditorWriteReadsAndWritesInOneOperation) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    const std::uint16_t id = ItemNamed("Адрес");
    ASSERT_NE(id, 0);
    form->Tree().setCurrentItem(form->Tree().FindNodeById(nullptr, id));
    ParamEditor& editor = form->Editor();
    ASSERT_EQ(editor.rowCount(), 1);
    int operations = 0;
    bool pausedDuring = false;
    QObject::connect(&form->Operations(), &ManualOperation::busyChanged, [&](bool busy) {
        if (busy) {
            ++operations;
            pausedDuring = form->PollingPaused();
        }
    });
    sim->ClearRequests();
    editor.setCurrentCell(0, 1);
    editor.SetRow(editor.KeyAt(0), QStringLiteral("7"));
    editor.ValueListEditor1KeyDown(13);
    EXPECT_EQ(operations, 1);
    EXPECT_TRUE(pausedDuring);
    EXPECT_FALSE(form->PollingPaused());
    EXPECT_EQ(sim->ConstValue(id).value_or(-1), 7.0f);
    EXPECT_FALSE(RequestsOf(0x25).empty());
    EXPECT_EQ(editor.WriteError(), 0);
}

TEST_F(Operations, SystemEventsAreListedAndSaved) {
    StartSimulator();
    CreateForm();
    const std::string text32(32, 'Z');
    struct Case {
        std::vector<vx4sim::SystemEvent> events;
        int rows;
    };
    std::vector<vx4sim::SystemEvent> endless(600, vx4sim::SystemEvent{9, 1, 2, 3, "x"});
    const Case cases[] = {
        {{{3, 257, 1765180800, 1, "Включение питания"}, {5, 516, 4000000000u, 2, text32}, {2, 49, 7, 1, ""}}, 3},
        {endless, 513},
        {{}, 0},
    };
    // The simulator ends its texts at a zero; the device may fill all 32 bytes.
    sim->SetHook([this, text32](const std::vector<std::uint8_t>& r) {
        if (r.size() < 7 || r[6] != 0x04) return HookResult{};
        auto answer = sim->Answer(r); // takes the event: always answered from here
        if (!answer) return HookResult{HookResult::Silent, {}};
        if (answer->size() == 7 + 48 + 2 && (*answer)[7] == 5) {
            std::copy(text32.begin(), text32.end(), answer->begin() + 7 + 16);
            FillCheckBytes(answer->data(), Vx3cCovered(48));
        }
        return HookResult{HookResult::Replace, *answer};
    });
    TSysEventForm& events = form->SysEventForm();
    for (const Case& c : cases) {
        sim->SetSystemEvents(c.events);
        bool pausedInside = false;
        WhenShown(&events, [&] {
            pausedInside = form->PollingPaused();
            events.N3Click();
        });
        Ops().SysEventClick();
        QTableWidget* grid = events.Grid();
        ASSERT_EQ(grid->rowCount(), c.rows);
        EXPECT_TRUE(pausedInside); // left alone: it was paused
        EXPECT_FALSE(form->Conn().IsOpen());
        EXPECT_TRUE(form->ProgressBar().isHidden());
        if (c.rows == 3) {
            EXPECT_EQ(grid->item(0, 4)->text(), QStringLiteral("Включение питания"));
            EXPECT_EQ(grid->item(1, 2)->text(), QStringLiteral("4000000000"));
            EXPECT_EQ(grid->item(1, 4)->text(), QString::fromStdString(text32)); // whole, nothing after
        }
    }
    EXPECT_EQ(events.Grid()->horizontalHeaderItem(4)->text(), QStringLiteral("Текст сообщения"));

    // Saving: the proposed name, the bytes, and an unwritable file.
    sim->SetSystemEvents({{3, 257, 1765180800, 1, "Включение питания"}});
    WhenShown(&events, [&] {
        nextPath = QString::fromStdString((dir / "events.txt").string());
        events.N2Click();
        nextPath = QString::fromStdString((dir / "missing" / "events.txt").string());
        events.N2Click();
        events.N3Click();
    });
    Ops().SysEventClick();
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[0].proposedName, QStringLiteral("VX4_%1_events.txt").arg(sim->Serial()));
    EXPECT_EQ(dialogs[0].defaultSuffix, QStringLiteral("txt"));
    const std::string expected = "TaskID\tEvCode\tTStamp\tEvCnt\t" + Utf8ToCp1251("Текст сообщения") + "\t\r\n" +
                                 "3\t257\t1765180800\t1\t" + Utf8ToCp1251("Включение питания") + "\t\r\n";
    const auto bytes = ReadBytes(dir / "events.txt");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("Не удается записать файл"))) << boxes[0].toStdString();
}

TEST(TestConnCountersTest, ClassesAndTheRingAfterTwelveTests) {
    const std::pair<int, int> classes[] = {{0, 0},    {1016, 1}, {1013, 2}, {1017, 3}, {1015, 4},
                                           {1014, 5}, {1, 6},    {253, 6},  {1003, 6}};
    for (auto [result, cls] : classes) EXPECT_EQ(TestConnCounters::ClassOf(result), cls) << result;

    TestConnCounters c;
    EXPECT_EQ(c.StatusText(), "C:0  E:0 (0.00%): 0 0 0 0 0 0 0 0 0 0");
    const int results[12] = {1016, 1013, 1017, 1015, 1014, 1, 0, 1016, 1013, 1017, 1015, 1014};
    for (int rc : results) c.Record(rc);
    // Entries 0 and 1 hold tests 11 and 12, entries 2..9 tests 3..10.
    EXPECT_EQ(c.StatusText(), "C:12  E:11 (91.67%): 4 5 3 4 5 6 0 1 2 3");
    EXPECT_EQ(c.CountText(1), "2");
    EXPECT_EQ(c.ShareText(1), "16.67%");
    EXPECT_EQ(c.ShareText(6), "8.33%");
}

class LinkTest : public Operations {
protected:
    TTestConnForm& Window() { return form->TestConnForm(); }
    void Prepare() {
        StartSimulator();
        CreateForm();
        form->Conn().SetDeviceNumber(sim->Serial());
        ASSERT_EQ(form->Conn().Open(), 0);
        Window().SetDeviceNumber(sim->Serial());
    }
};

TEST_F(LinkTest, SilentDeviceCountsTimeouts) {
    Prepare();
    sim->SetHook([](const std::vector<std::uint8_t>&) { return HookResult{HookResult::Silent, {}}; });
    for (int i = 0; i < 4; ++i) Window().RunOneTest();
    Window().RefreshLabels();
    EXPECT_EQ(Window().StatusLabel()->text(), QStringLiteral("C:4  E:4 (100.00%): 1 1 1 1 0 0 0 0 0 0"));
    EXPECT_EQ(Window().CountLabel(1)->text(), QStringLiteral("4"));
    EXPECT_EQ(Window().ShareLabel(1)->text(), QStringLiteral("100.00%"));
    EXPECT_EQ(Window().CountLabel(2)->text(), QStringLiteral("0"));
}

TEST_F(LinkTest, ChangedByteCountsAsClassSixAndEmptyEchoSucceeds) {
    Prepare();
    sim->SetHook([this](const std::vector<std::uint8_t>& r) {
        if (r.size() < 10 || r[6] != 0x08) return HookResult{};
        auto answer = sim->Answer(r);
        if (!answer || answer->size() < 10) return HookResult{};
        (*answer)[7] ^= 0x01; // one data byte changed
        FillCheckBytes(answer->data(), Vx3cCovered(GetU16(answer->data() + 4)));
        return HookResult{HookResult::Replace, *answer};
    });
    Window().RunOneTest();
    Window().Slider()->setValue(0); // no data: nothing to change
    EXPECT_EQ(Window().BufferLabel()->text(), QStringLiteral("Буфер: 0 byte"));
    Window().RunOneTest();
    const TestConnCounters c = Window().Published();
    EXPECT_EQ(c.tests, 2u);
    EXPECT_EQ(c.errors, 1u);
    EXPECT_EQ(c.byClass[5], 1u);
    EXPECT_EQ(c.StatusText(), "C:2  E:1 (50.00%): 6 0 0 0 0 0 0 0 0 0");
}

TEST_F(LinkTest, ThreadRunsWhileStartedAndEndsWhenClosed) {
    Prepare();
    TTestConnForm& w = Window();
    EXPECT_EQ(w.BufferLabel()->text(), QStringLiteral("Буфер: 1015  byte"));
    w.open();
    ASSERT_TRUE(TickUntil([&] { return w.Running(); }, 5000));
    EXPECT_TRUE(w.Paused());
    EXPECT_EQ(w.StartButton()->text(), QStringLiteral("Пуск"));
    w.B_StartClick();
    EXPECT_EQ(w.StartButton()->text(), QStringLiteral("Стоп"));
    ASSERT_TRUE(TickUntil([&] { return w.Published().tests >= 3; }, 10000));
    w.B_StartClick(); // paused: counters kept
    const std::uint32_t tests = w.Published().tests;
    QTest::qWait(200);
    EXPECT_LE(w.Published().tests, tests + 1); // at most the one in progress
    w.B_StartClick();
    ASSERT_TRUE(TickUntil([&] { return w.Published().tests > tests + 1; }, 10000));
    QTest::qWait(100);
    EXPECT_TRUE(w.StatusLabel()->text().startsWith(QStringLiteral("C:"))); // labels follow on this thread
    EXPECT_EQ(w.CountLabel(1)->text(), QStringLiteral("0"));
    w.B_ExitClick();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Running()); // ended within the close wait

    // A new showing starts from zero.
    w.open();
    EXPECT_EQ(w.StatusLabel()->text(), QStringLiteral("C: 0         E:0          (0.00%): 0 0 0 0 0 0 0 0 0 0"));
    EXPECT_EQ(w.Published().tests, 0u);
    w.reject();
    EXPECT_FALSE(w.Running());
}

TEST_F(LinkTest, ActivationWhileTheCloseWaitsStartsNoSecondThread) {
    Prepare();
    TTestConnForm& w = Window();
    w.open();
    ASSERT_TRUE(TickUntil([&] { return w.Running(); }, 5000));
    // The close keeps the window's events going while it waits for the thread; an activation
    // delivered then must not start a thread of its own over the one being stopped.
    QTimer::singleShot(0, &w, [&w] { w.FormActivate(); });
    w.B_ExitClick();
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Running());
    w.open();
    ASSERT_TRUE(TickUntil([&] { return w.Running(); }, 5000)) << "the next showing gets its thread";
    w.reject();
    EXPECT_FALSE(w.Running());
}

TEST_F(Operations, LinkTestMenuOpensTheLinkAroundTheWindow) {
    StartSimulator();
    CreateForm();
    bool openInside = false, pausedInside = false;
    WhenShown(&form->TestConnForm(), [&] {
        openInside = form->Conn().IsOpen();
        pausedInside = form->PollingPaused();
        form->TestConnForm().B_ExitClick();
    });
    Ops().TestConnectClick();
    EXPECT_TRUE(openInside);
    EXPECT_TRUE(pausedInside);
    EXPECT_FALSE(form->Conn().IsOpen());
    EXPECT_FALSE(form->Operations().Busy());
}

} // namespace
} // namespace vx4::uitest
