#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

#include "core/progress.h"

namespace lumivor {

// One group or catalog of a library folder.
struct LibraryItem {
  // The group holding the item, as an index into the same list; kTopLevel for the library's top.
  static constexpr std::size_t kTopLevel = static_cast<std::size_t>(-1);
  std::size_t parent = kTopLevel;
  std::string relative_path;  // below the library root, "/"-separated, no leading "/"
  std::string name;           // the last component of relative_path, as on disk
  bool group = false;         // a directory; otherwise a catalog
  struct stat info {};        // of what a link points to
};

// What EnumerateLibrary looks at and tells.
struct EnumerateOptions {
  bool groups_only = false;  // list directories only
  // Given: each item's path is set as the progress text.
  Progress* progress = nullptr;
  // Looked at after each item; a requested stop ends the listing.
  std::stop_token stop;
  // Given: counts the directories that could not be listed.
  std::size_t* unreadable_folders = nullptr;
};

// The groups and catalogs below the library folder `root`, every group before what it holds,
// each folder's entries in byte order of their names. What counts as a catalog is decided here
// for every route (listing, library window, search, index): a regular file, or a symbolic link to
// one, other than the hidden temporary file of a save in progress. A FIFO, socket, device or
// dangling link is neither listed nor opened: only stat() is called on it, which never waits.
// Links to directories are followed and every directory is entered once. An unlistable root lists
// nothing. False when a stop was requested (`items` then holds what was found so far).
bool EnumerateLibrary(const std::string& root, const EnumerateOptions& options,
                      std::vector<LibraryItem>* items);

// True when `info` describes something the library takes as a catalog file.
[[nodiscard]] inline bool IsCatalogFileType(const struct stat& info) {
  return S_ISREG(info.st_mode);
}

}  // namespace lumivor
