#include "ui/views/PolledValuesModel.h"

#include <algorithm>

namespace vx4 {

TPolledValuesModel::TPolledValuesModel(QObject* parent) : QAbstractTableModel(parent), texts_(SampleTexts::Current())
{
}

int TPolledValuesModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_); }

int TPolledValuesModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1 + int(columns_.size());
}

QVariant TPolledValuesModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return CellText(index.row(), index.column());
}

QVariant TPolledValuesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    return CellText(-1, section);
}

bool TPolledValuesModel::SampleTime(std::size_t row, qint64* localMs) const
{
    if (row >= filled_)
        return false;
    *localMs = times_[row];
    return true;
}

bool TPolledValuesModel::SampleValue(std::size_t row, int valueColumn, float* value) const
{
    if (row >= filled_ || valueColumn < 0 || valueColumn >= int(columns_.size()))
        return false;
    const Column& c = columns_[std::size_t(valueColumn)];
    if (row < c.first || row - c.first >= c.values.size())
        return false;
    *value = c.values[row - c.first];
    return true;
}

QString TPolledValuesModel::CellText(int row, int column) const
{
    if (column < 0 || column > int(columns_.size()))
        return {};
    if (row < 0) {
        if (column == 0)
            return titled_ ? QString::fromUtf8(TimeTitle) : QString();
        return columns_[std::size_t(column - 1)].caption;
    }
    if (column == 0) {
        qint64 t;
        return SampleTime(std::size_t(row), &t) ? texts_.DateTimeText(t) : QString();
    }
    float v;
    return SampleValue(std::size_t(row), column - 1, &v) ? texts_.ValueText(v) : QString();
}

void TPolledValuesModel::RowTexts(int row, std::vector<std::string>& cells) const
{
    const std::size_t n = 1 + columns_.size();
    cells.resize(n);
    if (row < 0) {
        for (std::size_t c = 0; c < n; ++c)
            cells[c] = CellText(-1, int(c)).toStdString();
        return;
    }
    for (std::string& s : cells)
        s.clear();
    const auto r = std::size_t(row);
    qint64 t;
    if (SampleTime(r, &t))
        texts_.AppendDateTimeText(t, cells[0]);
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        float v;
        if (SampleValue(r, int(c), &v))
            texts_.AppendValueText(v, cells[c + 1]);
    }
}

void TPolledValuesModel::SetTexts(const SampleTexts& texts)
{
    beginResetModel();
    texts_ = texts;
    endResetModel();
}

void TPolledValuesModel::SetTitle()
{
    if (titled_)
        return;
    titled_ = true;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void TPolledValuesModel::InsertValueColumn(int index, const QString& caption)
{
    index = std::clamp(index, 0, int(columns_.size()));
    beginInsertColumns({}, index + 1, index + 1);
    Column c;
    c.caption = caption;
    c.first = filled_;
    columns_.insert(columns_.begin() + index, std::move(c));
    endInsertColumns();
}

void TPolledValuesModel::RemoveValueColumn(int index)
{
    if (index < 0 || index >= int(columns_.size()))
        return;
    beginRemoveColumns({}, index + 1, index + 1);
    columns_.erase(columns_.begin() + index);
    endRemoveColumns();
}

void TPolledValuesModel::EnsureDataRow()
{
    if (rows_ > 0)
        return;
    beginInsertRows({}, 0, 0);
    rows_ = 1;
    endInsertRows();
}

void TPolledValuesModel::SetValue(Column& c, std::size_t row, float v)
{
    if (c.values.empty())
        c.first = row;
    if (row >= c.first && row - c.first < c.values.size())
        c.values[row - c.first] = v;
    else if (row == c.first + c.values.size())
        c.values.push_back(v);
    // Rows are written in order and a column only ever starts empty, so no gap can arise.
}

void TPolledValuesModel::AddSample(qint64 localMs, const float* values, std::size_t count)
{
    EnsureDataRow();
    const std::size_t row = rows_ - 1; // the last row, normally the empty one
    if (row < filled_) {
        times_[row] = localMs;
    } else {
        times_.push_back(localMs);
        filled_ = row + 1;
    }
    for (std::size_t i = 0; i < columns_.size() && i < count; ++i)
        SetValue(columns_[i], row, values[i]);
    emit dataChanged(index(int(row), 0), index(int(row), int(columns_.size())));

    beginInsertRows({}, int(rows_), int(rows_));
    ++rows_;
    endInsertRows();
}

void TPolledValuesModel::TruncateSamples(std::size_t rows)
{
    if (filled_ <= rows)
        return;
    times_.resize(rows);
    times_.shrink_to_fit();
    for (Column& c : columns_) {
        if (c.first >= rows) {
            c.values.clear();
            c.first = rows;
        } else if (c.values.size() > rows - c.first) {
            c.values.resize(rows - c.first);
        }
        c.values.shrink_to_fit();
    }
    filled_ = rows;
}

void TPolledValuesModel::Clean()
{
    if (rows_ <= 1)
        return;
    beginRemoveRows({}, 1, int(rows_) - 1);
    rows_ = 1;
    TruncateSamples(1);
    endRemoveRows();
}

void TPolledValuesModel::RemoveDataRows()
{
    if (rows_ == 0)
        return;
    beginRemoveRows({}, 0, int(rows_) - 1);
    rows_ = 0;
    TruncateSamples(0);
    endRemoveRows();
}

void TPolledValuesModel::Clear()
{
    beginResetModel();
    columns_.clear();
    times_.clear();
    times_.shrink_to_fit();
    rows_ = 0;
    filled_ = 0;
    endResetModel();
}

} // namespace vx4
