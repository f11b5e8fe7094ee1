#include "cli/copies_util.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "catalog/catalog_reader.h"
#include "cli/commands.h"
#include "core/errors.h"
#include "search/catalog_files.h"

namespace lumivor::cli {

void JsonLine::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  AppendJsonString(text_, key);
  text_ += ':';
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
  Key(key);
  AppendJsonString(text_, value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, std::uint64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  text_ += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ',';
    AppendJsonString(text_, values[i]);
  }
  text_ += ']';
  return *this;
}

JsonLine& JsonLine::AddObject(std::string_view key, const std::string& object) {
  Key(key);
  text_ += object;
  return *this;
}

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
    ListCatalogFiles(scope, progress, &files);
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

bool ParseCopyKey(const std::string& text, CopyKey* by) {
  if (text == "hash") {
    *by = CopyKey::kHash;
  } else if (text == "name-size") {
    *by = CopyKey::kNameSize;
  } else {
    return false;
  }
  return true;
}

std::vector<ContentEntry> ReadContentEntries(const std::vector<std::string>& catalogs,
                                             const std::string& exclude_folder, Progress& progress,
                                             std::size_t* unreadable) {
  std::vector<ContentEntry> entries;
  CatalogFileReader reader;
  CatalogReadOptions options;
  options.xml_only = true;
  for (std::size_t i = 0; i < catalogs.size(); ++i) {
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

}  // namespace lumivor::cli
