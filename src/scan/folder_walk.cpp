#include "scan/folder_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalog/catalog_writer.h"
#include "catalog/fields.h"
#include "catalog/xml_document.h"
#include "core/errors.h"
#include "scan/local_time_converter.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

// Entries are read in blocks of this many bytes (a few hundred entries per system call).
constexpr std::size_t kDirentBufferSize = 64 * 1024;
// The layout of a record returned by getdents64 (linux_dirent64).
constexpr std::size_t kDirentReclenOffset = 16;
constexpr std::size_t kDirentTypeOffset = 18;
constexpr std::size_t kDirentNameOffset = 19;
// Paths below the walked folder up to this length are opened with one call; longer ones a
// folder at a time.
constexpr std::size_t kLongestOpenedPath = 3000;
// Entries listed ahead of those handed on, above which the listing threads wait: the listings
// waiting for their turn stay a small part of what the sink keeps.
constexpr std::size_t kMostListedAhead = 1 << 17;
// Subfolders opened while their parent is listed and waiting to be listed, at most: each takes a
// descriptor, and those beyond are opened by their path when their turn comes.
constexpr std::size_t kMostHeldFolders = 256;
// Records handed on between two polls of Cancel within a folder.
constexpr std::size_t kPollRecords = 4096;

enum FolderState : int { kPending, kTaken, kDone };

struct Folder;

// One entry of a folder's listing, with the facts its record needs.
struct Entry {
  std::uint32_t name = 0;       // offset of the raw name in Folder::names, '\0'-terminated
  std::uint32_t name_size = 0;  // bytes
  bool directory = false;
  bool stated = false;     // its facts were read (else only the listing's type is known)
  bool regular = false;    // a regular file
  std::uint64_t size = 0;  // of a regular file or a symbolic link
  std::int64_t mtime = 0;  // seconds
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t links = 0;
  bool enter = false;        // a folder on the same file system: walked into
  Folder* folder = nullptr;  // its task, once the listing is complete
};

// A folder of the walk: where it is, and once listed, its entries.
struct Folder {
  ~Folder() {
    if (fd >= 0) ::close(fd);
  }
  std::string relative;  // raw path below the walked folder ("." for the folder itself)
  std::uint64_t inode = 0;
  // The folder opened while its parent was listed, which spares the walk of its path; -1 when
  // it is to be opened by its path.
  int fd = -1;
  std::atomic<int> state{kPending};
  bool failed = false;  // its listing raised (the walk's failure says what)
  std::string names;
  std::vector<Entry> entries;
  std::string error;  // why it could not be opened or read to its end
  // Of a listing kept whole (FolderListing): the sum of the sizes of the files below, the
  // records below that are written, and whether a file lies anywhere below.
  double total = 0;
  std::size_t records = 0;
  bool holds_file = false;
};

// Makes the records of listed entries, as the walk hands them on: the fields are views into its
// own buffers, the FullPath being made and the listing. One per thread.
class RecordMaker {
 public:
  explicit RecordMaker(std::string_view catalog_name) : catalog_name_(catalog_name) {
    record_.extras.reserve(2);
  }

  // The record of `entry` of `folder` at `depth`, whose parent's FullPath is the first
  // `parent_length` bytes of `path` with `parent_points` code points: `path` then holds the
  // entry's FullPath, and `*points` its code points. A subfolder's listing must be complete: its
  // record carries why it could not be read.
  RecordView& Make(const Folder& folder, const Entry& entry, int depth, std::string& path,
                   std::size_t parent_length, std::size_t parent_points, std::size_t* points) {
    const std::string_view name(folder.names.data() + entry.name, entry.name_size);
    std::string_view clean_name = name;
    if (SanitizeText(name, &clean_)) clean_name = clean_;
    path.resize(parent_length);
    std::size_t path_points = parent_points;
    if (path.empty() || path.back() != '/') {
      path += '/';
      ++path_points;
    }
    path += clean_name;
    const std::size_t name_points = CodePointCount(clean_name);
    path_points += name_points;
    *points = path_points;

    record_.depth = depth;
    FieldViews& fields = record_.fields;
    fields = FieldViews{};
    fields[kFileName] = clean_name;
    fields[kFullPath] = path;
    fields[kFileSize] = entry.size == 0 ? std::string_view("0") : ToText(entry.size, size_text_);
    if (entry.stated) fields[kFileTime] = times_.Format(entry.mtime, time_text_);
    fields[kFileExt] = entry.directory ? std::string_view() : ExtensionOf(clean_name);
    fields[kFileType] = entry.directory ? kDirectoryType : kFileTypeText;
    fields[kFileNameLength] = ToText(name_points, name_length_text_);
    fields[kPathNameLength] = ToText(path_points, path_length_text_);
    fields[kCatalogName] = catalog_name_;
    record_.extras.clear();
    // A file with further hard links carries its device and inode, so that the copies it seems
    // to have on this medium are known to be one file.
    if (entry.regular && entry.links > 1) {
      const int length = std::snprintf(link_text_, sizeof link_text_, "%llu:%llu",
                                       static_cast<unsigned long long>(entry.device),
                                       static_cast<unsigned long long>(entry.inode));
      record_.extras.push_back(
          {kLinkIdAttribute, std::string_view(link_text_, static_cast<std::size_t>(length))});
    }
    if (entry.folder && !entry.folder->error.empty()) {
      record_.extras.push_back({kReadErrorAttribute, entry.folder->error});
    }
    return record_;
  }

  static std::string_view ToText(std::uint64_t value, char (&buffer)[24]) {
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return {buffer, static_cast<std::size_t>(result.ptr - buffer)};
  }

 private:
  std::string_view catalog_name_;
  RecordView record_;
  std::string clean_;  // a cleaned name
  char size_text_[24], name_length_text_[24], path_length_text_[24], time_text_[40], link_text_[48];
  LocalTimeConverter times_;
};

struct Queue {
  std::mutex mutex;
  std::deque<Folder*> folders;
};

class Walk {
 public:
  // With a null `sink` the walk keeps every listing (see ListAll) instead of handing records on.
  Walk(const ScanSettings& settings, const WalkOptions& options, RecordSink* sink)
      : settings_(settings),
        options_(options),
        sink_(sink),
        filter_(settings.ExtFilter),
        filtering_(!settings.OnlyFolders && !filter_.TakesAll()) {}

  ~Walk() {
    StopThreads();
    if (root_fd_ >= 0) ::close(root_fd_);
  }

  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Hands on the records below `dir`, or with no sink lists them all (see ListAll).
  ScanReport Run(std::string_view dir, std::string_view full_path, int depth) {
    ScanReport report;
    const std::string path(dir);
    root_fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    if (root_fd_ < 0 || ::fstat(root_fd_, &info) != 0) {
      report.top_read_error = SystemMessage(errno);
      report.unreadable_folders = 1;
      return report;
    }
    device_ = info.st_dev;
    // Bind mounts show the same device as their parent: the mount ID tells them apart, or, on
    // kernels without one, the mount table.
    struct statx mount_info;
    if (::statx(root_fd_, "", AT_EMPTY_PATH, STATX_MNT_ID, &mount_info) == 0 &&
        (mount_info.stx_mask & STATX_MNT_ID) != 0) {
      have_mount_ids_ = true;
      mount_id_ = mount_info.stx_mnt_id;
    } else {
      LoadMountPoints(path);
    }

    const std::size_t threads = options_.threads == 0 ? DefaultWalkThreads() : options_.threads;
    queues_.resize(threads);
    arenas_.resize(threads);
    buffers_.resize(threads);
    for (std::size_t i = 0; i < threads; ++i) queues_[i] = std::make_unique<Queue>();

    // Cancel is heard before the first folder is listed, and after, as between any two.
    if (Cancelled(report)) return report;
    Folder& top = arenas_[0].emplace_back();
    top.relative.push_back('.');  // "." names the walked folder itself
    top.inode = info.st_ino;
    top.state = kTaken;
    List(top, 0);
    top.state = kDone;
    report.top_read_error = top.error;
    if (!top.error.empty()) ++report.unreadable_folders;
    if (Cancelled(report)) return report;
    // Helpers start once there are subfolders to share; one that cannot be started leaves its
    // part to the others.
    for (std::size_t i = 1; i < threads && !queues_[0]->folders.empty(); ++i) {
      try {
        threads_.emplace_back([this, i] { Work(i); });
      } catch (const std::system_error&) {
        break;
      }
    }
    if (sink_) {
      HandOn(top, full_path, depth + 1, report);
    } else {
      ListAll(full_path, report);
    }
    StopThreads();
    if (failure_) std::rethrow_exception(failure_);
    return report;
  }

  // The walked folder's listing, and below it all others, once a walk without sink ran.
  [[nodiscard]] const Folder* Top() const { return arenas_.empty() ? nullptr : &arenas_[0][0]; }
  [[nodiscard]] bool HaveMountIds() const { return have_mount_ids_; }

 private:
  // Hands on the records below `top` in pre-order.
  void HandOn(Folder& top, std::string_view full_path, int depth, ScanReport& report) {
    struct Open {
      Folder* folder;
      std::size_t next;
      std::size_t path_length;
      std::size_t path_points;
    };
    path_.assign(full_path);
    std::vector<Open> stack{{&top, 0, path_.size(), CodePointCount(path_)}};
    if (settings_.listener) settings_.listener->FolderEntered(records_ + 1, path_);
    RecordMaker maker(settings_.CatalogName);
    while (!stack.empty()) {
      Open& open = stack.back();
      Folder& folder = *open.folder;
      if (open.next == folder.entries.size()) {
        Release(folder);
        stack.pop_back();
        continue;
      }
      const Entry& entry = folder.entries[open.next++];
      if (++records_ % kPollRecords == 0 && Cancelled(report)) return;
      Folder* sub = entry.folder;
      if (sub) {
        // The folder's own listing first: its record carries why it could not be read.
        if (Cancelled(report)) return;
        if (failed_.load(std::memory_order_relaxed)) Fail();
        Obtain(*sub);
        if (!sub->error.empty()) ++report.unreadable_folders;
      }
      std::size_t path_points = 0;
      const RecordView& record =
          maker.Make(folder, entry, depth + static_cast<int>(stack.size()) - 1, path_,
                     open.path_length, open.path_points, &path_points);
      if (!sink_->Add(record)) {
        report.cancelled = true;
        return;
      }
      if (sub) {
        stack.push_back({sub, 0, path_.size(), path_points});
        if (settings_.listener) settings_.listener->FolderEntered(records_ + 1, path_);
      }
    }
  }

  // True once the user cancelled; the listing threads stop then.
  bool Cancelled(ScanReport& report) {
    if (!report.cancelled && settings_.stop.stop_requested()) {
      report.cancelled = true;
      stop_ = true;
    }
    return report.cancelled;
  }

  // Waits until `folder` is listed, listing it here when no thread has started it.
  void Obtain(Folder& folder) {
    int state = kPending;
    if (folder.state.compare_exchange_strong(state, kTaken)) {
      List(folder, 0);
      folder.state.store(kDone, std::memory_order_release);
    } else {
      // Another thread lists it: meanwhile this one lists a folder needed soon, when there is one
      // no thread has started, rather than wait idle.
      while ((state = folder.state.load(std::memory_order_acquire)) != kDone) {
        Folder* other = failed_.load(std::memory_order_relaxed) ? nullptr : Next(0);
        int pending = kPending;
        if (other && other->state.compare_exchange_strong(pending, kTaken)) {
          List(*other, 0);
          other->state.store(kDone, std::memory_order_release);
        } else if (!other) {
          folder.state.wait(state, std::memory_order_acquire);
        }
      }
    }
    if (folder.failed) Fail();
  }

  // Ends the walk with what a listing thread raised.
  [[noreturn]] void Fail() {
    StopThreads();
    std::rethrow_exception(failure_);
  }

  // Frees what the listing of `folder` held, once its records are handed on.
  void Release(Folder& folder) {
    listed_ahead_.fetch_sub(folder.entries.size(), std::memory_order_relaxed);
    std::string().swap(folder.names);
    std::vector<Entry>().swap(folder.entries);
    std::string().swap(folder.relative);
  }

  // A listing thread: lists folders from its own queue, newest first, or taken from another's
  // (see Next), until the walk ends.
  void Work(std::size_t self) {
    while (!stop_.load(std::memory_order_relaxed)) {
      // Records handed on one by one: listing too far ahead would only hold memory. Listings
      // kept whole are taken as fast as the threads go, until none is left.
      if (sink_ && listed_ahead_.load(std::memory_order_relaxed) > kMostListedAhead) {
        Pause();
        continue;
      }
      Folder* folder = Next(self);
      if (!folder) {
        if (!sink_ && unlisted_.load(std::memory_order_acquire) == 0) return;
        Pause();
        continue;
      }
      int state = kPending;
      if (!folder->state.compare_exchange_strong(state, kTaken)) continue;  // taken already
      try {
        List(*folder, self);
      } catch (...) {
        // Raised again on the calling thread, which waits for this folder or ends the walk.
        {
          const std::lock_guard<std::mutex> lock(failure_mutex_);
          if (!failure_) failure_ = std::current_exception();
        }
        folder->failed = true;
        failed_ = true;
        stop_ = true;
      }
      folder->state.store(kDone, std::memory_order_release);
      folder->state.notify_all();
      if (!sink_ && unlisted_.fetch_sub(1, std::memory_order_acq_rel) == 1) idle_.notify_all();
    }
  }

  // Without sink: lists every folder below the top on this thread and the others, until none
  // is left, telling the listener of the folders listed here.
  void ListAll(std::string_view full_path, ScanReport& report) {
    if (settings_.listener) {
      settings_.listener->FolderEntered(listed_ahead_.load(std::memory_order_relaxed) + 1,
                                        full_path);
    }
    while (!stop_.load(std::memory_order_relaxed) && !Cancelled(report)) {
      Folder* folder = Next(0);
      if (!folder) {
        if (unlisted_.load(std::memory_order_acquire) == 0) return;
        Pause();
        continue;
      }
      int state = kPending;
      if (!folder->state.compare_exchange_strong(state, kTaken)) continue;  // taken already
      List(*folder, 0);
      folder->state.store(kDone, std::memory_order_release);
      if (unlisted_.fetch_sub(1, std::memory_order_acq_rel) == 1) idle_.notify_all();
      if (settings_.listener) {
        path_.assign(full_path);
        if (path_.empty() || path_.back() != '/') path_ += '/';
        path_ += folder->relative;
        const std::string_view shown = SanitizeText(path_, &clean_) ? clean_ : path_;
        settings_.listener->FolderEntered(listed_ahead_.load(std::memory_order_relaxed) + 1, shown);
      }
    }
  }

  void Pause() {
    std::unique_lock<std::mutex> lock(idle_mutex_);
    idle_.wait_for(lock, std::chrono::microseconds(200));
  }

  // A folder to list for thread `self`: the newest of its own queue, else one of another's.
  // Null when every queue is empty.
  Folder* Next(std::size_t self) {
    {
      Queue& own = *queues_[self];
      const std::lock_guard<std::mutex> lock(own.mutex);
      if (!own.folders.empty()) {
        Folder* folder = own.folders.back();
        own.folders.pop_back();
        return folder;
      }
    }
    for (std::size_t k = 1; k < queues_.size(); ++k) {
      const std::size_t owner = (self + k) % queues_.size();
      Queue& other = *queues_[owner];
      const std::lock_guard<std::mutex> lock(other.mutex);
      if (!other.folders.empty()) {
        // The calling thread's newest folder is the one it will need first: listed by another
        // thread, the calling thread finds it ready and goes on building records rather than
        // listing. Another listing thread's oldest is the largest share of work left there.
        Folder* folder = owner == 0 ? other.folders.back() : other.folders.front();
        if (owner == 0) {
          other.folders.pop_back();
        } else {
          other.folders.pop_front();
        }
        return folder;
      }
    }
    return nullptr;
  }

  void StopThreads() {
    stop_ = true;
    idle_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  void Wait() const {
    if (options_.call_latency.count() > 0) std::this_thread::sleep_for(options_.call_latency);
  }

  // Opens the folder at `relative` below the walked folder; -1 with errno on failure.
  int OpenFolder(const std::string& relative) const {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Wait();
    if (relative.size() <= kLongestOpenedPath) return ::openat(root_fd_, relative.c_str(), kFlags);
    // Too long for one call: one folder at a time.
    int fd = ::dup(root_fd_);
    for (std::size_t begin = 0; fd >= 0 && begin < relative.size();) {
      std::size_t end = relative.find('/', begin);
      if (end == std::string::npos) end = relative.size();
      const std::string part = relative.substr(begin, end - begin);
      const int next = ::openat(fd, part.c_str(), kFlags);
      const int error = errno;
      ::close(fd);
      errno = error;
      fd = next;
      begin = end + 1;
    }
    return fd;
  }

  // Lists `folder` into its entries, on thread `self`; its subfolders go to that thread's queue.
  void List(Folder& folder, std::size_t self) {
    const int fd = OpenToList(folder);
    if (fd < 0) return;
    struct Closer {
      int fd;
      bool own;
      ~Closer() {
        if (own) ::close(fd);
      }
    } closer{fd, fd != root_fd_};
    std::vector<std::size_t> subfolders;  // indexes into entries
    ReadEntries(folder, fd, self, &subfolders);
    listed_ahead_.fetch_add(folder.entries.size(), std::memory_order_relaxed);
    if (subfolders.empty()) return;
    if (!sink_) unlisted_.fetch_add(subfolders.size(), std::memory_order_acq_rel);
    MakeSubfolderTasks(folder, fd, self, subfolders);
    // One thread handing records on lists the folders as they are reached.
    if (queues_.size() == 1 && sink_) return;
    QueueSubfolders(folder, self, subfolders);
  }

  // The folder `folder` open for listing: the one held open for it, the walked folder itself, or
  // opened by its path. -1 when it is gone, cannot be opened (`folder.error` says why) or was
  // replaced since it was listed.
  int OpenToList(Folder& folder) {
    int fd = root_fd_;
    if (folder.fd >= 0) {
      fd = folder.fd;
      folder.fd = -1;
      held_.fetch_sub(1, std::memory_order_relaxed);
    } else if (folder.relative != ".") {
      fd = OpenFolder(folder.relative);
    }
    if (folder.relative == ".") return fd;
    if (fd < 0) {
      // A folder removed since it was listed is simply gone, not unreadable.
      if (errno != ENOENT) folder.error = SystemMessage(errno);
      return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_ino != folder.inode || info.st_dev != device_) {
      ::close(fd);  // replaced meanwhile: not what was listed
      return -1;
    }
    return fd;
  }

  // Reads the listing of `folder`, open at `fd`, into its entries with thread `self`'s buffer;
  // the indexes of the entries to enter go to `subfolders`.
  void ReadEntries(Folder& folder, int fd, std::size_t self, std::vector<std::size_t>* subfolders) {
    std::unique_ptr<char[]>& buffer = buffers_[self];
    if (!buffer) buffer.reset(new char[kDirentBufferSize]);
    for (;;) {
      Wait();
      const long bytes = ::syscall(SYS_getdents64, fd, buffer.get(), kDirentBufferSize);
      if (bytes < 0) folder.error = SystemMessage(errno);  // what was read stays
      if (bytes <= 0) break;
      if (folder.entries.empty()) ReserveForListing(folder, buffer.get(), bytes);
      for (long at = 0; at < bytes;) {
        unsigned short length;
        std::memcpy(&length, buffer.get() + at + kDirentReclenOffset, sizeof length);
        const auto type = static_cast<unsigned char>(buffer[at + kDirentTypeOffset]);
        const char* name = buffer.get() + at + kDirentNameOffset;
        at += length;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (ListEntry(folder, fd, name, type) && folder.entries.back().enter) {
          subfolders->push_back(folder.entries.size() - 1);
        }
      }
    }
  }

  // Makes the tasks of the `subfolders` of `folder` (open at `fd`) in thread `self`'s own arena
  // (their addresses stay), opening them while few folders are held open.
  void MakeSubfolderTasks(Folder& folder, int fd, std::size_t self,
                          const std::vector<std::size_t>& subfolders) {
    std::deque<Folder>& arena = arenas_[self];
    for (const std::size_t index : subfolders) {
      Entry& entry = folder.entries[index];
      Folder& sub = arena.emplace_back();
      sub.relative.reserve(folder.relative.size() + 1 + entry.name_size);
      if (folder.relative != ".") {
        sub.relative = folder.relative;
        sub.relative += '/';
      }
      sub.relative.append(folder.names, entry.name, entry.name_size);
      sub.inode = entry.inode;
      entry.folder = &sub;
      // Opened here, by its name in the open parent, rather than later by its whole path; one
      // that cannot be is opened by its path, which tells why.
      if (held_.load(std::memory_order_relaxed) < kMostHeldFolders) {
        Wait();
        sub.fd = ::openat(fd, folder.names.c_str() + entry.name,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub.fd >= 0) held_.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }

  // Puts the tasks of the `subfolders` of `folder` on thread `self`'s queue and wakes the idle.
  void QueueSubfolders(const Folder& folder, std::size_t self,
                       const std::vector<std::size_t>& subfolders) {
    {
      Queue& own = *queues_[self];
      const std::lock_guard<std::mutex> lock(own.mutex);
      // In reverse, so that the newest folder of a queue is the first subfolder of the folder
      // listed last: taking the newest goes through the tree in the order its records are
      // handed on.
      for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it) {
        own.folders.push_back(folder.entries[*it].folder);
      }
    }
    idle_.notify_all();
  }

  // Makes room in `folder`'s listing for the entries of its first getdents64 buffer at once (most
  // folders fit in one): grown one entry at a time, the listing would pass through every size
  // below, each in memory of its own, and fresh memory costs a page fault per 4 KiB.
  static void ReserveForListing(Folder& folder, const char* buffer, long bytes) {
    std::size_t count = 0, name_bytes = 0;
    for (long at = 0; at < bytes;) {
      unsigned short length;
      std::memcpy(&length, buffer + at + kDirentReclenOffset, sizeof length);
      name_bytes += std::strlen(buffer + at + kDirentNameOffset) + 1;
      ++count;
      at += length;
    }
    folder.entries.reserve(count);
    folder.names.reserve(name_bytes);
  }

  // Adds the entry `name` of the folder open at `fd` to its listing, unless the scan leaves it
  // out or it is gone; true when added. Kept inside ReadEntries' loop, which calls it for every
  // entry of every folder: the compiler would otherwise leave it out of line.
  [[gnu::always_inline]] bool ListEntry(Folder& folder, int fd, const char* name,
                                        unsigned char type) {
    const bool known_other = type != DT_UNKNOWN && type != DT_DIR;
    // The listing's type saves a look at entries the scope leaves out.
    if (known_other && settings_.OnlyFolders) return false;
    const std::size_t name_size = std::strlen(name);
    if (known_other && filtering_ && !filter_.Passes({name, name_size})) {
      return false;
    }
    Entry entry;
    std::uint64_t mount_id = 0;
    bool have_mount_id = false;
    Wait();
    if (have_mount_ids_) {
      // One call gives the facts and the mount ID that tells a mount point.
      struct statx info;
      entry.stated = ::statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                             STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_INO |
                                 STATX_NLINK | STATX_MNT_ID,
                             &info) == 0;
      if (entry.stated) {
        const mode_t mode = info.stx_mode;
        entry.directory = S_ISDIR(mode);
        entry.regular = S_ISREG(mode);
        if (!entry.directory && (S_ISREG(mode) || S_ISLNK(mode))) entry.size = info.stx_size;
        entry.mtime = info.stx_mtime.tv_sec;
        entry.device = makedev(info.stx_dev_major, info.stx_dev_minor);
        entry.inode = info.stx_ino;
        entry.links = info.stx_nlink;
        have_mount_id = (info.stx_mask & STATX_MNT_ID) != 0;
        mount_id = info.stx_mnt_id;
      }
    } else {
      struct stat info;
      entry.stated = ::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0;
      if (entry.stated) {
        entry.directory = S_ISDIR(info.st_mode);
        entry.regular = S_ISREG(info.st_mode);
        if (!entry.directory && (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))) {
          entry.size = static_cast<std::uint64_t>(info.st_size);
        }
        entry.mtime = info.st_mtim.tv_sec;
        entry.device = info.st_dev;
        entry.inode = info.st_ino;
        entry.links = info.st_nlink;
      }
    }
    if (!entry.stated) {
      if (errno == ENOENT) return false;  // gone since it was listed
      entry.directory = type == DT_DIR;
    }
    if (!entry.directory && settings_.OnlyFolders) return false;
    if (!entry.directory && filtering_ && type == DT_UNKNOWN &&
        !filter_.Passes({name, name_size})) {
      return false;
    }
    entry.name = static_cast<std::uint32_t>(folder.names.size());
    entry.name_size = static_cast<std::uint32_t>(name_size);
    folder.names.append(name, name_size + 1);
    // A folder on another device, or a bind mount, is a mount point: recorded, not entered.
    if (entry.directory && entry.stated && entry.device == device_) {
      entry.enter = have_mount_ids_ ? !(have_mount_id && mount_id != mount_id_)
                                    : !IsListedMountPoint(folder, name);
    }
    folder.entries.push_back(entry);
    return true;
  }

  // Without mount IDs: true when the real path of `name` in `folder` is a mount point.
  bool IsListedMountPoint(const Folder& folder, const char* name) const {
    if (mount_points_.empty()) return false;
    std::string real = real_root_;
    if (folder.relative != ".") {
      real += '/';
      real += folder.relative;
    }
    real += '/';
    real += name;
    return std::binary_search(mount_points_.begin(), mount_points_.end(), real);
  }

  // The mount points strictly inside the walked folder, by their real paths, sorted.
  void LoadMountPoints(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
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

  const ScanSettings& settings_;
  const WalkOptions options_;
  RecordSink* const sink_;  // null: every listing is kept
  const ExtensionFilter filter_;
  const bool filtering_;
  int root_fd_ = -1;
  dev_t device_ = 0;
  bool have_mount_ids_ = false;
  std::uint64_t mount_id_ = 0;
  std::string real_root_;                  // without mount IDs: the walked folder's real path
  std::vector<std::string> mount_points_;  // and the mount points below it

  // Per thread (0: the calling thread): its queue of folders to list, the folders it made and
  // its buffer for listings.
  std::vector<std::unique_ptr<Queue>> queues_;
  std::vector<std::deque<Folder>> arenas_;
  std::vector<std::unique_ptr<char[]>> buffers_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};  // a listing thread raised: failure_ says what
  // Entries listed and not yet handed on (without sink: all entries listed).
  std::atomic<std::size_t> listed_ahead_{0};
  // Without sink: folders found and not yet listed.
  std::atomic<std::size_t> unlisted_{0};
  // Folders held open until they are listed (see Folder::fd).
  std::atomic<std::size_t> held_{0};
  std::mutex idle_mutex_;
  std::condition_variable idle_;
  std::mutex failure_mutex_;
  std::exception_ptr failure_;

  // The calling thread's: records handed on and the FullPath being made. The listener is told
  // the records made, the walked folder's own (the caller's) among them.
  std::size_t records_ = 0;
  std::string path_;
  std::string clean_;  // a cleaned path
};

// Records of parts are cut at about this many records, as a catalog tree's are for writing.
constexpr std::size_t kPartRecords = 2048;
// Subtrees deeper than this are not cut further: cutting recurses as deep as they go.
constexpr int kDeepestCut = 256;

}  // namespace

struct FolderListing::State {
  State(const ScanSettings& given, const WalkOptions& options)
      : settings(given), walk(settings, options, nullptr) {}

  // A stretch of the records in pre-order: the entries `first` to `last` - 1 of `folder` with
  // everything below them, or (`alone`) the record of entry `first` without what lies below.
  struct Part {
    const Folder* folder;
    std::size_t first, last;
    int depth;
    std::string parent_path;  // the FullPath of `folder`
    std::size_t parent_points;
    bool alone;
  };

  // Whether the record of `entry` is written: under a filter a folder holding no file is not.
  [[nodiscard]] bool Kept(const Entry& entry) const {
    return !pruning || !entry.directory || (entry.folder && entry.folder->holds_file);
  }

  // Sums the sizes, counts the records and tells the folders holding files, from the deepest
  // folders up, adding in the order the scan's tree adds them; counts the unreadable folders.
  void Gather(ScanReport& report) {
    struct Open {
      Folder* folder;
      std::size_t next;
    };
    std::vector<Open> stack{{const_cast<Folder*>(walk.Top()), 0}};
    while (!stack.empty()) {
      Open& open = stack.back();
      Folder& folder = *open.folder;
      if (open.next == folder.entries.size()) {
        stack.pop_back();
        if (stack.empty()) break;
        Folder& parent = *stack.back().folder;
        if (Kept(parent.entries[stack.back().next - 1])) {
          parent.total += folder.total;
          parent.records += 1 + folder.records;
          parent.holds_file = parent.holds_file || folder.holds_file;
        }
        continue;
      }
      const Entry& entry = folder.entries[open.next++];
      if (entry.folder) {
        if (!entry.folder->error.empty()) ++report.unreadable_folders;
        stack.push_back({entry.folder, 0});
      } else if (!entry.directory) {
        folder.total += static_cast<double>(entry.size);
        ++folder.records;
        folder.holds_file = true;
      } else if (Kept(entry)) {
        ++folder.records;
      }
    }
  }

  // Cuts the records below `folder`, at `depth`, into parts in pre-order: runs of sibling
  // subtrees of about kPartRecords records, and a larger subtree as its own record followed by
  // the parts below it.
  void Cut(const Folder& folder, int depth, const std::string& path, std::size_t points,
           RecordMaker& maker) {
    std::size_t start = 0, gathered = 0;
    const auto flush = [&](std::size_t end) {
      if (end > start) parts.push_back({&folder, start, end, depth, path, points, false});
      start = end;
      gathered = 0;
    };
    for (std::size_t i = 0; i < folder.entries.size(); ++i) {
      const Entry& entry = folder.entries[i];
      if (!Kept(entry)) continue;
      const std::size_t size = 1 + (entry.folder ? entry.folder->records : 0);
      if (size > kPartRecords && depth < kDeepestCut) {
        flush(i);
        parts.push_back({&folder, i, i + 1, depth, path, points, true});
        std::string sub_path = path;
        std::size_t sub_points = 0;
        (void)maker.Make(folder, entry, depth, sub_path, path.size(), points, &sub_points);
        Cut(*entry.folder, depth + 1, sub_path, sub_points, maker);
        start = i + 1;
        continue;
      }
      if (gathered + size > kPartRecords) flush(i);
      gathered += size;
    }
    flush(folder.entries.size());
  }

  // The record of `entry` made by `maker`, with the size of a folder and the share of the
  // total that the scan's tree gives them afterwards.
  const RecordView& Complete(RecordView& record, const Entry& entry, char (&size_text)[64],
                             char (&percentage_text)[64]) const {
    if (settings.OnlyFolders) return record;
    double size = static_cast<double>(entry.size);
    if (entry.directory) {
      size = entry.folder ? entry.folder->total : 0.0;
      const int length = std::snprintf(size_text, sizeof size_text, "%.0f", size);
      record.fields[kFileSize] = std::string_view(size_text, static_cast<std::size_t>(length));
    }
    record.fields[kSizePercentage] =
        total != 0 ? FormatPercentage(size / total * 100.0, percentage_text) : "0";
    return record;
  }

  void Write(const Part& part, RecordMaker& maker, CatalogWriter& writer) const {
    char size_text[64], percentage_text[64];
    std::string path = part.parent_path;
    std::size_t points = 0;
    if (part.alone) {
      const Entry& entry = part.folder->entries[part.first];
      RecordView& record = maker.Make(*part.folder, entry, part.depth, path, path.size(),
                                      part.parent_points, &points);
      writer.Add(Complete(record, entry, size_text, percentage_text));
      return;
    }
    struct Open {
      const Folder* folder;
      std::size_t next, end;
      std::size_t path_length;
      std::size_t path_points;
    };
    std::vector<Open> stack{{part.folder, part.first, part.last, path.size(), part.parent_points}};
    std::size_t count = 0;
    while (!stack.empty()) {
      Open& open = stack.back();
      if (open.next == open.end) {
        stack.pop_back();
        continue;
      }
      const Folder& folder = *open.folder;
      const Entry& entry = folder.entries[open.next++];
      if (!Kept(entry)) continue;
      if (++count % kPollRecords == 0 && settings.stop.stop_requested()) return;
      RecordView& record =
          maker.Make(folder, entry, part.depth + static_cast<int>(stack.size()) - 1, path,
                     open.path_length, open.path_points, &points);
      writer.Add(Complete(record, entry, size_text, percentage_text));
      if (entry.folder && !entry.folder->entries.empty()) {
        stack.push_back({entry.folder, 0, entry.folder->entries.size(), path.size(), points});
      }
    }
  }

  // A record maker for the calling thread, from those no thread uses now.
  std::unique_ptr<RecordMaker> TakeMaker() {
    const std::lock_guard<std::mutex> lock(makers_mutex);
    if (makers.empty()) return std::make_unique<RecordMaker>(settings.CatalogName);
    std::unique_ptr<RecordMaker> maker = std::move(makers.back());
    makers.pop_back();
    return maker;
  }

  void GiveBack(std::unique_ptr<RecordMaker> maker) {
    const std::lock_guard<std::mutex> lock(makers_mutex);
    makers.push_back(std::move(maker));
  }

  const ScanSettings settings;
  Walk walk;
  bool pruning = false;
  double total = 0;
  std::vector<Part> parts;
  std::mutex makers_mutex;
  std::vector<std::unique_ptr<RecordMaker>> makers;
};

FolderListing::FolderListing(const ScanSettings& settings, const WalkOptions& options)
    : state_(std::make_unique<State>(settings, options)) {
  state_->pruning = !settings.OnlyFolders && !settings.ExtFilter.empty();
}

FolderListing::~FolderListing() = default;

ScanReport FolderListing::List(std::string_view dir, std::string_view full_path) {
  State& state = *state_;
  ScanReport report = state.walk.Run(dir, full_path, 0);
  const Folder* top = state.walk.Top();
  if (report.cancelled || !top) return report;
  state.Gather(report);
  state.total = top->total;
  std::unique_ptr<RecordMaker> maker = state.TakeMaker();
  state.Cut(*top, 1, std::string(full_path), CodePointCount(full_path), *maker);
  state.GiveBack(std::move(maker));
  return report;
}

double FolderListing::TotalSize() const { return state_->total; }

std::size_t FolderListing::Records() const {
  const Folder* top = state_->walk.Top();
  return top ? top->records : 0;
}

std::size_t FolderListing::PartCount() const { return state_->parts.size(); }

void FolderListing::WritePart(std::size_t index, CatalogWriter& writer) const {
  State& state = *state_;
  std::unique_ptr<RecordMaker> maker = state.TakeMaker();
  state.Write(state.parts.at(index), *maker, writer);
  state.GiveBack(std::move(maker));
}

std::size_t DefaultWalkThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

ScanReport WalkFolder(std::string_view dir, std::string_view full_path, int depth,
                      const ScanSettings& settings, RecordSink& sink, const WalkOptions& options) {
  Walk walk(settings, options, &sink);
  return walk.Run(dir, full_path, depth);
}

}  // namespace lumivor
