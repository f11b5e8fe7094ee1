#include "scan/folder_walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <stop_token>
#include <string>
#include <vector>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_tree.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;
using testing::WriteFile;

// Every record handed on, one line each: depth, then each field and further attribute.
class Lines final : public RecordSink {
 public:
  bool Add(const RecordView& record) override {
    text += std::to_string(record.depth);
    for (const std::string_view field : record.fields) {
      text += "|" + std::string(field);  // absent and empty alike, as a catalog shows them
    }
    for (const ExtraAttribute& extra : record.extras) {
      text += "|" + std::string(extra.name) + "=" + std::string(extra.value);
    }
    text += '\n';
    ++records;
    return true;
  }
  std::string text;
  std::size_t records = 0;
};

// A tree of folders and files, nested up to six deep, some folders empty; about `entries`
// entries in all, every one with its own size and time.
void MakeTree(const std::string& root, std::size_t entries) {
  std::vector<std::string> folders{root};
  ::mkdir(root.c_str(), 0755);
  std::uint64_t state = 42;
  auto next = [&](std::uint64_t below) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % below;
  };
  for (std::size_t i = 0; i < entries; ++i) {
    const std::string& parent = folders[next(folders.size())];
    const std::string path = parent + "/e" + std::to_string(i) + (next(3) ? ".txt" : "");
    if (next(6) == 0 && std::count(path.begin(), path.end(), '/') < 12) {
      ::mkdir(path.c_str(), 0755);
      folders.push_back(path);
    } else {
      WriteFile(path, std::string(next(100), 'x'));
      const timespec times[2] = {{1'500'000'000 + static_cast<time_t>(i), 0},
                                 {1'500'000'000 + static_cast<time_t>(i), 0}};
      ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
  }
  ::symlink("e1", (root + "/link").c_str());
}

ScanSettings Settings() {
  ScanSettings settings;
  settings.CatalogName = "Disk";
  return settings;
}

TEST(WalkFolder, EveryNumberOfThreadsHandsOnTheSameRecordsInTheSameOrder) {
  TempDir dir;
  const std::string root = dir / "tree";
  MakeTree(root, 3000);
  // The tree's own walk, one folder after another, as the deep scan still walks.
  CatalogTree tree;
  FieldViews top{};
  top[kFileName] = root;
  top[kFullPath] = root;
  CatalogTree::Node* node = tree.AddChild(nullptr, top);
  (void)ScanDirectory(tree, root, node, Settings());
  Lines walked_into_tree;
  EmitTree(tree, walked_into_tree);
  const std::string expected =
      walked_into_tree.text.substr(walked_into_tree.text.find('\n') + 1);  // without the top

  for (const ScanSettings& settings : {Settings(), [] {
                                         ScanSettings filtered = Settings();
                                         filtered.ExtFilter = "\\.TXT\\";
                                         return filtered;
                                       }()}) {
    std::string single;
    for (const std::size_t threads : {1, 2, 3, 8}) {
      Lines lines;
      WalkOptions options;
      options.threads = threads;
      const ScanReport report = WalkFolder(root, root, 0, settings, lines, options);
      EXPECT_FALSE(report.cancelled);
      EXPECT_EQ(report.unreadable_folders, 0u);
      if (threads == 1) single = lines.text;
      EXPECT_EQ(lines.text, single) << threads << " threads";
    }
    if (settings.ExtFilter.empty()) {
      EXPECT_EQ(single, expected);
    }
  }
}

TEST(WalkFolder, AFailureOnAnyThreadEndsTheWalkAndIsRaisedOnTheCallingOne) {
  TempDir dir;
  const std::string root = dir / "tree";
  MakeTree(root, 2000);
  // An allocation that fails in the sink, early, midway and late, while other threads list.
  struct Failing final : RecordSink {
    explicit Failing(std::size_t after) : left(after) {}
    bool Add(const RecordView&) override {
      if (left-- == 0) throw std::bad_alloc();
      return true;
    }
    std::size_t left;
  };
  for (const std::size_t after : {0, 1, 50, 1500}) {
    Failing sink(after);
    WalkOptions options;
    options.threads = 4;
    EXPECT_THROW(WalkFolder(root, root, 0, Settings(), sink, options), std::bad_alloc) << after;
  }
}

TEST(WalkFolder, CancelIsHeardBetweenFoldersAndStopsTheThreads) {
  TempDir dir;
  const std::string root = dir / "tree";
  MakeTree(root, 2000);
  // The user cancels while the fifth folder is entered.
  std::stop_source cancel;
  struct CancelLater final : ScanListener {
    explicit CancelLater(std::stop_source& source) : stop(source) {}
    void FolderEntered(std::size_t, std::string_view) override {
      if (++entered == 5) stop.request_stop();
    }
    std::stop_source& stop;
    int entered = 0;
  } listener(cancel);
  ScanSettings settings = Settings();
  settings.listener = &listener;
  settings.stop = cancel.get_token();
  Lines lines;
  WalkOptions options;
  options.threads = 3;
  const ScanReport report = WalkFolder(root, root, 0, settings, lines, options);
  EXPECT_TRUE(report.cancelled);
  EXPECT_LT(lines.records, 1000u);
}

TEST(WalkFolder, SlowCallsAreWaitedForAndChangeNothing) {
  TempDir dir;
  const std::string root = dir / "tree";
  MakeTree(root, 200);
  Lines quick, slow;
  WalkOptions options;
  options.threads = 1;
  (void)WalkFolder(root, root, 0, Settings(), quick, options);
  options.threads = 4;
  options.call_latency = std::chrono::microseconds(100);
  (void)WalkFolder(root, root, 0, Settings(), slow, options);
  EXPECT_EQ(slow.text, quick.text);
}

}  // namespace
}  // namespace lumivor
