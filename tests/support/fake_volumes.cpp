#include "support/fake_volumes.h"

namespace lumivor {

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

VolumeFacts FakeVolumes::FactsOf(std::string_view path) const {
  path = WithoutTrailingSlash(path);
  const Volume* best = nullptr;
  std::string_view best_root;
  for (const auto& v : volumes_) {
    const std::string_view root = WithoutTrailingSlash(v.root);
    const bool above = path == root || (path.substr(0, root.size()) == root &&
                                        (root == "/" || path[root.size()] == '/'));
    if (above && (!best || root.size() > best_root.size())) {
      best = &v;
      best_root = root;
    }
  }
  VolumeFacts facts;
  if (!best) return facts;
  facts.label = best->label;
  facts.id = best->id;
  facts.file_system = best->file_system;
  facts.size = best->size;
  facts.free = best->free;
  facts.folder = best_root == "/" ? std::string(path) : std::string(path.substr(best_root.size()));
  if (facts.folder.empty()) facts.folder.push_back('/');
  return facts;
}

std::vector<MountedVolume> FakeVolumes::Mounted() const {
  std::vector<MountedVolume> mounted;
  for (const auto& v : volumes_) {
    mounted.push_back(
        {std::string(WithoutTrailingSlash(v.root)), "/", v.id, v.label, v.file_system});
  }
  return mounted;
}

}  // namespace lumivor
