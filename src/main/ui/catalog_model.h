#pragma once

#include <QAbstractItemModel>
#include <QFileIconProvider>
#include <QIcon>
#include <QLocale>
#include <QMimeDatabase>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_tree.h"
#include "catalog/tree_order.h"

namespace lumivor {

// The display text of field `field` whose stored text is `stored`: FileSize in kilobytes as
// "%n KB" with the locale's separators and two decimals, SizePercentage followed by "%", every
// other field as stored. A FileSize that is not a number gives the empty text.
[[nodiscard]] QString FieldText(int field, std::string_view stored);
// The same for field `field` of `record` or `node` (nullptr: empty).
[[nodiscard]] QString FieldText(int field, const CatalogRecord* record);
[[nodiscard]] QString FieldText(int field, const CatalogTree::Node* node);

// The program's own picture for the generic icon name of a MIME type ("audio-x-generic"), used
// where the desktop has no icon theme; a null icon for kinds it has none for.
[[nodiscard]] QIcon BundledIcon(const QString& generic_name);

// One column of the catalog view, taken from a row of the column settings.
struct CatalogColumn {
  std::string name;       // the caption; names the field or further attribute
  int field = 0;          // the field shown; -1 for a further attribute
  std::string attribute;  // the further attribute shown (Title, VolumeSize, Hash...) when field < 0
  bool read_only = true;  // not editable (further attributes never are); picks the background
  Qt::Alignment align = Qt::AlignLeft;
};

// The column that a column setting named `name` shows: one of the eleven fields, or a further
// attribute of the records (any well-formed attribute name, such as the tags); a name that can be
// neither shows FileName.
[[nodiscard]] CatalogColumn ColumnNamed(const std::string& name);

// The display text of `column` for `node`: the field's FieldText, or the further attribute as
// AttributeDisplayText gives it (empty when the record has none).
[[nodiscard]] QString ColumnText(const CatalogColumn& column, const CatalogTree::Node* node);

// The catalog view's model: it owns the current catalog tree (adopted, never copied) and shows
// it with one column per column setting.
//
// Indexes point straight at tree nodes (internalPointer), and every node knows its row, so
// parent() is O(1). A cell's text, icon and hint cost O(1): icons are cached by extension.
//
// Sorting happens inside the model, per folder: a sort request orders the folders that a view
// holds indexes into at once (inside layoutAboutToBeChanged/layoutChanged, persistent indexes
// remapped) and every other folder the first time anything asks for one of its children. So a
// re-sort of a million-entry catalog costs what is on screen, not the whole tree. Directories
// come before files in both directions; ties keep their previous order (a stable sort).
class CatalogModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit CatalogModel(QObject* parent = nullptr);

  // Replaces the columns (a model reset).
  void SetColumns(std::vector<CatalogColumn> columns);
  [[nodiscard]] const std::vector<CatalogColumn>& Columns() const { return columns_; }

  // Takes over `tree` as the catalog shown (a model reset); the records are not copied. The tree
  // is shown in its own order until the next Sort.
  void AdoptTree(CatalogTree&& tree);
  // Appends the top-level records of `tree` at the end (one row insertion); `tree` is left empty.
  void AppendTree(CatalogTree&& tree);
  // Removes every record.
  void Clear();
  // The tree shown, in the order the view shows it: every pending folder sort is finished first.
  [[nodiscard]] const CatalogTree& SortedTree();
  // The tree as it stands (folders not shown yet may be in their previous order).
  [[nodiscard]] const CatalogTree& Tree() const { return tree_; }

  // Sorts the whole tree by `field`, ascending or not, directories first; with an `attribute`
  // name, by that further attribute instead (records without it first when ascending).
  void SortTree(int field, bool ascending, const std::string& attribute = {});
  [[nodiscard]] bool Sorted() const { return sort_active_; }
  // The order of the last SortTree.
  [[nodiscard]] const TreeOrder& Order() const { return order_; }

  // The folders not in the current order yet, marked as in order from now on: the caller sorts
  // them with SortFolders off the window's thread, while the views leave them alone (none of
  // them is shown: a folder is sorted before anything reads its rows). Folders the caller did
  // not get to (a cancelled sort) are handed back with TakeBackUnsorted.
  [[nodiscard]] std::vector<CatalogTree::Node*> HandOutPendingSorts();
  void TakeBackUnsorted(std::span<CatalogTree::Node* const> unsorted);

  // Applies the edit to the tree (the core's ApplyEdit) and tells the views of the change.
  void ApplyEdit(CatalogTree::Node* node, int field, std::string_view text);

  // Replaces the record of `node` by `record` (a search result whose catalog file changed); its
  // row shows the new texts.
  void ReplaceRecord(CatalogTree::Node* node, const CatalogRecord& record);

  // The node of `index` (nullptr for the invisible root or an invalid index).
  [[nodiscard]] static CatalogTree::Node* NodeOf(const QModelIndex& index);
  // The index of `node` in `column` (invalid for nullptr or the root).
  [[nodiscard]] QModelIndex IndexOf(const CatalogTree::Node* node, int column = 0) const;

  // The hint of a cell: its text, for FileName and Description followed by
  // " (Press F2 to edit the file's <field>)"; a name's hint adds a line with the record's
  // TagSummary when it has one.
  [[nodiscard]] QString Hint(const CatalogTree::Node* node, int column) const;
  // The icon of a record: the folder icon for directories, else the desktop theme's icon of its
  // MIME type (by extension), else the program's own picture of its kind, else a plain file.
  [[nodiscard]] QIcon Icon(const CatalogTree::Node* node) const;
  // The number of distinct icons built so far (for tests of the cache).
  [[nodiscard]] std::size_t CachedIcons() const { return icons_.size(); }

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 signals:
  // The user committed `text` for `field` of `node` in the view (nothing is stored yet).
  void EditCommitted(CatalogTree::Node* node, int field, const std::string& text);

 private:
  CatalogTree::Node* NodeOrRoot(const QModelIndex& index) const;
  // Sorts the children of `folder` for the current order unless that was done already.
  void EnsureSorted(CatalogTree::Node* folder) const;
  void SortFolder(CatalogTree::Node* folder) const;
  [[nodiscard]] const CatalogColumn* ColumnAt(int column) const;

  CatalogTree tree_;
  std::vector<CatalogColumn> columns_;
  // Sort state: folders whose children are in the current order, by the sort they got.
  bool sort_active_ = false;
  TreeOrder order_;
  mutable std::unordered_set<const CatalogTree::Node*> sorted_folders_;
  // Icons by lower-case extension; directories share one.
  mutable std::unordered_map<std::string, QIcon> icons_;
  mutable QIcon folder_icon_;
  QMimeDatabase mime_;
  QFileIconProvider icon_provider_;
};

}  // namespace lumivor
