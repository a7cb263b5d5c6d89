#include "ui/views/PolledValuesPages.h"

#include "device/Vx4obj.h"
#include "ui/reports/TableExport.h"
#include "ui/views/ConfigTree.h"
#include "ui/views/PolledValuesChart.h"
#include "ui/views/PolledValuesModel.h"
#include "ui/views/TreeIcons.h"

#include <QAction>
#include <QDateTime>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace vx4 {

namespace {

// The value dragged from the tree: its item id and caption (ConfigTree::CalcMimeType).
bool ReadPayload(const QMimeData* mime, std::uint16_t* id, QString* caption)
{
    if (mime == nullptr || !mime->hasFormat(QString::fromLatin1(ConfigTree::CalcMimeType)))
        return false;
    const QString text = QString::fromUtf8(mime->data(QString::fromLatin1(ConfigTree::CalcMimeType)));
    const qsizetype nl = text.indexOf(QLatin1Char('\n'));
    if (nl <= 0)
        return false;
    bool ok = false;
    const uint value = text.left(nl).toUInt(&ok);
    if (!ok || value > 0xFFFF)
        return false;
    *id = std::uint16_t(value);
    *caption = text.mid(nl + 1);
    return !caption->isEmpty();
}

} // namespace

TPolledValuesPages::TPolledValuesPages(QWidget* parent, CVX4Obj& device, ConfigTree& tree)
    : QTabWidget(parent), device_(device), tree_(tree)
{
    setObjectName(QStringLiteral("PageControl1"));

    // "График": the list on the left, the chart filling the rest.
    TabSheet1 = new QWidget(this);
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    auto* chartLayout = new QHBoxLayout(TabSheet1);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chartLayout->setSpacing(2);
    ListView1 = new QListWidget(TabSheet1);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setFixedWidth(129);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    Chart1 = new TPolledValuesChart(TabSheet1);
    chartLayout->addWidget(ListView1);
    chartLayout->addWidget(Chart1, 1);
    addTab(TabSheet1, QStringLiteral("График"));

    PopupMenu1 = new QMenu(ListView1);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    N3 = PopupMenu1->addAction(QStringLiteral("Удалить"));
    N3->setObjectName(QStringLiteral("N3"));
    connect(N3, &QAction::triggered, this, &TPolledValuesPages::N3Click);
    connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        N3->setEnabled(ListView1->itemAt(pos) != nullptr);
        PopupMenu1->popup(ListView1->viewport()->mapToGlobal(pos));
    });
    connect(ListView1, &QListWidget::itemChanged, this, &TPolledValuesPages::ListView1Change);

    // "Таблица": the toolbar above the table.
    TabSheet2 = new QWidget(this);
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    auto* tableLayout = new QVBoxLayout(TabSheet2);
    tableLayout->setContentsMargins(0, 0, 0, 0);
    tableLayout->setSpacing(0);
    ToolBar1 = new QToolBar(TabSheet2);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    ToolButton1 = ToolBar1->addAction(TreeIconAt(iconExcel), QStringLiteral("toExcel"));
    ToolButton1->setObjectName(QStringLiteral("ToolButton1"));
    ToolButton1->setToolTip(QStringLiteral("Перенос в Excel"));
    ToolBar1->addSeparator()->setObjectName(QStringLiteral("ToolButton2"));
    ToolButton3 = ToolBar1->addAction(TreeIconAt(iconClean), QStringLiteral("Clean"));
    ToolButton3->setObjectName(QStringLiteral("ToolButton3"));
    connect(ToolButton1, &QAction::triggered, this, &TPolledValuesPages::ToolButton1Click);
    connect(ToolButton3, &QAction::triggered, this, &TPolledValuesPages::ToolButton3Click);

    model_ = new TPolledValuesModel(this);
    StringGrid1 = new QTableView(TabSheet2);
    StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
    StringGrid1->setModel(model_);
    StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid1->setWordWrap(false);
    StringGrid1->setCornerButtonEnabled(false);
    StringGrid1->verticalHeader()->hide(); // no fixed column
    StringGrid1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    StringGrid1->verticalHeader()->setDefaultSectionSize(StringGrid1->fontMetrics().height() + 6);
    StringGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    StringGrid1->horizontalHeader()->setDefaultSectionSize(
        StringGrid1->fontMetrics().horizontalAdvance(QStringLiteral("-12.3000001907349")) + 12);
    StringGrid1->horizontalHeader()->setHighlightSections(false);
    tableLayout->addWidget(ToolBar1);
    tableLayout->addWidget(StringGrid1, 1);
    addTab(TabSheet2, QStringLiteral("Таблица"));

    // Drops from the tree onto the list and the table.
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(ListView1), static_cast<QAbstractItemView*>(StringGrid1)}) {
        view->setAcceptDrops(true);
        view->viewport()->setAcceptDrops(true);
        view->viewport()->installEventFilter(this);
    }
    UpdateButtons();
}

TPolledValuesPages::~TPolledValuesPages() = default;

bool TPolledValuesPages::eventFilter(QObject* watched, QEvent* event)
{
    QWidget* target = watched == ListView1->viewport()     ? static_cast<QWidget*>(ListView1)
                      : watched == StringGrid1->viewport() ? static_cast<QWidget*>(StringGrid1)
                                                           : nullptr;
    if (target == nullptr)
        return QTabWidget::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* e = static_cast<QDragMoveEvent*>(event);
        if (DragOver(e->source(), e->mimeData(), target))
            e->acceptProposedAction();
        else
            e->ignore();
        return true;
    }
    case QEvent::DragLeave:
        return true;
    case QEvent::Drop: {
        auto* e = static_cast<QDropEvent*>(event);
        if (DragDrop(e->source(), e->mimeData(), target, e->position().toPoint()))
            e->acceptProposedAction();
        else
            e->ignore();
        return true;
    }
    default:
        return QTabWidget::eventFilter(watched, event);
    }
}

bool TPolledValuesPages::DragOver(QObject* source, const QMimeData* mime, QWidget* target) const
{
    if (source != &tree_ || (target != ListView1 && target != StringGrid1))
        return false;
    std::uint16_t id = 0;
    QString caption;
    if (!ReadPayload(mime, &id, &caption))
        return false;
    // The value dragged is the tree's selected node, a calculated value.
    const auto data = ConfigTree::DataOf(tree_.SelectedNode());
    return data && data->kind == nkCalc && data->itemId == id;
}

bool TPolledValuesPages::DragDrop(QObject* source, const QMimeData* mime, QWidget* target, QPoint pos)
{
    if (!DragOver(source, mime, target))
        return false;
    std::uint16_t id = 0;
    QString caption;
    ReadPayload(mime, &id, &caption);
    int index = -1;
    if (target == ListView1) {
        index = ListView1->indexAt(pos).row();
    } else {
        const int column = StringGrid1->columnAt(pos.x());
        if (column >= 1)
            index = column - 1;
    }
    if (index < 0)
        index = EntryCount();
    return InsertEntry(index, id, caption);
}

bool TPolledValuesPages::InsertEntry(int index, std::uint16_t itemId, const QString& caption)
{
    for (int i = 0; i < ListView1->count(); ++i)
        if (ListView1->item(i)->text() == caption)
            return false; // listed already
    index = std::clamp(index, 0, EntryCount());

    // The list entry, checked: its series is created and shown.
    updatingList_ = true;
    auto* item = new QListWidgetItem(caption);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Checked);
    item->setData(Qt::UserRole, int(itemId));
    ListView1->insertItem(index, item);
    updatingList_ = false;
    entries_.insert(entries_.begin() + index, Entry{itemId, true});
    Chart1->InsertSeries(index, caption);

    // The table: the title of the time column at the first value, then the value's column
    // and, when there is none, the first data row.
    if (model_->ValueColumns() == 0) {
        model_->SetTitle();
        // The title's width plus a column's; at least the width of a date and time.
        const QHeaderView* header = StringGrid1->horizontalHeader();
        const int title = header->fontMetrics().horizontalAdvance(QString::fromUtf8(TPolledValuesModel::TimeTitle));
        const int sample = StringGrid1->fontMetrics().horizontalAdvance(
            model_->Texts().DateTimeText(QDateTime::currentMSecsSinceEpoch()) + QStringLiteral(" 00"));
        StringGrid1->setColumnWidth(0, std::max(title + header->fontMetrics().averageCharWidth() * 8, sample));
    }
    model_->InsertValueColumn(index, caption);
    model_->EnsureDataRow();
    UpdateButtons();
    return true;
}

void TPolledValuesPages::ListView1Change(QListWidgetItem* item)
{
    if (updatingList_ || item == nullptr)
        return;
    const int index = ListView1->row(item);
    if (index < 0 || index >= EntryCount())
        return;
    const bool checked = item->checkState() == Qt::Checked;
    Entry& e = entries_[std::size_t(index)];
    if (e.checked == checked)
        return; // another change than the check box
    e.checked = checked;
    Chart1->SetSeriesVisible(index, checked);
}

void TPolledValuesPages::ListView1Deletion(int index) { Chart1->RemoveSeries(index); }

void TPolledValuesPages::RemoveEntry(int index)
{
    model_->RemoveValueColumn(index);
    ListView1Deletion(index);
    updatingList_ = true;
    delete ListView1->takeItem(index);
    updatingList_ = false;
    entries_.erase(entries_.begin() + index);
    if (entries_.empty())
        model_->RemoveDataRows();
}

void TPolledValuesPages::N3Click()
{
    QListWidgetItem* item = ListView1->currentItem();
    if (item == nullptr || !item->isSelected())
        return;
    RemoveEntry(ListView1->row(item));
    UpdateButtons();
}

void TPolledValuesPages::ToolButton3Click() { model_->Clean(); }

void TPolledValuesPages::AddPolledSample()
{
    if (entries_.empty())
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 epochMs = now.toMSecsSinceEpoch();
    const qint64 localMs = epochMs + qint64(now.offsetFromUtc()) * 1000;
    sample_.resize(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::uint16_t id = entries_[i].itemId;
        tree_.SetCalcPolled(id, true); // listed values stay polled whether shown or not
        const float value = device_.GetItemValue(id).value;
        sample_[i] = value;
        Chart1->AddPoint(int(i), epochMs, double(value));
    }
    model_->AddSample(localMs, sample_.data(), sample_.size());
    Chart1->Refresh();
    StringGrid1->scrollToBottom();
}

void TPolledValuesPages::Clear()
{
    updatingList_ = true;
    ListView1->clear();
    updatingList_ = false;
    entries_.clear();
    Chart1->Clear();
    model_->Clear();
    UpdateButtons();
}

void TPolledValuesPages::ToolButton1Click()
{
    if (model_->ValueColumns() == 0)
        return;
    TableExportOptions options;
    options.serial = device_.GetDeviceInfo().ident.serial;
    options.folder = exportFolder_;
    options.progress = [this](double f) { emit progressChanged(float(f)); };
    emit progressShown(true);
    lastExport_ = ExportTableToExcel(this, *model_, options);
    emit progressShown(false);
}

void TPolledValuesPages::UpdateButtons() { ToolButton1->setEnabled(model_->ValueColumns() > 0); }

} // namespace vx4
