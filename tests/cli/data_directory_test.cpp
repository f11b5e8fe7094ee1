#include <gtest/gtest.h>

#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

TEST(CliDataDirectory, LumivorDataDirHoldsTheLibraryAndConfigurationAsForTheProgram) {
  TempDir data, source;
  WriteFile(source / "a.mp3", "1");
  const std::string env = "LUMIVOR_DATA_DIR='" + data / "made/" + "' ";
  const auto scan =
      RunCommand(env + Cli() + " scan '" + source.Path() + "' --name Disk --group Mp3");
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(scan.out, data / "made/CatalogLibrary/Mp3/Disk.xml\n");
  EXPECT_TRUE(std::filesystem::is_regular_file(data / "made/LumivorConfig.xml"));
  EXPECT_TRUE(std::filesystem::is_directory(data / "made/CatalogLibrary/DVD"));

  const auto list = RunCommand(env + Cli() + " list");
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("\tDisk\t" + data / "made/CatalogLibrary/Mp3/Disk.xml\t"),
            std::string::npos)
      << list.out;
  const auto search = RunCommand(env + Cli() + " search --name a.mp3");
  EXPECT_EQ(search.status, 0) << search.err;
  const std::string counts = "1 match, 0 files skipped (not readable catalogs)\n";
  ASSERT_GE(search.err.size(), counts.size()) << search.err;
  EXPECT_EQ(search.err.substr(search.err.size() - counts.size()), counts);
}

TEST(CliDataDirectory, AnInstalledCopyKeepsItsDataInTheUsersDataFolderNotBesideItself) {
  // An installation into a prefix the user can write to: the program must not take its own
  // writable bin/ for a place to keep catalogs.
  TempDir prefix, home, source;
  const std::string bin = prefix / "bin";
  std::filesystem::create_directories(bin);
  std::filesystem::copy_file(LUMIVOR_CLI_PATH, bin + "/lumivor-cli");
  std::filesystem::permissions(bin + "/lumivor-cli", std::filesystem::perms::owner_all);
  WriteFile(source / "a.txt", "1");
  const std::string env = "env -u LUMIVOR_DATA_DIR XDG_DATA_HOME='" + home / "data" + "' ";
  const auto scan =
      RunCommand(env + "'" + bin + "/lumivor-cli' scan '" + source.Path() + "' --name Disk");
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(scan.out, home / "data/lumivor/CatalogLibrary/Disk.xml\n");
  EXPECT_TRUE(std::filesystem::is_regular_file(home / "data/lumivor/LumivorConfig.xml"));
  EXPECT_FALSE(std::filesystem::exists(bin + "/CatalogLibrary"));
  EXPECT_FALSE(std::filesystem::exists(bin + "/LumivorConfig.xml"));
}

}  // namespace
}  // namespace lumivor
