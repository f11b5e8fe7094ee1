#include "library/new_catalog_plan.h"

#include <sys/stat.h>

#include <cerrno>

#include "core/errors.h"
#include "core/path_text.h"
#include "library/library_storage.h"

namespace lumivor {

std::string_view NewCatalogRefusal(std::string_view group, std::string_view name) {
  if (const std::string_view refusal = CheckNewCatalogName(name); !refusal.empty()) return refusal;
  if (group.empty()) return {};
  if (group.back() == '/') return kInvalidGroup;
  for (std::string_view rest = group;;) {
    const std::size_t slash = rest.find('/');
    if (!IsValidLibraryName(rest.substr(0, slash))) return kInvalidGroup;
    if (slash == std::string_view::npos) return {};
    rest = rest.substr(slash + 1);
  }
}

NewCatalogPlan PlanNewCatalog(const std::string& library_root, std::string_view group,
                              std::string_view name) {
  NewCatalogPlan plan;
  plan.name = std::string(name);
  plan.group = std::string(group);
  plan.refusal = NewCatalogRefusal(group, name);
  if (!plan.refusal.empty()) return plan;
  std::string directory = WithoutTrailingBackslash(library_root);
  for (std::string_view rest = group; !rest.empty();) {
    const std::size_t slash = rest.find('/');
    directory = GroupPath(directory, rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    struct stat info;
    if (!plan.missing_groups.empty() || ::stat(directory.c_str(), &info) != 0) {
      plan.missing_groups.push_back(directory);
    }
  }
  plan.catalog_file = CatalogFilePath(directory, name);
  plan.exists = LibraryPathClashes(plan.catalog_file);
  return plan;
}

bool GroupBelowLibrary(std::string_view library_root, std::string_view group_directory,
                       std::string* group) {
  const std::string root = WithoutTrailingBackslash(library_root);
  const std::string directory = WithoutTrailingBackslash(group_directory);
  if (directory == root) {
    group->clear();
    return true;
  }
  const std::string prefix = WithTrailingBackslash(root);
  if (directory.compare(0, prefix.size(), prefix) != 0) return false;
  *group = directory.substr(prefix.size());
  return true;
}

void MakeMissingGroups(const NewCatalogPlan& plan) {
  for (const std::string& directory : plan.missing_groups) {
    if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
      throw LumivorError(directory + ": " + SystemMessage(errno));
    }
  }
}

}  // namespace lumivor
