#include "catalog/fields.h"

#include <utf8.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/errors.h"

namespace lumivor {

std::string SystemMessage(int error_number) {
  char buffer[256];
  // The GNU strerror_r returns the message, which may or may not live in `buffer`.
  const char* message = strerror_r(error_number, buffer, sizeof buffer);
  return message;
}

SortKind SortKindOf(int index) {
  switch (index) {
    case kFileSize:
    case kFileNameLength:
    case kPathNameLength:
    case kSizePercentage:
      return SortKind::kNumber;
    case kFileTime:
      return SortKind::kDate;
    case kFileType:
      return SortKind::kFixed;
    default:
      return SortKind::kText;
  }
}

int FieldIndexOrNone(std::string_view name) {
  // Every field name has 7 to 14 characters; the fifth tells most of them apart cheaply.
  if (name.size() < 7 || name.size() > 14) return -1;
  for (int i = 0; i < kFieldCount; ++i) {
    const std::string_view field = FieldNames[i];
    if (field.size() == name.size() && field[0] == name[0] && field[4] == name[4] &&
        field == name) {
      return i;
    }
  }
  return -1;
}

int FieldIndexOf(std::string_view name) {
  const int index = FieldIndexOrNone(name);
  return index < 0 ? kFileName : index;
}

bool IsFieldName(std::string_view name) { return FieldIndexOrNone(name) >= 0; }

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool ParseNumber(std::string_view text, double* value) {
  text = TrimBlanks(text);
  if (text.empty()) return false;
  if (text.front() == '+') text.remove_prefix(1);
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Still a number, only too large or too small for a double.
    *value = (!text.empty() && text.front() == '-') ? -HUGE_VAL : HUGE_VAL;
    return ptr == end;
  }
  return ec == std::errc() && ptr == end && std::isfinite(*value);
}

}  // namespace

bool IsNumberText(std::string_view text) {
  double value;
  return ParseNumber(text, &value);
}

double NumberTextValue(std::string_view text) {
  double value;
  return ParseNumber(text, &value) ? value : 0.0;
}

int CompareNumberText(std::string_view a, std::string_view b) {
  return NumberTextValue(a) > NumberTextValue(b) ? 1 : -1;
}

bool ParseFileTime(std::string_view text, std::tm* out) {
  // Accepts exactly "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS".
  auto digits = [&](std::size_t pos, std::size_t count, int* value) {
    if (pos + count > text.size()) return false;
    int v = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
      const char c = text[i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
  };
  if (text.size() != 10 && text.size() != 19) return false;
  std::tm tm{};
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!digits(0, 4, &year) || text[4] != '-' || !digits(5, 2, &month) || text[7] != '-' ||
      !digits(8, 2, &day)) {
    return false;
  }
  if (text.size() == 19) {
    if (text[10] != ' ' || !digits(11, 2, &hour) || text[13] != ':' || !digits(14, 2, &minute) ||
        text[16] != ':' || !digits(17, 2, &second)) {
      return false;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  *out = tm;
  return true;
}

int CompareDateText(std::string_view a, std::string_view b) {
  if (a.empty()) return -1;
  if (b.empty()) return 1;
  std::tm ta, tb;
  if (!ParseFileTime(a, &ta) || !ParseFileTime(b, &tb)) return 1;
  // Both are local wall-clock times of the same form, so comparing their parts in order compares
  // the instants; whole seconds make "less than a millisecond apart" mean equal.
  const int pa[] = {ta.tm_year, ta.tm_mon, ta.tm_mday, ta.tm_hour, ta.tm_min, ta.tm_sec};
  const int pb[] = {tb.tm_year, tb.tm_mon, tb.tm_mday, tb.tm_hour, tb.tm_min, tb.tm_sec};
  for (int i = 0; i < 6; ++i) {
    if (pa[i] != pb[i]) return pa[i] > pb[i] ? 1 : -1;
  }
  return 0;
}

int CompareFoldedText(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[i]);
    if (ca >= 'a' && ca <= 'z') ca -= 32;
    if (cb >= 'a' && cb <= 'z') cb -= 32;
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Year, month (1-12) and day (1-31) of a day number counted from 1970-01-01 (proleptic
// Gregorian calendar). Exact for every day number a 64-bit count of seconds gives.
void CivilFromDays(std::int64_t days, std::int64_t* year, int* month, int* day) {
  days += 719468;
  const std::int64_t era = FloorDiv(days, 146097);
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

// Writes `year` with at least four digits, after a minus sign when it is negative.
char* PutYear(char* p, std::int64_t year) {
  std::uint64_t magnitude = year < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(year)
                                     : static_cast<std::uint64_t>(year);
  if (year < 0) *p++ = '-';
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count < 4) digits[count++] = '0';
  while (count > 0) *p++ = digits[--count];
  return p;
}

char* Put2(char* p, int value) {
  p[0] = static_cast<char>('0' + value / 10);
  p[1] = static_cast<char>('0' + value % 10);
  return p + 2;
}

}  // namespace

std::string_view FormatLocalSeconds(std::int64_t local_seconds, char (&buffer)[40]) {
  const std::int64_t days = FloorDiv(local_seconds, kSecondsPerDay);
  // From the remainder, not from days * 86400, which overflows at the ends of the range.
  const int second_of_day =
      static_cast<int>((local_seconds % kSecondsPerDay + kSecondsPerDay) % kSecondsPerDay);
  std::int64_t year;
  int month, day;
  CivilFromDays(days, &year, &month, &day);
  char* p = PutYear(buffer, year);
  *p++ = '-';
  p = Put2(p, month);
  *p++ = '-';
  p = Put2(p, day);
  if (second_of_day != 0) {
    *p++ = ' ';
    p = Put2(p, second_of_day / 3600);
    *p++ = ':';
    p = Put2(p, second_of_day / 60 % 60);
    *p++ = ':';
    p = Put2(p, second_of_day % 60);
  }
  return {buffer, static_cast<std::size_t>(p - buffer)};
}

std::string FormatFileTime(const std::tm& t) {
  char year[24];
  *PutYear(year, std::int64_t{t.tm_year} + 1900) = '\0';
  char buffer[96];
  if (t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0) {
    std::snprintf(buffer, sizeof buffer, "%s-%02d-%02d", year, t.tm_mon + 1, t.tm_mday);
  } else {
    std::snprintf(buffer, sizeof buffer, "%s-%02d-%02d %02d:%02d:%02d", year, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  }
  return buffer;
}

std::string FormatFileTime(std::time_t time) {
  // The C library cannot break down a time whose year overflows an int; such a time is shown
  // with the offset in effect now, which is as good as any that far away.
  std::tm local{};
  long offset = 0;
  if (localtime_r(&time, &local)) {
    offset = local.tm_gmtoff;
  } else {
    const std::time_t now = std::time(nullptr);
    if (localtime_r(&now, &local)) offset = local.tm_gmtoff;
  }
  std::int64_t seconds;
  if (__builtin_add_overflow(static_cast<std::int64_t>(time), offset, &seconds)) seconds = time;
  char buffer[40];
  return std::string(FormatLocalSeconds(seconds, buffer));
}

std::string FormatPercentage(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

std::string FormatWholeNumber(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.0f", value);
  return buffer;
}

std::size_t CodePointCount(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++count;
  }
  return count;
}

namespace {

bool IsBadControl(unsigned char c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

}  // namespace

bool SanitizeText(std::string_view text, std::string* out) {
  // Fast path, eight bytes at a time: most texts are plain printable ASCII. A byte is unusual
  // when its high bit is set or it is below 0x20.
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  std::uint64_t unusual = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    unusual |= ((word - kOnes * 0x20) & ~word) | word;
  }
  unusual &= kHighs;
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unusual |= (c < 0x20) | (c & 0x80);
  }
  if (!unusual) return false;
  bool clean = true;
  bool ascii = true;
  for (unsigned char c : text) {
    if (c >= 0x80) ascii = false;
    if (IsBadControl(c)) {
      clean = false;
      break;
    }
  }
  if (clean && (ascii || utf8::is_valid(text.begin(), text.end()))) return false;

  std::string valid;
  valid.reserve(text.size() + 8);
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid), 0xFFFD);
  std::string result;
  result.reserve(valid.size() + 8);
  for (unsigned char c : valid) {
    if (IsBadControl(c)) {
      result += "\xEF\xBF\xBD";
    } else {
      result += static_cast<char>(c);
    }
  }
  *out = std::move(result);
  return true;
}

std::string_view ExtensionOf(std::string_view path) {
  const auto last = path.find_last_of("./");
  if (last == std::string_view::npos || path[last] != '.') return {};
  return path.substr(last + 1);
}

std::string BaseNameOf(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  const auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name);
}

}  // namespace lumivor
