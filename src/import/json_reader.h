#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "import/byte_source.h"

namespace lumivor {

// A JSON reader that hands out one token at a time from a ByteSource, holding only the current
// string or number: a listing of a million entries streams through it in a few hundred kilobytes.
//
// It checks the grammar as it goes (a missing comma, an unclosed string, trailing bytes, the end
// of the input inside a value) and raises LumivorError with the file, the byte offset, the line
// and the reason. Strings are decoded (escapes, surrogate pairs; a lone surrogate becomes U+FFFD)
// but otherwise kept as bytes: names that are not valid UTF-8, as ncdu writes them, come through
// for the catalog to clean like any scanned name. Nesting depth is bounded by kMaxDepth.
class JsonReader {
 public:
  enum class Token {
    kBeginArray,
    kEndArray,
    kBeginObject,
    kEndObject,
    kKey,  // a member name of an object; its value follows
    kString,
    kNumber,
    kTrue,
    kFalse,
    kNull,
    kEnd,  // the end of the input after the one top-level value
  };

  static constexpr std::size_t kMaxDepth = 100000;
  static constexpr std::size_t kMaxString = 16 * 1024 * 1024;

  explicit JsonReader(ByteSource& source) : source_(source) {}

  // The next token; raises LumivorError on anything that is not JSON.
  Token Next();
  // The text of the last kKey or kString (decoded) or kNumber (as written).
  [[nodiscard]] const std::string& Text() const { return text_; }
  // Skips the rest of the value that began with `first` (a container up to its end).
  void SkipValue(Token first);
  // One member of an object whose value is a string, a number, true, false or null.
  struct Member {
    std::string_view key;
    Token token;
    std::string_view text;  // the string (no escapes in it) or the number as written
  };
  // Reads the object whose "{" Next just returned at once when the current window holds all of
  // it and its members are plain: keys and strings without escapes or control characters,
  // values that are no arrays or objects. Calls `take` for each member in order and returns
  // true. Returns false, having consumed nothing (`take` may have seen some members), when the
  // object is not such a one or `take` returned false: it is then read token by token, which
  // finds any error in its place.
  template <typename Take>
  bool ReadFlatObject(Take&& take);
  // Containers open around the current position.
  [[nodiscard]] std::size_t Depth() const { return stack_.size(); }

  [[nodiscard]] ByteSource& Source() { return source_; }
  // Raises LumivorError naming the current position and `reason`.
  [[noreturn]] void Fail(std::string_view reason) const { source_.FailAtByte(reason); }

 private:
  enum class Expect : std::uint8_t {
    kValue,            // a value (at the top, after ':' or after ',' in an array)
    kFirstValueOrEnd,  // after '['
    kFirstKeyOrEnd,    // after '{'
    kKey,              // after ',' in an object
    kCommaOrEnd,       // after a value inside a container
    kDone,             // after the top-level value
  };

  int SkipBlanks();
  Token ReadValue(int c);
  Token ReadKey(int c);
  void ReadString();
  void ReadEscape();
  void ReadNumber(int first);
  void ReadLiteral(std::string_view rest);
  void AppendCodePoint(std::uint32_t code);
  std::uint32_t ReadHex4();
  Token Ended(Token token);

  ByteSource& source_;
  std::vector<char> stack_;  // 'A' for an array, 'O' for an object
  Expect expect_ = Expect::kValue;
  std::string text_;
};

namespace json_detail {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool IsNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
}
// Whether `text` follows the grammar of a JSON number.
bool IsJsonNumber(std::string_view text);

}  // namespace json_detail

template <typename Take>
bool JsonReader::ReadFlatObject(Take&& take) {
  using json_detail::IsBlank;
  const std::string_view window = source_.Available();
  const char* const begin = window.data();
  const char* const end = begin + window.size();
  const char* p = begin;
  const auto blanks = [&] {
    while (p < end && IsBlank(*p)) ++p;
  };
  // A string whose opening quote `p` is at; false for one with an escape or a control character
  // or one the window cuts.
  const auto string = [&](std::string_view* text) {
    const char* const start = ++p;
    while (p < end && *p != '"') {
      if (*p == '\\' || static_cast<unsigned char>(*p) < 0x20) return false;
      ++p;
    }
    if (p == end) return false;
    *text = std::string_view(start, static_cast<std::size_t>(p - start));
    ++p;
    return true;
  };
  blanks();
  if (p < end && *p == '}') {
    ++p;
  } else {
    for (;;) {
      Member member;
      if (p == end || *p != '"' || !string(&member.key)) return false;
      blanks();
      if (p == end || *p != ':') return false;
      ++p;
      blanks();
      if (p == end) return false;
      const char c = *p;
      if (c == '"') {
        if (!string(&member.text)) return false;
        member.token = Token::kString;
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        const char* const start = p;
        while (p < end && json_detail::IsNumberChar(*p)) ++p;
        member.text = std::string_view(start, static_cast<std::size_t>(p - start));
        if (p == end || member.text.size() > 64 || !json_detail::IsJsonNumber(member.text)) {
          return false;
        }
        member.token = Token::kNumber;
      } else {
        const std::string_view rest(p, static_cast<std::size_t>(end - p));
        if (rest.starts_with("true")) {
          member.token = Token::kTrue;
          p += 4;
        } else if (rest.starts_with("false")) {
          member.token = Token::kFalse;
          p += 5;
        } else if (rest.starts_with("null")) {
          member.token = Token::kNull;
          p += 4;
        } else {
          return false;
        }
      }
      blanks();
      if (p == end) return false;
      if (!take(member)) return false;
      if (*p == '}') {
        ++p;
        break;
      }
      if (*p != ',') return false;
      ++p;
      blanks();
    }
  }
  source_.Skip(static_cast<std::size_t>(p - begin));
  stack_.pop_back();
  Ended(Token::kEndObject);
  return true;
}

// The value of a JSON number that is a whole number from 0 to 2^63 - 1 ("12", "12.0", "1e3");
// false for anything else (negative, fractional, too large).
[[nodiscard]] bool WholeNumberOf(std::string_view number, std::uint64_t* value);
// The whole seconds of a JSON number of seconds (fractions dropped toward minus infinity); false
// when it is not a number or lies outside what a 64-bit time holds.
[[nodiscard]] bool SecondsOf(std::string_view number, std::int64_t* seconds);

}  // namespace lumivor
