#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "copies/copy_finder.h"
#include "core/progress.h"

namespace lumivor {

// How much of a source has a copy elsewhere.
struct CoverageCounts {
  std::size_t files = 0, with_copy = 0, without_copy = 0;
  std::uint64_t bytes_without_copy = 0;
  std::uint64_t bytes_read = 0;   // bytes of the source read to hash them (a live folder)
  std::uint64_t bytes_total = 0;  // bytes of every file of the source
  bool cancelled = false;
  // "files=N with_copy=N without_copy=N bytes_without_copy=N".
  [[nodiscard]] std::string CountsLine() const;
};

// Hears each file of the source that has no copy: its path (FullPath, or the path on disk for a
// live folder) and size.
using UncoveredFound = std::function<void(const std::string& path, std::uint64_t size)>;

// The files of `source` (read from a catalog) that have no copy among `against`, by `by`. A
// source file without the key (no hash) has no copy that could be proven. Zero-byte files hold
// nothing to lose and are left out; hard links of one file count once.
CoverageCounts CoverageOfEntries(const std::vector<ContentEntry>& source,
                                 const std::vector<ContentEntry>& against, CopyKey by,
                                 const UncoveredFound& found, std::stop_token stop = {});

// The same for the live folder `folder`: it is walked as a scan walks it, and by hash only the
// files whose size occurs among the hashed entries of `against` are read (the others have no
// copy by their size alone).
CoverageCounts CoverageOfFolder(const std::string& folder, const std::vector<ContentEntry>& against,
                                CopyKey by, const UncoveredFound& found, std::stop_token stop,
                                Progress& progress);

}  // namespace lumivor
