#include "ui/views/ParamEditor.h"

#include "common/FormatForDevice.h"
#include "device/Vx4obj.h"
#include "link/Frames.h"
#include "options/Optlist.h"
#include "ui/main/ManualOperation.h"
#include "ui/views/ConfigTree.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTreeWidgetItem>

#include <cstring>

namespace vx4 {

namespace {

// The constant a row of a constants group shows (set on the key cell).
constexpr int RowIdRole = Qt::UserRole + 1;
// The pick list of a row (set on the value cell).
constexpr int PickListRole = Qt::UserRole + 2;

// Virtual key codes the key handling is written in.
constexpr int vkReturn = 13;
constexpr int vkPrior = 33;
constexpr int vkNext = 34;
constexpr int vkUp = 38;
constexpr int vkDown = 40;

int VirtualKey(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return vkReturn;
    case Qt::Key_PageUp:
        return vkPrior;
    case Qt::Key_PageDown:
        return vkNext;
    case Qt::Key_Up:
        return vkUp;
    case Qt::Key_Down:
        return vkDown;
    default:
        return 0;
    }
}

bool IsNavigationKey(int vk)
{
    return vk == vkPrior || vk == vkNext || vk == vkUp || vk == vkDown;
}

QString Hex8(std::uint32_t v)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

// A row whose value text carries status flags is drawn red in both columns.
bool IsFlagged(const QString& valueText)
{
    return valueText.contains(QLatin1String("F:"));
}

} // namespace

// Cell editors and cell drawing of the value editor: a line edit for plain rows, a
// drop-down for pick-list rows; rows coloured by the "F:" rule.
class ParamEditorDelegate : public QStyledItemDelegate {
public:
    explicit ParamEditorDelegate(ParamEditor* editor) : QStyledItemDelegate(editor), grid_(editor)
    {
        connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { FocusChanged(now); });
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override
    {
        const QStringList pick = index.data(PickListRole).toStringList();
        if (pick.isEmpty()) {
            QWidget* w = QStyledItemDelegate::createEditor(parent, option, index);
            if (w != nullptr)
                w->installEventFilter(const_cast<ParamEditorDelegate*>(this));
            open_ = w;
            away_ = false;
            return w;
        }
        auto* combo = new QComboBox(parent);
        combo->setEditable(false);
        combo->addItems(pick);
        combo->setFocusPolicy(Qt::StrongFocus);
        combo->installEventFilter(const_cast<ParamEditorDelegate*>(this));
        open_ = combo;
        away_ = false;
        auto* self = const_cast<ParamEditorDelegate*>(this);
        connect(combo, &QComboBox::activated, self, [self, combo](int) {
            emit self->commitData(combo);
            emit self->closeEditor(combo, QAbstractItemDelegate::NoHint);
        });
        return combo;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        const QString text = index.data(Qt::DisplayRole).toString();
        // The view also calls this when the cell changes under an open editor; only the
        // first call is the editor taking the cell's text.
        if (!editor->property("vx4TookText").toBool()) {
            editor->setProperty("vx4TookText", true);
            grid_->ValueListEditor1GetEditText(index.row() + 1, text);
        }
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            const int at = combo->findText(text);
            combo->setCurrentIndex(at);
            if (at < 0)
                combo->setPlaceholderText(text);
            return;
        }
        QStyledItemDelegate::setEditorData(editor, index);
    }

    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override
    {
        QString text;
        if (auto* combo = qobject_cast<QComboBox*>(editor)) {
            if (combo->currentIndex() < 0)
                return;
            text = combo->currentText();
        } else if (auto* line = qobject_cast<QLineEdit*>(editor)) {
            text = line->text();
        } else {
            QStyledItemDelegate::setModelData(editor, model, index);
            return;
        }
        const bool byEnter = byEnter_;
        byEnter_ = false;
        const QString before = index.data(Qt::DisplayRole).toString();
        if (text == before && !byEnter)
            return; // nothing changed
        model->setData(index, text, Qt::EditRole);
        grid_->CellCommitted(index.row(), text, byEnter);
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        grid_->ValueListEditor1DrawCell(painter, option, index);
    }

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* combo = qobject_cast<QComboBox*>(object);
        if (combo != nullptr && event->type() == QEvent::Wheel)
            return true; // the wheel never changes a picked value
        // Focus going to the menu bar (Alt), a menu, a tooltip or another window keeps the
        // edit open: only Enter, leaving the row or moving to another widget of this window
        // commits what is typed.
        if (event->type() == QEvent::FocusOut && object == open_ &&
            KeepsEditOpen(static_cast<QFocusEvent*>(event)->reason(), QApplication::focusWidget())) {
            away_ = true;
            return false;
        }
        if (event->type() != QEvent::KeyPress)
            return QStyledItemDelegate::eventFilter(object, event);

        auto* key = static_cast<QKeyEvent*>(event);
        const int vk = VirtualKey(key->key());
        auto* widget = qobject_cast<QWidget*>(object);
        if (combo != nullptr && key->key() == Qt::Key_Down && (key->modifiers() & Qt::AltModifier)) {
            combo->showPopup();
            return true;
        }
        if (IsNavigationKey(vk)) {
            // Page and arrow keys move through the grid, also out of a drop-down.
            QKeyEvent copy(QEvent::KeyPress, key->key(), key->modifiers(), key->text());
            grid_->setFocus();
            grid_->keyPressEvent(&copy);
            return true;
        }
        if (combo != nullptr) {
            // A pick-list row changes only by picking: typing and Enter do nothing.
            const bool opens = key->key() == Qt::Key_F4 || key->key() == Qt::Key_Space;
            if (opens) {
                combo->showPopup();
                return true;
            }
            if (key->key() == Qt::Key_Escape || key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
                return QStyledItemDelegate::eventFilter(object, event);
            return true;
        }
        if (vk == vkReturn && widget != nullptr) {
            // Enter: store the typed text, start the write, close the editor. The commit is
            // marked so that it does not start a second write by leaving the cell.
            const int row = grid_->currentRow();
            byEnter_ = true;
            emit commitData(widget);
            byEnter_ = false;
            emit closeEditor(widget, QAbstractItemDelegate::NoHint);
            if (row >= 0)
                grid_->StartWriteByEnter(row, grid_->ValueAt(row));
            return true;
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }

public:
    mutable QPointer<QWidget> open_; // the cell editor last opened, while it lives

private:
    // Whether focus leaving the cell editor for this widget (null: none of this program's)
    // keeps the edit open.
    bool KeepsEditOpen(Qt::FocusReason reason, QWidget* to) const
    {
        if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason ||
            reason == Qt::MenuBarFocusReason)
            return true;
        if (to == nullptr || open_ == nullptr || to->window() != open_->window())
            return true; // another window, a menu, a tooltip
        return qobject_cast<QMenuBar*>(to) != nullptr || qobject_cast<QMenu*>(to) != nullptr;
    }

    // Focus that left the open cell editor for the menu bar or another window may come back
    // into this window somewhere else: moving to another widget of the window commits the
    // edit as leaving it directly would have; back into the editor it goes on.
    void FocusChanged(QWidget* now)
    {
        QWidget* editor = open_;
        if (!away_ || editor == nullptr || now == nullptr)
            return;
        if (!grid_->IsCellEditorOpen()) {
            away_ = false; // closed meanwhile (a new panel, Escape): nothing to commit
            return;
        }
        for (QWidget* w = now; w != nullptr; w = w->parentWidget())
            if (w == editor) {
                away_ = false;
                return;
            }
        if (KeepsEditOpen(Qt::OtherFocusReason, now))
            return;
        away_ = false;
        if (now == grid_ || grid_->isAncestorOf(now))
            return; // within the grid: moving to another cell commits, the same cell goes on
        emit const_cast<ParamEditorDelegate*>(this)->commitData(editor);
        emit const_cast<ParamEditorDelegate*>(this)->closeEditor(editor, QAbstractItemDelegate::NoHint);
    }

    ParamEditor* grid_;
    mutable bool byEnter_ = false;
    mutable bool away_ = false; // focus left the open editor and the edit was kept open
};

ParamEditor::ParamEditor(QWidget* parent, CVX4Obj& device, connection& conn, COptionBank& constBank,
                         COptionBank& calcBank, ConfigTree& tree, bool& pollingPaused, int& pollState)
    : QTableWidget(parent), device_(device), conn_(conn), constBank_(constBank), calcBank_(calcBank),
      tree_(tree), pollingPaused_(pollingPaused), pollState_(pollState)
{
    setObjectName(QStringLiteral("ValueListEditor1"));
    setColumnCount(2);
    setHorizontalHeaderLabels({QStringLiteral("Параметр"), QStringLiteral("Значение")});
    verticalHeader()->setVisible(false);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setHighlightSections(false);
    setShowGrid(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setWordWrap(false);
    delegate_ = new ParamEditorDelegate(this);
    setItemDelegate(delegate_);
    setColumnWidth(0, 65);
    SetEditing(false);
    tree_.SetEditor(this);
}

ParamEditor::~ParamEditor()
{
    handlersAttached_ = false; // a commit while the widgets go away starts nothing
    if (treeAlive_ && tree_.Editor() == this)
        tree_.SetEditor(nullptr);
}

// ---------------------------------------------------------------- rows

void ParamEditor::ClearRows()
{
    setRowCount(0);
    rowOfKey_.clear();
}

int ParamEditor::FindRow(const QString& key) const
{
    const auto it = rowOfKey_.constFind(key);
    return it == rowOfKey_.constEnd() ? -1 : it.value();
}

int ParamEditor::SetRow(const QString& key, const QString& value)
{
    int row = FindRow(key);
    if (row < 0) {
        row = rowCount();
        insertRow(row);
        auto* keyItem = new QTableWidgetItem(key);
        keyItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        setItem(row, 0, keyItem);
        auto* valueItem = new QTableWidgetItem(value);
        valueItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
        setItem(row, 1, valueItem);
        rowOfKey_.insert(key, row);
        WidenKeyColumn(key);
    } else if (QTableWidgetItem* valueItem = item(row, 1); valueItem->text() != value) {
        const bool wasFlagged = IsFlagged(valueItem->text());
        valueItem->setText(value);
        // The key cell is coloured by the value text too: repaint it when the flag comes or goes.
        if (IsFlagged(value) != wasFlagged)
            update(model()->index(row, 0));
    }
    return row;
}

QString ParamEditor::Value(const QString& key) const
{
    return ValueAt(FindRow(key));
}

QString ParamEditor::KeyAt(int row) const
{
    const QTableWidgetItem* it = row >= 0 && row < rowCount() ? item(row, 0) : nullptr;
    return it != nullptr ? it->text() : QString();
}

QString ParamEditor::ValueAt(int row) const
{
    const QTableWidgetItem* it = row >= 0 && row < rowCount() ? item(row, 1) : nullptr;
    return it != nullptr ? it->text() : QString();
}

void ParamEditor::SetPickList(int row, const QStringList& items)
{
    if (QTableWidgetItem* it = row >= 0 && row < rowCount() ? item(row, 1) : nullptr)
        it->setData(PickListRole, items);
}

QStringList ParamEditor::PickList(int row) const
{
    const QTableWidgetItem* it = row >= 0 && row < rowCount() ? item(row, 1) : nullptr;
    return it != nullptr ? it->data(PickListRole).toStringList() : QStringList();
}

void ParamEditor::SetEditing(bool on)
{
    editing_ = on;
    setEditTriggers(on ? QAbstractItemView::AllEditTriggers : QAbstractItemView::NoEditTriggers);
}

int ParamEditor::DefaultColumnWidth() const
{
    return horizontalHeader()->defaultSectionSize();
}

void ParamEditor::SetDefaultColumnWidth(int width)
{
    if (width > 0)
        horizontalHeader()->setDefaultSectionSize(width);
}

void ParamEditor::WidenKeyColumn(const QString& key)
{
    const int needed = fontMetrics().horizontalAdvance(key) + 5;
    if (needed > columnWidth(0))
        setColumnWidth(0, needed);
}

void ParamEditor::ValueListEditor1DrawCell(QPainter* painter, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const
{
    // The row's colour follows its value text, whichever column is drawn.
    const QString valueText = index.siblingAtColumn(1).data(Qt::DisplayRole).toString();
    QColor background;
    QColor foreground = option.palette.color(QPalette::Text);
    if (IsFlagged(valueText)) {
        background = QColor(255, 0, 0);
        foreground = Qt::white;
    } else if (option.state & QStyle::State_Selected) {
        background = QColor(0, 127, 127);
        foreground = Qt::white;
    } else if ((index.row() + 1) % 2 == 1) { // odd grid rows (row 0 is the title row)
        background = QColor(0, 255, 255);
    } else {
        background = option.palette.color(QPalette::Base);
    }
    painter->save();
    painter->setClipRect(option.rect);
    painter->fillRect(option.rect, background);
    painter->setPen(foreground);
    painter->setFont(option.font);
    painter->drawText(option.rect.adjusted(2, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
}

int ParamEditor::TakeWriteError()
{
    const int e = writeError_;
    writeError_ = 0;
    return e;
}

void ParamEditor::SetCursors(bool busy)
{
    if (busy) {
        setCursor(Qt::WaitCursor);
        tree_.setCursor(Qt::WaitCursor);
    } else {
        unsetCursor();
        tree_.unsetCursor();
    }
}

// ---------------------------------------------------------------- panels

void ParamEditor::DropEdit()
{
    if (state() == QAbstractItemView::EditingState && delegate_ != nullptr && delegate_->open_ != nullptr)
        closeEditor(delegate_->open_, QAbstractItemDelegate::NoHint);
}

void ParamEditor::ShowNode(QTreeWidgetItem* node)
{
    const bool attached = handlersAttached_;
    handlersAttached_ = false;

    // An open cell editor belongs to the old panel: drop it without committing.
    DropEdit();
    setCurrentCell(-1, -1);
    ClearRows();
    setColumnWidth(0, 65);

    const auto data = ConfigTree::DataOf(node);
    if (!data) {
        SetEditing(false);
    } else {
        switch (data->kind) {
        case nkDevice:
            SetEditing(false);
            emit deviceNodeShown();
            break;
        case nkEvent:
            SetEditing(false);
            ShowEventPanel(data->itemId);
            break;
        case nkConstGroup:
            SetEditing(true);
            ShowConstGroupPanel(node);
            break;
        case nkConst:
            SetEditing(true);
            AddConstRow(data->itemId);
            break;
        case nkCalcGroup:
            SetEditing(false);
            ShowCalcGroupPanel(node);
            break;
        case nkCalc:
            SetEditing(false);
            ShowCalcPanel(data->itemId);
            break;
        default:
            SetEditing(false);
            break;
        }
    }
    tree_.RefreshPollingMarks();
    handlersAttached_ = attached;
}

void ParamEditor::ShowEventPanel(std::uint16_t id)
{
    const SNodeInfo info = device_.GetNodeInfo(id);
    SetRow(QStringLiteral("GroupEventID"), QString::number(GetU16(info.data.data() + 6)));
    SetRow(QStringLiteral("Имя"), Q(info.name));
    SetRow(QStringLiteral("Маска"), Hex8(GetU32(info.data.data() + 8)));
    SetRow(QStringLiteral("Код"), QString::number(GetU32(info.data.data() + 12)));
}

void ParamEditor::AddConstRow(std::uint16_t id)
{
    const SNodeInfo info = device_.GetNodeInfo(id);
    const SOptions opts = FindOptions(constBank_, info.name);
    const float value = GetF32(info.data.data() + 7);
    std::string valueText = OptionLabel(constBank_, info.name, value);
    if (valueText.empty())
        valueText = FormatValue6(double(value));
    QString key = Q(info.name);
    if (!opts.note.empty())
        key += QStringLiteral(" (") + Q(opts.note) + QLatin1Char(')');

    const int row = SetRow(key, Q(valueText));
    item(row, 0)->setData(RowIdRole, int(id));
    // The row shows the constant set last under this key, so its pick list is that
    // constant's (a key met twice does not collect the options twice).
    QStringList pick;
    for (std::size_t i = 0; i < opts.optCount && i < opts.opts.size(); ++i)
        pick << Q(opts.opts[i].note);
    SetPickList(row, pick);
}

void ParamEditor::ShowConstGroupPanel(QTreeWidgetItem* group)
{
    if (!group->isExpanded())
        return;
    const bool paused = pollingPaused_;
    pollingPaused_ = true;
    emit progressShown(true);
    SetCursors(true);
    const int n = group->childCount();
    for (int i = 0; i < n; ++i) {
        const auto data = ConfigTree::DataOf(group->child(i));
        if (!data || data->kind != nkConst)
            break;
        AddConstRow(data->itemId);
        emit progressChanged(float(i) / float(n));
    }
    emit progressShown(false);
    SetCursors(false);
    pollingPaused_ = paused;
}

void ParamEditor::ShowCalcGroupPanel(QTreeWidgetItem* group)
{
    if (!group->isExpanded())
        return;
    for (int i = 0, n = group->childCount(); i < n; ++i) {
        QTreeWidgetItem* child = group->child(i);
        const auto data = ConfigTree::DataOf(child);
        if (!data || data->kind != nkCalc)
            break;
        SetRow(child->text(0), QString()); // the value arrives with the next tick
    }
}

void ParamEditor::CheckVanished(std::uint16_t id, float value, std::uint32_t status)
{
    if (value == 0.0f && status == 0 && pollState_ != 0 && device_.GetNodeInfo(id).kind == ITEM_NONE)
        pollState_ = 0; // the next tick reloads the configuration
}

void ParamEditor::ShowCalcPanel(std::uint16_t id)
{
    const SNodeInfo info = device_.GetNodeInfo(id);
    SetRow(QStringLiteral("ID"), QString::number(id));
    SetRow(QStringLiteral("GroupEventID"), QString::number(GetU16(info.data.data() + 9)));
    SetRow(QStringLiteral("Имя"), Q(info.name));
    const SNodeValue v = device_.GetItemValue(id);
    CheckVanished(id, v.value, v.status);
    SetRow(QStringLiteral("Значение"), Q(FormatValue6(double(v.value))));
    SetRow(QStringLiteral("События"), Hex8(v.status) + QLatin1Char(' ') + Q(device_.GetActiveEventNames(id)));
}

void ParamEditor::UpdateCalcRow(QTreeWidgetItem* node)
{
    const auto data = ConfigTree::DataOf(node);
    if (!data || data->kind != nkCalc)
        return;
    const SNodeValue v = device_.GetItemValue(data->itemId);
    CheckVanished(data->itemId, v.value, v.status);
    QString text = Q(FormatValue6(double(v.value)));
    const std::string note = OptionNote(calcBank_, node->text(0).toStdString());
    if (!note.empty())
        text += QStringLiteral(" (") + Q(note) + QLatin1Char(')');
    if (v.status != 0) {
        text += QStringLiteral(" F:") + Hex8(v.status) + QLatin1Char(' ');
        const std::string names = device_.GetActiveEventNames(data->itemId);
        if (!names.empty())
            text += QLatin1Char('[') + Q(names) + QLatin1Char(']');
    }
    SetRow(node->text(0), text);
}

// ---------------------------------------------------------------- writes

int ParamEditor::ConstIdOfRow(QTreeWidgetItem* selected, int row) const
{
    const auto data = ConfigTree::DataOf(selected);
    if (!data)
        return -1;
    if (data->kind == nkConst)
        return data->itemId;
    if (data->kind != nkConstGroup || row < 0 || row >= rowCount())
        return -1;
    // The row remembers the constant it shows. Counting children instead would name the
    // wrong constant once two constants of the group shared a key (they share one row).
    const QVariant id = item(row, 0)->data(RowIdRole);
    if (!id.isValid())
        return -1;
    const QTreeWidgetItem* child = tree_.FindNodeById(selected, std::uint16_t(id.toInt()));
    const auto childData = ConfigTree::DataOf(child);
    if (child == nullptr || child->parent() != selected || !childData || childData->kind != nkConst)
        return -1;
    return id.toInt();
}

int ParamEditor::RunOnDevice(const std::function<int(OperationContext&)>& work)
{
    if (operations_ == nullptr) {
        OperationContext here;
        return work(here);
    }
    // The step may wait for the line, so it never runs on this thread. Another operation's
    // frame is on this thread's stack below us (its window's event loop brought us here):
    // waiting for it would never end, and the step refers to its caller's locals, so it
    // cannot wait in a queue either. It is refused; the editor puts the row back and the
    // tick reports the failed write.
    if (operations_->Busy())
        return -1;
    OperationOptions options;
    options.caption = QStringLiteral("Запись значения");
    options.kind = FrameKind::PauseOnly;
    return operations_->Run(options, work);
}

void ParamEditor::WriteConst(std::uint16_t id, const QString& text, const QString& reference)
{
    const SNodeInfo info = device_.GetNodeInfo(id);
    const QString value = Q(OptionValueOf(constBank_, info.name, text.toStdString()));
    if (value == reference)
        return;

    setCursor(Qt::WaitCursor);
    const bool attached = handlersAttached_;
    handlersAttached_ = false;
    const std::string sent = value.toStdString();
    WriteDone(id, RunOnDevice([this, id, &sent](OperationContext&) { return device_.WriteConstant(id, sent); }));
    unsetCursor();
    handlersAttached_ = attached;
}

void ParamEditor::WriteEdited(std::uint16_t id, const QString& text, bool formatted)
{
    const SNodeInfo info = device_.GetNodeInfo(id);
    const std::string typed = text.toStdString();
    setCursor(Qt::WaitCursor);
    const bool attached = handlersAttached_;
    handlersAttached_ = false;
    bool wrote = false;
    const int rc = RunOnDevice([&](OperationContext&) {
        const std::string reference = device_.ReadItemText(id);
        const std::string value =
            OptionValueOf(constBank_, info.name, formatted ? FormatForDevice(typed, reference) : typed);
        if (value == reference)
            return 0;
        wrote = true;
        return device_.WriteConstant(id, value);
    });
    // A step refused before it could run is a failed write too.
    if (wrote || rc != 0)
        WriteDone(id, rc);
    unsetCursor();
    handlersAttached_ = attached;
}

void ParamEditor::WriteDone(std::uint16_t id, int rc)
{
    writeError_ = rc;
    if (writeError_ != 0) {
        const int row = editRow_ - 1;
        if (row >= 0 && row < rowCount())
            SetRow(KeyAt(row), editSavedText_);
        emit writeErrorOccurred(writeError_);
    } else {
        tree_.SetSavedChecksum(device_.GetConfigChecksum());
        if (QTreeWidgetItem* node = tree_.FindNodeById(tree_.SelectedNode(), id))
            tree_.SetNodeText(node);
    }
}

void ParamEditor::StartWriteByEnter(int row, const QString& text)
{
    if (!treeAlive_)
        return;
    const int id = ConstIdOfRow(tree_.SelectedNode(), row);
    if (id < 0)
        return;
    WriteEdited(std::uint16_t(id), text, true);
}

void ParamEditor::ValueListEditor1GetEditText(int gridRow, const QString& text)
{
    editSavedText_ = text;
    editRow_ = gridRow;
}

bool ParamEditor::ValueListEditor1KeyPress(int key)
{
    (void)key;
    const int row = currentRow();
    return row >= 0 && IsPickListRow(row); // typing never changes a pick-list row
}

bool ParamEditor::ValueListEditor1KeyDown(int key)
{
    if (IsNavigationKey(key))
        return false;
    const int row = currentRow();
    if (row >= 0 && IsPickListRow(row))
        return true;
    if (key == vkReturn && row >= 0)
        StartWriteByEnter(row, ValueAt(row));
    return false;
}

void ParamEditor::ValueListEditor1Validate(int column, int gridRow, const QString& key, const QString& value)
{
    (void)column;
    (void)value;
    if (!handlersAttached_)
        return;
    const QString text = Value(key);
    const int id = ConstIdOfRow(tree_.SelectedNode(), gridRow - 1);
    if (id < 0)
        return;
    WriteEdited(std::uint16_t(id), text, !IsPickListRow(gridRow - 1));
}

void ParamEditor::ValueListEditor1StringsChange()
{
    if (!handlersAttached_)
        return;
    const int row = changedRow_ >= 0 ? changedRow_ : currentRow();
    changedRow_ = -1;
    if (!IsPickListRow(row))
        return;
    const int id = ConstIdOfRow(tree_.SelectedNode(), row);
    if (id < 0)
        return;
    WriteEdited(std::uint16_t(id), Value(KeyAt(row)), false);
}

void ParamEditor::CellCommitted(int row, const QString& text, bool byEnter)
{
    if (!handlersAttached_ || !treeAlive_)
        return;
    if (IsPickListRow(row)) {
        changedRow_ = row;
        ValueListEditor1StringsChange();
        return;
    }
    if (byEnter)
        return; // the Enter key has started this edit's write already
    ValueListEditor1Validate(1, row + 1, KeyAt(row), text);
}

void ParamEditor::keyPressEvent(QKeyEvent* event)
{
    const int vk = VirtualKey(event->key());
    if (ValueListEditor1KeyDown(vk != 0 ? vk : -1) ||
        (!event->text().isEmpty() && ValueListEditor1KeyPress(event->text().front().unicode()))) {
        event->accept();
        return;
    }
    if (vk == vkReturn) {
        event->accept();
        return;
    }
    QTableWidget::keyPressEvent(event);
}

} // namespace vx4
