#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumivor {

// The refusal of a group path whose parts are not all valid names.
inline constexpr std::string_view kInvalidGroup = "Invalid group.";

// Where a new catalog goes and what making it takes, decided before anything is scanned, the same
// way for every route that makes one (the New Catalog dialog, `lumivor-cli scan`, a server
// library's scan). The caller shows the refusal, or asks before replacing (`exists`), then scans
// and saves.
struct NewCatalogPlan {
  // Why the catalog cannot be made: kInvalidName or kCatalogNameTooLong for the name,
  // kInvalidGroup for the group; empty when it can.
  std::string_view refusal;
  std::string group;         // the group's path below the library ("" for the top, "Mp3/Live")
  std::string name;          // the catalog's name as typed
  std::string catalog_file;  // folder libraries: the file the catalog is written to
  bool exists = false;       // a catalog of that name is there already: replaced only when allowed
  // Folder libraries: the group directories that do not exist yet, outermost first.
  std::vector<std::string> missing_groups;
};

// The refusal of a new catalog `name` in the group path `group`, checked before anything else (by
// PlanNewCatalog too): kInvalidName or kCatalogNameTooLong for the name, kInvalidGroup when a part
// of the group path is not a valid library name; empty when acceptable.
[[nodiscard]] std::string_view NewCatalogRefusal(std::string_view group, std::string_view name);

// The plan for a catalog named `name` in the group `group` (a path below the library root
// `library_root`, "/"-separated; "" for the top) of a folder library. Each part of the group path
// must be a valid library name; the name must pass CheckNewCatalogName. Touches nothing on disk.
[[nodiscard]] NewCatalogPlan PlanNewCatalog(const std::string& library_root, std::string_view group,
                                            std::string_view name);

// The group path below `library_root` of the directory `group_directory` ("" for the root
// itself); false when the directory does not lie in the library.
[[nodiscard]] bool GroupBelowLibrary(std::string_view library_root,
                                     std::string_view group_directory, std::string* group);

// Makes the plan's missing group directories. Raises LumivorError naming the directory and the
// system's reason when one cannot be made.
void MakeMissingGroups(const NewCatalogPlan& plan);

}  // namespace lumivor
