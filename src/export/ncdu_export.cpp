// The catalog as the JSON export of ncdu 1.x (format 1.2, extended: with mtime), so that
// `ncdu -f FILE` browses the medium the catalog describes. Records arrive in pre-order: a folder
// opens an array with its info object, a file is an info object, and an array closes when the
// records return to a shallower depth.
#include <charconv>
#include <ctime>
#include <string>
#include <utility>

#include "catalog/fields.h"
#include "export/exporters.h"

namespace lumivor {

namespace {

void AppendJsonText(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendNumber(std::string& out, std::uint64_t value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// The whole bytes of a FileSize text; false for an empty or unusable one.
bool SizeOf(std::string_view text, std::uint64_t* size) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *size);
  return error == std::errc() && end == text.data() + text.size();
}

// The seconds since the epoch of a FileTime text (local time); false when it does not parse.
bool SecondsOf(std::string_view text, std::int64_t* seconds) {
  std::tm local{};
  if (text.empty() || !ParseFileTime(text, &local)) return false;
  local.tm_isdst = -1;
  const std::time_t time = std::mktime(&local);
  if (time == static_cast<std::time_t>(-1)) return false;
  *seconds = time;
  return true;
}

class NcduWriter final : public ExportWriter {
 public:
  NcduWriter(const std::string& path, std::stop_token stop) : ExportWriter(path, std::move(stop)) {}

 private:
  bool Write(const RecordView& record) override {
    int depth = record.depth;
    if (!started_) {
      Start();
    } else if (depth == 0) {
      // A second top-level record (search results): it goes below the first.
      depth = 1;
    }
    // Records below a file (the members of an archive) have no place in a disk usage listing.
    if (skip_below_ >= 0) {
      if (depth > skip_below_) return true;
      skip_below_ = -1;
    }
    while (open_ > depth) {
      out_ += ']';
      --open_;
    }
    const bool directory = Value(record, kFileType) == kDirectoryType;
    if (started_record_) out_ += ",\n";
    started_record_ = true;
    if (directory) {
      out_ += '[';
      ++open_;
    } else {
      skip_below_ = depth;
    }
    out_ += "{\"name\":";
    // The top record is named by its path, as ncdu names the folder it scanned.
    AppendJsonText(out_, Value(record, depth == 0 ? kFullPath : kFileName));
    std::uint64_t size = 0;
    if (!directory && SizeOf(Value(record, kFileSize), &size)) {
      out_ += ",\"asize\":";
      AppendNumber(out_, size);
      out_ += ",\"dsize\":";
      AppendNumber(out_, size);
    }
    std::int64_t seconds = 0;
    if (SecondsOf(Value(record, kFileTime), &seconds) && seconds >= 0) {
      out_ += ",\"mtime\":";
      AppendNumber(out_, static_cast<std::uint64_t>(seconds));
    }
    const std::string_view link = ExtraValue(record, "LinkId");
    const std::size_t colon = link.rfind(':');
    std::uint64_t inode = 0;
    if (colon != std::string_view::npos && SizeOf(link.substr(colon + 1), &inode)) {
      out_ += ",\"ino\":";
      AppendNumber(out_, inode);
      out_ += ",\"hlnkc\":true";
    }
    if (!ExtraValue(record, "ReadError").empty()) out_ += ",\"read_error\":true";
    const std::string excluded(ExtraValue(record, "Excluded"));
    if (!excluded.empty()) {
      out_ += ",\"excluded\":";
      AppendJsonText(out_, excluded);
    }
    out_ += '}';
    if (out_.size() >= 64 * 1024) Flush();
    return true;
  }

  void End() override {
    if (!started_) {
      // No records: an empty folder, so that ncdu still reads the file.
      Start();
      out_ += "[{\"name\":\"/\"}";
      open_ = 1;
    }
    while (open_ > 0) {
      out_ += ']';
      --open_;
    }
    out_ += "]\n";
    Flush();
  }

  void Start() {
    started_ = true;
    out_ += "[1,2,{\"progname\":\"lumivor\",\"progver\":\"1\",\"timestamp\":";
    AppendNumber(out_, static_cast<std::uint64_t>(std::time(nullptr)));
    out_ += "},\n";
  }

  void Flush() {
    File().Write(out_);
    out_.clear();
  }

  std::string out_;
  bool started_ = false;
  bool started_record_ = false;
  int open_ = 0;         // arrays of folders still open
  int skip_below_ = -1;  // the depth of the last file: records deeper than it are left out
};

}  // namespace

std::unique_ptr<ExportWriter> MakeNcduWriter(const std::string& path, std::stop_token stop) {
  return std::make_unique<NcduWriter>(path, std::move(stop));
}

}  // namespace lumivor
