// The main window's menu bar: every toolbar command and the editing commands, with the shortcuts
// a desktop user expects.

#include <QAction>
#include <QHeaderView>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include "config/config.h"
#include "library/library_storage.h"
#include "library/ui/library_panel.h"
#include "library/ui/library_tree_model.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "main/ui/main_window.h"

namespace lumivor {

namespace {

QAction* AddItem(QMenu* menu, const char* name, const QString& text,
                 const QKeySequence& keys = {}) {
  QAction* action = menu->addAction(text);
  action->setObjectName(QString::fromLatin1(name));
  if (!keys.isEmpty()) action->setShortcut(keys);
  return action;
}

}  // namespace

void MainWindow::CreateMenuBar() {
  // The titles' mnemonics keep clear of the toolbar's (N, C, S, E, O, X).
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("MenuFile"));
  connect(AddItem(file, "ActNewCatalog", QStringLiteral("&New Catalog..."),
                  QKeySequence(Qt::CTRL | Qt::Key_N)),
          &QAction::triggered, this, &MainWindow::OnNewCatalogClicked);
  update_action_ = AddItem(file, "ActUpdateCatalog", QStringLiteral("&Update Catalog..."));
  connect(update_action_, &QAction::triggered, this, &MainWindow::UpdateCurrentCatalog);
  content_hashes_action_ = AddItem(file, "ActContentHashes", QStringLiteral("Content &hashes"));
  content_hashes_action_->setCheckable(true);
  content_hashes_action_->setToolTip(
      QStringLiteral("New catalogs and updates read every file for a hash of its content"));
  connect(content_hashes_action_, &QAction::toggled, this, &MainWindow::SetContentHashes);
  connect(file, &QMenu::aboutToShow, this, &MainWindow::UpdateFileCommands);
  UpdateFileCommands();
  connect(AddItem(file, "ActImport", QStringLiteral("Import...")), &QAction::triggered, this,
          &MainWindow::OnImportClicked);
  connect(
      AddItem(file, "ActExport", QStringLiteral("&Export..."), QKeySequence(Qt::CTRL | Qt::Key_E)),
      &QAction::triggered, this, &MainWindow::OnExportClicked);
  file->addSeparator();
  connect(AddItem(file, "ActConnectLibrary", QStringLiteral("Connect to Shared Library...")),
          &QAction::triggered, this, &MainWindow::OnConnectLibraryClicked);
  file->addSeparator();
  connect(AddItem(file, "ActExit", QStringLiteral("E&xit"), QKeySequence(Qt::CTRL | Qt::Key_Q)),
          &QAction::triggered, this, &QWidget::close);

  QMenu* edit = menuBar()->addMenu(QStringLiteral("E&dit"));
  edit->setObjectName(QStringLiteral("MenuEdit"));
  connect(
      AddItem(edit, "ActSearch", QStringLiteral("&Search..."), QKeySequence(Qt::CTRL | Qt::Key_F)),
      &QAction::triggered, this, &MainWindow::OnSearchClicked);
  connect(AddItem(edit, "ActFindDuplicates", QStringLiteral("Find D&uplicates")),
          &QAction::triggered, this, &MainWindow::OnFindDuplicatesClicked);
  edit->addSeparator();
  connect(AddItem(edit, "ActRename", QStringLiteral("&Rename"), QKeySequence(Qt::Key_F2)),
          &QAction::triggered, this, &MainWindow::OnRenameClicked);
  connect(AddItem(edit, "ActEditDescription", QStringLiteral("Edit &Description")),
          &QAction::triggered, this, [this] { EditFocusedField(kDescription); });

  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  view->setObjectName(QStringLiteral("MenuView"));
  connect(AddItem(view, "ActCatalogLibrary", QStringLiteral("&Catalog Library...")),
          &QAction::triggered, this, &MainWindow::OnLibraryClicked);
  connect(AddItem(view, "ActColumns", QStringLiteral("Config Visible C&olumns...")),
          &QAction::triggered, this, &MainWindow::OnVisibleColumnsClicked);
  view->addSeparator();
  connect(AddItem(view, "ActRefresh", QStringLiteral("&Refresh"), QKeySequence(Qt::Key_F5)),
          &QAction::triggered, this, &MainWindow::OnRefreshClicked);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("MenuHelp"));
  // The Options button's items, here too.
  connect(AddItem(help, "ActHelp", QStringLiteral("&Help"), QKeySequence(Qt::Key_F1)),
          &QAction::triggered, this, &MainWindow::OnHelpClicked);
  connect(AddItem(help, "ActHomepage", QStringLiteral("Goto Home&page")), &QAction::triggered, this,
          &MainWindow::OpenWebPage);
  help->addSeparator();
  QAction* about = AddItem(help, "m1", QStringLiteral("&About Lumivor"));
  connect(about, &QAction::triggered, this, &MainWindow::OnAboutClicked);
}

void MainWindow::UpdateFileCommands() {
  if (update_action_ != nullptr) update_action_->setEnabled(!current_catalog_file_.empty());
}

bool MainWindow::UpdateCurrentCatalog() {
  // The file is copied: the update reopens the catalog on screen, which changes the member.
  const std::string path = current_catalog_file_;
  if (path.empty()) return false;
  return UpdateCatalog(path);
}

void MainWindow::OnRenameClicked() {
  // F2 is also the views' own edit key: where the focus is on an editable cell, that cell is
  // edited, as the key did before it became the menu's shortcut.
  QWidget* focus = focusWidget();
  QTreeView* library = library_panel_->TreeView();
  if (focus == library || focus == library->viewport()) {
    // A group or catalog of the library tree is renamed in place (never the library's root).
    const QModelIndex current = library->currentIndex();
    const QModelIndex name =
        current.isValid() ? current.siblingAtColumn(LibraryTreeModel::kNameColumn) : QModelIndex();
    if (name.isValid() && (name.flags() & Qt::ItemIsEditable)) library->edit(name);
    return;
  }
  if (focus == detail_view_ || focus == detail_view_->viewport()) {
    const QModelIndex current = detail_view_->currentIndex();
    const QModelIndex value = current.isValid() ? current.siblingAtColumn(1) : QModelIndex();
    if (value.isValid() && (value.flags() & Qt::ItemIsEditable)) {
      detail_view_->edit(value);
      return;
    }
  }
  if (focus == catalog_view_ || focus == catalog_view_->viewport()) {
    const QModelIndex current = catalog_view_->currentIndex();
    if (current.isValid() && (current.flags() & Qt::ItemIsEditable) &&
        !catalog_view_->header()->isSectionHidden(current.column())) {
      catalog_view_->edit(current);
      return;
    }
  }
  EditFocusedField(kFileName);
}

void MainWindow::EditFocusedField(int field) {
  const CatalogTree::Node* node = FocusedItem();
  if (node == nullptr) return;
  // The view's own column when it shows the field editable, else the detail pane's row.
  for (int column = 0; column < catalog_model_->columnCount(); ++column) {
    const QModelIndex cell = catalog_model_->IndexOf(node, column);
    if (catalog_model_->Columns()[static_cast<std::size_t>(column)].field == field &&
        !catalog_view_->header()->isSectionHidden(column) && (cell.flags() & Qt::ItemIsEditable)) {
      catalog_view_->setFocus();
      catalog_view_->setCurrentIndex(cell);
      catalog_view_->edit(cell);
      return;
    }
  }
  if (!detail_shows_item_) {
    SetDetailShowsItem(true);
    ShowDetail(node);
  }
  for (int row = 0; row < detail_model_->rowCount(); ++row) {
    const QModelIndex value = detail_model_->index(row, 1);
    if (FieldIndexOf(detail_model_->Rows()[static_cast<std::size_t>(row)].key.toStdString()) ==
            field &&
        (value.flags() & Qt::ItemIsEditable)) {
      detail_view_->setFocus();
      detail_view_->setCurrentIndex(value);
      detail_view_->edit(value);
      return;
    }
  }
}

void MainWindow::OnRefreshClicked() {
  RunCommand([this] {
    // The catalog on screen is read again from its file: another program, the command line or
    // another window may have changed it.
    const std::string path = current_catalog_file_;
    if (!path.empty()) {
      current_catalog_file_.clear();
      try {
        OpenCatalog(path);
      } catch (...) {
        current_catalog_file_ = path;
        throw;
      }
      ResortCatalog();
    }
    RefreshLibrary(path);
    UpdateStatusBar();
  });
}

void MainWindow::OnLibraryNameCommitted(const QModelIndex& index, const QString& text) {
  const CatalogTree::Node* node = library_panel_->Model()->NodeOf(index);
  if (node == nullptr) return;
  const std::string name = text.toUtf8().toStdString();
  if (node->Field(kFileName) == name) return;  // a change of letter case alone is a change
  const std::string old_path(node->Field(kFullPath));
  const bool catalog = node->IsFile();
  LibraryChange change;
  if (!RunCommand([&] { change = RenameLibraryItem(old_path, name, catalog); })) return;
  const QPersistentModelIndex edited(index);
  if (!change.refusal.empty()) {
    prompts_->ShowMessage(kWarningCaption, change.refusal, MessageIcon::kWarning);
    // The name can be mended at once: the editor opens again once this one has closed.
    QTimer::singleShot(0, this, [this, edited] {
      if (edited.isValid()) library_panel_->TreeView()->edit(edited);
    });
    return;
  }
  // The catalog on screen keeps showing under its new path: the file itself, or one in a renamed
  // group.
  if (current_catalog_file_ == old_path) {
    current_catalog_file_ = change.path;
  } else if (!catalog && current_catalog_file_.rfind(old_path + "/", 0) == 0) {
    current_catalog_file_ = change.path + current_catalog_file_.substr(old_path.size());
  }
  // The tree is listed afresh once the editor has let go of the node.
  const std::string renamed = change.path;
  QTimer::singleShot(0, this, [this, old_path, renamed] {
    RefreshLibrary(renamed);
    UpdateStatusBar();
    TellIndexMoved(old_path, renamed);
  });
}

}  // namespace lumivor
