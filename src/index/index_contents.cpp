// Copies through the index: the size and content hash of every file of the media, kept beside the
// entries, so that files of equal content are found without reading a catalog file.
#include <algorithm>
#include <array>
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

// An entry and the number of its file among the copies.
using EntryFile = std::pair<std::int64_t, std::uint32_t>;

// Sorts `files` by entry (each entry once) through `spare`, of the same size, a byte of the entry
// at a time from the lowest: a few passes over the array instead of a comparison sort's many.
// Returns where the sorted files ended up.
std::span<EntryFile> SortByEntry(std::span<EntryFile> files, std::span<EntryFile> spare) {
  std::uint64_t highest = 0;
  for (const EntryFile& file : files) highest |= static_cast<std::uint64_t>(file.first);
  for (int shift = 0; shift < 64 && (highest >> shift) != 0; shift += 8) {
    std::array<std::size_t, 257> at{};
    for (const EntryFile& file : files) {
      ++at[((static_cast<std::uint64_t>(file.first) >> shift) & 0xFF) + 1];
    }
    if (at[((static_cast<std::uint64_t>(files[0].first) >> shift) & 0xFF) + 1] == files.size()) {
      continue;  // one value of this byte: the order stands
    }
    for (std::size_t i = 1; i < at.size(); ++i) at[i] += at[i - 1];
    for (const EntryFile& file : files) {
      spare[at[(static_cast<std::uint64_t>(file.first) >> shift) & 0xFF]++] = file;
    }
    std::swap(files, spare);
  }
  return files;
}

// Reads the files whose size and hash two or more files share, in the order of size and hash,
// keeping those of the catalogs of `ranges` (sorted by first entry): a run of two or more goes
// into `groups`, each file's entry beside its number in `ids`. False when stopped.
bool FindCopyRuns(sqlite3* db, const std::vector<Range>& ranges, const std::stop_token& stop,
                  CopyGroups* groups, MappedArray<EntryFile>* ids) {
  const auto catalog_of = [&](std::int64_t id) -> const Range* {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), id,
                               [](std::int64_t value, const Range& r) { return value < r.first; });
    if (it == ranges.begin()) return nullptr;
    --it;
    return id <= it->last ? &*it : nullptr;
  };
  // The run read so far (its texts used again from run to run).
  struct Found {
    std::int64_t id;
    std::uint32_t catalog;
    std::string link;
  };
  std::vector<Found> run;
  std::size_t run_files = 0;
  std::int64_t run_size = -1;
  std::string run_hash;
  const auto close_run = [&] {
    if (run_files >= 2) {
      groups->AddRun(static_cast<std::uint64_t>(run_size), UnpackContentHash(run_hash));
      for (std::size_t i = 0; i < run_files; ++i) {
        ids->push_back({run[i].id, groups->AddFile(run[i].catalog, run[i].link)});
      }
    }
    run_files = 0;
  };
  // Only the keys that two or more files share, and their files: a library of unique files
  // reads next to nothing.
  Statement scan(
      db,
      "SELECT k.size, k.hash, c.id, c.link FROM content_keys AS k "
      "INDEXED BY content_keys_shared "
      "JOIN contents AS c INDEXED BY contents_by_key ON c.size = k.size AND c.hash = k.hash "
      "WHERE k.files >= 2 AND c.hash <> x'' ORDER BY k.size, k.hash");
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
    if (run_files == run.size()) run.emplace_back();
    Found& found = run[run_files++];
    found.id = id;
    found.catalog = range->catalog;
    found.link.assign(scan.Text(3).value_or(std::string_view()));
  }
  scan.Reset();
  close_run();
  return true;
}

}  // namespace

IndexedCopies LibraryIndex::CopiesOf(const std::vector<std::string>& scope, std::stop_token stop,
                                     std::uint64_t min_size) {
  IndexedCopies result;
  const ReadTransaction snapshot(db_);
  // The catalogs in scope and the ranges of their entries, by first entry.
  std::vector<Range> ranges;
  std::vector<std::string> relatives;
  for (const std::string& path : scope) relatives.push_back(RelativeOf(path));
  const std::string top = root_ + "/";
  const std::vector<CatalogRow> catalogs = LoadCatalogs();
  std::size_t entries = 0;
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
      entries += static_cast<std::size_t>(row.count);
    }
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.first < b.first; });
  if (min_size > 1) {
    // The catalogs count all their files without a hash; the smaller ones are left out here.
    Statement count(db_,
                    "SELECT COUNT(*) FROM contents WHERE id BETWEEN ?1 AND ?2 AND hash = x'' "
                    "AND size >= ?3");
    result.unhashed = 0;
    for (const Range& range : ranges) {
      count.Bind(1, range.first).Bind(2, range.last).Bind(3, static_cast<std::int64_t>(min_size));
      if (count.Step()) result.unhashed += static_cast<std::size_t>(count.Int(0));
      count.Reset();
    }
  }
  // No more files than entries in scope: room for all of them, of which the copies are touched.
  result.groups = CopyGroups(entries);
  MappedArray<EntryFile> by_id(entries);
  if (!FindCopyRuns(db_, ranges, stop, &result.groups, &by_id)) {
    result.cancelled = true;
    return result;
  }

  // The paths of the copies only, looked up in the order of the entries (neighbours share pages
  // and folders); on two threads when there are many, the second half through a second
  // connection.
  MappedArray<EntryFile> spare(by_id.size());
  spare.resize_for_overwrite(by_id.size());
  const std::span<const EntryFile> ids =
      by_id.empty() ? std::span<const EntryFile>()
                    : SortByEntry({by_id.data(), by_id.size()}, {spare.data(), spare.size()});
  std::unique_ptr<LibraryIndex> second;
  if (by_id.size() >= kCopiesForTwoReaders && std::thread::hardware_concurrency() > 1) {
    second = SecondReader(catalogs);
  }
  const std::size_t half = second ? by_id.size() / 2 : by_id.size();
  TextBlocks& first_texts = result.groups.NewPathTexts();
  TextBlocks& second_texts = result.groups.NewPathTexts();
  bool second_done = true;
  std::exception_ptr second_failure;
  std::thread helper;
  if (second) {
    helper = std::thread([&] {
      try {
        second_done = second->FullPathsOf(ids.subspan(half), &result.groups, &second_texts, stop);
      } catch (...) {
        second_failure = std::current_exception();
      }
    });
  }
  bool done = false;
  try {
    done = FullPathsOf(ids.first(half), &result.groups, &first_texts, stop);
  } catch (...) {
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (second_failure) std::rethrow_exception(second_failure);
  if (!done || !second_done) result.cancelled = true;
  return result;
}

bool LibraryIndex::FullPathsOf(std::span<const std::pair<std::int64_t, std::uint32_t>> ids,
                               CopyGroups* groups, TextBlocks* texts, const std::stop_token& stop) {
  // Only folders are worth remembering; a file's own path is asked once.
  std::unordered_map<std::int64_t, std::string> folder_paths;
  std::vector<std::pair<std::int64_t, std::string>> folders(4096);
  std::string path;
  for (std::size_t n = 0; n < ids.size(); ++n) {
    if (n % kPollRows == 0 && stop.stop_requested()) return false;
    // An empty path is one that cannot be read, as a file without a path is shown nowhere.
    if (FullPathInto(ids[n].first, folder_paths, &path, &folders) && !path.empty()) {
      groups->SetPath(ids[n].second, texts->Add(path));
    }
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
