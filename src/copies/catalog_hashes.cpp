#include "copies/catalog_hashes.h"

#include <charconv>
#include <chrono>
#include <unordered_map>
#include <vector>

#include "catalog/fields.h"
#include "copies/content_hash.h"
#include "update/catalog_update.h"

namespace lumivor {

namespace {

// How often the progress text follows the file being read.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

std::int64_t SizeOf(std::string_view text) {
  std::int64_t value = -1;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return -1;
  return value;
}

}  // namespace

std::string UnhashedFilesText(std::size_t count) {
  if (count == 1) return "1 file could not be read; it has no content hash.";
  return std::to_string(count) + " files could not be read; they have no content hash.";
}

std::string DiskPathOf(std::string_view full_path, std::string_view top_path,
                       std::string_view source) {
  std::string_view rest;
  if (full_path.size() > top_path.size() && full_path.substr(0, top_path.size()) == top_path) {
    rest = full_path.substr(top_path.size());
  } else if (full_path != top_path) {
    rest = full_path;  // not below the top: taken as relative to the medium
  }
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  std::string path(source);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!rest.empty()) {
    if (path.empty() || path.back() != '/') path += '/';
    path += rest;
  }
  return path;
}

bool IsMediumFile(const CatalogTree::Node& node) {
  return node.IsFile() && node.parent != nullptr &&
         (node.parent->parent == nullptr || node.parent->IsDirectory()) && !IsMissing(node);
}

HashReport HashCatalogFiles(CatalogTree& tree, std::string_view source, const HashOptions& options,
                            std::stop_token stop, Progress& progress) {
  HashReport report;
  const CatalogTree::Node* top = tree.Top();
  if (!top) return report;
  const std::string top_path = top->Field(kFullPath);
  ContentHasher hasher(stop);
  // Hashes of hard-linked files read already, by LinkId.
  std::unordered_map<std::string, std::string> linked;
  std::vector<CatalogTree::Node*> files;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (IsMediumFile(*node)) files.push_back(const_cast<CatalogTree::Node*>(node));
  });
  auto last_shown = std::chrono::steady_clock::now() - kProgressInterval;
  std::string path_scratch, size_scratch, hash;
  for (CatalogTree::Node* node : files) {
    if (stop.stop_requested()) {
      report.cancelled = true;
      break;
    }
    const std::string link_id(node->Extra(kLinkIdAttribute));
    if (!options.rehash && !node->Extra(kHashAttribute).empty()) {
      ++report.kept;
      if (!link_id.empty()) linked.emplace(link_id, node->Extra(kHashAttribute));
      continue;
    }
    if (!link_id.empty()) {
      if (const auto found = linked.find(link_id); found != linked.end()) {
        node->SetExtra(kHashAttribute, found->second);
        ++report.kept;
        continue;
      }
    }
    const std::string_view full_path = node->Field(kFullPath, &path_scratch);
    const std::string disk_path = DiskPathOf(full_path, top_path, source);
    const auto now = std::chrono::steady_clock::now();
    if (now - last_shown >= kProgressInterval) {
      progress.SetWaitText(full_path);
      last_shown = now;
    }
    const std::int64_t size = SizeOf(node->Field(kFileSize, &size_scratch));
    switch (hasher.HashFile(disk_path, &hash, size)) {
      case ContentHasher::Status::kDone:
        node->SetExtra(kHashAttribute, hash);
        if (!link_id.empty()) linked.emplace(link_id, hash);
        ++report.hashed;
        break;
      case ContentHasher::Status::kNotRegular:
        node->SetExtra(kHashAttribute, {});
        break;
      case ContentHasher::Status::kUnreadable:
        node->SetExtra(kHashAttribute, {});
        ++report.unreadable;
        break;
      case ContentHasher::Status::kCancelled:
        report.cancelled = true;
        break;
    }
    if (report.cancelled) break;
  }
  report.bytes_read = hasher.BytesRead();
  return report;
}

}  // namespace lumivor
