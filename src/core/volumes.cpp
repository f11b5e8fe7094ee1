#include "core/volumes.h"

namespace lumivor {

namespace {
const VolumeService* g_volumes = nullptr;
}

std::string_view WithoutTrailingSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

bool FakeVolumes::IsDriveRoot(std::string_view path) const {
  path = WithoutTrailingSlash(path);
  for (const auto& v : volumes_) {
    if (WithoutTrailingSlash(v.root) == path) return true;
  }
  return false;
}

std::string FakeVolumes::LabelOf(std::string_view root) const {
  root = WithoutTrailingSlash(root);
  for (const auto& v : volumes_) {
    if (WithoutTrailingSlash(v.root) == root) return v.label;
  }
  return {};
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
  const std::string_view trimmed = WithoutTrailingSlash(path);
  if (trimmed == "/") return "/";
  const auto slash = trimmed.rfind('/');
  std::string_view name = slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
  const auto dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return std::string(name);
}

}  // namespace lumivor
