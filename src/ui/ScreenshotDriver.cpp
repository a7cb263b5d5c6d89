#include "ui/ScreenshotDriver.h"

#include "ui/About.h"
#include "ui/ConfigTree.h"
#include "ui/PollingCycle.h"
#include "ui/Unit_vx2_monitor.h"
#include "ui/Unit_vx3c_monitor.h"
#include "ui/Vx4pult_main.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>

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
    bool loadingSaved_ = false;
    QString monitorKind_;
};

} // namespace

void StartScreenshotDriverFromEnvironment(Tvx4pult_MainForm& form) {
    const char* dir = std::getenv("VX4PULT_SCREENSHOTS");
    if (dir == nullptr || *dir == '\0') return;
    auto* driver = new ScreenshotDriver(form, QString::fromLocal8Bit(dir));
    const char* monitor = std::getenv("VX4PULT_SCREENSHOT_MONITOR");
    if (monitor != nullptr && *monitor != '\0')
        driver->RunMonitor(QString::fromLocal8Bit(monitor));
    else
        driver->Run();
}

} // namespace vx4
