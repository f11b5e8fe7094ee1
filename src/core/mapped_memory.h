#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace lumivor {

// Address space of `bytes` (rounded up to whole pages) that costs nothing until it is touched,
// backed by transparent huge pages where the system offers them: filling it faults once per
// 2 MiB instead of once per 4 KiB page. Raises std::bad_alloc when it cannot be had.
class MappedMemory {
 public:
  MappedMemory() = default;
  explicit MappedMemory(std::size_t bytes);
  ~MappedMemory();
  MappedMemory(MappedMemory&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedMemory& operator=(MappedMemory&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }

  [[nodiscard]] char* Data() const { return data_; }
  [[nodiscard]] std::size_t Size() const { return size_; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// An array of at most `capacity` trivially copied elements in MappedMemory: it never moves
// or grows by copying, and only the part in use is ever touched.
template <typename T>
class MappedArray {
  static_assert(std::is_trivially_copy_constructible_v<T> && std::is_trivially_destructible_v<T>);

 public:
  MappedArray() = default;
  explicit MappedArray(std::size_t capacity)
      : memory_(std::max<std::size_t>(capacity, 1) * sizeof(T)), capacity_(capacity) {}

  void push_back(const T& value) {
    if (size_ == capacity_) throw std::bad_alloc();
    new (data() + size_) T(value);
    ++size_;
  }
  void resize(std::size_t size) {
    if (size > capacity_) throw std::bad_alloc();
    for (std::size_t i = size_; i < size; ++i) new (data() + i) T();
    size_ = size;
  }
  // Grows to `size` elements whose values are to be written before they are read.
  void resize_for_overwrite(std::size_t size) {
    if (size > capacity_) throw std::bad_alloc();
    size_ = size;
  }
  [[nodiscard]] T* data() { return reinterpret_cast<T*>(memory_.Data()); }
  [[nodiscard]] const T* data() const { return reinterpret_cast<const T*>(memory_.Data()); }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }

 private:
  MappedMemory memory_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// Texts kept one after another in large blocks of MappedMemory: many small texts without a
// heap block each, and none of them ever moves.
class TextBlocks {
 public:
  // Keeps a copy of `text`; the view stays valid as long as this does.
  std::string_view Add(std::string_view text) {
    if (static_cast<std::size_t>(end_ - at_) < text.size()) NewBlock(text.size());
    char* kept = at_;
    if (!text.empty()) std::memcpy(kept, text.data(), text.size());
    at_ += text.size();
    return {kept, text.size()};
  }

 private:
  void NewBlock(std::size_t at_least);
  std::vector<MappedMemory> blocks_;
  char* at_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace lumivor
