#include <sys/stat.h>

#include <iostream>

#include "cli/commands.h"
#include "index/indexed_search.h"
#include "search/search.h"
#include "server/pg_connection.h"
#include "server/server_library.h"

namespace lumivor::cli {

namespace {

struct SearchOptions {
  std::string scope, library;
  SearchCriteria criteria;
  bool no_index = false;
};

int RunSearch(SearchOptions options) {
  SearchCriteria& criteria = options.criteria;
  if (const std::string problem = CriteriaProblem(criteria); !problem.empty()) {
    std::cerr << problem << '\n';
    return 2;
  }
  if (pg::IsServerLocation(options.library)) {
    // The scope is a group path or a catalog name of the server library.
    TerminalProgress progress;
    const SearchOutcome outcome =
        ServerLibrary::SearchAt(options.library, criteria, options.scope, progress, {});
    PrintRecordHeader(std::cout);
    PrintResults(std::cout, outcome.results);
    std::cout.flush();
    const std::size_t count = outcome.results.Size();
    std::cerr << count << (count == 1 ? " match, " : " matches, ") << "0 files"
              << " skipped (not readable catalogs)\n";
    return 0;
  }
  if (options.library.empty()) options.library = DefaultLibrary();
  if (options.scope.empty()) options.scope = options.library;
  struct stat info;
  criteria.scope_path = options.scope;
  criteria.scope_is_directory = ::stat(options.scope.c_str(), &info) == 0 && S_ISDIR(info.st_mode);

  TerminalProgress progress;
  SearchOutcome outcome;
  if (options.no_index) {
    outcome = SearchLibrary(criteria, progress);
  } else {
    IndexedSearchOutcome indexed = SearchThroughIndex(criteria, options.library, progress);
    if (!indexed.note.empty()) std::cerr << indexed.note << '\n';
    outcome = std::move(indexed.outcome);
  }
  PrintRecordHeader(std::cout);
  PrintResults(std::cout, outcome.results);
  std::cout.flush();
  const std::size_t count = outcome.results.Size();
  std::cerr << count << (count == 1 ? " match, " : " matches, ") << outcome.skipped_files
            << (outcome.skipped_files == 1 ? " file" : " files")
            << " skipped (not readable catalogs)\n";
  return 0;
}

Command AddSearchCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "search",
      "Search the catalogs of the library, a group or one catalog file by name, "
      "extension, description, tags and regular expression, through the library's "
      "search index; prints the matching records");
  auto options = std::make_shared<SearchOptions>();
  command->add_option(
      "--scope", options->scope,
      "A group directory or a catalog file to search (default: the whole library); in a "
      "server library a group path or GROUP/NAME");
  command->add_option(
      "--library", options->library,
      "The library: a folder or a postgresql:// connection (default: the configured library)");
  command->add_option("--name", options->criteria.name, "Text to find in FileName");
  command->add_option("--ext", options->criteria.extension,
                      "Text to find in FileExt (without the dot)");
  command->add_option("--description", options->criteria.description,
                      "Text to find in Description");
  command->add_option("--meta", options->criteria.meta,
                      "Text to find in any tag (title, artist, album, camera, codec, ...)");
  command->add_flag("--case-sensitive", options->criteria.case_sensitive,
                    "Compare letter case too");
  command->add_option("--regex", options->criteria.regex,
                      "A regular expression (RE2 syntax) FileName must match");
  command->add_flag("--whole", options->criteria.whole_field,
                    "The whole field must equal the text (or match the regular expression)");
  command->add_flag("--no-index", options->no_index,
                    "Read the catalog files instead of the library's search index");
  return {command, [options]() { return RunSearch(*options); }};
}

const CommandRegistration kRegistration(40, AddSearchCommand);

}  // namespace

}  // namespace lumivor::cli
