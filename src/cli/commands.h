#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "core/catalog_tree.h"
#include "core/progress.h"

namespace lumivor::cli {

// Every subcommand adds itself to the application and returns the code to run once its options
// are parsed. The code returns the process's exit status.
using CommandRun = std::function<int()>;
struct Command {
  CLI::App* app;
  CommandRun run;
};
using CommandFactory = Command (*)(CLI::App& app);

// Each command's source file registers its factory with a static CommandRegistration, so adding
// a command touches no other file. Commands are listed in the order of their `order` keys.
struct CommandRegistration {
  CommandRegistration(int order, CommandFactory factory);
};
// The registered factories, in order.
[[nodiscard]] std::vector<CommandFactory> RegisteredCommands();

// The configured library, found as the desktop program finds it (LUMIVOR_DATA_DIR, or beside the
// program, or the user's data directory) and made with its default groups when missing, as the
// program makes it at start. Prints the configuration's load warning, if any, on stderr.
[[nodiscard]] std::string DefaultLibrary();

// A value as printed in a tab-separated line: tab, newline, carriage return and backslash become
// \t, \n, \r and \\.
[[nodiscard]] std::string EscapeValue(std::string_view value);

// The header of record listings: "Depth" and the eleven field names, tab-separated.
void PrintRecordHeader(std::ostream& out);
// One record line: the depth, then the eleven fields in field order.
void PrintRecord(std::ostream& out, int depth, const TCatalogRecord& record);
// Every record of `tree` in pre-order.
void PrintTree(std::ostream& out, const CatalogTree& tree);

// A progress line on stderr, redrawn in place at most ten times a second, shown only when stderr
// is a terminal.
class TerminalProgress final : public Progress {
 public:
  TerminalProgress();
  ~TerminalProgress() override;
  void ShowWait(bool visible, bool cancellable) override;
  void SetWaitText(std::string_view text) override;
  bool WaitCancelled() override { return false; }
  // Counts one more entry (for scans: "N entries, current folder").
  void SetCount(std::size_t count) { count_ = count; }

 private:
  void Draw(bool force);
  bool enabled_;
  bool drawn_ = false;
  std::size_t count_ = 0;
  std::string text_;
  long long last_draw_ms_ = 0;
};

}  // namespace lumivor::cli
