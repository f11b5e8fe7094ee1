#include "index/trigram_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace lumivor {
namespace {

// The trigram of a text as an FTS5 term.
std::string Term(const std::string& trigram) { return "\"" + trigram + "\""; }

// A sample of entry names: each term's posting list is made from the names that hold it, and
// every count asked for is noted.
class NamesSample final : public TermSample {
 public:
  explicit NamesSample(const std::vector<std::string>& names) {
    for (std::size_t id = 0; id < names.size(); ++id) {
      const std::string& name = names[id];
      for (std::size_t i = 0; i + 3 <= name.size(); ++i) {
        auto& list = lists_[Term(name.substr(i, 3))];
        if (list.empty() || list.back() != id) list.push_back(id);
      }
    }
  }

  std::int64_t Count(const std::vector<std::string>& terms, std::int64_t limit) override {
    asked_.push_back(terms);
    std::vector<std::size_t> held = lists_[terms.front()];
    for (std::size_t k = 1; k < terms.size(); ++k) {
      const std::vector<std::size_t>& list = lists_[terms[k]];
      std::vector<std::size_t> both;
      std::set_intersection(held.begin(), held.end(), list.begin(), list.end(),
                            std::back_inserter(both));
      held = std::move(both);
    }
    return std::min<std::int64_t>(static_cast<std::int64_t>(held.size()), limit);
  }

  [[nodiscard]] const std::vector<std::vector<std::string>>& Asked() const { return asked_; }

 private:
  std::map<std::string, std::vector<std::size_t>> lists_;
  std::vector<std::vector<std::string>> asked_;
};

// `count` names made of the words, each name three of them joined by "_" (word i, i + 1 and
// i + 3 of the list, turning), and a number.
std::vector<std::string> Names(std::size_t count) {
  static const std::vector<std::string> kWords = {"holiday", "summer",  "report", "draft",
                                                  "final",   "concert", "family", "invoice"};
  std::vector<std::string> names;
  for (std::size_t i = 0; i < count; ++i) {
    names.push_back(kWords[i % kWords.size()] + "_" + kWords[(i / 8 + 1) % kWords.size()] + "_" +
                    kWords[(i / 64 + 3) % kWords.size()] + std::to_string(i % 1000));
  }
  return names;
}

std::vector<std::string> TermsOf(const std::string& text) {
  SearchCriteria criteria;
  criteria.name = text;
  return CandidateTrigrams(criteria);
}

TEST(PlanCandidates, ReadsTheListsThatNarrowAndStopsWhenTheCandidatesAreFew) {
  const std::vector<std::string> names = Names(10000);
  struct Case {
    const char* text;
    std::vector<std::string> lists;  // the posting lists the plan must read, in order
  };
  const std::vector<Case> cases = {
      // A word and a number: the trigrams across the join; the word's own add nothing.
      {"concert12", {Term("t12"), Term("rt1")}},
      // Two common words: the trigram across the join picks them, the words' own add nothing.
      {"summer_report", {Term("r_r")}},
      // Three common words whose combination is rare: both joins are read, the rarer first.
      {"holiday_summer_draft", {Term("r_d"), Term("y_s")}},
  };
  for (const Case& c : cases) {
    NamesSample sample(names);
    const CandidatePlan plan =
        PlanCandidates(TermsOf(c.text), static_cast<std::int64_t>(names.size()), sample);
    EXPECT_EQ(plan.terms, c.lists) << c.text;
    std::int64_t matching = 0;
    for (const std::string& name : names) matching += name.find(c.text) != std::string::npos;
    EXPECT_GE(plan.sampled, matching) << c.text << ": the candidates hold every match";
  }
}

TEST(PlanCandidates, CountsEachTrigramOnceThenOnlyTheListsItTriesTogether) {
  const std::vector<std::string> names = Names(4000);
  NamesSample sample(names);
  const std::vector<std::string> terms = TermsOf("holiday_summer");
  (void)PlanCandidates(terms, 4000, sample);
  ASSERT_GE(sample.Asked().size(), terms.size());
  for (std::size_t i = 0; i < terms.size(); ++i) {
    EXPECT_EQ(sample.Asked()[i], std::vector<std::string>{terms[i]});
  }
  for (std::size_t i = terms.size(); i < sample.Asked().size(); ++i) {
    EXPECT_GE(sample.Asked()[i].size(), 2u);
    EXPECT_LE(sample.Asked()[i].size(), kMostPlannedTerms);
  }
}

TEST(PlanCandidates, StopsCountingAfterListsInARowThatRuleOutTooLittle) {
  // The trigram across the join leaves candidates that hold both words: each word's own trigrams
  // rule out nothing, and after kMostUnpaidCounts of them the others are not counted.
  const std::vector<std::string> names = Names(8000);
  NamesSample sample(names);
  const std::vector<std::string> terms = TermsOf("summer_report");
  const CandidatePlan plan = PlanCandidates(terms, 8000, sample);
  EXPECT_EQ(plan.terms, std::vector<std::string>{Term("r_r")});
  EXPECT_EQ(sample.Asked().size(), terms.size() + kMostUnpaidCounts);
}

TEST(PlanCandidates, TriesEveryListAboutAsRareAsTheRarest) {
  // A rare word with a number whose trigram is about as common as the word's own, because other
  // words end the same: the word's trigrams rule out nothing, the number's picks the matches.
  std::vector<std::string> names;
  for (int digit = 0; digit < 10; ++digit) {
    for (int i = 0; i < 20; ++i) names.push_back("muller" + std::to_string(digit));
    for (int i = 0; i < 28; ++i) names.push_back("summer" + std::to_string(digit));
    for (int i = 0; i < 252; ++i) names.push_back("folder" + std::to_string(digit) + "x");
  }
  NamesSample sample(names);
  const CandidatePlan plan =
      PlanCandidates(TermsOf("muller5"), static_cast<std::int64_t>(names.size()), sample);
  EXPECT_NE(std::find(plan.terms.begin(), plan.terms.end(), Term("er5")), plan.terms.end());
  EXPECT_EQ(plan.sampled, 20);
}

TEST(PlanCandidates, NoTrigramsMeansEveryEntryAndATrigramNowhereIsReadAlone) {
  NamesSample sample(Names(1000));
  EXPECT_TRUE(PlanCandidates({}, 1000, sample).terms.empty());
  EXPECT_TRUE(sample.Asked().empty());
  const CandidatePlan absent = PlanCandidates(TermsOf("zebra_summer"), 1000, sample);
  ASSERT_EQ(absent.terms.size(), 1u);
  EXPECT_EQ(absent.sampled, 0);
}

}  // namespace
}  // namespace lumivor
