#include "scan/file_heads.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "catalog/fields.h"
#include "media_fixtures.h"
#include "scan/scanner.h"

namespace lumivor {
namespace {

using testing::HaveTool;
using testing::Make;
using testing::Quote;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Sets LUMIVOR_NO_IO_URING for the life of the object.
class WithoutIoUring {
 public:
  WithoutIoUring() { ::setenv("LUMIVOR_NO_IO_URING", "1", 1); }
  ~WithoutIoUring() { ::unsetenv("LUMIVOR_NO_IO_URING"); }
};

TEST(FileHeadsTest, ReadsWhatStatAndReadGiveAndOnlyRegularFiles) {
  FileHeads heads;
  if (!heads.Ready()) GTEST_SKIP() << "the system offers no io_uring";
  TempDir dir;
  std::string big(10000, 'b');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  WriteFile(dir / "big.bin", big);
  WriteFile(dir / "small.txt", "small");
  WriteFile(dir / "empty.txt", "");
  std::filesystem::create_directories(dir / "folder");
  std::filesystem::create_symlink("big.bin", dir / "link");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int dir_fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir_fd, 0);
  const std::vector<std::string> names = {"big.bin", "small.txt", "empty.txt", "folder",
                                          "link",    "fifo",      "missing"};
  for (const std::string& name : names) ASSERT_TRUE(heads.Add(dir_fd, name.c_str(), true));
  heads.Run();
  ASSERT_EQ(heads.Count(), names.size());
  const std::vector<std::string> bytes = {big.substr(0, FileHeads::kHeadBytes), "small", ""};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const FileHeads::Head& head = heads.Result(i);
    ASSERT_TRUE(head.read);
    EXPECT_EQ(head.bytes, bytes[i]);
    struct stat info;
    ASSERT_EQ(::fstatat(dir_fd, names[i].c_str(), &info, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(head.info.st_size, info.st_size);
    EXPECT_EQ(head.info.st_mode, info.st_mode);
    EXPECT_EQ(head.info.st_ino, info.st_ino);
    EXPECT_EQ(head.info.st_dev, info.st_dev);
    EXPECT_EQ(head.info.st_mtim.tv_sec, info.st_mtim.tv_sec);
    EXPECT_EQ(head.info.st_mtim.tv_nsec, info.st_mtim.tv_nsec);
  }
  // A folder, a link (never followed), a FIFO (never waited on) and a missing file are not read.
  for (std::size_t i = bytes.size(); i < names.size(); ++i) {
    EXPECT_FALSE(heads.Result(i).read) << names[i];
  }
  EXPECT_TRUE(S_ISLNK(heads.Result(4).info.st_mode));
  // A full batch takes no more; a cleared one starts afresh.
  heads.Clear();
  for (std::size_t i = 0; i < FileHeads::kBatch; ++i)
    EXPECT_TRUE(heads.Add(dir_fd, "big.bin", true));
  EXPECT_FALSE(heads.Add(dir_fd, "small.txt", true));
  heads.Run();
  EXPECT_EQ(heads.Result(FileHeads::kBatch - 1).bytes, bytes[0]);
  ::close(dir_fd);
}

TEST(FileHeadsTest, AnEnvironmentSettingTurnsItOff) {
  const WithoutIoUring off;
  EXPECT_FALSE(FileHeads().Ready());
}

// Every record below the top (whose scan date and free space change between scans) with all
// its attributes, one line each.
std::string Dump(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    if (depth == 0) return;
    const CatalogRecord& record = node->Record();
    out += std::to_string(depth);
    for (int field = 0; field < kFieldCount; ++field) {
      out += "|" + std::string(record.Field(field));
    }
    for (const ExtraAttribute& extra : record.Extras()) {
      out += "|" + std::string(extra.name) + "=" + std::string(extra.value);
    }
    out += "\n";
  });
  return out;
}

// Files read in batches give the same catalog as files read one by one: tags from the first
// page, from more of the file, from its end, from the libraries, and archives beside them.
TEST(FileHeadsTest, ADeepScanGivesTheSameCatalogWithAndWithoutBatches) {
  for (const char* tool : {"ffmpeg", "exiftool", "zip"}) {
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  TempDir dir;
  const std::string source = dir / "Disc";
  ASSERT_TRUE(testing::MakeSong(source + "/Music/full.mp3") &&
              testing::MakeSong(source + "/Music/full.flac") &&
              testing::MakePhoto(source + "/Photos/p1.jpg"));
  ASSERT_TRUE(
      Make("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=1 -write_id3v1 1 "
           "-metadata title=Only " +
           Quote(source + "/Music/part.mp3")));
  // A photo whose Exif block runs past the first page.
  ASSERT_TRUE(Make("cp " + Quote(source + "/Photos/p1.jpg") + " " +
                   Quote(source + "/Photos/long.jpg") + " && exiftool -q -overwrite_original " +
                   "-UserComment=" + std::string(6000, 'c') + " " +
                   Quote(source + "/Photos/long.jpg")));
  WriteFile(source + "/Music/cut.mp3", ReadFile(source + "/Music/full.mp3").substr(0, 100));
  WriteFile(source + "/Music/empty.flac", "");
  WriteFile(dir / "in/a.txt", "inside");
  ASSERT_TRUE(
      Make("cd " + Quote(dir / "in") + " && zip -q " + Quote(source + "/box.zip") + " a.txt"));
  auto scan = [&] {
    CatalogTree tree;
    ScanReport report;
    ScanFolder(&tree, source, false, "", dir / "Disc.xml", NoProgress(), nullptr, &report,
               {true, true});
    EXPECT_GE(report.deep.files_tagged, 5U);
    return Dump(tree);
  };
  const std::string batched = scan();
  std::string alone;
  {
    const WithoutIoUring off;
    alone = scan();
  }
  EXPECT_EQ(batched, alone);
  EXPECT_NE(batched.find("Title=Only"), std::string::npos);
  EXPECT_NE(batched.find("Camera=Canon EOS 5D"), std::string::npos);
}

}  // namespace
}  // namespace lumivor
