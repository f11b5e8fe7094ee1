#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_tree.h"
#include "core/progress.h"
#include "core/record_sink.h"

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
// program makes it at start; or the server library the configuration names. Prints the
// configuration's load warning, if any, on stderr.
[[nodiscard]] std::string DefaultLibrary();

// A value as printed in a tab-separated line: tab, newline, carriage return and backslash become
// \t, \n, \r and \\.
[[nodiscard]] std::string EscapeValue(std::string_view value);
// The same, appended to `out` (no text of its own for each value).
void AppendEscapedValue(std::string* out, std::string_view value);

// The header of record listings: "Depth" and the eleven field names, tab-separated.
void PrintRecordHeader(std::ostream& out);
// One record line: the depth, then the eleven fields in field order.
void PrintRecord(std::ostream& out, int depth, const CatalogRecord& record);
// The records of `results` in pre-order as PrintRecord prints them, each at depth 0, read
// straight from the tree and written in large pieces.
void PrintResults(std::ostream& out, const CatalogTree& results);

// The `show` printer: a sink that writes each record to standard output as it arrives, either as
// the tab-separated line of PrintRecord (after the header) or, with `json`, as one JSON object per
// line holding "depth" and every attribute present (the non-empty fields in field order, then the
// further attributes as read). Texts are cleaned as records clean them. Output is held back until
// a megabyte has gathered, so that a reader's restart of a small catalog costs nothing; a restart
// after output went out raises LumivorError.
class RecordPrinter final : public RecordSink {
 public:
  explicit RecordPrinter(bool json);
  ~RecordPrinter() override;
  bool Add(const RecordView& record) override;
  void Finish() override;
  void Restart() override;

 private:
  void Flush();
  bool json_;
  bool flushed_ = false;
  std::string buffer_;
  std::string cleaned_;
};

// `text` as a JSON string literal (quotes included), appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);

// A progress line on stderr, redrawn in place at most ten times a second, shown only when stderr
// is a terminal.
class TerminalProgress final : public Progress {
 public:
  TerminalProgress();
  ~TerminalProgress() override;
  void SetWaitText(std::string_view text) override;
  // Counts one more entry (for scans: "N entries, current folder").
  void SetCount(std::size_t count) { count_ = count; }

 protected:
  void ShowWait(bool visible, bool cancellable) override;

 private:
  void Draw(bool force);
  bool enabled_;
  bool drawn_ = false;
  std::size_t count_ = 0;
  std::string text_;
  long long last_draw_ms_ = 0;
};

}  // namespace lumivor::cli
