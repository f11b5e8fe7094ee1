#include "copies/medium_verify.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <vector>

#include "catalog/fields.h"
#include "copies/catalog_hashes.h"
#include "copies/content_hash.h"
#include "core/errors.h"
#include "scan/local_time_converter.h"

namespace lumivor {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(100);

std::string SizeText(std::uint64_t size) { return std::to_string(size); }

}  // namespace

const char* FindingKindName(VerifyFinding::Kind kind) {
  switch (kind) {
    case VerifyFinding::Kind::kDamaged:
      return "damaged";
    case VerifyFinding::Kind::kChanged:
      return "changed";
    case VerifyFinding::Kind::kMissing:
      return "missing";
  }
  return "";
}

std::string VerifyCounts::CountsLine() const {
  return "checked=" + std::to_string(checked) + " ok=" + std::to_string(ok) +
         " damaged=" + std::to_string(damaged) + " changed=" + std::to_string(changed) +
         " missing=" + std::to_string(missing) + " unhashed=" + std::to_string(unhashed);
}

namespace {

// Files from this size on are named in the progress while they are read.
constexpr off_t kLargeFile = off_t{64} << 20;

// How the file on the medium (`info`) differs from its record in size and time, as
// "size A -> B, time C -> D" or "now a folder"; empty when it does not.
std::string ChangeOf(const CatalogTree::Node& node, const struct stat& info,
                     LocalTimeConverter& times) {
  if (S_ISDIR(info.st_mode)) return "now a folder";
  const std::string size = node.Field(kFileSize);
  const std::string time = node.Field(kFileTime);
  const bool sized = S_ISREG(info.st_mode) || S_ISLNK(info.st_mode);
  const std::string disk_size = sized ? SizeText(static_cast<std::uint64_t>(info.st_size)) : "0";
  char time_text[40];
  const std::string disk_time(times.Format(info.st_mtim.tv_sec, time_text));
  std::string change;
  if (disk_size != size) change = "size " + size + " -> " + disk_size;
  if (disk_time != time) {
    if (!change.empty()) change += ", ";
    change += "time " + time + " -> " + disk_time;
  }
  return change;
}

}  // namespace

VerifyCounts VerifyMedium(const CatalogTree& catalog, std::string_view source,
                          const FindingFound& found, std::stop_token stop, Progress& progress) {
  VerifyCounts counts;
  const CatalogTree::Node* top = catalog.Top();
  if (!top) return counts;
  const std::string top_path = top->Field(kFullPath);
  std::vector<const CatalogTree::Node*> files;
  catalog.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (IsMediumFile(*node)) files.push_back(node);
  });
  const auto tell = [&](VerifyFinding::Kind kind, std::string path, std::string detail) {
    if (found) found({kind, std::move(path), std::move(detail)});
  };
  ContentHasher hasher(stop);
  LocalTimeConverter times;
  auto last_shown = std::chrono::steady_clock::now() - kProgressInterval;
  std::string hash;
  for (const CatalogTree::Node* node : files) {
    if (stop.stop_requested()) {
      counts.cancelled = true;
      break;
    }
    const std::string full_path = node->Field(kFullPath);
    const std::string disk_path = DiskPathOf(full_path, top_path, source);
    const auto now = std::chrono::steady_clock::now();
    if (now - last_shown >= kProgressInterval) {
      progress.SetWaitText(full_path);
      last_shown = now;
    }
    ++counts.checked;
    struct stat info;
    if (::lstat(disk_path.c_str(), &info) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) {
        ++counts.missing;
        tell(VerifyFinding::Kind::kMissing, full_path, {});
      } else {
        ++counts.damaged;
        tell(VerifyFinding::Kind::kDamaged, full_path, SystemMessage(errno));
      }
      continue;
    }
    if (std::string change = ChangeOf(*node, info, times); !change.empty()) {
      ++counts.changed;
      tell(VerifyFinding::Kind::kChanged, full_path, std::move(change));
      continue;
    }
    const std::string_view recorded = node->Extra(kHashAttribute);
    if (!S_ISREG(info.st_mode) || recorded.substr(0, kXxh128Prefix.size()) != kXxh128Prefix) {
      ++counts.unhashed;
      continue;
    }
    // A large file takes a while: the progress names it whatever was shown a moment ago.
    if (info.st_size >= kLargeFile) progress.SetWaitText(full_path);
    const auto status = hasher.HashFile(disk_path, &hash, static_cast<std::int64_t>(info.st_size));
    if (status == ContentHasher::Status::kCancelled) {
      --counts.checked;
      counts.cancelled = true;
      break;
    }
    if (status != ContentHasher::Status::kDone) {
      ++counts.damaged;
      tell(VerifyFinding::Kind::kDamaged, full_path, "could not be read");
    } else if (hash != recorded) {
      ++counts.damaged;
      tell(VerifyFinding::Kind::kDamaged, full_path, "content differs from its hash");
    } else {
      ++counts.ok;
    }
  }
  counts.bytes_read = hasher.BytesRead();
  return counts;
}

}  // namespace lumivor
