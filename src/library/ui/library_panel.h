#pragma once

#include <QString>
#include <QTreeView>
#include <QWidget>
#include <cstdint>
#include <string>
#include <thread>

#include "library/ui/library_tree_model.h"

namespace lumivor {

// The library tree panel: the catalog library (root, groups at any depth, catalogs) as a sortable
// three-column tree, used by the main window, the library window, the new-catalog dialog, the
// search dialog and the export dialog.
//
// The panel reads the library only through ListLibrary and never writes to disk; windows that
// rename, move or delete install the model's hooks and act themselves. A refresh rebuilds every
// node and keeps the header's sort state without re-sorting: new content shows in listing order
// until the next header click.
class LibraryPanel : public QWidget {
  Q_OBJECT

 public:
  explicit LibraryPanel(QWidget* parent = nullptr);
  ~LibraryPanel() override;

  // The library root to list; empty means the configured library path.
  void SetLibraryRoot(const QString& root);
  // Lists only the root and the groups (the group picker of the new-catalog dialog).
  void SetGroupsOnly(bool groups_only);
  // Rebuilds the tree from disk, then focuses, selects and expands the library root node. Whether
  // each catalog's medium is connected is found out on a thread of its own (it reads the head of
  // every catalog file) and shown when known; the window does not wait for it.
  void RefreshLibrary();
  // Why the last RefreshLibrary listed the library's top alone (a server that could not be
  // reached); empty when it listed the library.
  [[nodiscard]] const std::string& ListingError() const { return listing_error_; }
  // Waits until the media of the last listing are known and shown (for tests and benchmarks).
  void WaitForMediumStates();
  // Puts every folder's items in order again after a change (a new group, a rename): by the
  // header's sort column when one was clicked, else by name; groups before catalogs either way.
  void Resort();
  // Selects, focuses and expands the first node (pre-order) whose FullPath equals `path` exactly;
  // its ancestors are expanded. False, and nothing changes, when there is none.
  bool SelectNodeByPath(const QString& path);

  // The tree control.
  [[nodiscard]] QTreeView* TreeView() const { return view_; }
  // Its model.
  [[nodiscard]] LibraryTreeModel* Model() const { return model_; }
  // The focused node; nullptr when there is none.
  [[nodiscard]] LibraryTreeModel::Node* FocusedNode() const;
  // FullPath of the focused node; empty when no node is focused.
  [[nodiscard]] QString SelectedPath() const;
  // True when the focused node is a catalog (FileType "file").
  [[nodiscard]] bool SelectedIsCatalog() const;

  // Shows a plain folder for groups instead of the panel's own group picture.
  void SetUseFolderIcon(bool folder);
  // Uses the ordinary window colours instead of the panel's blue tints.
  void SetPlainColours(bool plain);
  // The hint of the tree where a cell has no text.
  void SetHint(const QString& hint);
  // Column widths, in pixels.
  void SetColumnWidths(int name, int time, int size);

 signals:
  // A node was clicked, or Enter was pressed on it.
  void NodeActivated(const QString& path, bool is_catalog);
  // The focused node changed (nullptr: none).
  void FocusChanged(LibraryTreeModel::Node* node);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void HeaderClicked(int section);
  // Stops the running check of the media, if any, and waits for its thread.
  void StopMediumCheck();
  void EmitActivated(const QModelIndex& index);

  QTreeView* view_ = nullptr;
  LibraryTreeModel* model_ = nullptr;
  QString root_;
  std::string listing_error_;
  bool groups_only_ = false;
  bool sorted_ = false;  // the header has a sort column
  Qt::SortOrder sort_order_ = Qt::AscendingOrder;
  bool use_folder_icon_ = false;
  // The check of the media of the listing shown; a new listing stops and replaces it.
  std::jthread medium_check_;
  std::uint64_t listing_ = 0;  // counts the listings, so that a late answer is dropped
};

}  // namespace lumivor
