#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
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

SearchOutcome LibraryIndex::Search(const SearchCriteria& criteria, Progress& progress,
                                   std::stop_token stop, const ResultsArrived& arrived) {
  const SearchMatcher matcher(criteria);
  SearchOutcome outcome;
  if (criteria.scope_path.empty()) return outcome;
  const std::string relative = RelativeOf(criteria.scope_path);
  if (relative.empty()) throw IndexError("The scope lies outside the library.", false);
  std::vector<ScopeCatalog> scope = CatalogsOfScope(criteria, relative, &outcome);

  std::string query;
  if (!scope.empty()) {
    std::int64_t first = scope.front().row.first, last = first;
    for (const ScopeCatalog& catalog : scope) {
      first = std::min(first, catalog.row.first);
      last = std::max(last, catalog.row.first + catalog.row.count - 1);
    }
    query = ChooseCandidateQuery(CandidateTrigrams(criteria), first, last);
  }
  Statement& statement = query.empty() ? statements_->scan : statements_->candidates;
  // With `arrived`, results gather in batches and are handed over from there.
  ResultBatches batches(arrived);
  SearchOutcome& found = arrived ? batches.part : outcome;
  std::unordered_map<std::int64_t, std::string> folder_paths;
  // Most results of a selective search have a folder of their own: room for thousands at once.
  folder_paths.reserve(4096);
  std::array<std::string, kFieldCount> unpacked;
  ExtraViews extras;
  const auto full_path_of = [&](std::int64_t id) { return FullPathOf(id, folder_paths); };
  std::size_t rows_seen = 0;
  // Catalogs whose entries lie in rising order are read with one query over their whole range.
  for (std::size_t begin = 0; begin < scope.size();) {
    std::size_t end = begin + 1;
    while (end < scope.size() &&
           scope[end].row.first >= scope[end - 1].row.first + scope[end - 1].row.count) {
      ++end;
    }
    statement.Bind(1, scope[begin].row.first)
        .Bind(2, scope[end - 1].row.first + scope[end - 1].row.count - 1);
    if (!query.empty()) statement.Bind(3, query);
    std::size_t current = begin;
    std::optional<std::string> catalog_name;
    progress.SetWaitText(scope[current].path);
    FieldViews fields{};
    while (statement.Step()) {
      const std::int64_t id = statement.Int(0);
      bool next_catalog = false;
      while (current < end && id >= scope[current].row.first + scope[current].row.count) {
        ++current;
        catalog_name.reset();
        next_catalog = true;
      }
      if (current == end) break;
      if (next_catalog) {
        // Looked at between catalogs, as the file search looks between files.
        if (stop.stop_requested()) {
          outcome.cancelled = true;
          break;
        }
        progress.SetWaitText(scope[current].path);
      }
      if (++rows_seen % kPollRows == 0) {
        batches.Report(false);
        if (stop.stop_requested()) {
          outcome.cancelled = true;
          break;
        }
      }
      if (id < scope[current].row.first) continue;  // another catalog's entry between ours
      const auto name = statement.Text(1);
      if (!UnpackExtras(statement.Blob(5), &extras)) {
        statement.Reset();
        throw IndexError("The search index holds a damaged entry.", true);
      }
      if (!matcher.Matches(name, statement.Text(2), statement.Text(3), &extras)) continue;
      if (name) progress.SetWaitText(*name);
      const std::string_view file_name = name.value_or(std::string_view());
      const bool unpacked_ok = UnpackEntryFields(
          statement.Blob(4), file_name,
          [&](std::int64_t distance) { return full_path_of(id - distance); }, &unpacked);
      if (!unpacked_ok) {
        statement.Reset();
        throw IndexError("The search index holds a damaged entry.", true);
      }
      for (int i = 0; i < kFieldCount; ++i) fields[i] = unpacked[i];
      fields[kFileName] = file_name;
      fields[kFileExt] = statement.Text(2).value_or(std::string_view());
      fields[kDescription] = statement.Text(3).value_or(std::string_view());
      if (!catalog_name) catalog_name = DisplayNameOf(scope[current].path);
      fields[kCatalogName] = *catalog_name;
      found.results.AddChild(nullptr, fields, extras);
      found.sources.push_back(
          {scope[current].path, static_cast<std::size_t>(id - scope[current].row.first)});
      // The first hundred at once, so that the first screenful shows without waiting.
      batches.FirstHundred();
    }
    statement.Reset();
    if (outcome.cancelled) break;
    begin = end;
  }
  batches.Report(true);
  return outcome;
}

// Entries whose FullPath is kept as their parent's and their name are walked up without
// recursion (an index of another build may keep folders' paths that way too).
std::optional<std::string_view> LibraryIndex::FullPathOf(
    std::int64_t id, std::unordered_map<std::int64_t, std::string>& paths) {
  if (const auto found = paths.find(id); found != paths.end()) return found->second;
  std::vector<std::pair<std::int64_t, ParentLink>> chain;  // entries and their links, upwards
  // Up the links to an entry whose path is known or kept whole (each map lookup costs a miss of
  // the processor's cache, so the asked entry is looked up once).
  std::string path;
  bool known = false;
  Statement& lookup = statements_->lookup;
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
    // Views of the row, read before the statement is reset.
    const std::string_view name = lookup.Text(0).value_or(std::string_view());
    const std::string_view rest = lookup.Blob(1);
    if (auto link = ParentLinkOf(rest, name)) {
      lookup.Reset();
      const std::int64_t distance = link->distance;
      if (distance <= 0 || distance >= id) return std::nullopt;  // damaged: always upwards
      chain.emplace_back(id, std::move(*link));
      id -= distance;
      continue;
    }
    const std::optional<std::string_view> whole = WholeFullPathOf(rest, name);
    if (whole) path.assign(*whole);
    lookup.Reset();
    if (!whole) return std::nullopt;
    break;
  }
  // Remembered from the top down; the views stay where they are while the map grows.
  const std::string* remembered = nullptr;
  if (!known) remembered = &paths.try_emplace(id, path).first->second;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (it->second.keep > path.size()) return std::nullopt;
    path.resize(it->second.keep);
    path += it->second.tail;
    remembered = &paths.try_emplace(it->first, path).first->second;
  }
  return std::string_view(*remembered);
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
  // Views of the row, read before the statement is reset.
  const std::string_view name = lookup.Text(0).value_or(std::string_view());
  const std::string_view rest = lookup.Blob(1);
  std::optional<ParentLink> link = ParentLinkOf(rest, name);
  if (!link) {
    std::array<std::string, kFieldCount> fields;
    const auto no_parent = [](std::int64_t) { return std::optional<std::string_view>(); };
    const bool unpacked = UnpackEntryFields(rest, name, no_parent, &fields);
    lookup.Reset();
    if (!unpacked) return false;
    *out = std::move(fields[kFullPath]);
    return true;
  }
  lookup.Reset();
  if (link->distance <= 0 || link->distance >= id) return false;  // damaged: always upwards
  const std::int64_t folder = id - link->distance;
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
  if (link->keep > parent.size()) return false;
  out->assign(parent.substr(0, link->keep));
  out->append(link->tail);
  return true;
}

}  // namespace lumivor
