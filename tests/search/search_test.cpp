#include "search/search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <random>

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "catalog/xml_document.h"
#include "core/errors.h"
#include "support/recording_progress.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;
using testing::WriteFile;

SearchCriteria Name(std::string name, bool case_sensitive = false, bool whole = false) {
  SearchCriteria criteria;
  criteria.name = std::move(name);
  criteria.case_sensitive = case_sensitive;
  criteria.whole_field = whole;
  return criteria;
}

bool NameMatches(const SearchCriteria& criteria, std::string_view file_name) {
  return MatchesFields(criteria, file_name, std::nullopt, std::nullopt);
}

TEST(Matching, SubstringWithAsciiCaseFolding) {
  EXPECT_TRUE(NameMatches(Name("song"), "My Song.mp3"));
  EXPECT_TRUE(NameMatches(Name("song"), "SONGS.txt"));
  EXPECT_FALSE(NameMatches(Name("song", true), "My Song.mp3"));
  EXPECT_FALSE(NameMatches(Name("song", true), "SONGS.txt"));
  EXPECT_TRUE(NameMatches(Name("song", true), "a song"));
  // Only ASCII letters fold.
  EXPECT_FALSE(NameMatches(Name("\xC3\xBC"), "\xC3\x9C"));
  EXPECT_TRUE(NameMatches(Name("m\xC3\xBCLLER"), "M\xC3\xBCller"));
}

TEST(Matching, WholeWordsMeansTheWholeField) {
  EXPECT_TRUE(NameMatches(Name("song.mp3", false, true), "SONG.MP3"));
  EXPECT_FALSE(NameMatches(Name("song.mp3", false, true), "song.mp3.bak"));
  EXPECT_TRUE(NameMatches(Name("song.mp3", true, true), "song.mp3"));
  EXPECT_FALSE(NameMatches(Name("song.mp3", true, true), "SONG.MP3"));
  EXPECT_FALSE(NameMatches(Name("song", false, true), "my song"));

  SearchCriteria ext;
  ext.extension = "mp3";
  ext.whole_field = true;
  EXPECT_TRUE(MatchesFields(ext, "a", "MP3", std::nullopt));
  EXPECT_TRUE(MatchesFields(ext, "a", "mp3", std::nullopt));
  EXPECT_FALSE(MatchesFields(ext, "a", "mp3x", std::nullopt));
  ext.extension = ".mp3";
  ext.whole_field = false;
  EXPECT_FALSE(MatchesFields(ext, "a.mp3", "mp3", std::nullopt));
}

TEST(Matching, BlanksAreKeptAndEveryCriterionMustMatch) {
  EXPECT_FALSE(NameMatches(Name(" song"), "song.mp3"));
  EXPECT_TRUE(NameMatches(Name(" song"), "my song.mp3"));

  SearchCriteria both = Name("song");
  both.description = "live";
  EXPECT_FALSE(MatchesFields(both, "song.mp3", std::nullopt, std::nullopt));
  EXPECT_FALSE(MatchesFields(both, "song.mp3", std::nullopt, "studio"));
  EXPECT_TRUE(MatchesFields(both, "song.mp3", std::nullopt, "Live 1999"));
  // No FileName: never a result, even when only the extension is asked for.
  SearchCriteria ext;
  ext.extension = "mp3";
  EXPECT_FALSE(MatchesFields(ext, std::nullopt, "mp3", std::nullopt));
  EXPECT_TRUE(MatchesFields(ext, "", "mp3", std::nullopt));

  EXPECT_TRUE(SearchCriteria().Blank());
  EXPECT_TRUE(Name("  \t").Blank());
  EXPECT_FALSE(Name(" a ").Blank());
}

// "FileName@CatalogName" of every result, in order.
std::vector<std::string> Found(const SearchOutcome& outcome) {
  std::vector<std::string> found;
  outcome.results.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    EXPECT_EQ(depth, 0);
    found.push_back(std::string(node->Field(kFileName)) + "@" +
                    std::string(node->Field(kCatalogName)));
  });
  return found;
}

std::string Catalog(std::string_view entries) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo generated=\"x\">" +
         std::string(entries) + "</fileinfo>";
}

// A library: two groups, a nested group, a catalog with another extension and broken files.
struct Library {
  Library() {
    WriteFile(dir / "Mp3/Music.xml",
              Catalog("<file FileName=\"Disk\" FileType=\"directory\"><file FileName=\"My "
                      "Song.mp3\" FileExt=\"mp3\" FileSize=\"12\"/><file FileName=\"b.txt\"/>"
                      "</file>"));
    WriteFile(dir / "Mp3/Sub/Live.2009.xml",
              Catalog("<file FileName=\"SONGS.txt\" Description=\"live\"/>"));
    WriteFile(dir / "DVD/Films.xml", Catalog("<file FileName=\"song of the sea.mkv\"/>"));
    WriteFile(dir / "other.dat", Catalog("<file FileName=\"songbook\"/>"));
    WriteFile(dir / "Mp3/broken.xml", "<fileinfo><file FileName=\"song\">");
    WriteFile(dir / "Mp3/empty.xml", "");
  }
  TempDir dir;
};

SearchCriteria InScope(SearchCriteria criteria, std::string scope, bool directory) {
  criteria.scope_path = std::move(scope);
  criteria.scope_is_directory = directory;
  return criteria;
}

TEST(Search, WholeLibraryInNameOrderSkippingBrokenFiles) {
  Library library;
  const SearchOutcome outcome =
      SearchLibrary(InScope(Name("song"), library.dir.Path(), true), NoProgress());
  EXPECT_EQ(Found(outcome),
            (std::vector<std::string>{"song of the sea.mkv@Films", "My Song.mp3@Music",
                                      "SONGS.txt@Live", "songbook@other"}));
  EXPECT_EQ(outcome.skipped_files, 2u);
  EXPECT_FALSE(outcome.cancelled);
  EXPECT_EQ(SearchFinishedText(outcome),
            "Search Finished\n\n2 files were skipped because they are not readable catalogs.");
  // Results carry the stored fields of the matching element.
  const CatalogRecord& record = outcome.results.Root()->children[1]->Record();
  EXPECT_EQ(record.Field(kFileSize), "12");
  EXPECT_EQ(record.Field(kFileExt), "mp3");
  EXPECT_EQ(record.Field(kFullPath), "");
}

TEST(Search, GroupCatalogAndDeletedCatalogScopes) {
  Library library;
  EXPECT_EQ(Found(SearchLibrary(InScope(Name("song"), library.dir / "Mp3", true), NoProgress())),
            (std::vector<std::string>{"My Song.mp3@Music", "SONGS.txt@Live"}));
  EXPECT_EQ(
      Found(SearchLibrary(InScope(Name("song"), library.dir / "Mp3/Sub/", true), NoProgress())),
      (std::vector<std::string>{"SONGS.txt@Live"}));
  EXPECT_EQ(
      Found(SearchLibrary(InScope(Name("SONG", true), library.dir / "Mp3/Sub/Live.2009.xml", false),
                          NoProgress())),
      (std::vector<std::string>{"SONGS.txt@Live"}));
  // A scope that is gone is an error, not an empty result.
  EXPECT_THROW(static_cast<void>(SearchLibrary(
                   InScope(Name("song"), library.dir / "Mp3/Deleted.xml", false), NoProgress())),
               LumivorError);
  // A directory entry matches like a file and is listed without its contents.
  EXPECT_EQ(Found(SearchLibrary(InScope(Name("disk"), library.dir / "Mp3/Music.xml", false),
                                NoProgress())),
            (std::vector<std::string>{"Disk@Music"}));
}

TEST(Search, LinksAreFollowedButEveryDirectorySearchedOnce) {
  Library library;
  std::filesystem::create_directory_symlink(library.dir.Path(), library.dir / "DVD/loop");
  std::filesystem::create_symlink(library.dir / "DVD/Films.xml", library.dir / "Mp3/link.xml");
  ASSERT_EQ(::mkfifo((library.dir / "DVD/fifo").c_str(), 0600), 0);
  EXPECT_EQ(Found(SearchLibrary(InScope(Name("sea"), library.dir.Path(), true), NoProgress())),
            (std::vector<std::string>{"song of the sea.mkv@Films", "song of the sea.mkv@link"}));
}

TEST(Search, ProgressShowsPathsLoadingTextAndNames) {
  TempDir dir;
  WriteFile(dir / "G/A.xml", Catalog("<file FileName=\"top\"><file FileName=\"inner\"/></file>"));
  RecordingProgress progress;
  const SearchOutcome outcome = SearchLibrary(InScope(Name("inner"), dir.Path(), true), progress);
  EXPECT_EQ(Found(outcome), std::vector<std::string>{"inner@A"});
  // Only the names of records that may hold the text go by: "top" cannot.
  EXPECT_EQ(progress.Texts(),
            (std::vector<std::string>{dir / "G", dir / "G/A.xml", "Loading info..", "inner"}));
  ASSERT_FALSE(progress.events.empty());
  EXPECT_EQ(progress.events.front().kind, RecordingProgress::Event::kShow);
  EXPECT_EQ(progress.events.front().text, "cancellable");
  EXPECT_FALSE(progress.visible);

  // A catalog that cannot hold the text is read but not walked: no names go by.
  RecordingProgress skipping;
  EXPECT_TRUE(SearchLibrary(InScope(Name("zebra"), dir.Path(), true), skipping).results.Empty());
  EXPECT_EQ(skipping.Texts(),
            (std::vector<std::string>{dir / "G", dir / "G/A.xml", "Loading info.."}));
}

TEST(Search, CancelStopsAtTheNextPollAndKeepsWhatWasFound) {
  TempDir dir;
  std::string entries = "<file FileName=\"dir\">";
  for (int i = 0; i < 10; ++i) entries += "<file FileName=\"song" + std::to_string(i) + "\"/>";
  entries += "</file>";
  WriteFile(dir / "A.xml", Catalog(entries));
  WriteFile(dir / "B.xml", Catalog("<file FileName=\"song in B\"/>"));
  for (const bool fast : {true, false}) {
    // The second form sends the file through the full XML reader.
    if (!fast) WriteFile(dir / "A.xml", Catalog("<?xml-stylesheet href=\"a\"?>" + entries));
    RecordingProgress progress;
    // The entries A.xml and B.xml are listed first, then "Loading info..", song0 and song1 go by
    // (before them "dir", which the full XML reader tests and the fast one knows cannot hold the
    // text); Cancel is pressed as song2 shows.
    progress.stop_after_texts = fast ? 5 : 6;
    const SearchOutcome outcome =
        SearchLibrary(InScope(Name("song"), dir.Path(), true), progress, progress.Token());
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(Found(outcome), (std::vector<std::string>{"song0@A", "song1@A", "song2@A"})) << fast;
    EXPECT_EQ(progress.texts, fast ? 6 : 7);
    EXPECT_FALSE(progress.visible);
  }
}

// The FileName of the record at `ordinal` of the catalog file, as the program loads it.
std::string NameAtOrdinal(const ResultSource& source) {
  const CatalogTree tree = LoadCatalog(source.catalog_path);
  std::size_t position = 0;
  std::string name = "(none)";
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (position++ == source.ordinal) name = std::string(node->Field(kFileName));
  });
  return name;
}

TEST(Search, EveryResultKnowsItsCatalogAndItsRecord) {
  TempDir dir;
  // Elements without FileName and of other names still count as records.
  const std::string entries =
      "<file FileName=\"Disk\" FileType=\"directory\"><file FileName=\"a\"/><other/>"
      "<file FileName=\"sub\"><file FileName=\"Song 1\"/></file></file>"
      "<file FileName=\"song 2\"/>";
  for (const bool fast : {true, false}) {
    // The second form sends the file through the full XML reader.
    WriteFile(dir / "G/A.xml", Catalog(fast ? entries : "<!-- c -->" + entries));
    WriteFile(dir / "G/B.xml", Catalog("<file FileName=\"x\"><file FileName=\"song b\"/></file>"));
    const SearchOutcome outcome =
        SearchLibrary(InScope(Name("song"), dir.Path(), true), NoProgress());
    ASSERT_EQ(Found(outcome), (std::vector<std::string>{"Song 1@A", "song 2@A", "song b@B"}));
    EXPECT_EQ(outcome.sources,
              (std::vector<ResultSource>{
                  {dir / "G/A.xml", 4}, {dir / "G/A.xml", 5}, {dir / "G/B.xml", 1}}))
        << fast;
    for (std::size_t i = 0; i < outcome.sources.size(); ++i) {
      EXPECT_EQ(NameAtOrdinal(outcome.sources[i]),
                outcome.results.Root()->children[i]->Field(kFileName));
    }
  }
  // A cancelled search keeps one source per result it kept, and says what it found.
  RecordingProgress progress;
  progress.stop_after_texts = 4;  // pressed as "Disk" shows; the search stops at "a"
  const SearchOutcome cancelled =
      SearchLibrary(InScope(Name("s"), dir.Path(), true), progress, progress.Token());
  EXPECT_TRUE(cancelled.cancelled);
  ASSERT_EQ(cancelled.sources.size(), 1u);
  ASSERT_EQ(cancelled.results.Root()->children.size(), 1u);
  EXPECT_EQ(SearchFinishedText(cancelled),
            "Search cancelled\n\n1 result was found before the cancel.");
}

TEST(Search, CountsOfResultsAndCatalogs) {
  EXPECT_EQ(CatalogCount({{"/l/a.xml", 1}, {"/l/b.xml", 0}, {"/l/a.xml", 4}}), 2u);
  EXPECT_EQ(CatalogCount({}), 0u);
  EXPECT_EQ(ResultCountText(12, 3, false), "12 results in 3 catalogs");
  EXPECT_EQ(ResultCountText(1, 1, false), "1 result in 1 catalog");
  EXPECT_EQ(ResultCountText(0, 0, true), "0 results in 0 catalogs (search cancelled)");
  SearchOutcome two;
  two.cancelled = true;
  two.sources = {{"/l/a.xml", 1}, {"/l/a.xml", 2}};
  EXPECT_EQ(SearchFinishedText(two), "Search cancelled\n\n2 results were found before the cancel.");
}

// The whole matching rule on the attributes of an element of the parsed document.
bool MatchesCriteria(const SearchCriteria& criteria, const XmlElement& element) {
  ExtraViews extras;
  for (const pugi::xml_attribute attribute : element.attributes()) {
    if (!IsFieldName(attribute.name())) extras.push_back({attribute.name(), attribute.value()});
  }
  const auto value = [&](int field) -> std::optional<std::string_view> {
    const pugi::xml_attribute attribute = element.attribute(FieldNames[field].data());
    if (!attribute) return std::nullopt;
    return std::string_view(attribute.value());
  };
  return SearchMatcher(criteria).Matches(value(kFileName), value(kFileExt), value(kDescription),
                                         &extras);
}

// The reference: every element below the root of the parsed document, tested with
// MatchesCriteria. Empty with `ok` false when the XML reader refuses the text.
std::vector<std::string> Reference(const std::string& text, const SearchCriteria& criteria,
                                   bool* ok) {
  XmlDocument document;
  std::vector<std::string> found;
  *ok = static_cast<bool>(document.load_buffer(text.data(), text.size(), kXmlParseOptions)) &&
        document.document_element();
  if (!*ok) return found;
  const XmlElement root = document.document_element();
  for (XmlElement node = root.first_child(); node && node != root;) {
    if (node.type() == pugi::node_element && MatchesCriteria(criteria, node)) {
      found.push_back(std::string(node.attribute("FileName").value()) + "@C");
    }
    if (node.type() == pugi::node_element && node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != root && !node.next_sibling()) node = node.parent();
    if (node != root) node = node.next_sibling();
  }
  return found;
}

TEST(Search, FastReadingAgreesWithTheXmlReader) {
  const std::string documents[] = {
      Catalog("<file FileName=\"a &amp; b\"/><file FileName=\"x&lt;y&gt;\" FileExt=\"q\"/>"),
      Catalog("<file FileName=\"&#115;ong\"/><file FileName=\"&#x53;ONG\"/>"),
      Catalog("<file FileName=\"my\tsong\"/><file FileName=\"my\r\nsong\"/>"),
      Catalog("<file FileName=\"new&#10;song\" Description=\"two&#10;lines\"/>"),
      Catalog("<!-- <file FileName=\"song\"/> --><file FileName=\"real song\"/>"),
      Catalog("<file FileName='single &quot;song&quot;' Description='it&apos;s'/>"),
      Catalog("\n  <file FileName=\"pretty\">\n    <file FileName=\"song\"/>\n  </file>\n"),
      Catalog("<file FileExt=\"song\"/><file FileName=\"\" FileExt=\"mp3\"/>"),
      Catalog("<other FileName=\"song\"><x><file FileName=\"deep song\"/></x></other>text"),
      Catalog("<file FileName=\"song\" FileName=\"second\"/>"),
      Catalog("<file FileName=\"a &unknown; song\"/>"),
      Catalog("<file FileName=\"caf\xC3\xA9 SONG\"/><![CDATA[song]]>"),
      "<fileinfo FileName=\"song\"/>",
      "\xEF\xBB\xBF<fileinfo><file FileName=\"bom song\"/></fileinfo>",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><fileinfo><file "
      "FileName=\"caf\xE9 song\"/></fileinfo>",
      "<fileinfo><file FileName=\"song\"/></fileinfo><!-- after -->",
      "<fileinfo><file FileName=\"song\"/>",
      "<fileinfo><file FileName=\"song\"/></fileinfo>junk",
      "<fileinfo><file FileName=\"song\"></fileinfo></file>",
      std::string("<fileinfo><file FileName=\"song\"/>\0<file FileName=\"song 2\"/></fileinfo>",
                  70),
  };
  std::vector<SearchCriteria> criteria = {Name("song"),     Name("SONG", true),  Name("my song"),
                                          Name(" "),        Name("a & b"),       Name("x<y>"),
                                          Name("\"song\""), Name("caf\xC3\xA9"), Name("it's")};
  SearchCriteria ext;
  ext.extension = "mp3";
  criteria.push_back(ext);
  SearchCriteria described = Name("new");
  described.description = "two\nlines";
  criteria.push_back(described);
  criteria.push_back(Name("song", false, true));

  TempDir dir;
  int index = 0;
  for (const auto& text : documents) {
    const std::string path = dir / ("C." + std::to_string(index++));
    WriteFile(path, text);
    for (const auto& c : criteria) {
      bool ok;
      const std::vector<std::string> expected = Reference(text, c, &ok);
      const SearchOutcome outcome = SearchLibrary(InScope(c, path, false), NoProgress());
      EXPECT_EQ(Found(outcome), expected) << text << " / [" << c.name << "]";
      EXPECT_EQ(outcome.skipped_files, ok ? 0u : 1u) << text << " / [" << c.name << "]";
    }
  }
}

// Random catalogs mixing the forms a file may take: entities, character references, raw tabs
// and line breaks, single quotes, comments, text, odd attributes and now and then a defect.
std::string RandomCatalog(std::mt19937& random) {
  const char* const pieces[] = {"song",    "SONG",  "so",     "ng",     "ong",      " ",
                                "\t",      "\r\n",  "&amp;",  "&lt;",   "&#115;",   "&#115;ong",
                                "&#x53;",  "&#10;", "&quot;", "&apos;", "\xC3\xA9", "x",
                                "&bogus;", "'",     ">"};
  auto text = [&] {
    std::string value;
    const int count = static_cast<int>(random() % 5);
    for (int i = 0; i < count; ++i) value += pieces[random() % std::size(pieces)];
    return value;
  };
  auto attribute = [&](const char* name) {
    const bool single = random() % 4 == 0;
    std::string value = text();
    if (single) {
      std::string escaped;
      for (char c : value) escaped += c == '\'' ? std::string("&apos;") : std::string(1, c);
      return std::string(" ") + name + "='" + escaped + "'";
    }
    std::string escaped;
    for (char c : value) escaped += c == '"' ? std::string("&quot;") : std::string(1, c);
    return std::string(" ") + name + "=\"" + escaped + "\"";
  };
  const char* const names[] = {"FileName", "FileExt", "Description", "Other", "FileName"};
  std::string out = random() % 2 ? "<?xml version=\"1.0\"?>" : "";
  out += "<fileinfo" + attribute("FileName") + ">";
  int open = 0;
  const int elements = 1 + static_cast<int>(random() % 12);
  for (int i = 0; i < elements; ++i) {
    // Most files keep to the plain form that is read without the full XML reader.
    switch (random() % 40) {
      case 0:
        out += "<!-- <file FileName=\"song\"/> -->";
        break;
      case 1:
        out += "\n  text song ";
        break;
      case 2:
      case 3:
      case 4:
      case 5:
        if (open > 0) {
          out += "</file>";
          --open;
        }
        break;
      default: {
        out += "<file";
        const int attributes = static_cast<int>(random() % 4);
        for (int a = 0; a < attributes; ++a) out += attribute(names[random() % std::size(names)]);
        if (random() % 3 == 0) {
          out += ">";
          ++open;
        } else {
          out += "/>";
        }
      }
    }
  }
  while (open-- > 0) out += "</file>";
  out += "</fileinfo>";
  if (random() % 15 == 0) out.resize(random() % out.size());       // cut off
  if (random() % 15 == 0) out.insert(random() % out.size(), "<");  // broken
  return out;
}

TEST(Search, RandomCatalogsAgreeWithTheXmlReader) {
  std::mt19937 random(20241208);
  const SearchCriteria criteria[] = {
      Name("song"), Name("SONG", true), Name("so ng"),    Name("song", false, true),
      Name("&"),    Name("'s"),         Name("\xC3\xA9"), Name(">x")};
  TempDir dir;
  for (int round = 0; round < 400; ++round) {
    const std::string text = RandomCatalog(random);
    const std::string path = dir / "C.xml";
    WriteFile(path, text);
    for (const auto& c : criteria) {
      bool ok;
      const std::vector<std::string> expected = Reference(text, c, &ok);
      const SearchOutcome outcome = SearchLibrary(InScope(c, path, false), NoProgress());
      ASSERT_EQ(Found(outcome), expected) << text << " / [" << c.name << "]";
      // A file the reader refuses is counted unless its damage lies inside and it cannot match.
      EXPECT_EQ(outcome.skipped_files, ok ? 0u : outcome.skipped_files)
          << text << " / [" << c.name << "]";
      EXPECT_LE(outcome.skipped_files, 1u);
    }
  }
}

TEST(Search, UnreadableAndForeignFilesAreCountedAndTheSearchGoesOn) {
  TempDir dir;
  WriteFile(dir / "a.xml", "\x89PNG\r\n\x1a\n binary");
  WriteFile(dir / "b.xml", "just some words about a song");
  WriteFile(dir / "c.xml", Catalog("<file FileName=\"song\"/>"));
  WriteFile(dir / "d.xml", std::string("<\0f\0", 4));
  WriteFile(dir / "e.xml", "junk before <fileinfo><file FileName=\"song\"/></fileinfo>");
  WriteFile(dir / "f.xml", std::string(100, ' ') + Catalog("<file FileName=\"song f\"/>"));
  const SearchOutcome outcome =
      SearchLibrary(InScope(Name("song"), dir.Path(), true), NoProgress());
  EXPECT_EQ(Found(outcome), (std::vector<std::string>{"song@c", "song f@f"}));
  EXPECT_EQ(outcome.skipped_files, 4u);
  EXPECT_EQ(SearchFinishedText({CatalogTree(), 1, false, {}}),
            "Search Finished\n\n1 file was skipped because it is not a readable catalog.");
}

TEST(Search, CatalogsWrittenByTheProgramAreFoundWhateverTheirSize) {
  TempDir dir;
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr);
  top->SetField(kFileName, "Disk");
  for (int i = 0; i < 3000; ++i) {
    auto* node = tree.AddChild(top);
    node->SetField(kFileName, "file " + std::to_string(i) + (i % 1000 == 7 ? " Hit" : ""));
    node->SetField(kDescription, "line\nbreak & <tag>");
  }
  WriteCatalogFile(tree, dir / "Big.xml", NoProgress());
  const SearchOutcome outcome =
      SearchLibrary(InScope(Name("hit"), dir / "Big.xml", false), NoProgress());
  EXPECT_EQ(Found(outcome),
            (std::vector<std::string>{"file 7 Hit@Big", "file 1007 Hit@Big", "file 2007 Hit@Big"}));
  EXPECT_EQ(outcome.results.Top()->Field(kDescription), "line\nbreak & <tag>");
  SearchCriteria description;
  description.description = "break & <tag>";
  description.scope_path = dir / "Big.xml";
  EXPECT_EQ(SearchLibrary(description, NoProgress()).results.Size(), 3000u);
}

}  // namespace
}  // namespace lumivor
