#include "main/ui/detail_model.h"

namespace lumivor {

void DetailModel::SetRows(std::vector<Row> rows, bool shows_item) {
  beginResetModel();
  rows_ = std::move(rows);
  shows_item_ = shows_item;
  endResetModel();
}

void DetailModel::SetShowsItem(bool shows_item) {
  if (shows_item_ == shows_item) return;
  shows_item_ = shows_item;
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 1));
}

void DetailModel::SetValue(int row, const QString& value) {
  if (row < 0 || row >= rowCount()) return;
  rows_[static_cast<std::size_t>(row)].value = value;
  emit dataChanged(index(row, 1), index(row, 1));
}

bool DetailModel::KeyIsEditable(int row) const {
  if (row < 0 || row >= rowCount()) return false;
  // The key is editable when it occurs in "FileName;Description": an empty key never is.
  if (rows_[static_cast<std::size_t>(row)].tag) return false;
  const QString& key = rows_[static_cast<std::size_t>(row)].key;
  return !key.isEmpty() && QStringLiteral("FileName;Description").contains(key);
}

bool DetailModel::IsEditableCell(int row, int column) const {
  return shows_item_ && column == 1 && KeyIsEditable(row);
}

QString DetailModel::HintFor(int row, int column) const {
  if (row < 0 || row >= rowCount()) return {};
  const Row& entry = rows_[static_cast<std::size_t>(row)];
  if (column != 1) return entry.key;
  if (shows_item_ && KeyIsEditable(row)) {
    return entry.value + QStringLiteral(" (Press F2 to edit the file's ") + entry.key +
           QLatin1Char(')');
  }
  return entry.value;
}

int DetailModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DetailModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant DetailModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() > 1) return {};
  const Row& entry = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return index.column() == 0 ? entry.key : entry.value;
    case Qt::ToolTipRole:
      return HintFor(index.row(), index.column());
    case Qt::TextAlignmentRole:
      return QVariant::fromValue((index.column() == 0 ? Qt::AlignLeft : Qt::AlignRight) |
                                 Qt::AlignVCenter);
    default:
      return {};
  }
}

QVariant DetailModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section == 0) return QStringLiteral("Key");
  if (section == 1) return QStringLiteral("Value");
  return {};
}

Qt::ItemFlags DetailModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (IsEditableCell(index.row(), index.column())) result |= Qt::ItemIsEditable;
  return result;
}

bool DetailModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || !IsEditableCell(index.row(), index.column())) {
    return false;
  }
  const int row = index.row();
  emit ValueCommitted(row, rows_[static_cast<std::size_t>(row)].key, value.toString());
  return true;
}

}  // namespace lumivor
