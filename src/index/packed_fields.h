#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/fields.h"

namespace lumivor {

// The field values of one catalog element (nullopt: attribute missing).
using FieldValues = std::array<std::optional<std::string_view>, kFieldCount>;

// Packs the fields of an element that the index keeps beside FileName, FileExt and Description
// (FullPath, FileSize, FileTime, FileType, FileNameLength, PathNameLength, SizePercentage) into
// a few bytes. Values of the shapes a scan writes take their compact forms: a FullPath that is its
// parent's FullPath, "/" and its FileName is kept as the distance to the parent's entry
// (`parent_distance`, 0 when the element has no parent element), sizes and times as numbers,
// lengths that count the name's or path's characters as a mark. Every compact form is checked
// to give back exactly the text it stands for; anything else is kept as it stands. Absent and
// empty values are alike (a result shows both as empty).
void PackEntryFields(const FieldValues& fields, std::string_view parent_full_path,
                     std::int64_t parent_distance, std::string* out);

// Unpacks into `out` the seven packed fields of an entry named `file_name`; `parent_full_path`
// gives the FullPath of the entry `distance` entries before this one (nullopt when there is
// none). False when the data is damaged.
bool UnpackEntryFields(
    std::string_view data, std::string_view file_name,
    const std::function<std::optional<std::string>(std::int64_t distance)>& parent_full_path,
    std::array<std::string, kFieldCount>* out);

// The distance to the parent's entry when the packed FullPath is the parent's FullPath, "/" and
// the entry's FileName; nullopt otherwise.
[[nodiscard]] std::optional<std::int64_t> ParentDistanceOf(std::string_view data);

}  // namespace lumivor
