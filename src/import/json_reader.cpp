#include "import/json_reader.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace lumivor {

namespace {

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

int JsonReader::SkipBlanks() {
  // Most tokens follow the last one at once.
  const int first = source_.Peek();
  if (first < 0 || !IsBlank(static_cast<unsigned char>(first))) return source_.Get();
  for (;;) {
    const std::string_view window = source_.Available();
    if (window.empty()) return -1;
    std::size_t i = 0;
    while (i < window.size() && IsBlank(static_cast<unsigned char>(window[i]))) ++i;
    source_.Skip(i);
    if (i < window.size()) return source_.Get();
  }
}

JsonReader::Token JsonReader::Ended(Token token) {
  expect_ = stack_.empty() ? Expect::kDone : Expect::kCommaOrEnd;
  return token;
}

JsonReader::Token JsonReader::Next() {
  const int c = SkipBlanks();
  switch (expect_) {
    case Expect::kDone:
      if (c < 0) return Token::kEnd;
      Fail("unexpected data after the end of the JSON value");
    case Expect::kValue:
      if (c < 0) Fail("unexpected end of file");
      return ReadValue(c);
    case Expect::kFirstValueOrEnd:
      if (c == ']') {
        stack_.pop_back();
        return Ended(Token::kEndArray);
      }
      if (c < 0) Fail("unexpected end of file");
      return ReadValue(c);
    case Expect::kFirstKeyOrEnd:
      if (c == '}') {
        stack_.pop_back();
        return Ended(Token::kEndObject);
      }
      return ReadKey(c);
    case Expect::kKey:
      return ReadKey(c);
    case Expect::kCommaOrEnd: {
      const bool in_array = stack_.back() == 'A';
      if (c == ',') {
        if (in_array) {
          const int next = SkipBlanks();
          if (next < 0) Fail("unexpected end of file");
          return ReadValue(next);
        }
        return ReadKey(SkipBlanks());
      }
      if (c == (in_array ? ']' : '}')) {
        stack_.pop_back();
        return Ended(in_array ? Token::kEndArray : Token::kEndObject);
      }
      if (c < 0) Fail("unexpected end of file");
      Fail(in_array ? "expected ',' or ']'" : "expected ',' or '}'");
    }
  }
  Fail("unexpected state");
}

JsonReader::Token JsonReader::ReadKey(int c) {
  if (c < 0) Fail("unexpected end of file");
  if (c != '"') Fail("expected a member name in double quotes");
  ReadString();
  const int colon = SkipBlanks();
  if (colon != ':') Fail(colon < 0 ? "unexpected end of file" : "expected ':'");
  expect_ = Expect::kValue;
  return Token::kKey;
}

JsonReader::Token JsonReader::ReadValue(int c) {
  switch (c) {
    case '[':
    case '{':
      if (stack_.size() >= kMaxDepth) Fail("nested too deeply");
      stack_.push_back(c == '[' ? 'A' : 'O');
      expect_ = c == '[' ? Expect::kFirstValueOrEnd : Expect::kFirstKeyOrEnd;
      return c == '[' ? Token::kBeginArray : Token::kBeginObject;
    case '"':
      ReadString();
      return Ended(Token::kString);
    case 't':
      ReadLiteral("rue");
      return Ended(Token::kTrue);
    case 'f':
      ReadLiteral("alse");
      return Ended(Token::kFalse);
    case 'n':
      ReadLiteral("ull");
      return Ended(Token::kNull);
    default:
      if (c == '-' || (c >= '0' && c <= '9')) {
        ReadNumber(c);
        return Ended(Token::kNumber);
      }
      Fail("expected a value");
  }
}

void JsonReader::ReadLiteral(std::string_view rest) {
  for (const char expected : rest) {
    const int c = source_.Get();
    if (c < 0) Fail("unexpected end of file");
    if (c != expected) Fail("expected a value");
  }
}

void JsonReader::ReadNumber(int first) {
  text_.assign(1, static_cast<char>(first));
  constexpr std::size_t kLongest = 64;
  // The run of number characters, a window at a time; they hold no line break.
  for (;;) {
    const std::string_view window = source_.Available();
    std::size_t n = 0;
    while (n < window.size()) {
      const char c = window[n];
      if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) {
        break;
      }
      ++n;
    }
    if (text_.size() + n > kLongest) {
      source_.SkipInLine(kLongest - text_.size());
      Fail("number too long");
    }
    text_.append(window.data(), n);
    source_.SkipInLine(n);
    if (n < window.size() || window.empty()) break;
  }
  if (!json_detail::IsJsonNumber(text_)) Fail("malformed number");
}

bool json_detail::IsJsonNumber(std::string_view t) {
  // The grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  std::size_t i = 0;
  const auto digits = [&]() {
    const std::size_t start = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > start;
  };
  if (t.empty()) return false;
  if (t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

void JsonReader::ReadString() {
  text_.clear();
  for (;;) {
    const std::string_view window = source_.Available();
    if (window.empty()) Fail("unexpected end of file in a string");
    std::size_t i = 0;
    while (i < window.size()) {
      const unsigned char c = static_cast<unsigned char>(window[i]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++i;
    }
    if (text_.size() + i > kMaxString) Fail("string too long");
    text_.append(window.data(), i);
    source_.SkipInLine(i);  // control characters, line breaks among them, end the run
    if (i == window.size()) continue;
    const int c = source_.Get();
    if (c == '"') return;
    if (c != '\\') Fail("control character in a string");
    ReadEscape();
  }
}

std::uint32_t JsonReader::ReadHex4() {
  std::uint32_t value = 0;
  for (int k = 0; k < 4; ++k) {
    const int c = source_.Get();
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      Fail(c < 0 ? "unexpected end of file in a string" : "malformed \\u escape");
    }
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

void JsonReader::ReadEscape() {
  const int c = source_.Get();
  switch (c) {
    case '"':
    case '\\':
    case '/':
      text_ += static_cast<char>(c);
      return;
    case 'b':
      text_ += '\b';
      return;
    case 'f':
      text_ += '\f';
      return;
    case 'n':
      text_ += '\n';
      return;
    case 'r':
      text_ += '\r';
      return;
    case 't':
      text_ += '\t';
      return;
    case 'u': {
      std::uint32_t code = ReadHex4();
      if (code >= 0xD800 && code <= 0xDBFF) {
        // A high surrogate makes one character with the low surrogate that should follow.
        if (source_.Peek() == '\\') {
          source_.Get();
          if (source_.Get() != 'u') Fail("malformed \\u escape");
          const std::uint32_t low = ReadHex4();
          if (low >= 0xDC00 && low <= 0xDFFF) {
            AppendCodePoint(0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
            return;
          }
          AppendCodePoint(0xFFFD);
          code = low;
          if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
        } else {
          code = 0xFFFD;
        }
      } else if (code >= 0xDC00 && code <= 0xDFFF) {
        code = 0xFFFD;
      }
      AppendCodePoint(code);
      return;
    }
    default:
      Fail(c < 0 ? "unexpected end of file in a string" : "malformed escape in a string");
  }
}

void JsonReader::AppendCodePoint(std::uint32_t code) {
  if (code < 0x80) {
    text_ += static_cast<char>(code);
  } else if (code < 0x800) {
    text_ += static_cast<char>(0xC0 | (code >> 6));
    text_ += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text_ += static_cast<char>(0xE0 | (code >> 12));
    text_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text_ += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text_ += static_cast<char>(0xF0 | (code >> 18));
    text_ += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text_ += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void JsonReader::SkipValue(Token first) {
  if (first != Token::kBeginArray && first != Token::kBeginObject) return;
  const std::size_t depth = stack_.size();
  while (stack_.size() >= depth) {
    if (Next() == Token::kEnd) Fail("unexpected end of file");
  }
}

bool WholeNumberOf(std::string_view number, std::uint64_t* value) {
  if (number.empty() || number[0] == '-') return false;
  std::uint64_t whole = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), whole);
  if (error == std::errc() && end == number.data() + number.size()) {
    if (whole > static_cast<std::uint64_t>(INT64_MAX)) return false;
    *value = whole;
    return true;
  }
  // "12.0" or "1e3": a whole number written another way.
  double real = 0;
  const auto [real_end, real_error] =
      std::from_chars(number.data(), number.data() + number.size(), real);
  if (real_error != std::errc() || real_end != number.data() + number.size()) return false;
  if (!(real >= 0) || real != std::floor(real) || real >= 9.2233720368547758e18) return false;
  *value = static_cast<std::uint64_t>(real);
  return true;
}

bool SecondsOf(std::string_view number, std::int64_t* seconds) {
  std::int64_t whole = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), whole);
  if (error == std::errc() && end == number.data() + number.size()) {
    *seconds = whole;
    return true;
  }
  double real = 0;
  const auto [real_end, real_error] =
      std::from_chars(number.data(), number.data() + number.size(), real);
  if (real_error != std::errc() || real_end != number.data() + number.size()) return false;
  if (!(real > -9.2e18 && real < 9.2e18)) return false;
  *seconds = static_cast<std::int64_t>(std::floor(real));
  return true;
}

}  // namespace lumivor
