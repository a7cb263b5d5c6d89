#include "ui/dialogs/GiGeTableModel.h"

#include <QApplication>
#include <QPalette>

namespace vx4 {

void GiGeTableModel::SetRows(std::vector<GiGeRowText> rows)
{
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

QString GiGeTableModel::HeaderText(int column)
{
    switch (column) {
    case 0: return QStringLiteral("№");
    case 1: return QStringLiteral("Gi");
    default: return QStringLiteral("Ge");
    }
}

int GiGeTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

int GiGeTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QVariant GiGeTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows_.size()))
        return {};
    const GiGeRowText& row = rows_[std::size_t(index.row())];
    if (role == Qt::DisplayRole) {
        const std::string& text = index.column() == 0 ? row.number : index.column() == 1 ? row.gi : row.ge;
        return QString::fromStdString(text);
    }
    if (role == Qt::TextAlignmentRole)
        return index.column() == 0 ? int(Qt::AlignCenter) : int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::BackgroundRole && index.column() == 0)
        return QApplication::palette().button(); // the fixed column
    return {};
}

QVariant GiGeTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return HeaderText(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags GiGeTableModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

} // namespace vx4
