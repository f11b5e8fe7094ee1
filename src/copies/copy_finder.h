#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/progress.h"
#include "core/record_sink.h"

namespace lumivor {

// What makes two files copies of each other.
enum class CopyKey {
  kHash,      // equal Hash (of one algorithm) and size: proven copies
  kNameSize,  // equal name (letter case aside) and size: likely copies, for catalogs without hashes
};

// One file of the medium as copies are concerned.
struct ContentEntry {
  std::uint32_t catalog = 0;  // the index of its catalog in the list it was read from
  std::uint64_t size = 0;
  std::string path;     // FullPath
  std::string name;     // FileName
  std::string hash;     // Hash; empty when it has none
  std::string link_id;  // LinkId; empty unless it has further hard links
};

// A sink that keeps the files of the medium (a file record whose parent is a folder, not marked
// Missing) that a catalog reader hands it, for catalog number `catalog`. With `exclude_folder`
// (a real path), files that lie in that folder, by the folder the catalog was made from, are
// left out: they are the folder's own files, not copies of them.
class ContentEntrySink final : public RecordSink {
 public:
  ContentEntrySink(std::vector<ContentEntry>* entries, std::uint32_t catalog,
                   std::string exclude_folder = {})
      : entries_(entries),
        catalog_(catalog),
        first_(entries->size()),
        exclude_folder_(std::move(exclude_folder)) {}
  bool Add(const RecordView& record) override;
  void Restart() override;

 private:
  [[nodiscard]] bool Excluded(std::string_view full_path) const;
  std::vector<ContentEntry>* entries_;
  std::uint32_t catalog_;
  std::size_t first_;
  std::string exclude_folder_;
  std::string top_path_;       // the top record's FullPath
  std::string source_;         // the real path of the folder the catalog was made from
  std::vector<bool> is_file_;  // per depth: the open record there is a file
};

// The key of `entry` under `by` ("" when it has none: no hash, or a zero-byte file).
[[nodiscard]] std::string CopyKeyOf(const ContentEntry& entry, CopyKey by);

// Files of one content: every copy, once per file (hard links of one file in one catalog count
// once; their other paths are in `links`).
struct DuplicateGroup {
  struct Copy {
    std::uint32_t catalog = 0;
    std::string path;
    std::vector<std::string> links;  // further paths of the same file (hard links)
  };
  std::uint64_t size = 0;
  std::string key;  // the Hash, or the name in lower case
  std::vector<Copy> copies;
  [[nodiscard]] std::uint64_t Wasted() const { return size * (copies.size() - 1); }
};

struct DuplicateSummary {
  std::size_t groups = 0, copies = 0;
  std::uint64_t wasted = 0;
  std::size_t unhashed = 0;  // files of some size left out because they have no hash
  // "groups=N copies=N wasted=BYTES".
  [[nodiscard]] std::string CountsLine() const;
};

// Groups `entries` by `by` into groups of two or more files, the group wasting most space first
// (then larger files first, then by key); copies in the order of the entries. Zero-byte files
// are never copies.
std::vector<DuplicateGroup> FindDuplicates(std::vector<ContentEntry> entries, CopyKey by,
                                           DuplicateSummary* summary);

// ASCII letters folded to lower case.
[[nodiscard]] std::string FoldCase(std::string_view text);

}  // namespace lumivor
