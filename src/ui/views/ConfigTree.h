#pragma once
// TreeView1: the configuration tree of the console's main window. One root node for the
// device; under it a node per system with the system's constants and calculated values
// grouped by kind, the device's own constants and the events grouped by group event id.
// The tree is built in one pass when the device object has read the configuration, and
// from then on it decides what the value editor shows, which calculated values the device
// object polls (exactly those whose nodes are shown: every ancestor expanded) and what is
// dragged onto the chart. Nodes are identified by the item id only; the tree never holds
// references into the device object's configuration.
//
// User-interface thread only.

#include <QIcon>
#include <QString>
#include <QTreeWidget>

#include <cstdint>
#include <array>
#include <optional>
#include <unordered_map>

class QMimeData;
class QStyleOptionViewItem;

namespace vx4 {

class CVX4Obj;
class connection;
class COptionBank;
class ParamEditor;
struct SNodeInfo;

// Kinds of tree node.
enum NodeKind : int {
    nkDevice = 0,
    nkSystem = 1,
    nkEventGroup = 2,
    nkGeidGroup = 3,
    nkEvent = 4,
    nkConstGroup = 5,
    nkConst = 6,
    nkCalcGroup = 7,
    nkCalc = 8,
};

// The data record of a node. itemId is the item's id for nkEvent, nkConst and nkCalc, 0 for
// the root and unused for groups.
struct NodeData {
    int kind = nkDevice;
    std::uint16_t itemId = 0;
};

// Indices of the eleven icons (TreeIcons.h draws them).
enum TreeIcon : int {
    iconDefault = 0,
    iconEventGroup = 1,
    iconEvent = 2,
    iconConstGroup = 3,
    iconConst = 4,
    iconCalcGroup = 5,
    iconCalc = 6,
    iconSystem = 7,
    iconExcel = 8,
    iconClean = 9,
    iconTransducerConst = 10,
};

class ConfigTree : public QTreeWidget {
    Q_OBJECT
public:
    // Shown in the empty tree, before the first read: "F11 — начать опрос".
    static const char* const EmptyHint;
    // MIME type of a dragged calculated value. The payload is UTF-8 text of two lines: the
    // item id in decimal, then the chart caption (system number followed by the item name).
    static constexpr const char* CalcMimeType = "application/x-vx4-calc-item";

    // pollingPaused and pollState are the main window's display flags; the tree reads them
    // and the editor changes them (they must outlive the tree).
    ConfigTree(QWidget* parent, CVX4Obj& device, connection& conn, COptionBank& constBank,
               COptionBank& calcBank, bool& pollingPaused, int& pollState);
    ~ConfigTree() override;

    // The value editor this tree feeds; set once by the editor's constructor.
    void SetEditor(ParamEditor* editor) { editor_ = editor; }
    ParamEditor* Editor() const { return editor_; }

    // Builds the whole tree from the device object's configuration. 0 when built, -1 when a
    // re-read is pending (nothing changed then). Emits aboutToClear before deleting the old
    // nodes, progressShown(true) / progressChanged / progressShown(false) around the build.
    int BuildTree();
    // 0 while the device object's summary still has the checksum and item count saved at
    // BuildTree (or by SetSavedChecksum), else -1.
    int CheckConfiguration();
    // Per-tick refresh of the calculated values of every system (see the .cpp).
    void RefreshCalcValues();

    // Adds a leaf with text under the group nodes named by path ("A/B/C"), creating the
    // groups that are missing. Null when the path holds no segment to walk from (no root).
    QTreeWidgetItem* AddItemNode(const QString& path, const QString& leafText, const NodeData& data,
                                 int icon);
    // Relabels a leaf (event, constant, calculated value) from the device object.
    void SetNodeText(QTreeWidgetItem* node);
    // The first node at or after start, depth first, that is an item (nkEvent, nkConst,
    // nkCalc) with this id; null when none. A null start means the first node.
    QTreeWidgetItem* FindNodeById(QTreeWidgetItem* start, std::uint16_t id) const;

    // The data record of a node, empty when it has none (or node is null).
    static std::optional<NodeData> DataOf(const QTreeWidgetItem* node);
    // The index of the node's icon (TreeIcon), -1 for a null node.
    static int IconOf(const QTreeWidgetItem* node);
    // Every ancestor of the node is expanded.
    static bool IsShown(const QTreeWidgetItem* node);

    QTreeWidgetItem* Root() const { return topLevelItemCount() > 0 ? topLevelItem(0) : nullptr; }
    QTreeWidgetItem* SelectedNode() const { return currentItem(); }
    bool IsRootSelected() const { return Root() != nullptr && currentItem() == Root(); }
    // The node last shown in the value editor.
    QTreeWidgetItem* LastNode() const { return lastNode_; }

    // The summary captured when the tree was built; the editor updates the checksum after
    // each successful constant write so that the user's own write is no configuration change.
    std::uint32_t SavedChecksum() const { return savedChecksum_; }
    std::uint16_t SavedItemCount() const { return std::uint16_t(savedItemCount_); }
    void SetSavedChecksum(std::uint32_t checksum) { savedChecksum_ = checksum; }

    // Walks the tree and marks every calculated value polled exactly when its node is shown.
    // Run at the end of every ShowNode.
    void RefreshPollingMarks();
    // Marks one calculated value through the tree (the chart list keeps its entries polled
    // this way), so that the next walk unmarks it again once it is neither shown nor listed.
    void SetCalcPolled(std::uint16_t id, bool on);

    // Handlers of the tree's events.
    void TreeView1Change(QTreeWidgetItem* node);
    void TreeView1Expanded(QTreeWidgetItem* node);
    void TreeView1Collapsed(QTreeWidgetItem* node);
    // Colours of a node as it is drawn: a "dev..." constant on aqua, a calculated value with
    // a non-zero status word in white on red, every other node as the style draws it.
    void TreeView1CustomDrawItem(QStyleOptionViewItem* option, const QModelIndex& index) const;

signals:
    // BuildTree is about to delete every node: the chart list, the chart and the table must
    // let go of their entries first.
    void aboutToClear();
    // The shared progress bar: shown or hidden, and moved (fraction 0..1). Connect directly:
    // the main window repaints while a long build blocks the event loop.
    void progressShown(bool shown);
    void progressChanged(float fraction);
    // A node was selected (also the selection made by expanding or collapsing a node).
    void nodeSelected(QTreeWidgetItem* node);

protected:
    void paintEvent(QPaintEvent* event) override;
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;
    QStringList mimeTypes() const override;

private:
    friend class ConfigTreeDelegate;
    void RefreshMarks(QTreeWidgetItem* node, bool shown);
    void SetIcon(QTreeWidgetItem* node, int icon);
    void SetNodeTextFrom(QTreeWidgetItem* node, const SNodeInfo& info);
    void ShowNode(QTreeWidgetItem* node);
    void RefreshCalcGroup(QTreeWidgetItem* group);
    void MarkPolled(std::uint16_t id, bool on);
    void ClearNodes();

    CVX4Obj& device_;
    connection& conn_;
    COptionBank& constBank_;
    COptionBank& calcBank_;
    bool& pollingPaused_;
    int& pollState_;
    ParamEditor* editor_ = nullptr;
    std::array<QIcon, 11> icons_;

    QTreeWidgetItem* lastNode_ = nullptr;
    bool treeNeedsRepaint_ = false;
    std::uint32_t savedChecksum_ = 0;
    std::uint32_t savedItemCount_ = 0; // compared in full: a 16-bit copy never matches >65535
    // The polled mark the tree last gave each calculated value; walks only tell the device
    // object about changes (it forgets all marks when it reads a configuration, and every
    // read is followed by a new tree).
    std::unordered_map<std::uint16_t, bool> polledMarks_;
};

} // namespace vx4
