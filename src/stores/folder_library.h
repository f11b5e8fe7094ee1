#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "library/library.h"
#include "search/search.h"

namespace lumivor {

// How a folder library's catalogs are searched: `scoped` names the scope as a folder or a catalog
// file of the library at `root`. The programs may hand in their index's search, which gives the
// same results faster; the library itself knows nothing of an index.
using FolderSearch =
    std::function<SearchOutcome(const SearchCriteria& scoped, const std::string& root,
                                Progress& progress, std::stop_token stop)>;

// A library folder on disk, through the functions of library_storage.h.
class FolderLibrary final : public Library {
 public:
  // `search` empty: Search reads the catalog files (SearchLibrary).
  explicit FolderLibrary(std::string root, FolderSearch search = {});
  [[nodiscard]] std::string Location() const override { return root_; }
  [[nodiscard]] bool IsServer() const override { return false; }
  [[nodiscard]] CatalogTree List(bool groups_only) override;
  [[nodiscard]] NewCatalogPlan PlanNewCatalog(std::string_view group,
                                              std::string_view name) override;
  void SaveNewCatalog(const NewCatalogPlan& plan, const CatalogTree& tree) override;
  void ReadCatalog(std::string_view catalog, RecordSink& sink) override;
  void ReplaceCatalog(std::string_view catalog,
                      const std::function<void(RecordSink&)>& produce) override;
  [[nodiscard]] DescribeOutcome Describe(std::string_view catalog, std::string_view entry_path,
                                         std::string_view text,
                                         const std::optional<std::string>& expect) override;
  [[nodiscard]] SearchOutcome Search(const SearchCriteria& criteria, std::string_view scope,
                                     Progress& progress, std::stop_token stop) override;
  [[nodiscard]] LibraryChange CreateGroup(std::string_view parent, std::string_view name) override;
  [[nodiscard]] LibraryChange Rename(std::string_view item, std::string_view name,
                                     bool catalog) override;
  void Delete(std::string_view item, bool catalog) override;
  [[nodiscard]] MoveResult Move(std::string_view item, bool catalog, std::string_view target_group,
                                Prompts& prompts) override;

  // The file of the catalog `catalog` ("Group/Name" gives ROOT/Group/Name.xml; a name that ends
  // in ".xml" is taken as the file name). A path that exists as given (absolute, or relative to
  // the working directory) is taken as the catalog file itself.
  [[nodiscard]] std::string CatalogFile(std::string_view catalog) const;
  // The directory of the group path `group`.
  [[nodiscard]] std::string GroupDirectory(std::string_view group) const;

 private:
  std::string root_;
  FolderSearch search_;
};

// Sets the Description of the first record of the catalog file `path` whose FullPath is
// `entry_path`, under an exclusive lock of the file so that edits by several programs at once are
// all kept, and saves the file. `expect` as in Library::Describe.
[[nodiscard]] DescribeOutcome DescribeInCatalogFile(const std::string& path,
                                                    std::string_view entry_path,
                                                    std::string_view text,
                                                    const std::optional<std::string>& expect);

}  // namespace lumivor
