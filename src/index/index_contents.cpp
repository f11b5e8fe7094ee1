// Copies through the index: the size and content hash of every file of the media, kept beside the
// entries, so that files of equal content are found without reading a catalog file.
#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <unordered_map>

#include "index/index_tables.h"
#include "index/library_index.h"
#include "index/packed_fields.h"

namespace lumivor {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Copies whose paths are looked up on two threads (below that, a second connection costs more
// than it saves).
constexpr std::size_t kCopiesForTwoReaders = 20000;

// Marks a packed hash whose digits are kept as bytes, after the algorithm's name.
constexpr char kRawDigits = '\x01';

}  // namespace

std::string PackContentHash(std::string_view hash) {
  const auto colon = hash.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::string(hash);
  const std::string_view digits = hash.substr(colon + 1);
  bool hex = !digits.empty() && digits.size() % 2 == 0;
  for (std::size_t i = 0; hex && i < digits.size(); ++i) hex = HexValue(digits[i]) >= 0;
  if (!hex) return std::string(hash);
  std::string packed(hash.substr(0, colon));
  packed += kRawDigits;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    packed += static_cast<char>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1]));
  }
  return packed;
}

std::string UnpackContentHash(std::string_view packed) {
  const auto mark = packed.find(kRawDigits);
  if (mark == std::string_view::npos) return std::string(packed);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hash(packed.substr(0, mark));
  hash += ':';
  for (const char c : packed.substr(mark + 1)) {
    const auto byte = static_cast<unsigned char>(c);
    hash += kDigits[byte >> 4];
    hash += kDigits[byte & 15];
  }
  return hash;
}

namespace {

// The entries of a catalog in scope: `first` to `last`, and the catalog's number in the result.
struct Range {
  std::int64_t first, last;
  std::uint32_t catalog;
};

// A file that shares its size and hash with another.
struct Found {
  std::int64_t id;
  std::uint32_t catalog;
  std::string link;
};

// A run of copies: from `begin` in the list of copies to the next group's begin.
struct Group {
  std::size_t begin;
  std::int64_t size;
  std::string hash;  // packed
};

// Reads the files whose size and hash two or more files share, in the order of size and hash,
// keeping those of the catalogs of `ranges` (sorted by first entry): a run of two or more is a
// group of copies. False when stopped.
bool FindCopyRuns(sqlite3* db, const std::vector<Range>& ranges, const std::stop_token& stop,
                  std::vector<Found>* copies, std::vector<Group>* groups) {
  const auto catalog_of = [&](std::int64_t id) -> const Range* {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), id,
                               [](std::int64_t value, const Range& r) { return value < r.first; });
    if (it == ranges.begin()) return nullptr;
    --it;
    return id <= it->last ? &*it : nullptr;
  };
  std::vector<Found> run;
  std::int64_t run_size = -1;
  std::string run_hash;
  const auto close_run = [&] {
    if (run.size() >= 2) {
      groups->push_back({copies->size(), run_size, run_hash});
      std::move(run.begin(), run.end(), std::back_inserter(*copies));
    }
    run.clear();
  };
  // Only the keys that two or more files share, and their files: a library of unique files
  // reads next to nothing.
  Statement scan(
      db,
      "SELECT k.size, k.hash, c.id, c.link FROM content_keys AS k "
      "INDEXED BY content_keys_shared "
      "JOIN contents AS c INDEXED BY contents_by_key ON c.size = k.size AND c.hash = k.hash "
      "WHERE k.files >= 2 ORDER BY k.size, k.hash");
  std::size_t rows = 0;
  while (scan.Step()) {
    if (++rows % kPollRows == 0 && stop.stop_requested()) {
      scan.Reset();
      return false;
    }
    const std::int64_t id = scan.Int(2);
    const Range* range = catalog_of(id);
    if (range == nullptr) continue;
    const std::string_view hash = scan.Blob(1);
    const std::int64_t size = scan.Int(0);
    if (size != run_size || hash != run_hash) {
      close_run();
      run_size = size;
      run_hash.assign(hash);
    }
    run.push_back({id, range->catalog, std::string(scan.Text(3).value_or(std::string_view()))});
  }
  scan.Reset();
  close_run();
  return true;
}

// Appends the copies of `groups` with their `paths` (taken) to `entries`; a copy whose path could
// not be read (a damaged entry) is passed over. Copies by content need no name.
void AppendCopies(const std::vector<Group>& groups, std::vector<Found>* copies,
                  std::vector<std::string>* paths, std::vector<ContentEntry>* entries) {
  entries->reserve(entries->size() + copies->size());
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const std::size_t end = g + 1 < groups.size() ? groups[g + 1].begin : copies->size();
    const std::string hash = UnpackContentHash(groups[g].hash);
    for (std::size_t i = groups[g].begin; i < end; ++i) {
      if ((*paths)[i].empty()) continue;
      ContentEntry entry;
      entry.catalog = (*copies)[i].catalog;
      entry.size = static_cast<std::uint64_t>(groups[g].size);
      entry.hash = hash;
      entry.path = std::move((*paths)[i]);
      entry.link_id = std::move((*copies)[i].link);
      entries->push_back(std::move(entry));
    }
  }
}

}  // namespace

IndexedContents LibraryIndex::ContentsWithCopies(const std::vector<std::string>& scope,
                                                 std::stop_token stop) {
  IndexedContents result;
  const ReadTransaction snapshot(db_);
  // The catalogs in scope and the ranges of their entries, by first entry.
  std::vector<Range> ranges;
  std::vector<std::string> relatives;
  for (const std::string& path : scope) relatives.push_back(RelativeOf(path));
  const std::string top = root_ + "/";
  const std::vector<CatalogRow> catalogs = LoadCatalogs();
  for (const CatalogRow& row : catalogs) {
    bool wanted = scope.empty();
    for (const std::string& relative : relatives) {
      // A catalog, or a group holding it.
      wanted =
          wanted || relative == "." || row.path == relative ||
          (row.path.size() > relative.size() &&
           row.path.compare(0, relative.size(), relative) == 0 && row.path[relative.size()] == '/');
    }
    if (!wanted) continue;
    result.catalogs.push_back(top + row.path);
    result.unhashed += static_cast<std::size_t>(row.unhashed);
    if (row.count > 0) {
      ranges.push_back({row.first, row.first + row.count - 1,
                        static_cast<std::uint32_t>(result.catalogs.size() - 1)});
    }
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.first < b.first; });
  std::vector<Found> copies;
  std::vector<Group> groups;
  if (!FindCopyRuns(db_, ranges, stop, &copies, &groups)) {
    result.cancelled = true;
    return result;
  }

  // The paths of the copies only, looked up in the order of the entries (neighbours share pages
  // and folders); on two threads when there are many, the second half through a second
  // connection.
  std::vector<std::pair<std::int64_t, std::size_t>> by_id(copies.size());
  for (std::size_t i = 0; i < by_id.size(); ++i) by_id[i] = {copies[i].id, i};
  std::sort(by_id.begin(), by_id.end());
  std::vector<std::string> paths(copies.size());
  std::unique_ptr<LibraryIndex> second;
  if (by_id.size() >= kCopiesForTwoReaders && std::thread::hardware_concurrency() > 1) {
    second = SecondReader(catalogs);
  }
  const std::size_t half = second ? by_id.size() / 2 : by_id.size();
  const std::span<const std::pair<std::int64_t, std::size_t>> ids(by_id);
  bool second_done = true;
  std::exception_ptr second_failure;
  std::thread helper;
  if (second) {
    helper = std::thread([&] {
      try {
        second_done = second->FullPathsOf(ids.subspan(half), &paths, stop);
      } catch (...) {
        second_failure = std::current_exception();
      }
    });
  }
  bool done = false;
  try {
    done = FullPathsOf(ids.first(half), &paths, stop);
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (second_failure) std::rethrow_exception(second_failure);
  if (!done || !second_done) {
    result.cancelled = true;
    return result;
  }
  AppendCopies(groups, &copies, &paths, &result.entries);
  return result;
}

bool LibraryIndex::FullPathsOf(std::span<const std::pair<std::int64_t, std::size_t>> ids,
                               std::vector<std::string>* paths, const std::stop_token& stop) {
  // Only folders are worth remembering; a file's own path is asked once.
  std::unordered_map<std::int64_t, std::string> folder_paths;
  std::vector<std::pair<std::int64_t, std::string>> folders(4096);
  for (std::size_t n = 0; n < ids.size(); ++n) {
    if (n % kPollRows == 0 && stop.stop_requested()) return false;
    std::string& path = (*paths)[ids[n].second];
    if (!FullPathInto(ids[n].first, folder_paths, &path, &folders)) path.clear();
  }
  return true;
}

std::unique_ptr<LibraryIndex> LibraryIndex::SecondReader(const std::vector<CatalogRow>& catalogs) {
  std::unique_ptr<LibraryIndex> reader;
  try {
    reader.reset(new LibraryIndex(*this, SameFile{}));
    Statement(reader->db_, "BEGIN DEFERRED").Run();
    reader->in_read_ = true;
    // Every change to the entries changes its catalog's row: equal rows, equal entries.
    const std::vector<CatalogRow> seen = reader->LoadCatalogs();
    const auto same = [](const CatalogRow& a, const CatalogRow& b) {
      return a.id == b.id && a.path == b.path && a.stamp == b.stamp && a.first == b.first &&
             a.count == b.count && a.readable == b.readable && a.unhashed == b.unhashed;
    };
    if (!std::equal(seen.begin(), seen.end(), catalogs.begin(), catalogs.end(), same)) {
      return nullptr;
    }
  } catch (const IndexError&) {
    return nullptr;
  }
  return reader;
}

}  // namespace lumivor
