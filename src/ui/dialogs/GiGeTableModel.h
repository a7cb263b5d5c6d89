#pragma once
// GiGeTableModel: the graduation viewer's table, read only: a header "№", "Gi", "Ge" and
// one row per pair holding the row number and the texts of Gi and Ge as the pair table
// writes them. The number column is drawn like a header once the table has rows.

#include <QAbstractTableModel>

#include <string>
#include <vector>

namespace vx4 {

struct GiGeRowText {
    std::string number;
    std::string gi;
    std::string ge;
};

class GiGeTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    void SetRows(std::vector<GiGeRowText> rows);
    void Clear() { SetRows({}); }
    const std::vector<GiGeRowText>& Rows() const { return rows_; }
    // The header cells, as the .dar file's first line takes them.
    static QString HeaderText(int column);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::vector<GiGeRowText> rows_;
};

} // namespace vx4
