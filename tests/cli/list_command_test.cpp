#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kHeader =
    "Depth\tFileName\tFullPath\tFileSize\tFileTime\tFileType\tSizePercentage";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The line without its FileTime column, which depends on when the test ran.
std::string WithoutTime(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    cells.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (cells.size() > 4) cells.erase(cells.begin() + 4);
  std::string out;
  for (std::size_t i = 0; i < cells.size(); ++i) out += (i ? "\t" : "") + cells[i];
  return out;
}

TEST(ListCommand, PrintsTheLibraryInPreOrderWithSizesAndShares) {
  TempDir dir;
  const std::string root = dir / "Lib";
  WriteFile(root + "/Mp3/a.xml", std::string(1000, 'a'));
  WriteFile(root + "/b.xml", std::string(3000, 'b'));
  WriteFile(root + "/Odd\tGroup/c\\d.xml", "");
  std::filesystem::create_directory(root + "/DVD");

  const auto result = RunCommand(Cli() + " list --library '" + root + "'");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 8u) << result.out;
  EXPECT_EQ(lines[0], kHeader);
  EXPECT_EQ(WithoutTime(lines[1]), "0\tCatalogLibrary\t" + root + "\t4000\tdirectory\t100");
  // Siblings come in the file system's order, but a group's catalogs follow it directly.
  const auto position = [&](const std::string& line) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& l) { return WithoutTime(l) == line; }) -
           lines.begin();
  };
  const auto mp3 = position("1\tMp3\t" + root + "/Mp3\t1000\tdirectory\t25.00");
  EXPECT_EQ(position("2\ta\t" + root + "/Mp3/a.xml\t1000\tfile\t25.00"), mp3 + 1);
  EXPECT_LT(position("1\tb\t" + root + "/b.xml\t3000\tfile\t75.00"), 8);
  EXPECT_LT(position("1\tDVD\t" + root + "/DVD\t0\tdirectory\t0.00"), 8);
  const auto odd = position("1\tOdd\\tGroup\t" + root + "/Odd\\tGroup\t0\tdirectory\t0.00");
  EXPECT_EQ(position("2\tc\\\\d\t" + root + "/Odd\\tGroup/c\\\\d.xml\t0\tfile\t0.00"), odd + 1);
}

TEST(ListCommand, GroupsOnlyAndAMissingLibrary) {
  TempDir dir;
  WriteFile(dir / "Lib/Mp3/a.xml", "abc");
  auto result = RunCommand(Cli() + " list --groups-only --library '" + dir / "Lib" + "'");
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 3u) << result.out;
  EXPECT_EQ(WithoutTime(lines[1]), "0\tCatalogLibrary\t" + dir / "Lib" + "\t0\tdirectory\t100");
  EXPECT_EQ(WithoutTime(lines[2]), "1\tMp3\t" + dir / "Lib/Mp3" + "\t0\tdirectory\t");

  result = RunCommand(Cli() + " list --library '" + dir / "None" + "'");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, dir / "None" + ": No such file or directory\n");
}

}  // namespace
}  // namespace lumivor
