#include "scan/local_time_converter.h"

#include <stdlib.h>

#include "catalog/fields.h"

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

bool LocalTimeConverter::LocalSeconds(std::time_t time, std::int64_t* local) {
  if (time == 0) return false;
  if (__builtin_add_overflow(static_cast<std::int64_t>(time), OffsetAt(time), local)) {
    *local = time;
  }
  *local -= *local - FloorDiv(*local, 2) * 2;  // two-second resolution
  return true;
}

std::string_view LocalTimeConverter::Format(std::time_t time, char (&buffer)[40]) {
  std::int64_t local;
  if (!LocalSeconds(time, &local)) return {};
  return FormatLocalSeconds(local, buffer);
}

void PinLocalTimeZone() {
  if (::getenv("TZ") == nullptr) {
    ::setenv("TZ", ":/etc/localtime", 0);
    ::tzset();
  }
}

}  // namespace lumivor
