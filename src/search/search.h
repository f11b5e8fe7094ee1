#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_tree.h"
#include "core/needle.h"
#include "core/progress.h"
#include "search/catalog_files.h"

namespace re2 {
class RE2;
}

namespace lumivor {

// What to search and where. Criterion texts are used as typed (blanks are kept); an empty text
// sets no condition on its field.
struct SearchCriteria {
  std::string scope_path;           // the library root, a group directory or a catalog file
  bool scope_is_directory = false;  // the scope is a directory (root or group)
  std::string name;                 // compared with FileName
  std::string extension;            // compared with FileExt (which holds no dot)
  std::string description;          // compared with Description
  std::string regex;                // a regular expression (RE2 syntax) FileName must match
  std::string meta;                 // compared with every further attribute (the tags)
  bool case_sensitive = false;
  bool whole_field = false;  // the whole field must equal the criterion (or match the regex)

  // True when every criterion text is empty after trimming blanks: nothing to search for.
  [[nodiscard]] bool Blank() const;
};

// The message for criteria that cannot be searched for: kSearchConditionMissing when they are
// blank, a text naming the fault when the regular expression does not compile; empty when the
// search can run.
[[nodiscard]] std::string CriteriaProblem(const SearchCriteria& criteria);

// Where a search result came from: its catalog file and the record's place in it.
struct ResultSource {
  std::string catalog_path;  // the catalog file as the search reached it
  // The record's position among all records of that file in document pre-order (a record
  // before its children), from 0; the same position LoadCatalog's tree gives it.
  std::size_t ordinal = 0;

  friend bool operator==(const ResultSource&, const ResultSource&) = default;
};

// What a search found.
struct SearchOutcome {
  CatalogTree results;            // one top-level record per match, in the order found
  std::size_t skipped_files = 0;  // files that could not be read as catalogs
  bool cancelled = false;
  // The source of every result: sources[i] belongs to the i-th top-level record of `results`.
  std::vector<ResultSource> sources;
};

inline constexpr std::string_view kSearchFinished = "Search Finished";
inline constexpr std::string_view kSearchConditionMissing = "Please input search condition.";

// "Search Finished", followed by a line about the skipped files when there were any. A cancelled
// search says so instead, with the number of results it found before the cancel.
[[nodiscard]] std::string SearchFinishedText(const SearchOutcome& outcome);
// The same for a search that found `found` results, some of them handed over while it ran.
[[nodiscard]] std::string SearchFinishedText(const SearchOutcome& outcome, std::size_t found);

// The number of distinct catalog files among `sources`.
[[nodiscard]] std::size_t CatalogCount(const std::vector<ResultSource>& sources);

// "N results in M catalogs" (singular for one), followed by " (search cancelled)" after a cancel.
[[nodiscard]] std::string ResultCountText(std::size_t results, std::size_t catalogs,
                                          bool cancelled);

// True when `value` contains `criterion` (ASCII letters compared without case unless
// `case_sensitive`); with `whole_field` the two must also be equal but for ASCII letter case.
[[nodiscard]] bool MatchesText(std::string_view value, std::string_view criterion,
                               bool case_sensitive, bool whole_field);

// The whole matching rule, with the regular expression compiled once. Every search route tests
// its candidates with this, so that all of them find the same records.
class SearchMatcher {
 public:
  // Raises LumivorError with CriteriaProblem's text when the regular expression does not compile.
  explicit SearchMatcher(const SearchCriteria& criteria);
  ~SearchMatcher();
  SearchMatcher(const SearchMatcher&) = delete;
  SearchMatcher& operator=(const SearchMatcher&) = delete;

  // True when an element with these values (nullopt: attribute missing) and these further
  // attributes (null: none) is a result.
  [[nodiscard]] bool Matches(std::optional<std::string_view> file_name,
                             std::optional<std::string_view> file_ext,
                             std::optional<std::string_view> description,
                             const ExtraViews* extras = nullptr) const;
  [[nodiscard]] const SearchCriteria& Criteria() const { return criteria_; }

 private:
  const SearchCriteria& criteria_;
  std::unique_ptr<re2::RE2> regex_;
};

// The matching rule on field values (nullopt: the element lacks that attribute), without the
// regular expression. An element without FileName is never a match; every non-empty criterion
// must match its field, and a `meta` criterion must match the value of at least one of the
// further attributes `extras` (null: none).
[[nodiscard]] bool MatchesFields(const SearchCriteria& criteria,
                                 std::optional<std::string_view> file_name,
                                 std::optional<std::string_view> file_ext,
                                 std::optional<std::string_view> description,
                                 const ExtraViews* extras = nullptr);

// One search over catalog files. Every file below a directory is read as a catalog, whatever its
// extension, in the order of the files' paths below the directory; a file that is not a
// well-formed catalog (or cannot be read) is skipped and counted. The catalog reader feeds the
// matcher; given the search's needle, it does not parse files whose bytes cannot hold a match,
// nor decode records whose text cannot. Progress texts: the path of every directory entry, "Loading
// info.." for every file read, the FileName of every element tested. `stop` is looked at after
// every directory entry and every element below the top level.
// Raises LumivorError when the regular expression does not compile.
class LibrarySearch {
 public:
  LibrarySearch(SearchCriteria criteria, Progress& progress, std::stop_token stop = {});
  ~LibrarySearch();
  LibrarySearch(const LibrarySearch&) = delete;
  LibrarySearch& operator=(const LibrarySearch&) = delete;

  // Searches every file below `directory` in the order of their paths below it (symbolic links
  // are followed, each directory searched once). Returns at a cancel.
  void SearchFolder(const std::string& directory);
  // Searches one catalog file; a path with no file is skipped silently.
  void SearchCatalog(const std::string& path);

  [[nodiscard]] bool Cancelled() const { return cancelled_; }
  // The results so far; the search is done with them afterwards.
  [[nodiscard]] SearchOutcome TakeOutcome();

 private:
  const std::string& CatalogName();

  SearchCriteria criteria_;
  SearchMatcher matcher_;
  Progress& progress_;
  std::stop_token stop_;
  Needle needle_;
  SearchOutcome outcome_;
  std::string catalog_path_;
  std::optional<std::string> catalog_name_;  // DisplayNameOf(catalog_path_), once needed
  bool cancelled_ = false;
  CatalogFileReader reader_;
};

// `criteria` with its texts cleaned as the catalog reader cleans every value (SanitizeText): a
// search for what a catalog shows finds it even when the file holds other bytes there.
[[nodiscard]] SearchCriteria WithCleanTexts(SearchCriteria criteria);

// Raises LumivorError naming the scope and the reason when the scope itself is missing or cannot
// be read: a directory that cannot be listed, or a catalog that is no readable regular file.
void CheckSearchScope(const SearchCriteria& criteria);

// Runs a search of `criteria` after CheckSearchScope: shows the progress window with its Cancel
// button, searches the scope (a directory with everything below it, or one catalog file) and hides
// the window. A stop requested through `stop` ends it with what was found so far (cancelled).
// Raises LumivorError when the regular expression does not compile (nothing is searched).
[[nodiscard]] SearchOutcome SearchLibrary(const SearchCriteria& criteria, Progress& progress,
                                          std::stop_token stop = {});

}  // namespace lumivor
