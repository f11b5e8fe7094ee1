#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/fields.h"

namespace lumivor {

// The eleven texts of one record, as views, for building a record in one step.
using FieldViews = std::array<std::string_view, kFieldCount>;

// A further attribute of a record, beyond the eleven fields: written by later versions (volume
// facts, media tags, `Missing`) and carried through load, edit and save in the order read.
struct ExtraAttribute {
  std::string_view name;
  std::string_view value;
  friend bool operator==(const ExtraAttribute&, const ExtraAttribute&) = default;
};
using ExtraViews = std::vector<ExtraAttribute>;

// The most further attributes one record holds; more are dropped when a record is built.
inline constexpr std::size_t kMaxExtraAttributes = 255;

// True when `name` can be a further attribute: a well-formed XML attribute name (no namespace
// prefix handling; ':' is taken as a name character) that is not one of the eleven field names.
[[nodiscard]] bool IsExtraAttributeName(std::string_view name);

// Bump allocation of record texts for a whole tree: no per-record heap block, no per-record
// free, and large blocks the kernel can back with huge pages. Space is given back only when the
// arena goes; a node edited later moves its texts to the heap.
class BlobArena {
 public:
  BlobArena() = default;
  ~BlobArena();
  BlobArena(BlobArena&& other) noexcept;
  BlobArena& operator=(BlobArena&& other) noexcept;
  BlobArena(const BlobArena&) = delete;
  BlobArena& operator=(const BlobArena&) = delete;

  // `size` bytes aligned to 2, valid as long as the arena.
  [[nodiscard]] char* Allocate(std::size_t size);
  // Takes over every block of `other`, which is left empty.
  void Absorb(BlobArena&& other);
  // Bytes reserved from the system.
  [[nodiscard]] std::size_t ReservedBytes() const { return reserved_; }
  // Whether blocks taken from now on ask for huge pages (the default; see AllocateLargeBlock).
  void AskForHugePages(bool ask) { huge_pages_ = ask; }

 private:
  struct Block {
    char* data;
    std::size_t size;
  };
  void Release();
  Block* blocks_ = nullptr;  // a plain array so the arena stays small
  std::size_t block_count_ = 0;
  std::size_t block_capacity_ = 0;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::size_t reserved_ = 0;
  bool huge_pages_ = true;
};

// Allocates `size` bytes: mapped straight from the kernel on a 2 MiB boundary, with huge pages
// asked for (unless `huge_pages` is false), where `size` is a multiple of 2 MiB; plain heap
// memory otherwise. Free with FreeLargeBlock and the same size.
[[nodiscard]] void* AllocateLargeBlock(std::size_t size, bool huge_pages = true);
void FreeLargeBlock(void* block, std::size_t size);
// Bytes currently mapped by AllocateLargeBlock (they do not show in the heap's own counts).
[[nodiscard]] std::size_t LargeBlockBytes();

// The longest text a field can hold: 4 GiB less one byte.
inline constexpr std::size_t kMaxFieldBytes = 0xFFFFFFFF;

// One directory or file on its own, outside a tree: eleven text fields and the further
// attributes (a tree node holds the same in a smaller form, see CatalogTree::Node).
//
// All texts live in one heap block (see record_blob.h); a record with only empty fields and no
// further attribute holds no block. Every text that enters a record passes SanitizeText, so a
// record always holds valid UTF-8 without control characters other than TAB, LF and CR.
class CatalogRecord {
 public:
  CatalogRecord() = default;
  explicit CatalogRecord(const FieldViews& fields) { SetFields(fields); }
  CatalogRecord(const FieldViews& fields, const ExtraViews& extras) { SetFields(fields, extras); }
  CatalogRecord(const CatalogRecord& other);
  CatalogRecord& operator=(const CatalogRecord& other);
  CatalogRecord(CatalogRecord&& other) noexcept;
  CatalogRecord& operator=(CatalogRecord&& other) noexcept;
  ~CatalogRecord();

  // Field `index` (0..10); the empty text for an unset field.
  [[nodiscard]] std::string_view Field(int index) const;
  // Replaces field `index` with `value`. A text longer than kMaxFieldBytes raises LumivorError
  // (here and in SetFields) and leaves the record as it was.
  void SetField(int index, std::string_view value);
  // Replaces all eleven fields at once (one allocation); the further attributes go.
  void SetFields(const FieldViews& fields);
  // All eleven fields as views into this record (valid until the next change).
  [[nodiscard]] FieldViews Fields() const;

  // The further attributes, in the order they were set or read. Views are valid until the next
  // change of the record.
  [[nodiscard]] std::size_t ExtraCount() const;
  [[nodiscard]] ExtraAttribute ExtraAt(std::size_t index) const;
  [[nodiscard]] ExtraViews Extras() const;
  // The value of the further attribute `name`; empty when the record has none of that name.
  [[nodiscard]] std::string_view Extra(std::string_view name) const;
  // Sets the further attribute `name` (appended when new, replaced in place otherwise); an empty
  // value removes it. A field name sets that field; a name that cannot be an attribute is ignored.
  void SetExtra(std::string_view name, std::string_view value);
  // Replaces every further attribute (empty values and unusable names are left out; of two of one
  // name the first is kept).
  void SetExtras(const ExtraViews& extras);
  // Replaces the eleven fields and the further attributes at once (one allocation).
  void SetFields(const FieldViews& fields, const ExtraViews& extras);

  // True when FileType is exactly "directory".
  [[nodiscard]] bool IsDirectory() const { return Field(kFileType) == kDirectoryType; }
  // True when FileType is exactly "file".
  [[nodiscard]] bool IsFile() const { return Field(kFileType) == kFileTypeText; }

 private:
  void FreeBlob();

  char* blob_ = nullptr;
};

// Texts made ready to store: every field and further attribute checked against kMaxFieldBytes
// (LumivorError otherwise), cleaned by SanitizeText where needed, and the further attributes
// reduced to those worth keeping (usable names, non-empty values, the first of each name, at
// most kMaxExtraAttributes). The views point into the inputs or into this object.
class CleanRecord {
 public:
  CleanRecord(const FieldViews& raw_fields, const ExtraViews& raw_extras);
  CleanRecord(const CleanRecord&) = delete;
  CleanRecord& operator=(const CleanRecord&) = delete;

  FieldViews fields;
  ExtraViews extras;

 private:
  std::string cleaned_[kFieldCount];
  std::vector<std::string> extra_storage_;
};

// Copies of further attributes, for replacing a block the originals may point into.
class OwnedExtras {
 public:
  explicit OwnedExtras(const ExtraViews& extras);
  OwnedExtras(const OwnedExtras&) = delete;
  OwnedExtras& operator=(const OwnedExtras&) = delete;

  ExtraViews views;

 private:
  std::vector<std::string> texts_;
};

// `extras` with `name` set to `value`: replaced in place, appended when new, removed when
// `value` is empty.
[[nodiscard]] ExtraViews ExtrasWith(ExtraViews extras, std::string_view name,
                                    std::string_view value);

bool operator==(const CatalogRecord& a, const CatalogRecord& b);

}  // namespace lumivor
