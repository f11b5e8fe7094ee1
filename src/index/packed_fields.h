#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "catalog/catalog_record.h"
#include "catalog/fields.h"

namespace lumivor {

// The field values of one catalog element (nullopt: attribute missing).
using FieldValues = std::array<std::optional<std::string_view>, kFieldCount>;

// Packs the fields of an element that the index keeps beside FileName, FileExt and Description
// (FullPath, FileSize, FileTime, FileType, FileNameLength, PathNameLength, SizePercentage) into
// a few bytes. Values of the shapes a scan writes take their compact forms: a FullPath that
// starts like its parent's FullPath (`parent_full_path` of the entry `parent_distance` before this
// one; distance 0 when the element has no parent element) keeps only the distance, how much of
// the parent's path it shares and the rest (nothing when the rest is "/" and the FileName); sizes
// and times are kept as numbers, lengths that count the name's or path's characters as a mark.
// Every compact form is checked to give back exactly the text it stands for; anything else is
// kept as it stands. Absent and empty values are alike (a result shows both as empty).
void PackEntryFields(const FieldValues& fields, std::string_view parent_full_path,
                     std::int64_t parent_distance, std::string* out);

// Unpacks into `out` the seven packed fields of an entry named `file_name`; `parent_full_path`
// gives the FullPath of the entry `distance` entries before this one (nullopt when there is
// none). False when the data is damaged.
bool UnpackEntryFields(
    std::string_view data, std::string_view file_name,
    const std::function<std::optional<std::string_view>(std::int64_t distance)>& parent_full_path,
    std::array<std::string, kFieldCount>* out);

// Packs the further attributes of an element (those with empty values are left out, as a record
// leaves them out); empty when there are none.
void PackExtras(const ExtraViews& extras, std::string* out);
// The further attributes packed in `data`, as views into it; false when the data is damaged.
bool UnpackExtras(std::string_view data, ExtraViews* out);
// The values of the packed further attributes, one per line: the text the index's trigrams of
// the tags are made of.
[[nodiscard]] std::string ExtrasText(std::string_view data);

// How a packed FullPath is made from the parent's: the parent's entry is `distance` entries
// before, its FullPath's first `keep` bytes are followed by `tail`.
struct ParentLink {
  std::int64_t distance = 0;
  std::size_t keep = 0;
  std::string tail;
};
// The link of an entry named `file_name` whose FullPath is kept that way; nullopt otherwise.
[[nodiscard]] std::optional<ParentLink> ParentLinkOf(std::string_view data,
                                                     std::string_view file_name);
// The FullPath of an entry named `file_name` whose FullPath is kept whole (as its text, as its
// name or empty), as a view into `data` or `file_name`; nullopt when it is linked to its parent's
// or the data is damaged. Only the FullPath is read: a parent's path costs no other field.
[[nodiscard]] std::optional<std::string_view> WholeFullPathOf(std::string_view data,
                                                              std::string_view file_name);

}  // namespace lumivor
