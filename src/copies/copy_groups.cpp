#include "copies/copy_groups.h"

#include <algorithm>

#include "copies/content_hash.h"

namespace lumivor {

namespace {

// Files of one catalog keep the order of the run. Runs are mostly a handful of files: an
// insertion sort, without the buffer of std::stable_sort.
void SortByCatalog(CopyGroups::File* begin, CopyGroups::File* end) {
  const auto before = [](const CopyGroups::File& a, const CopyGroups::File& b) {
    return a.Catalog() < b.Catalog();
  };
  if (end - begin > 32) {
    std::stable_sort(begin, end, before);
    return;
  }
  for (CopyGroups::File* at = begin + 1; at < end; ++at) {
    const CopyGroups::File file = *at;
    CopyGroups::File* to = at;
    for (; to > begin && before(file, to[-1]); --to) *to = to[-1];
    *to = file;
  }
}

}  // namespace

void CopyGroups::AddRun(std::uint64_t size, std::string_view key) {
  groups_.push_back({size, texts_.Add(key), static_cast<std::uint32_t>(files_.size()), 0, 0});
}

std::uint32_t CopyGroups::AddFile(std::uint32_t catalog, std::string_view link) {
  const auto number = static_cast<std::uint32_t>(files_.size());
  files_.push_back({nullptr, 0, catalog});
  ++groups_.back().files;
  if (!link.empty()) links_.emplace_back(number, texts_.Add(link));
  return number;
}

std::string_view CopyGroups::LinkOf(std::uint32_t file) const {
  const auto it = std::lower_bound(links_.begin(), links_.end(), file,
                                   [](const std::pair<std::uint32_t, std::string_view>& link,
                                      std::uint32_t number) { return link.first < number; });
  return it != links_.end() && it->first == file ? it->second : std::string_view();
}

void CopyGroups::OrderGroup(Group& group) {
  File* const begin = files_.data() + group.first;
  File* const end = begin + group.files;
  const auto has_links = [&] {
    const auto it = std::lower_bound(links_.begin(), links_.end(), group.first,
                                     [](const std::pair<std::uint32_t, std::string_view>& link,
                                        std::uint32_t number) { return link.first < number; });
    return it != links_.end() && it->first < group.first + group.files;
  };
  if (!has_links()) {
    File* kept = std::remove_if(begin, end, [](const File& file) { return file.path == nullptr; });
    SortByCatalog(begin, kept);
    group.files = static_cast<std::uint32_t>(kept - begin);
    group.copies = group.files;
    return;
  }
  // Hard links of one file in one catalog: the first in the run is the copy, the others follow
  // it as its further paths.
  struct Copy {
    std::uint32_t catalog;
    std::string_view link;
    std::vector<File> files;
  };
  std::vector<Copy> copies;
  for (File* file = begin; file < end; ++file) {
    if (file->path == nullptr) continue;
    const std::string_view link = LinkOf(group.first + static_cast<std::uint32_t>(file - begin));
    auto same = copies.end();
    if (!link.empty()) {
      same = std::find_if(copies.begin(), copies.end(), [&](const Copy& copy) {
        return copy.catalog == file->Catalog() && copy.link == link;
      });
    }
    if (same == copies.end()) {
      copies.push_back({file->Catalog(), link, {*file}});
    } else {
      File further = *file;
      further.catalog |= kLinkBit;
      same->files.push_back(further);
    }
  }
  std::stable_sort(copies.begin(), copies.end(),
                   [](const Copy& a, const Copy& b) { return a.catalog < b.catalog; });
  File* to = begin;
  for (const Copy& copy : copies) to = std::copy(copy.files.begin(), copy.files.end(), to);
  group.files = static_cast<std::uint32_t>(to - begin);
  group.copies = static_cast<std::uint32_t>(copies.size());
}

void CopyGroups::Finish(std::uint64_t min_size, DuplicateSummary* summary) {
  DuplicateSummary counts;
  std::size_t kept = 0;
  for (Group& group : groups_) {
    if (group.size == 0 || group.size < min_size) continue;
    if (HashAlgorithm(group.key).empty()) {
      const File* begin = files_.data() + group.first;
      counts.unhashed += static_cast<std::size_t>(std::count_if(
          begin, begin + group.files, [](const File& file) { return file.path != nullptr; }));
      continue;
    }
    OrderGroup(group);
    if (group.copies < 2) continue;
    groups_[kept++] = group;
  }
  groups_.resize(kept);
  std::sort(groups_.begin(), groups_.end(), [](const Group& a, const Group& b) {
    if (a.Wasted() != b.Wasted()) return a.Wasted() > b.Wasted();
    if (a.size != b.size) return a.size > b.size;
    return a.key < b.key;
  });
  for (const Group& group : groups_) {
    ++counts.groups;
    counts.copies += group.copies;
    counts.wasted += group.Wasted();
  }
  if (summary) *summary = counts;
}

}  // namespace lumivor
