#include "ui/dialogs/Syseventdlg.h"

#include "platform/Cp1251.h"
#include "platform/FileLocations.h"
#include "platform/StagedFile.h"
#include "ui/dialogs/SaveDialog.h"
#include "ui/main/MessageBoxes.h"

#include <QHeaderView>
#include <QMenuBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vx4 {

namespace {
constexpr int ColumnWidths[5] = {66, 70, 74, 80, 354};
QString Text(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }
} // namespace

TSysEventForm::TSysEventForm(QWidget* parent) : QDialog(parent)
{
    setObjectName("SysEventForm");
    setWindowTitle(QStringLiteral("Просмотр системных событий"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* menu = new QMenuBar(this);
    QMenu* file = menu->addMenu(QStringLiteral("Файл"));
    QAction* N2 = file->addAction(QStringLiteral("Сохранить"));
    N2->setObjectName("N2");
    QAction* N3 = file->addAction(QStringLiteral("Выйти"));
    N3->setObjectName("N3");
    connect(N2, &QAction::triggered, this, &TSysEventForm::N2Click);
    connect(N3, &QAction::triggered, this, &TSysEventForm::N3Click);
    layout->setMenuBar(menu);

    StringGrid1 = new QTableWidget(0, 5, this);
    StringGrid1->setObjectName("StringGrid1");
    StringGrid1->verticalHeader()->hide();
    StringGrid1->verticalHeader()->setDefaultSectionSize(20);
    StringGrid1->verticalHeader()->setMinimumSectionSize(20);
    StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StringGrid1->horizontalHeader()->setStretchLastSection(true);
    int width = 0;
    for (int c = 0; c < 5; ++c) {
        StringGrid1->setColumnWidth(c, ColumnWidths[c]);
        width += ColumnWidths[c];
    }
    layout->addWidget(StringGrid1);
    resize(width + 24, 420);
    FormCreate();
}

void TSysEventForm::FormCreate()
{
    const SystemEventRow title = SystemEventsText::TitleRow();
    QStringList labels;
    for (const std::string& cell : title) labels << Text(cell);
    StringGrid1->setHorizontalHeaderLabels(labels);
}

void TSysEventForm::SetEvents(const std::vector<SSysEvent>& events)
{
    rows_.clear();
    rows_.reserve(events.size());
    for (const SSysEvent& ev : events) rows_.push_back(SystemEventsText::Row(ev));
    StringGrid1->setRowCount(int(rows_.size()));
    for (int r = 0; r < int(rows_.size()); ++r)
        for (int c = 0; c < 5; ++c) {
            auto* item = new QTableWidgetItem(Text(rows_[std::size_t(r)][std::size_t(c)]));
            StringGrid1->setItem(r, c, item);
        }
    // The design widths are the least; a wider font still shows whole numbers.
    for (int c = 0; c < 4; ++c) {
        StringGrid1->resizeColumnToContents(c);
        StringGrid1->setColumnWidth(c, std::max(StringGrid1->columnWidth(c), ColumnWidths[c]));
    }
}

QString TSysEventForm::SaveTo(const QString& path) const
{
    const std::string text = SystemEventsText::Text(rows_);
    int err = 0;
    StagedFile::Write(path.toStdString(), text, StagedFile::Mode::Replace, &err);
    if (err == 0) return {};
    return QStringLiteral("Не удается записать файл %1\n%2").arg(path, QString::fromLocal8Bit(std::strerror(err)));
}

void TSysEventForm::N2Click()
{
    SaveDialogOptions options;
    options.title = QStringLiteral("Сохранить");
    options.filters = {QStringLiteral("текстовый файл (*.txt)")};
    options.defaultSuffix = QStringLiteral("txt");
    options.proposedName = QString::fromStdString(SystemEventsText::FileName(devNo_));
    options.folder = QString::fromStdString(UserFilesDir());
    const QString path = AskSaveFileName(this, options);
    if (path.isEmpty()) return;
    const QString error = SaveTo(path);
    if (!error.isEmpty()) ShowErrorBox(this, error);
}

void TSysEventForm::N3Click() { close(); }

} // namespace vx4
