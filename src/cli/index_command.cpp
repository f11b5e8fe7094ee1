#include <chrono>
#include <cstdio>
#include <iostream>

#include "cli/commands.h"
#include "config/config.h"
#include "index/indexed_search.h"

namespace lumivor::cli {

namespace {

struct IndexOptions {
  std::string library;
  bool rebuild = false;
};

int RunIndex(IndexOptions options) {
  if (options.library.empty()) {
    Configuration& config = GetConfig();
    if (!config.LoadWarning().empty()) std::cerr << config.LoadWarning() << '\n';
    options.library = config.LibraryPath();
  }
  TerminalProgress progress;
  const auto start = std::chrono::steady_clock::now();
  IndexUpdate update;
  {
    ProgressShown shown(progress);
    update = UpdateLibraryIndex(options.library, options.rebuild, progress);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char line[160];
  std::snprintf(line, sizeof line, "catalogs=%zu entries=%zu read=%zu seconds=%.3f\n",
                update.catalogs, update.entries, update.read, seconds);
  std::cout << line;
  return update.cancelled ? 1 : 0;
}

Command AddIndexCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "index",
      "Bring the library's search index up to date (reads only the catalogs that changed)");
  auto options = std::make_shared<IndexOptions>();
  command->add_option("--library", options->library,
                      "The library directory (default: the configured library)");
  command->add_flag("--rebuild", options->rebuild, "Make the index afresh from every catalog");
  return {command, [options]() { return RunIndex(*options); }};
}

const CommandRegistration kRegistration(45, AddIndexCommand);

}  // namespace

}  // namespace lumivor::cli
