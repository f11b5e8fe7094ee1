#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

#include "catalog/catalog_tree.h"
#include "core/progress.h"

namespace lumivor {

// How a catalog's files are hashed.
struct HashOptions {
  // Read every file again, also those whose hash was kept from an earlier scan.
  bool rehash = false;
};

// What hashing a catalog's files did.
struct HashReport {
  std::size_t hashed = 0;      // files read and hashed
  std::size_t kept = 0;        // files whose hash was already there (and not read again)
  std::size_t unreadable = 0;  // regular files that could not be read: they have no hash
  std::uint64_t bytes_read = 0;
  bool cancelled = false;
};

// The notice after hashing that could not read `count` (> 0) files.
[[nodiscard]] std::string UnhashedFilesText(std::size_t count);

// The path on disk of the entry whose FullPath is `full_path`, in a catalog whose top record's
// FullPath is `top_path` and whose medium is at the folder `source` now.
[[nodiscard]] std::string DiskPathOf(std::string_view full_path, std::string_view top_path,
                                     std::string_view source);

// True when `node` is a file of the medium itself: a file record whose parent is a folder (so
// not an entry listed inside an archive) and that is not marked Missing.
[[nodiscard]] bool IsMediumFile(const CatalogTree::Node& node);

// Sets the Hash of every file of the medium in `tree` (a catalog of the folder `source`, as the
// scan or update just made it), reading the files one after another in the tree's order. A file
// with a hash already keeps it unless `options.rehash`; a file whose size is not the one recorded,
// or that cannot be read, gets no hash (and loses one it had) and is counted; symbolic links and
// other files that are not regular get none. Hard links of one file (equal LinkId) are read once.
// Shows each file's path as the progress text, now and then. When `stop` is asked to stop, the
// report says cancelled and the tree holds the hashes made so far.
HashReport HashCatalogFiles(CatalogTree& tree, std::string_view source, const HashOptions& options,
                            std::stop_token stop, Progress& progress);

}  // namespace lumivor
