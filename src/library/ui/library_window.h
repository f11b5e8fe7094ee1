#pragma once

#include <QDialog>
#include <QPersistentModelIndex>
#include <QString>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/progress.h"
#include "core/prompts.h"
#include "library/library_changes.h"
#include "library/ui/library_tree_model.h"

class QPushButton;
class QVBoxLayout;

namespace lumivor {

class LibraryPanel;

// The "Catalog Library " window: creates groups, renames groups and catalogs in place, moves them
// by drag and drop, deletes them, exports a catalog and picks one to open; on a library folder or
// a server library.
//
// Every change goes to disk first and the tree follows what the disk did: a rename, deletion,
// group creation or move that fails is reported with the system's message and the tree keeps
// showing what is on disk. A new group exists only as a node until its name is committed
// (`NewGroupPending`); Escape discards it without touching the disk.
class LibraryWindow : public QDialog {
  Q_OBJECT

 public:
  // `library_root` is the library directory shown and changed.
  LibraryWindow(Prompts& prompts, const QString& library_root, QWidget* parent = nullptr);
  ~LibraryWindow() override;

  // The catalog chosen with "&Open" (the window then closed with OK); empty otherwise.
  [[nodiscard]] const QString& SelectedCatalog() const { return selected_catalog_; }
  // True from "&New Group" until the new group's directory exists or the node was discarded.
  [[nodiscard]] bool NewGroupPending() const { return new_group_pending_; }

  // Exports the catalog file at the given path (the export dialog with that catalog preset). Set
  // by the opener; without it "&Export " does nothing.
  std::function<void(const QString& catalog_path)> export_catalog;
  // Updates the catalog file at the given path from its medium ("&Update"), and removes its
  // missing entries ("Remove &Missing"). Set by the opener; without them the buttons do nothing.
  std::function<void(const QString& catalog_path)> update_catalog;
  std::function<void(const QString& catalog_path)> remove_missing;
  // Runs work that may take long (a move across file systems copies; a delete of a big group) off
  // the window's thread, handing it a progress and prompts it may use there, and returns when it
  // has ended, raising what it raised. Set by the opener; without it the work runs in place.
  std::function<void(const std::function<void(Progress&, Prompts&, std::stop_token)>&)> run_work;
  // Told of every group made and every item renamed, moved or deleted, once it is done on disk
  // (the opener passes it on to the library's index). May stay null.
  LibraryChanges* library_changes = nullptr;

  // Moves the item at `dragged_path` into the group at `target_path` and rebuilds the tree when it
  // moved; a drop runs this once the drag has ended. False when nothing moved.
  bool MoveItem(const QString& dragged_path, const QString& target_path);

  LibraryPanel* library_panel = nullptr;
  QPushButton* new_catalog_button = nullptr;
  QPushButton* open_button = nullptr;
  QPushButton* edit_button = nullptr;
  QPushButton* delete_button = nullptr;
  QPushButton* export_button = nullptr;
  QPushButton* update_button = nullptr;
  QPushButton* remove_missing_button = nullptr;
  QPushButton* close_button = nullptr;

  // Handlers.
  void OnOpenClicked();
  void OnNewCatalogClicked();
  void OnEditClicked();
  void OnDeleteClicked();
  void OnExportClicked();
  void OnUpdateClicked();
  void OnRemoveMissingClicked();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetUpTree();
  [[nodiscard]] QVBoxLayout* CreateButtons();
  using Node = LibraryTreeModel::Node;

  void FocusChanged(Node* node);
  // The rules run when an edit of `index` is committed with `text`.
  void NameCommitted(const QModelIndex& index, const QString& text);
  void EditCancelled();
  // Creates the pending group's directory under `name` and names the node so. A refused name
  // (told unless `quiet_clash` and the name is taken) opens the editor again and the group stays
  // pending; a failure of the system is reported and removes the node. True when created.
  bool CommitPendingGroup(Node* node, const QString& name, bool quiet_clash);
  // Selects `node` again and re-opens its name editor once the current event is done.
  void ReopenEditor(Node* node);
  void EditNode(Node* node);
  // Puts the tree in order again once the current event is done.
  void ResortSoon();
  // Runs `work` through run_work, or in place without it.
  void RunWork(const std::function<void(Progress&, Prompts&)>& work);
  bool CanDrop(const QString& dragged_path, const Node* target) const;
  void ReportFailure(const QString& what, const std::string& reason);
  // A server library's items go through its Library: they are named below it ("Group/Sub",
  // "Group/Name.xml"), and their tree paths start with the library's shown location.
  [[nodiscard]] std::string ItemOf(std::string_view path) const;
  [[nodiscard]] std::string PathOfItem(std::string_view item, bool catalog) const;

  Prompts& prompts_;
  QString library_root_;
  bool server_ = false;   // the library is on a server
  std::string location_;  // a server library's location as shown
  QObject* name_delegate_ = nullptr;
  QString selected_catalog_;
  bool new_group_pending_ = false;
  QPersistentModelIndex pending_index_;
  bool reopen_scheduled_ = false;
};

}  // namespace lumivor
