#pragma once

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>

#include "catalog/catalog_tree.h"

namespace lumivor {

// One difference between two catalogs A and B of files. Paths are relative to each catalog's
// top record, names joined by "/".
struct CatalogDifference {
  enum class Kind {
    kOnlyA,    // in A only
    kOnlyB,    // in B only
    kChanged,  // at the same path in both, with another size, time or hash
    kMoved,    // the same file at another path: `path` in A, `other_path` in B
    kSame,     // the same file at the same path; reported only when the descriptions differ
  };
  Kind kind = Kind::kSame;
  std::string path;
  std::string other_path;
  // The facts on each side, where the side has the file (FileSize, FileTime, Hash).
  std::string size_a, size_b, time_a, time_b, hash_a, hash_b;
  // The descriptions, set only when they differ (and so worth showing).
  std::string description_a, description_b;
  bool descriptions_differ = false;
};

// The name of a kind as printed: "only_a", "only_b", "changed", "moved", "same".
[[nodiscard]] const char* DifferenceKindName(CatalogDifference::Kind kind);

// How many files each kind counted.
struct CompareCounts {
  std::size_t only_a = 0, only_b = 0, changed = 0, moved = 0, same = 0;
  bool cancelled = false;
  // "only_a=N only_b=N changed=N moved=N same=N".
  [[nodiscard]] std::string CountsLine() const;
};

using DifferenceFound = std::function<void(const CatalogDifference&)>;

// Compares the files of catalog `a` with those of `b` (folders are compared through the files
// they hold; entries marked Missing are left out). A file at the same path in both is changed
// when its size or time differ, or when both have hashes of the same algorithm that differ, and
// the same otherwise. Of the files left over on both sides, one in A and one in B are the same
// file moved when their hashes (of one algorithm) and sizes are equal, or failing that when their
// names, sizes and times are; each file moves at most once, matched in the order of the
// catalogs. `found` hears every difference as it is found: changed files and same ones with
// another description in A's order, then moves, then what is only in A, then what is only in B.
CompareCounts CompareCatalogs(const CatalogTree& a, const CatalogTree& b,
                              const DifferenceFound& found, std::stop_token stop = {});

}  // namespace lumivor
