#include "scan/volumes.h"
#include "catalog/fields.h"

namespace lumivor {

namespace {
const VolumeService* g_volumes = nullptr;
}

std::string_view WithoutTrailingSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string MountedFolderOf(const VolumeFacts& facts) {
  if (facts.id.empty() && facts.label.empty()) return {};
  const std::vector<MountedVolume> mounted = Volumes().Mounted();
  const MountedVolume* found = nullptr;
  for (const MountedVolume& volume : mounted) {
    const bool same = facts.id.empty() ? volume.label == facts.label : volume.id == facts.id;
    // A volume shown at several places: the place that shows its root is the one to take.
    if (same && (!found || (found->root != "/" && volume.root == "/"))) found = &volume;
  }
  if (!found) return {};
  // The folder as seen through that mount: below the folder of the file system it shows.
  std::string_view folder = facts.folder.empty() ? std::string_view("/") : facts.folder;
  const std::string_view shown = WithoutTrailingSlash(found->root);
  if (shown != "/") {
    if (folder.substr(0, shown.size()) != shown ||
        (folder.size() > shown.size() && folder[shown.size()] != '/')) {
      return {};
    }
    folder.remove_prefix(shown.size());
  }
  std::string path(WithoutTrailingSlash(found->point));
  if (folder.empty() || folder == "/") return path;
  if (path == "/") path.clear();
  return path + std::string(folder);
}

const VolumeService& Volumes() {
  if (g_volumes) return *g_volumes;
  static const SystemVolumes system;
  return system;
}

void SetVolumes(const VolumeService* service) { g_volumes = service; }

std::string VolumeLabelOf(std::string_view root) {
  std::string label = Volumes().LabelOf(root);
  if (label.size() > 255) label.resize(255);
  return label;
}

std::string DisplayNameOf(std::string_view path) {
  if (!path.empty() && Volumes().IsDriveRoot(path)) {
    std::string label = VolumeLabelOf(path);
    if (!label.empty()) return label;
    const std::string_view trimmed = WithoutTrailingSlash(path);
    if (trimmed == "/") return "/";
    const auto slash = trimmed.rfind('/');
    return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
  }
  // A folder given with a trailing "/" is named after its last component, not "".
  return BaseNameOf(path);
}

}  // namespace lumivor
