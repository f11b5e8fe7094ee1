#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>

#include "cli/commands.h"
#include "config/config.h"
#include "core/errors.h"
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
  Configuration& config = GetConfig();
  if (!config.LoadWarning().empty()) std::cerr << config.LoadWarning() << '\n';
  // A server library named in the configuration is used as it stands.
  if (std::string shared = config.SharedLibrary(); !shared.empty()) return shared;
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
  AppendEscapedValue(&out, value);
  return out;
}

void AppendEscapedValue(std::string* out, std::string_view value) {
  for (std::size_t start = 0;;) {
    const std::size_t special = value.find_first_of("\t\n\r\\", start);
    out->append(value.substr(start, special - start));
    if (special == std::string_view::npos) return;
    switch (value[special]) {
      case '\t':
        out->append("\\t");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      default:
        out->append("\\\\");
    }
    start = special + 1;
  }
}

void PrintRecordHeader(std::ostream& out) {
  out << "Depth";
  for (auto name : FieldNames) out << '\t' << name;
  out << '\n';
}

void PrintRecord(std::ostream& out, int depth, const CatalogRecord& record) {
  out << depth;
  for (auto field : record.Fields()) out << '\t' << EscapeValue(field);
  out << '\n';
}

void PrintResults(std::ostream& out, const CatalogTree& results) {
  constexpr std::size_t kPiece = 1 << 16;
  std::string text;
  text.reserve(kPiece + 4096);
  std::string scratch;
  results.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    text += '0';
    for (int i = 0; i < kFieldCount; ++i) {
      text += '\t';
      AppendEscapedValue(&text, node->Field(i, &scratch));
    }
    text += '\n';
    if (text.size() >= kPiece) {
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      text.clear();
    }
  });
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void AppendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          static const char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

namespace {
constexpr std::size_t kPrinterBuffer = std::size_t(1) << 20;
}

RecordPrinter::RecordPrinter(bool json) : json_(json) {
  buffer_.reserve(kPrinterBuffer + 4096);
  if (!json_) {
    buffer_ += "Depth";
    for (auto name : FieldNames) {
      buffer_ += '\t';
      buffer_ += name;
    }
    buffer_ += '\n';
  }
}

RecordPrinter::~RecordPrinter() = default;

bool RecordPrinter::Add(const RecordView& record) {
  const auto clean = [&](std::string_view text) -> std::string_view {
    return SanitizeText(text, &cleaned_) ? std::string_view(cleaned_) : text;
  };
  if (json_) {
    buffer_ += "{\"depth\":";
    buffer_ += std::to_string(record.depth);
    for (int i = 0; i < kFieldCount; ++i) {
      if (record.fields[i].empty()) continue;
      buffer_ += ',';
      AppendJsonString(buffer_, FieldNames[i]);
      buffer_ += ':';
      AppendJsonString(buffer_, clean(record.fields[i]));
    }
    for (const ExtraAttribute& extra : record.extras) {
      if (extra.value.empty()) continue;
      buffer_ += ',';
      AppendJsonString(buffer_, extra.name);
      buffer_ += ':';
      AppendJsonString(buffer_, clean(extra.value));
    }
    buffer_ += "}\n";
  } else {
    buffer_ += std::to_string(record.depth);
    for (auto field : record.fields) {
      buffer_ += '\t';
      buffer_ += EscapeValue(clean(field));
    }
    buffer_ += '\n';
  }
  if (buffer_.size() >= kPrinterBuffer) Flush();
  return true;
}

void RecordPrinter::Finish() { Flush(); }

void RecordPrinter::Restart() {
  if (flushed_) {
    throw LumivorError("the catalog had to be read a second time after part of it was printed");
  }
  const std::size_t header = json_ ? 0 : buffer_.find('\n') + 1;
  buffer_.resize(header);
}

void RecordPrinter::Flush() {
  if (buffer_.empty()) return;
  std::cout.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  flushed_ = true;
  buffer_.clear();
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
