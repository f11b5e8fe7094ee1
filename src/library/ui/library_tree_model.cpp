#include "library/ui/library_tree_model.h"

#include <QLocale>
#include <QMimeData>
#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <vector>

#include "catalog/fields.h"
#include "library/ui/library_icons.h"
#include "scan/catalog_medium.h"

namespace lumivor {

namespace {

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// A FileTime as a sortable number: empty times first, unreadable ones last.
double TimeKey(std::string_view text) {
  if (text.empty()) return -std::numeric_limits<double>::infinity();
  std::tm parts{};
  if (!ParseFileTime(text, &parts)) return std::numeric_limits<double>::infinity();
  parts.tm_isdst = -1;
  return static_cast<double>(std::mktime(&parts));
}

// The sort order of the panel as a strict weak ordering. The field comparisons of the record
// layer are not orderings (equal numbers compare as -1, unreadable times as +1 both ways), which
// would break a sorting algorithm, so equal keys compare equal here and stay in listing order.
struct NodeLess {
  int column;
  bool descending;

  bool operator()(const CatalogTree::Node* a, const CatalogTree::Node* b) const {
    const std::string type_a = std::string(Trimmed(a->Field(kFileType)));
    const std::string type_b = std::string(Trimmed(b->Field(kFileType)));
    if (type_a != type_b) {
      // Groups first in both directions.
      if (type_a == kDirectoryType) return true;
      if (type_b == kDirectoryType) return false;
      return type_a < type_b;
    }
    int result = 0;
    switch (column) {
      case LibraryTreeModel::kTimeColumn: {
        const double ka = TimeKey(a->Field(kFileTime));
        const double kb = TimeKey(b->Field(kFileTime));
        result = ka < kb ? -1 : (kb < ka ? 1 : 0);
        break;
      }
      case LibraryTreeModel::kSizeColumn: {
        const double ka = NumberTextValue(a->Field(kFileSize));
        const double kb = NumberTextValue(b->Field(kFileSize));
        result = ka < kb ? -1 : (kb < ka ? 1 : 0);
        break;
      }
      default:
        result = CompareFoldedText(a->Field(kFileName), b->Field(kFileName));
        break;
    }
    return descending ? result > 0 : result < 0;
  }
};

}  // namespace

LibraryTreeModel::LibraryTreeModel(QObject* parent) : QAbstractItemModel(parent) {
  captions_[kNameColumn] = QStringLiteral("CatalogName");
  captions_[kTimeColumn] = QStringLiteral("Create Time");
  captions_[kSizeColumn] = QStringLiteral("Size");
}

LibraryTreeModel::~LibraryTreeModel() = default;

void LibraryTreeModel::SetMediumStates(const std::vector<CatalogMedium>& media) {
  for (const Node* node : ApplyMediumStates(&tree_, media)) {
    const QModelIndex name = IndexOf(node, kNameColumn);
    emit dataChanged(name, name, {Qt::DecorationRole, Qt::ToolTipRole});
  }
}

void LibraryTreeModel::SetTree(CatalogTree tree) {
  beginResetModel();
  tree_ = std::move(tree);
  endResetModel();
}

LibraryTreeModel::Node* LibraryTreeModel::NodeOf(const QModelIndex& index) const {
  if (!index.isValid()) return nullptr;
  return static_cast<Node*>(index.internalPointer());
}

QModelIndex LibraryTreeModel::IndexOf(const Node* node, int column) const {
  if (node == nullptr || node == tree_.Root()) return {};
  return createIndex(static_cast<int>(node->row), column, const_cast<Node*>(node));
}

LibraryTreeModel::Node* LibraryTreeModel::FindByPath(const QString& path) const {
  const QByteArray wanted = path.toUtf8();
  const std::string_view key(wanted.constData(), static_cast<std::size_t>(wanted.size()));
  const Node* found = nullptr;
  // Pre-order with an explicit stack, so a deep library cannot exhaust the call stack.
  std::vector<const Node*> stack;
  const Node* root = tree_.Root();
  for (auto it = root->children.rbegin(); it != root->children.rend(); ++it) stack.push_back(*it);
  while (!stack.empty() && found == nullptr) {
    const Node* node = stack.back();
    stack.pop_back();
    if (node->Field(kFullPath) == key) {
      found = node;
      break;
    }
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
      stack.push_back(*it);
    }
  }
  return const_cast<Node*>(found);
}

int LibraryTreeModel::LevelOf(const Node* node) const { return tree_.Depth(node); }

LibraryTreeModel::Node* LibraryTreeModel::AppendNode(Node* parent, CatalogRecord record) {
  Node* owner = parent == nullptr ? tree_.Root() : parent;
  const int row = static_cast<int>(owner->children.size());
  beginInsertRows(IndexOf(owner), row, row);
  Node* node = tree_.AddChild(parent, std::move(record));
  endInsertRows();
  return node;
}

void LibraryTreeModel::RemoveNode(Node* node) {
  if (node == nullptr || node == tree_.Root()) return;
  const int row = static_cast<int>(node->row);
  beginRemoveRows(IndexOf(node->parent), row, row);
  tree_.Remove(node);
  endRemoveRows();
}

void LibraryTreeModel::RenameNode(Node* node, const QString& name, const QString& full_path) {
  if (node == nullptr) return;
  const std::string old_prefix(node->Field(kFullPath));
  const QByteArray new_path = full_path.toUtf8();
  node->SetField(kFileName, name.toUtf8().toStdString());
  node->SetField(kFullPath, new_path.toStdString());
  if (node->IsFile()) node->SetField(kCatalogName, name.toUtf8().toStdString());
  // Descendants keep their place below the renamed directory.
  std::vector<Node*> stack(node->children.begin(), node->children.end());
  while (!stack.empty()) {
    Node* child = stack.back();
    stack.pop_back();
    const std::string path = child->Field(kFullPath);
    if (path.size() > old_prefix.size() && path.substr(0, old_prefix.size()) == old_prefix) {
      std::string rebased = new_path.toStdString();
      rebased.append(path.substr(old_prefix.size()));
      child->SetField(kFullPath, rebased);
    }
    stack.insert(stack.end(), child->children.begin(), child->children.end());
  }
  const QModelIndex index = IndexOf(node);
  emit dataChanged(index, index.siblingAtColumn(kColumnCount - 1));
}

void LibraryTreeModel::sort(int column, Qt::SortOrder order) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  std::vector<Node*> nodes;
  nodes.reserve(static_cast<std::size_t>(before.size()));
  for (const QModelIndex& index : before) nodes.push_back(NodeOf(index));

  const NodeLess less{column, order == Qt::DescendingOrder};
  std::vector<Node*> stack{tree_.Root()};
  while (!stack.empty()) {
    Node* parent = stack.back();
    stack.pop_back();
    if (parent->children.size() > 1) {
      std::stable_sort(parent->children.begin(), parent->children.end(), less);
      for (std::size_t i = 0; i < parent->children.size(); ++i) {
        parent->children[i]->row = static_cast<std::uint32_t>(i);
      }
    }
    for (Node* child : parent->children) {
      if (child->HasChildren()) stack.push_back(child);
    }
  }

  QModelIndexList after;
  after.reserve(before.size());
  for (qsizetype i = 0; i < before.size(); ++i) {
    after.push_back(IndexOf(nodes[static_cast<std::size_t>(i)], before[i].column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void LibraryTreeModel::SetCaption(int column, const QString& caption) {
  if (column < 0 || column >= kColumnCount) return;
  captions_[column] = caption;
  emit headerDataChanged(Qt::Horizontal, column, column);
}

void LibraryTreeModel::SetIcons(const QIcon& group, const QIcon& catalog) {
  group_icon_ = group;
  catalog_icon_ = catalog;
  connected_icon_ = ConnectedIcon(catalog);
  absent_icon_ = AbsentIcon(catalog);
  if (tree_.Empty()) return;
  emit dataChanged(IndexOf(tree_.Top()), IndexOf(tree_.Top()), {Qt::DecorationRole});
  emit layoutChanged();
}

QString LibraryTreeModel::SizeText(std::string_view bytes) {
  const double kilobytes = NumberTextValue(bytes) / 1024.0;
  return QLocale().toString(kilobytes, 'f', 2) + QStringLiteral(" KB");
}

QString LibraryTreeModel::CellText(const Node* node, int column) const {
  const CatalogRecord& record = node->Record();
  switch (column) {
    case kNameColumn:
      return ToQString(record.Field(kFileName));
    case kTimeColumn:
      return ToQString(record.Field(kFileTime));
    case kSizeColumn:
      // Groups carry a summed size, but only catalogs show one.
      return record.Field(kFileType) == kFileTypeText ? SizeText(record.Field(kFileSize))
                                                      : QString();
    default:
      return {};
  }
}

QModelIndex LibraryTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= kColumnCount) return {};
  if (parent.isValid() && parent.column() != 0) return {};
  const Node* owner = parent.isValid() ? NodeOf(parent) : tree_.Root();
  if (static_cast<std::size_t>(row) >= owner->children.size()) return {};
  return createIndex(row, column, owner->children[static_cast<std::size_t>(row)]);
}

QModelIndex LibraryTreeModel::parent(const QModelIndex& child) const {
  const Node* node = NodeOf(child);
  if (node == nullptr) return {};
  return IndexOf(node->parent);
}

int LibraryTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return 0;
  const Node* owner = parent.isValid() ? NodeOf(parent) : tree_.Root();
  return static_cast<int>(owner->children.size());
}

int LibraryTreeModel::columnCount(const QModelIndex&) const { return kColumnCount; }

bool LibraryTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant LibraryTreeModel::data(const QModelIndex& index, int role) const {
  const Node* node = NodeOf(index);
  if (node == nullptr) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return CellText(node, index.column());
    case Qt::ToolTipRole: {
      QString text = CellText(node, index.column());
      const std::string_view medium = node->Extra(kMediumAttribute);
      if (index.column() == kNameColumn && !medium.empty()) {
        const std::string_view folder = node->Extra(kMediumFolderAttribute);
        const std::string_view seen = node->Extra(kLastSeenAttribute);
        text += medium == "connected"
                    ? QStringLiteral("\nMedium connected at ") +
                          QString::fromUtf8(folder.data(), static_cast<qsizetype>(folder.size()))
                    : QStringLiteral("\nMedium not connected");
        if (medium != "connected" && !seen.empty()) {
          text += QStringLiteral(", last seen ") +
                  QString::fromUtf8(seen.data(), static_cast<qsizetype>(seen.size()));
        }
      }
      return text.isEmpty() ? QVariant(empty_hint_.isEmpty() ? QVariant() : empty_hint_)
                            : QVariant(text);
    }
    case Qt::DecorationRole:
      if (index.column() != kNameColumn) return {};
      if (node->Field(kFileType) != kFileTypeText) return group_icon_;
      if (node->Extra(kMediumAttribute) == "connected") return connected_icon_;
      if (node->Extra(kMediumAttribute) == "absent") return absent_icon_;
      return catalog_icon_;
    case Qt::TextAlignmentRole:
      return index.column() == kNameColumn ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                           : QVariant(Qt::AlignRight | Qt::AlignVCenter);
    case Qt::BackgroundRole:
      if (index.column() == kNameColumn && name_background_.isValid()) return name_background_;
      return {};
    default:
      return {};
  }
}

QVariant LibraryTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  if (role == Qt::DisplayRole) return captions_[section];
  if (role == Qt::TextAlignmentRole) {
    return section == kNameColumn ? QVariant(Qt::AlignLeft | Qt::AlignVCenter)
                                  : QVariant(Qt::AlignRight | Qt::AlignVCenter);
  }
  return {};
}

Qt::ItemFlags LibraryTreeModel::flags(const QModelIndex& index) const {
  const Node* node = NodeOf(index);
  if (node == nullptr) return Qt::NoItemFlags;
  Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (can_edit && can_edit(node, index.column())) result |= Qt::ItemIsEditable;
  if (can_drag && can_drag(node)) result |= Qt::ItemIsDragEnabled;
  if (can_drop && node->Field(kFileType) == kDirectoryType) {
    result |= Qt::ItemIsDropEnabled;
  }
  return result;
}

QStringList LibraryTreeModel::mimeTypes() const { return {QString::fromLatin1(kMimeType)}; }

QMimeData* LibraryTreeModel::mimeData(const QModelIndexList& indexes) const {
  if (indexes.isEmpty()) return nullptr;
  const Node* node = NodeOf(indexes.front());
  if (node == nullptr) return nullptr;
  auto* data = new QMimeData;
  const std::string path = node->Field(kFullPath);
  data->setData(QString::fromLatin1(kMimeType),
                QByteArray(path.data(), static_cast<qsizetype>(path.size())));
  return data;
}

LibraryTreeModel::Node* LibraryTreeModel::DropTarget(const QMimeData* data, Qt::DropAction action,
                                                     int row, const QModelIndex& parent,
                                                     QString* dragged_path) const {
  if (data == nullptr || action != Qt::MoveAction || !can_drop) return nullptr;
  if (!data->hasFormat(QString::fromLatin1(kMimeType))) return nullptr;
  // Above, on or below a node: the node under the mouse is the target either way.
  Node* target = nullptr;
  if (row >= 0) {
    const Node* owner = parent.isValid() ? NodeOf(parent) : tree_.Root();
    if (owner->children.empty()) return nullptr;
    const std::size_t at =
        std::min<std::size_t>(static_cast<std::size_t>(row), owner->children.size() - 1);
    target = owner->children[at];
  } else {
    target = NodeOf(parent);
  }
  if (target == nullptr) return nullptr;
  *dragged_path = QString::fromUtf8(data->data(QString::fromLatin1(kMimeType)));
  return can_drop(*dragged_path, target) ? target : nullptr;
}

bool LibraryTreeModel::canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int,
                                       const QModelIndex& parent) const {
  QString dragged;
  return DropTarget(data, action, row, parent, &dragged) != nullptr;
}

bool LibraryTreeModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int,
                                    const QModelIndex& parent) {
  QString dragged;
  Node* target = DropTarget(data, action, row, parent, &dragged);
  if (target == nullptr || !drop) return false;
  drop(dragged, target);
  // The window rebuilds the tree from disk; the view must not remove the dragged rows itself.
  return false;
}

}  // namespace lumivor
