#include "ui/main/PollingCycle.h"

#include "device/Vx4obj.h"
#include "link/Connection.h"
#include "link/ResultTexts.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/MessageBoxes.h"
#include "ui/main/StatusBar.h"
#include "ui/main/StatusTexts.h"
#include "ui/views/ConfigTree.h"
#include "ui/views/DeviceInfoPanel.h"
#include "ui/views/ParamEditor.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>

namespace vx4 {

TPollingCycle::TPollingCycle(QObject* parent, PollingContext context) : QObject(parent), c_(std::move(context)) {
    timer_.setObjectName("Timer1");
    timer_.setInterval(TickMs);
    connect(&timer_, &QTimer::timeout, this, &TPollingCycle::Timer1Timer);
    stopText_ = QStringLiteral("Стоп");
    lastReadResult_ = std::make_shared<std::atomic<int>>(NoReadResult);
    // Shared, not this: the worker may report after the cycle is gone.
    c_.device.SetWorkerListener([result = lastReadResult_](const SWorkerReport& r) {
        if (r.kind == SWorkerReport::ConfigRead) result->store(r.result);
    });
    timer_.start();
}

QString TPollingCycle::StopReasonText(int code) {
    QString text = QStringLiteral("Стоп — ");
    if (code == 0) return text + QStringLiteral("конфигурация пуста");
    if (const char* t = FailureText(code)) text += QString::fromUtf8(t).trimmed() + QLatin1Char(' ');
    return text + QStringLiteral("(") + QString::number(code) + QStringLiteral(")");
}

QString TPollingCycle::Caption(std::uint32_t devNo) {
    QString text = QString::fromUtf8(CaptionText);
    if (devNo != 0) text += QStringLiteral(" №") + QString::number(devNo);
    return text;
}

void TPollingCycle::SetBusyCursors(bool busy) {
    if (busy) {
        c_.tree.setCursor(Qt::WaitCursor);
        c_.editor.setCursor(Qt::WaitCursor);
    } else {
        c_.tree.unsetCursor();
        c_.editor.unsetCursor();
    }
}

// The settings item "Настройки" / "Порт", found by caption; absent while the settings
// dialog is not part of the window.
void TPollingCycle::SetPortItemEnabled(bool on) {
    QMenuBar* bar = c_.window.menuBar();
    for (QAction* top : bar->actions()) {
        if (!top->menu() || top->menu()->title().remove('&') != QStringLiteral("Настройки")) continue;
        for (QAction* item : top->menu()->actions())
            if (item->text().remove('&') == QStringLiteral("Порт")) item->setEnabled(on);
        return;
    }
}

void TPollingCycle::SetOperations(ManualOperation* operations) {
    operations_ = operations;
    // Steps that came while another operation ran go on once it has ended.
    if (operations_)
        connect(operations_, &ManualOperation::busyChanged, this, [this](bool busy) {
            if (!busy && !pending_.empty()) QTimer::singleShot(0, this, &TPollingCycle::RunPending);
        });
}

void TPollingCycle::RunPending() {
    while (!pending_.empty() && operations_ != nullptr && !operations_->Busy()) {
        PendingStep step = std::move(pending_.front());
        pending_.pop_front();
        RunOnLine(step.caption, step.work, step.then);
    }
}

int TPollingCycle::RunOnLine(const QString& caption, const std::function<int(OperationContext&)>& work,
                             const std::function<void()>& then) {
    int rc = 0;
    if (operations_ == nullptr) {
        OperationContext here;
        rc = work(here);
    } else if (operations_->Busy()) {
        // The step may wait for the line: it never runs on this thread. It waits its turn
        // and runs in a frame of its own once the operation in progress has ended (whose
        // end restores the window's state as it found it: then comes after that).
        // The same step twice in a row is queued once: a second Stop would close a link
        // that the first one's successor opened, a second Start would open it twice.
        if (pending_.empty() || pending_.back().caption != caption) pending_.push_back({caption, work, then});
        return 0;
    } else {
        OperationOptions options;
        options.caption = caption;
        options.kind = FrameKind::PauseOnly;
        rc = operations_->Run(options, work);
    }
    if (then) then();
    return rc;
}

void TPollingCycle::Start_pollingClick() {
    c_.startItem.setChecked(true);
    // Opening a TCP link may take the connect time-out; an exchange of another thread holds
    // the line's lock: neither is waited for on this thread.
    const std::uint32_t devNo = c_.devNo;
    stopText_ = QStringLiteral("Стоп");
    RunOnLine(
        QStringLiteral("Опрос"),
        [this, devNo](OperationContext&) {
            c_.conn.SetDeviceNumber(devNo);
            return c_.conn.Open();
        },
        [this] {
            c_.pollingPaused = false;
            SetPortItemEnabled(false);
            c_.window.setWindowTitle(Caption(c_.devNo));
        });
}

void TPollingCycle::Stop_pollingClick() {
    c_.stopItem.setChecked(true);
    // The panel's text at once; the tick's own stop names its reason after this.
    stopText_ = QStringLiteral("Стоп");
    RunOnLine(
        QStringLiteral("Стоп"),
        [this](OperationContext&) {
            c_.conn.Close();
            c_.device.EnablePolling(false);
            return 0;
        },
        [this] {
            c_.pollingPaused = true;
            c_.progressBar.hide();
            SetPortItemEnabled(true);
            c_.pollState = psRequestReload;
            SetBusyCursors(false);
            c_.window.setWindowTitle(Caption(0));
        });
}

void TPollingCycle::StopAfterFailedRead() {
    const int result = lastReadResult_->load();
    Stop_pollingClick();
    if (result != NoReadResult) stopText_ = StopReasonText(result);
}

void TPollingCycle::RunningWork() {
    if (c_.tree.IsRootSelected()) c_.deviceInfo.ShowDeviceInfo();
    deviceClock_ = c_.device.GetDeviceClock();
    if (c_.tree.CheckConfiguration() != 0) {
        c_.pollState = psRequestReload;
        return;
    }
    c_.tree.RefreshCalcValues();
    emit AddPolledSample();
}

void TPollingCycle::Timer1Timer() {
    // 1. A failed constant write is reported once, while the timer still runs.
    if (c_.editor.WriteError() != 0) {
        const int code = c_.editor.TakeWriteError();
        ShowErrorBox(&c_.window,
                     QString::fromStdString(WriteErrorText(code, c_.window.objectName().toStdString())));
    }
    // 2. No tick re-enters this one through its own work; the timer runs again after it on
    // every path, also when the work throws.
    timer_.stop();
    struct RestartTimer {
        QTimer& timer;
        ~RestartTimer() { timer.start(); }
    } restart{timer_};
    // 3. The state machine.
    if (!c_.pollingPaused) {
        switch (c_.pollState) {
        case psRequestReload:
            lastReadResult_->store(NoReadResult);
            c_.device.RequestReread();
            c_.pollState = psLoading;
            c_.progressBar.show();
            SetBusyCursors(true);
            break;
        case psLoading:
            if (c_.device.IsConfigReady()) {
                c_.progressBar.hide();
                const SVX4_Info info = c_.device.GetDeviceInfo();
                if (info.itemCount == 0) {
                    // Nothing read (no device, or an empty configuration): stop by itself.
                    c_.pollState = psRequestReload;
                    SetBusyCursors(false);
                    StopAfterFailedRead();
                } else {
                    c_.devNo = c_.conn.DeviceNumber();
                    c_.window.setWindowTitle(Caption(c_.devNo));
                    const int built = c_.tree.BuildTree();
                    SetBusyCursors(false);
                    if (built == 0) c_.pollState = psVerify;
                }
            } else {
                float progress = 0;
                c_.device.GetProgress(&progress, nullptr);
                if (c_.setProgress) c_.setProgress(progress * 0.01f);
            }
            break;
        case psVerify:
            if (c_.tree.CheckConfiguration() != 0) {
                c_.pollState = psRequestReload;
            } else {
                c_.pollState = psRunning;
                RunningWork();
            }
            break;
        case psRunning:
            RunningWork();
            break;
        default:
            c_.pollState = psRequestReload;
            break;
        }
    }
    // 4. The last clock read, also while paused.
    c_.statusBar.SetPanelText(1, QString::fromStdString(ClockText(deviceClock_.bcd)));
    // 5. The link statistics.
    // While stopped by the tick itself, "Стоп" names the failure that stopped it.
    c_.statusBar.SetPanelText(2, c_.pollingPaused ? stopText_
                                                  : QString::fromStdString(StatisticsText(c_.conn.Statistics())));
    // 6. (restart: see 2)
}

void TPollingCycle::StatusBarResize() {
    const QRect r = c_.statusBar.PanelRect(0);
    c_.progressBar.setGeometry(r.left(), r.top(), c_.statusBar.PanelWidth(0), r.height());
}

void TPollingCycle::StatusBarDblClick() { c_.conn.ResetStatistics(); }

} // namespace vx4
