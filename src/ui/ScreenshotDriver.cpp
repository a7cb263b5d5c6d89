#include "ui/ScreenshotDriver.h"

#include "ui/About.h"
#include "ui/ConfigTree.h"
#include "ui/Gigeshow.h"
#include "ui/Setportdlg.h"
#include "ui/PollingCycle.h"
#include "ui/Vx4pult_main.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>
#include <QTreeWidgetItemIterator>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace vx4 {

namespace {

class ScreenshotDriver : public QObject {
public:
    ScreenshotDriver(Tvx4pult_MainForm& form, QString dir) : QObject(&form), form_(form), dir_(std::move(dir)) {
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
        After(3000, [this] {
            Save("3-calc-group.png");
            ShowPortDialog();
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
            SaveWindow(d, "5-port-dialog.png");
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
            SaveWindow(v, "6-graduation.png");
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
            QApplication::exit(0);
        });
    }

    Tvx4pult_MainForm& form_;
    QString dir_;
    bool loadingSaved_ = false;
};

} // namespace

void StartScreenshotDriverFromEnvironment(Tvx4pult_MainForm& form) {
    const char* dir = std::getenv("VX4PULT_SCREENSHOTS");
    if (dir == nullptr || *dir == '\0') return;
    auto* driver = new ScreenshotDriver(form, QString::fromLocal8Bit(dir));
    driver->Run();
}

} // namespace vx4
