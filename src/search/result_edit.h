#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "search/search.h"

namespace lumivor {

// A catalog file after an edit of one of its records, as it now stands on disk.
struct EditedCatalog {
  CatalogTree tree;
  // The records of `tree` by ordinal (document pre-order), for refreshing other results.
  std::vector<const CatalogTree::Node*> by_ordinal;
  // Why the edit was refused (see EditRefusal); empty when it was written.
  std::string_view refusal;
};

// The records of `tree` in pre-order (a record before its children): the i-th is the record of
// ordinal i.
[[nodiscard]] std::vector<const CatalogTree::Node*> RecordsByOrdinal(const CatalogTree& tree);

// The record of `tree` (the catalog file of `source`, loaded afresh) that a result showing `shown`
// refers to: the one at `source.ordinal` while it still has the shown FileName and FullPath, else
// (the file changed since the search) the first record with that FullPath and FileName; nullptr
// when there is none.
[[nodiscard]] const CatalogTree::Node* FindResultRecord(const CatalogTree& tree,
                                                        const ResultSource& source,
                                                        const CatalogRecord& shown);

// Writes an edit of a search result into the catalog file the result came from: loads the file,
// finds the record at `source.ordinal`, applies the same edit rule as the catalog view
// (ApplyEdit: a renamed record's paths below it follow) and saves the whole catalog through the
// catalog writer, which replaces the old file only once the new one is complete.
//
// `shown` is the result's record as the view shows it; the record found must still have its
// FileName and FullPath, or the file changed since the search and nothing is written. An edit
// that EditRefusal refuses writes nothing and comes back with the refusal. Raises LumivorError
// when the file cannot be read or written and when the record is not found.
// Applies the edit to the record of `edited->tree` at the ordinal of `source`, filling
// `by_ordinal`; false with the refusal set when the edit is refused. Raises LumivorError
// (kResultMoved) when that record is no longer the one `shown`.
bool EditAtOrdinal(EditedCatalog* edited, const ResultSource& source, const CatalogRecord& shown,
                   int field, std::string_view text);

EditedCatalog ApplyResultEdit(const ResultSource& source, const CatalogRecord& shown, int field,
                              std::string_view text, Progress& progress = NoProgress());

// The refusal when a result's record is no longer where the search found it.
inline constexpr std::string_view kResultMoved =
    "The catalog has changed since the search; search again to edit this result.";

}  // namespace lumivor
