#pragma once

#include <string>

namespace lumivor {

// What the program itself changed in a library, told by the desktop app and the command-line
// tool once the change is on disk, so that those who keep something about the library (its
// search index) follow at once. The catalog file, the scan and the library storage never tell:
// whatever a listener is not told, it must find by itself (the index compares every catalog
// file's stamp before each search).
class LibraryChanges {
 public:
  virtual ~LibraryChanges() = default;
  // The catalog file at `path` was written (saved, scanned, updated, imported), or the group at
  // `path` was made.
  virtual void Written(const std::string& path) = 0;
  // The catalog file or group at `path` was deleted.
  virtual void Removed(const std::string& path) = 0;
  // The catalog file or group at `from` was moved or renamed to `to`.
  virtual void Moved(const std::string& from, const std::string& to) = 0;
};

}  // namespace lumivor
