#include "copies/library_content.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "catalog/catalog_reader.h"
#include "core/errors.h"
#include "search/catalog_files.h"

namespace lumivor {

std::string RealPathOr(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string result(real);
  std::free(real);
  return result;
}

std::vector<std::string> CatalogsOfScopes(const std::string& library,
                                          const std::vector<std::string>& scopes,
                                          Progress& progress) {
  std::vector<std::string> catalogs;
  const std::vector<std::string> all{library};
  for (const std::string& scope : scopes.empty() ? all : scopes) {
    struct stat info;
    if (::stat(scope.c_str(), &info) != 0) throw LumivorError(scope + ": " + SystemMessage(errno));
    if (S_ISREG(info.st_mode)) {
      catalogs.push_back(scope);
      continue;
    }
    if (!S_ISDIR(info.st_mode)) throw LumivorError(scope + ": Not a group or catalog file");
    std::vector<CatalogFile> files;
    ListCatalogFiles(scope, progress, {}, &files);
    std::string folder = scope;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    for (const CatalogFile& file : files) catalogs.push_back(folder + "/" + file.relative_path);
  }
  return catalogs;
}

std::string CatalogLabel(const std::string& library, const std::string& path) {
  std::string root = library;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
      path[root.size()] == '/') {
    return path.substr(root.size() + 1);
  }
  return path;
}

std::vector<ContentEntry> ReadContentEntries(const std::vector<std::string>& catalogs,
                                             const std::string& exclude_folder, Progress& progress,
                                             std::size_t* unreadable, std::stop_token stop,
                                             bool* cancelled) {
  std::vector<ContentEntry> entries;
  CatalogFileReader reader;
  CatalogReadOptions options;
  options.xml_only = true;
  for (std::size_t i = 0; i < catalogs.size(); ++i) {
    if (stop.stop_requested()) {
      if (cancelled) *cancelled = true;
      break;
    }
    progress.SetWaitText(catalogs[i]);
    ContentEntrySink sink(&entries, static_cast<std::uint32_t>(i), exclude_folder);
    const CatalogReadStatus status = reader.Read(catalogs[i], sink, options);
    if (status == CatalogReadStatus::kMissing || status == CatalogReadStatus::kUnreadable) {
      sink.Restart();
      if (unreadable) ++*unreadable;
    }
  }
  return entries;
}

}  // namespace lumivor
