#pragma once
// StringGrid1: the table of polled values on the page "Таблица". Column 0 holds the sample
// times, column i+1 the samples of list entry i; the title row ("Дата Время" and the
// captions) is the horizontal header. Below the samples the table keeps one empty row, the
// one the next sample fills.
//
// The samples are kept compactly, as the table grows by one row per tick for as long as
// polling runs: one time stamp per row and one 32-bit float per cell, in blocks that never
// move. Texts (SampleTexts.h) are made only for the rows on screen and for the export.
//
// User-interface thread only.

#include "ui/views/SampleTexts.h"

#include <QAbstractTableModel>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vx4 {

class TPolledValuesModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr const char* TimeTitle = "Дата Время";

    explicit TPolledValuesModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The table as the grid it replaces: rows below the title row, the empty one included.
    int DataRows() const { return int(rows_); }
    // Rows holding a sample (the last row is empty except right after Clean).
    std::size_t SampleRows() const { return filled_; }
    int ValueColumns() const { return int(columns_.size()); }
    bool Titled() const { return titled_; }
    QString Caption(int valueColumn) const { return columns_[std::size_t(valueColumn)].caption; }

    // Cell (0,0) becomes "Дата Время".
    void SetTitle();
    // A value column at position index (0..ValueColumns()), empty in the rows already there.
    void InsertValueColumn(int index, const QString& caption);
    void RemoveValueColumn(int index);
    // Gives the table its first (empty) data row when it has none.
    void EnsureDataRow();
    // One sample: the time and one value per value column, written into the last row; a new
    // empty row follows.
    void AddSample(qint64 localMs, const float* values, std::size_t count);
    // "Clean": rows are deleted from the end until the title row and the first data row are
    // left; that row keeps the oldest sample until the next sample is written into it.
    void Clean();
    // Every data row deleted; only the title row is left.
    void RemoveDataRows();
    // Value columns and data rows deleted (a rebuilt tree).
    void Clear();

    // Texts of a cell and of a whole row (UTF-8) for the export; row -1 is the title row.
    QString CellText(int row, int column) const;
    void RowTexts(int row, std::vector<std::string>& cells) const;

    const SampleTexts& Texts() const { return texts_; }
    void SetTexts(const SampleTexts& texts);

    // The sample time (local wall-clock ms) and value of a cell, for tests; false when the
    // cell is empty.
    bool SampleTime(std::size_t row, qint64* localMs) const;
    bool SampleValue(std::size_t row, int valueColumn, float* value) const;

private:
    struct Column {
        QString caption;
        std::size_t first = 0;     // the row of values.front()
        std::deque<float> values;  // rows first .. first + size - 1
    };
    static void SetValue(Column& c, std::size_t row, float v);
    void TruncateSamples(std::size_t rows);

    SampleTexts texts_;
    std::deque<qint64> times_; // one per sample row
    std::vector<Column> columns_;
    std::size_t rows_ = 0;   // data rows, the empty last row included
    std::size_t filled_ = 0; // rows holding a sample
    bool titled_ = false;
};

} // namespace vx4
