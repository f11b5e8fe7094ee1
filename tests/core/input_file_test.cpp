#include "core/input_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "catalog/xml_document.h"
#include "core/errors.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;
using testing::WriteFile;

// The message OpenRegularFile raises for `path`, or "" when it opens.
std::string OpenFailure(const std::string& path) {
  try {
    ::close(OpenRegularFile(path));
    return "";
  } catch (const LumivorError& e) {
    return e.what();
  }
}

TEST(OpenRegularFile, OpensRegularFilesAndLinksToThem) {
  TempDir dir;
  WriteFile(dir / "a.xml", "<fileinfo/>");
  ::symlink((dir / "a.xml").c_str(), (dir / "link.xml").c_str());
  EXPECT_EQ(OpenFailure(dir / "a.xml"), "");
  EXPECT_EQ(OpenFailure(dir / "link.xml"), "");
  EXPECT_EQ(ReadWholeFile(dir / "link.xml"), "<fileinfo/>");
}

TEST(OpenRegularFile, RefusesEverythingElseWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir / "fifo.xml";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO without a writer would block an ordinary open for good.
  for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
    EXPECT_EQ(OpenFailure(path), path + ": not a regular file");
    int error = -1;
    EXPECT_EQ(TryOpenRegularFile(path, &error), -1);
    EXPECT_EQ(error, 0) << path;
  }
  EXPECT_EQ(OpenFailure(dir.Path()), dir.Path() + ": Is a directory");
  EXPECT_EQ(OpenFailure(dir / "missing.xml"), dir / "missing.xml: No such file or directory");
}

TEST(OpenRegularFile, EveryReaderRefusesAFifoAndADevice) {
  TempDir dir;
  const std::string fifo = dir / "fifo.xml";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    EXPECT_THROW(static_cast<void>(ReadWholeFile(path)), LumivorError);
    XmlDocument document;
    try {
      LoadXmlFile(document, path);
      ADD_FAILURE() << path;
    } catch (const LumivorError& e) {
      EXPECT_EQ(std::string(e.what()), path + ": not a regular file");
    }
  }
}

TEST(OpenRegularFile, TakesPipesHandedOverOpen) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const int saved_input = ::dup(STDIN_FILENO);
  ::dup2(pipe_ends[0], STDIN_FILENO);
  ::close(pipe_ends[0]);
  ASSERT_EQ(::write(pipe_ends[1], "<fileinfo/>", 11), 11);
  ::close(pipe_ends[1]);
  std::string text;
  try {
    text = ReadWholeFile("/dev/stdin");
  } catch (const LumivorError& e) {
    text = e.what();
  }
  ::dup2(saved_input, STDIN_FILENO);
  ::close(saved_input);
  EXPECT_EQ(text, "<fileinfo/>");
  // Another pipe, as a process substitution names it, is read as well.
  ASSERT_EQ(::pipe(pipe_ends), 0);
  ASSERT_EQ(::write(pipe_ends[1], "<other/>", 8), 8);
  ::close(pipe_ends[1]);
  const std::string other = "/proc/self/fd/" + std::to_string(pipe_ends[0]);
  EXPECT_EQ(OpenFailure(other), "");
  EXPECT_EQ(ReadWholeFile(other), "<other/>");
  ::close(pipe_ends[0]);
}

}  // namespace
}  // namespace lumivor
