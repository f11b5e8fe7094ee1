#include "core/local_time_converter.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/fields.h"

namespace lumivor {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

long SystemOffsetAt(std::time_t time) {
  std::tm local{};
  if (!localtime_r(&time, &local)) return 0;
  return local.tm_gmtoff;
}

// Year, month (1-12) and day (1-31) of a day number counted from 1970-01-01 (proleptic
// Gregorian calendar).
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

char* Put2(char* p, int value) {
  p[0] = static_cast<char>('0' + value / 10);
  p[1] = static_cast<char>('0' + value % 10);
  return p + 2;
}

}  // namespace

LocalTimeConverter::LocalTimeConverter() : days_(kDays) { tzset(); }

LocalTimeConverter::Day& LocalTimeConverter::Lookup(std::int32_t day) {
  Day& slot = days_[static_cast<std::uint32_t>(day) & (kDays - 1)];
  if (slot.day == day) return slot;
  const std::time_t first = static_cast<std::time_t>(std::int64_t{day} * kSecondsPerDay);
  const std::time_t last = first + (kSecondsPerDay - 1);
  slot.day = day;
  slot.before = static_cast<std::int32_t>(SystemOffsetAt(first));
  slot.after = static_cast<std::int32_t>(SystemOffsetAt(last));
  slot.change = static_cast<std::int32_t>(kSecondsPerDay);
  if (slot.before != slot.after) {
    // The first second with the new offset lies in (first, last].
    std::time_t low = first, high = last;
    while (high - low > 1) {
      const std::time_t middle = low + (high - low) / 2;
      if (SystemOffsetAt(middle) == slot.before) {
        low = middle;
      } else {
        high = middle;
      }
    }
    slot.change = static_cast<std::int32_t>(high - first);
  }
  return slot;
}

long LocalTimeConverter::OffsetAt(std::time_t time) {
  const std::int64_t day = FloorDiv(static_cast<std::int64_t>(time), kSecondsPerDay);
  if (day <= INT32_MIN || day > INT32_MAX) return SystemOffsetAt(time);  // millions of years away
  const Day& slot = Lookup(static_cast<std::int32_t>(day));
  return time - day * kSecondsPerDay < slot.change ? slot.before : slot.after;
}

std::string_view LocalTimeConverter::Format(std::time_t time, char (&buffer)[32]) {
  if (time == 0) return {};
  std::int64_t local = static_cast<std::int64_t>(time) + OffsetAt(time);
  local -= local - FloorDiv(local, 2) * 2;  // two-second resolution
  const std::int64_t days = FloorDiv(local, kSecondsPerDay);
  const int second_of_day = static_cast<int>(local - days * kSecondsPerDay);
  std::int64_t year;
  int month, day;
  CivilFromDays(days, &year, &month, &day);
  const int hour = second_of_day / 3600, minute = second_of_day / 60 % 60,
            second = second_of_day % 60;
  if (year < 0 || year > 9999) {
    std::tm parts{};
    parts.tm_year = static_cast<int>(year - 1900);
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    const std::string text = FormatFileTime(parts);
    const std::size_t length = std::min(text.size(), sizeof buffer);
    text.copy(buffer, length);
    return {buffer, length};
  }
  char* p = buffer;
  p = Put2(p, static_cast<int>(year / 100));
  p = Put2(p, static_cast<int>(year % 100));
  *p++ = '-';
  p = Put2(p, month);
  *p++ = '-';
  p = Put2(p, day);
  if (second_of_day != 0) {
    *p++ = ' ';
    p = Put2(p, hour);
    *p++ = ':';
    p = Put2(p, minute);
    *p++ = ':';
    p = Put2(p, second);
  }
  return {buffer, static_cast<std::size_t>(p - buffer)};
}

}  // namespace lumivor
