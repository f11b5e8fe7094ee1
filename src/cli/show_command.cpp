#include <iostream>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "cli/commands.h"
#include "core/errors.h"
#include "stores/open_library.h"

namespace lumivor::cli {

namespace {

Command AddShowCommand(CLI::App& app) {
  auto* command = app.add_subcommand("show", "Print the records of a catalog file in pre-order");
  auto path = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  auto library = std::make_shared<std::string>();
  command
      ->add_option("CATALOG", *path,
                   "The catalog file (- for standard input), or GROUP/NAME of --library")
      ->required();
  command->add_option("--library", *library,
                      "The library holding the catalog: a folder or a postgresql:// connection");
  command->add_flag("--json", *json,
                    "One JSON object per record and line: depth and every attribute present");
  return {command, [path, json, library]() {
            try {
              RecordPrinter printer(*json);
              if (library->empty()) {
                ReadCatalogFile(*path, printer);
              } else {
                OpenLibrary(*library)->ReadCatalog(*path, printer);
              }
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
