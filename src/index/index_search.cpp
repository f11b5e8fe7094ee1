#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/path_text.h"
#include "index/index_tables.h"
#include "index/library_index.h"
#include "index/packed_fields.h"
#include "index/trigram_plan.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

// The stretch of entries in which a trigram's frequency is sampled. Counting costs tens of
// nanoseconds per entry of a list found there, for every trigram of the criteria (two common
// words have a dozen; a common trigram is in one entry of five): 10,000 entries tell the common
// trigrams from the rare ones as well as more would. Measured on 2,000,000 entries, every query
// shape took about a millisecond less than with 20,000, and 5,000 planned worse.
constexpr std::int64_t kSampleEntries = 10000;

// Folders' paths remembered by entry in a map: every path met stays.
class MappedPaths {
 public:
  explicit MappedPaths(std::unordered_map<std::int64_t, std::string>& paths) : paths_(paths) {}
  [[nodiscard]] const std::string* Find(std::int64_t id) const {
    const auto found = paths_.find(id);
    return found == paths_.end() ? nullptr : &found->second;
  }
  // The path as remembered; it stays where it is while the map grows.
  const std::string* Remember(std::int64_t id, const std::string& path) {
    return &paths_.try_emplace(id, path).first->second;
  }

 private:
  std::unordered_map<std::int64_t, std::string>& paths_;
};

// Folders' paths remembered in a fixed number of slots, by entry modulo the count: a search's
// results seldom share a folder, so remembering every folder met only grows the memory touched
// (each fresh page of it costs a fault), while the few folders that the results in a row share
// stay. The strings keep their buffers from folder to folder.
class SlotPaths {
 public:
  SlotPaths() : slots_(kSlots) {}
  [[nodiscard]] const std::string* Find(std::int64_t id) const {
    const Slot& slot = slots_[static_cast<std::size_t>(id) % kSlots];
    return slot.id == id ? &slot.path : nullptr;
  }
  // The path as remembered: valid until the slot is taken by another entry.
  const std::string* Remember(std::int64_t id, const std::string& path) {
    Slot& slot = slots_[static_cast<std::size_t>(id) % kSlots];
    slot.id = id;
    slot.path.assign(path);
    return &slot.path;
  }

 private:
  static constexpr std::size_t kSlots = 1024;
  struct Slot {
    std::int64_t id = 0;  // no entry has id 0
    std::string path;
  };
  std::vector<Slot> slots_;
};

// The FullPath of entry `id` read with `lookup`, remembering the paths of the folders met on the
// way in `paths` (MappedPaths or SlotPaths); nullopt when the index holds no such entry or it is
// damaged. The view stays valid until the next call.
template <typename Paths>
std::optional<std::string_view> PathOf(Statement& lookup, std::int64_t id, Paths& paths) {
  if (const std::string* found = paths.Find(id)) return *found;
  struct Link {
    std::int64_t id;
    std::size_t keep;
    std::string tail;
  };
  std::vector<Link> chain;  // entries and their links, upwards
  // Up the links to an entry whose path is known or kept whole (each look-up of a remembered
  // path may cost a miss of the processor's cache, so the asked entry is looked up once).
  std::string path;
  bool known = false;
  for (;;) {
    if (!chain.empty()) {
      if (const std::string* found = paths.Find(id)) {
        path = *found;
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
    Link& link = chain.emplace_back(Link{id, source.keep, {}});
    if (source.slash_name) link.tail += '/';
    link.tail.append(source.tail);
    lookup.Reset();
    if (source.distance <= 0 || source.distance >= id) return std::nullopt;  // damaged: upwards
    id -= source.distance;
  }
  // Remembered from the top down; the asked entry's path is remembered last.
  const std::string* remembered = nullptr;
  if (!known) remembered = paths.Remember(id, path);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (it->keep > path.size()) return std::nullopt;
    path.resize(it->keep);
    path += it->tail;
    remembered = paths.Remember(it->id, path);
  }
  return std::string_view(*remembered);
}

}  // namespace

// Counts of single trigrams shared out between the thread that plans a search and a second
// reader, which has a connection of its own and would otherwise only wait for the plan. Both
// take the next term not yet taken; the planner goes on once every term taken is counted. Its
// state is guarded by the mutex the second reader waits on for the plan, and a posting wakes it
// through that wait's condition.
class LibraryIndex::SharedCounts {
 public:
  SharedCounts(std::mutex& mutex, std::condition_variable_any& posted)
      : mutex_(mutex), posted_(posted) {}

  // Whether terms wait to be taken; with the mutex held.
  [[nodiscard]] bool HasWork() const { return terms_ && next_ < terms_->size(); }

  // Counts the terms not yet taken with `count(term, first, last)` until none is left. A count
  // that fails is left at -1, for the planner to count again on its own connection.
  template <typename Count>
  void Work(Count&& count) {
    std::unique_lock lock(mutex_);
    while (HasWork()) {
      const std::size_t i = next_++;
      const std::string& term = (*terms_)[i];
      const std::int64_t first = first_, last = last_;
      lock.unlock();
      std::int64_t value = -1;
      try {
        value = count(term, first, last);
      } catch (const std::exception&) {
        value = -1;  // counted again by the planner, whose failure is the search's
      }
      lock.lock();
      (*counts_)[i] = value;
      ++done_;
    }
    finished_.notify_all();
  }

  // Counts `terms` among the entries `first` to `last` with `count(term, first, last)` on this
  // thread and the other, and returns the counts.
  template <typename Count>
  std::vector<std::int64_t> CountEach(const std::vector<std::string>& terms, std::int64_t first,
                                      std::int64_t last, Count&& count) {
    std::vector<std::int64_t> counts(terms.size(), -1);
    {
      const std::lock_guard lock(mutex_);
      terms_ = &terms;
      counts_ = &counts;
      first_ = first;
      last_ = last;
      next_ = 0;
      done_ = 0;
    }
    posted_.notify_all();
    Work(count);
    {
      std::unique_lock lock(mutex_);
      finished_.wait(lock, [&] { return done_ == terms.size(); });
      terms_ = nullptr;
      counts_ = nullptr;
    }
    for (std::size_t i = 0; i < terms.size(); ++i) {
      if (counts[i] < 0) counts[i] = count(terms[i], first, last);
    }
    return counts;
  }

 private:
  std::mutex& mutex_;
  std::condition_variable_any& posted_;
  std::condition_variable finished_;
  const std::vector<std::string>* terms_ = nullptr;
  std::vector<std::int64_t>* counts_ = nullptr;
  std::int64_t first_ = 0, last_ = 0;
  std::size_t next_ = 0, done_ = 0;
};

namespace {

// How many entries from `first` to `last` hold every one of `terms`, with a statement of
// kSampleAllSql.
std::int64_t CountAll(Statement& sample_all, const std::vector<std::string>& terms,
                      std::int64_t first, std::int64_t last) {
  sample_all.Bind(1, CandidateQuery(terms)).Bind(2, first).Bind(3, last);
  const std::int64_t count = sample_all.Step() ? sample_all.Int(0) : 0;
  sample_all.Reset();
  return count;
}

}  // namespace

std::string LibraryIndex::ChooseCandidateQuery(std::vector<std::string> terms, std::int64_t first,
                                               std::int64_t last, SharedCounts* shared) {
  // The sample: a stretch of entries in the middle of the scope.
  const std::int64_t span = std::max<std::int64_t>(last - first + 1, 1);
  const std::int64_t stretch = std::min(span, kSampleEntries);
  const std::int64_t start = first + (span - stretch) / 2;
  struct Stretch final : TermSample {
    Stretch(Statement& limited, Statement& whole, std::int64_t from, std::int64_t to,
            SharedCounts* with)
        : sample(limited), sample_all(whole), first(from), last(to), shared(with) {}
    std::int64_t Count(const std::vector<std::string>& asked, std::int64_t limit) override {
      // A limit that the stretch cannot reach needs no LIMIT, whose subquery costs a quarter.
      if (limit > last - first) return std::min(CountAll(sample_all, asked, first, last), limit);
      sample.Bind(1, CandidateQuery(asked)).Bind(2, first).Bind(3, last).Bind(4, limit);
      const std::int64_t count = sample.Step() ? std::min(sample.Int(0), limit) : limit;
      sample.Reset();
      return count;
    }
    std::vector<std::int64_t> CountEach(const std::vector<std::string>& asked,
                                        std::int64_t limit) override {
      if (!shared || limit <= last - first) return TermSample::CountEach(asked, limit);
      return shared->CountEach(asked, first, last,
                               [&](const std::string& term, std::int64_t from, std::int64_t to) {
                                 return CountAll(sample_all, {term}, from, to);
                               });
    }
    Statement& sample;
    Statement& sample_all;
    const std::int64_t first, last;
    SharedCounts* shared;
  } sample(statements_->sample, statements_->sample_all, start, start + stretch - 1, shared);
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
    Statement(db, "PRAGMA cache_size = -256").Run();
    scan = Statement(db, kScanSql);
    candidates = Statement(db, kCandidatesSql);
    lookup = Statement(db, kLookupSql);
    sample_all = Statement(db, kSampleAllSql);
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
  Statement scan, candidates, lookup, sample_all;
};

// Whether this process may run on two cores or more (its affinity may allow fewer than the
// machine has).
bool TwoCoresAllowed() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof(allowed), &allowed) == 0) return CPU_COUNT(&allowed) >= 2;
  return std::thread::hardware_concurrency() >= 2;
}

// The threads ready to run at this moment on the whole machine, this one counted, from
// /proc/loadavg ("0.52 0.58 0.59 1/467 12345"); nullopt where it cannot be read.
std::optional<long> RunnableThreads() {
  const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[128];
  const ssize_t size = ::read(fd, text, sizeof(text) - 1);
  ::close(fd);
  if (size <= 0) return std::nullopt;
  text[size] = '\0';
  long runnable = 0;
  if (std::sscanf(text, "%*f %*f %*f %ld/", &runnable) != 1 || runnable < 1) return std::nullopt;
  return runnable;
}

// Whether a core of the machine stands idle for a second reader: fewer threads than cores are
// ready to run, this one counted (on a busy machine a second thread only takes turns with the
// first and the others, and costs the setting up of its connection). The count of the moment
// rather than the load average: searches run one after another raise the average with their own
// second readers, which would then turn the next searches' second readers away from a core that
// stands idle. A moment's count may catch another thread on its way to sleep: the search asks
// again once its plan is made.
bool IdleCoreForSecondReader() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores < 2) return false;
  if (const std::optional<long> runnable = RunnableThreads()) {
    return *runnable < static_cast<long>(cores);
  }
  double load = 0;
  if (::getloadavg(&load, 1) != 1) return false;
  return load + 0.5 <= static_cast<double>(cores);
}

// A second connection to the index file at `path`; nullptr when the file cannot be opened once
// more.
std::unique_ptr<ReaderConnection> OpenReaderConnection(const std::string& path) {
  try {
    return std::make_unique<ReaderConnection>(path);
  } catch (const IndexError&) {
    return nullptr;
  }
}

}  // namespace

// The results of a search in the order they are added, each with its CatalogName and its
// source; with a receiver of results they are handed over in batches, else kept in the outcome.
class LibraryIndex::ScopeResults {
 public:
  ScopeResults(const std::vector<ScopeCatalog>& scope, const ResultsArrived& arrived,
               SearchOutcome* outcome)
      : scope_(scope),
        batches_(arrived),
        found_(arrived ? batches_.part : *outcome),
        named_catalog_(scope.size()) {}

  // Adds the entry `id` of the scope's catalog `catalog` with its `fields` (their CatalogName is
  // set here) and `extras`.
  void Add(std::size_t catalog, std::int64_t id, FieldViews& fields, const ExtraViews& extras) {
    if (named_catalog_ != catalog) {
      catalog_name_ = DisplayNameOf(scope_[catalog].path);
      named_catalog_ = catalog;
    }
    fields[kCatalogName] = catalog_name_;
    found_.results.AddChild(nullptr, fields, extras);
    found_.sources.push_back(
        {scope_[catalog].path, static_cast<std::size_t>(id - scope_[catalog].row.first)});
    // The first hundred at once, so that the first screenful shows without waiting.
    batches_.FirstHundred();
  }

  // Moves the results that another thread gathered in `later` after those added so far.
  void Append(SearchOutcome&& later) {
    found_.results.Append(std::move(later.results));
    found_.sources.insert(found_.sources.end(), std::make_move_iterator(later.sources.begin()),
                          std::make_move_iterator(later.sources.end()));
  }

  // Hands over what gathered; unless `force`, only when 100 ms have passed.
  void Report(bool force) { batches_.Report(force); }

 private:
  const std::vector<ScopeCatalog>& scope_;
  ResultBatches batches_;
  SearchOutcome& found_;  // where results are added: the batch at hand or the outcome
  std::size_t named_catalog_;
  std::string catalog_name_;  // the CatalogName of the catalog `named_catalog_`
};

// Which catalogs of a search's scope each of two readers takes: this thread from the front, one
// catalog at a time as it comes to it; the other from the back, a stretch of catalogs at a time.
// However unevenly the matches lie among the catalogs, or the cores are shared with other work,
// neither waits at the end for longer than the other takes to finish the stretch at hand.
class LibraryIndex::ScopeShares {
 public:
  ScopeShares(const std::vector<ScopeCatalog>& scope, std::int64_t entries)
      : scope_(scope),
        back_(scope.size()),
        stretch_entries_(std::max<std::int64_t>(entries / kBackStretches, 1)) {}

  // Takes the catalog `catalog` and every one before it for the front reader: false when the
  // back reader has taken it.
  bool TakeFront(std::size_t catalog) {
    const std::lock_guard lock(mutex_);
    if (catalog >= back_) return false;
    front_ = std::max(front_, catalog + 1);
    return true;
  }

  // The next stretch [first, second) of catalogs for the back reader, the last ones nobody has
  // taken; empty when none is left.
  std::pair<std::size_t, std::size_t> TakeBack() {
    const std::lock_guard lock(mutex_);
    const std::size_t end = back_;
    std::int64_t taken = 0;
    while (back_ > front_ && (back_ == end || taken < stretch_entries_)) {
      --back_;
      taken += scope_[back_].row.count;
    }
    return {back_, end};
  }

 private:
  // The back reader's stretches hold about this share of the scope's entries.
  static constexpr std::int64_t kBackStretches = 16;
  const std::vector<ScopeCatalog>& scope_;
  std::mutex mutex_;
  // The catalogs before it are the front reader's: the first one always, so that the front
  // reader, which shows progress and hears a cancel there, reads something before it waits.
  std::size_t front_ = 1;
  std::size_t back_;  // the catalogs from it on are the back reader's
  const std::int64_t stretch_entries_;
};

// Reads the catalogs of a search's scope and hands on the entries that match: catalogs whose
// entries lie in rising order are read with one query over their whole range, through the
// candidates of the FTS5 query when there is one, else through every entry.
class LibraryIndex::ScopeReader {
 public:
  ScopeReader(const std::vector<ScopeCatalog>& scope, const SearchMatcher& matcher)
      : scope_(scope), matcher_(matcher) {
    if (scope.empty()) return;
    first_ = scope.front().row.first;
    last_ = first_;
    for (const ScopeCatalog& catalog : scope) {
      first_ = std::min(first_, catalog.row.first);
      last_ = std::max(last_, EndOf(catalog) - 1);
      entries_ += catalog.row.count;
    }
  }

  // The lowest and highest entries of the scope, and how many entries it holds.
  [[nodiscard]] std::int64_t FirstEntry() const { return first_; }
  [[nodiscard]] std::int64_t LastEntry() const { return last_; }
  [[nodiscard]] std::int64_t Entries() const { return entries_; }

  // Reads the candidates of the FTS5 query `query` rather than every entry.
  void SetCandidateQuery(std::string query) { query_ = std::move(query); }

  // Reads the whole scope with the index's own statements `own`, showing progress and handing
  // the matches to `results`. False when cancelled through `stop`.
  bool ReadHere(Statements& own, const std::stop_token& stop, Progress& progress,
                ScopeResults& results) const {
    return Read(EntriesStatement(own), own.lookup, 0, scope_.size(), stop, nullptr, &progress,
                AddTo{results}, [&results] { results.Report(false); });
  }

  // Calls `plan(shared)`, then reads the scope on two threads: this one with `own`, showing
  // progress, from the front, and another from the back with a connection of its own to the index
  // file at `path` (ScopeShares tells who reads what). The other thread is started at once when
  // `idle()` tells that a core is free, and opens its connection while this thread plans, where it
  // also counts the trigrams that the plan shares through `shared`; else it is started once the
  // plan is made if `idle()` tells so then, and otherwise this thread reads it all, as it does
  // when the file cannot be opened once more. A cancel through `stop` stops both. The matches
  // come in the scope's order. False when cancelled: the results then stop where this thread
  // stopped, or, once it was through, before the first stretch the other did not finish.
  template <typename Plan, typename Idle>
  bool ReadShared(Statements& own, const std::string& path, const Plan& plan, const Idle& idle,
                  const std::stop_token& stop, Progress& progress, ScopeResults& results) const {
    ScopeShares shares(scope_, entries_);
    // The other thread's stretches in the order it took them (the scope's, backwards), each with
    // its results gathered in an outcome of its own and whether it was read to its end.
    struct Stretch {
      SearchOutcome found;
      bool done = false;
    };
    std::vector<Stretch> stretches;
    std::exception_ptr later_failure;
    std::mutex planning;
    std::condition_variable_any planned_or_stopped;
    bool planned = false;
    SharedCounts shared(planning, planned_or_stopped);
    const auto read_from_the_back = [&](std::stop_token halt) {
      try {
        const std::unique_ptr<ReaderConnection> second = OpenReaderConnection(path);
        if (!second) return;
        // The candidates' query is set once the plan is made, and meanwhile the plan may share
        // out counts; stopped (a failed plan), nothing is read.
        for (;;) {
          std::unique_lock lock(planning);
          if (!planned_or_stopped.wait(lock, halt, [&] { return planned || shared.HasWork(); })) {
            return;
          }
          if (planned) break;
          lock.unlock();
          shared.Work([&](const std::string& term, std::int64_t first, std::int64_t last) {
            return CountAll(second->sample_all, {term}, first, last);
          });
        }
        const ResultsArrived at_the_end;
        for (;;) {
          const auto [first, end] = shares.TakeBack();
          if (first == end) return;
          Stretch& stretch = stretches.emplace_back();
          ScopeResults found(scope_, at_the_end, &stretch.found);
          stretch.done = Read(EntriesStatement(*second), second->lookup, first, end, halt, nullptr,
                              nullptr, AddTo{found}, [] {});
          if (!stretch.done) return;
        }
      } catch (...) {
        // Raised again on this thread once the other has ended.
        later_failure = std::current_exception();
      }
    };
    // The other thread, and the cancel forwarded to it (it reads with a stop token of its own, so
    // that a failed plan stops it too).
    std::optional<std::jthread> other;
    std::optional<std::stop_callback<std::function<void()>>> forward;
    const auto start_other = [&] {
      other.emplace(read_from_the_back);
      forward.emplace(stop, std::function<void()>([&] { other->request_stop(); }));
    };
    if (idle()) start_other();
    plan(other ? &shared : nullptr);
    {
      const std::lock_guard lock(planning);
      planned = true;
    }
    planned_or_stopped.notify_all();
    if (!other && idle()) start_other();
    const bool done = Read(EntriesStatement(own), own.lookup, 0, scope_.size(), stop, &shares,
                           &progress, AddTo{results}, [&results] { results.Report(false); });
    if (other) {
      forward.reset();
      other->join();
    }
    if (later_failure) std::rethrow_exception(later_failure);
    if (!done) return false;
    for (auto stretch = stretches.rbegin(); stretch != stretches.rend(); ++stretch) {
      if (!stretch->done) return false;
      results.Append(std::move(stretch->found));
    }
    return true;
  }

 private:
  // Hands the matches read to `results`.
  struct AddTo {
    void operator()(std::size_t catalog, std::int64_t id, FieldViews& fields,
                    const ExtraViews& extras) const {
      results.Add(catalog, id, fields, extras);
    }
    ScopeResults& results;
  };

  // What reading keeps from row to row: the paths of the folders met last and the buffers an
  // entry is unpacked into.
  struct RowState {
    RowState(Statement& folder_lookup, ScopeShares* taken_from)
        : lookup(folder_lookup), shares(taken_from) {}
    Statement& lookup;    // finds folders' paths
    ScopeShares* shares;  // where catalogs are taken before they are read, if anywhere
    bool ended = false;   // the next catalog is the back reader's
    SlotPaths folder_paths;
    std::array<std::string, kFieldCount> unpacked;
    ExtraViews extras;
    FieldViews fields{};
    std::size_t rows_seen = 0;
  };

  // The entry after the last of `catalog`.
  static std::int64_t EndOf(const ScopeCatalog& catalog) {
    return catalog.row.first + catalog.row.count;
  }

  // The statement that reads entries from `connection`: its candidates or its scan.
  template <typename Connection>
  Statement& EntriesStatement(Connection& connection) const {
    return query_.empty() ? connection.scan : connection.candidates;
  }

  // Reads the catalogs [from, to) with `statement`, finding folders' paths with `lookup`, and
  // hands each match to `match(catalog, id, fields, extras)` (fields without
  // CatalogName); `poll()` every kPollRows rows. False when cancelled through `halt`. With
  // `shares`, each catalog is taken there for the front reader before it is read, and reading
  // ends at the first one the back reader has. Without `shown`, no progress is shown.
  template <typename Match, typename Poll>
  bool Read(Statement& statement, Statement& lookup, std::size_t from, std::size_t to,
            const std::stop_token& halt, ScopeShares* shares, Progress* shown, Match&& match,
            Poll&& poll) const {
    RowState state(lookup, shares);
    for (std::size_t begin = from; begin < to && !state.ended;) {
      const std::size_t end = RisingRunEnd(begin, to);
      if (!ReadRun(statement, begin, end, halt, shown, state, match, poll)) return false;
      begin = end;
    }
    return true;
  }

  // The end of the run of catalogs from `begin` (up to `to`) whose entries lie in rising order.
  [[nodiscard]] std::size_t RisingRunEnd(std::size_t begin, std::size_t to) const {
    std::size_t end = begin + 1;
    while (end < to && scope_[end].row.first >= EndOf(scope_[end - 1])) ++end;
    return end;
  }

  // Reads the run of catalogs [begin, end) with one query over their whole range (see Read).
  template <typename Match, typename Poll>
  bool ReadRun(Statement& statement, std::size_t begin, std::size_t end,
               const std::stop_token& halt, Progress* shown, RowState& state, Match& match,
               Poll& poll) const {
    statement.Bind(1, scope_[begin].row.first).Bind(2, EndOf(scope_[end - 1]) - 1);
    if (!query_.empty()) statement.Bind(3, query_);
    std::size_t current = begin;
    if (state.shares && !state.shares->TakeFront(current)) return Ended(statement, state);
    if (shown) shown->SetWaitText(scope_[current].path);
    while (statement.Step()) {
      const std::int64_t id = statement.Int(0);
      bool next_catalog = false;
      while (current < end && id >= EndOf(scope_[current])) {
        ++current;
        next_catalog = true;
      }
      if (current == end) break;
      if (next_catalog) {
        // Looked at between catalogs, as the file search looks between files.
        if (halt.stop_requested()) return Stopped(statement);
        if (state.shares && !state.shares->TakeFront(current)) return Ended(statement, state);
        if (shown) shown->SetWaitText(scope_[current].path);
      }
      if (++state.rows_seen % kPollRows == 0) {
        poll();
        if (halt.stop_requested()) return Stopped(statement);
      }
      if (id < scope_[current].row.first) continue;  // another catalog's entry between ours
      const auto name = statement.Text(1);
      const std::string_view packed_extras = statement.Blob(5);
      if (!RowMatches(statement, name, packed_extras, state)) continue;
      if (name && shown) shown->SetWaitText(*name);
      UnpackRowFields(statement, id, name.value_or(std::string_view()), state);
      match(current, id, state.fields, state.extras);
    }
    statement.Reset();
    return true;
  }

  // Whether the entry at the statement's row, named `name`, matches; its further attributes are
  // unpacked from `packed_extras` into `state.extras`.
  bool RowMatches(Statement& statement, std::optional<std::string_view> name,
                  std::string_view packed_extras, RowState& state) const {
    if (!UnpackExtras(packed_extras, &state.extras)) Damaged(statement);
    return matcher_.Matches(name, statement.Text(2), statement.Text(3), &state.extras);
  }

  // The fields of the entry `id` at the statement's row, named `file_name`, into `state.fields`
  // (CatalogName aside).
  static void UnpackRowFields(Statement& statement, std::int64_t id, std::string_view file_name,
                              RowState& state) {
    const bool unpacked = UnpackEntryFields(
        statement.Blob(4), file_name,
        [&](std::int64_t distance) {
          return PathOf(state.lookup, id - distance, state.folder_paths);
        },
        &state.unpacked);
    if (!unpacked) Damaged(statement);
    for (int i = 0; i < kFieldCount; ++i) state.fields[i] = state.unpacked[i];
    state.fields[kFileName] = file_name;
    state.fields[kFileExt] = statement.Text(2).value_or(std::string_view());
    state.fields[kDescription] = statement.Text(3).value_or(std::string_view());
  }

  static bool Stopped(Statement& statement) {
    statement.Reset();
    return false;
  }
  // Reading ends before a catalog the back reader has taken.
  static bool Ended(Statement& statement, RowState& state) {
    statement.Reset();
    state.ended = true;
    return true;
  }
  [[noreturn]] static void Damaged(Statement& statement) {
    statement.Reset();
    throw IndexError("The search index holds a damaged entry.", true);
  }

  const std::vector<ScopeCatalog>& scope_;
  const SearchMatcher& matcher_;
  std::string query_;  // the FTS5 query for candidates; empty: every entry is read
  std::int64_t first_ = 0, last_ = 0, entries_ = 0;
};

SearchOutcome LibraryIndex::Search(const SearchCriteria& criteria, Progress& progress,
                                   std::stop_token stop, const ResultsArrived& arrived) {
  const SearchMatcher matcher(criteria);
  SearchOutcome outcome;
  if (criteria.scope_path.empty()) return outcome;
  const std::string relative = RelativeOf(criteria.scope_path);
  if (relative.empty()) throw IndexError("The scope lies outside the library.", false);
  const std::vector<ScopeCatalog> scope = CatalogsOfScope(criteria, relative, &outcome);
  ScopeReader reader(scope, matcher);
  const auto plan = [&](SharedCounts* shared) {
    if (!scope.empty()) {
      reader.SetCandidateQuery(ChooseCandidateQuery(
          CandidateTrigrams(criteria), reader.FirstEntry(), reader.LastEntry(), shared));
    }
  };

  // A large scope whose results are taken at the end may be read by two threads with a connection
  // each, this one from the front and the other from the back.
  const bool two_readers = !arrived && scope.size() >= 2 &&
                           reader.Entries() >= two_reader_entries_ &&
                           (two_reader_entries_ == 0 || TwoCoresAllowed());
  const auto idle = [this] { return two_reader_entries_ == 0 || IdleCoreForSecondReader(); };

  // With `arrived`, results gather in batches and are handed over from there.
  ScopeResults results(scope, arrived, &outcome);
  if (two_readers) {
    outcome.cancelled =
        !reader.ReadShared(*statements_, path_, plan, idle, stop, progress, results);
  } else {
    plan(nullptr);
    outcome.cancelled = !reader.ReadHere(*statements_, stop, progress, results);
  }
  results.Report(true);
  return outcome;
}

// Entries whose FullPath is kept as their parent's and their name are walked up without
// recursion (an index of another build may keep folders' paths that way too).
std::optional<std::string_view> LibraryIndex::FullPathOf(
    std::int64_t id, std::unordered_map<std::int64_t, std::string>& paths) {
  MappedPaths mapped(paths);
  return PathOf(statements_->lookup, id, mapped);
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
