#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "core/prompts.h"
#include "core/record_sink.h"
#include "library/library_storage.h"
#include "library/new_catalog_plan.h"

namespace lumivor {

struct SearchCriteria;
struct SearchOutcome;

// The outcome of setting an entry's description.
struct DescribeOutcome {
  enum class Status {
    kSaved,     // stored (and, on a server, committed)
    kConflict,  // the description was no longer the expected text: nothing was changed
  };
  Status status = Status::kSaved;
  std::string current;  // on a conflict: the description as it stands now
};

// The refusal when an edit of a description finds someone else's text there.
[[nodiscard]] std::string ConflictText(std::string_view current);

// A library of catalogs: a folder on disk (FolderLibrary) or a database server (ServerLibrary).
// Catalogs are named by their group path and name, "Group/Sub/Name" ("Name" at the top), on
// every kind; groups by their path. What a route can do with one it can do with the other.
class Library {
 public:
  virtual ~Library() = default;

  // Where the library is, as shown to the user (a folder, or a connection without password).
  [[nodiscard]] virtual std::string Location() const = 0;
  [[nodiscard]] virtual bool IsServer() const = 0;
  // The listing of ListLibrary: the root node, groups and catalogs with their sizes and times.
  [[nodiscard]] virtual CatalogTree List(bool groups_only) = 0;
  // The plan for a new catalog `name` in the group path `group`.
  [[nodiscard]] virtual NewCatalogPlan PlanNewCatalog(std::string_view group,
                                                      std::string_view name) = 0;
  // Stores `tree` as the planned catalog (replacing one of that name), whole or not at all.
  virtual void SaveNewCatalog(const NewCatalogPlan& plan, const CatalogTree& tree) = 0;
  // Streams the records of the catalog named `catalog` into `sink` and calls Finish. Raises
  // LumivorError when there is no such catalog.
  virtual void ReadCatalog(std::string_view catalog, RecordSink& sink) = 0;
  // Replaces the records of the existing catalog `catalog` by those `produce` hands to its sink,
  // whole or not at all.
  virtual void ReplaceCatalog(std::string_view catalog,
                              const std::function<void(RecordSink&)>& produce) = 0;
  // Sets the Description of the first entry whose FullPath is `entry_path`. With `expect`, only
  // while the description is still that text (a missing description counts as ""); otherwise
  // kConflict with the text that stands. Raises LumivorError when there is no such entry.
  [[nodiscard]] virtual DescribeOutcome Describe(std::string_view catalog,
                                                 std::string_view entry_path, std::string_view text,
                                                 const std::optional<std::string>& expect) = 0;
  // Searches the catalogs below the group path `scope` ("" for the whole library), or the one
  // catalog `scope` names when it names one: the results, and their order, of the folder search.
  // A stop requested through `stop` ends it with what was found (cancelled).
  [[nodiscard]] virtual SearchOutcome Search(const SearchCriteria& criteria, std::string_view scope,
                                             Progress& progress, std::stop_token stop) = 0;
  // Group and catalog changes, by group path and catalog name; refusals as LibraryChange tells.
  [[nodiscard]] virtual LibraryChange CreateGroup(std::string_view parent,
                                                  std::string_view name) = 0;
  [[nodiscard]] virtual LibraryChange Rename(std::string_view item, std::string_view name,
                                             bool catalog) = 0;
  virtual void Delete(std::string_view item, bool catalog) = 0;
  [[nodiscard]] virtual MoveResult Move(std::string_view item, bool catalog,
                                        std::string_view target_group, Prompts& prompts) = 0;
};

}  // namespace lumivor
