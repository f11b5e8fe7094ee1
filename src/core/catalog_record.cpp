#include "core/catalog_record.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/errors.h"

namespace lumivor {

namespace {

// Block layout: [width][11 lengths of `width` bytes][texts]. `width` is 1, 2 or 4.
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

std::size_t BlobSize(const char* blob) {
  if (!blob) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(blob);
  const int width = p[0];
  std::size_t total = 1 + std::size_t(width) * kFieldCount;
  for (int i = 0; i < kFieldCount; ++i) total += ReadLength(p + 1 + i * width, width);
  return total;
}

// Lengths are stored in at most four bytes: a longer text would be cut without a word.
void CheckFieldLength(std::string_view text) {
  if (text.size() > kMaxFieldBytes) {
    throw LumivorError("A field of " + std::to_string(text.size()) +
                       " bytes is longer than the 4 GiB a catalog field can hold");
  }
}

constexpr std::size_t kHugePage = std::size_t(2) << 20;

// Builds a block from eleven texts that are already clean, in `arena` or on the heap; nullptr
// when all are empty.
char* BuildBlob(const FieldViews& fields, BlobArena* arena = nullptr) {
  std::size_t longest = 0, total = 0;
  for (auto f : fields) {
    longest = std::max(longest, f.size());
    total += f.size();
  }
  if (total == 0) return nullptr;
  const int width = WidthFor(longest);
  const std::size_t header = 1 + std::size_t(width) * kFieldCount;
  unsigned char* blob;
  if (arena) {
    blob = reinterpret_cast<unsigned char*>(arena->Allocate(header + total));
  } else {
    blob = static_cast<unsigned char*>(std::malloc(header + total));
    if (!blob) throw std::bad_alloc();
  }
  blob[0] = static_cast<unsigned char>(width);
  unsigned char* text = blob + header;
  for (int i = 0; i < kFieldCount; ++i) {
    WriteLength(blob + 1 + i * width, width, fields[i].size());
    if (!fields[i].empty()) std::memcpy(text, fields[i].data(), fields[i].size());
    text += fields[i].size();
  }
  return reinterpret_cast<char*>(blob);
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
  const auto* p = reinterpret_cast<const unsigned char*>(blob);
  const int width = p[0];
  const unsigned char* lengths = p + 1;
  std::size_t offset = 1 + std::size_t(width) * kFieldCount;
  for (int i = 0; i < index; ++i) offset += ReadLength(lengths + i * width, width);
  return {blob + offset, ReadLength(lengths + index * width, width)};
}

FieldViews TCatalogRecord::Fields() const {
  FieldViews views{};
  if (!blob_) return views;
  const char* blob = Blob();
  const auto* p = reinterpret_cast<const unsigned char*>(blob);
  const int width = p[0];
  std::size_t offset = 1 + std::size_t(width) * kFieldCount;
  for (int i = 0; i < kFieldCount; ++i) {
    const std::size_t length = ReadLength(p + 1 + i * width, width);
    views[i] = {blob + offset, length};
    offset += length;
  }
  return views;
}

void TCatalogRecord::SetFields(const FieldViews& fields) { SetFields(fields, nullptr); }

void TCatalogRecord::SetFields(const FieldViews& fields, BlobArena* arena) {
  for (std::string_view field : fields) CheckFieldLength(field);
  // Clean copies only for the texts that need them; the rest are used as they are.
  std::string cleaned[kFieldCount];
  FieldViews views = fields;
  for (int i = 0; i < kFieldCount; ++i) {
    if (SanitizeText(fields[i], &cleaned[i])) views[i] = cleaned[i];
  }
  char* blob = BuildBlob(views, arena);
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
  char* blob = BuildBlob(views);  // copies out of the old block before it is freed
  FreeBlob();
  blob_ = blob;
}

std::size_t TCatalogRecord::HeapBytes() const { return InArena() ? 0 : BlobSize(Blob()); }

bool operator==(const TCatalogRecord& a, const TCatalogRecord& b) {
  return a.Fields() == b.Fields();
}

}  // namespace lumivor
