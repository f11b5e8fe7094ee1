// lumivor-cli: the catalog core from a shell.
#include <iostream>
#include <vector>

#include "cli/commands.h"
#include "core/errors.h"
#include "scan/local_time_converter.h"

int main(int argc, char** argv) {
  lumivor::PinLocalTimeZone();
  using namespace lumivor::cli;
  CLI::App app{"Lumivor: catalogue folders and drives, browse and search them offline"};
  app.name("lumivor-cli");
  app.require_subcommand(1);
  // Commands register themselves (show 10, scan 20, update 25, list 30, search 40, export 50).
  std::vector<Command> commands;
  for (CommandFactory factory : RegisteredCommands()) commands.push_back(factory(app));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  try {
    for (auto& [command, run] : commands) {
      if (command->parsed()) return run();
    }
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 1;
}
