#include "core/catalog_record.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/errors.h"

namespace lumivor {

namespace {

// Block layout: [flags][count?][lengths][texts]. The low bits of `flags` are the width of a length
// (1, 2 or 4 bytes); kHasExtras says that a byte with the number N of further attributes follows.
// Then 11 + 2N lengths: the eleven fields, then name and value of each further attribute, and the
// texts in the same order.
constexpr unsigned char kWidthMask = 0x07;
constexpr unsigned char kHasExtras = 0x80;

int WidthFor(std::size_t longest) {
  if (longest <= 0xFF) return 1;
  if (longest <= 0xFFFF) return 2;
  return 4;
}

std::size_t ReadLength(const unsigned char* p, int width) {
  switch (width) {
    case 1:
      return p[0];
    case 2:
      return std::size_t(p[0]) | (std::size_t(p[1]) << 8);
    default:
      return std::size_t(p[0]) | (std::size_t(p[1]) << 8) | (std::size_t(p[2]) << 16) |
             (std::size_t(p[3]) << 24);
  }
}

void WriteLength(unsigned char* p, int width, std::size_t value) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The shape of a block: where its lengths start, how wide they are and how many texts it holds.
struct Layout {
  const unsigned char* lengths;
  int width;
  std::size_t extras;  // further attributes
  std::size_t texts;   // 11 + 2 * extras
  std::size_t header;  // bytes before the first text
};

Layout LayoutOf(const char* blob) {
  const auto* p = reinterpret_cast<const unsigned char*>(blob);
  Layout layout{};
  layout.width = p[0] & kWidthMask;
  std::size_t prefix = 1;
  if (p[0] & kHasExtras) {
    layout.extras = p[1];
    prefix = 2;
  }
  layout.texts = kFieldCount + 2 * layout.extras;
  layout.lengths = p + prefix;
  layout.header = prefix + std::size_t(layout.width) * layout.texts;
  return layout;
}

std::size_t BlobSize(const char* blob) {
  if (!blob) return 0;
  const Layout layout = LayoutOf(blob);
  std::size_t total = layout.header;
  for (std::size_t i = 0; i < layout.texts; ++i) {
    total += ReadLength(layout.lengths + i * layout.width, layout.width);
  }
  return total;
}

// Lengths are stored in at most four bytes: a longer text would be cut without a word.
void CheckFieldLength(std::string_view text) {
  if (text.size() > kMaxFieldBytes) {
    throw LumivorError("A field of " + std::to_string(text.size()) +
                       " bytes is longer than the 4 GiB a catalog field can hold");
  }
}

// Text `index` of a block (fields 0..10, then name and value of each further attribute).
std::string_view TextAt(const char* blob, const Layout& layout, std::size_t index) {
  std::size_t offset = layout.header;
  for (std::size_t i = 0; i < index; ++i) {
    offset += ReadLength(layout.lengths + i * layout.width, layout.width);
  }
  return {blob + offset, ReadLength(layout.lengths + index * layout.width, layout.width)};
}

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// Builds a block from eleven texts and further attributes that are already clean, in `arena` or
// on the heap; nullptr when every text is empty and there is no further attribute.
char* BuildBlob(const FieldViews& fields, const ExtraViews& extras, BlobArena* arena = nullptr) {
  std::size_t longest = 0, total = 0;
  for (auto f : fields) {
    longest = std::max(longest, f.size());
    total += f.size();
  }
  for (const ExtraAttribute& extra : extras) {
    longest = std::max({longest, extra.name.size(), extra.value.size()});
    total += extra.name.size() + extra.value.size();
  }
  if (total == 0) return nullptr;
  const int width = WidthFor(longest);
  const std::size_t prefix = extras.empty() ? 1 : 2;
  const std::size_t header = prefix + std::size_t(width) * (kFieldCount + 2 * extras.size());
  unsigned char* blob;
  if (arena) {
    blob = reinterpret_cast<unsigned char*>(arena->Allocate(header + total));
  } else {
    blob = static_cast<unsigned char*>(std::malloc(header + total));
    if (!blob) throw std::bad_alloc();
  }
  blob[0] = static_cast<unsigned char>(width | (extras.empty() ? 0 : kHasExtras));
  if (!extras.empty()) blob[1] = static_cast<unsigned char>(extras.size());
  unsigned char* length = blob + prefix;
  unsigned char* text = blob + header;
  const auto put = [&](std::string_view value) {
    WriteLength(length, width, value.size());
    length += width;
    if (!value.empty()) std::memcpy(text, value.data(), value.size());
    text += value.size();
  };
  for (int i = 0; i < kFieldCount; ++i) put(fields[i]);
  for (const ExtraAttribute& extra : extras) {
    put(extra.name);
    put(extra.value);
  }
  return reinterpret_cast<char*>(blob);
}

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
}

void* AllocateLargeBlock(std::size_t size) {
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
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
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
      reserved_(other.reserved_) {
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
    char* data = static_cast<char*>(AllocateLargeBlock(block_size));
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

TCatalogRecord::TCatalogRecord(const TCatalogRecord& other)
    : ImageIndex(other.ImageIndex), OpenImageIndex(other.OpenImageIndex) {
  if (other.blob_) {
    const std::size_t size = BlobSize(other.Blob());
    blob_ = static_cast<char*>(std::malloc(size));
    if (!blob_) throw std::bad_alloc();
    std::memcpy(blob_, other.Blob(), size);
  }
}

TCatalogRecord::TCatalogRecord(TCatalogRecord&& other) noexcept
    : ImageIndex(other.ImageIndex), OpenImageIndex(other.OpenImageIndex) {
  if (other.InArena()) {
    TCatalogRecord copy(other);
    blob_ = copy.blob_;
    copy.blob_ = nullptr;
  } else {
    blob_ = other.blob_;
    other.blob_ = nullptr;
  }
}

TCatalogRecord& TCatalogRecord::operator=(const TCatalogRecord& other) {
  if (this != &other) {
    TCatalogRecord copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TCatalogRecord& TCatalogRecord::operator=(TCatalogRecord&& other) noexcept {
  if (this != &other) {
    TCatalogRecord taken(std::move(other));
    FreeBlob();
    blob_ = taken.blob_;
    taken.blob_ = nullptr;
    ImageIndex = taken.ImageIndex;
    OpenImageIndex = taken.OpenImageIndex;
  }
  return *this;
}

TCatalogRecord::~TCatalogRecord() { FreeBlob(); }

void TCatalogRecord::FreeBlob() {
  if (!InArena()) std::free(blob_);
  blob_ = nullptr;
}

std::string_view TCatalogRecord::Field(int index) const {
  if (!blob_ || index < 0 || index >= kFieldCount) return {};
  const char* blob = Blob();
  return TextAt(blob, LayoutOf(blob), static_cast<std::size_t>(index));
}

FieldViews TCatalogRecord::Fields() const {
  FieldViews views{};
  if (!blob_) return views;
  const char* blob = Blob();
  const Layout layout = LayoutOf(blob);
  std::size_t offset = layout.header;
  for (int i = 0; i < kFieldCount; ++i) {
    const std::size_t length = ReadLength(layout.lengths + i * layout.width, layout.width);
    views[i] = {blob + offset, length};
    offset += length;
  }
  return views;
}

std::size_t TCatalogRecord::ExtraCount() const { return blob_ ? LayoutOf(Blob()).extras : 0; }

ExtraAttribute TCatalogRecord::ExtraAt(std::size_t index) const {
  if (!blob_) return {};
  const char* blob = Blob();
  const Layout layout = LayoutOf(blob);
  if (index >= layout.extras) return {};
  const std::size_t name = kFieldCount + 2 * index;
  return {TextAt(blob, layout, name), TextAt(blob, layout, name + 1)};
}

ExtraViews TCatalogRecord::Extras() const {
  ExtraViews extras;
  if (!blob_) return extras;
  const char* blob = Blob();
  const Layout layout = LayoutOf(blob);
  if (layout.extras == 0) return extras;
  extras.reserve(layout.extras);
  std::size_t offset = layout.header;
  std::string_view texts[2];
  for (std::size_t i = 0; i < layout.texts; ++i) {
    const std::size_t length = ReadLength(layout.lengths + i * layout.width, layout.width);
    if (i >= kFieldCount) {
      texts[(i - kFieldCount) % 2] = {blob + offset, length};
      if ((i - kFieldCount) % 2 == 1) extras.push_back({texts[0], texts[1]});
    }
    offset += length;
  }
  return extras;
}

std::string_view TCatalogRecord::Extra(std::string_view name) const {
  for (const ExtraAttribute& extra : Extras()) {
    if (extra.name == name) return extra.value;
  }
  return {};
}

void TCatalogRecord::SetFields(const FieldViews& fields) {
  SetFields(fields, ExtraViews{}, nullptr);
}

void TCatalogRecord::SetFields(const FieldViews& fields, BlobArena* arena) {
  SetFields(fields, ExtraViews{}, arena);
}

void TCatalogRecord::SetFields(const FieldViews& fields, const ExtraViews& extras,
                               BlobArena* arena) {
  for (std::string_view field : fields) CheckFieldLength(field);
  for (const ExtraAttribute& extra : extras) CheckFieldLength(extra.value);
  // Clean copies only for the texts that need them; the rest are used as they are.
  std::string cleaned[kFieldCount];
  FieldViews views = fields;
  for (int i = 0; i < kFieldCount; ++i) {
    if (SanitizeText(fields[i], &cleaned[i])) views[i] = cleaned[i];
  }
  std::vector<std::string> extra_storage;
  const ExtraViews kept = extras.empty() ? ExtraViews{} : CleanExtras(extras, &extra_storage);
  char* blob = BuildBlob(views, kept, arena);
  FreeBlob();
  blob_ =
      arena && blob ? reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(blob) | 1) : blob;
}

void TCatalogRecord::SetField(int index, std::string_view value) {
  if (index < 0 || index >= kFieldCount) return;
  if (Field(index) == value) return;
  CheckFieldLength(value);
  std::string cleaned;
  if (SanitizeText(value, &cleaned)) value = cleaned;
  FieldViews views = Fields();
  views[index] = value;
  char* blob = BuildBlob(views, Extras());  // copies out of the old block before it is freed
  FreeBlob();
  blob_ = blob;
}

void TCatalogRecord::SetExtra(std::string_view name, std::string_view value) {
  if (IsFieldName(name)) {
    SetField(FieldIndexOf(name), value);
    return;
  }
  if (!IsExtraAttributeName(name)) return;
  ExtraViews extras = Extras();
  bool found = false;
  for (auto it = extras.begin(); it != extras.end(); ++it) {
    if (it->name != name) continue;
    found = true;
    if (value.empty()) {
      extras.erase(it);
    } else {
      it->value = value;
    }
    break;
  }
  if (!found) {
    if (value.empty()) return;
    extras.push_back({name, value});
  }
  SetExtras(extras);
}

void TCatalogRecord::SetExtras(const ExtraViews& extras) {
  for (const ExtraAttribute& extra : extras) CheckFieldLength(extra.value);
  std::vector<std::string> storage;
  // Copy the names and values out first: they may point into the block that is replaced.
  std::vector<std::string> owned;
  owned.reserve(extras.size() * 2);
  ExtraViews copies;
  copies.reserve(extras.size());
  for (const ExtraAttribute& extra : extras) {
    owned.emplace_back(extra.name);
    owned.emplace_back(extra.value);
  }
  for (std::size_t i = 0; i < extras.size(); ++i)
    copies.push_back({owned[2 * i], owned[2 * i + 1]});
  const ExtraViews kept = CleanExtras(copies, &storage);
  char* blob = BuildBlob(Fields(), kept);
  FreeBlob();
  blob_ = blob;
}

std::size_t TCatalogRecord::HeapBytes() const { return InArena() ? 0 : BlobSize(Blob()); }

bool operator==(const TCatalogRecord& a, const TCatalogRecord& b) {
  return a.Fields() == b.Fields() && a.Extras() == b.Extras();
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
