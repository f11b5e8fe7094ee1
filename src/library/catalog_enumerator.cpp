#include "library/catalog_enumerator.h"

#include <dirent.h>

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

#include "core/atomic_file.h"

namespace lumivor {

namespace {

// The names in `directory` but "." and ".." and the temporary files of saves, in byte order;
// nullopt when the directory cannot be listed.
std::optional<std::vector<std::string>> ListNames(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || IsTemporaryFileName(name)) continue;
    names.emplace_back(name);
  }
  ::closedir(dir);
  // Byte order, so that the walk (and with it which of two links to one directory is entered)
  // is the same on every machine.
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool EnumerateLibrary(const std::string& root, const EnumerateOptions& options,
                      std::vector<LibraryItem>* items) {
  struct Frame {
    std::size_t item;      // LibraryItem::kTopLevel for the root
    std::string path;      // with trailing "/"
    std::string relative;  // with trailing "/", or empty for the root
    std::vector<std::string> names;
    std::size_t next = 0;
  };
  std::set<std::pair<dev_t, ino_t>> visited;
  std::vector<Frame> stack;
  const auto enter = [&](std::size_t item, std::string path, std::string relative,
                         const struct stat& info) {
    // A directory reached twice (through a link) is listed once.
    if (!visited.insert({info.st_dev, info.st_ino}).second) return;
    std::optional<std::vector<std::string>> names = ListNames(path);
    if (!names) {
      if (options.unreadable_folders != nullptr) ++*options.unreadable_folders;
      return;
    }
    stack.push_back({item, std::move(path), std::move(relative), std::move(*names), 0});
  };
  std::string top = root;
  if (top.empty() || top.back() != '/') top += '/';
  if (struct stat info; ::stat(top.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    enter(LibraryItem::kTopLevel, top, "", info);
  }
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.names.size()) {
      stack.pop_back();
      continue;
    }
    const std::string& name = frame.names[frame.next++];
    std::string full = frame.path + name;
    if (options.progress != nullptr) options.progress->SetWaitText(full);
    if (options.stop.stop_requested()) return false;
    LibraryItem item;
    // stat() follows links and never opens: a FIFO or device costs nothing here.
    if (::stat(full.c_str(), &item.info) != 0) continue;
    item.group = S_ISDIR(item.info.st_mode);
    if (!item.group && (options.groups_only || !IsCatalogFileType(item.info))) continue;
    item.parent = frame.item;
    item.relative_path = frame.relative + name;
    item.name = name;
    items->push_back(std::move(item));
    if (items->back().group) {
      const LibraryItem& group = items->back();
      // `frame` may dangle from here on.
      enter(items->size() - 1, std::move(full) + '/', group.relative_path + '/', group.info);
    }
  }
  return true;
}

}  // namespace lumivor
