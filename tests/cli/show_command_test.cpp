#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kHeader =
    "Depth\tFileName\tFullPath\tFileSize\tFileTime\tFileExt\tFileType\tDescription\t"
    "FileNameLength\tPathNameLength\tSizePercentage\tCatalogName\n";

TEST(ShowCommand, PrintsRecordsInPreOrderWithEscapes) {
  TempDir dir;
  WriteFile(dir / "Disk.xml",
            "<?xml version=\"1.0\"?><fileinfo><file FileName=\"top\" FileSize=\"3\">"
            "<file FileName=\"a&#9;b\" Description=\"x\\y&#10;z\"/></file></fileinfo>");
  const auto result = RunCommand(Cli() + " show '" + dir / "Disk.xml" + "'");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string(kHeader) +
                            "0\ttop\ttop\t3\t\t\tdirectory\t\t\t\t\tDisk\n"
                            "1\ta\\tb\t\t\t\t\t\tx\\\\y\\nz\t\t\t\tDisk\n");
  EXPECT_EQ(result.err, "");
}

TEST(ShowCommand, UnreadableFilesGiveOneLineAndStatusOne) {
  TempDir dir;
  WriteFile(dir / "empty.xml", "");
  WriteFile(dir / "cut.xml", "<fileinfo><file FileName=\"a\">");
  WriteFile(dir / "text.xml", "just some words");
  const std::string cases[] = {dir / "missing.xml", dir / "empty.xml", dir / "cut.xml",
                               dir / "text.xml", dir.Path()};
  for (const auto& path : cases) {
    const auto result = RunCommand(Cli() + " show '" + path + "'");
    EXPECT_EQ(result.status, 1) << path;
    EXPECT_EQ(result.out, "") << path;
    EXPECT_EQ(result.err.rfind(path + ": ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

}  // namespace
}  // namespace lumivor
