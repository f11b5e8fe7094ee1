#pragma once

#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

#include "core/input_file.h"
#include "core/progress.h"

namespace lumivor {

// One catalog file below a searched directory.
struct CatalogFile {
  std::string relative_path;  // below the directory, "/"-separated, no leading "/"
  FileStamp stamp;
};

// Every catalog file below `directory` (what EnumerateLibrary takes as one), at any depth, sorted
// by its path relative to `directory` (byte order), so that a library is searched in the same order
// on every machine. Symbolic links are followed and every directory is entered once. The hidden
// temporary files of saves (IsTemporaryFileName) are no catalogs and are passed over. Sets each
// entry's path as the progress text and looks at `stop` after each; false when a stop was
// requested (`files` then holds what was found so far, unsorted). Directories that cannot be
// listed are counted in
// `*unreadable_folders` when it is given.
bool ListCatalogFiles(const std::string& directory, Progress& progress, std::stop_token stop,
                      std::vector<CatalogFile>* files, std::size_t* unreadable_folders = nullptr);

}  // namespace lumivor
