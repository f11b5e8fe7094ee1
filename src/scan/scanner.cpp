#include "scan/scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "catalog/fields.h"
#include "catalog/xml_document.h"
#include "core/atomic_file.h"
#include "core/errors.h"
#include "scan/catalog_medium.h"
#include "scan/file_heads.h"
#include "scan/folder_walk.h"
#include "scan/local_time_converter.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool PassesExtFilter(std::string_view name, std::string_view ExtFilter) {
  return ExtensionFilter(ExtFilter).Passes(name);
}

ExtensionFilter::ExtensionFilter(std::string_view filter) : takes_all_(filter.empty()) {
  // The entries stand between backslashes: \.TXT\.DOC\ holds ".TXT" and ".DOC".
  for (std::size_t at = filter.find('\\'); at != std::string_view::npos;) {
    const std::size_t next = filter.find('\\', at + 1);
    if (next == std::string_view::npos) break;
    const std::string_view entry = filter.substr(at + 1, next - at - 1);
    if (!entry.empty()) {
      extensions_.emplace(entry);
      longest_ = std::max(longest_, entry.size());
    }
    at = next;
  }
}

bool ExtensionFilter::Passes(std::string_view name) const {
  if (takes_all_) return true;
  // A name ending in "." has no extension either (ExtensionOf gives the empty text).
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return false;
  const std::string_view ext = name.substr(dot);
  if (ext.size() > longest_ || ext.find('\\') != std::string_view::npos) return false;
  // Upper-cased on the stack: no entry is longer than `longest_`, so neither is a match.
  char upper[256];
  if (ext.size() > sizeof upper) return false;
  for (std::size_t i = 0; i < ext.size(); ++i) upper[i] = UpperAscii(ext[i]);
  return extensions_.find(std::string_view(upper, ext.size())) != extensions_.end();
}

std::string NormalizeExtension(std::string_view typed) {
  std::string_view text = TrimBlanks(typed);
  if (!text.empty() && text.front() == '*') text.remove_prefix(1);
  if (!text.empty() && text.front() == '.') text.remove_prefix(1);
  // What is left is compared with the text after a name's last dot, so it cannot hold another
  // dot; wildcards, path separators and the filter's delimiter cannot stand in it either.
  if (text.empty() || text.find_first_of("./\\*?") != std::string_view::npos) return {};
  std::string extension(text);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

std::string ExtensionRefusal(std::string_view typed) {
  if (!NormalizeExtension(typed).empty()) return {};
  std::string_view text = TrimBlanks(typed);
  if (!text.empty() && text.front() == '*') text.remove_prefix(1);
  if (!text.empty() && text.front() == '.') text.remove_prefix(1);
  const std::size_t dot = text.find('.');
  if (dot != std::string_view::npos && dot > 0 && text.back() != '.' &&
      text.find_first_of("/\\*?") == std::string_view::npos) {
    // "tar.gz": a name is matched by what follows its last dot, so "a.tar.gz" has "gz".
    const std::string entry(text);
    const std::string last(text.substr(text.rfind('.') + 1));
    return "\"" + entry + "\" can never match: the extension of a name is the text after its " +
           "last dot (the extension of \"a." + entry + "\" is \"" + last + "\"). Type \"" + last +
           "\" instead.";
  }
  return std::string(kInvalidExtension);
}

ExtensionList ParseExtensionList(std::string_view typed) {
  ExtensionList list;
  std::size_t start = 0;
  while (start <= typed.size()) {
    std::size_t comma = typed.find(',', start);
    if (comma == std::string_view::npos) comma = typed.size();
    const std::string_view entry = typed.substr(start, comma - start);
    start = comma + 1;
    if (TrimBlanks(entry).empty()) continue;
    std::string extension = NormalizeExtension(entry);
    if (extension.empty()) {
      return {{}, ExtensionRefusal(entry)};
    }
    if (std::find(list.extensions.begin(), list.extensions.end(), extension) ==
        list.extensions.end()) {
      list.extensions.push_back(std::move(extension));
    }
  }
  return list;
}

std::string ExtFilterOf(const std::vector<std::string>& entries) {
  std::string filter;
  for (const std::string& entry : entries) {
    const std::string extension = NormalizeExtension(entry);
    if (extension.empty()) continue;
    const std::string piece = "." + extension + "\\";
    std::string upper;
    for (char c : piece) upper += UpperAscii(c);
    if (filter.find("\\" + upper) != std::string::npos) continue;  // listed already
    if (filter.empty()) filter.push_back('\\');
    filter += upper;
  }
  return filter;
}

namespace {

// Entries are read in blocks of this many bytes (a few hundred entries per system call).
constexpr std::size_t kDirentBufferSize = 64 * 1024;
// Folders held open along the current path; deeper ones are closed and reopened through ".."
// on the way back, so that any depth works within the process's file limit.
constexpr std::size_t kHeldFolders = 96;

// The layout of a record returned by getdents64 (linux_dirent64).
constexpr std::size_t kDirentReclenOffset = 16;
constexpr std::size_t kDirentTypeOffset = 18;
constexpr std::size_t kDirentNameOffset = 19;

// Closes a file at the end of a scope.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// An entry of a folder's listing, before it is recorded.
constexpr std::size_t kNoHead = static_cast<std::size_t>(-1);
struct Listed {
  const char* name;
  unsigned char type;
  std::size_t head;  // its index in the batch of FileHeads, or kNoHead
};

// A folder entered and not yet left: its subfolders still to enter.
struct Subfolder {
  CatalogTree::Node* node;
  std::size_t name_offset;  // into Frame::names
  ino_t inode;
};

struct Frame {
  int fd = -1;  // -1 once closed to save descriptors (reopened from a child when needed)
  dev_t device = 0;
  std::uint64_t mount_id = 0;  // statx's mount ID, where the kernel gives one
  ino_t inode = 0;
  CatalogTree::Node* node = nullptr;
  std::size_t path_length = 0;  // bytes of the folder's FullPath
  std::size_t path_points = 0;  // its code points
  std::string names;            // raw names of the subfolders, each ended by '\0'
  std::vector<Subfolder> subfolders;
  std::size_t next = 0;
};

// The walk of one scan: a depth-first walk with an explicit stack of folders, which reads each
// folder to the end (recording its entries) before it enters any of its subfolders. The stack's
// frames, the entry buffer and the path text keep their storage from folder to folder, so the
// walk allocates nothing per entry but the record itself.
class Walker {
 public:
  Walker(CatalogTree& tree, const ScanSettings& settings)
      : tree_(tree),
        settings_(settings),
        filter_(settings.ExtFilter),
        filtering_(!settings.OnlyFolders && !filter_.TakesAll()),
        buffer_(new char[kDirentBufferSize]) {}

  ~Walker() {
    for (std::size_t i = 0; i < depth_; ++i) {
      if (frames_[i].fd >= 0) ::close(frames_[i].fd);
    }
  }

  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  // Walks the folder open at `fd` (taken over) whose record is `node`.
  ScanReport Run(int fd, const struct stat& info, CatalogTree::Node* node) {
    path_.assign(node->Field(kFullPath));
    Frame& top = Push();
    top.fd = fd;
    top.device = info.st_dev;
    top.inode = info.st_ino;
    // Bind mounts show the same device as their parent: the mount ID tells them apart, or, on
    // kernels without one, the mount table.
    struct statx mount_info;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &mount_info) == 0 &&
        (mount_info.stx_mask & STATX_MNT_ID) != 0) {
      have_mount_ids_ = true;
      top.mount_id = mount_info.stx_mnt_id;
    } else {
      LoadMountPoints();
    }
    top.node = node;
    top.path_length = path_.size();
    top.path_points = CodePointCount(path_);
    ReadFolder(top);
    while (depth_ > 0 && !report_.cancelled) {
      Frame& frame = frames_[depth_ - 1];
      if (frame.next == frame.subfolders.size() || frame.fd < 0) {
        Leave();
        continue;
      }
      const Subfolder sub = frame.subfolders[frame.next++];
      if (CheckCancelled()) break;
      const int child_fd = ::openat(frame.fd, frame.names.data() + sub.name_offset,
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child_fd < 0) {
        // Unreadable: recorded without entries, with the reason. A folder removed since it was
        // listed is simply gone, not unreadable.
        if (errno != ENOENT) {
          ++report_.unreadable_folders;
          sub.node->SetExtra(kReadErrorAttribute, SystemMessage(errno));
        }
        continue;
      }
      Enter(child_fd, sub);
    }
    return report_;
  }

 private:
  Frame& Push() {
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& frame = frames_[depth_++];
    frame.fd = -1;
    frame.names.clear();
    frame.subfolders.clear();
    frame.next = 0;
    return frame;
  }

  void Enter(int fd, const Subfolder& sub) {
    const std::size_t parent_index = depth_ - 1;
    Frame& child = Push();  // may move the frames: the parent is looked up again below
    const Frame& parent = frames_[parent_index];
    child.fd = fd;
    child.device = parent.device;
    child.mount_id = parent.mount_id;
    child.inode = sub.inode;
    child.node = sub.node;
    const std::string_view name = sub.node->Name();
    const std::size_t points = PathToEntry(parent, name);
    child.path_length = path_.size();
    child.path_points = points + CodePointCount(name);
    if (depth_ > kHeldFolders) {
      Frame& far = frames_[depth_ - 1 - kHeldFolders];
      if (far.fd >= 0) {
        ::close(far.fd);
        far.fd = -1;
      }
    }
    ReadFolder(child);
  }

  // Closes the innermost folder; reopens its parent through ".." if that had been closed (its
  // own parent may need it in turn).
  void Leave() {
    Frame& frame = frames_[depth_ - 1];
    if (depth_ >= 2 && frame.fd >= 0) {
      Frame& parent = frames_[depth_ - 2];
      if (parent.fd < 0) {
        const int fd = ::openat(frame.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat info;
        if (fd >= 0 && ::fstat(fd, &info) == 0 && info.st_dev == parent.device &&
            info.st_ino == parent.inode) {
          parent.fd = fd;
        } else if (fd >= 0) {
          ::close(fd);  // moved away meanwhile: its other subfolders are not entered
        }
      }
    }
    if (frame.fd >= 0) ::close(frame.fd);
    frame.fd = -1;
    --depth_;
  }

  void ReadFolder(Frame& frame) {
    if (settings_.listener) {
      settings_.listener->FolderEntered(tree_.Size(),
                                        std::string_view(path_).substr(0, frame.path_length));
    }
    char* buffer = buffer_.get();
    while (!CheckCancelled()) {
      const long bytes = ::syscall(SYS_getdents64, frame.fd, buffer, kDirentBufferSize);
      if (bytes < 0) {
        // An error: what was read stays, and the record says why the rest is missing.
        ++report_.unreadable_folders;
        frame.node->SetExtra(kReadErrorAttribute, SystemMessage(errno));
      }
      if (bytes <= 0) break;
      listed_.clear();
      for (long at = 0; at < bytes;) {
        unsigned short length;
        std::memcpy(&length, buffer + at + kDirentReclenOffset, sizeof length);
        const unsigned char type = static_cast<unsigned char>(buffer[at + kDirentTypeOffset]);
        const char* name = buffer + at + kDirentNameOffset;
        at += length;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (settings_.deep) {
          listed_.push_back({name, type, kNoHead});
        } else {
          RecordEntry(frame, name, type, nullptr);
        }
      }
      if (settings_.deep) RecordListed(frame);
    }
  }

  // True when the deep scan may take the tags of the listed entry from its first bytes, read in
  // a batch with those of its neighbours.
  bool ReadsHead(const Listed& entry) const {
    return settings_.deep && entry.type == DT_REG && !settings_.OnlyFolders &&
           settings_.deep->ReadsHead(entry.name) && (!filtering_ || filter_.Passes(entry.name));
  }

  // Records the entries of `listed_` in their order. For a deep scan the facts and first bytes
  // of the files whose tags may lie there are read first, a batch at a time (FileHeads).
  void RecordListed(Frame& frame) {
    FileHeads* heads = nullptr;
    if (settings_.deep && std::any_of(listed_.begin(), listed_.end(),
                                      [&](const Listed& entry) { return ReadsHead(entry); })) {
      heads = Heads();
      if (heads && !heads->Ready()) heads = nullptr;  // refused by the kernel since
    }
    for (std::size_t next = 0; next < listed_.size();) {
      std::size_t end = listed_.size();
      if (heads) {
        heads->Clear();
        for (end = next; end < listed_.size(); ++end) {
          Listed& entry = listed_[end];
          entry.head = kNoHead;
          if (!ReadsHead(entry)) continue;
          if (!heads->Add(frame.fd, entry.name, settings_.deep->NoAtime())) break;
          entry.head = heads->Count() - 1;
        }
        heads->Run();
      }
      for (; next < end; ++next) {
        const Listed& entry = listed_[next];
        const FileHeads::Head* head = nullptr;
        if (entry.head != kNoHead) {
          head = &heads->Result(entry.head);
          if (head->no_atime_refused) settings_.deep->NoAtimeRefused();
          if (!head->read) head = nullptr;
        }
        RecordEntry(frame, entry.name, entry.type, head);
      }
    }
  }

  // The batch reader of the deep scan, made when first needed; null when the system has none.
  FileHeads* Heads() {
    if (!heads_tried_) {
      heads_tried_ = true;
      heads_ = std::make_unique<FileHeads>();
      if (!heads_->Ready()) heads_.reset();
    }
    return heads_.get();
  }

  // `head`: the facts and first bytes of the entry read beforehand, or null.
  void RecordEntry(Frame& frame, const char* raw_name, unsigned char type,
                   const FileHeads::Head* head) {
    const std::string_view name(raw_name);
    const bool known_other = type != DT_UNKNOWN && type != DT_DIR;
    // The listing's type saves a stat for entries the scope leaves out.
    if (known_other && settings_.OnlyFolders) return;
    if (known_other && filtering_ && !filter_.Passes(name)) return;

    struct stat info;
    int open_fd = -1;
    const bool stated = StatEntry(frame, raw_name, type, head, &info, &open_fd);
    const FdCloser closer{open_fd};
    if (!stated && errno == ENOENT) return;  // gone since it was listed
    const bool directory = stated ? S_ISDIR(info.st_mode) : type == DT_DIR;
    if (!directory && settings_.OnlyFolders) return;
    if (!directory && filtering_ && type == DT_UNKNOWN && !filter_.Passes(name)) {
      return;
    }

    std::string_view clean_name = name;
    if (SanitizeText(name, &clean_)) clean_name = clean_;
    const std::size_t name_points = CodePointCount(clean_name);
    const std::size_t path_points = PathToEntry(frame, clean_name) + name_points;
    NumberTexts texts;
    FieldViews fields{};
    fields[kFileName] = clean_name;
    fields[kFullPath] = path_;
    fields[kFileSize] = SizeOf(stated, directory, info, texts.size);
    if (stated) fields[kFileTime] = times_.Format(info.st_mtim.tv_sec, texts.time);
    fields[kFileExt] = directory ? std::string_view() : ExtensionOf(clean_name);
    fields[kFileType] = directory ? kDirectoryType : kFileTypeText;
    fields[kFileNameLength] = ToText(name_points, texts.name_length);
    fields[kPathNameLength] = ToText(path_points, texts.path_length);
    fields[kCatalogName] = settings_.CatalogName;
    const bool deep = settings_.deep && stated && S_ISREG(info.st_mode) && !directory &&
                      settings_.deep->Wants(name);
    extras_.clear();
    if (deep) {
      ReadDeep(frame, raw_name, info, head, open_fd);
      extras_ = settings_.deep->Extras();
    }
    if (stated) AddLinkId(info, texts.link_id);
    // Straight into the tree's arena: a record built first would clean every text twice.
    CatalogTree::Node* node = tree_.AddChild(frame.node, fields, extras_);
    if (deep) {
      settings_.deep->AddEntries(tree_, node, times_);  // one time zone cache for the scan
      if (settings_.deep->Cancelled()) report_.cancelled = true;
    }

    // A folder on another device, or a bind mount, is a mount point: recorded, not entered.
    if (directory && stated && info.st_dev == frame.device && !IsMountPoint(frame, raw_name)) {
      frame.subfolders.push_back({node, frame.names.size(), info.st_ino});
      frame.names.append(raw_name, name.size() + 1);
    }
  }

  // The texts of an entry's numbers, which its fields view.
  struct NumberTexts {
    char size[24], name_length[24], path_length[24], time[40], link_id[48];
  };

  // The facts of the entry `raw_name` of `frame` into `info`: those read beforehand with `head`,
  // else those of the file itself when the deep scan reads it (opened first, and left open in
  // `*open_fd`: one look-up of its name instead of two); anything else is looked at without
  // opening it. False, with errno, when they cannot be had.
  bool StatEntry(const Frame& frame, const char* raw_name, unsigned char type,
                 const FileHeads::Head* head, struct stat* info, int* open_fd) {
    if (head) {
      *info = head->info;
      return true;
    }
    if (settings_.deep && type == DT_REG && settings_.deep->Wants(raw_name)) {
      *open_fd = settings_.deep->Open(frame.fd, raw_name);
      if (*open_fd >= 0 && ::fstat(*open_fd, info) != 0) {
        ::close(*open_fd);
        *open_fd = -1;
      }
    }
    return *open_fd >= 0 || ::fstatat(frame.fd, raw_name, info, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // Makes `path_` the FullPath of the entry `clean_name` of `frame`; returns the code points of
  // the path before the name.
  std::size_t PathToEntry(const Frame& frame, std::string_view clean_name) {
    path_.resize(frame.path_length);
    std::size_t path_points = frame.path_points;
    if (path_.empty() || path_.back() != '/') {
      path_ += '/';
      ++path_points;
    }
    path_ += clean_name;
    return path_points;
  }

  // The FileSize of an entry: its size for a file or a link, else "0".
  static std::string_view SizeOf(bool stated, bool directory, const struct stat& info,
                                 char (&text)[24]) {
    if (stated && !directory && (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))) {
      return ToText(static_cast<std::uint64_t>(info.st_size), text);
    }
    return "0";
  }

  // Has the deep scan read the regular file `raw_name` of `frame`: from the first bytes `head`
  // read beforehand, from the file opened at `open_fd`, or by its name.
  void ReadDeep(const Frame& frame, const char* raw_name, const struct stat& info,
                const FileHeads::Head* head, int open_fd) {
    if (head) {
      settings_.deep->Read(frame.fd, info, raw_name, head->bytes);
    } else if (open_fd >= 0) {
      settings_.deep->Read(open_fd, info, raw_name);
    } else {
      settings_.deep->Read(frame.fd, raw_name);  // a listing without types
    }
  }

  // A file with further hard links carries its device and inode in `extras_` (`text` holds
  // them), so that the copies it seems to have on this medium are known to be one file.
  void AddLinkId(const struct stat& info, char (&text)[48]) {
    if (!S_ISREG(info.st_mode) || info.st_nlink <= 1) return;
    const int length =
        std::snprintf(text, sizeof text, "%llu:%llu", static_cast<unsigned long long>(info.st_dev),
                      static_cast<unsigned long long>(info.st_ino));
    extras_.push_back({kLinkIdAttribute, std::string_view(text, static_cast<std::size_t>(length))});
  }

  // True when the folder `raw_name` in `frame` has another file system, or another view of the
  // same one, mounted on it. `path_` holds its FullPath.
  bool IsMountPoint(const Frame& frame, const char* raw_name) {
    if (have_mount_ids_) {
      struct statx info;
      return ::statx(frame.fd, raw_name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID,
                     &info) == 0 &&
             (info.stx_mask & STATX_MNT_ID) != 0 && info.stx_mnt_id != frame.mount_id;
    }
    if (mount_points_.empty()) return false;
    std::string real = real_root_;
    const std::string_view below = std::string_view(path_).substr(frames_[0].path_length);
    if (below.empty() || below.front() != '/') real += '/';
    real += below;
    return std::binary_search(mount_points_.begin(), mount_points_.end(), real);
  }

  // The mount points strictly inside the scanned folder, by their real paths, sorted.
  void LoadMountPoints() {
    char* real = ::realpath(path_.c_str(), nullptr);
    if (real == nullptr) return;
    real_root_ = real;
    std::free(real);
    if (real_root_ == "/") real_root_.clear();
    try {
      for (const MountEntry& mount : ParseMountInfo(ReadWholeFile("/proc/self/mountinfo"))) {
        if (mount.point.size() > real_root_.size() + 1 &&
            mount.point.compare(0, real_root_.size(), real_root_) == 0 &&
            mount.point[real_root_.size()] == '/') {
          mount_points_.push_back(mount.point);
        }
      }
    } catch (const LumivorError&) {
      // No mount table: only other devices are told apart.
    }
    std::sort(mount_points_.begin(), mount_points_.end());
  }

  // True once a stop was requested.
  bool CheckCancelled() {
    if (!report_.cancelled && settings_.stop.stop_requested()) {
      report_.cancelled = true;
    }
    return report_.cancelled;
  }

  static std::string_view ToText(std::uint64_t value, char (&buffer)[24]) {
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return {buffer, static_cast<std::size_t>(result.ptr - buffer)};
  }

  CatalogTree& tree_;
  const ScanSettings& settings_;
  const ExtensionFilter filter_;
  const bool filtering_;
  std::unique_ptr<char[]> buffer_;
  std::vector<Frame> frames_;
  std::size_t depth_ = 0;
  std::string path_;   // FullPath of the folder being read, then of its entry being recorded
  std::string clean_;  // scratch for names that need cleaning
  ExtraViews extras_;  // scratch for the further attributes of the entry being recorded
  // The entries of the block of the listing being recorded (names point into buffer_).
  std::vector<Listed> listed_;
  std::unique_ptr<FileHeads> heads_;
  bool heads_tried_ = false;
  bool have_mount_ids_ = false;
  std::string real_root_;                  // the scanned folder's real path ("" for "/")
  std::vector<std::string> mount_points_;  // without mount IDs: those below the real root
  LocalTimeConverter times_;
  ScanReport report_;
};

// A SizePercentage that holds room for any percentage: a whole number whose packed form takes
// three bytes, where a percentage in hundredths (at most 10000) takes two. The scan gives it to
// every record below the top, so that ComputeSizePercentages writes each percentage into its
// record in place rather than packing every record anew.
constexpr std::string_view kPercentageRoom = "100000";

// Hands records on to a tree with kPercentageRoom as their SizePercentage.
class PercentageRoomSink final : public RecordSink {
 public:
  explicit PercentageRoomSink(RecordSink& sink) : sink_(sink) {}
  bool Add(const RecordView& record) override {
    view_.depth = record.depth;
    view_.fields = record.fields;
    if (view_.fields[kSizePercentage].empty()) view_.fields[kSizePercentage] = kPercentageRoom;
    view_.extras.assign(record.extras.begin(), record.extras.end());
    return sink_.Add(view_);
  }
  void Finish() override { sink_.Finish(); }
  void Restart() override { sink_.Restart(); }

 private:
  RecordSink& sink_;
  RecordView view_;
};

// The value of a FileSize text; plain digits (all that scans write) are read without strtod.
// Catalogs of more records than this are written by several threads.
constexpr std::size_t kParallelSaveRecords = 50000;

double SizeValue(std::string_view text) {
  if (!text.empty() && text.size() <= 18) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      value = value * 10 + (text[i++] - '0');
    if (i == text.size()) return static_cast<double>(value);
  }
  return NumberTextValue(text);
}

// The FileSize of `node` as SizeValue reads its text, without making the text where the node
// holds the number.
double NodeSize(const CatalogTree::Node* node) {
  std::uint64_t size = 0;
  return node->SizeNumber(&size) ? static_cast<double>(size) : SizeValue(node->Field(kFileSize));
}

}  // namespace

ScanReport ScanDirectory(CatalogTree& tree, std::string_view dir, CatalogTree::Node* parent,
                         const ScanSettings& settings) {
  ScanReport unreadable;
  unreadable.unreadable_folders = 1;
  const std::string path(dir);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    unreadable.top_read_error = SystemMessage(errno);
    if (fd >= 0) ::close(fd);
    return unreadable;
  }
  Walker walker(tree, settings);
  return walker.Run(fd, info, parent);
}

bool PruneEmptyDirectories(CatalogTree& tree, CatalogTree::Node* node) {
  if (!node) return false;
  struct Frame {
    CatalogTree::Node* node;
    std::size_t remaining;  // children still to look at, walked from the last to the first
    bool holds_file;
  };
  std::vector<Frame> stack{{node, node->children.size(), false}};
  bool result = false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.remaining == 0) {
      result = frame.holds_file;
      CatalogTree::Node* done = frame.node;
      stack.pop_back();
      if (!result) tree.Remove(done);
      if (!stack.empty()) stack.back().holds_file |= result;
      continue;
    }
    CatalogTree::Node* child = frame.node->children[--frame.remaining];
    if (!child->IsDirectory()) {
      frame.holds_file = true;
    } else {
      stack.push_back({child, child->children.size(), false});
    }
  }
  return result;
}

double SumDirectorySizes(CatalogTree::Node* node) {
  if (!node) return 0;
  struct Frame {
    CatalogTree::Node* node;
    std::size_t next;
    double total;
  };
  std::vector<Frame> stack{{node, 0, 0.0}};
  for (;;) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->children.size()) {
      const double total = frame.total;
      CatalogTree::Node* done = frame.node;
      stack.pop_back();
      if (stack.empty()) return total;
      done->SetField(kFileSize, FormatWholeNumber(total));
      stack.back().total += total;
      continue;
    }
    CatalogTree::Node* child = frame.node->children[frame.next++];
    if (child->IsDirectory()) {
      stack.push_back({child, 0, 0.0});
    } else {
      frame.total += NodeSize(child);
    }
  }
}

void ComputeSizePercentages(CatalogTree& tree) {
  CatalogTree::Node* top = tree.Top();
  if (!top) return;
  top->SetField(kSizePercentage, "100");
  const double total = SizeValue(top->Field(kFileSize));
  char text[64];
  std::vector<std::pair<CatalogTree::Node*, std::size_t>> stack{{tree.Root(), 0}};
  while (!stack.empty()) {
    auto& [parent, next] = stack.back();
    if (next == parent->children.size()) {
      stack.pop_back();
      continue;
    }
    CatalogTree::Node* node = parent->children[next++];
    if (node != top) {
      const std::string_view percentage =
          total != 0 ? FormatPercentage(NodeSize(node) / total * 100.0, text)
                     : std::string_view("0");
      if (!node->OverwriteNumber(kSizePercentage, percentage)) {
        node->SetField(kSizePercentage, percentage);
      }
    }
    if (!node->children.empty()) stack.push_back({node, 0});
  }
}

std::string UnreadableFoldersText(std::size_t count) {
  if (count == 1) return "1 folder could not be read; it is catalogued without its contents.";
  return std::to_string(count) +
         " folders could not be read; they are catalogued without their contents.";
}

namespace {

// The top record's name: the volume's label and the mount point for a drive, else the path.
std::string RootNameOf(std::string_view path) {
  if (Volumes().IsDriveRoot(path)) {
    const std::string label = VolumeLabelOf(path);
    if (!label.empty()) return label + "(" + std::string(path) + ")";
  }
  return std::string(path);
}

// The walk's settings for a scan into the catalog `catalog_file`.
ScanSettings SettingsOf(bool OnlyFolders, std::string_view ExtFilter, std::string_view catalog_file,
                        ScanListener* listener, const std::stop_token& stop) {
  ScanSettings settings;
  settings.OnlyFolders = OnlyFolders;
  settings.ExtFilter = OnlyFolders ? std::string() : std::string(ExtFilter);
  settings.CatalogName = DisplayNameOf(catalog_file);
  settings.listener = listener;
  settings.stop = stop;
  return settings;
}

}  // namespace

std::string ScanFolder(CatalogTree* tree, std::string_view path, bool OnlyFolders,
                       std::string_view ExtFilter, std::string_view catalog_file,
                       Progress& progress, ScanListener* listener, ScanReport* report,
                       const DeepScanOptions& deep, std::stop_token stop) {
  tree->Clear();
  ScanReport walked;
  ProgressShown shown(progress, true);
  progress.SetWaitText(kLoadingInfo);
  std::string root_name(path);
  try {
    root_name = RootNameOf(path);
    ScanSettings settings = SettingsOf(OnlyFolders, ExtFilter, catalog_file, listener, stop);
    DeepScanner deep_scanner(deep, stop);
    if (deep.Any()) settings.deep = &deep_scanner;

    RecordView top_record;
    top_record.fields[kFileName] = root_name;
    top_record.fields[kFullPath] = root_name;
    top_record.fields[kFileType] = kDirectoryType;
    top_record.fields[kCatalogName] = settings.CatalogName;
    TreeSink sink(tree);
    sink.Add(top_record);
    CatalogTree::Node* top = tree->Top();
    root_name = top->Field(kFileName);  // as stored, should the path need cleaning

    if (settings.deep) {
      // The deep scan reads files as their folder is listed, into the tree.
      walked = ScanDirectory(*tree, path, top, settings);
    } else {
      PercentageRoomSink with_room(sink);
      RecordSink& records = OnlyFolders ? static_cast<RecordSink&>(sink) : with_room;
      walked = WalkFolder(path, root_name, 0, settings, records);
    }
    if (!walked.top_read_error.empty()) top->SetExtra(kReadErrorAttribute, walked.top_read_error);
    if (walked.cancelled) {
      tree->Clear();
    } else if (!settings.ExtFilter.empty()) {
      // The scanned folder itself always stays, even when no file passes the filter, so that the
      // catalog shows what was scanned; only the folders below it that hold no file go.
      for (std::size_t i = top->children.size(); i-- > 0;) {
        CatalogTree::Node* child = top->children[i];
        if (child->IsDirectory()) PruneEmptyDirectories(*tree, child);
      }
    }
    if (!OnlyFolders && !walked.cancelled) {
      top->SetField(kFileSize, FormatWholeNumber(SumDirectorySizes(top)));
      ComputeSizePercentages(*tree);
    }
    if (!walked.cancelled) {
      CatalogRecord facts = top->Record();
      RecordScanFacts(&facts, path, ScanDateNow(), OnlyFolders, settings.ExtFilter, deep);
      top->SetRecord(facts);
    }
    walked.deep = deep_scanner.Counts();
  } catch (const std::bad_alloc&) {
    // What was found is no catalog: it must not pass for a complete one.
    tree->Clear();
    throw LumivorError("The scan ran out of memory and could not finish.");
  } catch (...) {
    tree->Clear();
    throw;
  }
  if (report) *report = walked;
  return root_name;
}

std::string ScanFolderToCatalog(std::string_view path, bool OnlyFolders, std::string_view ExtFilter,
                                const std::string& catalog_file, Progress& progress,
                                ScanListener* listener, ScanReport* report, std::stop_token stop) {
  ProgressShown shown(progress, true);
  progress.SetWaitText(kLoadingInfo);
  std::string root_name = RootNameOf(path);
  const ScanSettings settings = SettingsOf(OnlyFolders, ExtFilter, catalog_file, listener, stop);

  // The top record as a tree would hold it: its texts cleaned.
  FieldViews top_fields{};
  top_fields[kFileName] = root_name;
  top_fields[kFullPath] = root_name;
  top_fields[kFileType] = kDirectoryType;
  top_fields[kCatalogName] = settings.CatalogName;
  CatalogRecord top(top_fields);
  root_name = top.Field(kFileName);

  ScanReport walked;
  try {
    FolderListing listing(settings);
    walked = listing.List(path, root_name);
    if (report) *report = walked;
    if (walked.cancelled) return root_name;
    if (!walked.top_read_error.empty()) top.SetExtra(kReadErrorAttribute, walked.top_read_error);
    if (!OnlyFolders) {
      top.SetField(kFileSize, FormatWholeNumber(listing.TotalSize()));
      top.SetField(kSizePercentage, "100");
    }
    RecordScanFacts(&top, path, ScanDateNow(), OnlyFolders, settings.ExtFilter, {});

    progress.SetWaitText(kSavingInfo);
    AtomicFile file(catalog_file);
    // Large catalogs are written by a thread per core, as SaveCatalog writes a large tree.
    const std::size_t threads = listing.Records() < kParallelSaveRecords
                                    ? 1
                                    : std::min<std::size_t>(DefaultWalkThreads(), 8);
    const bool complete = WriteCatalogParts(
        listing.PartCount() + 1, threads,
        [&](std::size_t index, CatalogWriter& writer) {
          if (index > 0) {
            listing.WritePart(index - 1, writer);
            return;
          }
          RecordView view;
          view.fields = top.Fields();
          view.extras = top.Extras();
          writer.Add(view);
        },
        [&](std::string_view text) { file.Write(text); }, stop);
    // A stopped write drops the temporary file with `file`; the old catalog stays.
    if (!complete || stop.stop_requested()) {
      if (report) report->cancelled = true;
      return root_name;
    }
    file.Commit();
  } catch (const std::bad_alloc&) {
    throw LumivorError("The scan ran out of memory and could not finish.");
  }
  return root_name;
}

}  // namespace lumivor
