#include <sys/stat.h>

#include <cerrno>
#include <iostream>

#include "cli/commands.h"
#include "core/errors.h"
#include "core/file_info.h"
#include "core/scanner.h"
#include "core/volumes.h"

namespace lumivor::cli {

namespace {

struct ScanOptions {
  std::string source, name, group, library;
  std::vector<std::string> extensions;
  bool only_folders = false;
  bool force = false;
  CLI::Option* group_option = nullptr;  // tells whether --group was given, even empty
};

// A catalog or group name must stay one entry of its folder.
bool IsValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// Draws "N entries  folder" while the scan runs.
class ScanLine final : public ScanListener {
 public:
  explicit ScanLine(TerminalProgress& progress) : progress_(progress) {}
  void FolderEntered(std::size_t records, std::string_view folder) override {
    progress_.SetCount(records);
    progress_.SetWaitText(folder);
  }

 private:
  TerminalProgress& progress_;
};

int RunScan(const ScanOptions& options) {
  if (!IsValidName(options.name)) {
    std::cerr << "Invalid name.\n";
    return 1;
  }
  const bool grouped = options.group_option->count() > 0;
  if (grouped && !IsValidName(options.group)) {
    std::cerr << "Invalid group.\n";
    return 1;
  }
  if (!IsDirectory(options.source)) {
    std::cerr << options.source << ": "
              << (Exists(options.source) ? "Not a folder" : SystemMessage(ENOENT)) << '\n';
    return 1;
  }
  if (!IsDirectory(options.library)) {
    std::cerr << options.library << ": No catalog library there\n";
    return 1;
  }
  std::string folder(WithoutTrailingSlash(options.library));
  if (folder != "/") folder += '/';
  if (grouped) {
    folder += options.group;
    if (!IsDirectory(folder) && ::mkdir(folder.c_str(), 0777) != 0) {
      std::cerr << folder << ": " << SystemMessage(errno) << '\n';
      return 1;
    }
    folder += '/';
  }
  const std::string catalog_file = folder + options.name + std::string(kCatalogExtension);
  if (Exists(catalog_file) && !options.force) {
    std::cerr << catalog_file
              << ": Catalog with the same name already exists, use --force to overwrite\n";
    return 1;
  }

  // The list entries as the new-catalog dialog holds them: "*." and the extension.
  std::vector<std::string> entries;
  for (const std::string& extension : options.extensions) {
    if (extension.rfind("*.", 0) == 0) {
      entries.push_back(extension);
    } else if (extension.rfind('.', 0) == 0) {
      entries.push_back("*" + extension);
    } else {
      entries.push_back("*." + extension);
    }
  }
  const std::string filter = options.only_folders ? std::string() : ExtFilterOf(entries);

  TerminalProgress progress;
  ScanLine line(progress);
  CatalogTree tree;
  ScanFolder(&tree, options.source, options.only_folders, filter, catalog_file, progress, &line);
  try {
    SaveCatalog(tree, catalog_file, progress);
  } catch (const LumivorError& e) {
    progress.ShowWait(false, false);
    std::cerr << e.what() << '\n';
    return 1;
  }
  progress.ShowWait(false, false);
  std::cout << catalog_file << '\n';
  return 0;
}

Command AddScanCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "scan", "Catalogue a folder or drive into GROUP/NAME.xml of the catalog library");
  auto options = std::make_shared<ScanOptions>();
  command->add_option("SOURCE", options->source, "The folder or drive to catalogue")->required();
  command->add_option("--name", options->name, "The catalog's name")->required();
  options->group_option =
      command->add_option("--group", options->group, "The group (library folder), made if missing");
  auto* only = command->add_flag("--only-folders", options->only_folders,
                                 "Record folders only, without sizes");
  auto* ext = command
                  ->add_option("--ext", options->extensions,
                               "Record only files with these extensions, such as txt,doc")
                  ->delimiter(',');
  only->excludes(ext);
  ext->excludes(only);
  command->add_option("--library", options->library, "The catalog library folder")->required();
  command->add_flag("--force", options->force, "Replace a catalog of the same name");
  return {command, [options]() { return RunScan(*options); }};
}

const CommandRegistration kRegistration(20, AddScanCommand);

}  // namespace

}  // namespace lumivor::cli
