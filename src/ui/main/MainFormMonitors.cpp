// The main window's frame monitor items: "vx3c монитор" and "vx2 монитор" in the File menu.
// Each opens its monitor inside the operation frame's monitor variant: polling paused and
// the device object's polling off, the link opened when it was closed; the main window is
// hidden while the monitor is shown modally.

#include "ui/dialogs/ScreenPlacement.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/Vx4pult_main.h"
#include "ui/monitors/Unit_vx2_monitor.h"
#include "ui/monitors/Unit_vx3c_monitor.h"

#include <QAction>
#include <QMenu>

namespace vx4 {

void Tvx4pult_MainForm::CreateMonitorItems(QMenu* file)
{
    // Placed in front of "Выход".
    vx3c1 = new QAction(QStringLiteral("vx3c монитор"), this);
    vx3c1->setObjectName("vx3c1");
    vx2 = new QAction(QStringLiteral("vx2 монитор"), this);
    vx2->setObjectName("vx2");
    file->insertAction(Exit, vx3c1);
    file->insertAction(Exit, vx2);
    connect(vx3c1, &QAction::triggered, this, &Tvx4pult_MainForm::vx3c1Click);
    connect(vx2, &QAction::triggered, this, &Tvx4pult_MainForm::vx2Click);
}

void Tvx4pult_MainForm::DeleteMonitors()
{
    delete vx3cMonitor_;
    vx3cMonitor_ = nullptr;
    delete vx2Monitor_;
    vx2Monitor_ = nullptr;
}

void Tvx4pult_MainForm::vx3c1Click()
{
    if (!vx3cMonitor_)
        vx3cMonitor_ = new Tvx3c_monitor(this, *conn_, [this] { return devNo; });
    RunMonitor(vx3cMonitor_);
}

void Tvx4pult_MainForm::vx2Click()
{
    if (!vx2Monitor_)
        vx2Monitor_ = new Tvx2_monitor(this, *conn_, [this] { return devNo; });
    RunMonitor(vx2Monitor_);
}

void Tvx4pult_MainForm::RunMonitor(QDialog* monitor)
{
    // A capture is saved off the window's thread, with Cancel, through the operation frame
    // the monitor runs in.
    if (auto* form = qobject_cast<TFrameMonitorForm*>(monitor))
        form->SetOffThreadRunner([this](const QString& caption, std::function<int(const std::atomic<bool>&)> work) {
            OperationOptions step;
            step.caption = caption;
            step.kind = FrameKind::PauseOnly;
            step.cancellable = true;
            return operations_->RunStep(step, [work](OperationContext& context) { return work(context.CancelFlag()); });
        });
    OperationOptions options;
    options.caption = monitor->windowTitle();
    options.kind = FrameKind::Monitor;
    operations_->RunAround(options, [this, monitor] {
        const QRect r = frameGeometry();
        hide();
        MoveOnScreen(monitor, r.center() - QPoint(monitor->width() / 2, monitor->height() / 2));
        monitor->exec();
        show();
    });
}

} // namespace vx4
