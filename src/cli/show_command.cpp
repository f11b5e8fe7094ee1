#include <iostream>

#include "cli/commands.h"
#include "core/errors.h"
#include "core/file_info.h"

namespace lumivor::cli {

namespace {

Command AddShowCommand(CLI::App& app) {
  auto* command = app.add_subcommand("show", "Print the records of a catalog file in pre-order");
  auto path = std::make_shared<std::string>();
  command->add_option("CATALOG", *path, "The catalog file")->required();
  return {command, [path]() {
            CatalogTree tree;
            try {
              tree = LoadCatalog(*path);
            } catch (const LumivorError& e) {
              std::cerr << e.what() << '\n';
              return 1;
            }
            PrintRecordHeader(std::cout);
            PrintTree(std::cout, tree);
            return 0;
          }};
}

const CommandRegistration kRegistration(10, AddShowCommand);

}  // namespace

}  // namespace lumivor::cli
