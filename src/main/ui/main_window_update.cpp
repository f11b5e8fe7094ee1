// The commands of the main window that bring a catalog up to date with its medium: Update Catalog
// and Remove Missing Entries, offered by the library tree's context menu and the library window.

#include <QLocale>
#include <QMenu>
#include <QTreeView>
#include <memory>

#include "catalog/attribute_columns.h"
#include "catalog/catalog_file.h"
#include "copies/catalog_hashes.h"
#include "core/errors.h"
#include "index/index_follower.h"
#include "library/ui/library_panel.h"
#include "main/ui/detail_model.h"
#include "main/ui/main_window.h"
#include "main/ui/update_summary_dialog.h"
#include "scan/catalog_medium.h"
#include "scan/volumes.h"
#include "server/pg_connection.h"
#include "server/server_catalog_copy.h"
#include "update/catalog_update.h"

namespace lumivor {

namespace {
QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

bool MainWindow::UpdateCatalog(const std::string& path, const std::string& from) {
  UpdateOutcome outcome;
  outcome.status = UpdateOutcome::Status::kNoMedium;
  // The update runs on the worker: the window repaints, the progress window shows the folder
  // being read, and its Cancel leaves the catalog file as it was. The question where the medium
  // is, when it is not connected, is put on the window's thread.
  // With content hashes, the files that changed (or have none) are read after the scan.
  HashReport hashes;
  const bool hashing = ContentHashes();
  const bool ran = RunCommand([&] {
    RunInBackground(
        [&](WorkContext& work) {
          UpdateRequest request;
          request.from = from;
          if (hashing) {
            request.before_save = [&](CatalogTree& merged, const std::string& source) {
              const ProgressShown shown(work.progress, true);
              hashes = HashCatalogFiles(merged, source, {}, work.stop, work.progress);
              return !hashes.cancelled;
            };
          }
          if (IsServerCatalog(path)) {
            // A catalog of the server library is updated as a file of its own, then written
            // back in one transaction that keeps the descriptions others set meanwhile.
            ServerLibrary library(library_location_);
            ServerCatalogCopy copy(library,
                                   path.substr(pg::RedactedConnInfo(library_location_).size() + 1));
            outcome = UpdateCatalogFile(copy.Path(), request, work.progress, &work.scan_listener,
                                        &work.prompts, work.stop);
            if (outcome.status == UpdateOutcome::Status::kUpdated) copy.WriteBack();
            return;
          }
          outcome = UpdateCatalogFile(path, request, work.progress, &work.scan_listener,
                                      &work.prompts, work.stop);
          if (outcome.status == UpdateOutcome::Status::kUpdated)
            IndexFollower(work.stop).Written(path);
        },
        QStringLiteral("Updating ") + FromUtf8(DisplayNameOf(path)));
  });
  if (!ran || outcome.status == UpdateOutcome::Status::kNoMedium) return false;
  if (outcome.status == UpdateOutcome::Status::kCancelled) {
    UserPrompts().ShowMessage("Update Catalog", "Cancelled. The catalog is as it was.",
                              MessageIcon::kNone);
    return false;
  }
  ReloadAfterChange(path);
  if (hashes.unreadable > 0) {
    UserPrompts().ShowMessage("Warning", UnhashedFilesText(hashes.unreadable),
                              MessageIcon::kWarning);
  }
  UpdateSummaryDialog summary(FromUtf8(DisplayNameOf(path)), outcome.summary, this);
  summary.exec();
  return true;
}

bool MainWindow::RemoveMissing(const std::string& path) {
  bool removed = false;
  RunCommand([&] {
    CatalogTree kept;
    std::size_t count = 0;
    bool loaded = false;
    // A catalog of the server library is changed as a file of its own, then written back in one
    // transaction that keeps the descriptions others set meanwhile.
    std::unique_ptr<ServerLibrary> library;
    std::unique_ptr<ServerCatalogCopy> copy;
    std::string file = path;
    RunInBackground([&](WorkContext& work) {
      if (IsServerCatalog(path)) {
        library = std::make_unique<ServerLibrary>(library_location_);
        copy = std::make_unique<ServerCatalogCopy>(
            *library, path.substr(pg::RedactedConnInfo(library_location_).size() + 1));
        file = copy->Path();
      }
      std::optional<CatalogTree> tree = LoadCatalog(file, work.progress, work.stop);
      if (!tree) return;
      kept = std::move(*tree);
      count = RemoveMissingEntries(&kept);
      loaded = true;
    });
    if (!loaded) return;
    if (count == 0) {
      UserPrompts().ShowMessage("Remove Missing Entries",
                                DisplayNameOf(path) + " has no missing entries.",
                                MessageIcon::kNone);
      return;
    }
    if (!UserPrompts().AskYesNo("Warning",
                                "Remove the " + std::to_string(count) +
                                    " entries no longer on the medium from " + DisplayNameOf(path) +
                                    "? Their descriptions are lost.",
                                MessageIcon::kQuestion)) {
      return;
    }
    RunInBackground([&](WorkContext& work) {
      removed = SaveCatalog(kept, file, work.progress, work.stop);
      if (removed && copy) copy->WriteBack();
      if (removed && !copy) IndexFollower(work.stop).Written(path);
    });
  });
  if (removed) ReloadAfterChange(path);
  return removed;
}

void MainWindow::ReloadAfterChange(const std::string& path) {
  RunCommand([&] {
    if (path == current_catalog_file_) {
      // The file changed under the view: show it as it is now.
      current_catalog_file_.clear();
      OpenCatalog(path);
      ResortCatalog();
    }
    RefreshLibrary(path);
    UpdateStatusBar();
  });
}

void MainWindow::ShowMediumDetail(const std::string& catalog_file) {
  // The listing's own medium marks give way to the worded rows below.
  std::vector<DetailModel::Row> rows;
  for (const DetailModel::Row& row : detail_model_->Rows()) {
    if (row.key != FromUtf8(kMediumAttribute) && row.key != FromUtf8(kMediumFolderAttribute)) {
      rows.push_back(row);
    }
  }
  for (const auto& [name, value] : MediumDetails(ReadCatalogTop(catalog_file))) {
    // Sizes read as everywhere else on screen.
    const QString shown = FromUtf8(AttributeDisplayText(name, value));
    rows.push_back({QString::fromStdString(name), shown});
  }
  detail_model_->SetRows(std::move(rows), detail_shows_item_);
}

void MainWindow::LibraryContextMenu(const QPoint& position) {
  QTreeView* view = library_panel_->TreeView();
  const QModelIndex index = view->indexAt(position);
  if (!index.isValid()) return;
  view->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  if (!library_panel_->SelectedIsCatalog()) return;
  const std::string path = library_panel_->SelectedPath().toStdString();
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("LibraryMenu"));
  QAction* update = menu.addAction(QStringLiteral("Update Catalog"));
  update->setObjectName(QStringLiteral("UpdateCatalog"));
  QAction* remove = menu.addAction(QStringLiteral("Remove Missing Entries"));
  remove->setObjectName(QStringLiteral("RemoveMissing"));
  menu.addSeparator();
  QAction* compare = menu.addAction(QStringLiteral("Compare With..."));
  compare->setObjectName(QStringLiteral("CompareWith"));
  QAction* verify = menu.addAction(QStringLiteral("Verify"));
  verify->setObjectName(QStringLiteral("Verify"));
  verify->setToolTip(
      QStringLiteral("Read the medium again and list the files that no longer "
                     "match the catalog"));
  // Only a medium that is connected can be read again.
  verify->setEnabled(!LocateMedium(ReadCatalogTop(path)).empty());
  QAction* chosen = menu.exec(view->viewport()->mapToGlobal(position));
  if (chosen == update) UpdateCatalog(path);
  if (chosen == remove) RemoveMissing(path);
  if (chosen == compare) CompareCatalogWith(path);
  if (chosen == verify) VerifyCatalog(path);
}

}  // namespace lumivor
