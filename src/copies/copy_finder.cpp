#include "copies/copy_finder.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <span>
#include <unordered_map>

#include "catalog/fields.h"
#include "copies/catalog_hashes.h"
#include "copies/content_hash.h"
#include "update/catalog_update.h"

namespace lumivor {

namespace {

bool IsMissingRecord(const RecordView& record) {
  for (const ExtraAttribute& extra : record.extras) {
    if (extra.name == "Missing") return true;
  }
  return false;
}

std::string_view ExtraOf(const RecordView& record, std::string_view name) {
  for (const ExtraAttribute& extra : record.extras) {
    if (extra.name == name) return extra.value;
  }
  return {};
}

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool ContentEntrySink::Excluded(std::string_view full_path) const {
  if (exclude_folder_.empty()) return false;
  const std::string disk = DiskPathOf(full_path, top_path_, source_);
  if (disk.size() < exclude_folder_.size() ||
      disk.compare(0, exclude_folder_.size(), exclude_folder_) != 0) {
    return false;
  }
  return disk.size() == exclude_folder_.size() || exclude_folder_ == "/" ||
         disk[exclude_folder_.size()] == '/';
}

bool ContentEntrySink::Add(const RecordView& record) {
  const auto depth = static_cast<std::size_t>(std::max(record.depth, 0));
  if (depth == 0 && !exclude_folder_.empty()) {
    top_path_ = record.fields[kFullPath];
    const std::string source = CatalogSourcePath(CatalogRecord(record.fields, record.extras));
    char* real = ::realpath(source.c_str(), nullptr);
    source_ = real ? real : source;
    std::free(real);
  }
  const bool file = record.fields[kFileType] == kFileTypeText;
  is_file_.resize(depth + 1);
  is_file_[depth] = file;
  if (!file || depth == 0 || is_file_[depth - 1] || IsMissingRecord(record)) return true;
  ContentEntry entry;
  entry.catalog = catalog_;
  const std::string_view size = record.fields[kFileSize];
  std::from_chars(size.data(), size.data() + size.size(), entry.size);
  if (Excluded(record.fields[kFullPath])) return true;
  entry.path = record.fields[kFullPath];
  entry.name = record.fields[kFileName];
  entry.hash = ExtraOf(record, kHashAttribute);
  entry.link_id = ExtraOf(record, kLinkIdAttribute);
  entries_->push_back(std::move(entry));
  return true;
}

void ContentEntrySink::Restart() {
  entries_->resize(first_);
  is_file_.clear();
}

std::string CopyKeyOf(const ContentEntry& entry, CopyKey by) {
  if (entry.size == 0) return {};
  if (by == CopyKey::kHash) return HashAlgorithm(entry.hash).empty() ? std::string() : entry.hash;
  return FoldCase(entry.name);
}

std::string DuplicateSummary::CountsLine() const {
  return "groups=" + std::to_string(groups) + " copies=" + std::to_string(copies) +
         " wasted=" + std::to_string(wasted);
}

namespace {

// An entry with its key: a view of its hash, or of its folded name.
struct Keyed {
  std::string_view key;
  std::size_t index;
};

// The entries that have a key, by size and key, entries of one key in their order; the folded
// names the views point at are kept in `folded`. Files of some size without one are counted.
std::vector<Keyed> KeyedBySizeAndKey(const std::vector<ContentEntry>& entries, CopyKey by,
                                     std::vector<std::string>* folded, std::size_t* unkeyed) {
  folded->reserve(by == CopyKey::kNameSize ? entries.size() : 0);  // views into it stay valid
  std::vector<Keyed> keyed;
  keyed.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ContentEntry& entry = entries[i];
    std::string_view key;
    if (entry.size > 0 && by == CopyKey::kHash) {
      if (!HashAlgorithm(entry.hash).empty()) key = entry.hash;
    } else if (entry.size > 0) {
      key = folded->emplace_back(FoldCase(entry.name));
    }
    if (key.empty()) {
      if (entry.size > 0) ++*unkeyed;
      continue;
    }
    keyed.push_back({key, i});
  }
  // The library index hands entries over in this order already: then the sort is a check.
  const auto before = [&](const Keyed& a, const Keyed& b) {
    if (entries[a.index].size != entries[b.index].size)
      return entries[a.index].size < entries[b.index].size;
    return a.key < b.key;
  };
  if (!std::is_sorted(keyed.begin(), keyed.end(), before)) {
    std::stable_sort(keyed.begin(), keyed.end(), before);
  }
  return keyed;
}

// The group of the entries `run` (of one size and key, taken), hard links of one file in one
// catalog made one copy, copies in the order of their catalogs.
DuplicateGroup GroupOfRun(std::span<const Keyed> run, std::vector<ContentEntry>& entries) {
  DuplicateGroup group;
  group.size = entries[run.front().index].size;
  group.key = std::string(run.front().key);
  std::unordered_map<std::string, std::size_t> files;
  for (const Keyed& keyed : run) {
    ContentEntry& entry = entries[keyed.index];
    if (!entry.link_id.empty()) {
      const std::string file = std::to_string(entry.catalog) + '/' + entry.link_id;
      const auto [it, added] = files.emplace(file, group.copies.size());
      if (!added) {
        group.copies[it->second].links.push_back(std::move(entry.path));
        continue;
      }
    }
    group.copies.push_back({entry.catalog, std::move(entry.path), {}});
  }
  std::stable_sort(group.copies.begin(), group.copies.end(),
                   [](const DuplicateGroup::Copy& a, const DuplicateGroup::Copy& b) {
                     return a.catalog < b.catalog;
                   });
  return group;
}

}  // namespace

std::vector<DuplicateGroup> FindDuplicates(std::vector<ContentEntry> entries, CopyKey by,
                                           DuplicateSummary* summary) {
  DuplicateSummary counts;
  std::vector<std::string> folded;
  const std::vector<Keyed> keyed = KeyedBySizeAndKey(entries, by, &folded, &counts.unhashed);
  std::vector<DuplicateGroup> groups;
  for (std::size_t begin = 0; begin < keyed.size();) {
    std::size_t end = begin + 1;
    const std::uint64_t size = entries[keyed[begin].index].size;
    while (end < keyed.size() && entries[keyed[end].index].size == size &&
           keyed[end].key == keyed[begin].key) {
      ++end;
    }
    if (end - begin >= 2) {
      DuplicateGroup group =
          GroupOfRun(std::span<const Keyed>(keyed).subspan(begin, end - begin), entries);
      if (group.copies.size() >= 2) groups.push_back(std::move(group));
    }
    begin = end;
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const DuplicateGroup& a, const DuplicateGroup& b) {
                     if (a.Wasted() != b.Wasted()) return a.Wasted() > b.Wasted();
                     if (a.size != b.size) return a.size > b.size;
                     return a.key < b.key;
                   });
  for (const DuplicateGroup& group : groups) {
    ++counts.groups;
    counts.copies += group.copies.size();
    counts.wasted += group.Wasted();
  }
  if (summary) *summary = counts;
  return groups;
}

}  // namespace lumivor
