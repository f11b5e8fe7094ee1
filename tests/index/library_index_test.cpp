#include "index/library_index.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "copies/copy_finder.h"
#include "index/index_follower.h"
#include "index/indexed_search.h"
#include "index/packed_fields.h"
#include "search/search.h"
#include "support/recording_progress.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

// Every index made by this test program (and by the command-line tool it starts) goes to a
// temporary cache directory, never to the user's own.
struct CacheDirectoryForTests {
  CacheDirectoryForTests() { ::setenv("LUMIVOR_CACHE_DIR", (dir / "cache").c_str(), 1); }
  TempDir dir;
};
const CacheDirectoryForTests kCacheForTests;

std::string Catalog(std::string_view entries) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo generated=\"x\">" +
         std::string(entries) + "</fileinfo>";
}

SearchCriteria Criteria(std::string scope, bool directory) {
  SearchCriteria criteria;
  criteria.scope_path = std::move(scope);
  criteria.scope_is_directory = directory;
  return criteria;
}

// Every result as one line: its eleven fields, tab-separated.
std::vector<std::string> Lines(const SearchOutcome& outcome) {
  std::vector<std::string> lines;
  outcome.results.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    std::string line;
    for (int i = 0; i < kFieldCount; ++i) {
      line += node->Field(i);
      line += '\t';
    }
    for (const ExtraAttribute& extra : node->Extras()) {
      line += std::string(extra.name) + "=" + std::string(extra.value) + '\t';
    }
    lines.push_back(line);
  });
  return lines;
}

// Adds a part handed over by a running search to the results gathered so far.
void Join(SearchOutcome* joined, SearchOutcome&& part) {
  joined->results.Append(std::move(part.results));
  joined->sources.insert(joined->sources.end(), part.sources.begin(), part.sources.end());
}

// --- Where the index lives and how criteria become index queries ------------------------------

TEST(IndexLocation, CacheDirectoryAndNamesPerLibrary) {
  const char* saved = std::getenv("LUMIVOR_CACHE_DIR");
  const std::string cache = saved ? saved : "";
  TempDir dir;
  ::setenv("LUMIVOR_CACHE_DIR", (dir / "cache/").c_str(), 1);
  EXPECT_EQ(CacheDirectory(), dir / "cache");
  ::unsetenv("LUMIVOR_CACHE_DIR");
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  const std::string saved_xdg = xdg ? xdg : "";
  ::setenv("XDG_CACHE_HOME", dir.Path().c_str(), 1);
  EXPECT_EQ(CacheDirectory(), dir / "lumivor");
  ::setenv("XDG_CACHE_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(CacheDirectory(), std::string(std::getenv("HOME")) + "/.cache/lumivor");
  if (xdg) {
    ::setenv("XDG_CACHE_HOME", saved_xdg.c_str(), 1);
  } else {
    ::unsetenv("XDG_CACHE_HOME");
  }
  ::setenv("LUMIVOR_CACHE_DIR", cache.c_str(), 1);

  std::filesystem::create_directories(dir / "lib");
  std::filesystem::create_directory_symlink(dir / "lib", dir / "link");
  const std::string path = IndexPathFor(dir / "lib");
  EXPECT_EQ(path.rfind(cache + "/", 0), 0u) << path;
  EXPECT_EQ(IndexPathFor(dir / "lib/"), path);
  EXPECT_EQ(IndexPathFor(dir / "link"), path);
  EXPECT_NE(IndexPathFor(dir / "other"), path);
}

TEST(IndexQuery, TrigramsForCriteriaOfThreeCharactersOrMore) {
  using V = std::vector<std::string>;
  SearchCriteria criteria;
  criteria.name = "so";
  criteria.extension = "mp";
  EXPECT_EQ(CandidateTrigrams(criteria), V{});
  criteria.name = "song";
  criteria.description = "a\"b\xC3\xBC";
  EXPECT_EQ(CandidateTrigrams(criteria),
            (V{"\"son\"", "\"ong\"", "\"a\"\"b\"", "\"\"\"b\xC3\xBC\""}));
  EXPECT_EQ(CandidateQuery(CandidateTrigrams(criteria)),
            "\"son\" AND \"ong\" AND \"a\"\"b\" AND \"\"\"b\xC3\xBC\"");
  criteria = SearchCriteria();
  criteria.name = "aaaa";  // a repeated trigram is asked for once
  EXPECT_EQ(CandidateTrigrams(criteria), V{"\"aaa\""});
  criteria.name = "ab\xFF";  // not UTF-8: every record is tested
  EXPECT_EQ(CandidateTrigrams(criteria), V{});
  // Every trigram of a short text, 24 spread over a long one, whole characters each.
  criteria.name = "holiday123";
  EXPECT_EQ(CandidateTrigrams(criteria), (V{"\"hol\"", "\"oli\"", "\"lid\"", "\"ida\"", "\"day\"",
                                            "\"ay1\"", "\"y12\"", "\"123\""}));
  criteria.name = "abcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ(CandidateTrigrams(criteria).size(), 24u);
  criteria.name = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOP";
  const V spread = CandidateTrigrams(criteria);
  ASSERT_EQ(spread.size(), kMostTrigramsPerText);
  EXPECT_EQ(spread.front(), "\"abc\"");
  EXPECT_EQ(spread.back(), "\"NOP\"");
  criteria.name = "\xC3\xBC\xC3\xBC\xC3\xBCx";
  EXPECT_EQ(CandidateTrigrams(criteria),
            (V{"\"\xC3\xBC\xC3\xBC\xC3\xBC\"", "\"\xC3\xBC\xC3\xBCx\""}));
}

TEST(IndexQuery, RegexLiteralsAreWhatEveryMatchHolds) {
  using V = std::vector<std::string>;
  EXPECT_EQ(RegexLiterals(R"(^song.*\.mp3$)", true), (V{"song", ".mp3"}));
  EXPECT_EQ(RegexLiterals("abc?de", true), (V{"ab", "de"}));
  EXPECT_EQ(RegexLiterals("abc*de+f", true), (V{"ab", "de", "f"}));
  EXPECT_EQ(RegexLiterals("abc{0,2}xyz", true), (V{"ab", "xyz"}));
  EXPECT_EQ(RegexLiterals(R"(x[a-z\]]+yz\d+tail)", true), (V{"x", "yz", "tail"}));
  EXPECT_EQ(RegexLiterals("(abc)+def", true), (V{"def"}));
  // Alternatives, flags and escapes that take arguments: nothing is certain.
  EXPECT_EQ(RegexLiterals("abc|def", true), V{});
  EXPECT_EQ(RegexLiterals("(?i)abcdef", true), V{});
  EXPECT_EQ(RegexLiterals(R"(\x41BCD)", true), V{});
  // Without letter case, k, s and non-ASCII letters fold into characters outside ASCII.
  EXPECT_EQ(RegexLiterals("diskette", false), (V{"di", "ette"}));
  EXPECT_EQ(RegexLiterals("caf\xC3\xA9 bar", false), (V{"caf", " bar"}));
  EXPECT_EQ(RegexLiterals("caf\xC3\xA9 bar", true), (V{"caf\xC3\xA9 bar"}));
}

// --- Packed entries ------------------------------------------------------------------------

// Packs `fields` below a parent with FullPath `parent` (`distance` entries before) and unpacks
// them again.
std::array<std::string, kFieldCount> RoundTrip(const FieldValues& fields, std::string_view parent,
                                               std::int64_t distance, std::size_t* size) {
  std::string packed;
  PackEntryFields(fields, parent, distance, &packed);
  *size = packed.size();
  std::array<std::string, kFieldCount> out;
  const bool ok = UnpackEntryFields(
      packed, fields[kFileName].value_or(""),
      [&](std::int64_t d) {
        EXPECT_EQ(d, distance);
        return std::optional<std::string_view>(parent);
      },
      &out);
  EXPECT_TRUE(ok);
  // The FullPath alone, read without the other fields, is the same.
  FullPathSource source;
  EXPECT_TRUE(FullPathSourceOf(packed, fields[kFileName].value_or(""), &source));
  std::string path(source.own);
  if (source.linked) {
    EXPECT_EQ(source.distance, distance);
    path = std::string(parent.substr(0, source.keep)) + (source.slash_name ? "/" : "") +
           std::string(source.tail);
  }
  EXPECT_EQ(path, out[kFullPath]);
  return out;
}

TEST(PackedFields, EveryValueComesBackExactly) {
  const std::string parent = "/media/disk/Music";
  FieldValues scanned{};
  scanned[kFileName] = "Song \xC3\xBC.mp3";
  scanned[kFullPath] = "/media/disk/Music/Song \xC3\xBC.mp3";
  scanned[kFileSize] = "1234567";
  scanned[kFileTime] = "2021-03-04 05:06:07";
  scanned[kFileType] = "file";
  scanned[kFileNameLength] = "10";
  scanned[kPathNameLength] = "28";
  scanned[kSizePercentage] = "12.34";
  std::size_t size = 0;
  std::array<std::string, kFieldCount> out = RoundTrip(scanned, parent, 3, &size);
  for (int i : {kFullPath, kFileSize, kFileTime, kFileType, kFileNameLength, kPathNameLength,
                kSizePercentage}) {
    EXPECT_EQ(out[i], *scanned[i]) << FieldNames[i];
  }
  EXPECT_LE(size, 16u);  // the path and the numbers in their compact forms

  // Values a scan does not write are kept as they stand.
  const char* const odd[][2] = {{"FileSize", "007"},
                                {"FileSize", "-1"},
                                {"FileSize", "12345678901234567890"},
                                {"FileTime", "2021-13-04"},
                                {"FileTime", "2021-02-31"},
                                {"FileTime", "2021-03-04 24:00:00"},
                                {"FileTime", "2021-03-04"},
                                {"FileTime", "0999-01-01"},
                                {"FileType", "Directory"},
                                {"FileNameLength", "011"},
                                {"PathNameLength", "9"},
                                {"SizePercentage", "100"},
                                {"SizePercentage", "0.5"},
                                {"SizePercentage", "01.00"},
                                {"SizePercentage", "0.00"},
                                {"FullPath", "/media/disk/Musical/x"},
                                {"FullPath", "relative"},
                                {"FullPath", "/media/disk/Music/Song \xC3\xBC.mp3/"},
                                {"FullPath", "/media/disk/Music"}};
  for (const auto& [name, value] : odd) {
    FieldValues fields = scanned;
    fields[FieldIndexOf(name)] = value;
    out = RoundTrip(fields, parent, 1, &size);
    EXPECT_EQ(out[FieldIndexOf(name)], value) << name;
    EXPECT_EQ(out[kPathNameLength], *fields[kPathNameLength]) << name;
  }
  // Missing and empty values both come back empty; a top-level FullPath equal to the name.
  FieldValues top{};
  top[kFileName] = "/media/disk";
  top[kFullPath] = "/media/disk";
  top[kFileExt] = "";
  out = RoundTrip(top, "", 0, &size);
  EXPECT_EQ(out[kFullPath], "/media/disk");
  EXPECT_EQ(out[kFileSize], "");
  EXPECT_EQ(size, 2u);

  // Damaged data is refused, never read past its end.
  std::string packed;
  PackEntryFields(scanned, parent, 3, &packed);
  std::array<std::string, kFieldCount> ignored;
  const auto parent_of = [&](std::int64_t) { return std::optional<std::string_view>(parent); };
  for (std::size_t cut = 0; cut < packed.size(); ++cut) {
    EXPECT_FALSE(UnpackEntryFields(packed.substr(0, cut), "x", parent_of, &ignored)) << cut;
  }
  EXPECT_FALSE(UnpackEntryFields(packed + "x", "x", parent_of, &ignored));
  FullPathSource source;
  for (std::size_t cut = 0; cut < 2; ++cut) {
    EXPECT_FALSE(FullPathSourceOf(packed.substr(0, cut), "x", &source)) << cut;
  }
  FieldValues literal = scanned;
  literal[kFullPath] = "relative/path";
  PackEntryFields(literal, parent, 3, &packed);
  for (std::size_t cut = 2; cut < 4; ++cut) {
    EXPECT_FALSE(FullPathSourceOf(packed.substr(0, cut), "x", &source)) << cut;
  }
}

TEST(PackedFields, TimesAndSharesOfEveryWidthStayCompact) {
  FieldValues fields{};
  fields[kFileName] = "a";
  fields[kFullPath] = "a";
  // A packed time or share is written back digit by digit: each must come back exactly and be
  // kept in its compact form (a few bytes), as older indexes keep them.
  for (const char* time : {"0001-01-01 00:00:00", "0999-12-31 23:59:59", "1970-01-01",
                           "2038-01-19 03:14:07", "9999-12-31"}) {
    fields[kFileTime] = time;
    std::size_t size = 0;
    EXPECT_EQ(RoundTrip(fields, "", 0, &size)[kFileTime], time);
    EXPECT_LE(size, 8u) << time;
  }
  fields[kFileTime] = std::nullopt;
  for (const char* share : {"0.05", "0.50", "1.00", "12.34", "100.00", "123456789.99"}) {
    fields[kSizePercentage] = share;
    std::size_t size = 0;
    EXPECT_EQ(RoundTrip(fields, "", 0, &size)[kSizePercentage], share);
    EXPECT_LE(size, 7u) << share;
  }
}

TEST(PackedFields, WholeFullPathIsReadAloneOrRefused) {
  FieldValues fields{};
  fields[kFileName] = "Music";
  fields[kFileSize] = "12";
  std::string packed;
  const auto whole = [&](std::string_view data) -> std::optional<std::string> {
    FullPathSource source;
    if (!FullPathSourceOf(data, "Music", &source) || source.linked) return std::nullopt;
    return std::string(source.own);
  };
  // Kept as its text, as the name, or empty.
  fields[kFullPath] = "/media/disk/Music";
  PackEntryFields(fields, "", 0, &packed);
  EXPECT_EQ(whole(packed), "/media/disk/Music");
  fields[kFullPath] = "Music";
  PackEntryFields(fields, "", 0, &packed);
  EXPECT_EQ(whole(packed), "Music");
  fields[kFullPath] = std::nullopt;
  PackEntryFields(fields, "", 0, &packed);
  EXPECT_EQ(whole(packed), "");
  // Linked to the parent's: the link is read instead.
  fields[kFullPath] = "/media/disk/Music";
  PackEntryFields(fields, "/media/disk", 4, &packed);
  EXPECT_EQ(whole(packed), std::nullopt);
  FullPathSource source;
  ASSERT_TRUE(FullPathSourceOf(packed, "Music", &source));
  EXPECT_TRUE(source.linked);
  EXPECT_EQ(source.distance, 4);
  // A text cut short is refused, never read past its end.
  fields[kFullPath] = "/media/disk/Music";
  PackEntryFields(fields, "", 0, &packed);
  for (std::size_t cut = 0; cut < 6; ++cut) {
    EXPECT_EQ(whole(packed.substr(0, cut)), std::nullopt) << cut;
  }
}

// --- The indexed search against the file search ----------------------------------------------

// A random library of catalog files written as text: nested entries, values with non-ASCII
// characters, entities and character references, empty and missing attributes, a few files that
// need the full XML reader, and a few that are no catalogs at all.
class RandomLibrary {
 public:
  explicit RandomLibrary(unsigned seed) : random_(seed) {}

  std::string RandomText(int max_length) {
    static const char* const kPieces[] = {
        "a",  "b",  "S", "s", "o",        "n",        "g",
        "k",  "K",  " ", ".", "-",        "&",        "<",
        ">",  "\"", "'", "1", "\xC3\xBC", "\xC3\x89", "\xE6\x97\xA5",
        "\t", "mp3"};
    std::string text;
    const int length = Pick(max_length + 1);
    for (int i = 0; i < length; ++i) text += kPieces[Pick(std::size(kPieces))];
    return text;
  }

  // A text the library holds, or a part of one (cut between characters), with the ASCII letters'
  // case changed now and then.
  std::string HeldText() {
    if (held_.empty()) return RandomText(4);
    std::string text = held_[Pick(held_.size())];
    std::vector<std::size_t> cuts{0};
    for (std::size_t i = 1; i <= text.size(); ++i) {
      if (i == text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
        cuts.push_back(i);
      }
    }
    std::size_t from = cuts[Pick(cuts.size())];
    std::size_t to = cuts[Pick(cuts.size())];
    if (to < from) to = cuts.back();
    if (Pick(2)) {  // the whole text
      from = 0;
      to = text.size();
    }
    text = text.substr(from, to - from);
    for (char& c : text) {
      if (c == '\t') c = ' ';  // tabs are read as blanks
      if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && Pick(4) == 0) c ^= 0x20;
    }
    return text;
  }

  // The text escaped as a catalog file may hold it, with character references now and then.
  std::string Escaped(std::string_view text) {
    held_.emplace_back(text);
    std::string out;
    for (char c : text) {
      if (c == '&') {
        out += "&amp;";
      } else if (c == '<') {
        out += "&lt;";
      } else if (c == '"') {
        out += Pick(2) ? "&quot;" : "&#34;";
      } else if (c == '>' && Pick(2)) {
        out += "&gt;";
      } else if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && Pick(10) == 0) {
        char reference[16];
        std::snprintf(reference, sizeof reference, Pick(2) ? "&#x%X;" : "&#%d;", c);
        out += reference;
      } else {
        out += c;
      }
    }
    return out;
  }

  std::string Entry(int depth) {
    std::string entry = "<file";
    if (Pick(12) != 0) entry += " FileName=\"" + Escaped(RandomText(6)) + "\"";
    if (Pick(3) == 0) entry += " FullPath=\"" + Escaped(RandomText(8)) + "\"";
    entry += " FileSize=\"" + std::to_string(Pick(100000)) + "\"";
    if (Pick(2)) entry += " FileExt=\"" + Escaped(RandomText(2)) + "\"";
    entry += Pick(3) ? " FileType=\"file\"" : "";
    if (Pick(3) == 0) entry += " Description=\"" + Escaped(RandomText(6)) + "\"";
    if (Pick(5) == 0) entry += " Description=\"\"";
    if (Pick(8) == 0) entry += " CatalogName=\"stored\"";
    // Further attributes (tags), some of them empty.
    if (Pick(4) == 0) entry += " Artist=\"" + Escaped(RandomText(5)) + "\"";
    if (Pick(6) == 0) entry += " Album=\"" + Escaped(RandomText(3)) + "\"";
    if (depth < 3 && Pick(4) == 0) {
      entry += ">";
      const int children = Pick(4);
      for (int i = 0; i < children; ++i) entry += Entry(depth + 1);
      entry += "</file>";
    } else {
      entry += "/>";
    }
    return entry;
  }

  std::string CatalogText() {
    std::string entries;
    const int count = 1 + Pick(25);
    for (int i = 0; i < count; ++i) entries += Entry(0);
    std::string text = Catalog(entries);
    if (Pick(8) == 0) text.insert(text.find("<fileinfo"), "<!-- made by hand -->");
    return text;
  }

  void Write(const std::string& root) {
    static const char* const kGroups[] = {"",
                                          "Mp3/",
                                          "DVD/",
                                          "Mp3/Live/",
                                          "B\xC3\xBC"
                                          "cher/",
                                          "a b/"};
    const int catalogs = 3 + Pick(6);
    for (int i = 0; i < catalogs; ++i) {
      const std::string path = root + "/" + kGroups[Pick(std::size(kGroups))] + "c" +
                               std::to_string(i) + (Pick(6) ? ".xml" : ".dat");
      WriteFile(path, Pick(15) ? CatalogText() : "<fileinfo><file FileName=\"cut");
    }
  }

  // Criteria drawn from texts the library holds (so that there are matches) or short random ones.
  SearchCriteria RandomCriteria(SearchCriteria criteria) {
    auto criterion = [&](int one_in) -> std::string {
      if (Pick(one_in)) return "";
      if (Pick(3)) return HeldText();
      std::string text = RandomText(Pick(2) ? 2 : 5);
      for (char& c : text) {
        if (c == '\t') c = ' ';  // tabs are read as blanks
      }
      return text;
    };
    do {
      criteria.name = criterion(1 + Pick(2));
      criteria.extension = criterion(4);
      criteria.description = criterion(4);
      criteria.meta = criterion(5);
      criteria.regex.clear();
      if (Pick(5) == 0) {
        static const char* const kPatterns[] = {"^s",  "o.g$", "[0-9]",  "so+n?g",    "\\.",
                                                "mp3", "^$",   "(a|b)s", "\xC3\xBC+", "n g"};
        criteria.regex = kPatterns[Pick(std::size(kPatterns))];
      }
    } while (criteria.Blank());
    criteria.case_sensitive = Pick(3) == 0;
    criteria.whole_field = Pick(4) == 0;
    return criteria;
  }

  int Pick(std::size_t n) { return static_cast<int>(random_() % n); }

 private:
  std::mt19937 random_;
  std::vector<std::string> held_;
};

// The file search and the indexed search of the same criteria give the same records in the same
// order, with the same count of skipped files.
std::size_t ExpectSameResults(LibraryIndex& index, const SearchCriteria& criteria) {
  const SearchOutcome files = SearchLibrary(criteria, NoProgress());
  const SearchOutcome indexed = index.Search(criteria, NoProgress());
  EXPECT_EQ(Lines(indexed), Lines(files))
      << "name=[" << criteria.name << "] ext=[" << criteria.extension << "] description=["
      << criteria.description << "] tags=[" << criteria.meta << "] regex=[" << criteria.regex
      << "] case=" << criteria.case_sensitive << " whole=" << criteria.whole_field
      << " scope=" << criteria.scope_path;
  EXPECT_EQ(indexed.sources, files.sources) << criteria.scope_path;
  EXPECT_EQ(indexed.skipped_files, files.skipped_files) << criteria.scope_path;
  return files.results.Size();
}

TEST(IndexedSearch, RandomLibrariesAndCriteriaGiveTheFileSearchResults) {
  // Searches with results, and searches that picked candidates from the trigram index.
  std::size_t found = 0, with_results = 0, through_trigrams = 0;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    TempDir dir;
    RandomLibrary library(seed);
    library.Write(dir / "lib");
    std::filesystem::create_directories(dir / "lib/Mp3");
    LibraryIndex index(dir / "lib", dir / "index.sqlite");
    ASSERT_FALSE(index.Update(NoProgress()).cancelled);
    for (int round = 0; round < 60; ++round) {
      for (const SearchCriteria& criteria :
           {library.RandomCriteria(Criteria(dir / "lib", true)),
            library.RandomCriteria(Criteria(dir / "lib/Mp3/", true))}) {
        // Every other round with the second half of the catalogs read by another thread.
        index.SetTwoReaderEntries(round % 2 == 0 ? 0 : 400000);
        const std::size_t count = ExpectSameResults(index, criteria);
        found += count;
        with_results += count > 0;
        through_trigrams += count > 0 && !CandidateTrigrams(criteria).empty();
      }
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "lib")) {
      if (!entry.is_regular_file()) continue;
      ExpectSameResults(index, library.RandomCriteria(Criteria(entry.path().string(), false)));
    }
    if (HasFailure()) {
      ADD_FAILURE() << "seed " << seed;
      return;
    }
  }
  EXPECT_GT(found, 1000u);
  EXPECT_GT(with_results, 200u);
  EXPECT_GT(through_trigrams, 30u);
}

TEST(IndexedSearch, ScannedCatalogsGiveTheFileSearchResults) {
  TempDir dir;
  // A folder tree as a scan sees it: nested folders, non-ASCII names, a deep chain.
  std::string deep = dir / "src/deep";
  for (int i = 0; i < 40; ++i) deep += "/level " + std::to_string(i);
  WriteFile(deep + "/bottom song.mp3", "123");
  for (const char* name : {"My Song.mp3", "M\xC3\xBCsik/SONGS.txt", "M\xC3\xBCsik/a/b/c.song",
                           "notes & more.txt", "x/\xE6\x97\xA5\xE6\x9C\xAC.doc"}) {
    WriteFile(dir / "src/" + name, name);
  }
  std::filesystem::create_directories(dir / "lib");
  for (const char* group : {"Mp3", "DVD"}) {
    const auto scan = RunCommand(Cli() + " scan '" + dir / "src" + "' --name Disk --group " +
                                 group + " --library '" + dir / "lib" + "'");
    ASSERT_EQ(scan.status, 0) << scan.err;
  }
  LibraryIndex index(dir / "lib", dir / "index.sqlite");
  ASSERT_EQ(index.Update(NoProgress()).read, 2u);
  for (const char* text :
       {"song", "SONG", "level 3", "m\xC3\xBC", "bottom song.mp3", "o", "&", "ev"}) {
    for (const bool case_sensitive : {false, true}) {
      for (const bool whole : {false, true}) {
        SearchCriteria criteria = Criteria(dir / "lib", true);
        criteria.name = text;
        criteria.case_sensitive = case_sensitive;
        criteria.whole_field = whole;
        ExpectSameResults(index, criteria);
      }
    }
  }
  SearchCriteria deepest = Criteria(dir / "lib", true);
  deepest.name = "bottom";
  const SearchOutcome found = index.Search(deepest, NoProgress());
  ASSERT_EQ(found.results.Size(), 2u);
  EXPECT_EQ(found.results.Top()->Field(kFullPath), deep + "/bottom song.mp3");
}

TEST(IndexedSearch, AFolderMetAgainAfterAnotherInItsPlaceGivesItsOwnPath) {
  // The folder "/disk/alpha" and its subfolder "beta" lie 1,024 entries apart, so that a search
  // keeps their paths in the same place: the result in "alpha" after the one in "beta" needs
  // "alpha"'s path again.
  TempDir dir;
  std::string text =
      "<file FileName=\"/disk\" FullPath=\"/disk\" FileType=\"directory\">"
      "<file FileName=\"alpha\" FullPath=\"/disk/alpha\" FileType=\"directory\">"
      "<file FileName=\"song 1.mp3\" FullPath=\"/disk/alpha/song 1.mp3\"/>";
  for (int i = 0; i < 1022; ++i) {
    const std::string name = "pad " + std::to_string(i);
    text += "<file FileName=\"" + name + "\" FullPath=\"/disk/alpha/" + name + "\"/>";
  }
  text +=
      "<file FileName=\"beta\" FullPath=\"/disk/alpha/beta\" FileType=\"directory\">"
      "<file FileName=\"song 2.mp3\" FullPath=\"/disk/alpha/beta/song 2.mp3\"/></file>"
      "<file FileName=\"song 3.mp3\" FullPath=\"/disk/alpha/song 3.mp3\"/></file></file>";
  WriteFile(dir / "lib/a.xml", Catalog(text));
  const std::string root = dir / "lib";
  LibraryIndex index(root, dir / "index.sqlite");
  ASSERT_EQ(index.Update(NoProgress()).entries, 1028u);
  SearchCriteria song = Criteria(root, true);
  song.name = "song";
  ASSERT_EQ(ExpectSameResults(index, song), 3u);
  const SearchOutcome found = index.Search(song, NoProgress());
  ASSERT_EQ(found.results.Size(), 3u);
  EXPECT_EQ(found.results.Root()->children[1]->Field(kFullPath), "/disk/alpha/beta/song 2.mp3");
  EXPECT_EQ(found.results.Root()->children[2]->Field(kFullPath), "/disk/alpha/song 3.mp3");
}

// A catalog of the disk "/disk": folders "<top>0".."<top>9", each with ten subfolders of 450
// files named after their number, every one holding "common" and a few holding "rare".
std::string FolderCatalog(const std::string& top) {
  std::string text = "<file FileName=\"/disk\" FullPath=\"/disk\" FileType=\"directory\">";
  int number = 0;
  for (int f = 0; f < 10; ++f) {
    const std::string folder = "/disk/" + top + std::to_string(f);
    text += "<file FileName=\"" + top + std::to_string(f) + "\" FullPath=\"" + folder +
            "\" FileType=\"directory\">";
    for (int g = 0; g < 10; ++g) {
      const std::string sub = folder + "/s&amp;" + std::to_string(g);
      text += "<file FileName=\"s&amp;" + std::to_string(g) + "\" FullPath=\"" + sub +
              "\" FileType=\"directory\">";
      for (int n = 0; n < 450; ++n, ++number) {
        const std::string name =
            "common_" + std::to_string(number) + (number % 997 == 0 ? "_rare" : "_plain") + ".txt";
        text += "<file FileName=\"" + name + "\" FullPath=\"" + sub + "/" + name +
                "\" FileExt=\"txt\" FileType=\"file\"/>";
      }
      text += "</file>";
    }
    text += "</file>";
  }
  return Catalog(text + "</file>");
}

TEST(IndexedSearch, RareAndCommonTrigramsAndRenamedFoldersGiveTheFileSearchResults) {
  TempDir dir;
  const std::string root = dir / "lib";
  WriteFile(dir / "lib/a.xml", FolderCatalog("f"));
  LibraryIndex index(root, dir / "index.sqlite");
  ASSERT_EQ(index.Update(NoProgress()).entries, 45111u);
  // Criteria whose trigrams are in every entry, in a few, or both: the index asks for some of
  // them only, and the rule still decides.
  const auto expect_same = [&] {
    for (const char* text : {"_rare", "common_1", "common_9970_rare", "n_99", "S&1/COMMON", "f3"}) {
      SearchCriteria criteria = Criteria(root, true);
      criteria.name = text;
      ExpectSameResults(index, criteria);
    }
    SearchCriteria both = Criteria(root, true);
    both.name = "common";
    both.extension = "txt";
    both.regex = "rare\\.txt$";
    EXPECT_EQ(ExpectSameResults(index, both), 46u);
  };
  expect_same();
  SearchCriteria rare = Criteria(root, true);
  rare.name = "common_9970_rare";
  SearchOutcome found = index.Search(rare, NoProgress());
  ASSERT_EQ(found.results.Size(), 1u);
  EXPECT_EQ(found.results.Top()->Field(kFullPath), "/disk/f2/s&2/common_9970_rare.txt");

  // A folder's row keeps its path whole, a file's row keeps it as its folder's and its name: a
  // result's path needs one look-up of its folder, not a walk up to the top.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "index.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* rows = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT name, rest FROM entries", -1, &rows, nullptr),
              SQLITE_OK);
    std::size_t folders = 0, files = 0;
    while (sqlite3_step(rows) == SQLITE_ROW) {
      const std::string name(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)));
      const std::string rest(static_cast<const char*>(sqlite3_column_blob(rows, 1)),
                             static_cast<std::size_t>(sqlite3_column_bytes(rows, 1)));
      const bool file = name.ends_with(".txt");
      (file ? files : folders) += 1;
      FullPathSource source;
      EXPECT_TRUE(FullPathSourceOf(rest, name, &source)) << name;
      EXPECT_EQ(source.linked, file) << name;
    }
    sqlite3_finalize(rows);
    sqlite3_close(db);
    EXPECT_EQ(folders, 111u);
    EXPECT_EQ(files, 45000u);
  }

  // The folders renamed by another program, the catalog written again: its entries take the
  // same numbers in the index, and every result shows its new path.
  WriteFile(dir / "lib/b.xml", FolderCatalog("renamed "));
  std::filesystem::rename(dir / "lib/b.xml", dir / "lib/a.xml");
  ASSERT_EQ(index.Update(NoProgress()).read, 1u);
  expect_same();
  found = index.Search(rare, NoProgress());
  ASSERT_EQ(found.results.Size(), 1u);
  EXPECT_EQ(found.results.Top()->Field(kFullPath), "/disk/renamed 2/s&2/common_9970_rare.txt");
}

TEST(IndexedSearch, HandMadeChangesAreFoundBeforeTheSearch) {
  TempDir dir;
  RandomLibrary library(99);
  WriteFile(dir / "lib/Mp3/a.xml", Catalog("<file FileName=\"song one\"/>"));
  WriteFile(dir / "lib/Mp3/b.xml", Catalog("<file FileName=\"song two\"/>"));
  WriteFile(dir / "lib/DVD/c.xml", Catalog("<file FileName=\"film\"/>"));
  LibraryIndex index(dir / "lib", dir / "index.sqlite");
  IndexUpdate update = index.Update(NoProgress());
  EXPECT_TRUE(update.rebuilt);
  EXPECT_EQ(update.catalogs, 3u);
  EXPECT_EQ(update.entries, 3u);
  EXPECT_EQ(update.read, 3u);
  EXPECT_FALSE(index.Update(NoProgress()).rebuilt);
  EXPECT_EQ(index.Update(NoProgress()).read, 0u);

  SearchCriteria song = Criteria(dir / "lib", true);
  song.name = "song";
  // Replaced by another program (a new inode), edited in place, copied in, deleted.
  WriteFile(dir / "lib/new.xml", Catalog("<file FileName=\"song three\"/>"));
  std::filesystem::rename(dir / "lib/new.xml", dir / "lib/Mp3/a.xml");
  {
    std::ofstream out(dir / "lib/Mp3/b.xml", std::ios::app);
    out << "\n";
  }
  WriteFile(dir / "lib/DVD/d.xml", Catalog("<file FileName=\"song four\"><file/></file>"));
  std::filesystem::remove(dir / "lib/DVD/c.xml");
  update = index.Update(NoProgress());
  EXPECT_EQ(update.read, 3u);
  EXPECT_EQ(update.catalogs, 3u);
  EXPECT_EQ(update.entries, 4u);
  ExpectSameResults(index, song);
  EXPECT_EQ(Lines(index.Search(song, NoProgress())).size(), 3u);

  // A group renamed by hand: its catalogs are read under their new paths.
  std::filesystem::rename(dir / "lib/Mp3", dir / "lib/Music");
  EXPECT_EQ(index.Update(NoProgress()).read, 2u);
  ExpectSameResults(index, song);
  for (int round = 0; round < 20; ++round) {
    ExpectSameResults(index, library.RandomCriteria(Criteria(dir / "lib", true)));
  }
}

TEST(IndexedSearch, TheProgramsOwnChangesUpdateTheIndexAtOnce) {
  TempDir dir;
  const std::string root = dir / "lib";
  WriteFile(dir / "lib/Mp3/a.xml", Catalog("<file FileName=\"song one\"/>"));
  WriteFile(dir / "lib/Mp3/b.xml", Catalog("<file FileName=\"song two\"/>"));
  ASSERT_EQ(UpdateLibraryIndex(root, false, NoProgress()).read, 2u);

  // A catalog saved after an edit.
  CatalogTree tree = LoadCatalog(dir / "lib/Mp3/a.xml");
  tree.Top()->SetField(kDescription, "edited");
  SaveCatalog(tree, dir / "lib/Mp3/a.xml", NoProgress());
  IndexFollower().Written(dir / "lib/Mp3/a.xml");
  {
    LibraryIndex index(root, IndexPathFor(root));
    EXPECT_EQ(index.Update(NoProgress()).read, 0u);
    SearchCriteria edited = Criteria(root, true);
    edited.description = "edited";
    EXPECT_EQ(Lines(index.Search(edited, NoProgress())).size(), 1u);
  }

  // A group renamed and a catalog moved: nothing needs reading again.
  std::filesystem::rename(dir / "lib/Mp3", dir / "lib/Music");
  IndexFollower().Moved(dir / "lib/Mp3", dir / "lib/Music");
  std::filesystem::create_directories(dir / "lib/DVD");
  std::filesystem::rename(dir / "lib/Music/b.xml", dir / "lib/DVD/b.xml");
  IndexFollower().Moved(dir / "lib/Music/b.xml", dir / "lib/DVD/b.xml");
  {
    LibraryIndex index(root, IndexPathFor(root));
    EXPECT_EQ(index.Update(NoProgress()).read, 0u);
    SearchCriteria song = Criteria(root, true);
    song.name = "song";
    ExpectSameResults(index, song);
    const std::vector<std::string> lines = Lines(index.Search(song, NoProgress()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("song two"), std::string::npos);  // DVD/b.xml before Music/a.xml
  }

  // A deleted group.
  std::filesystem::remove_all(dir / "lib/DVD");
  IndexFollower().Removed(dir / "lib/DVD");
  {
    LibraryIndex index(root, IndexPathFor(root));
    EXPECT_EQ(index.CatalogCount(), 1u);
    EXPECT_EQ(index.EntryCount(), 1u);
  }

  // Told with a stop already requested (the user pressed Cancel): the index is left as it is,
  // and the next search's own check reads the new catalog.
  WriteFile(dir / "lib/Music/c.xml", Catalog("<file FileName=\"song three\"/>"));
  std::stop_source stop;
  stop.request_stop();
  IndexFollower(stop.get_token()).Written(dir / "lib/Music/c.xml");
  LibraryIndex index(root, IndexPathFor(root));
  EXPECT_EQ(index.CatalogCount(), 1u);
  EXPECT_EQ(index.Update(NoProgress()).read, 1u);
}

TEST(IndexedSearch, AMissingOrDamagedIndexIsMadeAfresh) {
  TempDir dir;
  RandomLibrary library(7);
  library.Write(dir / "lib");
  const std::string root = dir / "lib";
  const std::string index_path = IndexPathFor(root);
  for (int round = 0; round < 6; ++round) {
    const SearchCriteria criteria = library.RandomCriteria(Criteria(root, true));
    const IndexedSearchOutcome indexed = SearchThroughIndex(criteria, root, NoProgress());
    EXPECT_TRUE(indexed.used_index) << indexed.note;
    EXPECT_EQ(Lines(indexed.outcome), Lines(SearchLibrary(criteria, NoProgress())));
    switch (round % 3) {
      case 0:  // deleted
        LibraryIndex::RemoveFiles(index_path);
        break;
      case 1:  // overwritten with something else
        LibraryIndex::RemoveFiles(index_path);
        WriteFile(index_path, std::string(8192, 'x'));
        break;
      case 2: {  // pages damaged in the middle
        std::string bytes = ReadFile(index_path);
        ASSERT_GT(bytes.size(), 4096u);
        for (std::size_t i = 4096; i < bytes.size(); i += 3) bytes[i] = '\x5A';
        LibraryIndex::RemoveFiles(index_path);
        WriteFile(index_path, bytes);
        break;
      }
    }
    const IndexedSearchOutcome again = SearchThroughIndex(criteria, root, NoProgress());
    EXPECT_EQ(Lines(again.outcome), Lines(indexed.outcome)) << round;
    EXPECT_TRUE(again.used_index) << again.note;
    EXPECT_NE(again.note.find("made afresh"), std::string::npos) << again.note;
  }
}

TEST(IndexedSearch, AnIndexOfAnotherLayoutIsMadeAfresh) {
  TempDir dir;
  WriteFile(dir / "lib/a.xml", Catalog("<file FileName=\"song\"/>"));
  {
    LibraryIndex index(dir / "lib", dir / "index.sqlite");
    EXPECT_EQ(index.Update(NoProgress()).read, 1u);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "index.sqlite").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA user_version = 0", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  LibraryIndex index(dir / "lib", dir / "index.sqlite");
  const IndexUpdate update = index.Update(NoProgress());
  EXPECT_TRUE(update.rebuilt);
  EXPECT_EQ(update.read, 1u);
}

TEST(IndexedSearch, ALockedIndexFallsBackToTheFilesAndSaysSo) {
  TempDir dir;
  const std::string root = dir / "lib";
  WriteFile(dir / "lib/a.xml", Catalog("<file FileName=\"song\"/>"));
  ASSERT_EQ(UpdateLibraryIndex(root, false, NoProgress()).read, 1u);
  WriteFile(dir / "lib/b.xml", Catalog("<file FileName=\"song b\"/>"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(IndexPathFor(root).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  SearchCriteria song = Criteria(root, true);
  song.name = "song";
  const IndexedSearchOutcome locked = SearchThroughIndex(song, root, NoProgress());
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_FALSE(locked.used_index);
  EXPECT_EQ(locked.note,
            "The search index is in use by another program. The catalog files were read instead.");
  EXPECT_EQ(Lines(locked.outcome).size(), 2u);
  const IndexedSearchOutcome free = SearchThroughIndex(song, root, NoProgress());
  EXPECT_TRUE(free.used_index);
  EXPECT_EQ(Lines(free.outcome), Lines(locked.outcome));
}

TEST(IndexedSearch, ProgressCancelAndResultsWhileSearching) {
  TempDir dir;
  std::string entries;
  for (int i = 0; i < 20000; ++i) entries += "<file FileName=\"song" + std::to_string(i) + "\"/>";
  WriteFile(dir / "lib/big.xml", Catalog(entries));
  WriteFile(dir / "lib/small.xml", Catalog("<file FileName=\"song\"/>"));
  const std::string root = dir / "lib";
  LibraryIndex index(root, dir / "index.sqlite");
  RecordingProgress cancelling;
  cancelling.stop_after_texts = 2;  // the two entries listed, then as the big catalog is read
  IndexUpdate update = index.Update(cancelling, cancelling.Token());
  EXPECT_TRUE(update.cancelled);
  EXPECT_EQ(index.EntryCount(), 0u);  // the big catalog was left out whole
  RecordingProgress counted;
  update = index.Update(counted);
  EXPECT_EQ(update.read, 2u);
  EXPECT_EQ(update.entries, 20001u);
  // Each catalog read is counted against those to read (after the texts of the listing).
  std::vector<std::string> counts;
  for (const RecordingProgress::Event& event : counted.events) {
    if (event.kind == RecordingProgress::Event::kText && event.text.rfind("Indexing", 0) == 0) {
      counts.push_back(event.text.substr(0, 23));
    }
  }
  EXPECT_EQ(counts,
            (std::vector<std::string>{"Indexing 1 of 2 catalog", "Indexing 2 of 2 catalog"}));

  SearchCriteria song = Criteria(root, true);
  song.name = "song";
  std::vector<std::size_t> sizes;
  SearchOutcome joined;
  const SearchOutcome outcome = index.Search(song, NoProgress(), {}, [&](SearchOutcome&& part) {
    sizes.push_back(part.results.Size());
    Join(&joined, std::move(part));
  });
  // The first hundred at once, then the rest in parts; every result went through the parts, in
  // the file search's order, each with its own catalog's name and source.
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_EQ(sizes.front(), 100u);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 0u), 0);
  EXPECT_TRUE(outcome.results.Empty());
  EXPECT_TRUE(outcome.sources.empty());
  const SearchOutcome files = SearchLibrary(song, NoProgress());
  EXPECT_EQ(Lines(joined), Lines(files));
  EXPECT_EQ(joined.sources, files.sources);
  EXPECT_EQ(Lines(index.Search(song, NoProgress())), Lines(files));

  RecordingProgress stop;
  stop.stop_after_texts = 0;
  const SearchOutcome stopped = index.Search(song, stop, stop.Token());
  EXPECT_TRUE(stopped.cancelled);
  EXPECT_LT(stopped.results.Size(), 20001u);
}

TEST(IndexedSearch, TwoReadersGiveOneReadersResultsCancelAndFailure) {
  TempDir dir;
  for (const char* name : {"a", "b", "c", "d"}) {
    std::string entries;
    for (int i = 0; i < 300; ++i) {
      entries += "<file FileName=\"" + std::string(name) + " song" + std::to_string(i) + "\"/>";
    }
    WriteFile(dir / ("lib/" + std::string(name) + ".xml"), Catalog(entries));
  }
  const std::string root = dir / "lib";
  ASSERT_EQ(UpdateLibraryIndex(root, false, NoProgress()).entries, 1200u);
  SearchCriteria song = Criteria(root, true);
  song.name = "song1";
  const SearchOutcome files = SearchLibrary(song, NoProgress());
  {
    LibraryIndex index(root, IndexPathFor(root));
    index.SetTwoReaderEntries(0);
    const SearchOutcome both = index.Search(song, NoProgress());
    EXPECT_EQ(Lines(both), Lines(files));
    EXPECT_EQ(both.sources, files.sources);
    EXPECT_FALSE(both.cancelled);
    // A search cancelled before it starts finds nothing on either thread and says so.
    RecordingProgress stop;
    stop.stop_after_texts = 0;
    const SearchOutcome stopped = index.Search(song, stop, stop.Token());
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_LT(stopped.results.Size(), files.results.Size());
    // When the file cannot be opened once more for the other thread, this one reads it all.
    const std::string moved = IndexPathFor(root) + ".moved";
    ASSERT_EQ(std::rename(IndexPathFor(root).c_str(), moved.c_str()), 0);
    const SearchOutcome alone = index.Search(song, NoProgress());
    ASSERT_EQ(std::rename(moved.c_str(), IndexPathFor(root).c_str()), 0);
    EXPECT_EQ(Lines(alone), Lines(files));
    EXPECT_EQ(alone.sources, files.sources);
    EXPECT_FALSE(alone.cancelled);
  }
  // A damaged entry in the last catalog, which the other thread reads, fails the whole search.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(IndexPathFor(root).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(db,
                   "UPDATE entries SET extras = x'ff' WHERE id = (SELECT MAX(id) FROM entries "
                   "WHERE name LIKE '%song1%')",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(db);
  LibraryIndex index(root, IndexPathFor(root));
  index.SetTwoReaderEntries(0);
  EXPECT_THROW((void)index.Search(song, NoProgress()), IndexError);
}

// Two readers share many catalogs, some of whose entries no longer lie in the catalogs' order
// (written again after the others): however the catalogs fall to each reader, the results are
// the file search's in its order, and a search cancelled part of the way gives the first of them.
TEST(IndexedSearch, TwoReadersSharingManyCatalogsGiveTheResultsInOrder) {
  TempDir dir;
  const std::string root = dir / "lib";
  const auto write = [&](int catalog, const std::string& word) {
    std::string entries;
    for (int i = 0; i < 150; ++i) {
      entries += "<file FileName=\"" + word + " track" + std::to_string(i) + " of " +
                 std::to_string(catalog) + "\"/>";
    }
    char name[16];
    std::snprintf(name, sizeof name, "disk%02d.xml", catalog);
    WriteFile(dir / ("lib/" + std::string(name)), Catalog(entries));
  };
  for (int catalog = 0; catalog < 24; ++catalog) write(catalog, "song");
  ASSERT_EQ(UpdateLibraryIndex(root, false, NoProgress()).entries, 3600u);
  for (int catalog : {3, 11, 20}) write(catalog, "tune");
  ASSERT_EQ(UpdateLibraryIndex(root, false, NoProgress()).read, 3u);
  LibraryIndex index(root, IndexPathFor(root));
  index.SetTwoReaderEntries(0);
  for (const char* text : {"track1", "tune track", "k14 of"}) {
    SearchCriteria criteria = Criteria(root, true);
    criteria.name = text;
    const SearchOutcome files = SearchLibrary(criteria, NoProgress());
    const std::vector<std::string> expected = Lines(files);
    ASSERT_FALSE(expected.empty()) << text;
    for (int round = 0; round < 10; ++round) {
      const SearchOutcome both = index.Search(criteria, NoProgress());
      ASSERT_EQ(Lines(both), expected) << text << " round " << round;
      ASSERT_EQ(both.sources, files.sources) << text;
    }
    for (int texts = 1; texts <= 40; texts += 3) {
      RecordingProgress stop;
      stop.stop_after_texts = texts;
      const SearchOutcome part = index.Search(criteria, stop, stop.Token());
      const std::vector<std::string> lines = Lines(part);
      ASSERT_LE(lines.size(), expected.size());
      EXPECT_TRUE(std::equal(lines.begin(), lines.end(), expected.begin())) << text << texts;
      EXPECT_EQ(part.sources.size(), lines.size());
      if (!part.cancelled) {
        EXPECT_EQ(lines, expected) << text << texts;
      }
    }
  }
}

TEST(IndexedSearch, ResultsShownBeforeTheIndexFailedAreWithdrawn) {
  TempDir dir;
  std::string entries;
  for (int i = 0; i < 300; ++i) entries += "<file FileName=\"song" + std::to_string(i) + "\"/>";
  WriteFile(dir / "lib/a.xml", Catalog(entries));
  const std::string root = dir / "lib";
  ASSERT_EQ(UpdateLibraryIndex(root, false, NoProgress()).entries, 300u);
  // An entry past the first hundred results is damaged.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(IndexPathFor(root).c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "UPDATE entries SET extras = x'ff' WHERE id = (SELECT MIN(id) + 250 "
                         "FROM entries)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  SearchCriteria song = Criteria(root, true);
  song.name = "song";
  std::vector<std::size_t> sizes;
  SearchOutcome joined;
  const IndexedSearchOutcome indexed =
      SearchThroughIndex(song, root, NoProgress(), {}, [&](SearchOutcome&& part) {
        sizes.push_back(part.results.Size());
        if (part.results.Empty()) joined = SearchOutcome();
        Join(&joined, std::move(part));
      });
  // The first hundred were handed over, then withdrawn, and the index made afresh gave them all.
  ASSERT_GE(sizes.size(), 3u);
  EXPECT_EQ(sizes.front(), 100u);
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 0u), 1);
  EXPECT_TRUE(indexed.used_index) << indexed.note;
  EXPECT_TRUE(indexed.update.rebuilt);
  EXPECT_TRUE(indexed.outcome.results.Empty());
  const SearchOutcome files = SearchLibrary(song, NoProgress());
  EXPECT_EQ(Lines(joined), Lines(files));
  EXPECT_EQ(joined.sources, files.sources);
}

TEST(IndexedSearch, ABadRegularExpressionIsRefusedOnBothRoutes) {
  TempDir dir;
  WriteFile(dir / "lib/a.xml", Catalog("<file FileName=\"song\"/>"));
  SearchCriteria criteria = Criteria(dir / "lib", true);
  criteria.regex = "so(ng";
  EXPECT_EQ(CriteriaProblem(criteria), "The regular expression is not valid: missing ): so(ng.");
  EXPECT_THROW(static_cast<void>(SearchLibrary(criteria, NoProgress())), LumivorError);
  EXPECT_THROW(static_cast<void>(SearchThroughIndex(criteria, dir / "lib", NoProgress())),
               LumivorError);
  criteria.regex = "^S.N";
  EXPECT_EQ(Lines(SearchThroughIndex(criteria, dir / "lib", NoProgress()).outcome).size(), 1u);
  criteria.case_sensitive = true;
  EXPECT_TRUE(SearchThroughIndex(criteria, dir / "lib", NoProgress()).outcome.results.Empty());
  criteria.case_sensitive = false;
  criteria.whole_field = true;  // the whole name must match
  EXPECT_TRUE(SearchThroughIndex(criteria, dir / "lib", NoProgress()).outcome.results.Empty());
}

// --- The command line ------------------------------------------------------------------------

TEST(IndexCommand, BuildsUpdatesAndSearchesLikeTheFiles) {
  TempDir dir;
  RandomLibrary library(5);
  library.Write(dir / "lib");
  const std::string lib = "'" + dir / "lib" + "'";
  const auto build = RunCommand(Cli() + " index --library " + lib);
  EXPECT_EQ(build.status, 0) << build.err;
  EXPECT_EQ(build.out.rfind("catalogs=", 0), 0u) << build.out;
  const auto again = RunCommand(Cli() + " index --library " + lib);
  EXPECT_NE(again.out.find(" read=0 seconds="), std::string::npos) << again.out;
  const auto rebuild = RunCommand(Cli() + " index --rebuild --library " + lib);
  EXPECT_EQ(rebuild.out.substr(0, rebuild.out.find(" seconds=")),
            build.out.substr(0, build.out.find(" seconds=")));

  for (const char* options : {"--name o", "--name s --case-sensitive", "--ext mp3 --whole",
                              "--regex 'o.g' --description a", "--name 'g o'"}) {
    const auto indexed = RunCommand(Cli() + " search --library " + lib + " " + options);
    const auto files = RunCommand(Cli() + " search --no-index --library " + lib + " " + options);
    EXPECT_EQ(indexed.status, 0) << indexed.err;
    EXPECT_EQ(indexed.out, files.out) << options;
    EXPECT_EQ(indexed.err, files.err) << options;
  }
  const auto bad = RunCommand(Cli() + " search --library " + lib + " --regex '['");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, "The regular expression is not valid: missing ]: [.\n");
}

// --- Copies through the index ------------------------------------------------------------------

// A medium of `folders` folders of kFilesPerFolder files, file n with the hash of n, written as
// the catalog MEDIUM.xml of `library`.
constexpr int kFilesPerFolder = 200;
std::string HashOf(int n) {
  char digits[33];
  std::snprintf(digits, sizeof digits, "%032x", n + 1);
  return "xxh128:" + std::string(digits);
}
std::string CopyPathOf(const std::string& medium, int n) {
  return "/media/" + medium + "/" + medium + " folder " + std::to_string(n / kFilesPerFolder) +
         "/file " + std::to_string(n) + ".bin";
}
void WriteHashedMedium(const std::string& library, const std::string& medium, int folders) {
  CatalogTree tree;
  FieldViews top{};
  const std::string top_path = "/media/" + medium;
  top[kFileName] = top_path;
  top[kFullPath] = top_path;
  top[kFileType] = kDirectoryType;
  CatalogTree::Node* top_node = tree.AddChild(nullptr, top);
  for (int folder = 0; folder < folders; ++folder) {
    const std::string folder_name = medium + " folder " + std::to_string(folder);
    const std::string folder_path = top_path + "/" + folder_name;
    FieldViews folder_fields{};
    folder_fields[kFileName] = folder_name;
    folder_fields[kFullPath] = folder_path;
    folder_fields[kFileType] = kDirectoryType;
    CatalogTree::Node* folder_node = tree.AddChild(top_node, folder_fields);
    for (int file = 0; file < kFilesPerFolder; ++file) {
      const int n = folder * kFilesPerFolder + file;
      const std::string name = "file " + std::to_string(n) + ".bin";
      const std::string path = CopyPathOf(medium, n), size = std::to_string(100 + n % 7);
      const std::string hash = HashOf(n);
      FieldViews fields{};
      fields[kFileName] = name;
      fields[kFullPath] = path;
      fields[kFileSize] = size;
      fields[kFileType] = kFileTypeText;
      tree.AddChild(folder_node, fields, {{kHashAttribute, hash}});
    }
  }
  WriteCatalogFile(tree, library + "/" + medium + ".xml", NoProgress());
}

// Enough copies for the paths to be looked up on two threads: every file of one medium has a copy
// on the other, in folders of other names; each must come back with its own path and hash.
TEST(IndexedCopies, ManyCopiesComeBackWithTheirOwnPathsAndHashes) {
  TempDir dir;
  const std::string library = dir / "CatalogLibrary";
  std::filesystem::create_directories(library);
  constexpr int kFolders = 60;
  for (const std::string medium : {"Left", "Right"}) WriteHashedMedium(library, medium, kFolders);
  LibraryIndex index(library, IndexPathFor(library));
  ASSERT_FALSE(index.Update(NoProgress()).cancelled);
  IndexedCopies copies = index.CopiesOf({});
  ASSERT_FALSE(copies.cancelled);
  ASSERT_EQ(copies.catalogs.size(), 2u);
  DuplicateSummary summary;
  copies.groups.Finish(0, &summary);
  ASSERT_EQ(summary.groups, static_cast<std::size_t>(kFolders * kFilesPerFolder));
  ASSERT_EQ(summary.copies, 2u * kFolders * kFilesPerFolder);
  std::vector<int> seen(2 * kFolders * kFilesPerFolder);
  for (const CopyGroups::Group& group : copies.groups.Groups()) {
    ASSERT_EQ(group.files, 2u);
    for (std::uint32_t i = group.first; i < group.first + group.files; ++i) {
      const CopyGroups::File& file = copies.groups.Files()[i];
      const bool left = copies.catalogs[file.Catalog()].ends_with("/Left.xml");
      const std::string path(file.Path());
      const int n = std::stoi(path.substr(path.rfind("/file ") + 6));
      EXPECT_EQ(path, CopyPathOf(left ? "Left" : "Right", n));
      EXPECT_EQ(group.key, HashOf(n)) << path;
      EXPECT_EQ(group.size, 100u + n % 7) << path;
      ++seen[static_cast<std::size_t>(2 * n + (left ? 0 : 1))];
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(seen.size()));
}

// The files of each content are counted as catalogs are written again and taken out, without
// making the index afresh and without triggers (a statement that fires one makes the text index
// write out its pending words first: every file written became a piece of its own there).
TEST(IndexedCopies, CatalogsWrittenAgainAndTakenOutCountTheirContentsOutAndIn) {
  TempDir dir;
  const std::string library = dir / "CatalogLibrary";
  std::filesystem::create_directories(library);
  WriteHashedMedium(library, "Left", 4);
  WriteHashedMedium(library, "Right", 4);
  const auto copies_and_triggers = [&] {
    LibraryIndex index(library, IndexPathFor(library));
    const IndexUpdate update = index.Update(NoProgress());
    EXPECT_FALSE(update.cancelled);
    DuplicateSummary summary;
    index.CopiesOf({}).groups.Finish(0, &summary);
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(IndexPathFor(library).c_str(), &db), SQLITE_OK);
    int triggers = -1;
    sqlite3_exec(
        db, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger'",
        [](void* out, int, char** values, char**) {
          *static_cast<int*>(out) = std::atoi(values[0]);
          return 0;
        },
        &triggers, nullptr);
    sqlite3_close(db);
    return std::tuple(update.read, update.rebuilt, summary.groups, triggers);
  };
  EXPECT_EQ(copies_and_triggers(), std::tuple(std::size_t{2}, true, std::size_t{800}, 0));

  // Half of Right's folders gone.
  WriteHashedMedium(library, "Right", 2);
  EXPECT_EQ(copies_and_triggers(), std::tuple(std::size_t{1}, false, std::size_t{400}, 0));
  // Right again in full, then Left taken out: no copies are left, and no counts either.
  WriteHashedMedium(library, "Right", 4);
  EXPECT_EQ(copies_and_triggers(), std::tuple(std::size_t{1}, false, std::size_t{800}, 0));
  std::filesystem::remove(library + "/Left.xml");
  EXPECT_EQ(copies_and_triggers(), std::tuple(std::size_t{0}, false, std::size_t{0}, 0));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(IndexPathFor(library).c_str(), &db), SQLITE_OK);
  int keys = -1;
  sqlite3_exec(
      db, "SELECT COUNT(*) FROM content_keys WHERE files <> 1",
      [](void* out, int, char** values, char**) {
        *static_cast<int*>(out) = std::atoi(values[0]);
        return 0;
      },
      &keys, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(keys, 0);
}

}  // namespace
}  // namespace lumivor
