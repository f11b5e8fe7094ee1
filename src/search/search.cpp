#include "search/search.h"

#include <re2/re2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "core/errors.h"
#include "core/input_file.h"
#include "library/library_storage.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool FoldedEqualAt(std::string_view value, std::size_t at, std::string_view criterion) {
  for (std::size_t i = 0; i < criterion.size(); ++i) {
    if (Upper(value[at + i]) != Upper(criterion[i])) return false;
  }
  return true;
}

bool ContainsFolded(std::string_view value, std::string_view criterion) {
  if (criterion.size() > value.size()) return false;
  for (std::size_t at = 0; at + criterion.size() <= value.size(); ++at) {
    if (FoldedEqualAt(value, at, criterion)) return true;
  }
  return false;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

// The longest literal run of any criterion: every match holds it in the file's bytes.
Needle NeedleOf(const SearchCriteria& criteria) {
  std::string_view best;
  for (const std::string* text :
       {&criteria.name, &criteria.extension, &criteria.description, &criteria.meta}) {
    const std::string_view run = LongestLiteralRun(*text);
    if (run.size() > best.size()) best = run;
  }
  return Needle(best, !criteria.case_sensitive);
}

std::string RegexProblemText(const std::string& error) {
  return "The regular expression is not valid: " + error + ".";
}

}  // namespace

SearchCriteria WithCleanTexts(SearchCriteria criteria) {
  std::string cleaned;
  for (std::string* text : {&criteria.name, &criteria.extension, &criteria.description,
                            &criteria.meta, &criteria.regex}) {
    if (SanitizeText(*text, &cleaned)) *text = std::move(cleaned);
  }
  return criteria;
}

bool SearchCriteria::Blank() const {
  return Trimmed(name).empty() && Trimmed(extension).empty() && Trimmed(description).empty() &&
         Trimmed(regex).empty() && Trimmed(meta).empty();
}

std::string CriteriaProblem(const SearchCriteria& criteria) {
  if (criteria.Blank()) return std::string(kSearchConditionMissing);
  if (!criteria.regex.empty()) {
    RE2::Options options;
    options.set_log_errors(false);
    const RE2 regex(criteria.regex, options);
    if (!regex.ok()) return RegexProblemText(regex.error());
  }
  return {};
}

std::string SearchFinishedText(const SearchOutcome& outcome) {
  return SearchFinishedText(outcome, outcome.sources.size());
}

std::string SearchFinishedText(const SearchOutcome& outcome, std::size_t found) {
  std::string text(kSearchFinished);
  if (outcome.cancelled) {
    text = "Search cancelled\n\n" +
           (found == 1 ? std::string("1 result was") : std::to_string(found) + " results were") +
           " found before the cancel.";
  }
  if (outcome.skipped_files == 1) {
    text += "\n\n1 file was skipped because it is not a readable catalog.";
  } else if (outcome.skipped_files > 1) {
    text += "\n\n" + std::to_string(outcome.skipped_files) +
            " files were skipped because they are not readable catalogs.";
  }
  return text;
}

std::size_t CatalogCount(const std::vector<ResultSource>& sources) {
  std::set<std::string_view> catalogs;
  for (const ResultSource& source : sources) catalogs.insert(source.catalog_path);
  return catalogs.size();
}

std::string ResultCountText(std::size_t results, std::size_t catalogs, bool cancelled) {
  std::string text = std::to_string(results) + (results == 1 ? " result in " : " results in ") +
                     std::to_string(catalogs) + (catalogs == 1 ? " catalog" : " catalogs");
  if (cancelled) text += " (search cancelled)";
  return text;
}

bool MatchesText(std::string_view value, std::string_view criterion, bool case_sensitive,
                 bool whole_field) {
  const bool contains = case_sensitive ? value.find(criterion) != std::string_view::npos
                                       : ContainsFolded(value, criterion);
  if (!contains || !whole_field) return contains;
  return value.size() == criterion.size() && FoldedEqualAt(value, 0, criterion);
}

bool MatchesFields(const SearchCriteria& criteria, std::optional<std::string_view> file_name,
                   std::optional<std::string_view> file_ext,
                   std::optional<std::string_view> description, const ExtraViews* extras) {
  if (!file_name) return false;
  const std::pair<const std::string*, const std::optional<std::string_view>*> pairs[] = {
      {&criteria.name, &file_name},
      {&criteria.extension, &file_ext},
      {&criteria.description, &description}};
  for (const auto& [criterion, value] : pairs) {
    if (criterion->empty()) continue;
    if (!*value ||
        !MatchesText(**value, *criterion, criteria.case_sensitive, criteria.whole_field)) {
      return false;
    }
  }
  if (criteria.meta.empty()) return true;
  if (!extras) return false;
  for (const ExtraAttribute& extra : *extras) {
    if (MatchesText(extra.value, criteria.meta, criteria.case_sensitive, criteria.whole_field)) {
      return true;
    }
  }
  return false;
}

SearchMatcher::SearchMatcher(const SearchCriteria& criteria) : criteria_(criteria) {
  if (criteria.regex.empty()) return;
  RE2::Options options;
  options.set_log_errors(false);
  options.set_case_sensitive(criteria.case_sensitive);
  regex_ = std::make_unique<RE2>(criteria.regex, options);
  if (!regex_->ok()) throw LumivorError(RegexProblemText(regex_->error()));
}

SearchMatcher::~SearchMatcher() = default;

bool SearchMatcher::Matches(std::optional<std::string_view> file_name,
                            std::optional<std::string_view> file_ext,
                            std::optional<std::string_view> description,
                            const ExtraViews* extras) const {
  if (!MatchesFields(criteria_, file_name, file_ext, description, extras)) return false;
  if (!regex_) return true;
  const re2::StringPiece name(file_name->data(), file_name->size());
  return criteria_.whole_field ? RE2::FullMatch(name, *regex_) : RE2::PartialMatch(name, *regex_);
}

LibrarySearch::LibrarySearch(SearchCriteria criteria, Progress& progress, std::stop_token stop)
    : criteria_(WithCleanTexts(std::move(criteria))),
      matcher_(criteria_),
      progress_(progress),
      stop_(std::move(stop)),
      needle_(NeedleOf(criteria_)) {}

LibrarySearch::~LibrarySearch() = default;

SearchOutcome LibrarySearch::TakeOutcome() {
  outcome_.cancelled = cancelled_;
  return std::move(outcome_);
}

const std::string& LibrarySearch::CatalogName() {
  // Worked out at the first match only: it asks the volume service about the path.
  if (!catalog_name_) catalog_name_ = DisplayNameOf(catalog_path_);
  return *catalog_name_;
}

void LibrarySearch::SearchFolder(const std::string& directory) {
  std::vector<CatalogFile> files;
  std::size_t unreadable_folders = 0;
  const bool listed = ListCatalogFiles(directory, progress_, stop_, &files, &unreadable_folders);
  // A folder that cannot be read hides its catalogs: it counts as skipped, like a file.
  outcome_.skipped_files += unreadable_folders;
  if (!listed) {
    cancelled_ = true;
    return;
  }
  const std::string top = WithTrailingBackslash(directory);
  for (const CatalogFile& file : files) {
    if (stop_.stop_requested()) cancelled_ = true;
    if (cancelled_) return;
    SearchCatalog(top + file.relative_path);
  }
}

void LibrarySearch::SearchCatalog(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  progress_.SetWaitText(kLoadingInfo);
  catalog_path_ = path;
  catalog_name_.reset();

  // The matcher as the reader's sink: it tests every record that may match and adds each match
  // straight to the results, with its place in the catalog. Should the reader start the file
  // again (or fail part-way), this catalog's matches are withdrawn.
  struct Matches final : RecordSink {
    explicit Matches(LibrarySearch& owner)
        : search(owner), first_result(owner.outcome_.sources.size()) {}
    bool Add(const RecordView& record) override {
      const std::size_t record_ordinal = ordinal++;
      const std::string_view name = record.fields[kFileName];
      if (name.data()) search.progress_.SetWaitText(name);
      if (record.may_match &&
          search.matcher_.Matches(Present(name), Present(record.fields[kFileExt]),
                                  Present(record.fields[kDescription]), &record.extras)) {
        FieldViews fields = record.fields;
        fields[kCatalogName] = search.CatalogName();
        search.outcome_.results.AddChild(nullptr, fields, record.extras);
        search.outcome_.sources.push_back({search.catalog_path_, record_ordinal});
      }
      // Stops are looked at below the top level, where a large catalog spends its time.
      if (record.depth < 1) return true;
      search.cancelled_ = search.cancelled_ || search.stop_.stop_requested();
      return !search.cancelled_;
    }
    void Restart() override {
      Withdraw();
      ordinal = 0;
    }
    void Withdraw() {
      CatalogTree& results = search.outcome_.results;
      while (search.outcome_.sources.size() > first_result) {
        results.Remove(results.Root()->children.back());
        search.outcome_.sources.pop_back();
      }
    }
    static std::optional<std::string_view> Present(std::string_view value) {
      return value.data() ? std::optional<std::string_view>(value) : std::nullopt;
    }
    LibrarySearch& search;
    const std::size_t first_result;  // the number of results before this catalog's
    std::size_t ordinal = 0;         // of the record being handed on, in document pre-order
  } matches(*this);

  static const std::string kNoName;  // the matches get CatalogName() once one is found
  CatalogReadOptions options;
  options.needle = &needle_;
  options.xml_only = true;
  options.catalog_name = &kNoName;
  const CatalogReadStatus status = reader_.Read(path, matches, options);
  if (status == CatalogReadStatus::kUnreadable) ++outcome_.skipped_files;
  if (status != CatalogReadStatus::kDone && status != CatalogReadStatus::kStopped) {
    matches.Withdraw();
  }
}

void CheckSearchScope(const SearchCriteria& criteria) {
  const std::string& path = criteria.scope_path;
  if (criteria.scope_is_directory) {
    CheckReadableDirectory(path);
  } else {
    ::close(OpenRegularFile(path));
  }
}

SearchOutcome SearchLibrary(const SearchCriteria& criteria, Progress& progress,
                            std::stop_token stop) {
  if (!criteria.scope_path.empty()) CheckSearchScope(criteria);
  LibrarySearch search(criteria, progress, std::move(stop));
  ProgressShown shown(progress, true);
  if (!criteria.scope_path.empty()) {
    if (criteria.scope_is_directory) {
      search.SearchFolder(criteria.scope_path);
    } else {
      search.SearchCatalog(criteria.scope_path);
    }
  }
  return search.TakeOutcome();
}

}  // namespace lumivor
