#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <QString>
#include <functional>

#include "catalog/catalog_tree.h"
#include "scan/catalog_medium.h"

namespace lumivor {

// The library listing (root node, groups, catalogs) as a three-column item model: "CatalogName",
// "Create Time" and "Size".
//
// The model owns the CatalogTree that ListLibrary returned and only reads it; indexes point
// straight at the tree's nodes, and a node's row lives in the node, so parent() is O(1). Sorting
// reorders each parent's children in place (groups always before catalogs) and remaps persistent
// indexes, so a selection or an open editor survives a header click.
//
// Editing and drag and drop are off until a window installs the hooks below; the model itself
// never touches the disk.
class LibraryTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  using Node = CatalogTree::Node;

  // The columns of the panel.
  enum Column { kNameColumn = 0, kTimeColumn = 1, kSizeColumn = 2, kColumnCount = 3 };
  // The MIME type under which a dragged node travels (its FullPath, UTF-8).
  static constexpr const char* kMimeType = "application/x-lumivor-library-path";

  explicit LibraryTreeModel(QObject* parent = nullptr);
  ~LibraryTreeModel() override;

  // Replaces the whole content by `tree` (a reset: expansion and selection are lost).
  void SetTree(CatalogTree tree);
  // Marks the catalogs of `media` with their medium states (see ApplyMediumStates); their names'
  // pictures and hints change in place.
  void SetMediumStates(const std::vector<CatalogMedium>& media);
  // The tree shown.
  [[nodiscard]] const CatalogTree& Tree() const { return tree_; }

  // The node of `index`; nullptr for the invalid index.
  [[nodiscard]] Node* NodeOf(const QModelIndex& index) const;
  // The index of `node` in column `column`; invalid for nullptr or the tree's invisible root.
  [[nodiscard]] QModelIndex IndexOf(const Node* node, int column = 0) const;
  // The first node in pre-order whose FullPath equals `path` exactly (case-sensitive); nullptr
  // when there is none.
  [[nodiscard]] Node* FindByPath(const QString& path) const;
  // Depth below the library root: 0 for the root node, 1 for its children, and so on.
  [[nodiscard]] int LevelOf(const Node* node) const;

  // Appends a node with `record` as the last child of `parent` and returns it.
  Node* AppendNode(Node* parent, CatalogRecord record);
  // Removes `node` with everything below it.
  void RemoveNode(Node* node);
  // Sets FileName and FullPath of `node` (after a rename on disk) and FullPath of every node below
  // it, so that later actions on them address the renamed directory.
  void RenameNode(Node* node, const QString& name, const QString& full_path);

  // Sorts every parent's children by `column` in `order`: groups before catalogs in both
  // directions; column 1 by time, column 2 by size, any other by name with ASCII letters folded.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  // The caption of column `column` (0..2).
  void SetCaption(int column, const QString& caption);
  // The pictures: index 0 for the root and groups, index 1 for catalogs.
  void SetIcons(const QIcon& group, const QIcon& catalog);
  // The background of column 0 (invalid colour: none).
  void SetNameBackground(const QColor& colour) { name_background_ = colour; }
  // The hint of cells that have no text of their own.
  void SetEmptyHint(const QString& hint) { empty_hint_ = hint; }

  // Whether `node` may be renamed in `column`; without a hook nothing is editable.
  std::function<bool(const Node* node, int column)> can_edit;
  // Whether `node` may be dragged; without a hook nothing is draggable.
  std::function<bool(const Node* node)> can_drag;
  // Whether the node with FullPath `dragged_path` may be dropped onto `target`.
  std::function<bool(const QString& dragged_path, const Node* target)> can_drop;
  // Runs the drop of `dragged_path` onto `target`; the model removes nothing by itself.
  std::function<void(const QString& dragged_path, Node* target)> drop;

  // The size cell text of a catalog of `bytes` (text) bytes: kilobytes as "%n KB" in the user's
  // locale, with grouping and two decimals.
  [[nodiscard]] static QString SizeText(std::string_view bytes);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }
  Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                       const QModelIndex& parent) const override;
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;

 private:
  [[nodiscard]] QString CellText(const Node* node, int column) const;
  [[nodiscard]] Node* DropTarget(const QMimeData* data, Qt::DropAction action, int row,
                                 const QModelIndex& parent, QString* dragged_path) const;

  CatalogTree tree_;
  QString captions_[kColumnCount];
  QIcon group_icon_, catalog_icon_;
  QIcon connected_icon_, absent_icon_;  // catalogs whose medium is (not) connected
  QColor name_background_;
  QString empty_hint_;
};

}  // namespace lumivor
