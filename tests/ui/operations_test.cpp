// The one-shot device operations of the main window against the simulator over loopback:
// the frame around them (what they leave open, paused and enabled, a failed opening,
// Cancel), the clock bytes, downloads, the system events window and the link test window.
#include "mainwindow_fixture.h"
#include "queued_input.h"

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
#include "ui/main/StopSignalWatcher.h"
#include "ui/views/ParamEditor.h"

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include <sys/mount.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <atomic>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
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

TEST_F(Operations, LocalFailuresOfADownloadShowTheSystemsText) {
    StartSimulator();
    CreateForm();
    const auto path = dir / "hour.dat";
    // Files may not grow past 2 KiB for a moment: the write fails with EFBIG.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldAction = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{2048, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Ops().DownloadTo(QString::fromStdString(path.string()));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldAction);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], QStringLiteral("Не удается записать файл %1\n%2")
                            .arg(QString::fromStdString(path.string()), QString::fromLocal8Bit(std::strerror(EFBIG))));
    EXPECT_FALSE(std::filesystem::exists(path));

    // A disk with less room than the file: refused before the first block.
    const auto small64k = dir / "small";
    std::filesystem::create_directories(small64k);
    if (::mount("tmpfs", small64k.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "mounting needs root";
    sim->SetFile("big.dat", std::vector<std::uint8_t>(100000, 0x41));
    boxes.clear();
    sim->ClearRequests();
    Ops().DownloadTo(QString::fromStdString((small64k / "big.dat").string()));
    EXPECT_TRUE(RequestsOf(0x06).empty());
    ::umount2(small64k.c_str(), MNT_DETACH);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].contains(QStringLiteral("Размер файла: 100000 байт, свободно: 65536 байт")))
        << boxes[0].toStdString();
}

TEST_F(Operations, AStopSignalDuringADownloadRemovesTheFileAndClosesTheWindow) {
    StartSimulator();
    CreateForm();
    sim->SetHook([](const std::vector<std::uint8_t>& r) {
        if (r.size() > 6 && r[6] == 0x06) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return HookResult{};
    });
    StopSignalWatcher watcher(form->Operations());
    form->show();
    const auto path = dir / "hour.dat";
    std::size_t blocksAtSignal = 0;
    // The signal comes once a few blocks are in.
    auto* timer = new QTimer(form.get());
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [&, timer] {
        if (RequestsOf(0x06).size() < 3) return;
        timer->stop();
        blocksAtSignal = RequestsOf(0x06).size();
        std::raise(SIGTERM);
    });
    timer->start();
    Ops().DownloadTo(QString::fromStdString(path.string()));
    QApplication::processEvents(); // the closing, queued once the download had returned
    EXPECT_GT(blocksAtSignal, 0u);
    EXPECT_EQ(watcher.Signal(), SIGTERM);
    EXPECT_LT(RequestsOf(0x06).size(), 60u);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3); // ini and two banks
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(form->isVisible());
}

TEST_F(Operations, AStopSignalClosesTheWindowAnOperationShows) {
    StartSimulator();
    CreateForm();
    StopSignalWatcher watcher(form->Operations());
    form->show();
    bool closedBySignal = false;
    OperationOptions options;
    options.caption = QStringLiteral("Монитор");
    options.kind = FrameKind::Monitor;
    form->Operations().RunAround(options, [&] {
        QDialog shown(form.get());
        shown.setModal(true);
        QTimer::singleShot(50, [] { std::raise(SIGHUP); });
        // A stop that never comes ends the wait all the same, as a failure.
        QTimer::singleShot(5000, &shown, [&shown] { shown.done(2); });
        closedBySignal = shown.exec() == QDialog::Rejected;
    });
    QApplication::processEvents();
    EXPECT_TRUE(closedBySignal);
    EXPECT_EQ(watcher.Signal(), SIGHUP);
    EXPECT_FALSE(form->Operations().Busy());
    EXPECT_FALSE(form->isVisible());
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

TEST_F(Operations, CancelledSearchChangesNothingEvenWhenADeviceAnswersLate) {
    StartSimulator();
    WritePrivateProfileString("CONNECTION", "dev_nom", "77", ini);
    // Each try waits long enough that Cancel, however late the progress window shows on a
    // busy machine, comes during the first one (it is seen at once, so the test is no longer).
    WritePrivateProfileString("CONNECTION", "AuxTmout", "8000", ini);
    CreateForm();
    ASSERT_EQ(form->DevNo(), 77u);
    const QString title = form->windowTitle();
    const std::uint32_t objectNumber = form->Device().DeviceNumber();
    // The identify is held until the test lets it go: answered after Cancel, or never.
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto silent = std::make_shared<std::atomic<bool>>(false);
    auto arrived = std::make_shared<std::atomic<bool>>(false);
    sim->SetHook([release, silent, arrived](const std::vector<std::uint8_t>& r) {
        if (r.size() < 7 || r[6] != 0x01) return HookResult{};
        *arrived = true;
        if (*silent) return HookResult{HookResult::Silent, {}};
        for (int i = 0; i < 500 && !*release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return HookResult{};
    });
    // Cancel once the identify has reached the device (the progress window may show before
    // it does on a busy machine).
    QObject::connect(&form->Operations(), &ManualOperation::progressWindowShown, [release, arrived](QWidget* w) {
        auto* cancel = w->findChild<QPushButton*>("OperationCancel");
        ASSERT_NE(cancel, nullptr);
        for (int i = 0; i < 1000 && !*arrived; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        cancel->click();
        *release = true;
    });
    for (bool quiet : {false, true}) {
        *silent = quiet;
        *release = false;
        *arrived = false;
        sim->ClearRequests();
        Ops().N91Click();
        EXPECT_EQ(form->DevNo(), 77u) << quiet;
        EXPECT_EQ(form->Conn().DeviceNumber(), 77u) << quiet;
        EXPECT_EQ(form->Device().DeviceNumber(), objectNumber) << quiet;
        EXPECT_EQ(form->windowTitle(), title) << quiet;
        EXPECT_TRUE(form->PollingPaused());
        EXPECT_FALSE(form->Conn().IsOpen());
        EXPECT_TRUE(form->Device().EnablePolling(true)) << quiet; // switched on again
        // Cancel is seen after the try in progress: no further tries follow it.
        EXPECT_EQ(RequestsOf(0x01).size(), 1u) << quiet;
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Operations, AnOperationThatThrowsIsReportedAndTheWindowGoesOn) {
    StartSimulator();
    CreateForm();
    ASSERT_TRUE(StartAndWaitRunning());
    OperationOptions options;
    options.caption = QStringLiteral("Проба");
    for (bool standard : {true, false}) {
        boxes.clear();
        const int rc = form->Operations().Run(options, [standard](OperationContext&) -> int {
            if (standard) throw std::runtime_error("нет такого блока");
            throw 42;
        });
        EXPECT_EQ(rc, -1);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("Проба: "))) << boxes[0].toStdString();
        if (standard) {
            EXPECT_TRUE(boxes[0].contains(QStringLiteral("нет такого блока"))) << boxes[0].toStdString();
        }
        // The frame is undone as after any operation.
        EXPECT_FALSE(form->Operations().Busy());
        EXPECT_FALSE(form->PollingPaused());
        EXPECT_TRUE(form->Conn().IsOpen());
        EXPECT_TRUE(form->Device().EnablePolling(true));
    }
    // The window goes on: the next operation runs, and so does polling.
    EXPECT_EQ(form->Operations().Run({}, [](OperationContext&) { return 5; }), 5);
    form->Polling().Timer1Timer();
    EXPECT_EQ(form->PollStateValue(), psRunning);
}

TEST_F(Operations, KeysPressedBeforeTheProgressWindowAreDropped) {
    StartSimulator();
    CreateForm();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    int searches = 0;
    QObject::connect(&form->Operations(), &ManualOperation::busyChanged, [&](bool busy) {
        if (busy) ++searches;
    });
    // The identify waits until F3 has been pressed a second time (within the first 150 ms).
    auto release = std::make_shared<std::atomic<bool>>(false);
    sim->SetHook([release](const std::vector<std::uint8_t>& r) {
        if (r.size() > 6 && r[6] == 0x01)
            for (int i = 0; i < 500 && !*release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return HookResult{};
    });
    QTimer::singleShot(0, form.get(), [&] {
        QueueKeyClick(form->windowHandle(), Qt::Key_F3);
        QTimer::singleShot(30, form.get(), [release] { *release = true; });
    });
    QueueKeyClick(form->windowHandle(), Qt::Key_F3); // the first press starts the search
    ASSERT_TRUE(TickUntil([&] { return searches >= 1 && !form->Operations().Busy(); }, 5000));
    QTest::qWait(300); // whatever was held back would arrive now
    EXPECT_EQ(searches, 1);
    EXPECT_EQ(RequestsOf(0x01).size(), 1u);
    EXPECT_EQ(form->DevNo(), sim->Serial());
}

TEST_F(Operations, FrameStepsPerKind) {
    StartSimulator();
    CreateForm();
    struct Case {
        FrameKind kind;
        bool pausedDuring;  // with polling running before
        bool pollingDuring; // the device object's polling
        bool opensLink;     // with the link closed before
    };
    const Case cases[] = {
        {FrameKind::Full, true, false, true},     {FrameKind::Light, true, true, true},
        {FrameKind::LinkOnly, false, true, true}, {FrameKind::Monitor, true, false, true},
        {FrameKind::PauseOnly, true, true, false},
    };
    // Stopped first: the frame opens the link for the work and closes it again.
    for (const Case& c : cases) {
        bool open = !c.opensLink;
        OperationOptions options;
        options.kind = c.kind;
        form->Operations().Run(options, [&](OperationContext&) {
            open = form->Conn().IsOpen();
            return 0;
        });
        EXPECT_EQ(open, c.opensLink) << int(c.kind);
        EXPECT_FALSE(form->Conn().IsOpen()) << int(c.kind);
        EXPECT_TRUE(form->PollingPaused()) << int(c.kind);
    }
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

    // Enter while another operation holds the frame (its modal loop runs on this thread):
    // the write's exchanges never run here; it is refused and reported as a failed write.
    sim->ClearRequests();
    form->Operations().RunAround({}, [&] {
        editor.setCurrentCell(0, 1);
        editor.SetRow(editor.KeyAt(0), QStringLiteral("9"));
        editor.ValueListEditor1KeyDown(13);
    });
    EXPECT_TRUE(RequestsOf(0x25).empty());
    EXPECT_EQ(sim->ConstValue(id).value_or(-1), 7.0f);
    EXPECT_NE(editor.TakeWriteError(), 0);
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

    // While polling runs the read leaves the display and the shared link as they are.
    ASSERT_TRUE(StartAndWaitRunning());
    sim->SetSystemEvents({{3, 257, 1765180800, 1, "Включение питания"}});
    bool pausedWhilePolling = true;
    WhenShown(&events, [&] {
        pausedWhilePolling = form->PollingPaused();
        events.N3Click();
    });
    Ops().SysEventClick();
    EXPECT_EQ(events.Grid()->rowCount(), 1);
    EXPECT_FALSE(pausedWhilePolling);
    EXPECT_FALSE(form->PollingPaused());
    EXPECT_TRUE(form->Conn().IsOpen());
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

TEST_F(Operations, LinkTestOnALinkThatCannotOpenSaysWhyAndDoesNotSpin) {
    StartSimulator();
    CreateForm();
    form->Conn().SetSettings([&] {
        ConnectionSettings s = form->Conn().Settings();
        s.TCPIPport = "1"; // nothing listens there: the connection is refused
        return s;
    }());
    TTestConnForm& w = form->TestConnForm();
    QString linkText;
    TestConnCounters counted;
    double cpuSeconds = -1;
    WhenShown(&w, [&] {
        linkText = w.LinkLabel()->isVisible() ? w.LinkLabel()->text() : QString();
        w.B_StartClick();
        timespec a{}, b{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
        QTest::qWait(2000);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
        cpuSeconds = double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) / 1e9;
        counted = w.Published();
        w.B_ExitClick();
    });
    Ops().TestConnectClick();
    EXPECT_TRUE(linkText.contains(QStringLiteral("1003"))) << linkText.toStdString();
    // Every echo failed at once and counts as an unknown error; the thread paused between
    // them instead of running a core flat out (which would take about 2 s of CPU time).
    EXPECT_GT(counted.tests, 0u);
    EXPECT_EQ(counted.errors, counted.tests);
    EXPECT_EQ(counted.byClass[5], counted.tests);
    EXPECT_LT(counted.tests, 100u);
    EXPECT_GE(cpuSeconds, 0.0);
    EXPECT_LT(cpuSeconds, 0.4);
    EXPECT_FALSE(form->Conn().IsOpen());

    // A link that opens shows no such line.
    form->Conn().SetSettings([&] {
        ConnectionSettings s = form->Conn().Settings();
        s.TCPIPport = std::to_string(sim->Port());
        return s;
    }());
    bool shown = true;
    WhenShown(&w, [&] {
        shown = w.LinkLabel()->isVisible();
        w.B_ExitClick();
    });
    Ops().TestConnectClick();
    EXPECT_FALSE(shown);
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
