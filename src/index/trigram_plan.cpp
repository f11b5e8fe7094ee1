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

std::vector<std::string> RegexLiterals(std::string_view pattern, bool case_sensitive) {
  if (pattern.find('|') != std::string_view::npos || pattern.find("(?") != std::string_view::npos) {
    return {};
  }
  std::vector<std::string> literals;
  std::string run;
  auto flush = [&]() {
    if (!run.empty()) literals.push_back(run);
    run.clear();
  };
  // Drops the last character of the run (it is optional) and ends the run.
  auto drop_last = [&]() {
    while (!run.empty() && (static_cast<unsigned char>(run.back()) & 0xC0) == 0x80) run.pop_back();
    if (!run.empty()) run.pop_back();
    flush();
  };
  auto literal = [&](char c) {
    // Without letter case, the engine folds k, s and non-ASCII letters into characters outside
    // ASCII that the index may fold otherwise: such characters end a run instead.
    const auto byte = static_cast<unsigned char>(c);
    if (!case_sensitive && (byte >= 0x80 || c == 'k' || c == 'K' || c == 's' || c == 'S')) {
      flush();
      return;
    }
    run += c;
  };
  int depth = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      if (i + 1 >= pattern.size()) return {};
      const char next = pattern[++i];
      const bool alnum = (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                         (next >= '0' && next <= '9');
      if (!alnum) {
        if (depth == 0) literal(next);
      } else if (std::string_view("dDwWsSbBAz").find(next) != std::string_view::npos) {
        if (depth == 0) flush();
      } else {
        return {};  // \x, \p, \Q and the like: give up rather than misread them
      }
      continue;
    }
    if (c == '[') {
      flush();
      std::size_t j = i + 1;
      if (j < pattern.size() && pattern[j] == '^') ++j;
      if (j < pattern.size() && pattern[j] == ']') ++j;
      while (j < pattern.size() && pattern[j] != ']') {
        if (pattern[j] == '\\') ++j;
        if (j < pattern.size() && pattern[j] == '[' && j + 1 < pattern.size() &&
            pattern[j + 1] == ':') {
          const std::size_t close = pattern.find(":]", j + 2);
          if (close == std::string_view::npos) return {};
          j = close + 1;
        }
        ++j;
      }
      if (j >= pattern.size()) return {};
      i = j;
      continue;
    }
    if (c == '(') {
      flush();
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
        drop_last();
        break;
      case '{': {
        drop_last();
        const std::size_t close = pattern.find('}', i);
        if (close == std::string_view::npos) return {};
        i = close;
        break;
      }
      case '+':
      case '.':
      case '^':
      case '$':
        flush();
        break;
      default:
        literal(c);
    }
  }
  flush();
  return literals;
}

CandidatePlan PlanCandidates(std::vector<std::string> terms, std::int64_t sample_size,
                             TermSample& sample) {
  CandidatePlan plan;
  if (terms.size() <= 1) {
    plan.terms = std::move(terms);
    return plan;
  }
  const std::int64_t rare_below = std::max<std::int64_t>(sample_size / kRareShareDivisor, 1);
  std::vector<std::pair<std::int64_t, std::string>> counted;
  for (std::string& term : terms) {
    const std::int64_t count = sample.Count({term}, rare_below);
    counted.emplace_back(count, std::move(term));
  }
  // The rarest always; the others while they are rare too. Ties keep the text's order.
  std::stable_sort(counted.begin(), counted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [count, term] : counted) {
    if (plan.terms.size() == kMostPlannedTerms || (!plan.terms.empty() && count >= rare_below)) {
      break;
    }
    plan.terms.push_back(std::move(term));
  }
  return plan;
}

}  // namespace lumivor
