#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "copies/copy_finder.h"
#include "copies/copy_groups.h"
#include "core/errors.h"
#include "core/progress.h"
#include "index/trigram_plan.h"
#include "search/search.h"

struct sqlite3;

namespace lumivor {

// The directory for data derived from the library, which can always be made again:
// $LUMIVOR_CACHE_DIR when set, else $XDG_CACHE_HOME/lumivor, else ~/.cache/lumivor. Never inside
// the library, where every file counts as a catalog. No trailing "/".
[[nodiscard]] std::string CacheDirectory();

// The index file of the library at `library_root` in CacheDirectory(), named after the library's
// real path (so that two spellings of one library share one index).
[[nodiscard]] std::string IndexPathFor(const std::string& library_root);

// The index cannot serve: damaged, locked by another program for too long, or its directory
// cannot be written. The caller rebuilds it or reads the catalog files instead.
class IndexError : public LumivorError {
 public:
  IndexError(const std::string& message, bool damaged) : LumivorError(message), damaged_(damaged) {}
  // True when the file is not a usable index (rather than busy): rebuilding it may help.
  [[nodiscard]] bool Damaged() const { return damaged_; }

 private:
  bool damaged_;
};

// What bringing the index up to date did.
struct IndexUpdate {
  std::size_t catalogs = 0;  // catalog files in the library
  std::size_t entries = 0;   // records in the index
  std::size_t read = 0;      // catalog files read this time
  bool rebuilt = false;      // the index was made afresh (missing, damaged, older layout)
  bool cancelled = false;
};

// A search index of one library: a cache derived from the catalog files, which stay the truth.
//
// For every catalog file below the library root it keeps its path (relative to the root), size,
// modification time and inode, and for every element in the file (in document order, numbered
// contiguously per catalog) the values a search matches and prints. FileName, FileExt and
// Description go into a trigram full-text index that picks candidates for criteria of three or
// more characters; the search's own matching rule (SearchMatcher) decides, so the index finds
// exactly the records, in the order, that reading the files finds. Catalog order is the order of
// the catalog paths (bytes), as in the file search.
//
// One SQLite database in WAL mode: the program and the command-line tool may use it at once.
// What the index knows of the files that have copies (LibraryIndex::CopiesOf).
struct IndexedCopies {
  std::vector<std::string> catalogs;  // the catalog files in scope; CopyGroups::File::catalog
                                      // indexes them
  CopyGroups groups;                  // runs of two or more files, with their paths; to be
                                      // finished (CopyGroups::Finish)
  std::size_t unhashed = 0;           // files of some size in scope without a hash
  bool cancelled = false;
};

class LibraryIndex {
 public:
  // Opens the index of `library_root` at `index_path`, creating it when missing and making it
  // afresh when it is damaged, of another layout or of another library. Raises IndexError when
  // it can be neither opened nor made.
  LibraryIndex(const std::string& library_root, std::string index_path);
  ~LibraryIndex();
  LibraryIndex(const LibraryIndex&) = delete;
  LibraryIndex& operator=(const LibraryIndex&) = delete;

  // Compares every catalog file's path, size, modification time and inode with what the index
  // holds, reads the changed and new ones again and forgets the vanished ones. Progress: the
  // path of each catalog read; a stop requested through `stop` ends it between files and within
  // large files (what was done stays done, the index stays consistent). Raises IndexError.
  IndexUpdate Update(Progress& progress, std::stop_token stop = {});
  // Forgets everything and reads every catalog file.
  IndexUpdate Rebuild(Progress& progress, std::stop_token stop = {});

  // The program changed the library itself: reads the catalog file at `path` again (or forgets
  // it when it is gone; a directory: everything below it). Paths outside the library are ignored.
  // A stop requested through `stop` ends the reading (the index stays consistent).
  void Refresh(const std::string& path, std::stop_token stop = {});
  // A catalog file or group moved from `from` to `to` (both absolute): the index follows without
  // reading anything, then checks the moved files' stamps.
  void Moved(const std::string& from, const std::string& to, std::stop_token stop = {});

  // True when `path` (a catalog file or a directory) lies in this library.
  [[nodiscard]] bool Covers(const std::string& path) const;

  // Called while the search runs with the results found since the previous call (never none),
  // in their order, for the callee to take: the first hundred at once, then a part every tenth of
  // a second or so, and the rest at the end.
  using ResultsArrived = std::function<void(SearchOutcome&& part)>;
  // Searches the scope of `criteria` (inside the library) through the index as it stands (call
  // Update first). Results, their order, CatalogName and the skipped-file count are those of the
  // file search. With `arrived`, every result is handed over through it and the outcome returned
  // holds none (only the skipped-file count and whether it was cancelled through `stop`). Raises
  // IndexError, and LumivorError for a regular expression that does not compile.
  [[nodiscard]] SearchOutcome Search(const SearchCriteria& criteria, Progress& progress,
                                     std::stop_token stop = {}, const ResultsArrived& arrived = {});

  // The files of the catalogs in `scope` (catalog files or groups, absolute; empty: the whole
  // library) whose size and content hash occur at least twice among them, through the index as
  // it stands (call Update first), in runs of equal size and hash; with the count of files there
  // without a hash (of `min_size` bytes or more). Raises IndexError.
  [[nodiscard]] IndexedCopies CopiesOf(const std::vector<std::string>& scope,
                                       std::stop_token stop = {}, std::uint64_t min_size = 0);

  // Deletes the index file at `index_path` with its journal files.
  static void RemoveFiles(const std::string& index_path);

  // Scopes of at least this many entries, whose results are taken at the end, are read by two
  // threads with a connection each (one from the first catalog on, the other from the last one
  // back) when the process may use two cores; 0: always two (for tests).
  void SetTwoReaderEntries(std::int64_t entries) { two_reader_entries_ = entries; }

  // Records in the index and catalog files known.
  [[nodiscard]] std::size_t EntryCount();
  [[nodiscard]] std::size_t CatalogCount();
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  struct Statements;
  struct CatalogRow;
  class CatalogRows;
  // A catalog of a search's scope, with the path the file search would give it.
  struct ScopeCatalog;
  // A search's reading of its scope's catalogs and the results it gathers (index_search.cpp).
  class ScopeReader;
  class ScopeResults;
  // Which catalogs of a search's scope each of two readers takes.
  class ScopeShares;
  // Counts of single trigrams that the planning thread shares with a second reader.
  class SharedCounts;
  void Open(bool fresh);
  void OpenFile(const std::string& file, bool fresh, bool bulk);
  // Builds the whole index in a new file and renames it over the old one.
  IndexUpdate BuildAfresh(Progress& progress, const std::stop_token& stop);
  void Close();
  void CreateSchema();
  [[nodiscard]] std::vector<CatalogRow> LoadCatalogs();
  // Reads one catalog into the index in its own transaction; false when a stop was requested.
  bool IndexCatalog(const std::string& relative, const CatalogRow* old,
                    const std::stop_token& stop);
  void RemoveCatalog(const CatalogRow& row);
  // Counts the files of each size and Hash in content_keys (a fresh build, at its end).
  void CountContentKeys();
  // Counts the contents of the entries `first` to `first + count - 1` in (`in`) or out of
  // content_keys, keeping only keys of one file or more.
  void CountCatalogContents(std::int64_t first, std::int64_t count, bool in);
  // Gives the page cache the size that writing a catalog wants.
  void WriteCache();
  [[nodiscard]] std::string RelativeOf(const std::string& path) const;
  // The catalogs of the scope of `criteria` (`relative` to the library) in catalog order; those
  // that could not be read are counted in `outcome`.
  [[nodiscard]] std::vector<ScopeCatalog> CatalogsOfScope(const SearchCriteria& criteria,
                                                          const std::string& relative,
                                                          SearchOutcome* outcome);
  // The FTS5 query for candidates among the entries `first` to `last`: the posting lists that
  // PlanCandidates chooses from a sample of those entries.
  // With `shared`, a second reader counts some of the trigrams alone on its own connection.
  [[nodiscard]] std::string ChooseCandidateQuery(std::vector<std::string> terms, std::int64_t first,
                                                 std::int64_t last, SharedCounts* shared);
  [[noreturn]] void Fail(std::string_view what);
  // The FullPath of entry `id`, remembering the paths of the folders met on the way in `paths`
  // (results often share them); nullopt when the index holds no such entry or it is damaged.
  [[nodiscard]] std::optional<std::string_view> FullPathOf(
      std::int64_t id, std::unordered_map<std::int64_t, std::string>& paths);
  // The same into `*out`, without remembering entry `id` itself (a file whose path is asked once);
  // false when the index holds no such entry or it is damaged. With `folders`, the path of the
  // entry's folder is kept there, in the slot of its id modulo the size (lookups in the order of
  // the entries meet the same folders again and again), and `paths` serves only deeper folders.
  bool FullPathInto(std::int64_t id, std::unordered_map<std::int64_t, std::string>& paths,
                    std::string* out,
                    std::vector<std::pair<std::int64_t, std::string>>* folders = nullptr);
  // The FullPaths of the entries `ids` (ascending) given to the files of `groups` paired with
  // them, kept in `texts`; a path that cannot be read is not given. False when stopped.
  bool FullPathsOf(std::span<const std::pair<std::int64_t, std::uint32_t>> ids, CopyGroups* groups,
                   TextBlocks* texts, const std::stop_token& stop);
  // A second connection to this index for reading beside this one on another thread, in a read
  // transaction that sees what this one's sees (`catalogs`, as this one loaded them); nullptr
  // when it cannot be opened or another program changed the index in between.
  [[nodiscard]] std::unique_ptr<LibraryIndex> SecondReader(const std::vector<CatalogRow>& catalogs);
  // For SecondReader: a connection to `other`'s file.
  struct SameFile {};
  LibraryIndex(const LibraryIndex& other, SameFile);

  std::string root_;       // as given, without trailing "/"
  std::string real_root_;  // its real path
  std::string path_;
  sqlite3* db_ = nullptr;
  std::unique_ptr<Statements> statements_;
  bool created_ = false;
  bool bulk_ = false;         // building a new file: no other reader, no journal to keep
  bool write_cache_ = false;  // the page cache has the size for writing
  bool in_read_ = false;      // a second reader's transaction is open
  std::int64_t two_reader_entries_ = 400000;
};

}  // namespace lumivor
