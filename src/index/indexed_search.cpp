#include "index/indexed_search.h"

#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "core/path_text.h"

namespace lumivor {

IndexedSearchOutcome SearchThroughIndex(const SearchCriteria& typed,
                                        const std::string& library_root, Progress& progress,
                                        std::stop_token stop,
                                        const LibraryIndex::ResultsArrived& arrived) {
  const SearchCriteria criteria = WithCleanTexts(typed);
  if (const std::string problem = CriteriaProblem(criteria); !problem.empty()) {
    throw LumivorError(problem);
  }
  IndexedSearchOutcome result;
  if (criteria.scope_path.empty()) return result;
  CheckSearchScope(criteria);
  ProgressShown window(progress, true);

  // Whether `arrived` showed results of the current attempt.
  bool shown = false;
  LibraryIndex::ResultsArrived forward;
  if (arrived) {
    forward = [&](SearchOutcome&& part) {
      shown = true;
      arrived(std::move(part));
    };
  }
  const std::string index_path = IndexPathFor(library_root);
  for (int attempt = 0; attempt < 2 && !result.used_index; ++attempt) {
    try {
      std::unique_ptr<LibraryIndex> index;
      if (attempt == 0) {
        index = std::make_unique<LibraryIndex>(library_root, index_path);
      } else {
        // The index failed part of the way: make it afresh once.
        LibraryIndex::RemoveFiles(index_path);
        index = std::make_unique<LibraryIndex>(library_root, index_path);
      }
      if (!index->Covers(criteria.scope_path)) {
        result.note = "The scope lies outside the library: the catalog files were read.";
        break;
      }
      result.update = index->Update(progress, stop);
      if (result.update.cancelled) {
        result.outcome.cancelled = true;
        return result;
      }
      result.outcome = index->Search(criteria, progress, stop, forward);
      result.used_index = true;
      if (result.update.rebuilt) result.note = "The search index was made afresh.";
    } catch (const IndexError& error) {
      result.outcome = SearchOutcome();
      // What a failing index showed may be wrong: the caller drops it.
      if (shown) arrived(SearchOutcome());
      shown = false;
      result.note = std::string(error.what()) + " The catalog files were read instead.";
      if (!error.Damaged()) break;
    }
  }
  if (!result.used_index) {
    LibrarySearch search(criteria, progress, stop);
    if (criteria.scope_is_directory) {
      search.SearchFolder(criteria.scope_path);
    } else {
      search.SearchCatalog(criteria.scope_path);
    }
    result.outcome = search.TakeOutcome();
  }
  return result;
}

IndexUpdate UpdateLibraryIndex(const std::string& library_root, bool rebuild, Progress& progress,
                               std::stop_token stop) {
  const std::string index_path = IndexPathFor(library_root);
  if (rebuild) LibraryIndex::RemoveFiles(index_path);
  try {
    LibraryIndex index(library_root, index_path);
    return rebuild ? index.Rebuild(progress, stop) : index.Update(progress, stop);
  } catch (const IndexError& error) {
    if (!error.Damaged()) throw;
    LibraryIndex index(library_root, index_path);
    return index.Rebuild(progress, stop);
  }
}

}  // namespace lumivor
