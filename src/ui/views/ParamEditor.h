#pragma once
// ValueListEditor1: the two-column value editor ("Параметр", "Значение") to the right of the
// configuration tree. For whatever node the tree selects it shows a panel of key/value rows
// built for the node's kind: events and calculated values read-only, constants editable; an
// edited constant is written to the device. Rows are addressed by key: setting a key that
// exists replaces its value, otherwise a row is appended. A row may carry a pick list; such
// a row is edited only by picking from its drop-down (a combo box).
//
// A write starts in one of three ways: Enter in a plain row, leaving a plain row whose text
// was changed, or picking from a drop-down. A failed write restores the cell and is
// reported through writeErrorOccurred / TakeWriteError (the main window's tick shows it).
//
// User-interface thread only.

#include <QHash>
#include <QString>
#include <QStringList>
#include <QTableWidget>

#include <cstdint>
#include <functional>

class QPainter;
class QStyleOptionViewItem;
class QTreeWidgetItem;

namespace vx4 {

class CVX4Obj;
class connection;
class COptionBank;
class ConfigTree;
class ManualOperation;
class OperationContext;
class ParamEditorDelegate;

class ParamEditor : public QTableWidget {
    Q_OBJECT
public:
    // Registers itself with the tree (tree.SetEditor). pollingPaused and pollState are the
    // main window's display flags.
    ParamEditor(QWidget* parent, CVX4Obj& device, connection& conn, COptionBank& constBank,
                COptionBank& calcBank, ConfigTree& tree, bool& pollingPaused, int& pollState);
    ~ParamEditor() override;

    // The operation frame the device work of a write runs in, off the window's thread
    // (without one it runs here).
    void SetOperations(ManualOperation* operations) { operations_ = operations; }

    // Builds the panel for a node (null: no rows) and then refreshes the tree's polling marks.
    void ShowNode(QTreeWidgetItem* node);
    // Closes an open cell editor without writing what is typed in it (the window closing).
    void DropEdit();
    // Refreshes the row of one calculated value in a calculated-values group panel.
    void UpdateCalcRow(QTreeWidgetItem* node);
    // The constant edited in a row: for a constant node its id; for a constants group the
    // constant shown in that row; -1 otherwise. row counts from 0 (the first row below the
    // title row).
    int ConstIdOfRow(QTreeWidgetItem* selected, int row) const;
    // Writes one constant (text as the user gave it or as formatted; reference: the device's
    // current text of the value). Does nothing when the text to write equals the reference.
    void WriteConst(std::uint16_t id, const QString& text, const QString& reference);

    // ---- rows (also used by the device information panel) ----
    void ClearRows();
    // Sets the value of the first row with this key, or appends a row. Returns its index.
    int SetRow(const QString& key, const QString& value);
    // The value of the first row with this key; empty when there is none.
    QString Value(const QString& key) const;
    QString KeyAt(int row) const;
    QString ValueAt(int row) const;
    // Index of the first row with this key, -1 when none.
    int FindRow(const QString& key) const;
    void SetPickList(int row, const QStringList& items);
    QStringList PickList(int row) const;
    bool IsPickListRow(int row) const { return !PickList(row).isEmpty(); }
    // Switches editing of the value column on (constant panels) or off (every other panel).
    void SetEditing(bool on);
    bool Editing() const { return editing_; }

    // Called by the tree as it is destroyed: the editor no longer reaches it.
    void TreeDestroyed() { treeAlive_ = false; }

    // A cell editor (line edit or drop-down) is open.
    bool IsCellEditorOpen() const { return state() == QAbstractItemView::EditingState; }

    // Width of a column as the user left it: saved and restored by the main window.
    int DefaultColumnWidth() const;
    void SetDefaultColumnWidth(int width);

    // The result of the last constant write, kept until taken (0: nothing to report).
    int WriteError() const { return writeError_; }
    int TakeWriteError();
    // The value text when the cell editor opened, and that cell's grid row (row 0 being the
    // title row, so the first value row is 1).
    const QString& EditSavedText() const { return editSavedText_; }
    int EditRow() const { return editRow_; }

    // The strings-change and validation handlers: detached while panels are built, values
    // refreshed or writes run, so that none of these starts a write.
    bool HandlersAttached() const { return handlersAttached_; }
    void SetHandlersAttached(bool on) { handlersAttached_ = on; }

    // ---- handlers of the editor's events ----
    void ValueListEditor1GetEditText(int gridRow, const QString& text);
    // True when the key is swallowed.
    bool ValueListEditor1KeyDown(int key);
    // The second stage for keys that carry a character; true when swallowed.
    bool ValueListEditor1KeyPress(int key);
    void ValueListEditor1Validate(int column, int gridRow, const QString& key, const QString& value);
    // Draws one cell: the row's colour follows its value text (red with white text when it
    // holds "F:"), the selected cell teal, odd grid rows aqua; text 2 pixels in.
    void ValueListEditor1DrawCell(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index) const;
    void ValueListEditor1StringsChange();

signals:
    // A constant write failed with this code (the cell has been restored already).
    void writeErrorOccurred(int code);
    // The root node was shown: the device information panel fills the rows now (it may call
    // SetRow / SetEditing while the signal is delivered).
    void deviceNodeShown();
    // The shared progress bar while a constants group panel is built.
    void progressShown(bool shown);
    void progressChanged(float fraction);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class ParamEditorDelegate;
    void ShowEventPanel(std::uint16_t id);
    void AddConstRow(std::uint16_t id);
    void ShowConstGroupPanel(QTreeWidgetItem* group);
    void ShowCalcGroupPanel(QTreeWidgetItem* group);
    void ShowCalcPanel(std::uint16_t id);
    // Zero value with zero status of an item that is gone: the next tick reloads.
    void CheckVanished(std::uint16_t id, float value, std::uint32_t status);
    // The delegate committed a cell's text.
    void CellCommitted(int row, const QString& text, bool byEnter);
    void StartWriteByEnter(int row, const QString& text);
    // One write from the editor as one operation: reads the constant's current text from the
    // device, brings text to the device's shape (FormatForDevice against that text when
    // formatted is set), and writes it unless it equals that text.
    void WriteEdited(std::uint16_t id, const QString& text, bool formatted);
    // Runs work in the operation frame (or here without one, or inside another operation).
    int RunOnDevice(const std::function<int(OperationContext&)>& work);
    // What follows a write on the window's thread: a failure restores the cell and is
    // reported, a success takes the new checksum and relabels the node.
    void WriteDone(std::uint16_t id, int rc);
    void WidenKeyColumn(const QString& key);
    void SetCursors(bool busy);

    CVX4Obj& device_;
    connection& conn_;
    COptionBank& constBank_;
    COptionBank& calcBank_;
    ConfigTree& tree_;
    bool& pollingPaused_;
    int& pollState_;

    bool editing_ = false;
    bool handlersAttached_ = true; // strings-change and validation handlers
    int writeError_ = 0;
    QString editSavedText_;
    int editRow_ = 0;
    bool treeAlive_ = true; // the tree may be destroyed first (sibling widgets)
    ParamEditorDelegate* delegate_ = nullptr;
    ManualOperation* operations_ = nullptr;
    int changedRow_ = -1;        // the pick-list row whose text was just picked
    QHash<QString, int> rowOfKey_; // rows are only appended or all removed
};

} // namespace vx4
