#pragma once

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "catalog/catalog_tree.h"
#include "core/progress.h"

namespace lumivor {

// A file of the catalog that the medium no longer holds as recorded.
struct VerifyFinding {
  enum class Kind {
    kDamaged,  // size and time as recorded, but the content differs from its hash (or unreadable)
    kChanged,  // size or time differ from the catalog
    kMissing,  // not on the medium
  };
  Kind kind = Kind::kDamaged;
  std::string path;    // the entry's FullPath
  std::string detail;  // what differs, in words
};

// "damaged", "changed" or "missing".
[[nodiscard]] const char* FindingKindName(VerifyFinding::Kind kind);

struct VerifyCounts {
  std::size_t checked = 0, ok = 0, damaged = 0, changed = 0, missing = 0, unhashed = 0;
  std::uint64_t bytes_read = 0;
  bool cancelled = false;
  // "checked=N ok=N damaged=N changed=N missing=N unhashed=N".
  [[nodiscard]] std::string CountsLine() const;
};

using FindingFound = std::function<void(const VerifyFinding&)>;

// Reads the medium of `catalog` again at the folder `source` and checks every file of the medium
// (IsMediumFile) against its record: a file that is gone is missing; one whose size or time
// differ is changed; one whose size and time are as recorded is read and its content compared
// with its xxh128 hash (damaged when they differ or it cannot be read, ok when they agree);
// without such a hash it is unhashed. Writes nothing. `found` hears every finding as it is found.
VerifyCounts VerifyMedium(const CatalogTree& catalog, std::string_view source,
                          const FindingFound& found, std::stop_token stop, Progress& progress);

}  // namespace lumivor
