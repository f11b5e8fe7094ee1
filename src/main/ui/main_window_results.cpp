// Search results in the main window: they stand in for a catalog on screen, and an edit of one
// is written to the catalog file it came from.

#include <QMenu>
#include <QStatusBar>
#include <QTreeView>
#include <memory>

#include "catalog/catalog_edit.h"
#include "catalog/catalog_file.h"
#include "index/index_follower.h"
#include "index/indexed_search.h"
#include "library/library_storage.h"
#include "library/ui/library_panel.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "main/ui/main_window.h"
#include "scan/volumes.h"
#include "search/result_edit.h"
#include "server/pg_connection.h"
#include "stores/open_library.h"
#include "ui/background_work.h"

namespace lumivor {

void MainWindow::RunSearch(const SearchCriteria& criteria) {
  SetCurrentCatalogFile({});
  if (criteria.scope_path.empty()) return;
  ClearCatalog();
  UpdateStatusBar();
  repaint();
  // Through the library's index; it says on the status line when it read the files instead.
  const std::string library = LibraryPath();
  IndexedSearchOutcome indexed;
  struct ClearUnlessDone {
    MainWindow* window;
    bool done = false;
    // A search that fails leaves no results of its own on screen.
    ~ClearUnlessDone() {
      if (!done) window->ClearCatalog();
    }
  } clear_unless_done{this};
  RunInBackground([&](WorkContext& work) {
    const auto arrived = [&](SearchOutcome&& part) {
      if (part.results.Empty()) {
        // The search starts again: what the window shows is void.
        work.deliveries.Deliver([this] {
          ClearCatalog();
          UpdateStatusBar();
        });
        return;
      }
      // Handed over whole: the window links the part's rows in without copying a record.
      auto shared = std::make_shared<SearchOutcome>(std::move(part));
      work.deliveries.Deliver([this, shared] { AppendSearchResults(std::move(*shared)); });
    };
    if (pg::IsServerLocation(library_location_)) {
      // A server library searches on the server: the scope is named below the library.
      const std::string location = pg::RedactedConnInfo(library_location_);
      std::string scope = criteria.scope_path;
      scope = scope.size() > location.size() ? scope.substr(location.size() + 1) : std::string();
      indexed.outcome =
          OpenLibrary(library_location_)->Search(criteria, scope, work.progress, work.stop);
      return;
    }
    indexed = SearchThroughIndex(criteria, library, work.progress, work.stop, arrived);
  });
  clear_unless_done.done = true;
  SearchOutcome outcome = std::move(indexed.outcome);
  const std::size_t handed = result_rows_.size();  // the parts shown while the search ran
  const std::string finished = SearchFinishedText(outcome, handed + outcome.sources.size());
  FinishSearchResults(std::move(outcome));
  if (indexed.note.empty()) {
    statusBar()->clearMessage();
  } else {
    // The note covers the status line for a while: it carries the count, which it hides.
    const std::string count =
        ResultCountText(result_sources_.size(), result_catalogs_, results_cancelled_);
    statusBar()->showMessage(QString::fromStdString(count + ". " + indexed.note), 15000);
  }
  UserPrompts().ShowMessage("Done", finished, MessageIcon::kNone);
}

void MainWindow::ShowSearchResults(SearchOutcome&& outcome) {
  ClearCatalog();
  FinishSearchResults(std::move(outcome));
}

void MainWindow::AppendSearchResults(SearchOutcome&& part) {
  // Nodes keep their addresses when the view takes them over, so they can key the sources.
  const std::vector<CatalogTree::Node*>& rows = part.results.Root()->children;
  for (std::size_t i = 0; i < rows.size() && i < part.sources.size(); ++i) {
    result_catalog_paths_.insert(part.sources[i].catalog_path);
    result_sources_.emplace(rows[i], std::move(part.sources[i]));
    result_rows_.push_back(rows[i]);
  }
  result_catalogs_ = result_catalog_paths_.size();
  results_shown_ = true;
  catalog_model_->AppendTree(std::move(part.results));
  UpdateStatusBar();
}

void MainWindow::FinishSearchResults(SearchOutcome&& outcome) {
  const bool cancelled = outcome.cancelled;
  AppendSearchResults(std::move(outcome));
  results_cancelled_ = cancelled;
  results_shown_ = true;
  UpdateStatusBar();
}

const ResultSource* MainWindow::SourceOf(const CatalogTree::Node* node) const {
  const auto found = result_sources_.find(node);
  return found == result_sources_.end() ? nullptr : &found->second;
}

void MainWindow::ForgetResults() {
  result_sources_.clear();
  result_rows_.clear();
  result_catalog_paths_.clear();
  result_catalogs_ = 0;
  results_shown_ = false;
  results_cancelled_ = false;
}

void MainWindow::ApplyResultEdit(CatalogTree::Node* node, const ResultSource& source, int field,
                                 std::string_view text) {
  if (IsServerCatalog(source.catalog_path)) {
    RunCommand([&] { ApplyServerResultEdit(node, source, field, text); });
    UpdateStatusBar();
    return;
  }
  RunCommand([&] {
    // The file is written first; the rows change only once it holds the edit.
    // Read and written by the worker; the window changes nothing while it runs.
    EditedCatalog edited;
    const CatalogRecord shown = node->Record();
    RunInBackground([&](WorkContext& work) {
      edited = lumivor::ApplyResultEdit(source, shown, field, text, work.progress);
      if (edited.refusal.empty()) IndexFollower(work.stop).Written(source.catalog_path);
    });
    if (!edited.refusal.empty()) {
      prompts_->ShowMessage(kWarningCaption, edited.refusal, MessageIcon::kWarning);
      return;
    }
    RefreshResultsOf(source.catalog_path, edited);
  });
  UpdateStatusBar();
}

void MainWindow::RefreshResultsOf(const std::string& catalog_path, const EditedCatalog& edited) {
  for (auto& [row, row_source] : result_sources_) {
    if (row_source.catalog_path != catalog_path || row_source.ordinal >= edited.by_ordinal.size()) {
      continue;
    }
    // Other results of the same catalog follow too (a renamed folder moves their paths).
    CatalogRecord record = edited.by_ordinal[row_source.ordinal]->Record();
    record.SetField(kCatalogName, row->Field(kCatalogName));
    catalog_model_->ReplaceRecord(const_cast<CatalogTree::Node*>(row), record);
  }
}

}  // namespace lumivor

namespace lumivor {

void MainWindow::ShowResultPlace(const CatalogTree::Node* node) {
  const ResultSource* source = SourceOf(node);
  if (source == nullptr) return;
  std::vector<DetailModel::Row> rows = detail_model_->Rows();
  rows.push_back({QStringLiteral("CatalogGroup"),
                  QString::fromStdString(CatalogGroupDisplayPath(source->catalog_path))});
  rows.push_back({QStringLiteral("CatalogFile"), QString::fromStdString(source->catalog_path)});
  detail_model_->SetRows(std::move(rows), detail_shows_item_);
}

void MainWindow::ResultContextMenu(const QPoint& position) {
  const QModelIndex index = catalog_view_->indexAt(position);
  const CatalogTree::Node* node = CatalogModel::NodeOf(index);
  if (node == nullptr) return;
  const bool result = SourceOf(node) != nullptr;
  if (!result && !node->IsFile()) return;
  catalog_view_->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  QMenu menu(this);
  menu.setObjectName(result ? QStringLiteral("ResultMenu") : QStringLiteral("EntryMenu"));
  QAction* open = nullptr;
  if (result) {
    open = menu.addAction(QStringLiteral("Open Catalog"));
    open->setObjectName(QStringLiteral("OpenCatalog"));
    open->setToolTip(
        QStringLiteral("Show the catalog this result came from, with the entry selected"));
    // Nothing opens while the search still runs.
    open->setEnabled(!work_->Running());
  }
  QAction* where_else = nullptr;
  if (node->IsFile()) {
    where_else = menu.addAction(QStringLiteral("Where Else?"));
    where_else->setObjectName(QStringLiteral("WhereElse"));
    where_else->setToolTip(QStringLiteral("The copies of this file across the library"));
    where_else->setEnabled(!work_->Running());
  }
  QAction* chosen = menu.exec(catalog_view_->viewport()->mapToGlobal(position));
  if (chosen != nullptr && chosen == open) OpenResultCatalog(node);
  if (chosen != nullptr && chosen == where_else) OnWhereElseClicked(node);
}

void MainWindow::OpenResultCatalog(const CatalogTree::Node* node) {
  const ResultSource* found = SourceOf(node);
  if (found == nullptr) return;
  // Both go with the results once the catalog is on screen.
  const ResultSource source = *found;
  const CatalogRecord shown = node->Record();
  RunCommand([&] {
    std::optional<CatalogTree> loaded;
    RunInBackground([&](WorkContext& work) {
      loaded = LoadCatalog(source.catalog_path, work.progress, work.stop);
    });
    if (!loaded) return;  // cancelled: the results stay
    CatalogTree tree = std::move(*loaded);
    const CatalogTree::Node* target = FindResultRecord(tree, source, shown);
    statusBar()->clearMessage();
    ShowOpenedCatalog(std::move(tree), source.catalog_path);
    library_panel_->SelectNodeByPath(QString::fromStdString(source.catalog_path));
    ResortCatalog();
    UpdateStatusBar();
    if (target == nullptr) {
      statusBar()->showMessage(QString::fromStdString(std::string(kResultMoved)), 15000);
      return;
    }
    const QModelIndex index = catalog_model_->IndexOf(target);
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) catalog_view_->expand(up);
    catalog_view_->setFocus();
    catalog_view_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    catalog_view_->scrollTo(index, QAbstractItemView::PositionAtCenter);
  });
}

}  // namespace lumivor
