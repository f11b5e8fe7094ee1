#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

std::string LastLine(const std::string& text) {
  const std::size_t end = text.size() - (text.empty() || text.back() != '\n' ? 0 : 1);
  const std::size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1));
}

// The lines of `text` that start with a tab: the copies of duplicate groups, as "CATALOG\tPATH".
std::vector<std::string> CopyLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    if (!line.empty() && line[0] == '\t') lines.push_back(line.substr(1));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// The mtime of `path` put back to `seconds` after an edit.
void SetTime(const std::string& path, time_t seconds) {
  const struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

class CopiesCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(library_);
    // Disk one: a photo, its copy under another name, a text, an empty file, a hard link.
    WriteFile(one_ + "/photos/a.jpg", std::string(5000, 'a'));
    WriteFile(one_ + "/photos/copy of a.jpg", std::string(5000, 'a'));
    WriteFile(one_ + "/notes.txt", "same name, other content");
    WriteFile(one_ + "/empty", "");
    WriteFile(one_ + "/big.bin", std::string(7000, 'b'));
    ASSERT_EQ(::link((one_ + "/big.bin").c_str(), (one_ + "/big-link.bin").c_str()), 0);
    // Disk two: a copy of the photo in another folder, notes.txt with other content, an empty
    // file, and a file found nowhere else.
    WriteFile(two_ + "/backup/2020/a.jpg", std::string(5000, 'a'));
    WriteFile(two_ + "/notes.txt", "same name, other CONTENT");
    WriteFile(two_ + "/empty", "");
    WriteFile(two_ + "/only-here.dat", "unique");
  }

  testing::CommandResult Scan(const std::string& source, const std::string& name,
                              const std::string& extra = "--hash") {
    return RunCommand(Cli() + " scan '" + source + "' --name " + name + " --library '" + library_ +
                      "' " + extra);
  }

  TempDir dir_;
  std::string library_ = dir_ / "lib";
  std::string one_ = dir_ / "one";
  std::string two_ = dir_ / "two";
};

TEST_F(CopiesCommands, ScanHashesEqualWhatXxhsumPrints) {
  WriteFile(one_ + "/sparse", "");
  ASSERT_EQ(::truncate((one_ + "/sparse").c_str(), 3 << 20), 0);
  ASSERT_EQ(Scan(one_, "One").status, 0);
  const std::string shown = RunCommand(Cli() + " show '" + library_ + "/One.xml' --json").out;
  for (const char* name : {"photos/a.jpg", "notes.txt", "empty", "sparse", "big.bin"}) {
    const auto sum = RunCommand("xxhsum -H2 '" + one_ + "/" + name + "'");
    ASSERT_EQ(sum.status, 0) << "xxhsum is needed for this test";
    const std::string hex = sum.out.substr(0, 32);
    EXPECT_NE(shown.find("\"Hash\":\"xxh128:" + hex + "\""), std::string::npos) << name;
  }
  // Hard links carry the same LinkId; a plain file none.
  struct stat info;
  ASSERT_EQ(::stat((one_ + "/big.bin").c_str(), &info), 0);
  const std::string link_id =
      "\"LinkId\":\"" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + "\"";
  const std::size_t first = shown.find(link_id);
  ASSERT_NE(first, std::string::npos);
  const std::size_t second = shown.find(link_id, first + 1);
  EXPECT_NE(second, std::string::npos);
  EXPECT_EQ(shown.find("LinkId", second + link_id.size()),
            std::string::npos);  // only the two links

  // Without --hash a catalog holds no hash.
  ASSERT_EQ(Scan(one_, "Plain", "").status, 0);
  EXPECT_EQ(ReadFile(library_ + "/Plain.xml").find("Hash="), std::string::npos);
}

TEST_F(CopiesCommands, DuplicatesGroupEqualContentAcrossCatalogsOnly) {
  ASSERT_EQ(Scan(one_, "One").status, 0);
  ASSERT_EQ(Scan(two_, "Two").status, 0);
  const auto result = RunCommand(Cli() + " duplicates --library '" + library_ + "'");
  ASSERT_EQ(result.status, 0) << result.err;
  // One group: the photo three times. Not the empty files, not notes.txt (other content), not the
  // hard links of big.bin (one file).
  EXPECT_EQ(LastLine(result.out), "groups=1 copies=3 wasted=10000");
  const std::vector<std::string> copies = CopyLines(result.out);
  EXPECT_EQ(std::set<std::string>(copies.begin(), copies.end()),
            (std::set<std::string>{"One.xml\t" + one_ + "/photos/a.jpg",
                                   "One.xml\t" + one_ + "/photos/copy of a.jpg",
                                   "Two.xml\t" + two_ + "/backup/2020/a.jpg"}));

  // By name and size notes.txt makes a group too (equal names and sizes), a likely copy only.
  const auto likely = RunCommand(Cli() + " duplicates --by name-size --library '" + library_ + "'");
  ASSERT_EQ(likely.status, 0);
  EXPECT_NE(likely.out.find("likely copies"), std::string::npos);
  EXPECT_EQ(LastLine(likely.out), "groups=2 copies=4 wasted=5024");

  const auto json = RunCommand(Cli() + " duplicates --json --library '" + library_ + "'");
  EXPECT_NE(json.out.find("\"size\":5000,\"hash\":\"xxh128:"), std::string::npos);
  EXPECT_EQ(LastLine(json.out),
            "{\"groups\":1,\"copies\":3,\"wasted\":10000,\"unhashed\":0,\"proven\":true}");

  const auto scoped = RunCommand(Cli() + " duplicates --scope '" + library_ + "/Two.xml'" +
                                 " --library '" + library_ + "'");
  EXPECT_EQ(LastLine(scoped.out), "groups=0 copies=0 wasted=0");
}

TEST_F(CopiesCommands, DuplicatesThroughTheIndexAreThoseOfTheFiles) {
  // A third medium with another copy of the photo and of big.bin, and one catalog without hashes.
  const std::string three = dir_ / "three";
  WriteFile(three + "/a.jpg", std::string(5000, 'a'));
  WriteFile(three + "/big copy.bin", std::string(7000, 'b'));
  ASSERT_EQ(Scan(one_, "One").status, 0);
  ASSERT_EQ(Scan(two_, "Two", "").status, 0);
  fs::create_directories(library_ + "/Backups");
  ASSERT_EQ(Scan(three, "Three", "--hash --group Backups").status, 0);
  for (const std::string& scope : {std::string(), " --scope '" + library_ + "/Backups'" +
                                                      " --scope '" + library_ + "/One.xml'"}) {
    const std::string command = Cli() + " duplicates --library '" + library_ + "'" + scope;
    const auto indexed = RunCommand(command);
    const auto read = RunCommand(command + " --no-index");
    ASSERT_EQ(indexed.status, 0) << indexed.err;
    EXPECT_EQ(indexed.out, read.out);
    EXPECT_EQ(LastLine(indexed.out), "groups=2 copies=5 wasted=17000");
    // The same in JSON (the hard link as a further path), and without the smaller files.
    for (const char* shown : {" --json", " --min-size 6000", " --min-size 6000 --json"}) {
      EXPECT_EQ(RunCommand(command + shown).out, RunCommand(command + shown + " --no-index").out)
          << shown;
    }
  }
  // big.bin and its hard link are one copy, the link shown beside it.
  const auto json = RunCommand(Cli() + " duplicates --json --library '" + library_ + "'");
  EXPECT_NE(json.out.find("\"links\":[\"" + one_ + "/big"), std::string::npos) << json.out;
  EXPECT_NE(RunCommand(Cli() + " duplicates --library '" + library_ + "'")
                .out.find("3 files have no hash"),
            std::string::npos);

  // The index follows a catalog made again without one copy, and one taken out of the library:
  // its counts of files per content go down with them.
  fs::remove(three + "/big copy.bin");
  ASSERT_EQ(Scan(three, "Three", "--hash --force --group Backups").status, 0);
  const std::string command = Cli() + " duplicates --library '" + library_ + "'";
  auto indexed = RunCommand(command);
  EXPECT_EQ(indexed.out, RunCommand(command + " --no-index").out);
  EXPECT_EQ(LastLine(indexed.out), "groups=1 copies=3 wasted=10000");
  fs::remove(library_ + "/Backups/Three.xml");
  indexed = RunCommand(command);
  EXPECT_EQ(indexed.out, RunCommand(command + " --no-index").out);
  EXPECT_EQ(LastLine(indexed.out), "groups=1 copies=2 wasted=5000");
}

TEST_F(CopiesCommands, DuplicatesLeaveOutAndCountFilesWithoutHash) {
  ASSERT_EQ(Scan(one_, "One", "").status, 0);
  const auto result = RunCommand(Cli() + " duplicates --library '" + library_ + "'");
  EXPECT_NE(result.out.find("5 files have no hash"), std::string::npos) << result.out;
  EXPECT_EQ(LastLine(result.out), "groups=0 copies=0 wasted=0");
}

TEST_F(CopiesCommands, CoverageListsFilesWithoutCopyAndExitsThree) {
  ASSERT_EQ(Scan(one_, "One").status, 0);
  ASSERT_EQ(Scan(two_, "Two").status, 0);
  // A live folder: its own catalog (Two) is no copy of it.
  const auto live = RunCommand(Cli() + " coverage '" + two_ + "' --library '" + library_ + "'");
  EXPECT_EQ(live.status, 3) << live.err;
  EXPECT_EQ(live.out, two_ + "/notes.txt\n" + two_ + "/only-here.dat\n" +
                          "files=3 with_copy=1 without_copy=2 bytes_without_copy=30\n");
  // Only files whose size occurs elsewhere were read: the photo and notes.txt.
  EXPECT_NE(live.err.find("read 5024 of 5030 bytes"), std::string::npos) << live.err;

  // The same from the catalog.
  const auto catalog =
      RunCommand(Cli() + " coverage '" + library_ + "/Two.xml' --library '" + library_ + "'");
  EXPECT_EQ(catalog.status, 3);
  EXPECT_EQ(LastLine(catalog.out), "files=3 with_copy=1 without_copy=2 bytes_without_copy=30");

  // Against Two only, every file of Two has its copy; against a catalog without the photo none.
  const auto self = RunCommand(Cli() + " coverage '" + two_ + "/backup' --against '" + library_ +
                               "/One.xml' --library '" + library_ + "'");
  EXPECT_EQ(self.status, 0) << self.out << self.err;
  EXPECT_EQ(LastLine(self.out), "files=1 with_copy=1 without_copy=0 bytes_without_copy=0");

  const auto missing = RunCommand(Cli() + " coverage '" + dir_.Path() + "/nowhere'");
  EXPECT_EQ(missing.status, 1);
}

TEST_F(CopiesCommands, CompareCountsEachKindOfDifference) {
  ASSERT_EQ(Scan(one_, "Before").status, 0);
  fs::rename(one_ + "/photos/copy of a.jpg", one_ + "/moved.jpg");
  fs::remove(one_ + "/notes.txt");
  WriteFile(one_ + "/new.txt", "new");
  // A new big.bin; big-link.bin keeps the old content.
  fs::remove(one_ + "/big.bin");
  WriteFile(one_ + "/big.bin", std::string(7001, 'b'));
  ASSERT_EQ(Scan(one_, "After").status, 0);
  // A description on one side only.
  std::string text = ReadFile(library_ + "/After.xml");
  const std::string anchor = "FileName=\"a.jpg\"";
  text.insert(text.find(anchor) + anchor.size(), " Description=\"holiday\"");
  WriteFile(library_ + "/After.xml", text);

  const auto result =
      RunCommand(Cli() + " compare '" + library_ + "/Before.xml' '" + library_ + "/After.xml'");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("moved photos/copy of a.jpg -> moved.jpg\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("only_a notes.txt\n"), std::string::npos);
  EXPECT_NE(result.out.find("only_b new.txt\n"), std::string::npos);
  EXPECT_NE(result.out.find("changed big.bin (size 7000 -> 7001"), std::string::npos);
  EXPECT_NE(result.out.find("same photos/a.jpg\n  description:  -> holiday\n"), std::string::npos);
  // big-link.bin is the same inode as big.bin, now unlinked from it: unchanged.
  EXPECT_EQ(LastLine(result.out), "only_a=1 only_b=1 changed=1 moved=1 same=3");

  const auto json = RunCommand(Cli() + " compare --json '" + library_ + "/Before.xml' '" +
                               library_ + "/After.xml'");
  EXPECT_NE(json.out.find("{\"kind\":\"moved\",\"from\":\"photos/copy of a.jpg\",\"to\":"
                          "\"moved.jpg\""),
            std::string::npos);
  EXPECT_EQ(LastLine(json.out), "{\"only_a\":1,\"only_b\":1,\"changed\":1,\"moved\":1,\"same\":3}");
}

TEST_F(CopiesCommands, VerifyFindsAFlippedByteBehindAnUnchangedTime) {
  ASSERT_EQ(Scan(one_, "One").status, 0);
  const std::string catalog = library_ + "/One.xml";
  const auto clean = RunCommand(Cli() + " verify '" + catalog + "'");
  EXPECT_EQ(clean.status, 0) << clean.err;
  EXPECT_EQ(clean.out, "checked=6 ok=6 damaged=0 changed=0 missing=0 unhashed=0\n");

  struct stat info;
  ASSERT_EQ(::stat((one_ + "/photos/a.jpg").c_str(), &info), 0);
  std::string bytes = ReadFile(one_ + "/photos/a.jpg");
  bytes[1234] ^= 1;
  WriteFile(one_ + "/photos/a.jpg", bytes);
  SetTime(one_ + "/photos/a.jpg", info.st_mtime);
  fs::remove(one_ + "/notes.txt");
  WriteFile(one_ + "/empty", "now with content");

  const std::string before = ReadFile(catalog);
  const auto result = RunCommand(Cli() + " verify '" + catalog + "'");
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.out.find("damaged " + one_ + "/photos/a.jpg"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("missing " + one_ + "/notes.txt\n"), std::string::npos);
  EXPECT_NE(result.out.find("changed " + one_ + "/empty (size 0 -> 16"), std::string::npos);
  EXPECT_EQ(LastLine(result.out), "checked=6 ok=3 damaged=1 changed=1 missing=1 unhashed=0");
  EXPECT_EQ(ReadFile(catalog), before);  // writes nothing

  // Read from a copy of the medium elsewhere.
  fs::copy(one_, dir_ / "elsewhere", fs::copy_options::recursive);
  const auto moved =
      RunCommand(Cli() + " verify '" + catalog + "' --from '" + dir_.Path() + "/elsewhere' --json");
  EXPECT_NE(moved.out.find("{\"kind\":\"missing\",\"path\":\"" + one_ + "/notes.txt\"}"),
            std::string::npos)
      << moved.out;
}

TEST_F(CopiesCommands, UpdateHashesOnlyWhatChangedUnlessAskedToRehash) {
  ASSERT_EQ(Scan(one_, "One").status, 0);
  const std::string catalog = library_ + "/One.xml";
  // A hash the update must keep as it is for an unchanged file, so that a read would show.
  std::string text = ReadFile(catalog);
  const std::size_t notes = text.find("FileName=\"notes.txt\"");
  const std::size_t hash = text.find("Hash=\"xxh128:", notes) + 13;
  text.replace(hash, 32, std::string(32, '0'));
  WriteFile(catalog, text);
  WriteFile(one_ + "/big.bin", std::string(7001, 'c'));

  ASSERT_EQ(RunCommand(Cli() + " update '" + catalog + "' --hash").status, 0);
  text = ReadFile(catalog);
  EXPECT_NE(text.find("Hash=\"xxh128:" + std::string(32, '0')), std::string::npos);
  const auto sum = RunCommand("xxhsum -H2 '" + one_ + "/big.bin'");
  EXPECT_NE(text.find(sum.out.substr(0, 32)), std::string::npos);

  ASSERT_EQ(RunCommand(Cli() + " update '" + catalog + "' --rehash").status, 0);
  EXPECT_EQ(ReadFile(catalog).find(std::string(32, '0')), std::string::npos);
}

}  // namespace
}  // namespace lumivor
