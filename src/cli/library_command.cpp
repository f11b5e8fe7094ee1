#include <iostream>

#include "cli/commands.h"
#include "server/pg_connection.h"
#include "server/server_library.h"

namespace lumivor::cli {

namespace {

struct LibraryOptions {
  std::string from, to;
};

int RunPush(const LibraryOptions& options) {
  if (!pg::IsServerLocation(options.to)) {
    std::cerr << options.to << ": not a server library (postgresql://...)\n";
    return 2;
  }
  TerminalProgress progress;
  ServerLibrary library(options.to);
  std::uint64_t entries = 0;
  {
    ProgressShown shown(progress);
    entries = library.Push(options.from, progress);
  }
  std::cout << "entries=" << entries << '\n';
  return 0;
}

int RunPull(const LibraryOptions& options) {
  if (!pg::IsServerLocation(options.from)) {
    std::cerr << options.from << ": not a server library (postgresql://...)\n";
    return 2;
  }
  TerminalProgress progress;
  ServerLibrary library(options.from);
  std::uint64_t entries = 0;
  {
    ProgressShown shown(progress);
    entries = library.Pull(options.to, progress);
  }
  std::cout << "entries=" << entries << '\n';
  return 0;
}

Command AddLibraryCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "library", "Copy a folder library to a server library (push) or back (pull)");
  command->require_subcommand(1);
  auto push_options = std::make_shared<LibraryOptions>();
  auto* push = command->add_subcommand(
      "push", "Copy every group and catalog of the library folder DIR to the server library URI");
  push->add_option("DIR", push_options->from, "The library folder")->required();
  push->add_option("URI", push_options->to, "The server library (postgresql://...)")->required();
  auto pull_options = std::make_shared<LibraryOptions>();
  auto* pull = command->add_subcommand(
      "pull", "Write every group and catalog of the server library URI as files into DIR");
  pull->add_option("URI", pull_options->from, "The server library (postgresql://...)")->required();
  pull->add_option("DIR", pull_options->to, "The library folder (made when missing)")->required();
  return {command, [push, push_options, pull_options]() {
            return push->parsed() ? RunPush(*push_options) : RunPull(*pull_options);
          }};
}

const CommandRegistration kRegistration(70, AddLibraryCommand);

}  // namespace

}  // namespace lumivor::cli
