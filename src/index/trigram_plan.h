#pragma once

// Which trigram posting lists of the index pick the candidates of a search: the trigrams of the
// criteria, and the plan of which lists to read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "search/search.h"

namespace lumivor {

// The trigrams (as FTS5 terms) that may pick candidates for `criteria`: for every criterion and
// literal of the regular expression of three or more characters, up to kMostTrigramsPerText of
// its trigrams spread over it. Empty when no criterion is long enough and every record must be
// tested. Every record that matches holds all of them, so any of them pick a superset of the
// matches.
[[nodiscard]] std::vector<std::string> CandidateTrigrams(const SearchCriteria& criteria);
inline constexpr std::size_t kMostTrigramsPerText = 8;

// The FTS5 query asking for entries that hold every one of `terms`.
[[nodiscard]] std::string CandidateQuery(const std::vector<std::string>& terms);

// The texts every match of the regular expression `pattern` holds (letter case aside): runs of
// literal characters outside groups, alternatives and optional parts. Empty when there are none
// or the pattern uses anything that makes this unsafe (alternation, flags).
[[nodiscard]] std::vector<std::string> RegexLiterals(std::string_view pattern, bool case_sensitive);

// How many entries of a sample of those a search covers hold trigrams.
class TermSample {
 public:
  virtual ~TermSample() = default;
  // The entries of the sample that hold every one of `terms`, counted up to `limit`.
  virtual std::int64_t Count(const std::vector<std::string>& terms, std::int64_t limit) = 0;
};

// The posting lists a search reads: the trigrams whose lists are intersected, rarest first.
struct CandidatePlan {
  std::vector<std::string> terms;  // empty: every entry is a candidate
};

// The most lists intersected.
inline constexpr std::size_t kMostPlannedTerms = 4;
// The share of the sample below which a trigram counts as rare.
inline constexpr std::int64_t kRareShareDivisor = 100;

// Chooses the posting lists of `terms` to read, from how often each occurs in a sample of
// `sample_size` entries (counted up to the share above which it is not read anyway): the rarest
// always, and the others that are rare too, rarest first, at most kMostPlannedTerms. Stepping
// through a long list costs more than testing the few candidates it would have ruled out.
[[nodiscard]] CandidatePlan PlanCandidates(std::vector<std::string> terms, std::int64_t sample_size,
                                           TermSample& sample);

}  // namespace lumivor
