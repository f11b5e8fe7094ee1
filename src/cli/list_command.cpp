#include <array>
#include <iostream>

#include "cli/commands.h"
#include "library/library_storage.h"
#include "server/pg_connection.h"
#include "server/server_library.h"
#include "stores/open_library.h"

namespace lumivor::cli {

namespace {

// The fields a library listing sets, in the order they are printed.
constexpr std::array<int, 6> kListedFields = {kFileName, kFullPath, kFileSize,
                                              kFileTime, kFileType, kSizePercentage};

Command AddListCommand(CLI::App& app) {
  auto* command = app.add_subcommand("list", "Print the catalog library's groups and catalogs");
  struct Options {
    std::string library;
    bool groups_only = false;
  };
  auto options = std::make_shared<Options>();
  command->add_option(
      "--library", options->library,
      "The library: a folder or a postgresql:// connection (default: the configured library)");
  command->add_flag("--groups-only", options->groups_only, "List the groups only");
  return {command, [options]() {
            std::string library = options->library;
            if (library.empty()) library = DefaultLibrary();
            // A server library is listed on a connection of its own: the layout is checked in
            // the listing's statement, one round trip for the whole listing.
            const CatalogTree tree = pg::IsServerLocation(library)
                                         ? ServerLibrary::ListAt(library, options->groups_only)
                                         : OpenLibrary(library)->List(options->groups_only);
            std::cout << "Depth";
            for (int field : kListedFields) std::cout << '\t' << FieldNames[field];
            std::cout << '\n';
            tree.ForEachPreOrder([](const CatalogTree::Node* node, int depth) {
              std::cout << depth;
              for (int field : kListedFields) std::cout << '\t' << EscapeValue(node->Field(field));
              std::cout << '\n';
            });
            return 0;
          }};
}

const CommandRegistration kRegistration(30, AddListCommand);

}  // namespace

}  // namespace lumivor::cli
