#pragma once

// Readers of the headers of the most common archives, zip and tar (plain or gzip-compressed), in
// the core: they list such an archive with a few reads instead of setting up libarchive for it.
// They report exactly what libarchive reports for the archives they accept; anything else
// (encryption, damage, other formats, fields whose meaning differs between libarchive's
// versions) they hand on, and libarchive lists the archive.

#include <cstdint>
#include <string_view>

#include "scan/media_readers.h"

namespace lumivor {

// The bytes of an archive: a file read with pread, or bytes in memory.
class ArchiveBytes {
 public:
  // The regular file open at `fd` (not taken over) of `size` bytes.
  ArchiveBytes(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  explicit ArchiveBytes(std::string_view memory) : memory_(memory), size_(memory.size()) {}

  [[nodiscard]] std::uint64_t Size() const { return size_; }

  // All the bytes when they are in memory; empty for a file.
  [[nodiscard]] std::string_view Whole() const { return fd_ < 0 ? memory_ : std::string_view(); }

  // Reads up to `size` bytes at `at` into `into`; the count read, short only at the end of the
  // bytes or on a read error.
  [[nodiscard]] std::size_t Read(std::uint64_t at, char* into, std::size_t size) const;

 private:
  int fd_ = -1;
  std::string_view memory_;
  std::uint64_t size_ = 0;
};

// How a header reader ended.
enum class HeaderListing {
  kListed,     // every entry was reported
  kCancelled,  // the visitor asked to stop
  kUnusual,    // not an archive these readers list alone: the entries reported so far are to be
               // dropped and the archive listed by libarchive
};

// Lists a zip archive (from its central directory and local headers) or a tar archive, plain or
// gzip-compressed, reporting each entry to `visitor` as libarchive's reader does: in the order
// libarchive gives them, with the path as stored, whether it is a folder, the uncompressed size
// of a file (0 for folders and links) and the modification time. Zip names flagged as UTF-8 and
// pax paths, which libarchive normalises, are accepted only when normalisation leaves them as
// they are; other names are reported with their bytes as stored.
[[nodiscard]] HeaderListing ListArchiveHeaders(const ArchiveBytes& bytes, ArchiveVisitor* visitor);

}  // namespace lumivor
