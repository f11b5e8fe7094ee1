#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "scan/volumes.h"

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

// The name under which udev links the block device `device` in `folder` (by-label, by-uuid), or
// empty.
std::string NameFromUdev(const char* folder, dev_t device) {
  std::string label;
  DIR* dir = ::opendir(folder);
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

std::string LabelFromUdev(dev_t device) { return NameFromUdev("/dev/disk/by-label", device); }

// The value `tag` (LABEL, UUID) in the superblock of the block device at `path`, or empty when it
// cannot be read.
std::string TagFromDevice(const std::string& path, const char* tag) {
  std::string label;
  blkid_probe probe = blkid_new_probe_from_filename(path.c_str());
  if (!probe) return label;
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
  const char* value = nullptr;
  if (blkid_do_safeprobe(probe) == 0 &&
      blkid_probe_lookup_value(probe, tag, &value, nullptr) == 0 && value) {
    label = value;
  }
  blkid_free_probe(probe);
  return label;
}

std::string LabelFromDevice(const std::string& path) { return TagFromDevice(path, "LABEL"); }

// Network file systems have no UUID; their source (server and share) names them as well.
bool IsNetworkFileSystem(std::string_view type) {
  static constexpr std::string_view kNetwork[] = {"nfs", "nfs4", "cifs", "smb3",      "smbfs",
                                                  "9p",  "afs",  "ceph", "fuse.sshfs"};
  for (std::string_view network : kNetwork) {
    if (type == network) return true;
  }
  return false;
}

// The block device a mount shows, or 0 when its source is not one.
dev_t BlockDeviceOf(const MountEntry& mount) {
  struct stat info;
  if (!mount.source.empty() && mount.source.front() == '/' &&
      ::stat(mount.source.c_str(), &info) == 0 && S_ISBLK(info.st_mode)) {
    return info.st_rdev;
  }
  return 0;
}

std::string DecimalText(std::uint64_t value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
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
    const std::string_view device = NextWord(line, &at);
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
    const auto colon = device.find(':');
    if (colon != std::string_view::npos) {
      std::from_chars(device.data(), device.data() + colon, mount.major);
      std::from_chars(device.data() + colon + 1, device.data() + device.size(), mount.minor);
    }
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
  std::map<std::string, std::string, std::less<>> ids;      // by mount point

  // Brings the table up to date: the kernel flags the open file when the mount table changes.
  void Refresh() {
    if (fd < 0) fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    pollfd changed{fd, POLLPRI, 0};
    const bool stale = ::poll(&changed, 1, 0) > 0 && (changed.revents & (POLLPRI | POLLERR));
    if (loaded && !stale) return;
    by_point.clear();
    labels.clear();
    ids.clear();
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

  // The label of the volume `mount` shows (also through a bind mount), cached by mount point.
  std::string LabelOfMount(const MountEntry& mount) {
    const auto known = labels.find(mount.point);
    if (known != labels.end()) return known->second;
    std::string label;
    if (const dev_t device = BlockDeviceOf(mount)) {
      label = LabelFromUdev(device);
      if (label.empty()) label = LabelFromDevice(mount.source);
    }
    labels.emplace(mount.point, label);
    return label;
  }

  // The UUID of the volume `mount` shows (a network share: its source), cached by mount point.
  std::string IdOfMount(const MountEntry& mount) {
    const auto known = ids.find(mount.point);
    if (known != ids.end()) return known->second;
    std::string id;
    if (const dev_t device = BlockDeviceOf(mount)) {
      id = NameFromUdev("/dev/disk/by-uuid", device);
      if (id.empty()) id = TagFromDevice(mount.source, "UUID");
    } else if (IsNetworkFileSystem(mount.type)) {
      id = mount.source;
    }
    ids.emplace(mount.point, id);
    return id;
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
  return state_->LabelOfMount(*mount);
}

VolumeFacts SystemVolumes::FactsOf(std::string_view path) const {
  VolumeFacts facts;
  const std::string folder(path);
  struct stat info;
  char* real = ::realpath(folder.c_str(), nullptr);
  const std::string real_path = real ? real : folder;
  std::free(real);
  if (::stat(real_path.c_str(), &info) != 0) return facts;
  struct statvfs space;
  if (::statvfs(real_path.c_str(), &space) == 0) {
    facts.size = DecimalText(std::uint64_t(space.f_blocks) * space.f_frsize);
    facts.free = DecimalText(std::uint64_t(space.f_bavail) * space.f_frsize);
  }
  std::lock_guard lock(state_->mutex);
  state_->Refresh();
  // The mount of this device whose point lies above the folder, the innermost one.
  const MountEntry* mount = nullptr;
  for (const auto& [point, entry] : state_->by_point) {
    if (entry.major != ::major(info.st_dev) || entry.minor != ::minor(info.st_dev)) continue;
    const bool above =
        point == "/" || real_path == point ||
        (real_path.compare(0, point.size(), point) == 0 && real_path[point.size()] == '/');
    if (above && (!mount || point.size() > mount->point.size())) mount = &entry;
  }
  if (!mount) return facts;
  facts.file_system = mount->type;
  facts.label = state_->LabelOfMount(*mount);
  facts.id = state_->IdOfMount(*mount);
  const std::string_view below = mount->point == "/"
                                     ? std::string_view(real_path)
                                     : std::string_view(real_path).substr(mount->point.size());
  std::string inside = mount->root == "/" ? std::string() : mount->root;
  inside += below;
  facts.folder = inside.empty() ? "/" : inside;
  return facts;
}

std::vector<MountedVolume> SystemVolumes::Mounted() const {
  std::lock_guard lock(state_->mutex);
  state_->Refresh();
  std::vector<MountedVolume> mounted;
  for (const auto& [point, entry] : state_->by_point) {
    if (IsPseudoFileSystem(entry.type)) continue;
    mounted.push_back(
        {point, entry.root, state_->IdOfMount(entry), state_->LabelOfMount(entry), entry.type});
  }
  return mounted;
}

}  // namespace lumivor
