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

// Why the options cannot be scanned, found before the library is looked at: a catalog or group
// name that cannot stay one entry of its folder, or a source that is no folder; empty when none.
std::string OptionsRefusal(const ScanOptions& options) {
  const bool grouped = options.group_option->count() > 0;
  std::string_view refusal = NewCatalogRefusal(options.group, options.name);
  // --group names one group of the library's top, made when missing.
  if (refusal.empty() && grouped && !IsValidLibraryName(options.group)) refusal = kInvalidGroup;
  if (!refusal.empty()) return std::string(refusal);
  if (!IsDirectory(options.source)) {
    return options.source + ": " +
           (Exists(options.source) ? std::string("Not a folder") : SystemMessage(ENOENT));
  }
  return {};
}

// Where the scan's catalog goes.
struct ScanTarget {
  std::unique_ptr<ServerLibrary> server;  // null: a library in a folder
  NewCatalogPlan plan;
  std::string catalog_file;  // the catalog as shown
};

// Plans the catalog of `options` in its library into `target` and makes the groups it needs.
// A library named on the command line must exist (a typo should not start a new one); the
// default library is made with its groups on first use, as the program does. Returns why the
// catalog cannot be made or replaced; empty when it can.
std::string PlanTarget(const ScanOptions& options, ScanTarget* target) {
  std::string library = options.library;
  if (library.empty()) library = DefaultLibrary();
  if (pg::IsServerLocation(library)) target->server = std::make_unique<ServerLibrary>(library);
  ServerLibrary* const server = target->server.get();
  if (!server && !IsDirectory(library)) return library + ": No catalog library there";
  target->plan = server ? server->PlanNewCatalog(options.group, options.name)
                        : PlanNewCatalog(library, options.group, options.name);
  try {
    MakeMissingGroups(target->plan);
  } catch (const LumivorError& e) {
    return e.what();
  }
  // A server's catalog is shown by where it lies; its records are named after the catalog.
  const NewCatalogPlan& plan = target->plan;
  target->catalog_file = server
                             ? server->Location() + "/" +
                                   (plan.group.empty() ? "" : plan.group + "/") + plan.name + ".xml"
                             : plan.catalog_file;
  return ReplaceRefusal(options, plan, target->catalog_file, server != nullptr);
}

// Scans the source of `options` into the catalog of `target` (entries passing `filter`), its
// files hashed when asked. A scan that could not finish saves nothing (`report->cancelled`): a
// part of the folder is no catalog of it.
void ScanAndSave(const ScanOptions& options, const ScanTarget& target, const std::string& filter,
                 TerminalProgress& progress, ScanLine* line, ScanReport* report,
                 HashReport* hashes) {
  if (!target.server && !options.hash && !options.deep.Any()) {
    // Nothing else needs the catalog's tree: the catalog is written from the folders' listings.
    ScanFolderToCatalog(options.source, options.only_folders, filter, target.catalog_file, progress,
                        line, report);
    return;
  }
  CatalogTree tree;
  ScanFolder(&tree, options.source, options.only_folders, filter, target.catalog_file, progress,
             line, report, options.deep);
  if (report->cancelled) return;
  if (options.hash && !options.only_folders) {
    const ProgressShown shown(progress);
    *hashes = HashCatalogFiles(tree, options.source, {}, {}, progress);
  }
  if (target.server) {
    target.server->SaveNewCatalog(target.plan, tree);
  } else {
    SaveCatalog(tree, target.catalog_file, progress);
  }
}

// What the scan could not read or do, on the error stream.
void ShowScanNotes(const ScanOptions& options, const ScanReport& report, const HashReport& hashes) {
  if (report.unreadable_folders > 0)
    std::cerr << UnreadableFoldersText(report.unreadable_folders) << '\n';
  const std::string note = DeepScanNote(options.deep, report.deep);
  if (!note.empty()) std::cerr << note << '\n';
  if (hashes.unreadable > 0) std::cerr << UnhashedFilesText(hashes.unreadable) << '\n';
}

int RunScan(const ScanOptions& options) {
  ScanTarget target;
  std::string refusal = OptionsRefusal(options);
  if (refusal.empty()) refusal = PlanTarget(options, &target);
  if (refusal.empty()) refusal = BadExtensionText(options.extensions);
  if (!refusal.empty()) {
    std::cerr << refusal << '\n';
    return 1;
  }
  const std::string filter = options.only_folders ? std::string() : ExtFilterOf(options.extensions);

  TerminalProgress progress;
  ScanLine line(progress);
  ScanReport report;
  HashReport hashes;
  try {
    ScanAndSave(options, target, filter, progress, &line, &report, &hashes);
    if (report.cancelled) {
      std::cerr << "The scan was cancelled; no catalog was saved.\n";
      return 1;
    }
    if (!target.server) IndexFollower().Written(target.catalog_file);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  ShowScanNotes(options, report, hashes);
  std::cout << target.catalog_file << '\n';
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
