// Search results in the main window: they stand in for a catalog on screen, and an edit of one
// is written to the catalog file it came from.

#include <QTreeView>

#include "core/catalog_edit.h"
#include "core/ui/background_work.h"
#include "library/library_storage.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "main/ui/tfm_main.h"
#include "search/result_edit.h"

namespace lumivor {

void TFMMain::ShowSearchResults(SearchOutcome&& outcome) {
  ClearCatalog();
  // Nodes keep their addresses when the view takes them over, so they can key the sources.
  const std::vector<CatalogTree::Node*>& rows = outcome.results.Root()->children;
  for (std::size_t i = 0; i < rows.size() && i < outcome.sources.size(); ++i) {
    result_sources_.emplace(rows[i], std::move(outcome.sources[i]));
  }
  std::vector<ResultSource> sources;
  sources.reserve(result_sources_.size());
  for (const auto& [node, source] : result_sources_) sources.push_back(source);
  result_catalogs_ = CatalogCount(sources);
  results_cancelled_ = outcome.cancelled;
  results_shown_ = true;
  vt_model_->AppendTree(std::move(outcome.results));
  UpdateStatusBar();
}

const ResultSource* TFMMain::SourceOf(const CatalogTree::Node* node) const {
  const auto found = result_sources_.find(node);
  return found == result_sources_.end() ? nullptr : &found->second;
}

void TFMMain::ForgetResults() {
  result_sources_.clear();
  result_catalogs_ = 0;
  results_shown_ = false;
  results_cancelled_ = false;
}

void TFMMain::ApplyResultEdit(CatalogTree::Node* node, const ResultSource& source, int field,
                              std::string_view text) {
  RunCommand([&] {
    // The file is written first; the rows change only once it holds the edit.
    // Read and written by the worker; the window changes nothing while it runs.
    EditedCatalog edited;
    const TCatalogRecord shown = node->Record();
    RunInBackground([&](WorkContext& work) {
      edited = lumivor::ApplyResultEdit(source, shown, field, text, work.progress);
    });
    if (!edited.refusal.empty()) {
      prompts_->ShowMessage(kWarningCaption, edited.refusal, MessageIcon::kWarning);
      return;
    }
    for (auto& [row, row_source] : result_sources_) {
      if (row_source.catalog_path != source.catalog_path ||
          row_source.ordinal >= edited.by_ordinal.size()) {
        continue;
      }
      // Other results of the same catalog follow too (a renamed folder moves their paths).
      TCatalogRecord record = edited.by_ordinal[row_source.ordinal]->Record();
      record.SetField(kCatalogName, row->Field(kCatalogName));
      vt_model_->ReplaceRecord(const_cast<CatalogTree::Node*>(row), record);
    }
  });
  UpdateStatusBar();
}

}  // namespace lumivor
