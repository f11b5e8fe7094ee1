#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

// The last line of `text` (without its line end).
std::string LastLine(const std::string& text) {
  const std::size_t end = text.size() - (text.empty() || text.back() != '\n' ? 0 : 1);
  const std::size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1));
}

class UpdateCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(medium_ + "/a.txt", "aaaa");
    WriteFile(medium_ + "/sub/b.doc", "bb");
    fs::create_directories(library_);
    ASSERT_EQ(RunCommand(Cli() + " scan '" + medium_ + "' --name Disk --library '" + library_ + "'")
                  .status,
              0);
    // A description for b.doc, typed into the file as the program would store it.
    std::string text = ReadFile(catalog_);
    const std::string anchor = "FileName=\"b.doc\"";
    text.insert(text.find(anchor) + anchor.size(), " Description=\"the plan\"");
    WriteFile(catalog_, text);
  }

  std::string Update(const std::string& options = "") {
    return Cli() + " update '" + catalog_ + "' " + options;
  }

  TempDir dir_;
  std::string medium_ = dir_ / "medium";
  std::string library_ = dir_ / "lib";
  std::string catalog_ = library_ + "/Disk.xml";
};

TEST_F(UpdateCommand, ListsWhatChangedAndEndsWithTheCounts) {
  fs::rename(medium_ + "/sub/b.doc", medium_ + "/b2.doc");
  fs::remove(medium_ + "/a.txt");
  WriteFile(medium_ + "/new.txt", "n");

  const auto result = RunCommand(Update());
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "added new.txt\nremoved a.txt\nmoved sub/b.doc -> b2.doc\n"
            "added=1 removed=1 moved=1 changed=0 missing=0\n");
  const auto show = RunCommand(Cli() + " show '" + catalog_ + "'");
  EXPECT_NE(show.out.find("b2.doc\t" + medium_ + "/b2.doc\t2\t"), std::string::npos);
  EXPECT_NE(show.out.find("\tthe plan\t"), std::string::npos);
  EXPECT_EQ(show.out.find("a.txt"), std::string::npos);
}

TEST_F(UpdateCommand, DryRunPrintsTheSameAndWritesNothing) {
  fs::remove(medium_ + "/sub/b.doc");
  const std::string before = ReadFile(catalog_);
  const auto dry = RunCommand(Update("--dry-run"));
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(LastLine(dry.out), "added=0 removed=0 moved=0 changed=0 missing=1");
  EXPECT_EQ(ReadFile(catalog_), before);

  const auto real = RunCommand(Update());
  EXPECT_EQ(real.out, dry.out);
  EXPECT_NE(ReadFile(catalog_), before);

  const auto dropped = RunCommand(Update("--drop-missing"));
  EXPECT_EQ(dropped.out, "removed sub/b.doc\nadded=0 removed=1 moved=0 changed=0 missing=0\n");
  EXPECT_EQ(ReadFile(catalog_).find("b.doc"), std::string::npos);
}

TEST_F(UpdateCommand, FromNamesTheMediumWhenItIsNotWhereItWas) {
  const std::string elsewhere = dir_ / "elsewhere";
  fs::rename(medium_, elsewhere);
  const std::string before = ReadFile(catalog_);

  const auto lost = RunCommand(Update());
  EXPECT_EQ(lost.status, 1);
  EXPECT_NE(lost.err.find("--from"), std::string::npos);
  EXPECT_EQ(ReadFile(catalog_), before);

  const auto wrong = RunCommand(Update("--from '" + dir_ / "nothing" + "'"));
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("No such file or directory"), std::string::npos);

  const auto found = RunCommand(Update("--from '" + elsewhere + "'"));
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(found.out, "added=0 removed=0 moved=0 changed=0 missing=0\n");
  EXPECT_NE(ReadFile(catalog_).find("FullPath=\"" + elsewhere + "/sub/b.doc\""), std::string::npos);
}

}  // namespace
}  // namespace lumivor
