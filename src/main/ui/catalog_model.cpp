#include "main/ui/catalog_model.h"

#include <QColor>
#include <QFile>
#include <QGuiApplication>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "catalog/attribute_columns.h"
#include "catalog/catalog_edit.h"
#include "catalog/fields.h"
#include "catalog/tree_order.h"
#include "scan/media_tags.h"
#include "ui/grid_style.h"
#include "update/catalog_update.h"

namespace lumivor {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

const QColor kReadOnlyBackground(239, 243, 255);
const QColor kEditableBackground(255, 255, 225);

// The user's locale with thousands separators (some locales, C among them, leave them out by
// default), made again only when the default locale changes.
const QLocale& SizeLocale() {
  static QLocale base;
  static QLocale grouped = [] {
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale;
  }();
  const QLocale current;
  if (current != base) {
    base = current;
    grouped = current;
    grouped.setNumberOptions(current.numberOptions() & ~QLocale::OmitGroupSeparator);
  }
  return grouped;
}

}  // namespace

QString FieldText(int field, const CatalogRecord* record) {
  if (!record || field < 0 || field >= kFieldCount) return {};
  return FieldText(field, record->Field(field));
}

QString FieldText(int field, const CatalogTree::Node* node) {
  if (!node || field < 0 || field >= kFieldCount) return {};
  std::string scratch;
  return FieldText(field, node->Field(field, &scratch));
}

QString FieldText(int field, std::string_view stored) {
  if (field == kFileSize) {
    if (stored.empty() || !IsNumberText(stored)) return {};
    return SizeLocale().toString(NumberTextValue(stored) / 1024.0, 'f', 2) + QStringLiteral(" KB");
  }
  if (field == kSizePercentage) {
    if (stored.empty()) return {};
    return FromUtf8(stored) + QLatin1Char('%');
  }
  return FromUtf8(stored);
}

CatalogColumn ColumnNamed(const std::string& name) {
  CatalogColumn column;
  column.name = name;
  if (IsFieldName(name)) {
    column.field = FieldIndexOf(name);
  } else if (IsExtraAttributeName(name)) {
    column.field = -1;
    column.attribute = name;
  }
  return column;
}

QString ColumnText(const CatalogColumn& column, const CatalogTree::Node* node) {
  if (node == nullptr) return {};
  if (column.field >= 0) return FieldText(column.field, node);
  const std::string_view value = node->Extra(column.attribute);
  if (value.empty()) return {};
  return FromUtf8(AttributeDisplayText(column.attribute, value));
}

CatalogModel::CatalogModel(QObject* parent) : QAbstractItemModel(parent) {}

void CatalogModel::SetColumns(std::vector<CatalogColumn> columns) {
  beginResetModel();
  columns_ = std::move(columns);
  endResetModel();
}

void CatalogModel::AdoptTree(CatalogTree&& tree) {
  beginResetModel();
  CatalogTree old = std::move(tree_);
  tree_ = std::move(tree);
  sorted_folders_.clear();
  sort_active_ = false;
  endResetModel();
  // `old` is released here, after the views let go of its nodes.
}

void CatalogModel::AppendTree(CatalogTree&& tree) {
  if (tree.Empty()) return;
  const int first = rowCount();
  const int added = static_cast<int>(tree.Root()->children.size());
  beginInsertRows({}, first, first + added - 1);
  tree_.Append(std::move(tree));
  endInsertRows();
}

void CatalogModel::Clear() { AdoptTree(CatalogTree()); }

const CatalogTree& CatalogModel::SortedTree() {
  const std::vector<CatalogTree::Node*> pending = HandOutPendingSorts();
  SortFolders(pending, order_);
  return tree_;
}

void CatalogModel::SortTree(int field, bool ascending, const std::string& attribute) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList old_indexes = persistentIndexList();
  sort_active_ = true;
  order_ = TreeOrder{std::clamp(field, 0, kFieldCount - 1), attribute, ascending};
  sorted_folders_.clear();
  // Folders the views hold indexes into are sorted now; the rest when first shown.
  EnsureSorted(tree_.Root());
  for (const QModelIndex& index : old_indexes) {
    CatalogTree::Node* node = NodeOf(index);
    if (!node) continue;
    EnsureSorted(node);
    for (CatalogTree::Node* up = node->parent; up; up = up->parent) EnsureSorted(up);
  }
  QModelIndexList new_indexes;
  new_indexes.reserve(old_indexes.size());
  for (const QModelIndex& index : old_indexes) {
    CatalogTree::Node* node = NodeOf(index);
    new_indexes.append(node ? createIndex(static_cast<int>(node->row), index.column(), node)
                            : QModelIndex());
  }
  changePersistentIndexList(old_indexes, new_indexes);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CatalogModel::EnsureSorted(CatalogTree::Node* folder) const {
  if (!sort_active_ || folder->children.size() < 1) return;
  if (!sorted_folders_.insert(folder).second) return;
  SortFolder(folder);
}

void CatalogModel::SortFolder(CatalogTree::Node* folder) const { SortChildren(folder, order_); }

std::vector<CatalogTree::Node*> CatalogModel::HandOutPendingSorts() {
  std::vector<CatalogTree::Node*> pending;
  if (!sort_active_) return pending;
  std::vector<CatalogTree::Node*> stack{tree_.Root()};
  while (!stack.empty()) {
    CatalogTree::Node* folder = stack.back();
    stack.pop_back();
    if (!folder->HasChildren()) continue;
    if (sorted_folders_.insert(folder).second) pending.push_back(folder);
    for (CatalogTree::Node* child : folder->children) {
      if (child->HasChildren()) stack.push_back(child);
    }
  }
  return pending;
}

void CatalogModel::TakeBackUnsorted(std::span<CatalogTree::Node* const> unsorted) {
  for (CatalogTree::Node* folder : unsorted) sorted_folders_.erase(folder);
}

void CatalogModel::ApplyEdit(CatalogTree::Node* node, int field, std::string_view text) {
  if (!lumivor::ApplyEdit(node, field, text)) return;
  const int last = columnCount() - 1;
  if (last < 0) return;
  emit dataChanged(IndexOf(node, 0), IndexOf(node, last));
  // Paths below a renamed folder changed too; its own rows are the ones a view may show.
  if (field == kFileName && node->HasChildren()) {
    const QModelIndex parent = IndexOf(node, 0);
    emit dataChanged(index(0, 0, parent),
                     index(static_cast<int>(node->children.size()) - 1, last, parent));
  }
}

void CatalogModel::ReplaceRecord(CatalogTree::Node* node, const CatalogRecord& record) {
  if (!node || node == tree_.Root()) return;
  node->SetRecord(record);
  const int last = columnCount() - 1;
  if (last >= 0) emit dataChanged(IndexOf(node, 0), IndexOf(node, last));
}

CatalogTree::Node* CatalogModel::NodeOf(const QModelIndex& index) {
  return index.isValid() ? static_cast<CatalogTree::Node*>(index.internalPointer()) : nullptr;
}

CatalogTree::Node* CatalogModel::NodeOrRoot(const QModelIndex& index) const {
  return index.isValid() ? static_cast<CatalogTree::Node*>(index.internalPointer())
                         : const_cast<CatalogTree::Node*>(tree_.Root());
}

QModelIndex CatalogModel::IndexOf(const CatalogTree::Node* node, int column) const {
  if (!node || !node->parent || column < 0 || column >= columnCount()) return {};
  // Every folder on the way up must be in its shown order before the row is read.
  std::vector<CatalogTree::Node*> chain;
  for (CatalogTree::Node* up = node->parent; up; up = up->parent) chain.push_back(up);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) EnsureSorted(*it);
  return createIndex(static_cast<int>(node->row), column, const_cast<CatalogTree::Node*>(node));
}

const CatalogColumn* CatalogModel::ColumnAt(int column) const {
  if (column < 0 || column >= static_cast<int>(columns_.size())) return nullptr;
  return &columns_[static_cast<std::size_t>(column)];
}

QString CatalogModel::Hint(const CatalogTree::Node* node, int column) const {
  const CatalogColumn* settings = ColumnAt(column);
  if (!node || !settings) return {};
  const QString text = ColumnText(*settings, node);
  if (settings->field != kFileName && settings->field != kDescription) return text;
  QString hint = text + QStringLiteral(" (Press F2 to edit the file's ") +
                 FromUtf8(FieldNames[static_cast<std::size_t>(settings->field)]) + QLatin1Char(')');
  // A name's hint also tells what the tags say: the line a user looks for on a shelf of discs.
  if (settings->field == kFileName && node->ExtraCount() > 0) {
    const std::string summary = TagSummary(node->Record());
    if (!summary.empty()) hint += QLatin1Char('\n') + FromUtf8(summary);
  }
  return hint;
}

QIcon BundledIcon(const QString& generic_name) {
  QString name = generic_name;
  // Office documents and spreadsheets share one picture.
  if (name.startsWith(QStringLiteral("x-office-"))) name = QStringLiteral("x-office-document");
  const QString path = QStringLiteral(":/mime/%1.svg").arg(name);
  return QFile::exists(path) ? QIcon(path) : QIcon();
}

QIcon CatalogModel::Icon(const CatalogTree::Node* node) const {
  std::string type_text;
  if (Trimmed(node->Field(kFileType, &type_text)) == kDirectoryType) {
    if (folder_icon_.isNull())
      folder_icon_ = icon_provider_.icon(QAbstractFileIconProvider::Folder);
    return folder_icon_;
  }
  // The type comes from the name alone; the disk is never asked.
  std::string path_text;
  std::string_view path = Trimmed(node->Field(kFullPath, &path_text));
  if (path.empty()) path = Trimmed(node->Name());
  const std::size_t slash = path.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  std::string extension(dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1));
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  auto found = icons_.find(extension);
  if (found != icons_.end()) return found->second;
  QIcon icon;
  if (!extension.empty()) {
    const QMimeType type = mime_.mimeTypeForFile(QStringLiteral("x.") + FromUtf8(extension),
                                                 QMimeDatabase::MatchExtension);
    icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
    // Without an icon theme the program's own pictures of the common kinds stand in.
    if (icon.isNull()) icon = BundledIcon(type.genericIconName());
  }
  if (icon.isNull()) icon = icon_provider_.icon(QAbstractFileIconProvider::File);
  return icons_.emplace(std::move(extension), icon).first->second;
}

QModelIndex CatalogModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= columnCount() || parent.column() > 0) return {};
  CatalogTree::Node* folder = NodeOrRoot(parent);
  if (static_cast<std::size_t>(row) >= folder->children.size()) return {};
  EnsureSorted(folder);
  return createIndex(row, column, folder->children[static_cast<std::size_t>(row)]);
}

QModelIndex CatalogModel::parent(const QModelIndex& child) const {
  const CatalogTree::Node* node = NodeOf(child);
  if (!node || !node->parent || node->parent == tree_.Root()) return {};
  return createIndex(static_cast<int>(node->parent->row), 0, node->parent);
}

int CatalogModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  return static_cast<int>(NodeOrRoot(parent)->children.size());
}

int CatalogModel::columnCount(const QModelIndex&) const {
  return static_cast<int>(columns_.size());
}

bool CatalogModel::hasChildren(const QModelIndex& parent) const {
  if (parent.column() > 0) return false;
  return NodeOrRoot(parent)->HasChildren();
}

QVariant CatalogModel::data(const QModelIndex& index, int role) const {
  const CatalogTree::Node* node = NodeOf(index);
  const CatalogColumn* column = ColumnAt(index.column());
  if (!node || !column) return {};
  switch (role) {
    case Qt::DisplayRole:
      return ColumnText(*column, node);
    case Qt::EditRole:
      if (column->field < 0) return FromUtf8(node->Extra(column->attribute));
      return FromUtf8(node->Field(column->field));
    case Qt::DecorationRole:
      if (column->field == kFileName) return Icon(node);
      return {};
    case Qt::ToolTipRole:
      if (!node->Extra(kMissingAttribute).empty()) {
        return Hint(node, index.column()) + QStringLiteral("\nNot on the medium since ") +
               FromUtf8(node->Extra(kMissingAttribute));
      }
      return Hint(node, index.column());
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(column->align | Qt::AlignVCenter);
    case Qt::ForegroundRole:
      // Entries the medium no longer holds, kept for their descriptions, are greyed.
      if (!node->Extra(kMissingAttribute).empty()) {
        return QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text);
      }
      return {};
    case Qt::BackgroundRole:
      if (column->read_only) return Themed(kReadOnlyBackground);
      // Editable columns stand out in the tooltip yellow; a dark palette gets a dark tint of it.
      if (IsDarkPalette(QGuiApplication::palette())) return Themed(kEditableBackground);
      return QGuiApplication::palette().color(QPalette::ToolTipBase);
    default:
      return {};
  }
}

QVariant CatalogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  const CatalogColumn* column = ColumnAt(section);
  if (orientation != Qt::Horizontal || !column) return {};
  if (role == Qt::DisplayRole) return FromUtf8(column->name);
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(column->align | Qt::AlignVCenter);
  return {};
}

Qt::ItemFlags CatalogModel::flags(const QModelIndex& index) const {
  const CatalogColumn* column = ColumnAt(index.column());
  if (!NodeOf(index) || !column) return Qt::NoItemFlags;
  Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (!column->read_only && column->field >= 0) result |= Qt::ItemIsEditable;
  return result;
}

bool CatalogModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  CatalogTree::Node* node = NodeOf(index);
  const CatalogColumn* column = ColumnAt(index.column());
  if (role != Qt::EditRole || !node || !column || column->read_only || column->field < 0) {
    return false;
  }
  emit EditCommitted(node, column->field, value.toString().toStdString());
  return true;
}

}  // namespace lumivor
