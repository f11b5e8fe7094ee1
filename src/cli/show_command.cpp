#include <iostream>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "cli/commands.h"
#include "core/errors.h"

namespace lumivor::cli {

namespace {

Command AddShowCommand(CLI::App& app) {
  auto* command = app.add_subcommand("show", "Print the records of a catalog file in pre-order");
  auto path = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  command->add_option("CATALOG", *path, "The catalog file (- for standard input)")->required();
  command->add_flag("--json", *json,
                    "One JSON object per record and line: depth and every attribute present");
  return {command, [path, json]() {
            try {
              RecordPrinter printer(*json);
              ReadCatalogFile(*path, printer);
            } catch (const LumivorError& e) {
              std::cout.flush();
              std::cerr << e.what() << '\n';
              return 1;
            } catch (const std::bad_alloc&) {
              std::cout.flush();
              std::cerr << *path << ": not enough memory to read the catalog\n";
              return 1;
            }
            std::cout.flush();
            return std::cout ? 0 : 1;
          }};
}

const CommandRegistration kRegistration(10, AddShowCommand);

}  // namespace

}  // namespace lumivor::cli
