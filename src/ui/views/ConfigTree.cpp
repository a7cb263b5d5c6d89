#include "ui/views/ConfigTree.h"

#include "common/FormatForDevice.h"
#include "device/Vx4obj.h"
#include "link/Frames.h"
#include "options/Optlist.h"
#include "ui/views/ParamEditor.h"
#include "ui/views/TreeIcons.h"

#include <QPainter>
#include <QMimeData>
#include <QStyledItemDelegate>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace vx4 {

namespace {

// Item roles holding a node's data record; a node without one has no KindRole value.
constexpr int KindRole = Qt::UserRole + 1;
constexpr int IdRole = Qt::UserRole + 2;
constexpr int IconRole = Qt::UserRole + 3;

// The item name padded with spaces on the right to 7 characters.
QString PaddedName(const QString& name)
{
    return name.size() >= 7 ? name : name.leftJustified(7, QLatin1Char(' '));
}

void SetData(QTreeWidgetItem* node, const NodeData& data)
{
    node->setData(0, KindRole, data.kind);
    node->setData(0, IdRole, int(data.itemId));
}

} // namespace

// Lets the tree colour each node as it is drawn.
class ConfigTreeDelegate : public QStyledItemDelegate {
public:
    explicit ConfigTreeDelegate(ConfigTree* tree) : QStyledItemDelegate(tree), tree_(tree) {}

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        tree_->TreeView1CustomDrawItem(option, index);
    }

private:
    ConfigTree* tree_;
};

ConfigTree::ConfigTree(QWidget* parent, CVX4Obj& device, connection& conn, COptionBank& constBank,
                       COptionBank& calcBank, bool& pollingPaused, int& pollState)
    : QTreeWidget(parent), device_(device), conn_(conn), constBank_(constBank), calcBank_(calcBank),
      pollingPaused_(pollingPaused), pollState_(pollState)
{
    setObjectName(QStringLiteral("TreeView1"));
    setColumnCount(1);
    setHeaderHidden(true);
    setIndentation(19);
    setIconSize(QSize(16, 16));
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setItemDelegate(new ConfigTreeDelegate(this));
    for (int i = 0; i < int(icons_.size()); ++i)
        icons_[std::size_t(i)] = TreeIconAt(i);

    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { TreeView1Change(current); });
    connect(this, &QTreeWidget::itemExpanded, this, &ConfigTree::TreeView1Expanded);
    connect(this, &QTreeWidget::itemCollapsed, this, &ConfigTree::TreeView1Collapsed);
}

ConfigTree::~ConfigTree()
{
    // Deleting the nodes must not reach the editor; an editor that outlives the tree must
    // not reach it either.
    blockSignals(true);
    if (editor_ != nullptr)
        editor_->TreeDestroyed();
}

std::optional<NodeData> ConfigTree::DataOf(const QTreeWidgetItem* node)
{
    if (node == nullptr)
        return std::nullopt;
    const QVariant kind = node->data(0, KindRole);
    if (!kind.isValid())
        return std::nullopt;
    return NodeData{kind.toInt(), std::uint16_t(node->data(0, IdRole).toInt())};
}

int ConfigTree::IconOf(const QTreeWidgetItem* node)
{
    return node == nullptr ? -1 : node->data(0, IconRole).toInt();
}

void ConfigTree::SetIcon(QTreeWidgetItem* node, int icon)
{
    if (icon < 0 || icon >= int(icons_.size()))
        icon = iconDefault;
    node->setData(0, IconRole, icon);
    node->setIcon(0, icons_[std::size_t(icon)]);
}

bool ConfigTree::IsShown(const QTreeWidgetItem* node)
{
    if (node == nullptr)
        return false;
    for (const QTreeWidgetItem* p = node->parent(); p != nullptr; p = p->parent())
        if (!p->isExpanded())
            return false;
    return true;
}

void ConfigTree::ClearNodes()
{
    // Silently: the editor is refilled once the new root is shown.
    const bool was = blockSignals(true);
    clear();
    blockSignals(was);
    lastNode_ = nullptr;
    polledMarks_.clear();
}

int ConfigTree::BuildTree()
{
    if (!device_.IsConfigReady())
        return -1;

    emit aboutToClear();
    ClearNodes();

    // One copy of the whole configuration instead of a look-up per item number; the
    // look-up below follows the device object's own search order (each system's calculated
    // values, then its constants, then the device's constants, then the events), so item
    // number i resolves to the same item GetNodeInfo(i) would give.
    const SConfigSnapshot snap = device_.GetConfigSnapshot();
    const SVX4_Info& info = snap.info;
    savedChecksum_ = info.checksum;
    savedItemCount_ = info.itemCount;

    std::unordered_map<std::uint16_t, const SNodeInfo*> byId;
    byId.reserve(std::size_t(std::min(info.itemCount, SConfigInfo::MaxItemCount)) + 16);
    const auto index = [&byId](const std::vector<SNodeInfo>& items) {
        for (const SNodeInfo& n : items)
            if (n.kind != ITEM_NONE)
                byId.emplace(n.id, &n);
    };
    for (const SSystemSnapshot& s : snap.systems) {
        index(s.calcs);
        index(s.consts);
    }
    index(snap.deviceConsts);
    index(snap.events);

    auto* root = new QTreeWidgetItem(this, QStringList(QStringLiteral("VX4 №") + QString::number(info.ident.serial)));
    SetData(root, NodeData{nkDevice, 0});
    SetIcon(root, iconDefault);
    root->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);

    emit progressShown(true);
    const QString space = QStringLiteral(" ");
    const std::uint32_t count = std::min(info.itemCount, SConfigInfo::MaxItemCount); // identifiers are 16-bit
    for (std::uint32_t i = 1; i <= count; ++i) {
        const auto found = byId.find(std::uint16_t(i));
        if (found == byId.end())
            continue;
        const SNodeInfo& item = *found->second;

        NodeData data{nkDevice, item.id};
        QString path;
        int systemNo = 0;
        int icon = iconDefault;
        if (item.kind == ITEM_CONST) {
            data.kind = nkConst;
            path = QStringLiteral("Const");
            systemNo = item.data[0];
            icon = item.name.rfind("dev", 0) == 0 ? iconTransducerConst : iconConst;
        } else if (item.kind == ITEM_EVENT) {
            data.kind = nkEvent;
            path = QStringLiteral("Event");
            const std::uint16_t geid = GetU16(item.data.data() + 6);
            if (geid > 1)
                path += QStringLiteral("/GEID ") + QString::number(geid);
            icon = iconEvent;
        } else if (item.kind == ITEM_CALC) {
            data.kind = nkCalc;
            path = QStringLiteral("Calc");
            systemNo = item.data[0];
            icon = iconCalc;
        } else {
            continue;
        }
        if (systemNo > 0) {
            // The system's number as one character ('0' + number), then its name when the
            // device reports systems.
            QString prefix = QStringLiteral("Система №") + QChar(char16_t(u'0' + systemNo));
            if (info.systemCount != 0) {
                prefix += space;
                if (systemNo <= int(info.systemNames.size()))
                    prefix += QString::fromStdString(info.systemNames[std::size_t(systemNo - 1)]);
            }
            path = prefix + QLatin1Char('/') + path;
        }

        QTreeWidgetItem* leaf = AddItemNode(path, space, data, icon);
        if (leaf == nullptr)
            break;
        SetNodeTextFrom(leaf, item);
        emit progressChanged(float(i) / float(info.itemCount));
    }
    emit progressShown(false);

    // Expanding the root selects it and shows the device information.
    {
        const bool was = blockSignals(true);
        root->setExpanded(true);
        blockSignals(was);
    }
    TreeView1Expanded(root);
    return 0;
}

QTreeWidgetItem* ConfigTree::AddItemNode(const QString& path, const QString& leafText, const NodeData& data,
                                         int icon)
{
    QTreeWidgetItem* current = Root();
    if (current == nullptr)
        return nullptr;

    qsizetype start = 0;
    while (start <= path.size()) {
        qsizetype end = path.indexOf(QLatin1Char('/'), start);
        if (end < 0)
            end = path.size();
        const QStringView segment = QStringView(path).mid(start, end - start);
        if (segment.isEmpty())
            break;

        QTreeWidgetItem* next = nullptr;
        for (int c = 0, n = current->childCount(); c < n; ++c) {
            QTreeWidgetItem* child = current->child(c);
            if (child->text(0) == segment) {
                next = child;
                break;
            }
        }
        if (next == nullptr) {
            next = new QTreeWidgetItem(current, QStringList(segment.toString()));
            next->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            int groupIcon = iconDefault;
            if (segment.startsWith(QLatin1String("Calc"))) {
                SetData(next, NodeData{nkCalcGroup, 0});
                groupIcon = iconCalcGroup;
            } else if (segment.startsWith(QLatin1String("Const"))) {
                SetData(next, NodeData{nkConstGroup, 0});
                groupIcon = iconConstGroup;
            } else if (segment.startsWith(QStringLiteral("Система"))) {
                SetData(next, NodeData{nkSystem, 0});
                groupIcon = iconSystem;
            } else if (segment.startsWith(QLatin1String("Event"))) {
                SetData(next, NodeData{nkEventGroup, 0});
                groupIcon = iconEventGroup;
            } else if (segment.startsWith(QLatin1String("GEID"))) {
                SetData(next, NodeData{nkGeidGroup, 0});
                groupIcon = iconEventGroup;
            }
            SetIcon(next, groupIcon);
        }
        current = next;
        start = end + 1;
    }

    auto* leaf = new QTreeWidgetItem(current, QStringList(leafText));
    SetData(leaf, data);
    SetIcon(leaf, icon);
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (data.kind == nkCalc)
        flags |= Qt::ItemIsDragEnabled; // only calculated values go onto the chart
    leaf->setFlags(flags);
    return leaf;
}

void ConfigTree::SetNodeText(QTreeWidgetItem* node)
{
    const auto data = DataOf(node);
    if (!data || (data->kind != nkEvent && data->kind != nkConst && data->kind != nkCalc))
        return;
    const SNodeInfo info = device_.GetNodeInfo(data->itemId);
    if (info.kind == ITEM_NONE)
        return; // the item is gone; the label stays until the next rebuild
    SetNodeTextFrom(node, info);
}

void ConfigTree::SetNodeTextFrom(QTreeWidgetItem* node, const SNodeInfo& info)
{
    const auto data = DataOf(node);
    if (!data)
        return;
    const QString name = QString::fromStdString(info.name);
    switch (data->kind) {
    case nkEvent:
        node->setText(0, PaddedName(name) + QStringLiteral(": Mask: 0x") +
                             QStringLiteral("%1").arg(GetU32(info.data.data() + 8), 8, 16, QLatin1Char('0')).toUpper() +
                             QStringLiteral(", Code: ") + QString::number(GetU32(info.data.data() + 12)));
        break;
    case nkConst: {
        const float value = GetF32(info.data.data() + 7);
        std::string label = OptionLabel(constBank_, info.name, value);
        if (label.empty())
            label = FormatValue6(double(value));
        node->setText(0, PaddedName(name) + QStringLiteral("= ") + QString::fromStdString(label));
        break;
    }
    case nkCalc:
        node->setText(0, name);
        break;
    default:
        break;
    }
}

QTreeWidgetItem* ConfigTree::FindNodeById(QTreeWidgetItem* start, std::uint16_t id) const
{
    if (start == nullptr)
        start = Root();
    if (start == nullptr)
        return nullptr;
    for (QTreeWidgetItemIterator it(start); *it != nullptr; ++it) {
        const auto data = DataOf(*it);
        if (data && data->itemId == id &&
            (data->kind == nkEvent || data->kind == nkConst || data->kind == nkCalc))
            return *it;
    }
    return nullptr;
}

int ConfigTree::CheckConfiguration()
{
    const SVX4_Info info = device_.GetDeviceInfo();
    return info.checksum == savedChecksum_ && info.itemCount == savedItemCount_ ? 0 : -1;
}

void ConfigTree::ShowNode(QTreeWidgetItem* node)
{
    if (editor_ != nullptr)
        editor_->ShowNode(node); // refreshes the polling marks at its end
    else
        RefreshPollingMarks();
}

void ConfigTree::TreeView1Change(QTreeWidgetItem* node)
{
    if (node != lastNode_)
        ShowNode(node);
    lastNode_ = node;
    emit nodeSelected(node);
}

void ConfigTree::TreeView1Expanded(QTreeWidgetItem* node)
{
    lastNode_ = node;
    setCurrentItem(node); // TreeView1Change finds lastNode_ equal and does not show it again
    ShowNode(node);
}

void ConfigTree::TreeView1Collapsed(QTreeWidgetItem* node)
{
    lastNode_ = node;
    setCurrentItem(node);
    ShowNode(node);
}

void ConfigTree::TreeView1CustomDrawItem(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    const QVariant kind = index.data(KindRole);
    if (!kind.isValid())
        return;
    if (kind.toInt() == nkConst && option->text.startsWith(QLatin1String("dev"))) {
        option->backgroundBrush = QColor(0, 255, 255);
    } else if (kind.toInt() == nkCalc) {
        const auto id = std::uint16_t(index.data(IdRole).toInt());
        if (device_.GetItemValue(id).status != 0) {
            option->backgroundBrush = QColor(255, 0, 0);
            option->palette.setColor(QPalette::Text, Qt::white);
            option->palette.setColor(QPalette::HighlightedText, Qt::white);
        }
    }
}

void ConfigTree::MarkPolled(std::uint16_t id, bool on)
{
    auto [it, inserted] = polledMarks_.try_emplace(id, false);
    if (it->second == on)
        return;
    it->second = on;
    device_.SetItemPolled(id, on);
}

void ConfigTree::SetCalcPolled(std::uint16_t id, bool on)
{
    polledMarks_[id] = on;
    device_.SetItemPolled(id, on);
}

void ConfigTree::RefreshMarks(QTreeWidgetItem* node, bool shown)
{
    const auto data = DataOf(node);
    if (data && data->kind == nkCalc)
        MarkPolled(data->itemId, shown);
    const bool childrenShown = shown && node->isExpanded();
    for (int c = 0, n = node->childCount(); c < n; ++c)
        RefreshMarks(node->child(c), childrenShown);
}

void ConfigTree::RefreshPollingMarks()
{
    for (int i = 0, n = topLevelItemCount(); i < n; ++i)
        RefreshMarks(topLevelItem(i), true);
}

void ConfigTree::RefreshCalcGroup(QTreeWidgetItem* group)
{
    const bool childrenShown = IsShown(group) && group->isExpanded();
    const bool groupSelected = currentItem() == group && group->isExpanded();
    for (int c = 0; c < group->childCount(); ++c) {
        QTreeWidgetItem* child = group->child(c);
        const auto data = DataOf(child);
        if (!data)
            continue;
        if (child == currentItem() && editor_ != nullptr)
            editor_->ShowNode(child);
        if (groupSelected && data->kind == nkCalc && editor_ != nullptr)
            editor_->UpdateCalcRow(child);
        if (childrenShown && data->kind == nkCalc) {
            // A configuration read by the device object forgets every mark; keep the
            // shown values marked even when that read did not change the configuration.
            device_.SetItemPolled(data->itemId, true);
            polledMarks_[data->itemId] = true;
            if (device_.ItemStatusChanged(data->itemId))
                treeNeedsRepaint_ = true;
        }
    }
}

void ConfigTree::RefreshCalcValues()
{
    const bool attached = editor_ != nullptr && editor_->HandlersAttached();
    if (editor_ != nullptr)
        editor_->SetHandlersAttached(false);

    if (QTreeWidgetItem* root = Root()) {
        bool started = false;
        for (int c = 0; c < root->childCount(); ++c) {
            QTreeWidgetItem* node = root->child(c);
            if (!started) {
                const auto data = DataOf(node);
                if (!data || data->kind != nkSystem)
                    continue;
                started = true;
            }
            for (int g = 0; g < node->childCount(); ++g) {
                const auto data = DataOf(node->child(g));
                if (data && data->kind == nkCalcGroup) {
                    RefreshCalcGroup(node->child(g));
                    break;
                }
            }
        }
        if (treeNeedsRepaint_) {
            treeNeedsRepaint_ = false;
            viewport()->update();
        }
    }

    if (editor_ != nullptr)
        editor_->SetHandlersAttached(attached);
}

QStringList ConfigTree::mimeTypes() const
{
    return QStringList(QString::fromLatin1(CalcMimeType));
}

QMimeData* ConfigTree::mimeData(const QList<QTreeWidgetItem*>& items) const
{
    if (items.size() != 1)
        return nullptr;
    const auto data = DataOf(items.front());
    if (!data || data->kind != nkCalc)
        return nullptr;
    const SNodeInfo info = device_.GetNodeInfo(data->itemId);
    const QString caption = QString::number(info.data[0]) + items.front()->text(0);
    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(CalcMimeType),
                  (QString::number(data->itemId) + QLatin1Char('\n') + caption).toUtf8());
    mime->setText(caption);
    return mime;
}

const char* const ConfigTree::EmptyHint = "F11 — начать опрос";

void ConfigTree::paintEvent(QPaintEvent* event) {
    QTreeWidget::paintEvent(event);
    if (topLevelItemCount() != 0) return;
    // The empty tree says how to fill it.
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    painter.drawText(viewport()->rect().adjusted(8, 8, -8, -8), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                     QString::fromUtf8(EmptyHint));
}

} // namespace vx4
