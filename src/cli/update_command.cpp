#include <iostream>

#include "cli/commands.h"
#include "cli/named_catalog.h"
#include "copies/catalog_hashes.h"
#include "core/errors.h"
#include "index/index_follower.h"
#include "update/catalog_update.h"

namespace lumivor::cli {

namespace {

struct UpdateOptions {
  std::string catalog, library;
  UpdateRequest request;
  bool hash = false;
  bool rehash = false;
};

int RunUpdate(const UpdateOptions& options) {
  TerminalProgress progress;
  UpdateOutcome outcome;
  HashReport hashes;
  UpdateRequest request = options.request;
  if (options.hash || options.rehash) {
    request.before_save = [&](CatalogTree& merged, const std::string& source) {
      HashOptions hashing;
      hashing.rehash = options.rehash;
      hashes = HashCatalogFiles(merged, source, hashing, {}, progress);
      return !hashes.cancelled;
    };
  }
  try {
    NamedCatalog catalog(options.library, options.catalog);
    outcome = UpdateCatalogFile(catalog.Path(), request, progress);
    // A server's catalog takes the updated records in one transaction.
    if (outcome.status == UpdateOutcome::Status::kUpdated && !request.dry_run) {
      catalog.WriteBack();
      IndexFollower().Written(catalog.Path());
    }
  } catch (const LumivorError& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  if (outcome.status == UpdateOutcome::Status::kNoMedium) {
    std::cerr << options.catalog
              << ": The medium of this catalog is not connected; connect it or name its folder "
                 "with --from PATH\n";
    return 1;
  }
  if (outcome.status == UpdateOutcome::Status::kCancelled) {
    std::cerr << options.catalog << ": Cancelled, the catalog is as it was\n";
    return 1;
  }
  if (hashes.unreadable > 0) std::cerr << UnhashedFilesText(hashes.unreadable) << '\n';
  for (const std::string& line : outcome.summary.Lines(&EscapeValue)) std::cout << line << '\n';
  std::cout << outcome.summary.CountsLine() << '\n';
  return 0;
}

Command AddUpdateCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "update", "Scan a catalog's medium again, keeping descriptions across renames and moves");
  auto options = std::make_shared<UpdateOptions>();
  command->add_option("CATALOG", options->catalog, "The catalog file, or GROUP/NAME of --library")
      ->required();
  command->add_option("--library", options->library,
                      "The library holding the catalog: a folder or a postgresql:// connection");
  command->add_option("--from", options->request.from,
                      "The medium's folder (default: where the catalog was made, or its volume "
                      "mounted elsewhere)");
  command->add_flag("--dry-run", options->request.dry_run,
                    "Report what would change, write nothing");
  command->add_flag("--hash", options->hash,
                    "Store content hashes: read the files that changed or have none yet");
  command->add_flag("--rehash", options->rehash, "Read every file again for its content hash");
  command->add_flag("--drop-missing", options->request.drop_missing,
                    "Drop vanished entries even when they carry a description");
  return {command, [options]() { return RunUpdate(*options); }};
}

const CommandRegistration kRegistration(25, AddUpdateCommand);

}  // namespace

}  // namespace lumivor::cli
