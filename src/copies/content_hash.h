#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "catalog/fields.h"

namespace lumivor {

// The prefix of the hashes this program computes: XXH3 with 128 bits.
inline constexpr std::string_view kXxh128Prefix = "xxh128:";

// The algorithm part of a Hash value ("xxh128" of "xxh128:..."); empty when it has none.
[[nodiscard]] std::string_view HashAlgorithm(std::string_view hash);

// The Hash text of a 128-bit XXH3 value: kXxh128Prefix and the 32 hex digits of its canonical
// (big-endian) form, as `xxhsum -H2` prints it.
[[nodiscard]] std::string Xxh128Text(std::uint64_t high, std::uint64_t low);

// The Hash text of `bytes` in memory.
[[nodiscard]] std::string HashOfBytes(std::string_view bytes);

// Reads files from start to end in large sequential blocks and hashes them (XXH3, 128 bits).
// One hasher keeps its buffer from file to file. The stop token is asked between blocks, so a
// cancel is heard within one block's read even inside a file of many gigabytes.
class ContentHasher {
 public:
  enum class Status {
    kDone,        // the whole file was read; the hash is set
    kNotRegular,  // not a regular file (a link, FIFO, device, folder): nothing was read
    kUnreadable,  // it could not be opened or read to its end
    kCancelled,   // the stop token asked to stop
  };

  explicit ContentHasher(std::stop_token stop = {});
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  // Hashes the file at `path` (symbolic links are not followed; FIFOs are never waited on). With
  // `expected_size` >= 0, a file whose size differs is left unread (kUnreadable): it changed
  // since it was listed. `*hash` is set only on kDone.
  Status HashFile(const std::string& path, std::string* hash, std::int64_t expected_size = -1);
  // Hashes what the open file `fd` holds from its current position to its end (not closed).
  Status HashOpenFile(int fd, std::string* hash);

  // Bytes read by this hasher so far.
  [[nodiscard]] std::uint64_t BytesRead() const { return bytes_read_; }

 private:
  std::stop_token stop_;
  char* buffer_ = nullptr;
  void* state_ = nullptr;  // XXH3_state_t, kept between files
  std::uint64_t bytes_read_ = 0;
};

}  // namespace lumivor
