#include "catalog/catalog_record.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "catalog/record_blob.h"
#include "core/errors.h"

namespace lumivor {

namespace {

// Lengths are kept to four bytes' worth: a longer text is refused rather than cut.
void CheckFieldLength(std::string_view text) {
  if (text.size() > kMaxFieldBytes) {
    throw LumivorError("A field of " + std::to_string(text.size()) +
                       " bytes is longer than the 4 GiB a catalog field can hold");
  }
}

constexpr std::size_t kHugePage = std::size_t(2) << 20;

bool IsNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The further attributes worth keeping: usable names, non-empty values, the first of each name,
// at most kMaxExtraAttributes; texts cleaned into `storage` where needed.
ExtraViews CleanExtras(const ExtraViews& extras, std::vector<std::string>* storage) {
  ExtraViews kept;
  kept.reserve(extras.size());
  std::size_t dirty = 0;
  for (const ExtraAttribute& extra : extras) {
    if (extra.value.empty() || !IsExtraAttributeName(extra.name)) continue;
    bool seen = false;
    for (const ExtraAttribute& other : kept) seen = seen || other.name == extra.name;
    if (seen) continue;
    if (kept.size() == kMaxExtraAttributes) break;
    kept.push_back(extra);
    std::string cleaned;
    if (SanitizeText(extra.value, &cleaned)) ++dirty;
  }
  if (dirty) {
    storage->reserve(dirty);
    for (ExtraAttribute& extra : kept) {
      std::string cleaned;
      if (SanitizeText(extra.value, &cleaned)) {
        storage->push_back(std::move(cleaned));
        extra.value = storage->back();
      }
    }
  }
  return kept;
}

}  // namespace

namespace {
std::atomic<std::size_t> g_large_block_bytes{0};
// MADV_POPULATE_WRITE (Linux 5.14), spelled out for older system headers.
#ifdef MADV_POPULATE_WRITE
constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
constexpr int kPopulateWrite = 23;
#endif
}  // namespace

void* AllocateLargeBlock(std::size_t size, bool huge_pages) {
  if (size % kHugePage != 0) {
    void* block = std::malloc(size);
    if (!block) throw std::bad_alloc();
    return block;
  }
  // Map a little more, then trim to a 2 MiB boundary so the kernel can use huge pages.
  const std::size_t span = size + kHugePage;
  void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t tail = start + span - (aligned + size);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  if (huge_pages) {
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  } else {
    // Without huge pages the block is made present in one call rather than by a page fault per
    // 4 KiB as it fills: on a virtual machine that halves what fresh memory costs. A hint; a
    // kernel without it faults the pages in as before.
    ::madvise(reinterpret_cast<void*>(aligned), size, kPopulateWrite);
  }
  g_large_block_bytes += size;
  return reinterpret_cast<void*>(aligned);
}

void FreeLargeBlock(void* block, std::size_t size) {
  if (!block) return;
  if (size % kHugePage != 0) {
    std::free(block);
    return;
  }
  ::munmap(block, size);
  g_large_block_bytes -= size;
}

std::size_t LargeBlockBytes() { return g_large_block_bytes; }

BlobArena::~BlobArena() { Release(); }

BlobArena::BlobArena(BlobArena&& other) noexcept
    : blocks_(other.blocks_),
      block_count_(other.block_count_),
      block_capacity_(other.block_capacity_),
      next_(other.next_),
      end_(other.end_),
      reserved_(other.reserved_),
      huge_pages_(other.huge_pages_) {
  other.blocks_ = nullptr;
  other.block_count_ = other.block_capacity_ = other.reserved_ = 0;
  other.next_ = other.end_ = nullptr;
}

BlobArena& BlobArena::operator=(BlobArena&& other) noexcept {
  if (this != &other) {
    Release();
    new (this) BlobArena(std::move(other));
  }
  return *this;
}

void BlobArena::Release() {
  for (std::size_t i = 0; i < block_count_; ++i) FreeLargeBlock(blocks_[i].data, blocks_[i].size);
  std::free(blocks_);
  blocks_ = nullptr;
  block_count_ = block_capacity_ = reserved_ = 0;
  next_ = end_ = nullptr;
}

char* BlobArena::Allocate(std::size_t size) {
  size = (size + 1) & ~std::size_t(1);
  if (static_cast<std::size_t>(end_ - next_) < size) {
    // Blocks grow with the arena: small trees stay small, big ones get huge pages.
    std::size_t block_size = std::max<std::size_t>(16 << 10, std::min(reserved_, kHugePage));
    if (block_size > kHugePage / 2) block_size = kHugePage;
    while (block_size < size) block_size *= 2;
    if (block_count_ == block_capacity_) {
      const std::size_t capacity = block_capacity_ ? block_capacity_ * 2 : 8;
      auto* blocks = static_cast<Block*>(std::realloc(blocks_, capacity * sizeof(Block)));
      if (!blocks) throw std::bad_alloc();
      blocks_ = blocks;
      block_capacity_ = capacity;
    }
    char* data = static_cast<char*>(AllocateLargeBlock(block_size, huge_pages_));
    blocks_[block_count_++] = {data, block_size};
    reserved_ += block_size;
    next_ = data;
    end_ = data + block_size;
  }
  char* result = next_;
  next_ += size;
  return result;
}

void BlobArena::Absorb(BlobArena&& other) {
  if (this == &other || other.block_count_ == 0) return;
  for (std::size_t i = 0; i < other.block_count_; ++i) {
    if (block_count_ == block_capacity_) {
      const std::size_t capacity = block_capacity_ ? block_capacity_ * 2 : 8;
      auto* blocks = static_cast<Block*>(std::realloc(blocks_, capacity * sizeof(Block)));
      if (!blocks) throw std::bad_alloc();
      blocks_ = blocks;
      block_capacity_ = capacity;
    }
    blocks_[block_count_++] = other.blocks_[i];
  }
  if (next_ == nullptr) {
    next_ = other.next_;
    end_ = other.end_;
  }
  reserved_ += other.reserved_;
  std::free(other.blocks_);
  other.blocks_ = nullptr;
  other.block_count_ = other.block_capacity_ = other.reserved_ = 0;
  other.next_ = other.end_ = nullptr;
}

CatalogRecord::CatalogRecord(const CatalogRecord& other) {
  if (other.blob_) {
    const std::size_t size = record_blob::SizeOf(other.blob_);
    blob_ = static_cast<char*>(std::malloc(size));
    if (!blob_) throw std::bad_alloc();
    std::memcpy(blob_, other.blob_, size);
  }
}

CatalogRecord::CatalogRecord(CatalogRecord&& other) noexcept : blob_(other.blob_) {
  other.blob_ = nullptr;
}

CatalogRecord& CatalogRecord::operator=(const CatalogRecord& other) {
  if (this != &other) {
    CatalogRecord copy(other);
    *this = std::move(copy);
  }
  return *this;
}

CatalogRecord& CatalogRecord::operator=(CatalogRecord&& other) noexcept {
  if (this != &other) {
    CatalogRecord taken(std::move(other));
    FreeBlob();
    blob_ = taken.blob_;
    taken.blob_ = nullptr;
  }
  return *this;
}

CatalogRecord::~CatalogRecord() { FreeBlob(); }

void CatalogRecord::FreeBlob() {
  std::free(blob_);
  blob_ = nullptr;
}

std::string_view CatalogRecord::Field(int index) const {
  return record_blob::StoredText(blob_, index);
}

FieldViews CatalogRecord::Fields() const {
  FieldViews views{};
  for (int i = 0; i < kFieldCount; ++i) views[i] = Field(i);
  return views;
}

std::size_t CatalogRecord::ExtraCount() const { return record_blob::ExtraCount(blob_); }

ExtraAttribute CatalogRecord::ExtraAt(std::size_t index) const {
  const ExtraViews extras = Extras();
  return index < extras.size() ? extras[index] : ExtraAttribute{};
}

ExtraViews CatalogRecord::Extras() const { return record_blob::Extras(blob_); }

std::string_view CatalogRecord::Extra(std::string_view name) const {
  for (const ExtraAttribute& extra : Extras()) {
    if (extra.name == name) return extra.value;
  }
  return {};
}

void CatalogRecord::SetFields(const FieldViews& fields) { SetFields(fields, ExtraViews{}); }

void CatalogRecord::SetFields(const FieldViews& fields, const ExtraViews& extras) {
  CleanRecord clean(fields, extras);
  char* blob = record_blob::Pack(clean.fields, clean.extras, nullptr, nullptr);
  FreeBlob();
  blob_ = blob;
}

void CatalogRecord::SetField(int index, std::string_view value) {
  if (index < 0 || index >= kFieldCount) return;
  if (Field(index) == value) return;
  CheckFieldLength(value);
  std::string cleaned;
  if (SanitizeText(value, &cleaned)) value = cleaned;
  FieldViews views = Fields();
  views[index] = value;
  // Packs out of the old block before it is freed.
  char* blob = record_blob::Pack(views, Extras(), nullptr, nullptr);
  FreeBlob();
  blob_ = blob;
}

void CatalogRecord::SetExtra(std::string_view name, std::string_view value) {
  if (IsFieldName(name)) {
    SetField(FieldIndexOf(name), value);
    return;
  }
  if (!IsExtraAttributeName(name)) return;
  SetExtras(ExtrasWith(Extras(), name, value));
}

void CatalogRecord::SetExtras(const ExtraViews& extras) {
  // Copies first: the names and values may point into the block that is replaced.
  OwnedExtras owned(extras);
  std::vector<std::string> storage;
  const ExtraViews kept = CleanExtras(owned.views, &storage);
  char* blob = record_blob::Pack(Fields(), kept, nullptr, nullptr);
  FreeBlob();
  blob_ = blob;
}

bool operator==(const CatalogRecord& a, const CatalogRecord& b) {
  return a.Fields() == b.Fields() && a.Extras() == b.Extras();
}

CleanRecord::CleanRecord(const FieldViews& raw_fields, const ExtraViews& raw_extras)
    : fields(raw_fields) {
  for (std::string_view field : raw_fields) CheckFieldLength(field);
  for (const ExtraAttribute& extra : raw_extras) CheckFieldLength(extra.value);
  for (int i = 0; i < kFieldCount; ++i) {
    if (SanitizeText(raw_fields[i], &cleaned_[i])) fields[i] = cleaned_[i];
  }
  if (!raw_extras.empty()) extras = CleanExtras(raw_extras, &extra_storage_);
}

OwnedExtras::OwnedExtras(const ExtraViews& extras) {
  texts_.reserve(extras.size() * 2);
  for (const ExtraAttribute& extra : extras) {
    texts_.emplace_back(extra.name);
    texts_.emplace_back(extra.value);
  }
  views.reserve(extras.size());
  for (std::size_t i = 0; i < extras.size(); ++i)
    views.push_back({texts_[2 * i], texts_[2 * i + 1]});
}

ExtraViews ExtrasWith(ExtraViews extras, std::string_view name, std::string_view value) {
  for (auto it = extras.begin(); it != extras.end(); ++it) {
    if (it->name != name) continue;
    if (value.empty()) {
      extras.erase(it);
    } else {
      it->value = value;
    }
    return extras;
  }
  if (!value.empty()) extras.push_back({name, value});
  return extras;
}

bool IsExtraAttributeName(std::string_view name) {
  if (name.empty() || !IsNameStart(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!IsNameChar(static_cast<unsigned char>(c))) return false;
  }
  if (IsFieldName(name)) return false;
  // Names from "xml" on are reserved to XML itself (xml:lang, xmlns).
  if (name.size() >= 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' &&
      (name[2] | 0x20) == 'l') {
    return false;
  }
  // A name holding bytes of 0x80 and above must be valid UTF-8 to be written as it stands.
  std::string cleaned;
  return !SanitizeText(name, &cleaned);
}

}  // namespace lumivor
