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
// literal of the regular expression of three or more characters, its distinct trigrams (up to
// kMostTrigramsPerText, spread over it). Empty when no criterion is long enough and every record
// must be tested. Every record that matches holds all of them, so any of them pick a superset of
// the matches.
[[nodiscard]] std::vector<std::string> CandidateTrigrams(const SearchCriteria& criteria);
inline constexpr std::size_t kMostTrigramsPerText = 24;

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
  // For each of `terms`, the entries of the sample that hold it, counted up to `limit`: by
  // default one Count after another.
  virtual std::vector<std::int64_t> CountEach(const std::vector<std::string>& terms,
                                              std::int64_t limit);
};

// The posting lists a search reads: the trigrams whose lists are intersected, rarest first.
struct CandidatePlan {
  std::vector<std::string> terms;  // empty: every entry is a candidate
  std::int64_t sampled = 0;        // entries of the sample holding all of them
};

// The most lists intersected.
inline constexpr std::size_t kMostPlannedTerms = 6;
// What testing a candidate costs against reading one entry of a posting list: a list is worth
// reading when it rules out more than one candidate per this many entries it holds. A candidate
// costs the read of its row's page (a few microseconds); an entry of a list, tens of nanoseconds.
inline constexpr std::int64_t kCandidateCostInListEntries = 64;
// Candidates count as few at one in this many entries of the sample: no further list is read.
inline constexpr std::int64_t kFewCandidatesShare = 4000;
// Counting a list together with those chosen costs about as much as a look at it. The lists are
// tried rarest first, and a much commoner one must rule out many more candidates to be worth
// reading: after this many lists in a row, each kCommonerThanRarest times as common as the rarest
// or more, that were not, the rest are not tried. (Two common words have a dozen trigrams; those
// of each word go together with the one across the join, and each count would cost a fraction of
// a millisecond for nothing.) Lists about as rare as the rarest are all tried: of a rare word and
// a number, the trigram with the number may come after the word's own.
inline constexpr std::size_t kMostUnpaidCounts = 2;
inline constexpr std::int64_t kCommonerThanRarest = 2;

// Chooses the posting lists of `terms` to intersect, from how often they occur in a sample of
// `sample_size` entries: the rarest list first, then each further list, rarest first, whose
// entries cost less to read than testing the candidates it rules out (the sample tells how many
// the lists chosen so far leave together with it), until the candidates are few,
// kMostPlannedTerms lists are chosen or kMostUnpaidCounts much commoner lists in a row were not
// worth it. A list that rules out little, as a trigram of a word whose other trigrams were read,
// is left unread: the candidates are tested anyway.
[[nodiscard]] CandidatePlan PlanCandidates(std::vector<std::string> terms, std::int64_t sample_size,
                                           TermSample& sample);

}  // namespace lumivor
