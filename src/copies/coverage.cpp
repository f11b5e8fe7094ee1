#include "copies/coverage.h"

#include <charconv>
#include <unordered_set>

#include "catalog/fields.h"
#include "copies/catalog_hashes.h"
#include "copies/content_hash.h"
#include "scan/scanner.h"

namespace lumivor {

namespace {

// The keys of `against` under `by`, each with its size.
std::unordered_set<std::string> KeysOf(const std::vector<ContentEntry>& against, CopyKey by) {
  std::unordered_set<std::string> keys;
  keys.reserve(against.size());
  for (const ContentEntry& entry : against) {
    std::string key = CopyKeyOf(entry, by);
    if (!key.empty()) keys.insert(std::to_string(entry.size) + '|' + key);
  }
  return keys;
}

// Counts one source file.
void Count(CoverageCounts* counts, const std::string& path, std::uint64_t size, bool has_copy,
           const UncoveredFound& found) {
  ++counts->files;
  if (has_copy) {
    ++counts->with_copy;
    return;
  }
  ++counts->without_copy;
  counts->bytes_without_copy += size;
  if (found) found(path, size);
}

}  // namespace

std::string CoverageCounts::CountsLine() const {
  return "files=" + std::to_string(files) + " with_copy=" + std::to_string(with_copy) +
         " without_copy=" + std::to_string(without_copy) +
         " bytes_without_copy=" + std::to_string(bytes_without_copy);
}

CoverageCounts CoverageOfEntries(const std::vector<ContentEntry>& source,
                                 const std::vector<ContentEntry>& against, CopyKey by,
                                 const UncoveredFound& found, std::stop_token stop) {
  CoverageCounts counts;
  const std::unordered_set<std::string> keys = KeysOf(against, by);
  std::unordered_set<std::string> linked;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if ((i & 1023) == 0 && stop.stop_requested()) {
      counts.cancelled = true;
      break;
    }
    const ContentEntry& entry = source[i];
    if (entry.size == 0) continue;
    if (!entry.link_id.empty() && !linked.insert(entry.link_id).second) continue;
    counts.bytes_total += entry.size;
    const std::string key = CopyKeyOf(entry, by);
    const bool has_copy = !key.empty() && keys.count(std::to_string(entry.size) + '|' + key) > 0;
    Count(&counts, entry.path, entry.size, has_copy, found);
  }
  return counts;
}

CoverageCounts CoverageOfFolder(const std::string& folder, const std::vector<ContentEntry>& against,
                                CopyKey by, const UncoveredFound& found, std::stop_token stop,
                                Progress& progress) {
  CoverageCounts counts;
  const std::unordered_set<std::string> keys = KeysOf(against, by);
  std::unordered_set<std::uint64_t> sizes;
  if (by == CopyKey::kHash) {
    for (const ContentEntry& entry : against) {
      if (entry.size > 0 && HashAlgorithm(entry.hash) == "xxh128") sizes.insert(entry.size);
    }
  }

  CatalogTree tree;
  ScanReport report;
  ScanFolder(&tree, folder, false, {}, "coverage", progress, nullptr, &report, {}, stop);
  if (report.cancelled || stop.stop_requested()) {
    counts.cancelled = true;
    return counts;
  }
  // Files in the order of their paths, whatever order the file system lists them in.
  tree.SortAll(
      [](const CatalogTree::Node* a, const CatalogTree::Node* b) { return a->Name() < b->Name(); });
  const CatalogTree::Node* top = tree.Top();
  if (!top) return counts;
  const std::string top_path = top->Field(kFullPath);
  ContentHasher hasher(stop);
  std::unordered_set<std::string> linked;
  std::string hash;
  bool cancelled = false;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (cancelled || !IsMediumFile(*node)) return;
    ContentEntry entry;
    entry.name = node->Name();
    const std::string size = node->Field(kFileSize);
    std::from_chars(size.data(), size.data() + size.size(), entry.size);
    if (entry.size == 0) return;
    const std::string_view link_id = node->Extra(kLinkIdAttribute);
    if (!link_id.empty() && !linked.insert(std::string(link_id)).second) return;
    entry.path = DiskPathOf(node->Field(kFullPath), top_path, folder);
    counts.bytes_total += entry.size;
    if (by == CopyKey::kHash && sizes.count(entry.size) > 0) {
      const auto status = hasher.HashFile(entry.path, &hash, static_cast<std::int64_t>(entry.size));
      if (status == ContentHasher::Status::kCancelled) {
        cancelled = true;
        return;
      }
      if (status == ContentHasher::Status::kDone) entry.hash = hash;
    }
    const std::string key = CopyKeyOf(entry, by);
    const bool has_copy = !key.empty() && keys.count(std::to_string(entry.size) + '|' + key) > 0;
    Count(&counts, entry.path, entry.size, has_copy, found);
  });
  counts.cancelled = cancelled;
  counts.bytes_read = hasher.BytesRead();
  return counts;
}

}  // namespace lumivor
