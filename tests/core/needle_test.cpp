#include "core/needle.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>

namespace lumivor {
namespace {

// Where `needle` is first found in `text`, or -1. The text is copied into a buffer of exactly
// its size, so that a read past its end shows under AddressSanitizer.
std::ptrdiff_t FindAt(std::string_view text, std::string_view needle, bool fold) {
  const std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  char* begin = exact.get();
  text.copy(begin, text.size());
  const char* end = begin + text.size();
  const char* hit = Needle(needle, fold).Find(begin, end);
  return hit == end ? -1 : hit - begin;
}

TEST(Needle, FindsFoldedAndExactOccurrencesAnywhere) {
  const std::string long_text = std::string(100, 'x') + "SoNg" + std::string(37, 'y');
  EXPECT_EQ(FindAt(long_text, "song", true), 100);
  EXPECT_EQ(FindAt(long_text, "song", false), -1);
  EXPECT_EQ(FindAt(long_text, "SoNg", false), 100);
  // At the very start and the very end of the text, and across block boundaries.
  for (std::size_t at = 0; at < 40; ++at) {
    const std::string text = std::string(at, '-') + "Ab1" + std::string(39 - at, '-');
    EXPECT_EQ(FindAt(text, "aB1", true), static_cast<std::ptrdiff_t>(at)) << at;
    EXPECT_EQ(FindAt(std::string(at, '-') + "Ab1", "ab1", true), static_cast<std::ptrdiff_t>(at));
  }
  // Texts of every length up to a few blocks end in a half occurrence: nothing is found.
  for (std::size_t size = 0; size < 70; ++size) {
    EXPECT_EQ(FindAt(std::string(size, 'a') + "b", "abc", true), -1) << size;
  }
  EXPECT_EQ(FindAt("abc", "abcd", true), -1);
  EXPECT_EQ(FindAt("ab", "b", true), 1);
  // Folding touches ASCII letters only: "@" is not "`", "Ü" is not "ü".
  EXPECT_EQ(FindAt("x@y", "x`y", true), -1);
  EXPECT_EQ(FindAt("M\xC3\x9Cller", "m\xC3\xBCller", true), -1);
  EXPECT_EQ(FindAt("M\xC3\xBCLLER", "m\xC3\xBCller", true), 0);
}

TEST(Needle, AgreesWithAPlainSearchWhereverItsRareBytesStand) {
  // Needles whose rarest bytes stand first, last, in the middle or twice, over texts made of
  // their own letters, so that candidates that fail the whole comparison abound.
  const char* const needles[] = {"e_a", "_ea", "ea_", "zaz", "q", "eeeeeeeeeeeeeeeeeeex", "A.b"};
  std::uint32_t state = 12345;
  for (const char* text_needle : needles) {
    const std::string letters = std::string(text_needle) + "E";
    for (int round = 0; round < 200; ++round) {
      std::string text;
      const std::size_t size = round % 70;
      for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245 + 12345;
        text.push_back(letters[(state >> 16) % letters.size()]);
      }
      std::string folded = text;
      for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string folded_needle = text_needle;
      for (char& c : folded_needle) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      const std::size_t want = folded.find(folded_needle);
      EXPECT_EQ(FindAt(text, text_needle, true),
                want == std::string::npos ? -1 : static_cast<std::ptrdiff_t>(want))
          << text_needle << " in " << text;
      const std::size_t exact = text.find(text_needle);
      EXPECT_EQ(FindAt(text, text_needle, false),
                exact == std::string::npos ? -1 : static_cast<std::ptrdiff_t>(exact))
          << text_needle << " in " << text;
    }
  }
}

TEST(Needle, LongestLiteralRunAvoidsWhatXmlCanEscape) {
  EXPECT_EQ(LongestLiteralRun("my song.mp3"), "song.mp3");
  EXPECT_EQ(LongestLiteralRun("a&b <c>\"dd\" 'e'"), "dd");
  EXPECT_EQ(LongestLiteralRun(" "), "");
  EXPECT_EQ(LongestLiteralRun("tab\there"), "here");
  // U+FFFD stands for bytes the file may hold instead: it splits the runs too.
  EXPECT_EQ(LongestLiteralRun("bad\xEF\xBF\xBDname"), "name");
  EXPECT_EQ(LongestLiteralRun("\xEF\xBF\xBD\xEF\xBF\xBD"), "");
  EXPECT_EQ(LongestLiteralRun("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(LongestLiteralRun("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
}

TEST(Needle, TextMayContainSeesThroughCharacterReferences) {
  const Needle needle("song", true);
  auto may = [&](std::string_view text) {
    return TextMayContain(text.data(), text.data() + text.size(), needle);
  };
  EXPECT_TRUE(may("<a FileName=\"SONG\"/>"));
  EXPECT_FALSE(may("<a FileName=\"sung\" Description=\"a&#10;b&#13;&#9;c &amp;\"/>"));
  EXPECT_TRUE(may("<a FileName=\"&#115;ong\"/>"));
  EXPECT_TRUE(may("<a FileName=\"&#x73;ong\"/>"));
  EXPECT_TRUE(may("<a FileName=\"x&#10\"/>"));  // not a line-break reference as written
  EXPECT_TRUE(may("x&#"));                      // cut off: it may be anything
}

}  // namespace
}  // namespace lumivor
