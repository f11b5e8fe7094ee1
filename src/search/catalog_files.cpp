#include "search/catalog_files.h"

#include <algorithm>
#include <utility>

#include "library/catalog_enumerator.h"

namespace lumivor {

bool ListCatalogFiles(const std::string& directory, Progress& progress, std::stop_token stop,
                      std::vector<CatalogFile>* files, std::size_t* unreadable_folders) {
  std::vector<LibraryItem> items;
  EnumerateOptions options;
  options.progress = &progress;
  options.stop = std::move(stop);
  options.unreadable_folders = unreadable_folders;
  const bool finished = EnumerateLibrary(directory, options, &items);
  for (LibraryItem& item : items) {
    if (!item.group) files->push_back({std::move(item.relative_path), StampOf(item.info)});
  }
  if (!finished) return false;
  std::sort(files->begin(), files->end(), [](const CatalogFile& a, const CatalogFile& b) {
    return a.relative_path < b.relative_path;
  });
  return true;
}

}  // namespace lumivor
