// The header readers of zip and tar against libarchive: on archives made by zip, tar, gzip and
// Python's zipfile, and on cut and altered copies of them, an archive the header readers list
// must give exactly the entries libarchive gives, in the same order.
#include "scan/archive_headers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "media_fixtures.h"
#include "scan/archive_lister.h"

namespace lumivor {
namespace {

using testing::HaveTool;
using testing::Make;
using testing::Quote;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Records what a reader reports, one line per entry.
class Recorder final : public ArchiveVisitor {
 public:
  explicit Recorder(int cancel_after = -1) : cancel_after_(cancel_after) {}
  bool Cancelled() override { return cancel_after_ >= 0 && entries_ >= cancel_after_; }
  void Entry(const char* path, bool directory, std::uint64_t size, std::time_t mtime) override {
    ++entries_;
    text += std::string(path) + (directory ? " d " : " f ") + std::to_string(size) + " " +
            std::to_string(mtime) + "\n";
  }
  std::string text;

 private:
  int cancel_after_;
  int entries_ = 0;
};

// What libarchive (through the readers' module) reports for the file at `path`; the same read
// from the file and from its bytes in memory.
ArchiveOutcome LibarchiveListing(const std::string& path, std::string* text) {
  const MediaReaderApi* readers = MediaReaders();
  EXPECT_NE(readers, nullptr) << MediaReadersError();
  if (!readers) return ArchiveOutcome::kUnsupported;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  Recorder recorder;
  const ArchiveOutcome outcome = readers->list_archive(fd, &recorder);
  ::close(fd);
  *text = recorder.text;
  const std::string bytes = ReadFile(path);
  Recorder from_memory;
  EXPECT_EQ(readers->list_archive_bytes(bytes.data(), bytes.size(), &from_memory), outcome) << path;
  EXPECT_EQ(from_memory.text, recorder.text) << path;
  return outcome;
}

class ArchiveHeadersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"zip", "tar", "gzip", "python3"}) {
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    const std::string src = dir_ / "src";
    WriteFile(src + "/docs/deep/notes.txt", std::string(1000, 'n'));
    WriteFile(src + "/docs/Ærø ünïcödé 日本.txt", std::string(30, 'u'));
    WriteFile(src + "/docs/" + std::string(90, 'l') + "/" + std::string(60, 'm') + ".txt", "long");
    WriteFile(src + "/top.bin", std::string(7, 't'));
    WriteFile(src + "/empty.txt", "");
    std::filesystem::create_directories(src + "/hollow");
    Make("find " + Quote(src) + " -exec touch -h -d '2020-01-02 03:04:05 UTC' {} +");
    Make("touch -d '2023-07-08 09:10:11 UTC' " + Quote(src + "/top.bin"));
  }

  // Makes an archive with `command` run in the source folder; its bytes.
  std::string Made(const std::string& name, const std::string& command) {
    const std::string path = dir_ / name;
    EXPECT_TRUE(Make("cd " + Quote(dir_ / "src") + " && " + command + " " + Quote(path) + " " +
                     "docs top.bin empty.txt hollow"))
        << name;
    return ReadFile(path);
  }

  // Lists `bytes` with the header readers and, when they take it, with libarchive as well:
  // the two must agree. True when the header readers took it.
  bool ListedAlike(const std::string& bytes, const std::string& label) {
    Recorder fast;
    const HeaderListing read = ListArchiveHeaders(ArchiveBytes(bytes), &fast);
    EXPECT_NE(read, HeaderListing::kCancelled) << label;
    if (read != HeaderListing::kListed) return false;
    const std::string path = dir_ / "variant";
    WriteFile(path, bytes);
    std::string library;
    EXPECT_EQ(LibarchiveListing(path, &library), ArchiveOutcome::kListed) << label;
    EXPECT_EQ(fast.text, library) << label;
    // The same through the file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Recorder through_file;
    EXPECT_EQ(ListArchiveHeaders(ArchiveBytes(fd, bytes.size()), &through_file),
              HeaderListing::kListed);
    ::close(fd);
    EXPECT_EQ(through_file.text, fast.text) << label;
    return true;
  }

  // Python's zipfile, which flags names as UTF-8 (or stores them in CP437 when they fit).
  std::string PythonZip(const std::string& name, const std::string& entries) {
    const std::string path = dir_ / name;
    EXPECT_TRUE(Make("python3 -c " +
                     Quote("import zipfile,sys\n"
                           "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                           "for n in sys.argv[2].split('|'):\n"
                           "  i = zipfile.ZipInfo(n, (2021, 3, 4, 5, 6, 8))\n"
                           "  z.writestr(i, 'x' * len(n))\n"
                           "z.close()\n") +
                     " " + Quote(path) + " " + Quote(entries)));
    return ReadFile(path);
  }

  TempDir dir_;
};

TEST_F(ArchiveHeadersTest, CommonArchivesListAsLibarchiveLists) {
  const std::vector<std::pair<std::string, std::string>> taken = {
      {"info-zip", Made("a.zip", "zip -q -r")},
      {"no extra fields", Made("x.zip", "zip -q -r -X")},
      {"no folder entries", Made("d.zip", "zip -q -r -D")},
      {"stored", Made("s.zip", "zip -q -r -0")},
      {"zip64", Made("z64.zip", "zip -q -r -fz")},
      {"with comment", Made("c.zip", "echo 'a comment PK' | zip -q -r -z")},
      {"gnu tar", Made("g.tar", "tar cf")},
      {"ustar", Made("u.tar", "tar --format=ustar -cf")},
      {"pax", Made("p.tar", "tar --format=pax -cf")},
      {"gnu tar.gz", Made("g.tar.gz", "tar czf")},
      {"pax tar.gz", Made("p.tar.gz", "tar --format=pax -czf")},
      {"utf-8 flag", PythonZip("py.zip", "Ωmega/日本語.txt|dir/|plain.txt")},
  };
  for (const auto& [label, bytes] : taken) {
    EXPECT_TRUE(ListedAlike(bytes, label)) << label << " was handed on";
  }
  // A name flagged as UTF-8 that libarchive would compose is left to it; CP437 names (stored
  // without the flag) reach the catalog as libarchive hands them over, their bytes as stored.
  EXPECT_FALSE(ListedAlike(PythonZip("nfd.zip", "Cafe\xCC\x81.txt"), "decomposed name"));
  EXPECT_TRUE(ListedAlike(PythonZip("cp437.zip", "caf\xC3\xA9.txt|\xC3\xBC/b.txt"), "cp437"));
  // DOS times are read in the local time zone, by both.
  const char* zone = std::getenv("TZ");
  const std::string saved = zone ? zone : "";
  ::setenv("TZ", "EST5EDT", 1);
  ::tzset();
  EXPECT_TRUE(ListedAlike(ReadFile(dir_ / "x.zip"), "no extra fields, New York"));
  if (zone) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

TEST_F(ArchiveHeadersTest, DamagedCopiesListAsLibarchiveOrAreHandedOn) {
  const std::vector<std::string> originals = {
      Made("a.zip", "zip -q -r"), Made("x.zip", "zip -q -r -X"),
      Made("p.tar", "tar --format=pax -cf"), Made("g.tar", "tar cf")};
  std::size_t tried = 0, taken = 0;
  for (const std::string& bytes : originals) {
    std::vector<std::string> variants;
    const std::size_t step = std::max<std::size_t>(1, bytes.size() / 150);
    for (std::size_t at = 0; at < bytes.size(); at += step) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ 0x21);
      variants.push_back(std::move(flipped));
      std::string zeroed = bytes;
      zeroed[at] = '\0';
      variants.push_back(std::move(zeroed));
    }
    for (std::size_t cut = 0; cut < bytes.size(); cut += std::max<std::size_t>(1, step * 4)) {
      variants.push_back(bytes.substr(0, cut));
    }
    variants.push_back(bytes + "trailing bytes");
    for (const std::string& variant : variants) {
      ++tried;
      taken += ListedAlike(variant, "variant " + std::to_string(tried)) ? 1 : 0;
    }
  }
  // Most changes fall on data or on fields that are checked; many copies must have been read.
  EXPECT_GT(taken, tried / 5);
}

TEST_F(ArchiveHeadersTest, CompressedStreamsMustEndCleanly) {
  const std::string gz = Made("g.tar.gz", "tar czf");
  ASSERT_TRUE(ListedAlike(gz, "whole"));
  for (const std::string& variant :
       {gz.substr(0, gz.size() - 4), gz.substr(0, gz.size() / 2), gz + gz, gz + "junk"}) {
    Recorder recorder;
    EXPECT_EQ(ListArchiveHeaders(ArchiveBytes(variant), &recorder), HeaderListing::kUnusual);
  }
  std::string bad_check = gz;
  bad_check[bad_check.size() - 6] = static_cast<char>(bad_check[bad_check.size() - 6] ^ 1);
  Recorder recorder;
  EXPECT_EQ(ListArchiveHeaders(ArchiveBytes(bad_check), &recorder), HeaderListing::kUnusual);
}

TEST_F(ArchiveHeadersTest, WhatTheyDoNotReadIsHandedOn) {
  std::vector<std::pair<std::string, std::string>> others = {
      {"encrypted", Made("e.zip", "zip -q -r -P secret")},
      {"empty zip", std::string("PK\x05\x06", 4) + std::string(18, '\0')},
      {"hard link", ""},
      {"symbolic link in zip", ""},
      {"text", "just some words, no archive at all"},
      {"zeros", std::string(10240, '\0')},
  };
  ASSERT_TRUE(Make("cd " + Quote(dir_ / "src") +
                   " && ln top.bin twin.bin && ln -s top.bin link && "
                   "tar cf " +
                   Quote(dir_ / "h.tar") + " top.bin twin.bin && zip -q -y " +
                   Quote(dir_ / "l.zip") + " link"));
  others[2].second = ReadFile(dir_ / "h.tar");
  others[3].second = ReadFile(dir_ / "l.zip");
  if (HaveTool("7z")) {
    ASSERT_TRUE(Make("cd " + Quote(dir_ / "src") + " && 7z a -bd " + Quote(dir_ / "a.7z") +
                     " docs >/dev/null"));
    others.emplace_back("7z", ReadFile(dir_ / "a.7z"));
    others.emplace_back("cut 7z", others.back().second.substr(0, others.back().second.size() / 2));
    ASSERT_TRUE(Make("cd " + Quote(dir_ / "src") + " && 7z a -bd -psecret -mhe=on " +
                     Quote(dir_ / "e.7z") + " docs >/dev/null"));
    others.emplace_back("encrypted 7z", ReadFile(dir_ / "e.7z"));
  }
  for (const auto& [label, bytes] : others) {
    Recorder recorder;
    EXPECT_EQ(ListArchiveHeaders(ArchiveBytes(bytes), &recorder), HeaderListing::kUnusual) << label;
    // libarchive, which lists them instead, gives the same from the file and from memory.
    WriteFile(dir_ / "other", bytes);
    std::string text;
    static_cast<void>(LibarchiveListing(dir_ / "other", &text));
  }
  // A symbolic link inside a tar is listed as libarchive lists it: a file without size.
  ASSERT_TRUE(
      Make("cd " + Quote(dir_ / "src") + " && tar cf " + Quote(dir_ / "s.tar") + " link top.bin"));
  EXPECT_TRUE(ListedAlike(ReadFile(dir_ / "s.tar"), "tar with a link"));
}

TEST_F(ArchiveHeadersTest, CancelStopsTheListing) {
  for (const std::string& bytes : {Made("a.zip", "zip -q -r"), Made("g.tar.gz", "tar czf")}) {
    Recorder recorder(2);
    EXPECT_EQ(ListArchiveHeaders(ArchiveBytes(bytes), &recorder), HeaderListing::kCancelled);
    EXPECT_EQ(std::count(recorder.text.begin(), recorder.text.end(), '\n'), 2);
  }
}

}  // namespace
}  // namespace lumivor
