// lumivor-cli scan --archives --metadata and search --meta: a music folder with an archive,
// catalogued and searched from a shell.

#include <gtest/gtest.h>

#include "media_fixtures.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::HaveTool;
using testing::Make;
using testing::Quote;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

TEST(DeepScanCommand, OptionsListArchivesAndReadTagsThatSearchFinds) {
  if (!HaveTool("ffmpeg") || !HaveTool("zip")) GTEST_SKIP() << "ffmpeg or zip is not installed";
  TempDir source, library;
  ASSERT_TRUE(testing::MakeSong(source / "Albums/one.flac", "Grüße", "The Testers"));
  WriteFile(source / "in/lyrics/one.txt", "la la");
  ASSERT_TRUE(Make("cd " + Quote(source / "in") + " && zip -q -r ../extras.zip lyrics"));
  std::filesystem::remove_all(source / "in");
  WriteFile(source / "broken.zip", "not a zip");
  const std::string scan =
      Cli() + " scan " + Quote(source.Path()) + " --library " + Quote(library.Path()) + " --name ";

  // Without the options a catalog is as it always was.
  const auto plain = RunCommand(scan + "Plain");
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.err, "");
  const std::string plain_text = ReadFile(library / "Plain.xml");
  EXPECT_EQ(plain_text.find("Title="), std::string::npos);
  EXPECT_EQ(plain_text.find("lyrics"), std::string::npos);

  const auto deep = RunCommand(scan + "Deep --archives --metadata");
  ASSERT_EQ(deep.status, 0) << deep.err;
  EXPECT_EQ(deep.err,
            "Looked inside 1 archive. Read the tags of 1 file. 1 archive was not opened and "
            "stands as a plain file: 1 unreadable.\n");
  const std::string text = ReadFile(library / "Deep.xml");
  EXPECT_NE(text.find("CatalogName=\"Deep\" Title=\"Grüße\" Artist=\"The Testers\" Album=\"Sine "
                      "Waves\" Year=\"1999\" Duration=\"2.5\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("FullPath=\"" + source.Path() + "/extras.zip/lyrics/one.txt\""),
            std::string::npos);

  const auto found =
      RunCommand(Cli() + " search --library " + Quote(library.Path()) + " --meta testers");
  ASSERT_EQ(found.status, 0) << found.err;
  EXPECT_NE(found.out.find("one.flac"), std::string::npos) << found.out;
  EXPECT_NE(found.err.find("1 match,"), std::string::npos) << found.err;
  const auto none = RunCommand(Cli() + " search --library " + Quote(library.Path()) +
                               " --meta testers --ext mp3");
  EXPECT_NE(none.err.find("0 matches,"), std::string::npos) << none.err;
}

// Without its reader module a deep scan still catalogues every file, and says what it could not
// do and why instead of leaving the tags out silently.
TEST(DeepScanCommand, AMissingReaderModuleIsReportedAndTheFilesStayCatalogued) {
  TempDir source, library;
  WriteFile(source / "one.flac", "not really music");
  WriteFile(source / "extras.zip", "not really an archive");
  WriteFile(source / "notes.txt", "plain");
  const auto deep = RunCommand("LUMIVOR_MEDIA_MODULE=/nonexistent/liblumivor_media.so " + Cli() +
                               " scan " + Quote(source.Path()) + " --library " +
                               Quote(library.Path()) + " --name Deep --archives --metadata");
  ASSERT_EQ(deep.status, 0) << deep.err;
  EXPECT_EQ(deep.err.rfind("Looked inside 0 archives. Read the tags of 0 files. 2 files were "
                           "catalogued without looking inside: the tag and archive readers "
                           "(liblumivor_media.so) could not be loaded:\n  "
                           "/nonexistent/liblumivor_media.so: cannot open shared object file",
                           0),
            0U)
      << deep.err;
  const std::string text = ReadFile(library / "Deep.xml");
  for (const char* name : {"one.flac", "extras.zip", "notes.txt"}) {
    EXPECT_NE(text.find(std::string("FileName=\"") + name + "\""), std::string::npos) << name;
  }
}

}  // namespace
}  // namespace lumivor
