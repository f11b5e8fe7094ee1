#include "config/app_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace lumivor {

// The build tree this program was compiled in (set for this file alone by the build).
#ifndef LUMIVOR_BUILD_DIR
#define LUMIVOR_BUILD_DIR ""
#endif
#ifndef LUMIVOR_SOURCE_DIR
#define LUMIVOR_SOURCE_DIR ""
#endif

std::string UserDataDirectory() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/lumivor";
  std::string home;
  if (const char* env_home = std::getenv("HOME"); env_home != nullptr && env_home[0] == '/') {
    home = env_home;
  } else if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir) {
    home = entry->pw_dir;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home == "/") home.clear();
  return home + "/.local/share/lumivor";
}

bool RunsFromBuildTree(const std::string& executable_directory,
                       const std::string& build_directory) {
  if (executable_directory.empty() || build_directory.empty()) return false;
  std::string build = build_directory;
  while (build.size() > 1 && build.back() == '/') build.pop_back();
  const bool inside = executable_directory == build ||
                      (executable_directory.size() > build.size() &&
                       executable_directory.compare(0, build.size(), build) == 0 &&
                       (build == "/" || executable_directory[build.size()] == '/'));
  if (!inside) return false;
  // A copy installed into a prefix below an old build tree, or a tree whose build was deleted,
  // is no longer the build: the cache file marks a live one.
  std::error_code error;
  return std::filesystem::is_regular_file(build + "/CMakeCache.txt", error);
}

std::string FindHelpFile(std::vector<std::string>* looked_in) {
  const std::string executable_directory = ExecutableDirectory();
  std::vector<std::string> places;
  if (RunsFromBuildTree(executable_directory, LUMIVOR_BUILD_DIR) &&
      std::string_view(LUMIVOR_SOURCE_DIR).size() > 0) {
    places.push_back(std::string(LUMIVOR_SOURCE_DIR) + "/README.md");
  }
  if (!executable_directory.empty()) {
    places.push_back(std::filesystem::path(executable_directory + "/../share/doc/lumivor/README.md")
                         .lexically_normal()
                         .string());
  }
  std::string found;
  for (const std::string& place : places) {
    std::error_code error;
    if (std::filesystem::is_regular_file(place, error)) {
      found = place;
      break;
    }
  }
  if (looked_in != nullptr) *looked_in = std::move(places);
  return found;
}

namespace {

std::string ComputeDataDirectory() {
  const std::string executable_directory = ExecutableDirectory();
  if (RunsFromBuildTree(executable_directory, LUMIVOR_BUILD_DIR) &&
      ::access(executable_directory.c_str(), W_OK | X_OK) == 0) {
    return executable_directory;
  }
  std::string directory = UserDataDirectory();
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

}  // namespace

std::string ExecutableDirectory() {
  std::error_code error;
  const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || executable.empty()) return {};
  std::string directory = executable.parent_path().string();
  if (directory.empty()) directory.push_back('/');
  return directory;
}

std::string DataDirectory() {
  const char* chosen = std::getenv("LUMIVOR_DATA_DIR");
  if (chosen == nullptr || chosen[0] == '\0') return DefaultDataDirectory();
  std::error_code ignored;
  const std::filesystem::path path = std::filesystem::absolute(chosen, ignored).lexically_normal();
  std::filesystem::create_directories(path, ignored);
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string DefaultDataDirectory() {
  // A function-local static: computed once, thread-safe, the same for the whole run.
  static const std::string directory = ComputeDataDirectory();
  return directory;
}

}  // namespace lumivor
