#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "copies/copy_finder.h"
#include "core/mapped_memory.h"

namespace lumivor {

// Groups of copies of a large library, kept compactly: a record of 16 bytes per file and every
// text in large blocks, so that millions of files cost neither a heap block each nor memory that
// is touched twice. Filled a run of files of equal size and key at a time (AddRun, AddFile), the
// paths given afterwards in any order (SetPath); then Finish makes the groups that FindDuplicates
// makes of the same files.
class CopyGroups {
 public:
  // A file of a run; after Finish, a copy or (`Link()`) a further path of the copy before it.
  struct File {
    const char* path = nullptr;  // nullptr: the path could not be read (the file is passed over)
    std::uint32_t path_size = 0;
    std::uint32_t catalog = 0;  // high bit: a further hard link of the copy before it
    [[nodiscard]] std::string_view Path() const { return {path, path_size}; }
    [[nodiscard]] std::uint32_t Catalog() const { return catalog & ~kLinkBit; }
    [[nodiscard]] bool Link() const { return (catalog & kLinkBit) != 0; }
  };
  struct Group {
    std::uint64_t size = 0;
    std::string_view key;     // the Hash
    std::uint32_t first = 0;  // its files: files()[first, first + files)
    std::uint32_t files = 0;
    std::uint32_t copies = 0;  // its files less the further hard links
    [[nodiscard]] std::uint64_t Wasted() const { return size * (copies - 1); }
  };

  CopyGroups() = default;
  // Room for at most `files` files (address space only until used).
  explicit CopyGroups(std::size_t files) : files_(files) {}

  // Starts the run of files of `size` and `key`; runs come in the order of size and key.
  void AddRun(std::uint64_t size, std::string_view key);
  // A file of the current run, in the order of the run; `link` is its LinkId (empty: none).
  // Returns its number, for SetPath.
  std::uint32_t AddFile(std::uint32_t catalog, std::string_view link);
  // Blocks for the paths of SetPath, kept as long as these groups: one for each thread that
  // sets paths.
  TextBlocks& NewPathTexts() { return *path_texts_.emplace_back(std::make_unique<TextBlocks>()); }
  // The path of file `file` (kept in NewPathTexts blocks); safe from several threads at once for
  // different files.
  void SetPath(std::uint32_t file, std::string_view path) {
    files_[file].path = path.data();
    files_[file].path_size = static_cast<std::uint32_t>(path.size());
  }
  [[nodiscard]] std::size_t FileCount() const { return files_.size(); }

  // Makes the groups, as FindDuplicates by hash does: runs of two or more copies (hard links of
  // one file in one catalog count once), copies in the order of their catalogs, the group that
  // wastes most space first. Files without a path are passed over; files whose key names no
  // algorithm are counted as unhashed. With `min_size`, smaller files are left out.
  void Finish(std::uint64_t min_size, DuplicateSummary* summary);

  [[nodiscard]] const std::vector<Group>& Groups() const { return groups_; }
  [[nodiscard]] const File* Files() const { return files_.data(); }

 private:
  static constexpr std::uint32_t kLinkBit = 0x80000000u;
  // Puts the files of `group` in their order, links behind their copy; counts its copies.
  void OrderGroup(Group& group);
  [[nodiscard]] std::string_view LinkOf(std::uint32_t file) const;

  MappedArray<File> files_;
  std::vector<Group> groups_;
  // The LinkIds of the files that have one, by file.
  std::vector<std::pair<std::uint32_t, std::string_view>> links_;
  TextBlocks texts_;
  std::vector<std::unique_ptr<TextBlocks>> path_texts_;
};

}  // namespace lumivor
