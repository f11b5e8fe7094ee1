#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace lumivor {

// One folder or file inside an archive.
struct ArchiveEntry {
  // The path inside the archive, components joined by "/", without empty, "." and ".."
  // components; valid UTF-8 without control characters.
  std::string path;
  // The byte where the last component (the entry's own name) begins in `path`.
  std::size_t name_offset = 0;
  // 0 for an entry at the archive's top level, 1 for one inside a top-level folder, and so on.
  int depth = 0;
  bool directory = false;
  // Files: the uncompressed size; folders: the sum of the sizes of the files below them.
  std::uint64_t size = 0;
  // Last modification time; 0 when the archive holds none (and for folders only implied by the
  // paths of other entries).
  std::time_t mtime = 0;

  [[nodiscard]] std::string_view Name() const { return std::string_view(path).substr(name_offset); }
};

// How the listing of an archive ended.
enum class ArchiveOutcome {
  kListed,       // every entry was read
  kEncrypted,    // an entry or the archive's headers are encrypted
  kDamaged,      // the format was recognised but the archive could not be read to its end
  kUnsupported,  // not an archive libarchive can read (or not an archive at all)
  kCancelled,    // the caller asked to stop
  // Memory ran out while the reader listed it; never left in an ArchiveListing (ListArchive
  // raises std::bad_alloc instead).
  kOutOfMemory,
};

struct ArchiveListing {
  ArchiveOutcome outcome = ArchiveOutcome::kUnsupported;
  // Pre-order: a folder comes before everything inside it, siblings in the order the archive
  // first names them. Folders only implied by the paths of other entries are included. Empty
  // unless `outcome` is kListed.
  std::vector<ArchiveEntry> entries;
};

// True when a file named `name` is one the deep scan looks into, by its extension (letter case
// ignored): zip, 7z, rar, tar and its compressed forms (tar.gz, tgz, tar.bz2, tbz2, tar.xz, txz,
// tar.zst, tar.lz, tar.Z), iso and cpio. A plain .gz is not an archive of files.
[[nodiscard]] bool IsArchiveName(std::string_view name);

// Lists the archive open at `fd` (not taken over; read from its start) without extracting
// anything: only the headers are read, and for seekable formats (zip, 7z) only the central
// directory. `cancelled` is asked between entries; it may be empty. Paths are read as UTF-8
// whatever the process's locale; names that are not valid UTF-8 are cleaned. Raises
// std::bad_alloc when memory runs out: a listing cut short by that is no damaged archive.
[[nodiscard]] ArchiveListing ListArchive(int fd, const std::function<bool()>& cancelled = {});
// The same for a regular file of `size` bytes.
[[nodiscard]] ArchiveListing ListArchive(int fd, std::uint64_t size,
                                         const std::function<bool()>& cancelled);
// The same into `listing`, whose storage is reused: a scan lists one archive after another.
void ListArchive(int fd, std::uint64_t size, const std::function<bool()>& cancelled,
                 ArchiveListing* listing);

// The same for the archive at `path`; a file that cannot be opened is kUnsupported.
[[nodiscard]] ArchiveListing ListArchive(const std::string& path,
                                         const std::function<bool()>& cancelled = {});

}  // namespace lumivor
