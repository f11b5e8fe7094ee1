#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "server/pg_connection.h"
#include "stores/folder_library.h"
#include "stores/open_library.h"

namespace lumivor::cli {

namespace {

// The exit status of a change refused because someone else's text stands where it was expected.
constexpr int kConflictStatus = 3;

struct DescribeOptions {
  std::string library, catalog, entry_path, text;
  std::optional<std::string> expect;
};

int RunDescribe(const DescribeOptions& options) {
  DescribeOutcome outcome;
  try {
    if (options.library.empty()) {
      // A catalog file named as it stands.
      outcome =
          DescribeInCatalogFile(options.catalog, options.entry_path, options.text, options.expect);
    } else {
      const std::unique_ptr<Library> library = OpenLibrary(options.library);
      outcome =
          library->Describe(options.catalog, options.entry_path, options.text, options.expect);
    }
  } catch (const pg::ServerError& error) {
    if (error.Kind() == pg::FailureKind::kReadOnly) {
      std::cerr << "This role may only read the library; the description was not changed: "
                << error.what() << '\n';
    } else {
      std::cerr << error.what() << "; the description was not changed\n";
    }
    return 1;
  }
  if (outcome.status == DescribeOutcome::Status::kConflict) {
    std::cerr << ConflictText(outcome.current) << '\n';
    return kConflictStatus;
  }
  return 0;
}

Command AddDescribeCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "describe",
      "Set the description of an entry of a catalog (a file, or Group/Name of --library)");
  auto options = std::make_shared<DescribeOptions>();
  command->add_option("--library", options->library,
                      "The library: a folder or a postgresql:// connection (default: the catalog "
                      "is a file)");
  command->add_option("CATALOG", options->catalog, "The catalog: a file, or Group/Sub/Name")
      ->required();
  command->add_option("ENTRY-PATH", options->entry_path, "The entry's FullPath")->required();
  command->add_option("TEXT", options->text, "The new description")->required();
  command->add_option("--expect", options->expect,
                      "Change only while the description is still this text (exit status 3 "
                      "otherwise)");
  return {command, [options]() { return RunDescribe(*options); }};
}

const CommandRegistration kRegistration(60, AddDescribeCommand);

}  // namespace

}  // namespace lumivor::cli
