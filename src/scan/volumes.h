#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumivor {

// What the system says about the file system that holds a folder. Texts are empty when unknown.
struct VolumeFacts {
  std::string label;        // the volume label
  std::string id;           // the file system's UUID, or for a network share its source
  std::string file_system;  // the type, such as ext4, vfat or iso9660
  std::string size, free;   // bytes in all and free for the user, as decimal texts
  std::string folder;       // the folder's path within the file system ("/" for its root)
};

// A real file system mounted now.
struct MountedVolume {
  std::string point;        // where it is mounted
  std::string root;         // the folder of the file system shown there ("/" unless a bind mount)
  std::string id, label;    // as in VolumeFacts
  std::string file_system;  // its type
};

// The file systems the system knows of: which paths are the roots of "drives" and what their
// volume labels are. Tests hand in fake volumes; the program uses the system's.
class VolumeService {
 public:
  virtual ~VolumeService() = default;
  // True when `path` (with or without a trailing "/") is the mount point of a real file system.
  [[nodiscard]] virtual bool IsDriveRoot(std::string_view path) const = 0;
  // The volume label of the file system mounted at `root`; empty when it has none or cannot tell.
  [[nodiscard]] virtual std::string LabelOf(std::string_view root) const = 0;
  // The facts of the file system holding the folder `path`.
  [[nodiscard]] virtual VolumeFacts FactsOf(std::string_view path) const = 0;
  // The real file systems mounted now, from the mount table (the media themselves are not read).
  [[nodiscard]] virtual std::vector<MountedVolume> Mounted() const = 0;
};

// One line of /proc/self/mountinfo.
struct MountEntry {
  std::string point;   // where it is mounted (unescaped)
  std::string root;    // the folder of the file system shown there ("/" unless a bind mount)
  std::string type;    // file system type, such as ext4 or tmpfs
  std::string source;  // the device or other source (unescaped)
  unsigned major = 0, minor = 0;  // the device number of the file system
};

// The lines of a mountinfo text, in order (a later line for a point is mounted over an earlier
// one). Malformed lines are left out.
[[nodiscard]] std::vector<MountEntry> ParseMountInfo(std::string_view text);

// True for the file system types that are not drives: kernel interfaces (proc, sysfs, cgroup,
// devpts...) and memory-backed scratch space (tmpfs, ramfs...).
[[nodiscard]] bool IsPseudoFileSystem(std::string_view type);

// The mount points of the real file systems of this machine (read from /proc/self/mountinfo;
// pseudo file systems are not drives) and their labels (from udev's by-label links, else from
// libblkid when the device can be read). The mount table is read once and again only after the
// kernel reports a change, so asking for every catalog of a library costs no file reads.
class SystemVolumes final : public VolumeService {
 public:
  SystemVolumes();
  ~SystemVolumes() override;
  SystemVolumes(const SystemVolumes&) = delete;
  SystemVolumes& operator=(const SystemVolumes&) = delete;
  bool IsDriveRoot(std::string_view path) const override;
  std::string LabelOf(std::string_view root) const override;
  // Type and place from the mount table (matched by device number), label and UUID from udev's
  // by-label and by-uuid links, else from the superblock when the device can be read; sizes from
  // statvfs.
  VolumeFacts FactsOf(std::string_view path) const override;
  std::vector<MountedVolume> Mounted() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The volume service in use: the system's unless a test installed another.
[[nodiscard]] const VolumeService& Volumes();
// Installs `service` (nullptr: the system's again). The caller keeps it alive while installed.
void SetVolumes(const VolumeService* service);

// `path` without trailing "/" (but "/" stays "/").
[[nodiscard]] std::string_view WithoutTrailingSlash(std::string_view path);

// The name under which a catalog, folder or drive is shown: for the root of a drive its volume
// label, or, without label, the last component of the path ("/" for the root file system);
// otherwise the text after the last "/", cut before its first ".". So /lib/Music.2009.xml gives
// Music and /data/Photos gives Photos.
[[nodiscard]] std::string DisplayNameOf(std::string_view path);

// The label of the volume mounted at `root`; empty when there is none.
[[nodiscard]] std::string VolumeLabelOf(std::string_view root);

// Where the volume `facts` describe (found by id, else by label) is mounted now, and where the
// folder `facts.folder` is on it: the folder's path, or empty when no such volume is mounted (or
// the facts name neither id nor label). Reads only the mount table.
[[nodiscard]] std::string MountedFolderOf(const VolumeFacts& facts);

}  // namespace lumivor
