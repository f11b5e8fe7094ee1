#include "core/prompts.h"

#include <sys/stat.h>

namespace lumivor {

namespace {
bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}
}  // namespace

std::string AskOpenFileName(Prompts& prompts, std::string_view default_ext, std::string_view filter,
                            std::string_view initial_name) {
  std::string path = prompts.ChooseOpenFile(default_ext, filter, initial_name);
  if (path.empty()) return {};
  if (Exists(path)) return path;
  prompts.ShowMessage("Warning", kFileDoesNotExist, MessageIcon::kQuestion);
  return {};
}

std::string AskSaveFileName(Prompts& prompts, std::string_view default_ext, std::string_view filter,
                            std::string_view initial_name) {
  std::string path = prompts.ChooseSaveFile(default_ext, filter, initial_name);
  if (path.empty()) return {};
  if (Exists(path) && !prompts.AskYesNo("Warning", kOverwriteQuestion, MessageIcon::kQuestion)) {
    return {};
  }
  return path;
}

}  // namespace lumivor
