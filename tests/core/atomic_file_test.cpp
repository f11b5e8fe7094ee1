#include "core/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "catalog/catalog_file.h"
#include "core/errors.h"
#include "library/library_storage.h"
#include "search/search.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The names in `directory`, sorted.
std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string WriteFailure(const std::string& path, std::string_view data) {
  try {
    WriteFileAtomically(path, data);
    return "";
  } catch (const LumivorError& e) {
    return e.what();
  }
}

TEST(AtomicFile, ReplacesOnCommitOnlyAndLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "a.xml";
  WriteFile(path, "old");
  ::chmod(path.c_str(), 0640);
  {
    AtomicFile file(path);
    file.Write("new, never committed");
  }
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"a.xml"});
  WriteFileAtomically(path, "new");
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"a.xml"});
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(WriteFailure(dir / "none/a.xml", "x"),
            "Cannot write " + dir / "none/a.xml" + ": No such file or directory");
}

TEST(AtomicFile, LargeFilesWrittenBackWhileMadeKeepEveryByte) {
  // Pieces of odd sizes past several writeback steps and two syncs made on the background
  // thread while writing goes on, the last pieces still in the buffer.
  TempDir dir;
  const std::string path = dir / "big.xml";
  std::string expected;
  {
    AtomicFile file(path);
    std::string piece;
    for (std::size_t i = 0; expected.size() < (std::size_t{70} << 20); ++i) {
      piece.assign(1000 + i % 70000, static_cast<char>('a' + i % 26));
      file.Write(piece);
      expected += piece;
    }
    file.Write("end");
    expected += "end";
    EXPECT_FALSE(std::filesystem::exists(path));  // nothing shows before the commit
    file.Commit();
  }
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"big.xml"});

  // A large write given up while its background sync may still run leaves the old file alone.
  {
    AtomicFile file(path);
    const std::string piece(1 << 20, 'z');
    for (int i = 0; i < 40; ++i) file.Write(piece);
  }
  EXPECT_EQ(std::filesystem::file_size(path), expected.size());
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"big.xml"});
}

TEST(AtomicFile, ALinkIsFollowedAndItsTargetReplaced) {
  TempDir dir;
  WriteFile(dir / "real/a.xml", "old");
  std::filesystem::create_directories(dir / "links");
  ::symlink("../real/a.xml", (dir / "links/rel.xml").c_str());
  ::symlink((dir / "links/rel.xml").c_str(), (dir / "chain.xml").c_str());
  WriteFileAtomically(dir / "chain.xml", "new");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "chain.xml"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "links/rel.xml"));
  EXPECT_EQ(ReadFile(dir / "real/a.xml"), "new");
  EXPECT_EQ(Names(dir / "real"), std::vector<std::string>{"a.xml"});
  // A dangling link names the file to create.
  ::symlink("made.xml", (dir / "dangling.xml").c_str());
  WriteFileAtomically(dir / "dangling.xml", "made");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "dangling.xml"));
  EXPECT_EQ(ReadFile(dir / "made.xml"), "made");
  ::symlink("loop.xml", (dir / "loop.xml").c_str());
  EXPECT_EQ(WriteFailure(dir / "loop.xml", "x"),
            "Cannot write " + dir / "loop.xml" + ": Too many levels of symbolic links");
}

TEST(AtomicFile, FifosDevicesAndStandardOutputAreWrittenThrough) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = ReadFile(fifo); });
  WriteFileAtomically(fifo, "through the pipe");
  reader.join();
  EXPECT_EQ(received, "through the pipe");
  struct stat st;
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  // A link to /dev/null stays a link, and /dev/null keeps its mode.
  ::symlink("/dev/null", (dir / "null.csv").c_str());
  WriteFileAtomically(dir / "null.csv", "gone");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "null.csv"));
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"fifo", "null.csv"}));
  EXPECT_EQ(WriteFailure("/dev/full", "x"), "Cannot write /dev/full: No space left on device");

  // "-" is standard output.
  const std::string out = dir / "stdout.txt";
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  const int file = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(file, STDOUT_FILENO);
  ::close(file);
  const std::string failure = WriteFailure("-", "to standard output");
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  EXPECT_EQ(failure, "");
  EXPECT_EQ(ReadFile(out), "to standard output");
  EXPECT_FALSE(std::filesystem::exists(dir / "-"));
}

TEST(AtomicFile, TemporaryNamesFitEveryValidFileName) {
  TempDir dir;
  // 251 bytes and ".xml": the longest catalog file name there can be.
  const std::string longest = std::string(251, 'n') + ".xml";
  WriteFileAtomically(dir / longest, "long");
  EXPECT_EQ(ReadFile(dir / longest), "long");
  for (const std::string& name :
       {longest, std::string(120, 'a') + std::string(60, '\xC3') + "x", std::string("a.xml")}) {
    const std::string prefix = TemporaryNamePrefix(name);
    EXPECT_LE(prefix.size() + 6, 255u) << name;
    EXPECT_TRUE(IsTemporaryFileName(prefix + "Ab3xY9")) << name;
  }
  // A two-byte character is never cut in two.
  const std::string accented = std::string(243, 'a').substr(1) + "\xC3\xA9" + "z.xml";
  EXPECT_EQ(TemporaryNamePrefix(accented), "." + std::string(242, 'a') + ".tmp-");
  EXPECT_EQ(TemporaryNamePrefix("Disk.xml"), ".Disk.xml.tmp-");
  for (const char* name : {"Disk.xml", ".hidden", "Disk.xml.tmp-Ab3xY9", ".Disk.xml.tmp-Ab3x",
                           ".Disk.xml.tmp-Ab3x.9", ".Disk.xml.tmp-Ab3xY9.xml"}) {
    EXPECT_FALSE(IsTemporaryFileName(name)) << name;
  }
}

TEST(AtomicFile, StaleTemporaryFilesGoLiveOnesStay) {
  TempDir dir;
  WriteFile(dir / "Disk.xml", "old");
  WriteFile(dir / ".Disk.xml.tmp-dead01", "killed writer");
  WriteFile(dir / ".Disk.xml.tmp-live01", "writer at work");
  WriteFile(dir / ".Other.xml.tmp-dead02", "another target's");
  WriteFile(dir / ".Disk.xml.tmp-notours.txt", "a user's file");
  // A living writer holds its lock.
  const int live = ::open((dir / ".Disk.xml.tmp-live01").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);
  WriteFileAtomically(dir / "Disk.xml", "new");
  EXPECT_EQ(Names(dir.Path()),
            (std::vector<std::string>{".Disk.xml.tmp-live01", ".Disk.xml.tmp-notours.txt",
                                      ".Other.xml.tmp-dead02", "Disk.xml"}));
  ::close(live);
  WriteFileAtomically(dir / "Disk.xml", "newer");
  EXPECT_FALSE(std::filesystem::exists(dir / ".Disk.xml.tmp-live01"));
}

TEST(AtomicFile, LibraryAndSearchPassOverTemporaryFiles) {
  TempDir dir;
  const std::string catalog =
      "<?xml version=\"1.0\"?><fileinfo><file FileName=\"song.mp3\" FileType=\"file\"/></fileinfo>";
  WriteFile(dir / "Mp3/Disk.xml", catalog);
  WriteFile(dir / "Mp3/.Disk.xml.tmp-AbCd12", catalog);
  const CatalogTree listed = ListLibrary(dir.Path(), false);
  EXPECT_EQ(listed.Size(), 3u);  // the root, the group and one catalog
  SearchCriteria criteria;
  criteria.scope_path = dir.Path();
  criteria.scope_is_directory = true;
  criteria.name = "song";
  const SearchOutcome outcome = SearchLibrary(criteria, NoProgress());
  EXPECT_EQ(outcome.results.Size(), 1u);
  EXPECT_EQ(outcome.skipped_files, 0u);
}

// A tree big enough that saving it takes a while, so that kills land in every phase of a save.
CatalogTree BigTree(int files, std::string_view mark) {
  CatalogTree tree;
  CatalogRecord top;
  top.SetField(kFileName, "Disk");
  top.SetField(kFileType, "directory");
  auto* root = tree.AddChild(nullptr, std::move(top));
  for (int i = 0; i < files; ++i) {
    CatalogRecord record;
    record.SetField(kFileName, std::string(mark) + "-" + std::to_string(i) + ".mp3");
    record.SetField(kFileType, "file");
    record.SetField(kDescription, std::string(40, 'd'));
    tree.AddChild(root, std::move(record));
  }
  return tree;
}

TEST(AtomicFile, SavesKilledAtRandomMomentsLeaveOneWholeCatalog) {
  TempDir dir, elsewhere;
  const std::string group = dir / "Mp3";
  const std::string path = group + "/Disk.xml";
  std::filesystem::create_directories(group);
  constexpr int kFiles = 20000;
  WriteCatalogFile(BigTree(kFiles, "song"), path, NoProgress());
  std::mt19937 random(20240607);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int kills = 0;
  for (; kills < 40 && std::chrono::steady_clock::now() < deadline; ++kills) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const CatalogTree tree = BigTree(kFiles, "song");
      for (;;) {
        WriteCatalogFile(tree, path, NoProgress());
        WriteFileAtomically(elsewhere / "config.xml", "<config/>");
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    ::kill(child, SIGKILL);
    int status;
    ::waitpid(child, &status, 0);
    // Whatever the moment, the catalog is the old one or the new one, whole.
    ASSERT_EQ(LoadCatalog(path).Size(), kFiles + 1u) << "after kill " << kills;
  }
  EXPECT_GE(kills, 10);
  const CatalogTree listed = ListLibrary(dir.Path(), false);
  std::vector<std::string> catalogs;
  listed.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (node->Field(kFileType) == "file") catalogs.emplace_back(node->Field(kFileName));
  });
  EXPECT_EQ(catalogs, (std::vector<std::string>{"Disk"}));
  SearchCriteria criteria;
  criteria.scope_path = dir.Path();
  criteria.scope_is_directory = true;
  criteria.name = "song-1999.";
  const SearchOutcome outcome = SearchLibrary(criteria, NoProgress());
  EXPECT_EQ(outcome.results.Size(), 1u);
  EXPECT_EQ(outcome.skipped_files, 0u);
  // The next save clears whatever an unlucky kill left named.
  WriteCatalogFile(BigTree(3, "song"), path, NoProgress());
  EXPECT_EQ(Names(group), std::vector<std::string>{"Disk.xml"});
  WriteFileAtomically(elsewhere / "config.xml", "<config/>");
  EXPECT_EQ(Names(elsewhere.Path()), std::vector<std::string>{"config.xml"});
}

}  // namespace
}  // namespace lumivor
