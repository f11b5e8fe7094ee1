#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "catalog/catalog_file.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

// The entries of a folder, sorted, one per line ("/" after folders), at any depth.
std::string Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    names.push_back(std::filesystem::relative(entry.path(), folder).string() +
                    (entry.is_directory() ? "/" : ""));
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& name : names) out += name + "\n";
  return out;
}

// "FileName FileSize SizePercentage CatalogName" for each line that `show` printed.
std::string Summary(const std::string& show_output) {
  std::string out;
  std::size_t line_start = show_output.find('\n') + 1;  // past the header
  while (line_start < show_output.size()) {
    const std::size_t line_end = show_output.find('\n', line_start);
    std::vector<std::string> cells;
    std::size_t at = line_start;
    for (;;) {
      const std::size_t tab = show_output.find('\t', at);
      if (tab == std::string::npos || tab > line_end) {
        cells.push_back(show_output.substr(at, line_end - at));
        break;
      }
      cells.push_back(show_output.substr(at, tab - at));
      at = tab + 1;
    }
    if (cells.size() == 12) {
      out += cells[0] + " " + cells[1] + " " + cells[3] + " " + cells[10] + " " + cells[11] + "\n";
    }
    line_start = line_end + 1;
  }
  return out;
}

class ScanCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(source_ / "a.txt", std::string(100, 'a'));
    WriteFile(source_ / "sub/b.doc", std::string(300, 'b'));
    WriteFile(source_ / "sub/c.gz", std::string(600, 'c'));
    ::mkdir(library_.Path().c_str(), 0755);
  }
  std::string Scan(const std::string& arguments) const {
    return Cli() + " scan '" + source_.Path() + "' --library '" + library_.Path() + "' " +
           arguments;
  }
  TempDir source_, library_;
};

TEST_F(ScanCommand, WritesACatalogThatShowPrintsBackWithItsSizes) {
  const auto scan = RunCommand(Scan("--name 'Backup.2024' --group Disks"));
  ASSERT_EQ(scan.status, 0) << scan.err;
  const std::string catalog = library_ / "Disks/Backup.2024.xml";
  EXPECT_EQ(scan.out, catalog + "\n");
  EXPECT_EQ(scan.err, "");  // no progress line when stderr is not a terminal
  const auto show = RunCommand(Cli() + " show '" + catalog + "'");
  ASSERT_EQ(show.status, 0) << show.err;
  // Folders and files come in the order the file system listed them; compare them sorted.
  std::string summary = Summary(show.out);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < summary.size();) {
    const std::size_t end = summary.find('\n', at);
    lines.push_back(summary.substr(at, end - at));
    at = end + 1;
  }
  std::sort(lines.begin() + 1, lines.end());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "0 " + source_.Path() + " 1000 100 Backup");
  EXPECT_EQ(lines[1], "1 a.txt 100 10.00 Backup");
  EXPECT_EQ(lines[2], "1 sub 900 90.00 Backup");
  EXPECT_EQ(lines[3], "2 b.doc 300 30.00 Backup");
  EXPECT_EQ(lines[4], "2 c.gz 600 60.00 Backup");
}

TEST_F(ScanCommand, ScopesSelectTheRecords) {
  ASSERT_EQ(RunCommand(Scan("--name Docs --ext txt,.DOC")).status, 0);
  const std::string docs = ReadFile(library_ / "Docs.xml");
  EXPECT_NE(docs.find("FileName=\"a.txt\""), std::string::npos);
  EXPECT_NE(docs.find("FileName=\"b.doc\""), std::string::npos);
  EXPECT_EQ(docs.find("c.gz"), std::string::npos);
  EXPECT_NE(docs.find("FileSize=\"400\""), std::string::npos);

  ASSERT_EQ(RunCommand(Scan("--name Tree --only-folders")).status, 0);
  const std::string tree = ReadFile(library_ / "Tree.xml");
  EXPECT_EQ(tree.find("a.txt"), std::string::npos);
  EXPECT_NE(tree.find("FileName=\"sub\""), std::string::npos);
  EXPECT_EQ(tree.find("SizePercentage"), std::string::npos);

  // The two scopes exclude each other.
  const auto both = RunCommand(Scan("--name X --only-folders --ext txt"));
  EXPECT_NE(both.status, 0);
  EXPECT_FALSE(std::filesystem::exists(library_ / "X.xml"));
}

TEST_F(ScanCommand, ExtensionsMeanTheSameHoweverTyped) {
  ASSERT_EQ(RunCommand(Scan("--name Star --ext '*.TXT'")).status, 0);
  const std::string star = ReadFile(library_ / "Star.xml");
  EXPECT_NE(star.find("FileName=\"a.txt\""), std::string::npos);
  EXPECT_EQ(star.find("b.doc"), std::string::npos);
  // No file passes: the scanned folder is still recorded.
  ASSERT_EQ(RunCommand(Scan("--name None --ext pdf")).status, 0);
  const CatalogTree none = LoadCatalog(library_ / "None.xml");
  ASSERT_EQ(none.Size(), 1u);
  EXPECT_EQ(none.Top()->Field(kFileName), source_.Path());
  // What names no extension is refused before anything is scanned.
  const auto refused = RunCommand(Scan("--name Bad --ext '*.*'"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "Invalid extension: \"*.*\": Invalid extension. Type an extension such "
            "as txt, .txt or *.txt.\n");
  EXPECT_FALSE(std::filesystem::exists(library_ / "Bad.xml"));
  // An extension with a dot can never match: refused with the reason.
  const auto dotted = RunCommand(Scan("--name Bad --ext 'txt,tar.gz'"));
  EXPECT_EQ(dotted.status, 1);
  EXPECT_NE(dotted.err.find("the extension of \"a.tar.gz\" is \"gz\""), std::string::npos)
      << dotted.err;
  EXPECT_FALSE(std::filesystem::exists(library_ / "Bad.xml"));
  // A list typed with blanks after the commas keeps every kind.
  ASSERT_EQ(RunCommand(Scan("--name Two --ext 'txt, gz'")).status, 0);
  const std::string two = ReadFile(library_ / "Two.xml");
  EXPECT_NE(two.find("FileName=\"a.txt\""), std::string::npos);
  EXPECT_NE(two.find("FileName=\"c.gz\""), std::string::npos);
  EXPECT_EQ(two.find("b.doc"), std::string::npos);
}

TEST_F(ScanCommand, RefusesAnExistingCatalogUnlessForced) {
  WriteFile(library_ / "Old.xml", "precious");
  const auto refused = RunCommand(Scan("--name Old"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, library_ / "Old.xml" +
                             ": Catalog with the same name already exists, use --force to "
                             "overwrite\n");
  EXPECT_EQ(ReadFile(library_ / "Old.xml"), "precious");

  // What is there is no catalog whose notes could be counted: replacing it takes being sure.
  const auto unsure = RunCommand(Scan("--name Old --force"));
  EXPECT_EQ(unsure.status, 1);
  EXPECT_EQ(ReadFile(library_ / "Old.xml"), "precious");
  const auto forced = RunCommand(Scan("--name Old --force --drop-descriptions"));
  EXPECT_EQ(forced.status, 0) << forced.err;
  // A catalog without descriptions is replaced by --force alone.
  const auto again = RunCommand(Scan("--name Old --force"));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(ReadFile(library_ / "Old.xml").find("FileName=\"a.txt\""), std::string::npos);
}

TEST_F(ScanCommand, ForceKeepsACatalogWithDescriptionsUnlessTheyMayBeDropped) {
  const std::string old_text =
      "<fileinfo><file FileName=\"/old\" Description=\"shelf 3\"><file FileName=\"a.txt\" "
      "Description=\"the draft\"/></file></fileinfo>";
  WriteFile(library_ / "Notes.xml", old_text);
  const auto refused = RunCommand(Scan("--name Notes --force"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, library_ / "Notes.xml" +
                             ": the catalog holds 2 descriptions, which a new scan would lose; "
                             "keep them with: lumivor-cli update '" +
                             library_ / "Notes.xml" + "' --from '" + source_.Path() +
                             "', or use --drop-descriptions to replace it\n");
  EXPECT_EQ(ReadFile(library_ / "Notes.xml"), old_text);
  // A catalog that cannot be read cannot be said to hold none.
  WriteFile(library_ / "Broken.xml", "<fileinfo><file FileName=");
  const auto unreadable = RunCommand(Scan("--name Broken --force"));
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_NE(unreadable.err.find("cannot be counted"), std::string::npos) << unreadable.err;
  // Told twice, the scan replaces it.
  const auto dropped = RunCommand(Scan("--name Notes --force --drop-descriptions"));
  EXPECT_EQ(dropped.status, 0) << dropped.err;
  EXPECT_EQ(ReadFile(library_ / "Notes.xml").find("the draft"), std::string::npos);
}

TEST_F(ScanCommand, RefusesNamesThatLeaveTheirFolderAndWritesNothing) {
  const std::pair<const char*, const char*> names[] = {
      {"''", "Invalid name. The name is empty.\n"},
      {".", "Invalid name. A name cannot begin with a \".\".\n"},
      {"..", "Invalid name. A name cannot begin with a \".\".\n"},
      {".x", "Invalid name. A name cannot begin with a \".\".\n"},
      {"a/b", "Invalid name. A name cannot hold a \"/\".\n"},
      {"../escape", "Invalid name. A name cannot begin with a \".\".\n"}};
  for (const auto& [name, refusal] : names) {
    const auto result = RunCommand(Scan(std::string("--name ") + name));
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(result.err, refusal) << name;
  }
  for (const char* group : {"''", ".", "..", ".hidden", "x/y", "/abs"}) {
    const auto result = RunCommand(Scan(std::string("--name Fine --group ") + group));
    EXPECT_EQ(result.status, 1) << group;
    EXPECT_EQ(result.err, "Invalid group.\n") << group;
  }
  EXPECT_EQ(Listing(library_.Path()), "");
  EXPECT_FALSE(std::filesystem::exists(library_.Path() + "/../escape.xml"));
}

TEST_F(ScanCommand, NameLengthIsCheckedBeforeTheScan) {
  // 251 bytes and ".xml" make the longest file name; the temporary file must fit beside it.
  const std::string longest(251, 'n');
  const auto fits = RunCommand(Scan("--name " + longest));
  EXPECT_EQ(fits.status, 0) << fits.err;
  EXPECT_TRUE(std::filesystem::is_regular_file(library_ / (longest + ".xml")));
  // Bytes count, not characters: 126 two-byte letters are 252 bytes.
  std::string accented;
  for (int i = 0; i < 126; ++i) accented += "\xC3\xA9";
  for (const std::string& name : {std::string(252, 'n'), std::string(300, 'n'), accented}) {
    const auto refused = RunCommand(Scan("--name '" + name + "'"));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err,
              "The catalog name is too long: its file name (with \".xml\") may have at most 255 "
              "bytes.\n");
  }
  EXPECT_EQ(Listing(library_.Path()), longest + ".xml\n");
  const auto hidden = RunCommand(Scan("--name .hidden"));
  EXPECT_EQ(hidden.status, 1);
  EXPECT_EQ(hidden.err, "Invalid name. A name cannot begin with a \".\".\n");
}

TEST_F(ScanCommand, ReportsAMissingSourceOrLibrary) {
  const auto no_source = RunCommand(Cli() + " scan '" + source_ / "missing" +
                                    "' --name A --library '" + library_.Path() + "'");
  EXPECT_EQ(no_source.status, 1);
  EXPECT_EQ(no_source.err, source_ / "missing" + ": No such file or directory\n");
  const auto no_library = RunCommand(Cli() + " scan '" + source_.Path() + "' --name A --library '" +
                                     library_ / "none" + "'");
  EXPECT_EQ(no_library.status, 1);
  EXPECT_EQ(no_library.err, library_ / "none" + ": No catalog library there\n");
  EXPECT_EQ(Listing(library_.Path()), "");
}

TEST_F(ScanCommand, WithoutLibraryUsesTheDefaultOneOfTheUser) {
  // A copy of the program outside its build tree, even in a writable folder, keeps its library
  // in the user's data folder, not beside itself.
  TempDir home;
  const std::string program = home / "lumivor-cli";
  std::filesystem::copy_file(LUMIVOR_CLI_PATH, program);
  const auto result =
      RunCommand("env -u LUMIVOR_DATA_DIR XDG_DATA_HOME='" + home / "data" + "' '" + program +
                 "' scan '" + source_.Path() + "' --name Mine --group Disks");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, home / "data/lumivor/CatalogLibrary/Disks/Mine.xml\n");
  // The library is made with its default groups, as the program makes it.
  EXPECT_TRUE(std::filesystem::is_directory(home / "data/lumivor/CatalogLibrary/Mp3"));
  EXPECT_FALSE(std::filesystem::exists(home / "CatalogLibrary"));
}

}  // namespace
}  // namespace lumivor
