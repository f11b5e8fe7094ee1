#include <blkid/blkid.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/volumes.h"

namespace lumivor {

namespace {

// File system types that are not drives: kernel interfaces and memory-backed scratch space.
bool IsPseudoFileSystem(const std::string& type) {
  static const char* const kPseudo[] = {
      "proc",        "sysfs",    "cgroup",     "cgroup2",    "devpts",           "devtmpfs",
      "tmpfs",       "ramfs",    "mqueue",     "securityfs", "debugfs",          "tracefs",
      "pstore",      "bpf",      "configfs",   "fusectl",    "hugetlbfs",        "autofs",
      "binfmt_misc", "efivarfs", "rpc_pipefs", "nsfs",       "overlay_internal", "fuse.gvfsd-fuse",
      "fuse.portal", "selinuxfs"};
  for (const char* pseudo : kPseudo) {
    if (type == pseudo) return true;
  }
  return false;
}

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string octal = text.substr(i + 1, 3);
      if (octal.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(octal, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

struct Mount {
  std::string point, type, source;
};

// Finds the real file system mounted exactly at `path`; false when there is none.
bool FindMount(std::string_view path, Mount* found) {
  const std::string wanted(WithoutTrailingSlash(path));
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  bool any = false;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream fields(line);
    std::string id, parent, devno, root, point;
    fields >> id >> parent >> devno >> root >> point;
    std::string word;
    while (fields >> word && word != "-") {
    }
    Mount m;
    fields >> m.type >> m.source;
    m.point = Unescape(point);
    m.source = Unescape(m.source);
    if (m.point != wanted) continue;
    // A later line for the same point is mounted over the earlier one.
    any = !IsPseudoFileSystem(m.type);
    if (any) *found = m;
  }
  return any;
}

}  // namespace

bool SystemVolumes::IsDriveRoot(std::string_view path) const {
  if (path.empty() || path.front() != '/') return false;
  Mount m;
  return FindMount(path, &m);
}

std::string SystemVolumes::LabelOf(std::string_view root) const {
  Mount m;
  if (!FindMount(root, &m) || m.source.empty() || m.source.front() != '/') return {};
  blkid_cache cache = nullptr;
  if (blkid_get_cache(&cache, "/dev/null") != 0) return {};
  std::string label;
  if (char* value = blkid_get_tag_value(cache, "LABEL", m.source.c_str())) {
    label = value;
    free(value);
  }
  blkid_put_cache(cache);
  return label;
}

}  // namespace lumivor
