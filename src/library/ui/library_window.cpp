#include "library/ui/library_window.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <QVBoxLayout>
#include <ctime>
#include <filesystem>

#include "catalog/fields.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "library/library_storage.h"
#include "library/ui/library_panel.h"
#include "server/pg_connection.h"
#include "stores/open_library.h"
#include "ui/name_edit_delegate.h"

namespace lumivor {

namespace {

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString PathOf(const CatalogTree::Node* node) { return ToQString(node->Field(kFullPath)); }

// The directory part of `path`, without the last "/" and what follows it.
std::string ParentDirectory(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

}  // namespace

LibraryWindow::LibraryWindow(Prompts& prompts, const QString& library_root, QWidget* parent)
    : QDialog(parent),
      prompts_(prompts),
      library_root_(library_root),
      server_(pg::IsServerLocation(Utf8(library_root))),
      location_(server_ ? pg::RedactedConnInfo(Utf8(library_root)) : std::string()) {
  setWindowTitle(QStringLiteral("Catalog Library "));

  SetUpTree();
  QVBoxLayout* buttons = CreateButtons();
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(library_panel, 1);
  layout->addLayout(buttons);
  resize(600, 340);

  connect(new_catalog_button, &QPushButton::clicked, this, &LibraryWindow::OnNewCatalogClicked);
  connect(open_button, &QPushButton::clicked, this, &LibraryWindow::OnOpenClicked);
  connect(edit_button, &QPushButton::clicked, this, &LibraryWindow::OnEditClicked);
  connect(delete_button, &QPushButton::clicked, this, &LibraryWindow::OnDeleteClicked);
  connect(export_button, &QPushButton::clicked, this, &LibraryWindow::OnExportClicked);
  connect(update_button, &QPushButton::clicked, this, &LibraryWindow::OnUpdateClicked);
  connect(remove_missing_button, &QPushButton::clicked, this,
          &LibraryWindow::OnRemoveMissingClicked);
  connect(close_button, &QPushButton::clicked, this, &QDialog::reject);
  connect(library_panel, &LibraryPanel::FocusChanged, this, &LibraryWindow::FocusChanged);

  open_button->setEnabled(false);
  export_button->setEnabled(false);
  update_button->setEnabled(false);
  remove_missing_button->setEnabled(false);
  delete_button->setEnabled(false);
  library_panel->RefreshLibrary();
  FocusChanged(library_panel->FocusedNode());
}

// The library tree: names edited in place, groups and catalogs dragged onto groups.
void LibraryWindow::SetUpTree() {
  library_panel = new LibraryPanel(this);
  library_panel->SetLibraryRoot(library_root_);
  library_panel->SetUseFolderIcon(true);
  library_panel->SetHint(QStringLiteral("the information of the catalog(Press F2 to edit name)"));
  library_panel->setMinimumSize(384, 284);
  LibraryTreeModel* model = library_panel->Model();
  model->SetCaption(LibraryTreeModel::kNameColumn, QStringLiteral("Name  (Press F2 to edit)"));
  model->SetNameBackground(palette().color(QPalette::ToolTipBase));
  library_panel->SetColumnWidths(170, 110, 95);

  QTreeView* view = library_panel->TreeView();
  auto* delegate = new NameEditDelegate(this);
  delegate->committed = [this](const QModelIndex& index, const QString& text) {
    NameCommitted(index, text);
  };
  delegate->cancelled = [this] { EditCancelled(); };
  name_delegate_ = delegate;
  view->setItemDelegateForColumn(LibraryTreeModel::kNameColumn, delegate);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);  // F2 and "&Edit" edit column 0
  view->setDragEnabled(true);
  view->setAcceptDrops(true);
  view->setDropIndicatorShown(true);
  view->setDragDropMode(QAbstractItemView::DragDrop);
  view->setDefaultDropAction(Qt::MoveAction);
  view->setDragDropOverwriteMode(true);  // the node under the mouse is the target
  view->installEventFilter(this);

  model->can_edit = [model](const Node* node, int column) {
    return column == LibraryTreeModel::kNameColumn && model->LevelOf(node) >= 1;
  };
  model->can_drag = [this, model](const Node* node) {
    return !new_group_pending_ && model->LevelOf(node) >= 1;
  };
  model->can_drop = [this](const QString& dragged, const Node* target) {
    return CanDrop(dragged, target);
  };
  model->drop = [this](const QString& dragged, Node* target) {
    // The move may ask questions; let the drag finish first.
    const QString target_path = PathOf(target);
    QTimer::singleShot(0, this, [this, dragged, target_path] { MoveItem(dragged, target_path); });
  };
}

// The column of buttons on the right.
QVBoxLayout* LibraryWindow::CreateButtons() {
  const auto make_button = [this](const char* caption, const char* hint) {
    auto* button = new QPushButton(QString::fromLatin1(caption), this);
    button->setToolTip(QString::fromLatin1(hint));
    button->setAutoDefault(false);
    return button;
  };
  new_catalog_button = make_button("&New Group", "Create a new group");
  open_button = make_button("&Open", "Open a catalog");
  edit_button = make_button("&Edit", "Edit Name");
  delete_button = make_button("&Delete ", "delete a group or catalog");
  export_button = make_button("&Export ", "Export a catalog");
  update_button =
      make_button("&Update", "Update Catalog: scan its medium again, keeping descriptions");
  remove_missing_button = make_button(
      "Remove &Missing", "Remove Missing Entries: drop what the medium no longer holds");
  close_button = make_button("&Close", "Close the window");

  auto* buttons = new QVBoxLayout;
  for (QPushButton* button : {new_catalog_button, open_button, edit_button, delete_button,
                              export_button, update_button, remove_missing_button, close_button}) {
    buttons->addWidget(button);
  }
  buttons->addStretch(1);
  return buttons;
}

LibraryWindow::~LibraryWindow() {
  // An editor still open closes while the children go; this window is no longer there to hear.
  name_delegate_->disconnect();
  library_panel->disconnect(this);
  library_panel->TreeView()->removeEventFilter(this);
  LibraryTreeModel* model = library_panel->Model();
  model->can_edit = {};
  model->can_drag = {};
  model->can_drop = {};
  model->drop = {};
}

void LibraryWindow::FocusChanged(Node* node) {
  const bool catalog = node != nullptr && node->IsFile();
  open_button->setEnabled(catalog);
  export_button->setEnabled(catalog);
  update_button->setEnabled(catalog);
  remove_missing_button->setEnabled(catalog);
  delete_button->setEnabled(node != nullptr && library_panel->Model()->LevelOf(node) != 0);

  // Leaving a pending new group takes its name as it stands.
  if (!new_group_pending_ || reopen_scheduled_) return;
  Node* pending = library_panel->Model()->NodeOf(pending_index_);
  if (pending == nullptr || node == pending) return;
  CommitPendingGroup(pending, ToQString(pending->Field(kFileName)), false);
}

void LibraryWindow::OnOpenClicked() {
  const Node* node = library_panel->FocusedNode();
  if (node == nullptr || !node->IsFile()) return;
  selected_catalog_ = PathOf(node);
  accept();
}

void LibraryWindow::OnExportClicked() {
  const Node* node = library_panel->FocusedNode();
  if (node == nullptr || !node->IsFile() || !export_catalog) return;
  export_catalog(PathOf(node));
}

void LibraryWindow::OnUpdateClicked() {
  const Node* node = library_panel->FocusedNode();
  if (node == nullptr || !node->IsFile() || !update_catalog) return;
  const QString path = PathOf(node);
  update_catalog(path);
  // Size and time of the catalog file changed.
  library_panel->RefreshLibrary();
  library_panel->SelectNodeByPath(path);
}

void LibraryWindow::OnRemoveMissingClicked() {
  const Node* node = library_panel->FocusedNode();
  if (node == nullptr || !node->IsFile() || !remove_missing) return;
  const QString path = PathOf(node);
  remove_missing(path);
  library_panel->RefreshLibrary();
  library_panel->SelectNodeByPath(path);
}

void LibraryWindow::OnNewCatalogClicked() {
  LibraryTreeModel* model = library_panel->Model();
  Node* root = model->Tree().Top();
  if (root == nullptr) return;
  FieldViews fields{};
  const std::string path = GroupPath(root->Field(kFullPath), kNewGroupName);
  const std::string time = FormatFileTime(std::time(nullptr));
  fields[kFileName] = kNewGroupName;
  fields[kFullPath] = path;
  fields[kFileType] = kDirectoryType;
  fields[kFileTime] = time;
  Node* node = model->AppendNode(root, CatalogRecord(fields));
  new_group_pending_ = true;
  pending_index_ = model->IndexOf(node);
  EditNode(node);
}

void LibraryWindow::OnEditClicked() { EditNode(library_panel->FocusedNode()); }

void LibraryWindow::EditNode(Node* node) {
  if (node == nullptr) return;
  QTreeView* view = library_panel->TreeView();
  const QModelIndex index = library_panel->Model()->IndexOf(node, LibraryTreeModel::kNameColumn);
  for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) view->expand(up);
  view->setFocus();
  view->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  view->scrollTo(index);
  view->edit(index);  // refused by the model for the library root
}

void LibraryWindow::ReopenEditor(Node* node) {
  reopen_scheduled_ = true;
  const QPersistentModelIndex index = library_panel->Model()->IndexOf(node);
  QTimer::singleShot(0, this, [this, index] {
    reopen_scheduled_ = false;
    if (index.isValid()) EditNode(library_panel->Model()->NodeOf(index));
  });
}

void LibraryWindow::ReportFailure(const QString& what, const std::string& reason) {
  prompts_.ShowMessage("Error", Utf8(what) + "\n" + reason, MessageIcon::kError);
}

bool LibraryWindow::CommitPendingGroup(Node* node, const QString& name, bool quiet_clash) {
  const std::string parent_dir = ParentDirectory(node->Field(kFullPath));
  LibraryChange change;
  try {
    if (server_) {
      RunWork([&](Progress&, Prompts&) {
        change = OpenLibrary(Utf8(library_root_))->CreateGroup(ItemOf(parent_dir), Utf8(name));
      });
      change.path = PathOfItem(change.path, false);
    } else {
      change = CreateLibraryGroup(parent_dir, Utf8(name));
    }
  } catch (const LumivorError& error) {
    new_group_pending_ = false;
    pending_index_ = QPersistentModelIndex();
    ReportFailure(QStringLiteral("The group could not be created: ") +
                      ToQString(GroupPath(parent_dir, Utf8(name))),
                  error.what());
    library_panel->Model()->RemoveNode(node);
    return false;
  }
  if (!change.refusal.empty()) {
    if (!quiet_clash || change.refusal != kNameExists) {
      prompts_.ShowMessage(kWarningCaption, change.refusal, MessageIcon::kWarning);
    }
    ReopenEditor(node);
    return false;
  }
  new_group_pending_ = false;
  pending_index_ = QPersistentModelIndex();
  library_panel->Model()->RenameNode(node, name, ToQString(change.path));
  if (library_changes != nullptr && !server_) library_changes->Written(change.path);
  ResortSoon();
  return true;
}

void LibraryWindow::NameCommitted(const QModelIndex& index, const QString& text) {
  LibraryTreeModel* model = library_panel->Model();
  Node* node = model->NodeOf(index);
  if (node == nullptr) return;
  const std::string name = Utf8(text);
  const bool changed = node->Field(kFileName) != name;
  const std::string old_path(node->Field(kFullPath));

  if (new_group_pending_ && index == QModelIndex(pending_index_)) {
    // A name left as proposed that is taken already just opens the editor again.
    CommitPendingGroup(node, text, !changed);
    return;
  }

  if (!changed) return;  // a change of letter case alone counts as a change
  LibraryChange change;
  try {
    if (server_) {
      RunWork([&](Progress&, Prompts&) {
        change = OpenLibrary(Utf8(library_root_))->Rename(ItemOf(old_path), name, node->IsFile());
      });
      change.path = PathOfItem(change.path, node->IsFile());
    } else {
      change = RenameLibraryItem(old_path, name, node->IsFile());
    }
  } catch (const LumivorError& error) {
    ReportFailure(QStringLiteral("Could not rename ") + ToQString(old_path), error.what());
    return;
  }
  if (!change.refusal.empty()) {
    prompts_.ShowMessage(kWarningCaption, change.refusal, MessageIcon::kWarning);
    ReopenEditor(node);
    return;
  }
  model->RenameNode(node, text, ToQString(change.path));
  if (library_changes != nullptr && !server_) library_changes->Moved(old_path, change.path);
  ResortSoon();
}

void LibraryWindow::EditCancelled() {
  if (!new_group_pending_) return;
  Node* node = library_panel->Model()->NodeOf(pending_index_);
  new_group_pending_ = false;
  pending_index_ = QPersistentModelIndex();
  if (node != nullptr) library_panel->Model()->RemoveNode(node);
}

void LibraryWindow::OnDeleteClicked() {
  Node* node = library_panel->FocusedNode();
  LibraryTreeModel* model = library_panel->Model();
  if (node == nullptr || model->LevelOf(node) == 0) return;
  if (!prompts_.AskYesNo(kWarningCaption, "Are you sure to delete the item and all its children?",
                         MessageIcon::kQuestion)) {
    return;
  }
  const std::string path(node->Field(kFullPath));
  const std::string parent_path = ParentDirectory(path);
  const std::string root = Utf8(library_root_);
  try {
    const bool catalog = node->IsFile();
    RunWork([&](Progress&, Prompts&) {
      if (server_) {
        OpenLibrary(root)->Delete(ItemOf(path), catalog);
      } else {
        DeleteLibraryItem(path, root);
      }
    });
  } catch (const LumivorError& error) {
    prompts_.ShowMessage("Error", std::string("The item could not be deleted.\n") + error.what(),
                         MessageIcon::kError);
    // Part of a group may be gone: show what is on disk now.
    library_panel->RefreshLibrary();
    if (!library_panel->SelectNodeByPath(ToQString(path))) {
      library_panel->SelectNodeByPath(ToQString(parent_path));
    }
    return;
  }
  model->RemoveNode(node);
  if (library_changes != nullptr && !server_) library_changes->Removed(path);
}

bool LibraryWindow::CanDrop(const QString& dragged_path, const Node* target) const {
  if (new_group_pending_ || target == nullptr || !target->IsDirectory()) return false;
  const LibraryTreeModel* model = library_panel->Model();
  const Node* dragged = model->FindByPath(dragged_path);
  if (dragged == nullptr || dragged != library_panel->FocusedNode()) return false;
  if (model->LevelOf(dragged) < 1) return false;
  return CanDropLibraryItem(dragged->Field(kFullPath), target->Field(kFullPath),
                            target->IsDirectory());
}

bool LibraryWindow::MoveItem(const QString& dragged_path, const QString& target_path) {
  const std::string source = Utf8(dragged_path), target = Utf8(target_path),
                    root = Utf8(library_root_);
  MoveResult result;
  const Node* dragged = library_panel->Model()->FindByPath(dragged_path);
  const bool catalog = dragged != nullptr && dragged->IsFile();
  try {
    RunWork([&](Progress&, Prompts& prompts) {
      if (server_) {
        result = OpenLibrary(root)->Move(ItemOf(source), catalog, ItemOf(target), prompts);
      } else {
        result = MoveLibraryItem(source, target, root, prompts);
      }
    });
  } catch (const LumivorError& error) {
    result.message = error.what();
  }
  // Groups first, every folder in order, the moved item selected where it went.
  library_panel->RefreshLibrary();
  if (result.success) {
    const std::string moved =
        WithTrailingBackslash(target) + std::filesystem::path(source).filename().string();
    if (library_changes != nullptr && !server_) library_changes->Moved(source, moved);
    library_panel->SelectNodeByPath(ToQString(moved));
  }
  if (!result.message.empty()) {
    prompts_.ShowMessage(kWarningCaption, result.message, MessageIcon::kWarning);
  }
  return result.success;
}

bool LibraryWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == library_panel->TreeView() && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_F2) {
    OnEditClicked();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void LibraryWindow::ResortSoon() {
  // Once the name editor has let go of the node: a new or renamed item takes its place in the
  // order, groups before catalogs, as after a listing.
  QTimer::singleShot(0, this, [this] { library_panel->Resort(); });
}

std::string LibraryWindow::ItemOf(std::string_view path) const {
  return path.size() > location_.size() ? std::string(path.substr(location_.size() + 1))
                                        : std::string();
}

std::string LibraryWindow::PathOfItem(std::string_view item, bool catalog) const {
  return location_ + "/" + std::string(item) + (catalog ? ".xml" : "");
}

void LibraryWindow::RunWork(const std::function<void(Progress&, Prompts&)>& work) {
  if (run_work) {
    run_work(
        [&](Progress& progress, Prompts& prompts, std::stop_token) { work(progress, prompts); });
  } else {
    work(NoProgress(), prompts_);
  }
}

}  // namespace lumivor
