#include "config/app_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace lumivor {

namespace {

// $XDG_DATA_HOME/lumivor, or ~/.local/share/lumivor when the variable is unset, empty or not an
// absolute path (such values are to be ignored).
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

std::string ComputeDataDirectory() {
  const std::string executable_directory = ExecutableDirectory();
  if (!executable_directory.empty() && ::access(executable_directory.c_str(), W_OK | X_OK) == 0) {
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
