#include "library/library_storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include "catalog/fields.h"
#include "catalog/xml_document.h"
#include "config/config.h"
#include "core/atomic_file.h"
#include "core/errors.h"
#include "library/catalog_enumerator.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

// --- Small helpers ------------------------------------------------------------------------------

// Closes a directory stream when it goes out of scope.
struct DirCloser {
  DIR* dir;
  ~DirCloser() {
    if (dir != nullptr) ::closedir(dir);
  }
};

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// `path` made absolute and lexically normal, without trailing "/". Symbolic links are left as
// they are: the library tree shows a linked group as a group, and items inside it belong to the
// library.
std::string NormalPath(std::string_view path) {
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(std::filesystem::path(path), ignored);
  std::string normal = absolute.lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

// True when `path` lies strictly below `root` (both normal paths).
bool IsStrictlyInside(const std::string& path, const std::string& root) {
  if (root == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
         path[root.size()] == '/';
}

bool IsInsideOrEqual(const std::string& path, const std::string& root) {
  return path == root || IsStrictlyInside(path, root);
}

std::string FailureText(std::string_view what, const std::string& path, int error_number) {
  return std::string(what) + " " + path + ": " + SystemMessage(error_number);
}

[[noreturn]] void Fail(std::string_view what, const std::string& path, int error_number) {
  throw LumivorError(FailureText(what, path, error_number));
}

std::string TimeText(const struct stat& st) {
  if (st.st_mtim.tv_sec == 0 && st.st_mtim.tv_nsec == 0) return {};
  // Two-second resolution, as every catalog records its times.
  std::time_t seconds = st.st_mtim.tv_sec;
  seconds -= ((seconds % 2) + 2) % 2;
  return FormatFileTime(seconds);
}

// --- Removing a tree ----------------------------------------------------------------------------

// The first mount point at `directory` or below it, or empty. Bind mounts share the device
// number of what they show, so the device test alone would not see them.
std::string MountPointAtOrBelow(const std::string& directory) {
  char* resolved = ::realpath(directory.c_str(), nullptr);
  if (resolved == nullptr) return {};
  const std::string real = resolved;
  std::free(resolved);
  std::string table;
  try {
    table = ReadWholeFile("/proc/self/mountinfo");
  } catch (const LumivorError&) {
    return {};
  }
  for (const MountEntry& mount : ParseMountInfo(table)) {
    if (mount.point == real || IsStrictlyInside(mount.point, real)) return mount.point;
  }
  return {};
}

// Removes the directory `top` (already checked to be safe to remove) with everything in it,
// without recursion. Symbolic links are removed, never followed; a directory on another file
// system than `top` stops the removal before anything in it is touched. Directories are made
// writable and searchable before they are emptied. Raises LumivorError at the first failure.
void RemoveTree(const std::string& top) {
  struct stat top_stat;
  if (::lstat(top.c_str(), &top_stat) != 0) Fail("Cannot delete", top, errno);
  if (!S_ISDIR(top_stat.st_mode)) {
    if (::unlink(top.c_str()) != 0) Fail("Cannot delete", top, errno);
    return;
  }
  if (const std::string mount_point = MountPointAtOrBelow(top); !mount_point.empty()) {
    throw LumivorError("Cannot delete " + top + ": a file system is mounted at " + mount_point +
                       "; nothing was deleted");
  }
  struct Frame {
    std::string path;
    mode_t mode;
    bool emptied;
  };
  std::vector<Frame> stack;
  stack.push_back({top, top_stat.st_mode, false});
  while (!stack.empty()) {
    if (stack.back().emptied) {
      const std::string path = std::move(stack.back().path);
      stack.pop_back();
      if (::rmdir(path.c_str()) != 0) Fail("Cannot delete", path, errno);
      continue;
    }
    stack.back().emptied = true;
    const std::string path = stack.back().path;
    // A directory without write or search permission cannot be emptied.
    if ((stack.back().mode & S_IRWXU) != S_IRWXU) {
      ::chmod(path.c_str(), (stack.back().mode & 07777) | S_IRWXU);
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) Fail("Cannot delete", path, errno);
    DirCloser closer{dir};
    std::vector<Frame> subdirectories;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) Fail("Cannot delete", path, errno);
        break;
      }
      if (IsDotOrDotDot(entry->d_name)) continue;
      std::string child = JoinPath(path, entry->d_name);
      struct stat st;
      if (::lstat(child.c_str(), &st) != 0) Fail("Cannot delete", child, errno);
      if (S_ISDIR(st.st_mode)) {
        if (st.st_dev != top_stat.st_dev) {
          throw LumivorError("Cannot delete " + child +
                             ": another file system is mounted there; nothing on it is deleted");
        }
        subdirectories.push_back({std::move(child), st.st_mode, false});
      } else if (::unlink(child.c_str()) != 0) {
        Fail("Cannot delete", child, errno);
      }
    }
    for (Frame& frame : subdirectories) stack.push_back(std::move(frame));
  }
}

// --- Copying a tree -----------------------------------------------------------------------------

void CopyFileContents(const std::string& source, const std::string& target, const struct stat& st) {
  FdCloser in{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
  if (in.fd < 0) Fail("Cannot read", source, errno);
  FdCloser out{::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
  if (out.fd < 0) Fail("Cannot write", target, errno);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot read", source, errno);
    }
    if (n == 0) break;
    for (ssize_t written = 0; written < n;) {
      const ssize_t w = ::write(out.fd, buffer.data() + written, static_cast<size_t>(n - written));
      if (w < 0) {
        if (errno == EINTR) continue;
        Fail("Cannot write", target, errno);
      }
      written += w;
    }
  }
  // The original is removed after the copy: the copy must be on the disk first.
  if (::fsync(out.fd) != 0) Fail("Cannot write", target, errno);
  ::fchmod(out.fd, st.st_mode & 07777);
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(out.fd, times);
  const int fd = out.fd;
  out.fd = -1;
  if (::close(fd) != 0) Fail("Cannot write", target, errno);
}

// Copies `source` (file, link or directory tree) to the new path `target`, keeping modes and
// modification times, without recursion. Raises LumivorError at the first failure; the caller
// removes the partial copy.
void CopyTree(const std::string& source, const std::string& target) {
  struct Frame {
    std::string source, target;
    struct stat st;
    bool copied;
  };
  std::vector<Frame> stack;
  {
    Frame first{source, target, {}, false};
    if (::lstat(source.c_str(), &first.st) != 0) Fail("Cannot read", source, errno);
    stack.push_back(std::move(first));
  }
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.copied) {
      // The directory's contents are in place: now its own mode and time.
      ::chmod(frame.target.c_str(), frame.st.st_mode & 07777);
      const timespec times[2] = {frame.st.st_atim, frame.st.st_mtim};
      ::utimensat(AT_FDCWD, frame.target.c_str(), times, 0);
      stack.pop_back();
      continue;
    }
    if (S_ISREG(frame.st.st_mode)) {
      CopyFileContents(frame.source, frame.target, frame.st);
      stack.pop_back();
      continue;
    }
    if (S_ISLNK(frame.st.st_mode)) {
      std::error_code error;
      const std::filesystem::path link = std::filesystem::read_symlink(frame.source, error);
      if (error) Fail("Cannot read", frame.source, error.value());
      if (::symlink(link.c_str(), frame.target.c_str()) != 0) {
        Fail("Cannot write", frame.target, errno);
      }
      stack.pop_back();
      continue;
    }
    if (!S_ISDIR(frame.st.st_mode)) {
      throw LumivorError("Cannot copy " + frame.source + ": not a file, link or directory");
    }
    if (::mkdir(frame.target.c_str(), S_IRWXU) != 0) Fail("Cannot write", frame.target, errno);
    frame.copied = true;
    const std::string dir_source = frame.source, dir_target = frame.target;
    DIR* dir = ::opendir(dir_source.c_str());
    if (dir == nullptr) Fail("Cannot read", dir_source, errno);
    DirCloser closer{dir};
    std::vector<Frame> children;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (entry == nullptr) {
        if (errno != 0) Fail("Cannot read", dir_source, errno);
        break;
      }
      if (IsDotOrDotDot(entry->d_name)) continue;
      Frame child{
          JoinPath(dir_source, entry->d_name), JoinPath(dir_target, entry->d_name), {}, false};
      if (::lstat(child.source.c_str(), &child.st) != 0) Fail("Cannot read", child.source, errno);
      children.push_back(std::move(child));
    }
    // `frame` may dangle once the stack grows; it is not used below.
    for (Frame& child : children) stack.push_back(std::move(child));
  }
}

// A name in `directory` that nothing uses yet, for an item set aside during a move.
std::string UnusedSiblingName(const std::string& directory, std::string_view name,
                              std::string_view purpose) {
  for (unsigned n = 0;; ++n) {
    std::string sibling(1, '.');
    sibling.append(name).append(1, '.').append(purpose).append(1, '-');
    sibling.append(std::to_string(::getpid())).append(1, '-').append(std::to_string(n));
    std::string candidate = JoinPath(directory, sibling);
    struct stat st;
    if (::lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) return candidate;
  }
}

// Removes what a failed copy left behind; errors do not matter here.
void RemovePartialCopy(const std::string& path) {
  try {
    RemoveTree(path);
  } catch (const LumivorError&) {
  }
}

// --- Listing ------------------------------------------------------------------------------------

}  // namespace

// --- Path texts ---------------------------------------------------------------------------------

std::string LibraryDisplayPath(std::string_view path) {
  const std::size_t start = path.find(kLibraryRootCaption);
  if (start == std::string_view::npos) return std::string(path);
  std::string_view shown = path.substr(start);
  // Only the last component's extension goes: a group named "v1.2" stays whole.
  const std::size_t slash = shown.rfind('/');
  const std::size_t dot = shown.rfind('.');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
    shown = shown.substr(0, dot);
  }
  return std::string(shown);
}

std::string CatalogGroupDisplayPath(std::string_view catalog_path) {
  // Cut after the catalog's own extension went, so that a group named "v1.2" stays whole.
  std::string shown = LibraryDisplayPath(catalog_path);
  const std::size_t slash = shown.rfind('/');
  shown.resize(slash == std::string::npos ? 0 : slash == 0 ? 1 : slash);
  return shown;
}

// --- Naming rules -------------------------------------------------------------------------------

std::string_view LibraryNameRefusal(std::string_view name, std::size_t max_bytes) {
  if (name.empty()) return kInvalidNameEmpty;
  if (name.front() == '.') return kInvalidNameDot;
  if (name.find('/') != std::string_view::npos) return kInvalidNameSlash;
  if (name.find('\0') != std::string_view::npos) return kInvalidNameNul;
  if (name.size() > max_bytes) return kInvalidNameTooLong;
  return {};
}

bool IsValidLibraryName(std::string_view name) { return LibraryNameRefusal(name).empty(); }

std::string_view CheckNewCatalogName(std::string_view name) {
  // The length has a refusal of its own: the file name adds ".xml".
  const std::string_view refusal = LibraryNameRefusal(name, std::string_view::npos);
  if (!refusal.empty()) return refusal;
  if (name.size() > kMaxCatalogNameBytes) return kCatalogNameTooLong;
  return {};
}

std::string GroupPath(std::string_view parent_directory, std::string_view name) {
  return WithoutTrailingBackslash(parent_directory) + "/" + std::string(name);
}

std::string CatalogFilePath(std::string_view group_directory, std::string_view name) {
  return GroupPath(group_directory, name) + ".xml";
}

std::string RenamedGroupPath(std::string_view group_path, std::string_view name) {
  return GroupPath(ParentOf(WithoutTrailingBackslash(group_path)), name);
}

std::string RenamedCatalogPath(std::string_view catalog_path, std::string_view name) {
  return CatalogFilePath(ParentOf(catalog_path), name);
}

bool LibraryPathClashes(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string_view CheckLibraryName(std::string_view name, const std::string& resulting_path) {
  // The limit is on the file's own name, which for a catalog holds ".xml" too.
  const std::size_t slash = resulting_path.rfind('/');
  const std::size_t file_name_bytes =
      slash == std::string::npos ? resulting_path.size() : resulting_path.size() - slash - 1;
  const std::string_view refusal = LibraryNameRefusal(name, std::string_view::npos);
  if (!refusal.empty()) return refusal;
  if (file_name_bytes > kMaxNameBytes) return kInvalidNameTooLong;
  if (LibraryPathClashes(resulting_path)) return kNameExists;
  return {};
}

// --- Library operations -------------------------------------------------------------------------

void CreateDefaultLibrary(const std::string& root) {
  struct stat st;
  if (::lstat(root.c_str(), &st) == 0) return;
  if (::mkdir(root.c_str(), 0777) != 0) return;
  for (std::string_view group : kDefaultGroups) {
    ::mkdir(JoinPath(root, group).c_str(), 0777);
  }
}

void CheckReadableDirectory(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) throw LumivorError(path + ": " + SystemMessage(errno));
  ::closedir(dir);
}

CatalogTree ListLibrary(const std::string& root, bool groups_only) {
  const std::string library = root.empty() ? GetConfig().LibraryPath() : root;
  std::vector<ListedItem> entries;
  entries.push_back({0, library, std::string(kLibraryRootCaption), {}, 0, true});
  std::vector<LibraryItem> items;
  EnumerateOptions options;
  options.groups_only = groups_only;
  EnumerateLibrary(library, options, &items);
  entries.reserve(items.size() + 1);
  const std::string top = WithTrailingBackslash(library);
  for (LibraryItem& item : items) {
    std::string name = std::move(item.name);
    if (!item.group) {
      if (const std::size_t dot = name.find('.'); dot != std::string::npos) name.resize(dot);
    }
    const std::uint64_t size = item.group ? 0 : static_cast<std::uint64_t>(item.info.st_size);
    // Items come after their group, so the group's index in `entries` is one more than in
    // `items`.
    const std::size_t parent = item.parent == LibraryItem::kTopLevel ? 0 : item.parent + 1;
    entries.push_back(
        {parent, top + item.relative_path, std::move(name), TimeText(item.info), size, item.group});
  }
  return LibraryTreeOf(std::move(entries));
}

CatalogTree LibraryTreeOf(std::vector<ListedItem> entries) {
  // Every entry comes after its parent, so one backward pass adds each size into its parent
  // after everything below it was added into it.
  for (std::size_t i = entries.size(); i-- > 1;) entries[entries[i].parent].size += entries[i].size;
  const std::uint64_t total = entries[0].size;

  CatalogTree tree;
  std::vector<CatalogTree::Node*> nodes(entries.size(), nullptr);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ListedItem& entry = entries[i];
    const std::string size = std::to_string(entry.size);
    std::string share;
    if (i == 0) {
      share = "100";
    } else if (total != 0) {
      share = FormatPercentage(static_cast<double>(entry.size) / static_cast<double>(total) * 100);
    }
    FieldViews fields{};
    fields[kFileName] = entry.name;
    fields[kFullPath] = entry.path;
    fields[kFileSize] = size;
    fields[kFileTime] = entry.time;
    fields[kFileType] = entry.directory ? kDirectoryType : kFileTypeText;
    fields[kSizePercentage] = share;
    if (!entry.directory) fields[kCatalogName] = entry.name;
    nodes[i] = tree.AddChild(i == 0 ? nullptr : nodes[entry.parent], CatalogRecord(fields));
  }
  // The same order in every window whatever the file system returns: groups before catalogs,
  // each by name with ASCII letters folded, then by bytes so that the order is total.
  tree.SortAll([](const CatalogTree::Node* a, const CatalogTree::Node* b) {
    if (a->IsDirectory() != b->IsDirectory()) return a->IsDirectory();
    const std::string name_a = a->Field(kFileName);
    const std::string name_b = b->Field(kFileName);
    if (const int folded = CompareFoldedText(name_a, name_b); folded != 0) return folded < 0;
    if (name_a != name_b) return name_a < name_b;
    return a->Field(kFullPath) < b->Field(kFullPath);
  });
  return tree;
}

void DeleteDirectoryTree(const std::string& path, const std::string& library_root) {
  const std::string root = NormalPath(library_root);
  const std::string target = NormalPath(path);
  if (target == "/" || target == root) {
    throw LumivorError("Cannot delete " + path + ": the library root itself is never deleted");
  }
  if (!IsStrictlyInside(target, root)) {
    throw LumivorError("Cannot delete " + path + ": it is not inside the library " + library_root);
  }
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0) Fail("Cannot delete", path, errno);
  if (S_ISLNK(st.st_mode)) {
    // A linked group: the link goes, what it points to stays.
    if (::unlink(target.c_str()) != 0) Fail("Cannot delete", path, errno);
    return;
  }
  if (!S_ISDIR(st.st_mode)) Fail("Cannot delete", path, ENOTDIR);
  struct stat parent;
  if (::stat(ParentOf(target).c_str(), &parent) != 0) Fail("Cannot delete", path, errno);
  if (parent.st_dev != st.st_dev || Volumes().IsDriveRoot(target)) {
    throw LumivorError("Cannot delete " + path + ": it is the mount point of a file system");
  }
  RemoveTree(target);
}

LibraryChange CreateLibraryGroup(std::string_view parent_directory, std::string_view name) {
  LibraryChange change{{}, GroupPath(parent_directory, name)};
  change.refusal = CheckLibraryName(name, change.path);
  if (!change.refusal.empty()) return change;
  if (::mkdir(change.path.c_str(), 0777) != 0) throw LumivorError(SystemMessage(errno));
  return change;
}

LibraryChange RenameLibraryItem(const std::string& path, std::string_view name, bool catalog) {
  LibraryChange change{{}, catalog ? RenamedCatalogPath(path, name) : RenamedGroupPath(path, name)};
  change.refusal = CheckLibraryName(name, change.path);
  if (!change.refusal.empty()) return change;
  // rename() would silently replace an empty directory or a file that appeared since the check;
  // renameat2 with RENAME_NOREPLACE refuses instead.
  int result = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, change.path.c_str(), RENAME_NOREPLACE);
  // Some file systems do not know the flag; the check above has to do there.
  if (result != 0 && errno == EINVAL) result = ::rename(path.c_str(), change.path.c_str());
  if (result != 0) {
    const int error = errno;
    if (error == EEXIST) {
      change.refusal = kNameExists;
      return change;
    }
    throw LumivorError(SystemMessage(error));
  }
  return change;
}

void DeleteLibraryItem(const std::string& path, const std::string& library_root) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) Fail("Cannot delete", path, errno);
  if (S_ISDIR(st.st_mode)) {
    DeleteDirectoryTree(path, library_root);
  } else {
    if (!IsStrictlyInside(NormalPath(path), NormalPath(library_root))) {
      throw LumivorError("Cannot delete " + path + ": it is not inside the library " +
                         library_root);
    }
    if (::unlink(path.c_str()) != 0) Fail("Cannot delete", path, errno);
  }
}

bool CanDropLibraryItem(std::string_view item_path, std::string_view target_group,
                        bool target_is_group) {
  if (!target_is_group) return false;
  const std::string item = WithoutTrailingBackslash(item_path);
  const std::string target = WithoutTrailingBackslash(target_group);
  if (item.empty() || target == item) return false;
  if (target.compare(0, item.size() + 1, WithTrailingBackslash(item)) == 0) return false;
  return ParentOf(item) != target;
}

namespace {

// Why `from` (named `source` in messages) may not move into the group `into`; empty when it
// may. `*from_stat` receives what lstat says of it.
std::string MoveRefusal(const std::string& source, const std::string& target_group,
                        const std::string& library_root, const std::string& from,
                        const std::string& into, const std::string& root, struct stat* from_stat) {
  if (!IsStrictlyInside(from, root)) {
    return "Cannot move " + source + ": it is not inside the library " + library_root;
  }
  if (!IsInsideOrEqual(into, root)) {
    return "Cannot move " + source + " to " + target_group +
           ": the target is not inside the library " + library_root;
  }
  if (::lstat(from.c_str(), from_stat) != 0) return FailureText("Cannot move", source, errno);
  if (S_ISDIR(from_stat->st_mode)) {
    struct stat parent;
    if (::stat(ParentOf(from).c_str(), &parent) == 0 && parent.st_dev != from_stat->st_dev) {
      return "Cannot move " + source + ": it is the mount point of a file system";
    }
  }
  if (IsInsideOrEqual(into, from)) {
    return "Cannot move " + source + " into itself or one of its own groups.";
  }
  return {};
}

// Moves `from` to `to` on another file system: a copy under a hidden name in `into`, put in
// place, then the original removed. Returns why it failed (nothing is left of the copy then);
// an original that could not be removed is a `warning`.
std::string MoveAcrossFileSystems(const std::string& source, const std::string& from,
                                  const std::string& into, const std::string& to,
                                  std::string* warning) {
  const std::string partial = UnusedSiblingName(into, std::string(BaseName(from)), "moving");
  try {
    CopyTree(from, partial);
  } catch (const LumivorError& e) {
    RemovePartialCopy(partial);
    return e.what();
  }
  if (::rename(partial.c_str(), to.c_str()) != 0) {
    const std::string message = FailureText("Cannot move", source, errno);
    RemovePartialCopy(partial);
    return message;
  }
  try {
    RemoveTree(from);
  } catch (const LumivorError& e) {
    *warning =
        "The item was copied to " + to + ", but the original could not be removed: " + e.what();
  }
  return {};
}

}  // namespace

MoveResult MoveLibraryItem(const std::string& source, const std::string& target_group,
                           const std::string& library_root, Prompts& prompts) {
  const std::string root = NormalPath(library_root);
  const std::string from = NormalPath(source);
  const std::string into = NormalPath(target_group);
  struct stat from_stat;
  if (const std::string refusal =
          MoveRefusal(source, target_group, library_root, from, into, root, &from_stat);
      !refusal.empty()) {
    return {false, refusal};
  }
  const std::string name(BaseName(from));
  const std::string to = JoinPath(into, name);
  if (to == from) return {true, {}};  // already there

  std::error_code error;
  std::filesystem::create_directories(into, error);
  if (error) return {false, FailureText("Cannot create", target_group, error.value())};

  // An item of the same name in the target is set aside, and removed only once the move worked.
  std::string aside;
  if (struct stat to_stat; ::lstat(to.c_str(), &to_stat) == 0) {
    if (to_stat.st_dev == from_stat.st_dev && to_stat.st_ino == from_stat.st_ino) {
      return {true, {}};  // the same item under another path
    }
    if (IsStrictlyInside(from, to)) {
      return {false, "Cannot replace " + to + ": it holds the item being moved."};
    }
    if (!prompts.AskYesNo(kWarningCaption, kReplaceItemQuestion, MessageIcon::kQuestion)) {
      return {false, {}};
    }
    aside = UnusedSiblingName(into, name, "replaced");
    if (::rename(to.c_str(), aside.c_str()) != 0) {
      return {false, FailureText("Cannot replace", to, errno)};
    }
  }
  const auto restore_aside = [&] {
    if (!aside.empty()) ::rename(aside.c_str(), to.c_str());
  };

  std::string warning;
  if (::rename(from.c_str(), to.c_str()) != 0) {
    if (errno != EXDEV) {
      const std::string message = FailureText("Cannot move", source, errno);
      restore_aside();
      return {false, message};
    }
    if (const std::string failure = MoveAcrossFileSystems(source, from, into, to, &warning);
        !failure.empty()) {
      restore_aside();
      return {false, failure};
    }
  }
  if (!aside.empty()) {
    try {
      RemoveTree(aside);
    } catch (const LumivorError& e) {
      if (warning.empty()) warning = "The replaced item could not be removed completely: ";
      warning += e.what();
    }
  }
  return {true, warning};
}

}  // namespace lumivor
