// The main window's connection settings dialog and graduation viewer: their menu items,
// the dialog and viewer created once with the window, and the two handlers.

#include "ui/dialogs/Gigeshow.h"
#include "ui/main/ManualOperation.h"
#include "ui/main/PollingCycle.h"
#include "ui/dialogs/Setportdlg.h"
#include "ui/views/ConfigTree.h"
#include "ui/main/Vx4pult_main.h"

#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QMenuBar>

namespace vx4 {

void Tvx4pult_MainForm::CreatePortAndGraduation()
{
    // The dialog shows what the connection loads and overrides from now on.
    SetPortDlg_ = new TSetPortDlg(this);
    conn_->SetListener(SetPortDlg_);
    conn_->SetSettingsDialog(SetPortDlg_);
    GIGEShowForm_ = new TGIGEShowForm(this, *operations_);

    // "Настройки" / "Порт", first in its menu; disabled while polling (TPollingCycle).
    if (auto* setting = menuBar()->findChild<QMenu*>(QStringLiteral("Setting"))) {
        Port = new QAction(QStringLiteral("Порт"), this);
        Port->setObjectName(QStringLiteral("Port"));
        Port->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
        setting->insertAction(setting->actions().value(0), Port);
        connect(Port, &QAction::triggered, this, &Tvx4pult_MainForm::PortClick);
    }
    // "Файл" / "Градуировочные коэфициенты (GiGe)", before "Сист. события".
    if (auto* file = menuBar()->findChild<QMenu*>(QStringLiteral("File"))) {
        Read_GiGe = new QAction(QStringLiteral("Градуировочные коэфициенты (GiGe)"), this);
        Read_GiGe->setObjectName(QStringLiteral("Read_GiGe"));
        file->insertAction(SysEvent, Read_GiGe);
        connect(Read_GiGe, &QAction::triggered, this, &Tvx4pult_MainForm::Read_GiGeClick);
    }
    // The tree's context menu.
    MenuItem1 = new QAction(QStringLiteral("Показать градуировку"), TreeView1);
    MenuItem1->setObjectName(QStringLiteral("MenuItem1"));
    TreeView1->addAction(MenuItem1);
    TreeView1->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(MenuItem1, &QAction::triggered, this, &Tvx4pult_MainForm::Read_GiGeClick);
}

void Tvx4pult_MainForm::PortClick()
{
    const QPoint at = QCursor::pos();
    conn_->ShowSettingsDialog(at.x(), at.y(), &devNo, true);
    // The item is disabled while polling runs, so the link is normally left alone here.
    if (Start_polling->isChecked())
        polling_->RunOnLine(QStringLiteral("Порт"), [this](OperationContext&) { return conn_->Open(); });
}

std::int32_t Tvx4pult_MainForm::TransducerNumberOf(const QString& label)
{
    const QString text = label.toLower();
    if (!text.contains(QStringLiteral("dev")))
        return 0;
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq < 0)
        return 0;
    // The number after "=", blanks around it left out, at most eight digits.
    const QString number = text.mid(eq + 1).trimmed().left(8).trimmed();
    bool ok = false;
    const int n = number.toInt(&ok);
    return ok ? n : 0;
}

void Tvx4pult_MainForm::Read_GiGeClick()
{
    std::int32_t no = 0;
    if (QTreeWidgetItem* node = TreeView1->LastNode())
        no = TransducerNumberOf(node->text(0));
    GIGEShowForm_->ShowFor(*device_, no);
}

} // namespace vx4
