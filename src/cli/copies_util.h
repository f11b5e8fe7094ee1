#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "copies/copy_finder.h"
#include "core/progress.h"

namespace lumivor::cli {

// One JSON object on one line, built key by key.
class JsonLine {
 public:
  JsonLine& Add(std::string_view key, std::string_view value);
  JsonLine& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonLine& Add(std::string_view key, std::uint64_t value);
  JsonLine& Add(std::string_view key, bool value);
  JsonLine& Add(std::string_view key, const std::vector<std::string>& values);
  // Adds `object` (another line's text, without its newline) under `key`.
  JsonLine& AddObject(std::string_view key, const std::string& object);
  // The object with its closing brace and a newline.
  [[nodiscard]] std::string Text() const { return text_ + "}\n"; }
  // The object with its closing brace, no newline.
  [[nodiscard]] std::string Object() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

// The catalog files of the scopes (group directories or catalog files); the whole library when
// `scopes` is empty. A scope that is neither raises LumivorError.
[[nodiscard]] std::vector<std::string> CatalogsOfScopes(const std::string& library,
                                                        const std::vector<std::string>& scopes,
                                                        Progress& progress);

// How a catalog is named in the output: its path within `library`, or the path as given.
[[nodiscard]] std::string CatalogLabel(const std::string& library, const std::string& path);

// The `--by` value: "hash" or "name-size".
[[nodiscard]] bool ParseCopyKey(const std::string& text, CopyKey* by);

// The files of the medium of every catalog in `catalogs` (see ContentEntrySink), each with the
// index of its catalog. Catalogs that cannot be read are passed over and counted in
// `*unreadable`. With `exclude_folder`, files that lie in that folder (by the catalog's recorded
// folder) are left out.
[[nodiscard]] std::vector<ContentEntry> ReadContentEntries(const std::vector<std::string>& catalogs,
                                                           const std::string& exclude_folder,
                                                           Progress& progress,
                                                           std::size_t* unreadable);

// The real path of `path`, or `path` itself when it cannot be resolved.
[[nodiscard]] std::string RealPathOr(const std::string& path);

}  // namespace lumivor::cli
