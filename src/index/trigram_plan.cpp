#include "index/trigram_plan.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace lumivor {

namespace {

// The code points of a UTF-8 text as byte ranges; nullopt for text that is not valid UTF-8.
std::optional<std::vector<std::string_view>> CodePoints(std::string_view text) {
  std::vector<std::string_view> points;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + length > text.size()) {
      return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return std::nullopt;
    }
    points.push_back(text.substr(i, length));
    i += length;
  }
  return points;
}

// The FTS5 terms of up to kMostTrigramsPerText trigrams of `text`, spread over it (overlapping
// where the text is short), or none when it has fewer than three characters.
std::vector<std::string> TrigramTerms(std::string_view text) {
  const auto points = CodePoints(text);
  if (!points || points->size() < 3) return {};
  const std::size_t count = points->size() - 2;
  std::vector<std::size_t> starts;
  if (count <= kMostTrigramsPerText) {
    for (std::size_t i = 0; i < count; ++i) starts.push_back(i);
  } else {
    for (std::size_t k = 0; k < kMostTrigramsPerText; ++k) {
      starts.push_back(k * (count - 1) / (kMostTrigramsPerText - 1));
    }
  }
  std::vector<std::string> terms;
  for (const std::size_t i : starts) {
    std::string term = "\"";
    for (std::size_t k = i; k < i + 3; ++k) {
      for (char c : (*points)[k]) {
        term += c;
        if (c == '"') term += '"';
      }
    }
    term += '"';
    terms.push_back(std::move(term));
  }
  return terms;
}

}  // namespace

std::vector<std::string> CandidateTrigrams(const SearchCriteria& criteria) {
  // The index keeps no columns apart: a trigram found in another field only adds a candidate.
  std::vector<std::string> texts = {criteria.name, criteria.extension, criteria.description,
                                    criteria.meta};
  if (!criteria.regex.empty()) {
    for (std::string& literal : RegexLiterals(criteria.regex, criteria.case_sensitive)) {
      texts.push_back(std::move(literal));
    }
  }
  std::vector<std::string> terms;
  for (const std::string& text : texts) {
    for (std::string& term : TrigramTerms(text)) {
      if (std::find(terms.begin(), terms.end(), term) == terms.end()) {
        terms.push_back(std::move(term));
      }
    }
  }
  return terms;
}

std::string CandidateQuery(const std::vector<std::string>& terms) {
  std::string query;
  for (const std::string& term : terms) {
    if (!query.empty()) query += " AND ";
    query += term;
  }
  return query;
}

namespace {

// The runs of literal characters of a pattern, collected as it is read.
class LiteralRuns {
 public:
  explicit LiteralRuns(bool case_sensitive) : case_sensitive_(case_sensitive) {}

  void Add(char c) {
    // Without letter case, the engine folds k, s and non-ASCII letters into characters outside
    // ASCII that the index may fold otherwise: such characters end a run instead.
    const auto byte = static_cast<unsigned char>(c);
    if (!case_sensitive_ && (byte >= 0x80 || c == 'k' || c == 'K' || c == 's' || c == 'S')) {
      End();
      return;
    }
    run_ += c;
  }
  // Ends the run.
  void End() {
    if (!run_.empty()) literals_.push_back(run_);
    run_.clear();
  }
  // Drops the last character of the run (it is optional) and ends the run.
  void DropLast() {
    while (!run_.empty() && (static_cast<unsigned char>(run_.back()) & 0xC0) == 0x80) {
      run_.pop_back();
    }
    if (!run_.empty()) run_.pop_back();
    End();
  }
  std::vector<std::string> Take() {
    End();
    return std::move(literals_);
  }

 private:
  bool case_sensitive_;
  std::string run_;
  std::vector<std::string> literals_;
};

// The index of the "]" that closes the character class opened at `open`; nothing when none does.
std::optional<std::size_t> ClassEnd(std::string_view pattern, std::size_t open) {
  std::size_t j = open + 1;
  if (j < pattern.size() && pattern[j] == '^') ++j;
  if (j < pattern.size() && pattern[j] == ']') ++j;
  while (j < pattern.size() && pattern[j] != ']') {
    if (pattern[j] == '\\') ++j;
    if (j < pattern.size() && pattern[j] == '[' && j + 1 < pattern.size() &&
        pattern[j + 1] == ':') {
      const std::size_t close = pattern.find(":]", j + 2);
      if (close == std::string_view::npos) return std::nullopt;
      j = close + 1;
    }
    ++j;
  }
  if (j >= pattern.size()) return std::nullopt;
  return j;
}

}  // namespace

std::vector<std::string> RegexLiterals(std::string_view pattern, bool case_sensitive) {
  if (pattern.find('|') != std::string_view::npos || pattern.find("(?") != std::string_view::npos) {
    return {};
  }
  LiteralRuns runs(case_sensitive);
  int depth = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      if (i + 1 >= pattern.size()) return {};
      const char next = pattern[++i];
      const bool alnum = (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                         (next >= '0' && next <= '9');
      if (!alnum) {
        if (depth == 0) runs.Add(next);
      } else if (std::string_view("dDwWsSbBAz").find(next) != std::string_view::npos) {
        if (depth == 0) runs.End();
      } else {
        return {};  // \x, \p, \Q and the like: give up rather than misread them
      }
      continue;
    }
    if (c == '[') {
      runs.End();
      const std::optional<std::size_t> end = ClassEnd(pattern, i);
      if (!end) return {};
      i = *end;
      continue;
    }
    if (c == '(') {
      runs.End();
      ++depth;
      continue;
    }
    if (c == ')') {
      --depth;
      continue;
    }
    if (depth > 0) continue;
    switch (c) {
      case '*':
      case '?':
        runs.DropLast();
        break;
      case '{': {
        runs.DropLast();
        const std::size_t close = pattern.find('}', i);
        if (close == std::string_view::npos) return {};
        i = close;
        break;
      }
      case '+':
      case '.':
      case '^':
      case '$':
        runs.End();
        break;
      default:
        runs.Add(c);
    }
  }
  return runs.Take();
}

std::vector<std::int64_t> TermSample::CountEach(const std::vector<std::string>& terms,
                                                std::int64_t limit) {
  std::vector<std::int64_t> counts;
  counts.reserve(terms.size());
  for (const std::string& term : terms) counts.push_back(Count({term}, limit));
  return counts;
}

CandidatePlan PlanCandidates(std::vector<std::string> terms, std::int64_t sample_size,
                             TermSample& sample) {
  CandidatePlan plan;
  if (terms.empty()) return plan;
  const std::int64_t few = std::max<std::int64_t>(sample_size / kFewCandidatesShare, 1);
  // How often each trigram occurs in the sample. Ties keep the text's order.
  const std::vector<std::int64_t> counts = sample.CountEach(terms, sample_size);
  std::vector<std::pair<std::int64_t, std::string>> counted;
  for (std::size_t i = 0; i < terms.size(); ++i)
    counted.emplace_back(counts[i], std::move(terms[i]));
  std::stable_sort(counted.begin(), counted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  plan.terms.push_back(std::move(counted.front().second));
  plan.sampled = counted.front().first;
  const std::int64_t rarest = plan.sampled;
  std::size_t unpaid = 0;  // much commoner lists counted in a row that were not worth reading
  for (std::size_t i = 1; i < counted.size(); ++i) {
    if (plan.sampled <= few || plan.terms.size() == kMostPlannedTerms ||
        unpaid == kMostUnpaidCounts) {
      break;
    }
    auto& [count, term] = counted[i];
    // Its list is read whole: worth it only when the candidates it rules out cost more.
    if (count >= (plan.sampled - 1) * kCandidateCostInListEntries) continue;
    plan.terms.push_back(term);
    const std::int64_t left = sample.Count(plan.terms, plan.sampled);
    if ((plan.sampled - left) * kCandidateCostInListEntries <= count) {
      plan.terms.pop_back();
      if (count >= kCommonerThanRarest * rarest) ++unpaid;
      continue;
    }
    unpaid = 0;
    plan.sampled = left;
  }
  return plan;
}

}  // namespace lumivor
