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

  // Long values are scanned eight bytes at a time: escapes at every offset of a word.
  std::string name, escaped;
  for (int i = 0; i < 40; ++i) {
    name += std::string(static_cast<std::size_t>(i % 11), 'n');
    escaped += std::string(static_cast<std::size_t>(i % 11), 'n');
    const char* const kinds[][2] = {{"&#9;", "\\t"}, {"\\", "\\\\"}, {"&#13;", "\\r"}};
    name += kinds[i % 3][0];
    escaped += kinds[i % 3][1];
  }
  WriteFile(dir / "Long.xml",
            "<?xml version=\"1.0\"?><fileinfo><file FileName=\"" + name + "\"/></fileinfo>");
  const auto long_result = RunCommand(Cli() + " show '" + dir / "Long.xml" + "'");
  EXPECT_EQ(long_result.out, std::string(kHeader) + "0\t" + escaped + "\t" + escaped +
                                 "\t\t\t\tdirectory\t\t\t\t\tLong\n");
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

TEST(ShowCommand, JsonLinesCarryEveryAttributeForScripts) {
  TempDir dir;
  WriteFile(dir / "Disk.xml",
            "<fileinfo><file FileName=\"top\" ScanDate=\"2026-01-02 03:04:05\">"
            "<file FileName=\"q&quot;\\&#9;\" FileType=\"file\" Artist=\"Ab\xC3\xA9\" "
            "Duration=\"3.5\" Empty=\"\"/></file></fileinfo>");
  const auto result = RunCommand(Cli() + " show --json '" + dir / "Disk.xml" + "'");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\"depth\":0,\"FileName\":\"top\",\"FullPath\":\"top\",\"FileType\":\"directory\","
            "\"CatalogName\":\"Disk\",\"ScanDate\":\"2026-01-02 03:04:05\"}\n"
            "{\"depth\":1,\"FileName\":\"q\\\"\\\\\\t\",\"FileType\":\"file\","
            "\"CatalogName\":\"Disk\",\"Artist\":\"Ab\xC3\xA9\",\"Duration\":\"3.5\"}\n");
}

TEST(ShowCommand, ReadsAPipeOnceAndRefusesOtherSpecialFiles) {
  TempDir dir;
  // A comment-free catalog and one that needs the second route both read from a pipe.
  WriteFile(dir / "a.xml", "<fileinfo><file FileName=\"top\"/></fileinfo>");
  WriteFile(dir / "b.xml",
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><fileinfo><file FileName=\"caf\xE9\"/>"
            "</fileinfo>");
  for (const char* name : {"a.xml", "b.xml"}) {
    for (const char* input : {"-", "/dev/stdin"}) {
      const auto result =
          RunCommand("cat '" + dir / name + "' | " + Cli() + " show --json " + input);
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_NE(result.out.find(name[0] == 'a' ? "\"top\"" : "\"caf\xC3\xA9\""), std::string::npos)
          << result.out;
    }
  }
  ASSERT_EQ(::mkfifo((dir / "fifo.xml").c_str(), 0600), 0);
  for (const std::string& path : {dir / "fifo.xml", std::string("/dev/zero")}) {
    const auto result = RunCommand(Cli() + " show '" + path + "'");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, path + ": not a regular file\n");
  }
}

}  // namespace
}  // namespace lumivor
