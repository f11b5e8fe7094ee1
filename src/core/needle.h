#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumivor {

// A byte string searched for in raw catalog text, optionally with the ASCII letters folded.
// Letters are stored in lower case when folded; every other byte compares exactly.
class Needle {
 public:
  Needle() = default;
  Needle(std::string_view text, bool fold_case);

  [[nodiscard]] bool Empty() const { return bytes_.empty(); }
  [[nodiscard]] std::size_t Size() const { return bytes_.size(); }
  [[nodiscard]] const std::string& Bytes() const { return bytes_; }

  // The first occurrence in [begin, end), or `end`. Reads nothing outside [begin, end).
  [[nodiscard]] const char* Find(const char* begin, const char* end) const;

 private:
  [[nodiscard]] bool MatchesAt(const char* p) const;

  std::string bytes_;
  std::string masks_;      // 0x20 where a letter is folded, else 0
  std::size_t rare_ = 0;   // the position of the byte catalog text holds least often
  std::size_t other_ = 0;  // the next rarest (the same for a one-byte needle)
};

// The longest run of `criterion` that any catalog file holds literally wherever a field value
// contains the criterion: the characters that XML can write as entities or that the reader turns
// into blanks (& < > " ' blank and control characters) split the runs, and so does U+FFFD, which
// stands for bytes the reader replaced.
[[nodiscard]] std::string_view LongestLiteralRun(std::string_view criterion);

// True when the raw text at `p` (before `end`) is a character reference that stands for a tab
// or a line break ("&#9;", "&#10;", "&#13;", as the catalog writer writes those characters): it
// can hide no literal character of a needle.
[[nodiscard]] bool IsLineBreakReference(const char* p, const char* end);

// False only when no element of the UTF-8 catalog text [begin, end) can have an attribute value
// containing a text of which `needle` is a literal run: the needle does not occur and no
// character reference could hide one of its characters.
[[nodiscard]] bool TextMayContain(const char* begin, const char* end, const Needle& needle);

}  // namespace lumivor
