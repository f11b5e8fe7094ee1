#include "index/index_follower.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "core/errors.h"
#include "core/path_text.h"
#include "index/library_index.h"

namespace lumivor {

namespace {

// Calls `act` with the index of every library above `path` (its directory and each directory
// above that) that has an index file. An index that cannot be opened or fails while it follows
// is passed over: it compares stamps before the next search.
template <typename Act>
void ForEachIndexAbove(const std::string& path, const std::stop_token& stop, Act&& act) {
  std::error_code error;
  std::filesystem::path directory =
      std::filesystem::weakly_canonical(WithoutTrailingBackslash(path), error).parent_path();
  if (error) return;
  for (;;) {
    if (stop.stop_requested()) return;
    const std::string library = directory.string();
    const std::string index_path = IndexPathFor(library);
    if (struct stat info; ::stat(index_path.c_str(), &info) == 0) {
      try {
        LibraryIndex index(library, index_path);
        act(index);
      } catch (const LumivorError&) {
        // Typed failures only (a locked or damaged index): see above.
      }
    }
    if (!directory.has_parent_path() || directory.parent_path() == directory) break;
    directory = directory.parent_path();
  }
}

}  // namespace

void IndexFollower::Written(const std::string& path) {
  ForEachIndexAbove(path, stop_, [&](LibraryIndex& index) { index.Refresh(path, stop_); });
}

void IndexFollower::Removed(const std::string& path) { Written(path); }

void IndexFollower::Moved(const std::string& from, const std::string& to) {
  ForEachIndexAbove(to, stop_, [&](LibraryIndex& index) { index.Moved(from, to, stop_); });
}

}  // namespace lumivor
