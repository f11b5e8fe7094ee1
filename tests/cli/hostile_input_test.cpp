#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kCatalog =
    "<?xml version=\"1.0\"?><fileinfo><file FileName=\"song.mp3\" FileType=\"file\"/></fileinfo>";

// Exactly one line on stderr that starts with `path`, nothing on stdout, exit status 1.
void ExpectOneLineFailure(const testing::CommandResult& result, const std::string& line) {
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, line + "\n");
}

TEST(HostileInput, FifosAndDevicesAreRefusedNotReadForever) {
  TempDir dir;
  const std::string fifo = dir / "fifo.xml";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // `timeout` turns a hang into a failure (status 124) instead of a stuck test.
  const std::string cli = "timeout 20 " + Cli();
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    const std::string refusal = path + ": not a regular file";
    ExpectOneLineFailure(RunCommand(cli + " show '" + path + "'"), refusal);
    ExpectOneLineFailure(
        RunCommand(cli + " export '" + path + "' --format csv -o '" + dir / "out.csv" + "'"),
        refusal);
    ExpectOneLineFailure(RunCommand(cli + " search --scope '" + path + "' --name a"), refusal);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "out.csv"));
}

// A FIFO inside the library is no catalog on any route: listing, searching (with and without
// the index) and describing pass it by at once instead of waiting for a writer.
TEST(HostileInput, AFifoInTheLibraryIsPassedByAtOnce) {
  TempDir dir;
  const std::string library = dir / "lib";
  WriteFile(library + "/Mp3/songs.xml", kCatalog);
  ASSERT_EQ(::mkfifo((library + "/Mp3/pipe.xml").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((library + "/top").c_str(), 0600), 0);
  const std::string cli = "timeout 20 " + Cli();
  const auto started = std::chrono::steady_clock::now();
  const testing::CommandResult list = RunCommand(cli + " list --library '" + library + "'");
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("songs"), std::string::npos);
  EXPECT_EQ(list.out.find("pipe"), std::string::npos);
  for (const char* index : {"", " --no-index"}) {
    const testing::CommandResult search =
        RunCommand(cli + " search --name song --library '" + library + "'" + index);
    EXPECT_EQ(search.status, 0) << search.err;
    EXPECT_NE(search.out.find("song.mp3"), std::string::npos);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

// A catalog written by another program with bytes that are no UTF-8 in a name and a
// description: every route meets the same cleaned text, so what `show` prints is what search
// finds (through the index and without it), what an export writes and what describe addresses.
TEST(HostileInput, InvalidUtf8IsOneCleanedTextOnEveryRoute) {
  TempDir dir;
  const std::string library = dir / "lib";
  WriteFile(library + "/Disk.xml",
            "<?xml version=\"1.0\"?><fileinfo><file FileName=\"/d\" FullPath=\"/d\" "
            "FileType=\"directory\"><file FileName=\"bad\xFFname.txt\" "
            "FullPath=\"/d/bad\xFFname.txt\" FileType=\"file\" Description=\"n\xC3ote\"/>"
            "</file></fileinfo>");
  const std::string cli = "timeout 20 " + Cli();
  const std::string shown_name = "bad\xEF\xBF\xBDname.txt";
  const testing::CommandResult show = RunCommand(cli + " show '" + library + "/Disk.xml'");
  ASSERT_EQ(show.status, 0) << show.err;
  EXPECT_NE(show.out.find(shown_name), std::string::npos);
  EXPECT_NE(show.out.find("n\xEF\xBF\xBDote"), std::string::npos);
  const std::string searches[] = {"--name 'bad\xEF\xBF\xBDname'",
                                  "--name '" + shown_name + "' --whole",
                                  "--name 'bad\xFEname'",  // other bytes, the same text
                                  "--description 'n\xEF\xBF\xBDo'", "--regex '^bad.name'"};
  for (const std::string& criteria : searches) {
    for (const char* index : {"", " --no-index"}) {
      const testing::CommandResult found =
          RunCommand(cli + " search --library '" + library + "' " + criteria + index);
      EXPECT_EQ(found.status, 0) << found.err;
      EXPECT_NE(found.out.find(shown_name), std::string::npos) << criteria << index;
    }
  }
  const testing::CommandResult described =
      RunCommand(cli + " describe '" + library + "/Disk.xml' '/d/" + shown_name + "' 'kept'");
  EXPECT_EQ(described.status, 0) << described.err;
  const testing::CommandResult exported = RunCommand(
      cli + " export '" + library + "/Disk.xml' --format csv -o '" + dir / "out.csv" + "'");
  EXPECT_EQ(exported.status, 0) << exported.err;
  const std::string csv = testing::ReadFile(dir / "out.csv");
  EXPECT_NE(csv.find(shown_name), std::string::npos);
  EXPECT_NE(csv.find("kept"), std::string::npos);
}

TEST(HostileInput, AFailedWorkbookExportSaysSoInOneLine) {
  TempDir dir;
  WriteFile(dir / "a.xml", kCatalog);
  for (const std::string& target : {std::string("/dev/full"), dir / "none/out.xlsx"}) {
    const auto result =
        RunCommand(Cli() + " export '" + dir / "a.xml" + "' --format xlsx -o '" + target + "'");
    EXPECT_EQ(result.status, 1) << target;
    EXPECT_EQ(result.err.rfind("Cannot write " + target + ": ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

TEST(HostileInput, ExportsFollowLinksAndWriteThroughStandardOutput) {
  TempDir dir;
  WriteFile(dir / "a.xml", kCatalog);
  WriteFile(dir / "real.csv", "old");
  ::symlink("real.csv", (dir / "link.csv").c_str());
  const std::string export_a = "cd '" + dir.Path() + "' && " + Cli() + " export a.xml --format csv";
  const auto linked = RunCommand(export_a + " -o link.csv");
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.csv"));
  EXPECT_NE(testing::ReadFile(dir / "real.csv").find("song.mp3"), std::string::npos);
  const auto piped = RunCommand(export_a + " -o -");
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, testing::ReadFile(dir / "real.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "-"));
}

TEST(HostileInput, ACatalogPipedToStandardInputIsRead) {
  TempDir dir;
  WriteFile(dir / "a.xml", kCatalog);
  const auto result = RunCommand("cat '" + dir / "a.xml" + "' | " + Cli() + " show /dev/stdin");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("0\tsong.mp3\t"), std::string::npos) << result.out;
}

TEST(HostileInput, MissingScopesAndLibrariesAreErrors) {
  TempDir dir;
  const std::string missing = dir / "none";
  ExpectOneLineFailure(RunCommand(Cli() + " search --scope '" + missing + "' --name a"),
                       missing + ": No such file or directory");
  ExpectOneLineFailure(RunCommand(Cli() + " search --library '" + missing + "' --name a"),
                       missing + ": No such file or directory");
  ExpectOneLineFailure(RunCommand(Cli() + " list --library '" + missing + "'"),
                       missing + ": No such file or directory");
}

// The command line tool as a user whom permissions bind (root reads every folder), with its data
// in `data_dir`.
std::string UnprivilegedCli(const std::string& data_dir) {
  std::filesystem::create_directories(data_dir);
  ::chmod(data_dir.c_str(), 0777);
  const std::string env = "LUMIVOR_DATA_DIR='" + data_dir + "' ";
  if (::geteuid() != 0) return env + Cli();
  return "setpriv --reuid=65534 --regid=65534 --clear-groups env " + env + Cli();
}

TEST(HostileInput, UnreadableScopesAndFoldersAreNotSilent) {
  TempDir dir;
  ::chmod(dir.Path().c_str(), 0755);
  WriteFile(dir / "lib/Open/a.xml", kCatalog);
  WriteFile(dir / "lib/Closed/b.xml", kCatalog);
  WriteFile(dir / "lib/locked.xml", kCatalog);
  ::chmod((dir / "lib/Closed").c_str(), 0);
  ::chmod((dir / "lib/locked.xml").c_str(), 0);
  const std::string cli = UnprivilegedCli(dir / "data");
  ExpectOneLineFailure(RunCommand(cli + " search --scope '" + dir / "lib/Closed" + "' --name song"),
                       dir / "lib/Closed: Permission denied");
  ExpectOneLineFailure(
      RunCommand(cli + " search --scope '" + dir / "lib/locked.xml" + "' --name song"),
      dir / "lib/locked.xml: Permission denied");
  ExpectOneLineFailure(RunCommand(cli + " list --library '" + dir / "lib/Closed" + "'"),
                       dir / "lib/Closed: Permission denied");
  // Within a readable scope the closed folder and the locked file count as skipped.
  const auto result =
      RunCommand(cli + " search --no-index --scope '" + dir / "lib" + "' --name song");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "1 match, 2 files skipped (not readable catalogs)\n");
}

}  // namespace
}  // namespace lumivor
