// lumivor-cli on a server library gives what it gives on the same library as a folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/pg_connection.h"
#include "support/pg_test_server.h"
#include "test_util.h"

extern char** environ;

namespace lumivor {
namespace {

using testing::Cli;
using testing::RunCommand;
using testing::SharedPgServer;
using testing::TempDir;
using testing::WriteFile;

std::string Catalog(const std::string& records) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><fileinfo generated=\"x\">" + records +
         "</fileinfo>";
}

std::string Entries(const std::string& top, int count) {
  std::string records = "<file FileName=\"" + top + "\" FullPath=\"" + top +
                        "\" FileType=\"directory\" FileSize=\"" + std::to_string(count * 10) +
                        "\" FileTime=\"2020-01-02 03:04:06\">";
  for (int i = 0; i < count; ++i) {
    const std::string name =
        (i % 3 == 0 ? "song" : "photo") + std::to_string(i) + (i % 3 == 0 ? ".mp3" : ".jpg");
    records += "<file FileName=\"" + name + "\" FullPath=\"" + top + "/" + name +
               "\" FileSize=\"10\" FileTime=\"2020-01-02\" FileExt=\"" +
               name.substr(name.size() - 3) + "\" FileType=\"file\"" +
               (i % 4 == 0 ? " Description=\"old take\"" : "") +
               (i % 5 == 0 ? " Artist=\"The Band\"" : "") + "/>";
  }
  return records + "</file>";
}

class CliServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SharedPgServer().Error().empty()) << SharedPgServer().Error();
    std::string database;
    for (const char c :
         std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())) {
      database += static_cast<char>(std::tolower(c));
    }
    database_ = database;
    uri_ = SharedPgServer().CreateDatabase(database);
    library_ = dir_ / "CatalogLibrary";
    WriteFile(library_ + "/Mp3/Live/Concert.xml", Catalog(Entries("/media/live", 30)));
    WriteFile(library_ + "/Mp3/Studio.xml", Catalog(Entries("/media/studio", 12)));
    WriteFile(library_ + "/Photos.xml", Catalog(Entries("/home/ann/photos", 20)));
    std::filesystem::create_directories(library_ + "/Empty");
    const testing::CommandResult push =
        RunCommand(Cli() + " library push '" + library_ + "' '" + uri_ + "'");
    ASSERT_EQ(push.status, 0) << push.err;
    EXPECT_EQ(push.out, "entries=65\n");
  }
  // `text` with the folder library's path written as the server library's location.
  std::string AsServer(std::string text) const {
    for (std::size_t at = text.find(library_); at != std::string::npos;
         at = text.find(library_, at)) {
      text.replace(at, library_.size(), uri_);
    }
    return text;
  }
  TempDir dir_;
  std::string library_, uri_, database_;
};

TEST_F(CliServerTest, ListSearchShowAndExportGiveTheFolderLibrarysOutput) {
  const testing::CommandResult folder_list =
      RunCommand(Cli() + " list --library '" + library_ + "'");
  const testing::CommandResult server_list = RunCommand(Cli() + " list --library '" + uri_ + "'");
  ASSERT_EQ(server_list.status, 0) << server_list.err;
  // The catalogs' sizes and times are the files'; a group's time is its folder's.
  EXPECT_EQ(server_list.out, AsServer(folder_list.out));

  const std::vector<std::string> criteria = {"--name song",
                                             "--name photo1 --case-sensitive",
                                             "--ext mp3 --whole",
                                             "--description take",
                                             "--meta band",
                                             "--regex '^photo1[0-9]'",
                                             "--name o --ext jpg",
                                             "--name song --scope Mp3",
                                             "--name song --scope Mp3/Studio"};
  for (const std::string& options : criteria) {
    SCOPED_TRACE(options);
    std::string folder_options = options;
    if (const std::size_t scope = options.find("--scope "); scope != std::string::npos) {
      std::string path = library_ + "/" + options.substr(scope + 8);
      if (!std::filesystem::is_directory(path)) path += ".xml";
      folder_options = options.substr(0, scope) + "--scope '" + path + "'";
    }
    const testing::CommandResult folder =
        RunCommand(Cli() + " search --no-index --library '" + library_ + "' " + folder_options);
    const testing::CommandResult server =
        RunCommand(Cli() + " search --library '" + uri_ + "' " + options);
    ASSERT_EQ(server.status, 0) << server.err;
    EXPECT_EQ(server.out, folder.out);
    EXPECT_NE(server.out.find('\n'), server.out.size() - 1) << "no results: a weak case";
    EXPECT_EQ(server.err, folder.err);
  }

  const testing::CommandResult shown =
      RunCommand(Cli() + " show --json --library '" + uri_ + "' Mp3/Live/Concert");
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out,
            RunCommand(Cli() + " show --json '" + library_ + "/Mp3/Live/Concert.xml'").out);

  for (const char* format : {"csv", "html", "xml"}) {
    SCOPED_TRACE(format);
    // The HTML export is titled after its file: both go to files of one name.
    std::filesystem::create_directories(dir_ / "folder");
    std::filesystem::create_directories(dir_ / "server");
    const std::string folder_out = dir_ / (std::string("folder/out.") + format);
    const std::string server_out = dir_ / (std::string("server/out.") + format);
    ASSERT_EQ(RunCommand(Cli() + " export '" + library_ + "/Mp3/Studio.xml' --format " + format +
                         " -o '" + folder_out + "'")
                  .status,
              0);
    const testing::CommandResult exported =
        RunCommand(Cli() + " export --library '" + uri_ + "' Mp3/Studio --format " + format +
                   " -o '" + server_out + "'");
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(testing::ReadFile(server_out), testing::ReadFile(folder_out));
  }

  const testing::CommandResult pulled =
      RunCommand(Cli() + " library pull '" + uri_ + "' '" + dir_ / "back" + "'");
  ASSERT_EQ(pulled.status, 0) << pulled.err;
  for (const char* catalog : {"Mp3/Live/Concert.xml", "Mp3/Studio.xml", "Photos.xml"}) {
    EXPECT_EQ(RunCommand(Cli() + " show --json '" + dir_ / "back/" + catalog + "'").out,
              RunCommand(Cli() + " show --json '" + library_ + "/" + catalog + "'").out)
        << catalog;
  }
}

TEST_F(CliServerTest, DescribeLandsConcurrentEditsAndRefusesStaleAndReadOnlyOnes) {
  for (const std::string& library : {library_, uri_}) {
    SCOPED_TRACE(library);
    // Eight writers at once, each on its own entry: every note lands.
    std::string script;
    int note = 0;
    for (const int photo : {1, 2, 4, 5, 7, 8, 10, 11}) {
      script += Cli() + " describe --library '" + library + "' Mp3/Studio /media/studio/photo" +
                std::to_string(photo) + ".jpg 'note " + std::to_string(++note) + "' & ";
    }
    ASSERT_EQ(RunCommand("(" + script + "wait)").status, 0);
    const testing::CommandResult shown =
        RunCommand(Cli() + " show --library '" + library + "' Mp3/Studio");
    for (int i = 1; i <= 8; ++i) {
      EXPECT_NE(shown.out.find("\tnote " + std::to_string(i) + "\t"), std::string::npos) << i;
    }

    // Two writers who both saw "old take": exactly one wins, the other is told the text.
    const std::string base =
        Cli() + " describe --library '" + library + "' Mp3/Studio /media/studio/song0.mp3 ";
    const testing::CommandResult both =
        RunCommand("( (" + base + "first --expect 'old take'; echo $? ) & (" + base +
                   "second --expect 'old take'; echo $?) & wait)");
    const std::string& statuses = both.out;
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), '0'), 1) << statuses << both.err;
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), '3'), 1) << statuses;
    EXPECT_NE(both.err.find("It now reads: \""), std::string::npos) << both.err;
  }

  ASSERT_TRUE(SharedPgServer().Sql(database_, "CREATE ROLE ro_" + database_ + " LOGIN"));
  ASSERT_TRUE(SharedPgServer().Sql(
      database_, "GRANT SELECT ON ALL TABLES IN SCHEMA public TO ro_" + database_));
  const testing::CommandResult refused = RunCommand(
      Cli() + " describe --library '" + SharedPgServer().Uri(database_, "ro_" + database_) +
      "' Mp3/Studio /media/studio/song0.mp3 'mine'");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err.rfind("This role may only read the library", 0), 0u) << refused.err;
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
}

TEST_F(CliServerTest, AScanGoesInWholeAndAStoppedServerGivesOneMessage) {
  TempDir source;
  for (int i = 0; i < 50; ++i) WriteFile(source / ("f" + std::to_string(i) + ".txt"), "x");
  const testing::CommandResult scanned = RunCommand(
      Cli() + " scan '" + source.Path() + "' --name Disk --group Backups --library '" + uri_ + "'");
  ASSERT_EQ(scanned.status, 0) << scanned.err;
  const testing::CommandResult again = RunCommand(
      Cli() + " scan '" + source.Path() + "' --name Disk --group Backups --library '" + uri_ + "'");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  const testing::CommandResult shown =
      RunCommand(Cli() + " show --library '" + uri_ + "' Backups/Disk");
  EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 52) << shown.err;

  ASSERT_TRUE(SharedPgServer().Stop());
  const testing::CommandResult lost = RunCommand(Cli() + " list --library '" + uri_ + "'");
  ASSERT_TRUE(SharedPgServer().Restart()) << SharedPgServer().Error();
  EXPECT_EQ(lost.status, 1);
  EXPECT_EQ(std::count(lost.err.begin(), lost.err.end(), '\n'), 1) << lost.err;
  EXPECT_NE(lost.err.find("Cannot connect to the library server"), std::string::npos) << lost.err;
}

TEST_F(CliServerTest, AScanKilledWhileWritingLeavesNoCatalogAndNoGroup) {
  TempDir source;
  for (int i = 0; i < 30; ++i) WriteFile(source / ("f" + std::to_string(i) + ".txt"), "x");
  // Another session holds the entries back, so that the scan is caught in the middle of its
  // transaction: its group and catalog rows written, its entries on their way.
  pg::Connection holder(uri_);
  holder.Exec("BEGIN");
  holder.Exec("LOCK TABLE entries IN SHARE MODE");
  std::string cli = LUMIVOR_CLI_PATH, scan = "scan", from = source.Path(), name = "--name",
              killed = "Killed", group = "--group", half = "Half", library = "--library",
              uri = uri_;
  char* argv[] = {cli.data(),   scan.data(), from.data(),    name.data(), killed.data(),
                  group.data(), half.data(), library.data(), uri.data(),  nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, argv[0], &quiet, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&quiet);

  pg::Connection watcher(uri_);
  std::string backend;
  for (int i = 0; i < 2000 && backend.empty(); ++i) {
    const pg::Result waiting = watcher.Exec(
        "SELECT pid FROM pg_stat_activity WHERE datname = current_database()"
        " AND query LIKE 'COPY entries%' AND wait_event_type = 'Lock'");
    if (waiting.Rows() > 0) backend = std::string(waiting.Text(0, 0));
    if (backend.empty()) ::usleep(10000);
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  holder.Exec("ROLLBACK");
  ASSERT_FALSE(backend.empty()) << "the scan never reached its write";
  // The server rolls the scan's transaction back once it finds its client gone.
  for (int i = 0; i < 500; ++i) {
    if (watcher.Exec("SELECT 1 FROM pg_stat_activity WHERE pid = $1", {backend}).Rows() == 0) {
      break;
    }
    ::usleep(10000);
  }
  const testing::CommandResult listed = RunCommand(Cli() + " list --library '" + uri_ + "'");
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out.find("Half"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("Killed"), std::string::npos) << listed.out;
  EXPECT_EQ(watcher.Exec("SELECT count(*) FROM catalogs").Int(0, 0), 3);
  EXPECT_EQ(watcher.Exec("SELECT count(*) FROM entries").Int(0, 0), 65);
}

}  // namespace
}  // namespace lumivor
