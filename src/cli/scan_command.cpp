#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <iostream>

#include "catalog/catalog_file.h"
#include "cli/commands.h"
#include "copies/catalog_hashes.h"
#include "core/errors.h"
#include "index/index_follower.h"
#include "library/library_storage.h"
#include "library/new_catalog_plan.h"
#include "scan/scanner.h"
#include "scan/volumes.h"
#include "server/pg_connection.h"
#include "server/server_library.h"
#include "update/catalog_update.h"

namespace lumivor::cli {

namespace {

struct ScanOptions {
  std::string source, name, group, library;
  std::vector<std::string> extensions;
  bool only_folders = false;
  bool force = false;
  bool drop_descriptions = false;
  bool hash = false;
  DeepScanOptions deep;
  CLI::Option* group_option = nullptr;  // tells whether --group was given, even empty
};

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

// Why the scan may not replace the catalog `plan` names (shown as `catalog_file`); empty when
// there is none or it may. A new scan keeps none of the old catalog's descriptions: replacing
// one that holds any takes being told twice. An update keeps them.
std::string ReplaceRefusal(const ScanOptions& options, const NewCatalogPlan& plan,
                           const std::string& catalog_file, bool server) {
  if (!plan.exists) return {};
  if (!options.force) {
    return catalog_file + ": Catalog with the same name already exists, use --force to overwrite";
  }
  if (server || options.drop_descriptions) return {};
  std::size_t notes = 0;
  try {
    notes = CountDescriptions(catalog_file);
  } catch (const LumivorError& e) {
    return catalog_file + ": its descriptions cannot be counted (" + e.what() +
           "); use --drop-descriptions to replace it anyway";
  }
  if (notes == 0) return {};
  return catalog_file + ": the catalog holds " + DescriptionCountText(notes) +
         ", which a new scan would lose; keep them with: lumivor-cli update '" + catalog_file +
         "' --from '" + options.source + "', or use --drop-descriptions to replace it";
}

// The refusal of the first extension that names none; empty when all are good. "txt", ".txt",
// "*.txt" and "*.TXT" all name the extension txt, as in the new-catalog dialog.
std::string BadExtensionText(const std::vector<std::string>& extensions) {
  for (const std::string& extension : extensions) {
    if (NormalizeExtension(extension).empty()) {
      return "Invalid extension: \"" + extension +
             "\": " + std::string(ExtensionRefusal(extension));
    }
  }
  return {};
}

int RunScan(const ScanOptions& options) {
  // A catalog or group name must stay one entry of its folder; checked before the scan.
  const bool grouped = options.group_option->count() > 0;
  std::string_view refusal = NewCatalogRefusal(options.group, options.name);
  // --group names one group of the library's top, made when missing.
  if (refusal.empty() && grouped && !IsValidLibraryName(options.group)) refusal = kInvalidGroup;
  if (!refusal.empty()) {
    std::cerr << refusal << '\n';
    return 1;
  }
  if (!IsDirectory(options.source)) {
    std::cerr << options.source << ": "
              << (Exists(options.source) ? "Not a folder" : SystemMessage(ENOENT)) << '\n';
    return 1;
  }
  // A library named on the command line must exist (a typo should not start a new one); the
  // default library is made with its groups on first use, as the program does.
  std::string library = options.library;
  if (library.empty()) library = DefaultLibrary();
  std::unique_ptr<ServerLibrary> server;
  if (pg::IsServerLocation(library)) server = std::make_unique<ServerLibrary>(library);
  if (!server && !IsDirectory(library)) {
    std::cerr << library << ": No catalog library there\n";
    return 1;
  }
  const NewCatalogPlan plan = server ? server->PlanNewCatalog(options.group, options.name)
                                     : PlanNewCatalog(library, options.group, options.name);
  try {
    MakeMissingGroups(plan);
  } catch (const LumivorError& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  // A server's catalog is shown by where it lies; its records are named after the catalog.
  const std::string catalog_file = server ? server->Location() + "/" +
                                                (plan.group.empty() ? "" : plan.group + "/") +
                                                plan.name + ".xml"
                                          : plan.catalog_file;
  if (const std::string refusal_text =
          ReplaceRefusal(options, plan, catalog_file, server != nullptr);
      !refusal_text.empty()) {
    std::cerr << refusal_text << '\n';
    return 1;
  }
  if (const std::string bad = BadExtensionText(options.extensions); !bad.empty()) {
    std::cerr << bad << '\n';
    return 1;
  }
  const std::string filter = options.only_folders ? std::string() : ExtFilterOf(options.extensions);

  TerminalProgress progress;
  ScanLine line(progress);
  ScanReport report;
  HashReport hashes;
  // A scan that could not finish saves nothing: a part of the folder is no catalog of it.
  try {
    if (!server && !options.hash && !options.deep.Any()) {
      // Nothing else needs the catalog's tree: the catalog is written from the folders' listings.
      ScanFolderToCatalog(options.source, options.only_folders, filter, catalog_file, progress,
                          &line, &report);
    } else {
      CatalogTree tree;
      ScanFolder(&tree, options.source, options.only_folders, filter, catalog_file, progress, &line,
                 &report, options.deep);
      if (!report.cancelled) {
        if (options.hash && !options.only_folders) {
          const ProgressShown shown(progress);
          hashes = HashCatalogFiles(tree, options.source, {}, {}, progress);
        }
        if (server) {
          server->SaveNewCatalog(plan, tree);
        } else {
          SaveCatalog(tree, catalog_file, progress);
        }
      }
    }
    if (report.cancelled) {
      std::cerr << "The scan was cancelled; no catalog was saved.\n";
      return 1;
    }
    if (!server) IndexFollower().Written(catalog_file);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  if (report.unreadable_folders > 0)
    std::cerr << UnreadableFoldersText(report.unreadable_folders) << '\n';
  const std::string note = DeepScanNote(options.deep, report.deep);
  if (!note.empty()) std::cerr << note << '\n';
  if (hashes.unreadable > 0) std::cerr << UnhashedFilesText(hashes.unreadable) << '\n';
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
  command->add_option("--library", options->library,
                      "The catalog library folder (default: the configured library)");
  command->add_flag("--force", options->force, "Replace a catalog of the same name");
  command->add_flag("--drop-descriptions", options->drop_descriptions,
                    "With --force: replace the catalog even when it holds descriptions, which "
                    "are lost (an update keeps them)");
  command->add_flag("--archives", options->deep.archives,
                    "List what is inside zip, 7z, rar, tar, iso and cpio archives");
  command->add_flag("--hash", options->hash,
                    "Store the content hash of every file (xxh128), to find copies later");
  command->add_flag("--metadata", options->deep.metadata,
                    "Read the tags of music, photos and videos");
  return {command, [options]() { return RunScan(*options); }};
}

const CommandRegistration kRegistration(20, AddScanCommand);

}  // namespace

}  // namespace lumivor::cli
