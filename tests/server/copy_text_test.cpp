#include <gtest/gtest.h>

#include <string>

#include "server/pg_connection.h"

namespace lumivor {
namespace {

std::string Escaped(std::string_view value) {
  std::string out = "<";
  pg::AppendCopyText(out, value);
  return out;
}

// COPY's text format ends a value at a tab and a row at a newline: every character it reads
// specially must come escaped, wherever it stands and however many follow each other, and
// everything else must pass unchanged.
TEST(CopyTextTest, EscapesWhatCopyReadsSpeciallyAndKeepsTheRest) {
  EXPECT_EQ(Escaped(""), "<");
  EXPECT_EQ(Escaped("plain name.mp3"), "<plain name.mp3");
  EXPECT_EQ(Escaped("b\xC3\xA4r \"q\" {a,b} NULL"), "<b\xC3\xA4r \"q\" {a,b} NULL");
  EXPECT_EQ(Escaped("\\"), "<\\\\");
  EXPECT_EQ(Escaped("a\tb\nc\rd\\e"), "<a\\tb\\nc\\rd\\\\e");
  EXPECT_EQ(Escaped("\t\t\n"), "<\\t\\t\\n");
  EXPECT_EQ(Escaped("\\N"), "<\\\\N");
  EXPECT_EQ(Escaped("end\r"), "<end\\r");
}

}  // namespace
}  // namespace lumivor
