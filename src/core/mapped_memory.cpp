#include "core/mapped_memory.h"

#include <sys/mman.h>

#include <algorithm>

namespace lumivor {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// A block of texts: address space only, so generous; what is used is what is touched.
constexpr std::size_t kTextBlock = std::size_t{64} << 20;

}  // namespace

MappedMemory::MappedMemory(std::size_t bytes) {
  // Whole huge pages, at an address that is a multiple of one, so that every part can be one.
  const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* mapped = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<char*>(mapped);
  const std::size_t skip =
      (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
  if (skip > 0) ::munmap(start, skip);
  if (kHugePage - skip > 0) ::munmap(start + skip + size, kHugePage - skip);
  data_ = start + skip;
  size_ = size;
  // Advice only: without huge pages the memory is the same, in small pages.
  ::madvise(data_, size_, MADV_HUGEPAGE);
}

MappedMemory::~MappedMemory() {
  if (data_) ::munmap(data_, size_);
}

void TextBlocks::NewBlock(std::size_t at_least) {
  MappedMemory& block = blocks_.emplace_back(std::max(at_least, kTextBlock));
  at_ = block.Data();
  end_ = at_ + block.Size();
}

}  // namespace lumivor
