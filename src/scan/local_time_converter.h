#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

namespace lumivor {

// Turns file modification times into FileTime texts in local time, fast and without a lock.
//
// The C library's localtime_r takes a process-wide lock and walks the zone rules for every call;
// a scan of a million files would pay that a million times. This converter asks the C library
// once or twice per UTC day that the times fall on and caches the day's UTC offsets: if the
// offset at the start and at the end of the day agree, it holds for the whole day; otherwise the
// day holds a change (daylight saving, a zone's rule change) whose second is found by bisection.
// Every zone of the time zone database changes its offset at most once in any day, so the cached
// offsets give the same local time as localtime_r for every second.
//
// The time zone in effect when the converter is built is the one used; build one per scan.
class LocalTimeConverter {
 public:
  LocalTimeConverter();

  // The offset of local time from UTC, in seconds, at the instant `time`.
  [[nodiscard]] long OffsetAt(std::time_t time);

  // Writes the FileTime text of `time` into `buffer` and returns it: local time taken at
  // two-second resolution (an odd second is truncated to the even one below), "YYYY-MM-DD
  // HH:MM:SS", or "YYYY-MM-DD" at exactly midnight (any year, as FormatFileTime words it). The
  // epoch (0) gives the empty text.
  std::string_view Format(std::time_t time, char (&buffer)[40]);
  // The local time Format writes, as seconds since 1970-01-01 00:00:00 local time (what
  // FormatLocalSeconds takes); false for the epoch, whose text is empty.
  bool LocalSeconds(std::time_t time, std::int64_t* local);

 private:
  // 16 bytes, so that the cache of a scan stays small.
  struct Day {
    std::int32_t day = INT32_MIN;  // UTC day number (days since 1970-01-01), the cache tag
    std::int32_t change = 0;       // second of the day from which `after` holds (86400: never)
    std::int32_t before = 0, after = 0;
  };
  // Cache slots, a power of two: days less than 89 years apart never share a slot.
  static constexpr std::size_t kDays = std::size_t{1} << 15;
  // The cache slot of `day`, filled if needed; `day` lies in the 32-bit range.
  Day& Lookup(std::int32_t day);
  std::vector<Day> days_;
};

// Names the system's time zone file in TZ when TZ is not set; call once at the start of a program,
// before any thread is made. Without TZ the C library looks at /etc/localtime again on every
// local-time conversion (mktime, localtime), one file-system call each; readers of archives
// (libarchive's zip reader converts two times per entry) then pay a system call per entry. The
// zone used is the same; only a change of /etc/localtime while the program runs goes unseen, as
// it does for LocalTimeConverter.
void PinLocalTimeZone();

}  // namespace lumivor
