// The "Tags" criterion: matching any further attribute, through the fast reader and the document
// route alike, and results that keep their tags.

#include <gtest/gtest.h>

#include "catalog/catalog_reader.h"
#include "search/search.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;
using testing::WriteFile;

SearchCriteria Tags(std::string text, bool case_sensitive = false, bool whole = false) {
  SearchCriteria criteria;
  criteria.meta = std::move(text);
  criteria.case_sensitive = case_sensitive;
  criteria.whole_field = whole;
  return criteria;
}

TEST(TagMatching, AnyTagMayHoldTheTextWithAsciiCaseFolded) {
  const ExtraViews tags = {{"Title", "Blue in Green"}, {"Artist", "Miles Davis"}};
  EXPECT_TRUE(MatchesFields(Tags("miles"), "a.mp3", "mp3", std::nullopt, &tags));
  EXPECT_TRUE(MatchesFields(Tags("GREEN"), "a.mp3", "mp3", std::nullopt, &tags));
  EXPECT_FALSE(MatchesFields(Tags("GREEN", true), "a.mp3", "mp3", std::nullopt, &tags));
  EXPECT_FALSE(MatchesFields(Tags("miles", false, true), "a.mp3", "mp3", std::nullopt, &tags));
  EXPECT_TRUE(MatchesFields(Tags("miles davis", false, true), "a", "", std::nullopt, &tags));
  // Tag names are not searched, only their values; a record without tags never matches.
  EXPECT_FALSE(MatchesFields(Tags("Artist"), "a.mp3", "mp3", std::nullopt, &tags));
  EXPECT_FALSE(MatchesFields(Tags("miles"), "a.mp3", "mp3", std::nullopt, nullptr));
  const ExtraViews none;
  EXPECT_FALSE(MatchesFields(Tags("miles"), "a.mp3", "mp3", std::nullopt, &none));
  // Every criterion must hold: the name too.
  SearchCriteria both = Tags("miles");
  both.name = "b.";
  EXPECT_FALSE(MatchesFields(both, "a.mp3", "mp3", std::nullopt, &tags));
  EXPECT_TRUE(MatchesFields(both, "b.mp3", "mp3", std::nullopt, &tags));
}

TEST(TagMatching, TagsAloneAreASearchCondition) {
  EXPECT_FALSE(Tags("x").Blank());
  EXPECT_TRUE(Tags("  ").Blank());
  EXPECT_EQ(CriteriaProblem(Tags("x")), "");
}

// The catalog `body` (the elements inside the root) written as a file of its own.
std::string Catalog(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  WriteFile(path, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<fileinfo>" + body + "</fileinfo>");
  return path;
}

constexpr const char* kMusic =
    "<file FileName=\"Music\" FullPath=\"Music\" FileType=\"directory\">"
    "<file FileName=\"a.mp3\" FullPath=\"Music/a.mp3\" FileType=\"file\" FileExt=\"mp3\" "
    "Title=\"Rock &amp; Roll\" Artist=\"The Testers\" Duration=\"2.5\"/>"
    "<file FileName=\"b.flac\" FullPath=\"Music/b.flac\" FileType=\"file\" FileExt=\"flac\" "
    "Title=\"Quiet\" Artist=\"Someone &#x00C9;lse\"/>"
    "<file FileName=\"testers.txt\" FullPath=\"Music/testers.txt\" FileType=\"file\"/>"
    "</file>";

std::vector<std::string> Names(const SearchOutcome& outcome) {
  std::vector<std::string> names;
  for (const CatalogTree::Node* node : outcome.results.Root()->children) {
    names.emplace_back(node->Field(kFileName));
  }
  return names;
}

SearchOutcome SearchFile(const std::string& path, SearchCriteria criteria) {
  criteria.scope_path = path;
  criteria.scope_is_directory = false;
  return SearchLibrary(criteria, NoProgress());
}

TEST(TagSearch, FastAndFullReadersFindTheSameAndKeepTheTags) {
  TempDir dir;
  // A comment is left to the full XML reader; the plain file goes through the fast scanner.
  const std::string fast = Catalog(dir, "fast.xml", kMusic);
  const std::string full = Catalog(dir, "full.xml", std::string("<!-- x -->") + kMusic);
  for (const std::string& path : {fast, full}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Names(SearchFile(path, Tags("testers"))), (std::vector<std::string>{"a.mp3"}));
    EXPECT_EQ(Names(SearchFile(path, Tags("rock & roll"))), (std::vector<std::string>{"a.mp3"}));
    EXPECT_EQ(Names(SearchFile(path, Tags("\xC3\x89lse"))), (std::vector<std::string>{"b.flac"}));
    EXPECT_TRUE(Names(SearchFile(path, Tags("Duration"))).empty());

    const SearchOutcome outcome = SearchFile(path, Tags("roll"));
    ASSERT_EQ(outcome.results.Size(), 1U);
    const CatalogRecord& record = outcome.results.Top()->Record();
    EXPECT_EQ(
        record.Extras(),
        (ExtraViews{{"Title", "Rock & Roll"}, {"Artist", "The Testers"}, {"Duration", "2.5"}}));
    EXPECT_EQ(record.Field(kCatalogName), path == fast ? "fast" : "full");
  }
}

TEST(TagSearch, ResultsOfOtherCriteriaKeepTheirTagsToo) {
  TempDir dir;
  const std::string path = Catalog(dir, "music.xml", kMusic);
  SearchCriteria criteria;
  criteria.extension = "flac";
  const SearchOutcome outcome = SearchFile(path, criteria);
  ASSERT_EQ(outcome.results.Size(), 1U);
  EXPECT_EQ(outcome.results.Top()->Extra("Title"), "Quiet");
}

TEST(TagSearch, TheReaderHandsEveryFurtherAttributeToTheMatcher) {
  TempDir dir;
  const std::string path = Catalog(dir, "music.xml", kMusic);
  struct Tags final : RecordSink {
    bool Add(const RecordView& record) override {
      for (const ExtraAttribute& extra : record.extras) {
        seen.push_back(std::string(extra.name) + "=" + std::string(extra.value));
      }
      return true;
    }
    std::vector<std::string> seen;
  } tags;
  // A needle that every record holds lets each through with its tags.
  const Needle needle("file", true);
  CatalogReadOptions options;
  options.needle = &needle;
  CatalogFileReader reader;
  EXPECT_EQ(reader.Read(path, tags, options), CatalogReadStatus::kDone);
  EXPECT_EQ(tags.seen,
            (std::vector<std::string>{"Title=Rock & Roll", "Artist=The Testers", "Duration=2.5",
                                      "Title=Quiet", "Artist=Someone \xC3\x89lse"}));
}

}  // namespace
}  // namespace lumivor
