#pragma once
// PageControl1: the two pages below the value editor. On "График" the user collects
// calculated values by dragging them from the configuration tree onto the list ListView1;
// each gets a check box and a line in the chart Chart1. On "Таблица" the same values are
// logged in the table StringGrid1, one row per tick, with the toolbar's "toExcel" (export to
// a spreadsheet) and "Clean".
//
// List entries, table columns and chart series are kept in step: entry i is table column
// i+1 and series i. A drop inserts all three at the same position, and a value whose
// caption is listed already is refused. Everything is cleared when the tree is rebuilt.
//
// User-interface thread only.

#include <QTabWidget>

#include <cstdint>
#include <vector>

class QAction;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QMimeData;
class QTableView;
class QToolBar;

namespace vx4 {

class CVX4Obj;
class ConfigTree;
class TPolledValuesChart;
class TPolledValuesModel;

class TPolledValuesPages : public QTabWidget {
    Q_OBJECT
public:
    TPolledValuesPages(QWidget* parent, CVX4Obj& device, ConfigTree& tree);
    ~TPolledValuesPages() override;

    // Drag and drop from the tree onto the list or the table. DragOver: the drag comes
    // from the tree and carries one calculated value. DragDrop inserts it before the entry
    // (list) or value column (table) under pos, or at the end; false when refused.
    bool DragOver(QObject* source, const QMimeData* mime, QWidget* target) const;
    bool DragDrop(QObject* source, const QMimeData* mime, QWidget* target, QPoint pos);

    // Inserts a value at list position index (clamped to the end), checked, with its table
    // column and chart series; false when the caption is listed already.
    bool InsertEntry(int index, std::uint16_t itemId, const QString& caption);
    // "Удалить" of the selected entry.
    void N3Click();
    // "Clean" of the table.
    void ToolButton3Click();
    // "toExcel": the table to a spreadsheet.
    void ToolButton1Click();
    // One sample of every listed value (the tick in psRunning).
    void AddPolledSample();
    // Everything cleared (the tree is about to be rebuilt).
    void Clear();

    // Where the export writes (empty: the folder for the user's files); for tests.
    void SetExportFolder(const QString& folder) { exportFolder_ = folder; }
    // The workbook last written by the export.
    const QString& LastExport() const { return lastExport_; }

    QListWidget& List() { return *ListView1; }
    TPolledValuesChart& Chart() { return *Chart1; }
    TPolledValuesModel& TableModel() { return *model_; }
    QTableView& Table() { return *StringGrid1; }
    QAction& ExcelButton() { return *ToolButton1; }
    QAction& CleanButton() { return *ToolButton3; }
    QAction& DeleteItem() { return *N3; }
    int EntryCount() const { return int(entries_.size()); }
    std::uint16_t EntryItemId(int index) const { return entries_[std::size_t(index)].itemId; }

signals:
    // The shared progress bar while the export writes.
    void progressShown(bool shown);
    void progressChanged(float fraction);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        std::uint16_t itemId = 0;
        bool checked = true;
    };
    void ListView1Change(QListWidgetItem* item);
    void ListView1Deletion(int index);
    void RemoveEntry(int index);
    void UpdateButtons();

    CVX4Obj& device_;
    ConfigTree& tree_;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QListWidget* ListView1 = nullptr;
    TPolledValuesChart* Chart1 = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QAction* ToolButton1 = nullptr;
    QAction* ToolButton3 = nullptr;
    QTableView* StringGrid1 = nullptr;
    TPolledValuesModel* model_ = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* N3 = nullptr;

    std::vector<Entry> entries_;
    std::vector<float> sample_;
    QString exportFolder_;
    QString lastExport_;
    bool updatingList_ = false;
};

} // namespace vx4
