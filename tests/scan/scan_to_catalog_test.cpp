#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <stop_token>
#include <string>
#include <vector>

#include "catalog/catalog_file.h"
#include "core/errors.h"
#include "scan/scanner.h"
#include "support/child_process.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// A catalog text without what differs between two scans of the same folder: the scan date and
// the free space of the volume (which the first catalog saved takes from).
std::string WithoutScanMoment(const std::string& text) {
  static const std::regex moment(" (ScanDate|VolumeFree)=\"[^\"]*\"");
  return std::regex_replace(text, moment, "");
}

// The catalog ScanFolder makes of `root` and SaveCatalog saves.
std::string SavedTree(const std::string& root, bool only_folders, const std::string& filter,
                      const std::string& file, ScanReport* report) {
  CatalogTree tree;
  ScanFolder(&tree, root, only_folders, filter, file, NoProgress(), nullptr, report);
  SaveCatalog(tree, file, NoProgress());
  return WithoutScanMoment(ReadFile(file));
}

// The catalog ScanFolderToCatalog saves of `root`.
std::string SavedStraight(const std::string& root, bool only_folders, const std::string& filter,
                          const std::string& file, ScanReport* report) {
  ScanFolderToCatalog(root, only_folders, filter, file, NoProgress(), nullptr, report);
  return WithoutScanMoment(ReadFile(file));
}

void Touch(const std::string& path, std::size_t size, std::time_t when) {
  WriteFile(path, std::string(size, 'x'));
  const timespec times[2] = {{when, 0}, {when, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Folders nested up to eight deep with files of every size and time, some folders empty or
// holding only files the filter leaves out, one folder large enough to be written in parts of
// its own, names that need cleaning or escaping, links of both kinds and a FIFO.
void MakeVariedTree(const std::string& root) {
  std::vector<std::string> folders{root};
  ::mkdir(root.c_str(), 0755);
  std::uint64_t state = 7;
  auto next = [&](std::uint64_t below) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % below;
  };
  for (std::size_t i = 0; i < 3000; ++i) {
    const std::string& parent = folders[next(folders.size())];
    const std::string path = parent + "/e" + std::to_string(i) + (next(3) ? ".txt" : ".bin");
    if (next(5) == 0 && std::count(path.begin(), path.end(), '/') < 9) {
      ::mkdir(path.c_str(), 0755);
      folders.push_back(path);
    } else {
      Touch(path, next(5000), 1'200'000'000 + static_cast<std::time_t>(next(600'000'000)));
    }
  }
  const std::string big = root + "/big/inner";
  for (std::size_t i = 0; i < 2500; ++i) {
    Touch(big + "/f" + std::to_string(i) + ".txt", i, 1'300'000'000 + static_cast<std::time_t>(i));
  }
  ::mkdir((root + "/empty").c_str(), 0755);
  Touch(root + "/only-bin/a.bin", 5, 1'400'000'000);
  Touch(root + "/odd/bad\xff\xfe name.txt", 3, 1'400'000'001);
  Touch(root + "/odd/a&b<c>\"d'.txt", 4, 1'400'000'002);
  Touch(root + "/odd/ctl\x01x.txt", 5, 1'400'000'003);
  Touch(root + "/odd/caf\xc3\xa9.TXT", 6, 0);
  Touch(root + "/odd/no-extension", 7, 1'400'000'004);
  ::link((root + "/odd/no-extension").c_str(), (root + "/odd/hard.txt").c_str());
  ::symlink("no-extension", (root + "/odd/link.txt").c_str());
  ::mkfifo((root + "/odd/pipe").c_str(), 0644);
}

TEST(ScanFolderToCatalog, SavesTheCatalogThatSavingTheScannedTreeSaves) {
  TempDir dir;
  const std::string root = dir / "tree";
  MakeVariedTree(root);
  struct Scope {
    bool only_folders;
    std::string filter;
  };
  for (const Scope& scope :
       {Scope{false, ""}, Scope{false, "\\.TXT\\"}, Scope{true, ""}, Scope{false, "\\.NONE\\"}}) {
    ScanReport tree_report, straight_report;
    const std::string expected =
        SavedTree(root, scope.only_folders, scope.filter, dir / "Tree.xml", &tree_report);
    // The same catalog name, so that every record's CatalogName agrees.
    ::rename((dir / "Tree.xml").c_str(), (dir / "kept.xml").c_str());
    const std::string straight =
        SavedStraight(root, scope.only_folders, scope.filter, dir / "Tree.xml", &straight_report);
    EXPECT_GT(expected.size(), 200u);
    EXPECT_TRUE(expected == straight) << scope.only_folders << " " << scope.filter;
    EXPECT_EQ(straight_report.unreadable_folders, tree_report.unreadable_folders);
    EXPECT_FALSE(straight_report.cancelled);
  }
}

TEST(ScanFolderToCatalog, DeepTreesAndEmptyOrMissingFoldersAreSavedAlike) {
  TempDir dir;
  // Paths far longer than one system call opens, and a large folder deeper than parts are cut.
  const std::string root = dir / "deep";
  ::mkdir(root.c_str(), 0755);
  struct Remover {
    std::string path;
    ~Remover() { EXPECT_EQ(std::system(("rm -rf '" + path + "'").c_str()), 0); }
  } remover{root};
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < 300; ++level) {
    const std::string name = "level-with-a-long-name-" + std::to_string(level);
    ::mkdirat(fd, name.c_str(), 0755);
    const int file = ::openat(fd, "f", O_CREAT | O_WRONLY, 0644);
    ::close(file);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  for (int i = 0; i < 2100; ++i) {
    ::close(::openat(fd, ("g" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
  }
  ::close(fd);
  ::mkdir((dir / "empty").c_str(), 0755);
  for (const std::string& scanned : {root, dir / "empty", dir / "missing"}) {
    ScanReport tree_report, straight_report;
    const std::string expected = SavedTree(scanned, false, "", dir / "D.xml", &tree_report);
    ::unlink((dir / "D.xml").c_str());
    EXPECT_EQ(SavedStraight(scanned, false, "", dir / "D.xml", &straight_report), expected)
        << scanned;
    EXPECT_EQ(straight_report.unreadable_folders, tree_report.unreadable_folders);
    EXPECT_EQ(straight_report.top_read_error, tree_report.top_read_error);
  }
}

TEST(ScanFolderToCatalog, UnreadableFoldersAreMarkedAndCountedAsInTheTree) {
  TempDir dir;
  const std::string root = dir / "r";
  WriteFile(root + "/a/locked/secret", "12345");
  WriteFile(root + "/b/open", "12");
  WriteFile(root + "/c/listed/hidden", "123");
  ::chmod((root + "/a/locked").c_str(), 0);
  ::chmod((root + "/c/listed").c_str(), 0444);
  ::chmod(dir.Path().c_str(), 0755);
  // Root reads everything: the scans run as the unprivileged user in a child.
  const std::string result = testing::RunInChild([&]() -> std::string {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return "SKIP: cannot drop privileges";
    }
    if (::access(root.c_str(), R_OK | X_OK) != 0) return "SKIP: temporary folder out of reach";
    const std::string out = "/tmp/lumivor-straight-" + std::to_string(::getpid());
    ::mkdir(out.c_str(), 0700);
    ScanReport tree_report, straight_report;
    const std::string expected = SavedTree(root, false, "", out + "/R.xml", &tree_report);
    ::unlink((out + "/R.xml").c_str());
    const std::string straight = SavedStraight(root, false, "", out + "/R.xml", &straight_report);
    ::unlink((out + "/R.xml").c_str());
    ::rmdir(out.c_str());
    if (straight != expected) return "differs:\n" + expected + "\n" + straight;
    if (expected.find("ReadError=\"Permission denied\"") == std::string::npos) {
      return "no mark: " + expected;
    }
    return "unreadable " + std::to_string(tree_report.unreadable_folders) + " " +
           std::to_string(straight_report.unreadable_folders);
  });
  ::chmod((root + "/a/locked").c_str(), 0755);
  ::chmod((root + "/c/listed").c_str(), 0755);
  if (result.rfind("SKIP", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "unreadable 1 1");
}

TEST(ScanFolderToCatalog, ACancelledScanSavesNothingAndKeepsTheOldCatalog) {
  TempDir dir;
  WriteFile(dir / "r/a/b", "1");
  WriteFile(dir / "Disk.xml", "the old catalog");
  std::stop_source stop;
  stop.request_stop();
  ScanReport report;
  ScanFolderToCatalog(dir / "r", false, "", dir / "Disk.xml", NoProgress(), nullptr, &report,
                      stop.get_token());
  EXPECT_TRUE(report.cancelled);
  EXPECT_EQ(ReadFile(dir / "Disk.xml"), "the old catalog");
  // Nothing else is left in the folder: no temporary file.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 2u);
}

TEST(ScanFolderToCatalog, TellsTheListenerOfTheFoldersItLists) {
  struct Listener : ScanListener {
    std::vector<std::pair<std::size_t, std::string>> calls;
    void FolderEntered(std::size_t records, std::string_view folder) override {
      calls.emplace_back(records, std::string(folder));
    }
  } listener;
  TempDir dir;
  for (int i = 0; i < 50; ++i) WriteFile(dir / ("r/d" + std::to_string(i) + "/f"), "x");
  ScanFolderToCatalog(dir / "r", false, "", dir / "R.xml", NoProgress(), &listener);
  ASSERT_FALSE(listener.calls.empty());
  // The scanned folder first, with its own entries at least (other threads may list on).
  EXPECT_EQ(listener.calls[0].second, dir / "r");
  EXPECT_GE(listener.calls[0].first, 51u);
  std::size_t last = listener.calls[0].first;
  for (std::size_t i = 1; i < listener.calls.size(); ++i) {
    // Counts only grow, and every folder named lies in the scanned one.
    const auto& [records, folder] = listener.calls[i];
    EXPECT_GE(records, last);
    last = records;
    EXPECT_EQ(folder.rfind(dir / "r/d", 0), 0u) << folder;
  }
  EXPECT_LE(last, 101u);
}

}  // namespace
}  // namespace lumivor
