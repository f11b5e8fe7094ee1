#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "core/volumes.h"

namespace lumivor {

namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string UnescapeOctal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const char a = text[i + 1], b = text[i + 2], c = text[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// udev's by-label names escape unsafe bytes as \xHH.
std::string UnescapeHex(std::string_view text) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && digit(text[i + 2]) >= 0 &&
        digit(text[i + 3]) >= 0) {
      out += static_cast<char>(digit(text[i + 2]) * 16 + digit(text[i + 3]));
      i += 3;
      continue;
    }
    out += text[i];
  }
  return out;
}

// The next blank-separated word of `line` from `at` on.
std::string_view NextWord(std::string_view line, std::size_t* at) {
  while (*at < line.size() && line[*at] == ' ') ++*at;
  const std::size_t start = *at;
  while (*at < line.size() && line[*at] != ' ') ++*at;
  return line.substr(start, *at - start);
}

std::string ReadAll(int fd) {
  std::string text;
  if (::lseek(fd, 0, SEEK_SET) != 0) return text;
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// The label udev links to the block device `device`, or empty.
std::string LabelFromUdev(dev_t device) {
  std::string label;
  DIR* dir = ::opendir("/dev/disk/by-label");
  if (!dir) return label;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    struct stat info;
    if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISBLK(info.st_mode) &&
        info.st_rdev == device) {
      label = UnescapeHex(entry->d_name);
      break;
    }
  }
  ::closedir(dir);
  return label;
}

// The label in the superblock of the block device at `path`, or empty when it cannot be read.
std::string LabelFromDevice(const std::string& path) {
  std::string label;
  blkid_probe probe = blkid_new_probe_from_filename(path.c_str());
  if (!probe) return label;
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL);
  const char* value = nullptr;
  if (blkid_do_safeprobe(probe) == 0 &&
      blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value) {
    label = value;
  }
  blkid_free_probe(probe);
  return label;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    // id parent major:minor root mount-point options [optional fields...] - type source options
    std::size_t at = 0;
    NextWord(line, &at);
    NextWord(line, &at);
    NextWord(line, &at);
    const std::string_view root = NextWord(line, &at);
    const std::string_view point = NextWord(line, &at);
    std::string_view word = NextWord(line, &at);  // options
    do {
      word = NextWord(line, &at);
    } while (!word.empty() && word != "-");
    if (word != "-" || point.empty()) continue;
    MountEntry mount;
    mount.type = NextWord(line, &at);
    mount.source = UnescapeOctal(NextWord(line, &at));
    if (mount.type.empty()) continue;
    mount.root = UnescapeOctal(root);
    mount.point = UnescapeOctal(point);
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

bool IsPseudoFileSystem(std::string_view type) {
  static constexpr std::string_view kPseudo[] = {"proc",
                                                 "sysfs",
                                                 "cgroup",
                                                 "cgroup2",
                                                 "devpts",
                                                 "devtmpfs",
                                                 "tmpfs",
                                                 "ramfs",
                                                 "mqueue",
                                                 "securityfs",
                                                 "debugfs",
                                                 "tracefs",
                                                 "pstore",
                                                 "bpf",
                                                 "configfs",
                                                 "fusectl",
                                                 "hugetlbfs",
                                                 "autofs",
                                                 "binfmt_misc",
                                                 "efivarfs",
                                                 "rpc_pipefs",
                                                 "nsfs",
                                                 "selinuxfs",
                                                 "rootfs",
                                                 "nfsd",
                                                 "cpuset",
                                                 "devfs",
                                                 "fuse.gvfsd-fuse",
                                                 "fuse.portal",
                                                 "fuse.lxcfs",
                                                 "fuse.xdg-document-portal"};
  for (std::string_view pseudo : kPseudo) {
    if (type == pseudo) return true;
  }
  return false;
}

// The mount table as last read, and the labels found so far.
struct SystemVolumes::State {
  std::mutex mutex;
  int fd = -1;  // /proc/self/mountinfo, kept open to be told of changes
  bool loaded = false;
  std::map<std::string, MountEntry, std::less<>> by_point;  // the mount on top at each point
  std::map<std::string, std::string, std::less<>> labels;   // by mount point

  // Brings the table up to date: the kernel flags the open file when the mount table changes.
  void Refresh() {
    if (fd < 0) fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    pollfd changed{fd, POLLPRI, 0};
    const bool stale = ::poll(&changed, 1, 0) > 0 && (changed.revents & (POLLPRI | POLLERR));
    if (loaded && !stale) return;
    by_point.clear();
    labels.clear();
    for (MountEntry& mount : ParseMountInfo(ReadAll(fd))) {
      std::string point = mount.point;
      by_point[point] = std::move(mount);
    }
    loaded = true;
  }

  // The real file system at exactly `path`, or null.
  const MountEntry* Find(std::string_view path) {
    if (path.empty() || path.front() != '/') return nullptr;
    Refresh();
    const auto found = by_point.find(WithoutTrailingSlash(path));
    if (found == by_point.end() || IsPseudoFileSystem(found->second.type)) return nullptr;
    return &found->second;
  }
};

SystemVolumes::SystemVolumes() : state_(std::make_unique<State>()) {}

SystemVolumes::~SystemVolumes() {
  if (state_->fd >= 0) ::close(state_->fd);
}

bool SystemVolumes::IsDriveRoot(std::string_view path) const {
  std::lock_guard lock(state_->mutex);
  return state_->Find(path) != nullptr;
}

std::string SystemVolumes::LabelOf(std::string_view root) const {
  std::lock_guard lock(state_->mutex);
  const MountEntry* mount = state_->Find(root);
  // A bind mount shows a folder of a file system, not the volume the label names.
  if (!mount || mount->root != "/") return {};
  const auto known = state_->labels.find(mount->point);
  if (known != state_->labels.end()) return known->second;
  std::string label;
  struct stat info;
  if (!mount->source.empty() && mount->source.front() == '/' &&
      ::stat(mount->source.c_str(), &info) == 0 && S_ISBLK(info.st_mode)) {
    label = LabelFromUdev(info.st_rdev);
    if (label.empty()) label = LabelFromDevice(mount->source);
  }
  state_->labels.emplace(mount->point, label);
  return label;
}

}  // namespace lumivor
