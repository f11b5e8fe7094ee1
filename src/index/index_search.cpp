#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/path_text.h"
#include "index/index_tables.h"
#include "index/library_index.h"
#include "index/packed_fields.h"
#include "index/trigram_plan.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

// The stretch of entries in which a trigram's frequency is sampled.
constexpr std::int64_t kSampleEntries = 40000;

// The FullPath of entry `id` read with `lookup`, remembering the paths of the folders met on the
// way in `paths` (results often share them); nullopt when the index holds no such entry or it is
// damaged.
std::optional<std::string_view> PathOf(Statement& lookup, std::int64_t id,
                                       std::unordered_map<std::int64_t, std::string>& paths) {
  if (const auto found = paths.find(id); found != paths.end()) return found->second;
  struct Link {
    std::int64_t id;
    std::size_t keep;
    std::string tail;
  };
  std::vector<Link> chain;  // entries and their links, upwards
  // Up the links to an entry whose path is known or kept whole (each map lookup costs a miss of
  // the processor's cache, so the asked entry is looked up once).
  std::string path;
  bool known = false;
  for (;;) {
    if (!chain.empty()) {
      if (const auto found = paths.find(id); found != paths.end()) {
        path = found->second;
        known = true;
        break;
      }
    }
    lookup.Bind(1, id);
    if (!lookup.Step()) {
      lookup.Reset();
      return std::nullopt;
    }
    // Views of the row, used before the statement is reset.
    FullPathSource source;
    if (!FullPathSourceOf(lookup.Blob(1), lookup.Text(0).value_or(std::string_view()), &source)) {
      lookup.Reset();
      return std::nullopt;
    }
    if (!source.linked) {
      path.assign(source.own);
      lookup.Reset();
      break;
    }
    chain.push_back({id, source.keep, (source.slash_name ? "/" : "") + std::string(source.tail)});
    lookup.Reset();
    if (source.distance <= 0 || source.distance >= id) return std::nullopt;  // damaged: upwards
    id -= source.distance;
  }
  // Remembered from the top down; the views stay where they are while the map grows.
  const std::string* remembered = nullptr;
  if (!known) remembered = &paths.try_emplace(id, path).first->second;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (it->keep > path.size()) return std::nullopt;
    path.resize(it->keep);
    path += it->tail;
    remembered = &paths.try_emplace(it->id, path).first->second;
  }
  return std::string_view(*remembered);
}

}  // namespace

std::string LibraryIndex::ChooseCandidateQuery(std::vector<std::string> terms, std::int64_t first,
                                               std::int64_t last) {
  // The sample: a stretch of entries in the middle of the scope.
  const std::int64_t span = std::max<std::int64_t>(last - first + 1, 1);
  const std::int64_t stretch = std::min(span, kSampleEntries);
  const std::int64_t start = first + (span - stretch) / 2;
  struct Stretch final : TermSample {
    Stretch(Statement& limited, Statement& whole, std::int64_t from, std::int64_t to)
        : sample(limited), sample_all(whole), first(from), last(to) {}
    std::int64_t Count(const std::vector<std::string>& asked, std::int64_t limit) override {
      // A limit that the stretch cannot reach needs no LIMIT, whose subquery costs a quarter.
      Statement& statement = limit > last - first ? sample_all : sample;
      statement.Bind(1, CandidateQuery(asked)).Bind(2, first).Bind(3, last);
      if (&statement == &sample) statement.Bind(4, limit);
      const std::int64_t count = statement.Step() ? std::min(statement.Int(0), limit) : limit;
      statement.Reset();
      return count;
    }
    Statement& sample;
    Statement& sample_all;
    const std::int64_t first, last;
  } sample(statements_->sample, statements_->sample_all, start, start + stretch - 1);
  return CandidateQuery(PlanCandidates(std::move(terms), stretch, sample).terms);
}

namespace {

// Results handed over as they are found: at most every 100 ms, and the first hundred at once so
// that the first screenful shows without waiting.
class ResultBatches {
 public:
  explicit ResultBatches(const LibraryIndex::ResultsArrived& arrived) : arrived_(arrived) {}

  // Hands over what gathered in `part`; unless `force`, only when 100 ms have passed.
  void Report(bool force) {
    if (!arrived_ || part.results.Empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && reported_ > 0 && now - last_report_ < std::chrono::milliseconds(100)) return;
    reported_ += part.results.Size();
    arrived_(std::move(part));
    part = SearchOutcome();
    last_report_ = now;
  }
  void FirstHundred() {
    if (reported_ < 100 && reported_ + part.results.Size() >= 100) Report(true);
  }

  SearchOutcome part;  // the results not handed over yet

 private:
  const LibraryIndex::ResultsArrived& arrived_;
  std::size_t reported_ = 0;
  std::chrono::steady_clock::time_point last_report_ = std::chrono::steady_clock::now();
};

}  // namespace

std::vector<LibraryIndex::ScopeCatalog> LibraryIndex::CatalogsOfScope(
    const SearchCriteria& criteria, const std::string& relative, SearchOutcome* outcome) {
  std::vector<ScopeCatalog> scope;
  for (CatalogRow& row : LoadCatalogs()) {
    std::string path;
    if (criteria.scope_is_directory) {
      const std::string prefix = relative == "." ? "" : relative + "/";
      if (row.path.compare(0, prefix.size(), prefix) != 0) continue;
      path = WithTrailingBackslash(criteria.scope_path) + row.path.substr(prefix.size());
    } else {
      if (row.path != relative) continue;
      path = criteria.scope_path;
    }
    if (!row.readable) {
      ++outcome->skipped_files;
      continue;
    }
    if (row.count > 0) scope.push_back({std::move(row), std::move(path)});
  }
  return scope;
}

namespace {

// A second, read-only connection to the index file, for a thread of its own.
class ReaderConnection {
 public:
  explicit ReaderConnection(const std::string& path) {
    sqlite3* db = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(db);  // closed by its owner whatever happens below
    if (opened != SQLITE_OK) throw IndexError("The search index cannot be opened.", false);
    sqlite3_busy_timeout(db, 3000);
    Statement(db, "PRAGMA cache_size = -1024").Run();
    scan = Statement(db, kScanSql);
    candidates = Statement(db, kCandidatesSql);
    lookup = Statement(db, kLookupSql);
  }
  ReaderConnection(const ReaderConnection&) = delete;
  ReaderConnection& operator=(const ReaderConnection&) = delete;

 private:
  // Closed after the statements (members are destroyed in reverse order); sqlite3_close_v2 would
  // wait for them anyway.
  struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  std::unique_ptr<sqlite3, Closer> db_;

 public:
  Statement scan, candidates, lookup;
};

// A match found by the reader on the other thread, owned: the index of its catalog in the scope,
// its id, its fields (CatalogName aside) and its packed further attributes.
struct OwnedMatch {
  std::size_t catalog = 0;
  std::int64_t id = 0;
  std::array<std::string, kFieldCount> fields;
  std::string extras;
};

// Whether a core is free for a second reader: the processor has two or more and, over the last
// minute, at least half of one stood idle (on a busy machine a second thread only waits for a
// core and costs the setting up of its connection).
bool IdleCoreForSecondReader() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores < 2) return false;
  double load = 0;
  if (::getloadavg(&load, 1) != 1) return false;
  return load + 0.5 <= static_cast<double>(cores);
}

}  // namespace

SearchOutcome LibraryIndex::Search(const SearchCriteria& criteria, Progress& progress,
                                   std::stop_token stop, const ResultsArrived& arrived) {
  const SearchMatcher matcher(criteria);
  SearchOutcome outcome;
  if (criteria.scope_path.empty()) return outcome;
  const std::string relative = RelativeOf(criteria.scope_path);
  if (relative.empty()) throw IndexError("The scope lies outside the library.", false);
  std::vector<ScopeCatalog> scope = CatalogsOfScope(criteria, relative, &outcome);

  std::string query;
  std::int64_t scope_entries = 0;
  if (!scope.empty()) {
    std::int64_t first = scope.front().row.first, last = first;
    for (const ScopeCatalog& catalog : scope) {
      first = std::min(first, catalog.row.first);
      last = std::max(last, catalog.row.first + catalog.row.count - 1);
      scope_entries += catalog.row.count;
    }
    query = ChooseCandidateQuery(CandidateTrigrams(criteria), first, last);
  }

  // Reads the catalogs [from, to) of the scope with `statement` (candidates or scan), finding
  // folders' paths with `lookup`, and hands each match to `match(catalog, id, fields, extras)`
  // (fields without CatalogName); `poll()` every kPollRows rows. False when cancelled through
  // `halt`. Without `shown`, no progress is shown.
  const auto read_catalogs = [&](Statement& statement, Statement& lookup, std::size_t from,
                                 std::size_t to, const std::stop_token& halt, Progress* shown,
                                 auto&& match, auto&& poll) -> bool {
    std::unordered_map<std::int64_t, std::string> folder_paths;
    // Most results of a selective search have a folder of their own: room for thousands at once.
    folder_paths.reserve(4096);
    std::array<std::string, kFieldCount> unpacked;
    ExtraViews extras;
    FieldViews fields{};
    std::size_t rows_seen = 0;
    // Catalogs whose entries lie in rising order are read with one query over their whole range.
    for (std::size_t begin = from; begin < to;) {
      std::size_t end = begin + 1;
      while (end < to &&
             scope[end].row.first >= scope[end - 1].row.first + scope[end - 1].row.count) {
        ++end;
      }
      statement.Bind(1, scope[begin].row.first)
          .Bind(2, scope[end - 1].row.first + scope[end - 1].row.count - 1);
      if (!query.empty()) statement.Bind(3, query);
      std::size_t current = begin;
      if (shown) shown->SetWaitText(scope[current].path);
      while (statement.Step()) {
        const std::int64_t id = statement.Int(0);
        bool next_catalog = false;
        while (current < end && id >= scope[current].row.first + scope[current].row.count) {
          ++current;
          next_catalog = true;
        }
        if (current == end) break;
        if (next_catalog) {
          // Looked at between catalogs, as the file search looks between files.
          if (halt.stop_requested()) {
            statement.Reset();
            return false;
          }
          if (shown) shown->SetWaitText(scope[current].path);
        }
        if (++rows_seen % kPollRows == 0) {
          poll();
          if (halt.stop_requested()) {
            statement.Reset();
            return false;
          }
        }
        if (id < scope[current].row.first) continue;  // another catalog's entry between ours
        const auto name = statement.Text(1);
        const std::string_view packed_extras = statement.Blob(5);
        if (!UnpackExtras(packed_extras, &extras)) {
          statement.Reset();
          throw IndexError("The search index holds a damaged entry.", true);
        }
        if (!matcher.Matches(name, statement.Text(2), statement.Text(3), &extras)) continue;
        if (name && shown) shown->SetWaitText(*name);
        const std::string_view file_name = name.value_or(std::string_view());
        const bool unpacked_ok = UnpackEntryFields(
            statement.Blob(4), file_name,
            [&](std::int64_t distance) { return PathOf(lookup, id - distance, folder_paths); },
            &unpacked);
        if (!unpacked_ok) {
          statement.Reset();
          throw IndexError("The search index holds a damaged entry.", true);
        }
        for (int i = 0; i < kFieldCount; ++i) fields[i] = unpacked[i];
        fields[kFileName] = file_name;
        fields[kFileExt] = statement.Text(2).value_or(std::string_view());
        fields[kDescription] = statement.Text(3).value_or(std::string_view());
        match(current, id, fields, extras, packed_extras);
      }
      statement.Reset();
      begin = end;
    }
    return true;
  };

  // With `arrived`, results gather in batches and are handed over from there.
  ResultBatches batches(arrived);
  SearchOutcome& found = arrived ? batches.part : outcome;
  std::size_t named_catalog = scope.size();
  std::string catalog_name;
  const auto add = [&](std::size_t catalog, std::int64_t id, FieldViews& fields,
                       const ExtraViews& extras) {
    if (named_catalog != catalog) {
      catalog_name = DisplayNameOf(scope[catalog].path);
      named_catalog = catalog;
    }
    fields[kCatalogName] = catalog_name;
    found.results.AddChild(nullptr, fields, extras);
    found.sources.push_back(
        {scope[catalog].path, static_cast<std::size_t>(id - scope[catalog].row.first)});
    // The first hundred at once, so that the first screenful shows without waiting.
    batches.FirstHundred();
  };
  const auto add_here = [&](std::size_t catalog, std::int64_t id, FieldViews& fields,
                            const ExtraViews& extras,
                            std::string_view) { add(catalog, id, fields, extras); };
  const auto poll = [&] { batches.Report(false); };
  Statement& statement = query.empty() ? statements_->scan : statements_->candidates;

  // A large scope whose results are taken at the end is split in two halves by entries; the
  // second half is read on another thread and its matches follow those of the first.
  std::size_t split = scope.size();
  if (!arrived && scope.size() >= 2 && scope_entries >= two_reader_entries_ &&
      (two_reader_entries_ == 0 || IdleCoreForSecondReader())) {
    std::int64_t seen = 0;
    split = 0;
    while (split < scope.size() && seen < scope_entries / 2) seen += scope[split++].row.count;
  }
  // Without a second connection (the file cannot be opened once more), one thread reads all.
  std::unique_ptr<ReaderConnection> reader;
  if (split < scope.size()) {
    try {
      reader = std::make_unique<ReaderConnection>(path_);
    } catch (const IndexError&) {
      split = scope.size();
    }
  }
  if (split >= scope.size()) {
    outcome.cancelled = !read_catalogs(statement, statements_->lookup, 0, scope.size(), stop,
                                       &progress, add_here, poll);
    batches.Report(true);
    return outcome;
  }

  std::vector<OwnedMatch> later;
  bool later_done = false;
  std::exception_ptr later_failure;
  std::jthread other([&](std::stop_token halt) {
    try {
      Statement& other_statement = query.empty() ? reader->scan : reader->candidates;
      later_done = read_catalogs(
          other_statement, reader->lookup, split, scope.size(), halt, nullptr,
          [&](std::size_t catalog, std::int64_t id, FieldViews& fields, const ExtraViews&,
              std::string_view packed_extras) {
            OwnedMatch& owned = later.emplace_back();
            owned.catalog = catalog;
            owned.id = id;
            for (int i = 0; i < kFieldCount; ++i) owned.fields[i].assign(fields[i]);
            owned.extras.assign(packed_extras);
          },
          [] {});
    } catch (...) {
      later_failure = std::current_exception();
    }
  });
  // A cancel of the search stops the other thread too.
  const std::stop_callback forward(stop, [&] { other.request_stop(); });
  const bool done =
      read_catalogs(statement, statements_->lookup, 0, split, stop, &progress, add_here, poll);
  other.join();
  if (later_failure) std::rethrow_exception(later_failure);
  if (!done || !later_done) {
    // The results stop where the first half stopped, or at what the second found before it
    // was cancelled.
    outcome.cancelled = true;
    if (!done) later.clear();
  }
  ExtraViews extras;
  FieldViews fields{};
  for (OwnedMatch& match : later) {
    if (!UnpackExtras(match.extras, &extras)) {
      throw IndexError("The search index holds a damaged entry.", true);
    }
    for (int i = 0; i < kFieldCount; ++i) fields[i] = match.fields[i];
    add(match.catalog, match.id, fields, extras);
  }
  batches.Report(true);
  return outcome;
}

// Entries whose FullPath is kept as their parent's and their name are walked up without
// recursion (an index of another build may keep folders' paths that way too).
std::optional<std::string_view> LibraryIndex::FullPathOf(
    std::int64_t id, std::unordered_map<std::int64_t, std::string>& paths) {
  return PathOf(statements_->lookup, id, paths);
}

bool LibraryIndex::FullPathInto(std::int64_t id,
                                std::unordered_map<std::int64_t, std::string>& paths,
                                std::string* out,
                                std::vector<std::pair<std::int64_t, std::string>>* folders) {
  if (const auto found = paths.find(id); found != paths.end()) {
    *out = found->second;
    return true;
  }
  Statement& lookup = statements_->lookup;
  lookup.Bind(1, id);
  if (!lookup.Step()) {
    lookup.Reset();
    return false;
  }
  // Views of the row, used before the statement is reset.
  FullPathSource source;
  if (!FullPathSourceOf(lookup.Blob(1), lookup.Text(0).value_or(std::string_view()), &source)) {
    lookup.Reset();
    return false;
  }
  if (!source.linked) {
    out->assign(source.own);
    lookup.Reset();
    return true;
  }
  // The folder's path may need the statement: the tail is kept first.
  out->clear();
  if (source.slash_name) *out += '/';
  out->append(source.tail);
  lookup.Reset();
  if (source.distance <= 0 || source.distance >= id) return false;  // damaged: always upwards
  const std::int64_t folder = id - source.distance;
  std::string_view parent;
  if (folders && !folders->empty()) {
    auto& slot = (*folders)[static_cast<std::size_t>(folder) % folders->size()];
    if (slot.first != folder) {
      slot.first = 0;
      if (!FullPathInto(folder, paths, &slot.second)) return false;
      slot.first = folder;
    }
    parent = slot.second;
  } else if (const std::optional<std::string_view> path = FullPathOf(folder, paths)) {
    parent = *path;
  } else {
    return false;
  }
  if (source.keep > parent.size()) return false;
  // The kept part of the folder's path goes before the tail.
  const std::size_t tail_size = out->size();
  out->resize(source.keep + tail_size);
  std::memmove(out->data() + source.keep, out->data(), tail_size);
  std::memcpy(out->data(), parent.data(), source.keep);
  return true;
}

}  // namespace lumivor
