#include "core/catalog_record.h"

#include <cstdlib>
#include <cstring>
#include <new>

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

// Builds a block from eleven texts that are already clean; nullptr when all are empty.
char* BuildBlob(const FieldViews& fields) {
  std::size_t longest = 0, total = 0;
  for (auto f : fields) {
    longest = std::max(longest, f.size());
    total += f.size();
  }
  if (total == 0) return nullptr;
  const int width = WidthFor(longest);
  const std::size_t header = 1 + std::size_t(width) * kFieldCount;
  auto* blob = static_cast<unsigned char*>(std::malloc(header + total));
  if (!blob) throw std::bad_alloc();
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

TCatalogRecord::TCatalogRecord(const TCatalogRecord& other)
    : ImageIndex(other.ImageIndex), OpenImageIndex(other.OpenImageIndex) {
  if (other.blob_) {
    const std::size_t size = BlobSize(other.blob_);
    blob_ = static_cast<char*>(std::malloc(size));
    if (!blob_) throw std::bad_alloc();
    std::memcpy(blob_, other.blob_, size);
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
    std::free(blob_);
    blob_ = other.blob_;
    other.blob_ = nullptr;
    ImageIndex = other.ImageIndex;
    OpenImageIndex = other.OpenImageIndex;
  }
  return *this;
}

TCatalogRecord::~TCatalogRecord() { std::free(blob_); }

std::string_view TCatalogRecord::Field(int index) const {
  if (!blob_ || index < 0 || index >= kFieldCount) return {};
  const auto* p = reinterpret_cast<const unsigned char*>(blob_);
  const int width = p[0];
  const unsigned char* lengths = p + 1;
  std::size_t offset = 1 + std::size_t(width) * kFieldCount;
  for (int i = 0; i < index; ++i) offset += ReadLength(lengths + i * width, width);
  return {blob_ + offset, ReadLength(lengths + index * width, width)};
}

FieldViews TCatalogRecord::Fields() const {
  FieldViews views{};
  if (!blob_) return views;
  const auto* p = reinterpret_cast<const unsigned char*>(blob_);
  const int width = p[0];
  std::size_t offset = 1 + std::size_t(width) * kFieldCount;
  for (int i = 0; i < kFieldCount; ++i) {
    const std::size_t length = ReadLength(p + 1 + i * width, width);
    views[i] = {blob_ + offset, length};
    offset += length;
  }
  return views;
}

void TCatalogRecord::SetFields(const FieldViews& fields) {
  // Clean copies only for the texts that need them; the rest are used as they are.
  std::string cleaned[kFieldCount];
  FieldViews views = fields;
  for (int i = 0; i < kFieldCount; ++i) {
    if (SanitizeText(fields[i], &cleaned[i])) views[i] = cleaned[i];
  }
  char* blob = BuildBlob(views);
  std::free(blob_);
  blob_ = blob;
}

void TCatalogRecord::SetField(int index, std::string_view value) {
  if (index < 0 || index >= kFieldCount) return;
  if (Field(index) == value) return;
  std::string cleaned;
  if (SanitizeText(value, &cleaned)) value = cleaned;
  FieldViews views = Fields();
  views[index] = value;
  char* blob = BuildBlob(views);  // copies out of the old block before it is freed
  std::free(blob_);
  blob_ = blob;
}

std::size_t TCatalogRecord::HeapBytes() const { return BlobSize(blob_); }

bool operator==(const TCatalogRecord& a, const TCatalogRecord& b) { return a.Fields() == b.Fields(); }

}  // namespace lumivor
