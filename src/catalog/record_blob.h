#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "catalog/catalog_record.h"

// The packed block that holds a record's texts, shared by free-standing records and tree nodes.
//
// Three bytes give each of the eleven fields a kind (two bits each) and say whether further
// attributes follow; then, field by field, what each non-empty field needs: a stored text (its
// length as a varint, then the bytes), a number (a varint), or nothing at all for a text that is
// derived from something else. Further attributes follow as a varint count and name/value texts.
//
// A free-standing record stores every field as text. A tree node stores a text only where it
// differs from what can be derived: FullPath as the parent's path (or a leading part of it), "/"
// and FileName; FileExt and FileNameLength from FileName; CatalogName as the tree's catalog name;
// FileType "file" and "directory" as a code; sizes, times, lengths and percentages in canonical
// form as numbers. A text is packed only when unpacking gives it back byte for byte.
namespace lumivor::record_blob {

enum Kind : unsigned {
  kEmpty = 0,
  kText = 1,
  kPacked = 2,     // derived, or the field's first number form
  kPackedAlt = 3,  // the field's second form
};

// What a tree node's texts are packed and unpacked against.
struct Context {
  bool has_parent = false;        // false for a top-level node: its FullPath is always stored
  std::string_view parent_path;   // the parent's FullPath as it reads
  std::string_view catalog_name;  // the tree's catalog name (empty: none)
};

// Room for the texts unpacking makes from numbers and derivations.
struct Scratch {
  char size[24];
  char time[40];
  char percentage[32];
  char name_length[24];
  char path_length[24];
  std::string path;
};

// Builds a block from clean texts, in `arena` or on the heap; with `context` (nullptr: every
// field stored as text) whatever can be derived or held as a number is. nullptr when every text
// is empty and there is no further attribute.
[[nodiscard]] char* Pack(const FieldViews& fields, const ExtraViews& extras, const Context* context,
                         BlobArena* arena);

// The block Pack makes against a context without a parent path or catalog name for a record of
// only FileName `clean_name` (clean, not empty), FileType "directory" or "file", FileSize the
// number `*size` and FileTime the text FormatLocalSeconds makes of `*local_time` (null: empty),
// without the texts: for imports, which know their sizes and times as numbers. The time must be
// one IsPackedTime accepts. In `arena`.
[[nodiscard]] char* PackEntry(std::string_view clean_name, bool directory,
                              const std::uint64_t* size, const std::int64_t* local_time,
                              BlobArena* arena);
// Whether the FileTime of `local_time` (as FormatLocalSeconds takes it) is held as a number: a
// time in the years 0 to 9999.
[[nodiscard]] bool IsPackedTime(std::int64_t local_time);

// A copy of `blob` with field `index` (neither FileName nor FullPath, which others derive from)
// set to the clean text `text`, packed against `context` where it can be; every other field
// and further attribute keeps the form it has. On the heap; nullptr when nothing is left.
[[nodiscard]] char* WithField(const char* blob, int index, std::string_view text,
                              const Context& context);

// A copy of `blob` with the further attributes `extras` (clean) in place of its own, on the
// heap; nullptr when nothing is left.
[[nodiscard]] char* WithExtras(const char* blob, const ExtraViews& extras);

// Sets field `index` of `blob` (a size, time, length or percentage) to the clean text `text`
// in place, when the field holds a number now and `text` packs as a number whose varint fits in
// the bytes that number takes (a shorter one is padded with continuation bytes, which read
// back the same). False, with the block unchanged, otherwise. No context is needed: these
// fields derive from nothing else.
bool OverwriteNumber(char* blob, int index, std::string_view text);

// Bytes of a block.
[[nodiscard]] std::size_t SizeOf(const char* blob);

// The kind of field `index`.
[[nodiscard]] Kind KindOf(const char* blob, int index);

// The FileSize of a block that holds it as a number (its text is that number's plain digits);
// false when it is empty or stored as text.
[[nodiscard]] bool SizeNumber(const char* blob, std::uint64_t* value);

// Field `index` of a block that stores it as text (kText), or empty.
[[nodiscard]] std::string_view StoredText(const char* blob, int index);

// Every field as it reads. A derived FullPath is made from `context.parent_path` into
// scratch->path; a derived CatalogName is `context.catalog_name`.
[[nodiscard]] FieldViews Unpack(const char* blob, const Context& context, Scratch* scratch);

// One field as it reads, with the same rules; numbers are written into `scratch`.
[[nodiscard]] std::string_view UnpackField(const char* blob, int index, const Context& context,
                                           std::string* scratch);

// How a FullPath is held: stored (or empty), the parent's path + "/" + FileName, or the first
// `*prefix` bytes of the parent's path + "/" + FileName.
enum class PathRule { kStored, kFollowsParent, kFollowsPrefix };
[[nodiscard]] PathRule PathRuleOf(const char* blob, std::size_t* prefix);

// The further attributes, in order; views into the block.
[[nodiscard]] std::size_t ExtraCount(const char* blob);
[[nodiscard]] ExtraViews Extras(const char* blob);

}  // namespace lumivor::record_blob
