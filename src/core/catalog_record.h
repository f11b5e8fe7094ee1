#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/fields.h"

namespace lumivor {

// The eleven texts of one record, as views, for building a record in one step.
using FieldViews = std::array<std::string_view, kFieldCount>;

// One directory or file: two icon indexes and eleven text fields.
//
// Tuned for size rather than speed: a catalog of a whole drive holds millions of these. All eleven
// texts live in one heap block: a byte that says how wide the lengths are (1, 2 or 4 bytes), the
// eleven lengths, then the texts back to back. A record with only empty fields holds no block.
// Reading a field adds up at most ten lengths; writing one rebuilds the block.
//
// Every text that enters a record passes SanitizeText, so a record always holds valid UTF-8
// without control characters other than TAB, LF and CR.
class TCatalogRecord {
 public:
  TCatalogRecord() = default;
  explicit TCatalogRecord(const FieldViews& fields) { SetFields(fields); }
  TCatalogRecord(const TCatalogRecord& other);
  TCatalogRecord& operator=(const TCatalogRecord& other);
  TCatalogRecord(TCatalogRecord&& other) noexcept : blob_(other.blob_) { other.blob_ = nullptr; }
  TCatalogRecord& operator=(TCatalogRecord&& other) noexcept;
  ~TCatalogRecord();

  // Field `index` (0..10); the empty text for an unset field.
  [[nodiscard]] std::string_view Field(int index) const;
  // Replaces field `index` with `value`.
  void SetField(int index, std::string_view value);
  // Replaces all eleven fields at once (one allocation).
  void SetFields(const FieldViews& fields);
  // All eleven fields as views into this record (valid until the next change).
  [[nodiscard]] FieldViews Fields() const;

  // True when FileType is exactly "directory".
  [[nodiscard]] bool IsDirectory() const { return Field(kFileType) == kDirectoryType; }
  // True when FileType is exactly "file".
  [[nodiscard]] bool IsFile() const { return Field(kFileType) == kFileTypeText; }

  // Heap bytes this record holds beyond its own size (for the memory benchmark).
  [[nodiscard]] std::size_t HeapBytes() const;

  // Scratch icon indexes of the views; not stored in files.
  std::int32_t ImageIndex = -1;
  std::int32_t OpenImageIndex = -1;

 private:
  char* blob_ = nullptr;
};

bool operator==(const TCatalogRecord& a, const TCatalogRecord& b);

}  // namespace lumivor
