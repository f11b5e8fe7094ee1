#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "catalog/fields.h"
#include "copies/catalog_compare.h"
#include "copies/catalog_hashes.h"
#include "copies/content_hash.h"
#include "copies/copy_finder.h"
#include "copies/copy_groups.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(ContentHash, MatchesTheCanonicalFormAndHearsCancelInsideALargeFile) {
  // Known values of XXH3-128 (as `xxhsum -H2` prints them).
  EXPECT_EQ(HashOfBytes(""), "xxh128:99aa06d3014798d86001c324468d497f");
  EXPECT_EQ(HashOfBytes("hello"), "xxh128:b5e9c1ad071b3e7fc779cfaa5e523818");
  EXPECT_EQ(HashAlgorithm("xxh128:00"), "xxh128");
  EXPECT_EQ(HashAlgorithm("md5"), "");

  TempDir dir;
  const std::string path = dir / "huge";
  WriteFile(path, "");
  ASSERT_EQ(::truncate(path.c_str(), 16LL << 30), 0);  // sparse: no disk space taken
  std::stop_source stop;
  ContentHasher hasher(stop.get_token());
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.request_stop();
  });
  const auto start = std::chrono::steady_clock::now();
  std::string hash;
  EXPECT_EQ(hasher.HashFile(path, &hash), ContentHasher::Status::kCancelled);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(hash.empty());
}

TEST(ContentHash, RefusesLinksAndFilesOfAnotherSize) {
  TempDir dir;
  WriteFile(dir / "a", "abc");
  ASSERT_EQ(::symlink((dir / "a").c_str(), (dir / "link").c_str()), 0);
  ContentHasher hasher;
  std::string hash;
  EXPECT_EQ(hasher.HashFile(dir / "link", &hash), ContentHasher::Status::kNotRegular);
  EXPECT_EQ(hasher.HashFile(dir / "a", &hash, 4), ContentHasher::Status::kUnreadable);
  EXPECT_EQ(hasher.HashFile(dir / "gone", &hash), ContentHasher::Status::kUnreadable);
  EXPECT_EQ(hasher.HashFile(dir / "a", &hash, 3), ContentHasher::Status::kDone);
  EXPECT_EQ(hash, HashOfBytes("abc"));
}

TEST(DiskPath, FollowsTheMediumWhereverItIsNow) {
  EXPECT_EQ(DiskPathOf("/mnt/a/x/y", "/mnt/a", "/media/b"), "/media/b/x/y");
  EXPECT_EQ(DiskPathOf("Label(/mnt/a)/x", "Label(/mnt/a)", "/mnt/a/"), "/mnt/a/x");
  EXPECT_EQ(DiskPathOf("/x", "/", "/"), "/x");
  EXPECT_EQ(DiskPathOf("/mnt/a", "/mnt/a", "/media/b"), "/media/b");
}

// A catalog of files at `paths` below a top "T", each with size, time and hash.
struct FileSpec {
  std::string path, size, time, hash, description;
};
CatalogTree CatalogOf(const std::vector<FileSpec>& files) {
  CatalogTree tree;
  FieldViews top{};
  top[kFileName] = top[kFullPath] = "T";
  top[kFileType] = kDirectoryType;
  CatalogTree::Node* root = tree.AddChild(nullptr, CatalogRecord(top));
  for (const FileSpec& file : files) {
    CatalogTree::Node* parent = root;
    std::string path = "T";
    std::string_view rest = file.path;
    for (auto slash = rest.find('/'); slash != std::string_view::npos; slash = rest.find('/')) {
      const std::string folder(rest.substr(0, slash));
      path += "/" + folder;
      CatalogTree::Node* found = nullptr;
      for (CatalogTree::Node* child : parent->children)
        if (child->Name() == folder) found = child;
      if (!found) {
        FieldViews fields{};
        fields[kFileName] = folder;
        fields[kFullPath] = path;
        fields[kFileType] = kDirectoryType;
        found = tree.AddChild(parent, CatalogRecord(fields));
      }
      parent = found;
      rest.remove_prefix(slash + 1);
    }
    const std::string full = path + "/" + std::string(rest);
    FieldViews fields{};
    fields[kFileName] = rest;
    fields[kFullPath] = full;
    fields[kFileSize] = file.size;
    fields[kFileTime] = file.time;
    fields[kFileType] = kFileTypeText;
    fields[kDescription] = file.description;
    CatalogTree::Node* node = tree.AddChild(parent, CatalogRecord(fields));
    if (!file.hash.empty()) node->SetExtra(kHashAttribute, file.hash);
  }
  return tree;
}

std::vector<std::string> Compared(const CatalogTree& a, const CatalogTree& b,
                                  CompareCounts* counts) {
  std::vector<std::string> lines;
  *counts = CompareCatalogs(a, b, [&](const CatalogDifference& d) {
    lines.push_back(std::string(DifferenceKindName(d.kind)) + " " + d.path +
                    (d.other_path.empty() ? "" : " -> " + d.other_path));
  });
  return lines;
}

TEST(CompareCatalogs, HashesDecideWhereTheyAreOfOneAlgorithm) {
  const CatalogTree a = CatalogOf({
      {"same.txt", "1", "t", "xxh128:aa", ""},
      {"rotted.txt", "1", "t", "xxh128:aa", ""},
      {"old/x.txt", "5", "t", "xxh128:bb", ""},
      {"y.txt", "5", "t", "xxh128:cc", ""},  // same name, size, time as B's y, other content
      {"md5.txt", "2", "t", "md5:11", ""},
  });
  const CatalogTree b = CatalogOf({
      {"same.txt", "1", "t", "xxh128:aa", ""},
      {"rotted.txt", "1", "t", "xxh128:ab", ""},
      {"new/renamed.txt", "5", "u", "xxh128:bb", ""},
      {"z/y.txt", "5", "t", "xxh128:dd", ""},
      {"md5.txt", "2", "t", "xxh128:11", ""},  // another algorithm: no verdict on content
  });
  CompareCounts counts;
  const auto lines = Compared(a, b, &counts);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"changed rotted.txt", "moved old/x.txt -> new/renamed.txt",
                                      "only_a y.txt", "only_b z/y.txt"}));
  EXPECT_EQ(counts.CountsLine(), "only_a=1 only_b=1 changed=1 moved=1 same=2");
}

TEST(CompareCatalogs, WithoutHashesMovesNeedNameSizeAndTimeAndEachFileMovesOnce) {
  const CatalogTree a = CatalogOf({{"a/x", "3", "t", "", "note"}, {"b/x", "3", "t", "", ""}});
  const CatalogTree b = CatalogOf({{"c/x", "3", "t", "", "other note"}, {"d/x", "3", "u", "", ""}});
  CompareCounts counts;
  const auto lines = Compared(a, b, &counts);
  EXPECT_EQ(lines, (std::vector<std::string>{"moved a/x -> c/x", "only_a b/x", "only_b d/x"}));
  EXPECT_EQ(counts.moved, 1u);
}

ContentEntry Entry(std::uint32_t catalog, std::string path, std::uint64_t size, std::string hash,
                   std::string link = {}) {
  ContentEntry entry;
  entry.catalog = catalog;
  entry.name = path.substr(path.rfind('/') + 1);
  entry.path = std::move(path);
  entry.size = size;
  entry.hash = std::move(hash);
  entry.link_id = std::move(link);
  return entry;
}

TEST(FindDuplicates, GroupsByContentMostWastefulFirstWithHardLinksOnce) {
  std::vector<ContentEntry> entries{
      Entry(0, "/a/small1", 10, "xxh128:01"),
      Entry(1, "/b/small2", 10, "xxh128:01"),
      Entry(1, "/b/small3", 10, "xxh128:01"),
      Entry(0, "/a/big", 100, "xxh128:02", "1:5"),
      Entry(0, "/a/big-link", 100, "xxh128:02", "1:5"),  // the same file
      Entry(1, "/b/big", 100, "xxh128:02", "1:5"),       // same LinkId, other medium: a copy
      Entry(0, "/a/md5", 10, "md5:01"),
      Entry(1, "/b/other", 10, "xxh128:01x"),
      Entry(0, "/a/empty", 0, "xxh128:99"),
      Entry(1, "/b/empty", 0, "xxh128:99"),
      Entry(0, "/a/nohash", 10, ""),
      Entry(0, "/a/alone", 100, "xxh128:03", "1:6"),
      Entry(0, "/a/alone-link", 100, "xxh128:03", "1:6"),  // only links of one file
  };
  DuplicateSummary summary;
  const auto groups = FindDuplicates(entries, CopyKey::kHash, &summary);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].key, "xxh128:02");
  ASSERT_EQ(groups[0].copies.size(), 2u);
  EXPECT_EQ(groups[0].copies[0].path, "/a/big");
  EXPECT_EQ(groups[0].copies[0].links, std::vector<std::string>{"/a/big-link"});
  EXPECT_EQ(groups[0].copies[1].path, "/b/big");
  EXPECT_EQ(groups[1].copies.size(), 3u);
  EXPECT_EQ(summary.CountsLine(), "groups=2 copies=5 wasted=120");
  EXPECT_EQ(summary.unhashed, 1u);

  // By name and size: "small1" and "SMALL1" are one name.
  std::vector<ContentEntry> named{Entry(0, "/a/Photo.JPG", 7, ""), Entry(1, "/b/photo.jpg", 7, ""),
                                  Entry(1, "/b/photo.jpg2", 7, "")};
  const auto likely = FindDuplicates(named, CopyKey::kNameSize, &summary);
  ASSERT_EQ(likely.size(), 1u);
  EXPECT_EQ(likely[0].key, "photo.jpg");
}

// The groups of `groups` (finished) as FindDuplicates gives them.
std::vector<DuplicateGroup> Shown(const CopyGroups& groups) {
  std::vector<DuplicateGroup> shown;
  for (const CopyGroups::Group& group : groups.Groups()) {
    DuplicateGroup& made = shown.emplace_back();
    made.size = group.size;
    made.key = group.key;
    for (std::uint32_t i = group.first; i < group.first + group.files; ++i) {
      const CopyGroups::File& file = groups.Files()[i];
      if (file.Link()) {
        made.copies.back().links.emplace_back(file.Path());
      } else {
        made.copies.push_back({file.Catalog(), std::string(file.Path()), {}});
      }
    }
    EXPECT_EQ(made.copies.size(), group.copies);
  }
  return shown;
}

TEST(CopyGroups, MakeTheGroupsOfFindDuplicatesFromRunsOfOneSizeAndHash) {
  // Runs in the order of size and hash, files of a run not in the order of their catalogs.
  const std::vector<ContentEntry> entries{
      Entry(2, "/c/small1", 10, "md5"),  // names no algorithm: unhashed
      Entry(0, "/a/small1", 10, "md5"),
      Entry(2, "/c/small", 10, "xxh128:01"),
      Entry(0, "/a/small", 10, "xxh128:01"),
      Entry(1, "/b/small", 10, "xxh128:01"),
      Entry(0, "/a/small-again", 10, "xxh128:01"),
      Entry(1, "/b/unreadable", 20, "xxh128:05"),  // its path could not be read
      Entry(0, "/a/left-alone", 20, "xxh128:05"),
      Entry(1, "/b/big-link", 100, "xxh128:02", "1:5"),
      Entry(0, "/a/big", 100, "xxh128:02"),
      Entry(1, "/b/big", 100, "xxh128:02", "1:5"),       // the same file as /b/big-link
      Entry(0, "/a/big-link", 100, "xxh128:02", "1:5"),  // the same LinkId in another catalog
      Entry(1, "/b/alone", 100, "xxh128:03", "1:6"),
      Entry(1, "/b/alone-link", 100, "xxh128:03", "1:6"),  // only links of one file
      Entry(2, "/c/large", 5000, "xxh128:04"),
      Entry(1, "/b/large", 5000, "xxh128:04"),
  };
  for (const std::uint64_t min_size : {0, 20}) {
    CopyGroups groups(entries.size());
    TextBlocks& paths = groups.NewPathTexts();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const ContentEntry& entry = entries[i];
      if (i == 0 || entry.size != entries[i - 1].size || entry.hash != entries[i - 1].hash) {
        groups.AddRun(entry.size, entry.hash);
      }
      const std::uint32_t file = groups.AddFile(entry.catalog, entry.link_id);
      if (entry.path != "/b/unreadable") groups.SetPath(file, paths.Add(entry.path));
    }
    DuplicateSummary summary;
    groups.Finish(min_size, &summary);
    std::vector<ContentEntry> readable = entries;
    std::erase_if(readable, [&](const ContentEntry& entry) {
      return entry.path == "/b/unreadable" || entry.size < min_size;
    });
    DuplicateSummary expected;
    const std::vector<DuplicateGroup> made = FindDuplicates(readable, CopyKey::kHash, &expected);
    ASSERT_EQ(made.size(), min_size == 0 ? 3u : 2u);
    const std::vector<DuplicateGroup> shown = Shown(groups);
    ASSERT_EQ(shown.size(), made.size());
    for (std::size_t g = 0; g < made.size(); ++g) {
      EXPECT_EQ(shown[g].size, made[g].size);
      EXPECT_EQ(shown[g].key, made[g].key);
      ASSERT_EQ(shown[g].copies.size(), made[g].copies.size()) << made[g].key;
      for (std::size_t c = 0; c < made[g].copies.size(); ++c) {
        EXPECT_EQ(shown[g].copies[c].catalog, made[g].copies[c].catalog);
        EXPECT_EQ(shown[g].copies[c].path, made[g].copies[c].path);
        EXPECT_EQ(shown[g].copies[c].links, made[g].copies[c].links);
      }
    }
    EXPECT_EQ(summary.CountsLine(), expected.CountsLine());
    EXPECT_EQ(summary.unhashed, expected.unhashed);
  }
}

}  // namespace
}  // namespace lumivor
