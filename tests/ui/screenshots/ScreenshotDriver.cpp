#include "ScreenshotDriver.h"

#include "ui/dialogs/About.h"
#include "ui/views/ConfigTree.h"
#include "ui/main/DeviceOperations.h"
#include "ui/dialogs/Gigeshow.h"
#include "ui/main/ManualOperation.h"
#include "ui/views/PolledValuesPages.h"
#include "ui/dialogs/Setportdlg.h"
#include "ui/main/PollingCycle.h"
#include "ui/dialogs/Syseventdlg.h"
#include "ui/reports/TableExport.h"
#include "ui/dialogs/TestConnection.h"
#include "ui/monitors/Unit_vx2_monitor.h"
#include "ui/monitors/Unit_vx3c_monitor.h"
#include "ui/main/Vx4pult_main.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QPixmap>
#include <QProgressBar>
#include <QMimeData>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidgetItemIterator>

#include <cstdio>
#include <functional>
#include <memory>

namespace vx4 {

namespace {

class ScreenshotDriver : public QObject {
public:
    ScreenshotDriver(Tvx4pult_MainForm& form, QString dir, int plotSeconds)
        : QObject(&form), form_(form), dir_(std::move(dir)), plotSeconds_(plotSeconds) {
        QDir().mkpath(dir_);
    }

    void Run() {
        After(1500, [this] {
            Save("1-stopped.png");
            form_.StartItem().trigger();
            WaitRunning(0);
        });
    }

private:
    void After(int ms, std::function<void()> step) { QTimer::singleShot(ms, this, std::move(step)); }

    void Save(const char* name) {
        const QString path = dir_ + "/" + name;
        const bool ok = form_.grab().save(path);
        std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
        std::fflush(stdout);
    }

    void Fail(const char* what) {
        std::printf("FAILED %s\n", what);
        std::fflush(stdout);
        Save("error.png");
        QApplication::exit(2);
    }

    void WaitRunning(int waitedMs) {
        if (!loadingSaved_ && form_.ProgressBar().isVisible()) {
            loadingSaved_ = true;
            Save("1b-loading.png");
        }
        if (form_.PollStateValue() == psRunning && form_.Tree().Root() != nullptr) {
            After(1000, [this] { SelectRoot(); });
            return;
        }
        if (waitedMs > 120000) return Fail("the configuration was not read within 120 s");
        After(200, [this, waitedMs] { WaitRunning(waitedMs + 200); });
    }

    void SelectRoot() {
        ConfigTree& tree = form_.Tree();
        tree.setCurrentItem(tree.Root());
        After(2000, [this] {
            Save("2-device.png");
            ShowCalcGroup();
        });
    }

    void ShowCalcGroup() {
        ConfigTree& tree = form_.Tree();
        QTreeWidgetItem* root = tree.Root();
        QTreeWidgetItem* group = nullptr;
        for (int i = 0; root && i < root->childCount() && !group; ++i) {
            QTreeWidgetItem* system = root->child(i);
            auto data = ConfigTree::DataOf(system);
            if (!data || data->kind != nkSystem) continue;
            for (int j = 0; j < system->childCount(); ++j) {
                auto d = ConfigTree::DataOf(system->child(j));
                if (d && d->kind == nkCalcGroup) {
                    system->setExpanded(true);
                    group = system->child(j);
                    break;
                }
            }
        }
        if (!group) return Fail("no system with calculated values");
        group->setExpanded(true);
        tree.setCurrentItem(group);
        tree.scrollToItem(group);
        After(3000, [this, group] {
            Save("3-calc-group.png");
            PlotValues(group);
        });
    }

    // Three calculated values dropped onto the chart list, plotted and tabulated for a
    // minute (or the seconds asked for), then the table exported into the folder (the
    // workbook is not opened).
    void PlotValues(QTreeWidgetItem* group) {
        ConfigTree& tree = form_.Tree();
        TPolledValuesPages& pages = form_.Values();
        for (int i = 0, dropped = 0; i < group->childCount() && dropped < 3; ++i) {
            QTreeWidgetItem* node = group->child(i);
            tree.setCurrentItem(node);
            std::unique_ptr<QMimeData> mime(tree.model()->mimeData({tree.indexFromItem(node)}));
            if (pages.DragDrop(&tree, mime.get(), &pages.List(), QPoint(-1, -1))) ++dropped;
        }
        if (pages.EntryCount() == 0) return Fail("no calculated value could be dropped onto the chart list");
        pages.setCurrentIndex(0);
        After(plotSeconds_ * 1000, [this] {
            TPolledValuesPages& pages = form_.Values();
            Save("5-chart.png");
            pages.setCurrentIndex(1);
            After(500, [this] {
                Save("6-table.png");
                TPolledValuesPages& pages = form_.Values();
                SetWorkbookOpener([](const QString&) { return true; });
                pages.SetExportFolder(dir_);
                pages.ExcelButton().trigger();
                std::printf("%s %s\n", pages.LastExport().isEmpty() ? "FAILED export" : "exported",
                            qPrintable(pages.LastExport()));
                std::fflush(stdout);
                SetWorkbookOpener({});
                pages.setCurrentIndex(0);
                ShowPortDialog();
            });
        });
    }

    // Grabs a window of its own (not the main window) under name.
    void SaveWindow(QWidget& window, const char* name) {
        const QString path = dir_ + "/" + name;
        const bool ok = window.grab().save(path);
        std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
        std::fflush(stdout);
    }

    // The connection settings dialog with its port tree shown (polling stopped, as the
    // item is disabled while it runs).
    void ShowPortDialog() {
        form_.StopItem().trigger();
        TSetPortDlg& dlg = form_.SetPortDlg();
        dlg.Prepare(form_.Conn());
        if (!dlg.TreeShown()) dlg.OpenPortsTreeViewExecute();
        dlg.move(form_.pos() + QPoint(120, 80));
        dlg.show();
        After(800, [this] {
            TSetPortDlg& d = form_.SetPortDlg();
            SaveWindow(d, "10-port-dialog.png");
            d.hide();
            d.OpenPortsTreeViewExecute();
            ShowGraduation();
        });
    }

    // The graduation viewer for the transducer the tree's dev1 constant names.
    void ShowGraduation() {
        ConfigTree& tree = form_.Tree();
        std::int32_t no = 0;
        for (QTreeWidgetItemIterator it(&tree); *it != nullptr && no == 0; ++it)
            no = Tvx4pult_MainForm::TransducerNumberOf((*it)->text(0));
        if (no == 0) return Fail("no transducer number in the tree");
        TGIGEShowForm& view = form_.GIGEShowForm();
        view.Prepare(form_.Device(), no);
        view.show();
        After(1500, [this] {
            TGIGEShowForm& v = form_.GIGEShowForm();
            SaveWindow(v, "11-graduation.png");
            v.hide();
            ShowAbout();
        });
    }

    void ShowAbout() {
        auto* about = new TAboutBox(&form_);
        about->setAttribute(Qt::WA_DeleteOnClose);
        about->show();
        After(500, [this, about] {
            const QString path = dir_ + "/4-about.png";
            const bool ok = about->grab().save(path);
            std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
            std::fflush(stdout);
            about->close();
            ShowSysEvents();
        });
    }

    // Runs act once window is visible (act runs inside the modal loop that shows it).
    void WhenVisible(QWidget* window, std::function<void()> act, int waitedMs = 0) {
        if (window->isVisible()) return act();
        if (waitedMs > 60000) return Fail("a window did not show within 60 s");
        After(50, [this, window, act, waitedMs] { WhenVisible(window, act, waitedMs + 50); });
    }

    // The whole screen: a modal window over the main window.
    void SaveScreen(const char* name) {
        const QString path = dir_ + "/" + name;
        const bool ok = QGuiApplication::primaryScreen()->grabWindow(0).save(path);
        std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
        std::fflush(stdout);
    }

    void ShowSysEvents() {
        TSysEventForm& events = form_.SysEventForm();
        WhenVisible(&events, [this, &events] {
            After(800, [this, &events] {
                SaveScreen("7-sysevents.png");
                events.N3Click();
                After(500, [this] { ShowLinkTest(); });
            });
        });
        After(0, [this] { form_.DeviceOperations().SysEventClick(); });
    }

    void ShowLinkTest() {
        TTestConnForm& test = form_.TestConnForm();
        WhenVisible(&test, [this, &test] {
            After(300, [this, &test] {
                test.B_StartClick();
                After(3000, [this, &test] {
                    SaveScreen("8-linktest.png");
                    test.B_StartClick();
                    test.B_ExitClick();
                    After(500, [this] { ShowDownload(); });
                });
            });
        });
        After(0, [this] { form_.DeviceOperations().TestConnectClick(); });
    }

    // A download of the hourly archive, pictured while its progress window shows (the
    // screenshot script slows the simulator's answers so that it does).
    void ShowDownload() {
        const QString path = dir_ + "/hour.dat";
        auto shown = std::make_shared<bool>(false);
        connect(&form_.Operations(), &ManualOperation::progressWindowShown, this, [this, shown](QWidget*) {
            if (*shown) return;
            *shown = true;
            After(700, [this] { SaveScreen("9-download.png"); });
        });
        After(0, [this, path, shown] {
            form_.DeviceOperations().DownloadTo(path);
            QFile::remove(path);
            if (!*shown) std::printf("the download ended before its progress window showed\n");
            After(300, [] { QApplication::exit(0); });
        });
    }

public:
    // The frame monitor sequence (VX4PULT_SCREENSHOT_MONITOR=vx3c or vx2): opens the monitor
    // from the File menu, starts the capture, and saves it decoded and then plain.
    void RunMonitor(const QString& kind) {
        monitorKind_ = kind;
        After(1500, [this] {
            After(500, [this] { WaitMonitor(0); });
            if (monitorKind_ == "vx2") form_.vx2Click();
            else form_.vx3c1Click();
        });
    }

private:
    TFrameMonitorForm* Monitor() const {
        if (monitorKind_ == "vx2") return form_.Vx2Monitor();
        return form_.Vx3cMonitor();
    }

    void SaveWidget(QWidget* w, const QString& name) {
        const QString path = dir_ + "/" + name;
        const bool ok = w->grab().save(path);
        std::printf("%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
        std::fflush(stdout);
    }

    void WaitMonitor(int waitedMs) {
        TFrameMonitorForm* m = Monitor();
        if (m == nullptr || !m->isVisible()) {
            if (waitedMs > 20000) return Fail("the monitor did not open");
            After(200, [this, waitedMs] { WaitMonitor(waitedMs + 200); });
            return;
        }
        SaveWidget(m, monitorKind_ + "-1-stopped.png");
        m->ToolButtonStop->click();
        After(5000, [this] {
            TFrameMonitorForm* m = Monitor();
            SaveWidget(m, monitorKind_ + "-2-decoded.png");
            m->ToolButtonStyle->click();
            After(5000, [this] {
                TFrameMonitorForm* m = Monitor();
                SaveWidget(m, monitorKind_ + "-3-plain.png");
                if (auto* vx2 = form_.Vx2Monitor(); vx2 != nullptr && monitorKind_ == "vx2") {
                    vx2->ToolButtonStyle->click();
                    vx2->ToolButtonShowType->click(); // "Запр.": requests only
                    After(5000, [this] {
                        SaveWidget(Monitor(), monitorKind_ + "-4-requests.png");
                        Finish();
                    });
                    return;
                }
                Finish();
            });
        });
    }

    void Finish() {
        Monitor()->close();
        After(500, [] { QApplication::exit(0); });
    }

    Tvx4pult_MainForm& form_;
    QString dir_;
    int plotSeconds_ = 60;
    bool loadingSaved_ = false;
    QString monitorKind_;
};

} // namespace

void StartScreenshotDriver(Tvx4pult_MainForm& form, const QString& dir, const QString& monitor, int plotSeconds) {
    auto* driver = new ScreenshotDriver(form, dir, plotSeconds);
    if (!monitor.isEmpty())
        driver->RunMonitor(monitor);
    else
        driver->Run();
}

} // namespace vx4
