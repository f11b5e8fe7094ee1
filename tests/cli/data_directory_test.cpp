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

}  // namespace
}  // namespace lumivor
