#pragma once

#include <string>

#include "index/library_index.h"
#include "search/search.h"

namespace lumivor {

// A search as the user runs it: through the library's index when it can serve, else by reading
// the catalog files.
struct IndexedSearchOutcome {
  SearchOutcome outcome;
  bool used_index = false;
  // One line for the status line: why the files were read, or that the index was made afresh;
  // empty when the index served as usual.
  std::string note;
  IndexUpdate update;  // what bringing the index up to date did
};

// Runs a search of `criteria` in the library at `library_root`: shows the progress window with
// its Cancel button, brings the index up to date (reading only the catalogs that changed),
// searches it and hides the window. An index that is missing, damaged or of an older layout is
// made afresh; when it still cannot serve (locked, unwritable, the scope lies outside the
// library) the catalog files are read as SearchLibrary does, and `note` says so. The results are
// the same either way. While the index is searched, `arrived` is handed the results part by part
// (LibraryIndex::Search), and the outcome returned holds the rest: none when the index served,
// all of them when the catalog files were read. When the index fails after `arrived` was handed
// results, `arrived` is called with an empty outcome: what it was handed is void, and the results
// come again from the start.
// Raises LumivorError with CriteriaProblem's text for criteria that cannot be searched for.
[[nodiscard]] IndexedSearchOutcome SearchThroughIndex(
    const SearchCriteria& criteria, const std::string& library_root, Progress& progress,
    std::stop_token stop = {}, const LibraryIndex::ResultsArrived& arrived = {});

// Brings the index of the library at `library_root` up to date, or (with `rebuild`) makes it
// afresh. Raises IndexError when the index cannot be used.
IndexUpdate UpdateLibraryIndex(const std::string& library_root, bool rebuild, Progress& progress,
                               std::stop_token stop = {});

}  // namespace lumivor
