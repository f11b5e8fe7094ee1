#include "search/catalog_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

#include "core/atomic_file.h"

namespace lumivor {

namespace {

struct DirectoryEntry {
  std::string name;
  unsigned char type;
};

// The entries of `directory` but "." and ".." and the temporary files of saves; nullopt when the
// directory cannot be listed.
std::optional<std::vector<DirectoryEntry>> ListDirectory(const std::string& directory) {
  std::vector<DirectoryEntry> entries;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return std::nullopt;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || IsTemporaryFileName(name)) continue;
    entries.push_back({std::string(name), entry->d_type});
  }
  ::closedir(dir);
  // Byte order, so that the walk (and with it which of two links to one directory is entered)
  // is the same on every machine.
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace

bool ListCatalogFiles(const std::string& directory, Progress& progress, std::stop_token stop,
                      std::vector<CatalogFile>* files, std::size_t* unreadable_folders) {
  struct Frame {
    std::string path;      // with trailing "/"
    std::string relative;  // with trailing "/", or empty for the top
    std::vector<DirectoryEntry> entries;
    std::size_t next = 0;
  };
  std::set<std::pair<std::uint64_t, std::uint64_t>> visited;
  std::vector<Frame> stack;
  auto enter = [&](std::string path, std::string relative) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    // A directory reached twice (through a link) is listed once.
    if (!visited.insert({st.st_dev, st.st_ino}).second) return;
    std::optional<std::vector<DirectoryEntry>> entries = ListDirectory(path);
    if (!entries) {
      if (unreadable_folders) ++*unreadable_folders;
      return;
    }
    stack.push_back({std::move(path), std::move(relative), std::move(*entries), 0});
  };
  std::string top = directory;
  if (top.empty() || top.back() != '/') top += '/';
  enter(top, "");
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.entries.size()) {
      stack.pop_back();
      continue;
    }
    const DirectoryEntry& entry = frame.entries[frame.next++];
    std::string full = frame.path + entry.name;
    std::string relative = frame.relative + entry.name;
    progress.SetWaitText(full);
    if (stop.stop_requested()) return false;
    struct stat st;
    if (::stat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      enter(full + '/', relative + '/');  // `frame` may dangle from here on
    } else if (S_ISREG(st.st_mode)) {
      files->push_back({std::move(relative), StampOf(st)});
    }
  }
  std::sort(files->begin(), files->end(), [](const CatalogFile& a, const CatalogFile& b) {
    return a.relative_path < b.relative_path;
  });
  return true;
}

}  // namespace lumivor
