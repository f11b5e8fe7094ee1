#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>

#include "cli/commands.h"
#include "config/config.h"
#include "library/library_storage.h"

namespace lumivor::cli {

namespace {
std::vector<std::pair<int, CommandFactory>>& Registry() {
  static std::vector<std::pair<int, CommandFactory>> registry;
  return registry;
}
}  // namespace

CommandRegistration::CommandRegistration(int order, CommandFactory factory) {
  Registry().emplace_back(order, factory);
}

std::string DefaultLibrary() {
  TConfig& config = GetConfig();
  if (!config.LoadWarning().empty()) std::cerr << config.LoadWarning() << '\n';
  const std::string& library = config.LibraryPath();
  CreateDefaultLibrary(library);
  return library;
}

std::vector<CommandFactory> RegisteredCommands() {
  auto registry = Registry();
  std::stable_sort(registry.begin(), registry.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<CommandFactory> factories;
  for (const auto& entry : registry) factories.push_back(entry.second);
  return factories;
}

std::string EscapeValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void PrintRecordHeader(std::ostream& out) {
  out << "Depth";
  for (auto name : FieldNames) out << '\t' << name;
  out << '\n';
}

void PrintRecord(std::ostream& out, int depth, const TCatalogRecord& record) {
  out << depth;
  for (auto field : record.Fields()) out << '\t' << EscapeValue(field);
  out << '\n';
}

void PrintTree(std::ostream& out, const CatalogTree& tree) {
  tree.ForEachPreOrder(
      [&](const CatalogTree::Node* node, int depth) { PrintRecord(out, depth, node->record); });
}

TerminalProgress::TerminalProgress() : enabled_(::isatty(STDERR_FILENO) == 1) {}

TerminalProgress::~TerminalProgress() {
  if (drawn_) std::cerr << "\r\033[K" << std::flush;
}

void TerminalProgress::ShowWait(bool visible, bool) {
  if (!visible && drawn_) {
    std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
  }
}

void TerminalProgress::SetWaitText(std::string_view text) {
  text_ = text;
  Draw(false);
}

void TerminalProgress::Draw(bool force) {
  if (!enabled_) return;
  const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
  if (!force && drawn_ && now - last_draw_ms_ < 100) return;
  last_draw_ms_ = now;
  std::string line = count_ ? std::to_string(count_) + " entries  " + text_ : text_;
  if (line.size() > 100) line = line.substr(0, 40) + "..." + line.substr(line.size() - 57);
  std::cerr << "\r\033[K" << line << std::flush;
  drawn_ = true;
}

}  // namespace lumivor::cli
