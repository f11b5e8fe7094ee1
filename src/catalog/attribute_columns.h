#pragma once

#include <array>
#include <string>
#include <string_view>

#include "catalog/fields.h"

namespace lumivor {

// The further attributes a record can carry that are offered as columns after the eleven fields:
// in the catalog view and the search results, the visible-columns dialog, and every export. A
// record without the attribute shows an empty cell.
struct AttributeColumn {
  std::string_view name;  // the attribute's name, which is also the column's caption
  SortKind sort;          // how the column sorts (kText or kNumber)
  bool right_aligned;     // numbers line up on the right
  int width;              // the column's first width, in pixels
};

// Media tags, then the volume facts of a catalog's top record, then the marks of an update, a
// copy check and a scan. The order is the order of the columns.
inline constexpr std::array<AttributeColumn, 20> kAttributeColumns = {{
    {"Title", SortKind::kText, false, 160},       {"Artist", SortKind::kText, false, 120},
    {"Album", SortKind::kText, false, 120},       {"Year", SortKind::kNumber, true, 50},
    {"Duration", SortKind::kNumber, true, 70},    {"Width", SortKind::kNumber, true, 60},
    {"Height", SortKind::kNumber, true, 60},      {"DateTaken", SortKind::kText, false, 130},
    {"Camera", SortKind::kText, false, 120},      {"Codec", SortKind::kText, false, 70},
    {"VolumeLabel", SortKind::kText, false, 100}, {"VolumeId", SortKind::kText, false, 100},
    {"FileSystem", SortKind::kText, false, 80},   {"VolumeSize", SortKind::kNumber, true, 90},
    {"VolumeFree", SortKind::kNumber, true, 90},  {"ScanDate", SortKind::kText, false, 130},
    {"Missing", SortKind::kText, false, 130},     {"Hash", SortKind::kText, false, 200},
    {"LinkId", SortKind::kText, false, 110},      {"ReadError", SortKind::kText, false, 160},
}};

// The column of the further attribute `name`; nullptr when it is none of kAttributeColumns.
[[nodiscard]] const AttributeColumn* FindAttributeColumn(std::string_view name);

// True when `name` can name a column: one of the eleven fields or of kAttributeColumns.
[[nodiscard]] bool IsColumnName(std::string_view name);

// The text a person reads for the further attribute `name` holding `value`: a Duration in minutes
// and seconds (ClockText), a VolumeSize or VolumeFree as a size (ReadableByteCount); any other
// value, or one that does not parse, as stored.
[[nodiscard]] std::string AttributeDisplayText(std::string_view name, std::string_view value);

// A Duration tag ("215.0") as people read a length: "3:35", or "1:02:05" from an hour on
// (rounded to the second). Empty when `duration` is not a number of seconds.
[[nodiscard]] std::string ClockText(std::string_view duration);

// A count of bytes written as a whole number ("1000204886016") as a size with one decimal in
// units of 1024: "931.5 GB", "512 bytes" below a kilobyte. Empty when `bytes` is not a
// non-negative number. Used for every volume size on screen, so they all read alike.
[[nodiscard]] std::string ReadableByteCount(std::string_view bytes);

}  // namespace lumivor
