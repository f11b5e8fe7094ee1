#include <sys/stat.h>

#include <cerrno>
#include <iostream>

#include "cli/commands.h"
#include "core/errors.h"
#include "import/listing_import.h"
#include "index/index_follower.h"
#include "library/library_storage.h"

namespace lumivor::cli {

namespace {

struct ImportOptions {
  std::string source, name, group, library, format;
  bool force = false;
  CLI::Option* group_option = nullptr;  // tells whether --group was given, even empty
};

bool IsDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int RunImport(const ImportOptions& options) {
  if (const std::string_view refusal = CheckNewCatalogName(options.name); !refusal.empty()) {
    std::cerr << refusal << '\n';
    return 1;
  }
  const bool grouped = options.group_option->count() > 0;
  if (grouped && !IsValidLibraryName(options.group)) {
    std::cerr << "Invalid group.\n";
    return 1;
  }
  ImportRequest request;
  request.source = options.source;
  request.name = options.name;
  request.force = options.force;
  if (!options.format.empty()) request.format = ListingFormatNamed(options.format);
  // A library named on the command line must exist; the default one is made on first use.
  std::string library = options.library;
  if (library.empty()) library = DefaultLibrary();
  if (!IsDirectory(library)) {
    std::cerr << library << ": No catalog library there\n";
    return 1;
  }
  request.folder = WithoutTrailingBackslash(library);
  if (grouped) {
    request.folder = GroupPath(request.folder, options.group);
    if (!IsDirectory(request.folder) && ::mkdir(request.folder.c_str(), 0777) != 0) {
      std::cerr << request.folder << ": " << SystemMessage(errno) << '\n';
      return 1;
    }
  }
  TerminalProgress progress;
  ImportControl control;
  control.progress = [&progress](std::size_t entries) { progress.SetCount(entries); };
  ImportOutcome outcome;
  try {
    ProgressShown shown(progress);
    progress.SetWaitText("Importing..");
    outcome = ImportListing(request, control);
  } catch (const LumivorError& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  IndexFollower index;
  for (const std::string& catalog : outcome.catalogs) {
    index.Written(catalog);
    std::cout << catalog << '\n';
  }
  std::cout << ImportCountsText(outcome.counts) << '\n';
  return 0;
}

Command AddImportCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "import",
      "Make catalogs from the listings of other tools (ncdu exports, mtree specifications, "
      "hashdeep manifests, catcli catalogs)");
  auto options = std::make_shared<ImportOptions>();
  command->add_option("FILE", options->source, "The listing; - reads standard input")->required();
  command
      ->add_option("--name", options->name,
                   "The catalog's name (the prefix of each storage's catalog when a catcli "
                   "catalog holds several)")
      ->required();
  options->group_option =
      command->add_option("--group", options->group, "The group (library folder), made if missing");
  command
      ->add_option("--format", options->format,
                   "ncdu, mtree, hashdeep or catcli (default: told from the content)")
      ->check(CLI::IsMember({"ncdu", "mtree", "hashdeep", "catcli"}));
  command->add_option("--library", options->library,
                      "The catalog library folder (default: the configured library)");
  command->add_flag("--force", options->force, "Replace catalogs of the same names");
  return {command, [options]() { return RunImport(*options); }};
}

const CommandRegistration kRegistration(22, AddImportCommand);

}  // namespace

}  // namespace lumivor::cli
