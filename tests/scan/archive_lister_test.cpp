#include "scan/archive_lister.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "media_fixtures.h"

namespace lumivor {
namespace {

using testing::HaveTool;
using testing::Make;
using testing::Quote;
using testing::TempDir;
using testing::WriteFile;

// One line per entry: depth, path, "d" or "f", size.
std::string Outline(const ArchiveListing& listing) {
  std::string out;
  for (const ArchiveEntry& entry : listing.entries) {
    out += std::to_string(entry.depth) + " " + entry.path + " " + (entry.directory ? "d" : "f") +
           " " + std::to_string(entry.size) + "\n";
  }
  return out;
}

// A folder "src" with a nested file, a top-level file, an empty folder and non-ASCII names,
// every entry dated 2020-01-02 03:04:05 UTC.
std::string MakeSource(const TempDir& dir) {
  const std::string src = dir / "src";
  WriteFile(src + "/docs/deep/notes.txt", std::string(100, 'n'));
  WriteFile(src + "/docs/Ærø ünïcödé 日本.txt", std::string(30, 'u'));
  WriteFile(src + "/top.bin", std::string(7, 't'));
  std::filesystem::create_directories(src + "/empty");
  Make("find " + Quote(src) + " -exec touch -h -d '2020-01-02 03:04:05 UTC' {} +");
  return src;
}

constexpr std::time_t kSourceTime = 1577934245;

// The outline of the source's "docs" and "top.bin", whether the archive stores its folders or
// only implies them.
constexpr const char* kDocsAndTop =
    "0 docs d 130\n"
    "1 docs/deep d 100\n"
    "2 docs/deep/notes.txt f 100\n"
    "1 docs/Ærø ünïcödé 日本.txt f 30\n"
    "0 top.bin f 7\n";

TEST(ArchiveNameTest, KnowsArchivesByTheirEnding) {
  for (const char* name :
       {"a.zip", "B.ZIP", "x.7z", "x.rar", "x.tar", "x.tar.gz", "x.TGZ", "x.tar.bz2", "x.tbz2",
        "x.tar.xz", "x.txz", "x.tar.zst", "x.iso", "x.cpio", "x.tar.Z"}) {
    EXPECT_TRUE(IsArchiveName(name)) << name;
  }
  for (const char* name : {"notes.gz", "zip", ".zip", "a.zipx", "a.tar.gz.part", "a.txt"}) {
    EXPECT_FALSE(IsArchiveName(name)) << name;
  }
}

TEST(ArchiveListerTest, ZipWithFolderEntries) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  const std::string src = MakeSource(dir);
  ASSERT_TRUE(Make("cd " + Quote(src) + " && zip -q -r ../a.zip docs top.bin empty"));
  const ArchiveListing listing = ListArchive(dir / "a.zip");
  ASSERT_EQ(listing.outcome, ArchiveOutcome::kListed);
  EXPECT_EQ(Outline(listing),
            "0 docs d 130\n"
            "1 docs/deep d 100\n"
            "2 docs/deep/notes.txt f 100\n"
            "1 docs/Ærø ünïcödé 日本.txt f 30\n"
            "0 top.bin f 7\n"
            "0 empty d 0\n");
  for (const ArchiveEntry& entry : listing.entries) {
    EXPECT_EQ(entry.mtime, kSourceTime) << entry.path;
  }
  EXPECT_EQ(listing.entries[2].Name(), "notes.txt");
}

TEST(ArchiveListerTest, FoldersImpliedByPathsAreMadeWithoutTime) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  const std::string src = MakeSource(dir);
  // -D stores no folder entries: "docs" and "docs/deep" exist only in the files' paths.
  ASSERT_TRUE(Make("cd " + Quote(src) + " && zip -q -r -D ../a.zip docs top.bin"));
  const ArchiveListing listing = ListArchive(dir / "a.zip");
  ASSERT_EQ(listing.outcome, ArchiveOutcome::kListed);
  EXPECT_EQ(Outline(listing), kDocsAndTop);
  EXPECT_EQ(listing.entries[0].mtime, 0);
  EXPECT_EQ(listing.entries[1].mtime, 0);
  EXPECT_EQ(listing.entries[2].mtime, kSourceTime);
}

TEST(ArchiveListerTest, TarGzWithDotPrefixedPaths) {
  TempDir dir;
  const std::string src = MakeSource(dir);
  ASSERT_TRUE(Make("cd " + Quote(src) + " && tar czf ../a.tar.gz ."));
  const ArchiveListing listing = ListArchive(dir / "a.tar.gz");
  ASSERT_EQ(listing.outcome, ArchiveOutcome::kListed);
  // tar lists a folder's entries in the order the file system gives them.
  std::vector<std::string> paths;
  for (const ArchiveEntry& entry : listing.entries) paths.push_back(entry.path);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"docs", "docs/deep", "docs/deep/notes.txt",
                                             "docs/Ærø ünïcödé 日本.txt", "empty", "top.bin"}));
  for (const ArchiveEntry& entry : listing.entries) {
    EXPECT_EQ(entry.mtime, kSourceTime) << entry.path;
    if (entry.path == "docs") {
      EXPECT_EQ(entry.size, 130U);
    }
  }
}

TEST(ArchiveListerTest, SevenZipWithNestedFolders) {
  if (!HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
  TempDir dir;
  const std::string src = MakeSource(dir);
  ASSERT_TRUE(Make("cd " + Quote(src) + " && 7z a -bd ../a.7z docs top.bin"));
  const ArchiveListing listing = ListArchive(dir / "a.7z");
  ASSERT_EQ(listing.outcome, ArchiveOutcome::kListed);
  std::vector<std::string> lines;
  for (const ArchiveEntry& entry : listing.entries) {
    lines.push_back(std::to_string(entry.depth) + " " + entry.path + " " +
                    std::to_string(entry.size));
  }
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"0 docs 130", "0 top.bin 7", "1 docs/deep 100",
                                             "1 docs/Ærø ünïcödé 日本.txt 30",
                                             "2 docs/deep/notes.txt 100"}));
}

TEST(ArchiveListerTest, EmptyArchivesAreListedWithoutEntries) {
  TempDir dir;
  ASSERT_TRUE(Make("tar cf " + Quote(dir / "e.tar") + " -T /dev/null"));
  // The end-of-central-directory record alone is an empty zip.
  WriteFile(dir / "e.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  for (const std::string name : {"e.tar", "e.zip"}) {
    const ArchiveListing listing = ListArchive(dir / name);
    EXPECT_EQ(listing.outcome, ArchiveOutcome::kListed) << name;
    EXPECT_TRUE(listing.entries.empty()) << name;
  }
}

TEST(ArchiveListerTest, EncryptedArchivesAreReportedNotListed) {
  TempDir dir;
  const std::string src = MakeSource(dir);
  if (HaveTool("zip")) {
    ASSERT_TRUE(Make("cd " + Quote(src) + " && zip -q -r -P secret ../locked.zip docs"));
    const ArchiveListing listing = ListArchive(dir / "locked.zip");
    EXPECT_EQ(listing.outcome, ArchiveOutcome::kEncrypted);
    EXPECT_TRUE(listing.entries.empty());
  }
  if (HaveTool("7z")) {
    // Names hidden too (-mhe), and names readable but data encrypted.
    ASSERT_TRUE(Make("cd " + Quote(src) + " && 7z a -bd -psecret -mhe=on ../hidden.7z docs"));
    ASSERT_TRUE(Make("cd " + Quote(src) + " && 7z a -bd -psecret -mhe=off ../locked.7z docs"));
    EXPECT_EQ(ListArchive(dir / "hidden.7z").outcome, ArchiveOutcome::kEncrypted);
    EXPECT_EQ(ListArchive(dir / "locked.7z").outcome, ArchiveOutcome::kEncrypted);
  }
}

TEST(ArchiveListerTest, DamagedArchivesAreReportedNotListed) {
  TempDir dir;
  WriteFile(dir / "big/one.bin", std::string(200000, 'a'));
  WriteFile(dir / "big/two.bin", std::string(200000, 'b'));
  ASSERT_TRUE(Make("cd " + Quote(dir / "big") + " && tar cf ../cut.tar one.bin two.bin"));
  ASSERT_TRUE(Make("cd " + Quote(dir / "big") + " && tar czf ../cut.tar.gz one.bin two.bin"));
  ASSERT_TRUE(Make("truncate -s 250000 " + Quote(dir / "cut.tar")));
  ASSERT_TRUE(Make("truncate -s 300 " + Quote(dir / "cut.tar.gz")));
  EXPECT_EQ(ListArchive(dir / "cut.tar").outcome, ArchiveOutcome::kDamaged);
  const ArchiveListing listing = ListArchive(dir / "cut.tar.gz");
  EXPECT_EQ(listing.outcome, ArchiveOutcome::kDamaged);
  EXPECT_TRUE(listing.entries.empty());
}

TEST(ArchiveListerTest, OtherFilesAreUnsupported) {
  TempDir dir;
  WriteFile(dir / "words.zip", "these are words, not an archive\n");
  WriteFile(dir / "nothing.7z", "");
  EXPECT_EQ(ListArchive(dir / "words.zip").outcome, ArchiveOutcome::kUnsupported);
  EXPECT_EQ(ListArchive(dir / "missing.zip").outcome, ArchiveOutcome::kUnsupported);
  // An empty file is no archive of any kind, though libarchive reads it as an empty one.
  const ArchiveListing empty = ListArchive(dir / "nothing.7z");
  EXPECT_TRUE(empty.entries.empty());
}

TEST(ArchiveListerTest, CancelStopsTheListing) {
  TempDir dir;
  const std::string src = MakeSource(dir);
  ASSERT_TRUE(Make("cd " + Quote(src) + " && tar cf ../a.tar ."));
  int asked = 0;
  const ArchiveListing listing = ListArchive(dir / "a.tar", [&] { return ++asked == 3; });
  EXPECT_EQ(listing.outcome, ArchiveOutcome::kCancelled);
  EXPECT_TRUE(listing.entries.empty());
  EXPECT_EQ(asked, 3);
}

TEST(ArchiveListerTest, CancelIsHeardWhileALargeFileInsideIsDecompressed) {
  // One file of 6 MB that does not compress: between its header and the end of the archive, the
  // whole of it is decompressed, by the core (tar.gz read as a stream) or by libarchive (tar.xz).
  TempDir dir;
  std::string noise(6000000, '\0');
  std::mt19937 random(7);
  for (char& c : noise) c = static_cast<char>(random());
  WriteFile(dir / "in/noise.bin", noise);
  ASSERT_TRUE(Make("cd " + Quote(dir / "in") + " && tar czf ../noise.tar.gz noise.bin"));
  ASSERT_TRUE(Make("cd " + Quote(dir / "in") + " && XZ_OPT=-0 tar cJf ../noise.tar.xz noise.bin"));
  for (const std::string name : {"noise.tar.gz", "noise.tar.xz"}) {
    SCOPED_TRACE(name);
    int asked = 0;
    const ArchiveListing whole = ListArchive(dir / name, [&] { return ++asked < 0; });
    ASSERT_EQ(whole.outcome, ArchiveOutcome::kListed);
    ASSERT_EQ(whole.entries.size(), 1U);
    // Asked more often than there are headers: while the file's data went by.
    EXPECT_GT(asked, 4);
    int until = 0;
    const ArchiveListing cancelled = ListArchive(dir / name, [&] { return ++until == 4; });
    EXPECT_EQ(cancelled.outcome, ArchiveOutcome::kCancelled);
    EXPECT_TRUE(cancelled.entries.empty());
    EXPECT_EQ(until, 4);
  }
}

TEST(ArchiveListerTest, PathsWithDotsAndDoubledSlashesAreTidied) {
  TempDir dir;
  WriteFile(dir / "in/a/b.txt", "bb");
  WriteFile(dir / "in/a/c.txt", "ccc");
  // tar keeps the member names as given on its command line.
  ASSERT_TRUE(Make("cd " + Quote(dir / "in") + " && tar cf ../odd.tar ./a//b.txt a/./c.txt"));
  const ArchiveListing listing = ListArchive(dir / "odd.tar");
  ASSERT_EQ(listing.outcome, ArchiveOutcome::kListed);
  EXPECT_EQ(Outline(listing),
            "0 a d 5\n"
            "1 a/b.txt f 2\n"
            "1 a/c.txt f 3\n");
}

TEST(ArchiveListerTest, ManyFoldersThenASmallArchiveIntoTheSameListing) {
  TempDir dir;
  // 300 folders, each with a file and a subfolder of the same name as a file elsewhere, in an
  // order where a folder's entries are not together.
  for (int i = 0; i < 300; ++i) {
    const std::string folder = "d" + std::to_string(i);
    WriteFile(dir / ("in/" + folder + "/f.txt"), std::string(static_cast<std::size_t>(i % 7), 'x'));
    WriteFile(dir / ("in/" + folder + "/sub/g.txt"), "gg");
  }
  std::string members;
  for (int i = 299; i >= 0; --i) members += " d" + std::to_string(i) + "/f.txt";
  for (int i = 299; i >= 0; --i) members += " d" + std::to_string(i) + "/sub/g.txt";
  ASSERT_TRUE(Make("cd " + Quote(dir / "in") + " && tar cf ../many.tar" + members));
  const int fd = ::open((dir / "many.tar").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ArchiveListing listing;
  ListArchive(fd, std::filesystem::file_size(dir / "many.tar"), {}, &listing);
  ::close(fd);
  ASSERT_EQ(listing.outcome, ArchiveOutcome::kListed);
  ASSERT_EQ(listing.entries.size(), 1200u);
  // Each folder, in the order first named, holds its file, then its subfolder with its file.
  for (int k = 0; k < 300; ++k) {
    const int i = 299 - k;
    const std::string folder = "d" + std::to_string(i);
    const ArchiveEntry* entry = &listing.entries[static_cast<std::size_t>(k) * 4];
    EXPECT_EQ(entry[0].path, folder);
    EXPECT_EQ(entry[0].size, static_cast<std::uint64_t>(i % 7 + 2));
    EXPECT_EQ(entry[1].path, folder + "/f.txt");
    EXPECT_EQ(entry[1].Name(), "f.txt");
    EXPECT_EQ(entry[2].path, folder + "/sub");
    EXPECT_EQ(entry[2].depth, 1);
    EXPECT_EQ(entry[3].path, folder + "/sub/g.txt");
    EXPECT_EQ(entry[3].depth, 2);
  }

  // A small archive listed next into the same listing keeps nothing of the large one.
  const std::string src = MakeSource(dir);
  ASSERT_TRUE(Make("cd " + Quote(src) + " && tar cf ../small.tar docs/deep/notes.txt " +
                   Quote("docs/Ærø ünïcödé 日本.txt") + " top.bin"));
  const int small = ::open((dir / "small.tar").c_str(), O_RDONLY | O_CLOEXEC);
  ListArchive(small, std::filesystem::file_size(dir / "small.tar"), {}, &listing);
  ::close(small);
  ASSERT_EQ(listing.outcome, ArchiveOutcome::kListed);
  EXPECT_EQ(Outline(listing), kDocsAndTop);
  // And an unreadable one leaves it empty.
  WriteFile(dir / "words.zip", "not an archive");
  const int words = ::open((dir / "words.zip").c_str(), O_RDONLY | O_CLOEXEC);
  ListArchive(words, 14, {}, &listing);
  ::close(words);
  EXPECT_EQ(listing.outcome, ArchiveOutcome::kUnsupported);
  EXPECT_TRUE(listing.entries.empty());
}

}  // namespace
}  // namespace lumivor
