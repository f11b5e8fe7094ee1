// BSD mtree specifications, read by libarchive's mtree reader.
//
// That reader takes in the whole specification before it hands out the first entry (about 400
// bytes a line), so a listing is given to it in pieces of about a megabyte, each a specification
// of its own: "#mtree", the "/set" and "/unset" lines met so far (they hold for every later
// line), then the next lines, cut only where a line ends and no continuation follows. Relative
// entries of the second form ("mtree -c": names without "/", ".." to go up) depend on the
// folders before them, so from the first of those on the rest of the listing is one piece.
//
// libarchive (with the libraries it needs) is loaded when the first mtree listing is read, as the
// deep scan does, so that every other start of the programs stays quick. Only the mtree format is
// enabled and the file system is never consulted ("checkfs" stays off): what a listing names is
// not opened.
#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/errors.h"
#include "import/listing_reader.h"

namespace lumivor {

namespace {

struct LibArchive {
  decltype(&::archive_read_new) read_new = nullptr;
  decltype(&::archive_read_support_format_mtree) support_mtree = nullptr;
  decltype(&::archive_read_open_memory) open_memory = nullptr;
  decltype(&::archive_read_next_header) next_header = nullptr;
  decltype(&::archive_read_free) read_free = nullptr;
  decltype(&::archive_error_string) error_string = nullptr;
  decltype(&::archive_entry_pathname) pathname = nullptr;
  decltype(&::archive_entry_filetype) filetype = nullptr;
  decltype(&::archive_entry_size) size = nullptr;
  decltype(&::archive_entry_size_is_set) size_is_set = nullptr;
  decltype(&::archive_entry_mtime) mtime = nullptr;
  decltype(&::archive_entry_mtime_is_set) mtime_is_set = nullptr;
  decltype(&::archive_entry_symlink) symlink = nullptr;
  decltype(&::archive_entry_digest) digest = nullptr;
  bool loaded = false;
};

template <typename Function>
bool Bind(void* handle, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(::dlsym(handle, name));
  return *function != nullptr;
}

const LibArchive& Library() {
  static LibArchive library;
  static std::once_flag once;
  std::call_once(once, [] {
    void* handle = ::dlopen("libarchive.so.13", RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    LibArchive& l = library;
    l.loaded = Bind(handle, "archive_read_new", &l.read_new) &&
               Bind(handle, "archive_read_support_format_mtree", &l.support_mtree) &&
               Bind(handle, "archive_read_open_memory", &l.open_memory) &&
               Bind(handle, "archive_read_next_header", &l.next_header) &&
               Bind(handle, "archive_read_free", &l.read_free) &&
               Bind(handle, "archive_error_string", &l.error_string) &&
               Bind(handle, "archive_entry_pathname", &l.pathname) &&
               Bind(handle, "archive_entry_filetype", &l.filetype) &&
               Bind(handle, "archive_entry_size", &l.size) &&
               Bind(handle, "archive_entry_size_is_set", &l.size_is_set) &&
               Bind(handle, "archive_entry_mtime", &l.mtime) &&
               Bind(handle, "archive_entry_mtime_is_set", &l.mtime_is_set) &&
               Bind(handle, "archive_entry_symlink", &l.symlink) &&
               Bind(handle, "archive_entry_digest", &l.digest);
  });
  return library;
}

struct DigestKind {
  int type;
  std::size_t bytes;
  std::string_view name;
};

// In the order of preference for the Hash attribute; the others keep their algorithm in the name.
constexpr DigestKind kDigests[] = {
    {ARCHIVE_ENTRY_DIGEST_SHA256, 32, "sha256"}, {ARCHIVE_ENTRY_DIGEST_SHA512, 64, "sha512"},
    {ARCHIVE_ENTRY_DIGEST_SHA384, 48, "sha384"}, {ARCHIVE_ENTRY_DIGEST_SHA1, 20, "sha1"},
    {ARCHIVE_ENTRY_DIGEST_MD5, 16, "md5"},       {ARCHIVE_ENTRY_DIGEST_RMD160, 20, "rmd160"},
};

constexpr std::size_t kPieceBytes = 1 << 20;

class MtreeReader {
 public:
  MtreeReader(ByteSource& source, ImportTree& tree, const ImportControl& control)
      : source_(source), tree_(tree), ticker_(control), library_(Library()) {}

  void Read() {
    if (!library_.loaded) {
      throw LumivorError(source_.Name() +
                         ": mtree listings need libarchive, which is not installed");
    }
    std::string line;
    bool terminated = false;
    bool continued = false;  // the last line ended with a backslash
    bool whole = false;      // relative entries met: no more cuts
    bool first = true;
    piece_start_line_ = source_.Line();
    for (;;) {
      const std::uint64_t number = source_.Line();
      if (!source_.ReadLine(&line, &terminated)) break;
      if (!terminated) source_.FailAtLine("truncated: the last line has no line end", number);
      if (first && line.substr(0, 3) == "\xEF\xBB\xBF") line.erase(0, 3);
      first = false;
      const std::string_view text = Trimmed(line);
      if (!continued) {
        if (text.empty() || text[0] == '#') {
          NoteComment(text);
          // Kept as an empty line, so that line numbers within a piece stay those of the file.
          piece_ += '\n';
          continue;
        }
        if (text.substr(0, 5) == "/set " || text.substr(0, 7) == "/unset ") {
          settings_ += text;
          settings_ += '\n';
          ++settings_lines_;
        } else if (!whole) {
          const std::string_view path = text.substr(0, text.find_first_of(" \t"));
          whole = path.find('/') == std::string_view::npos && path != ".";
        }
      }
      piece_ += line;
      piece_ += '\n';
      continued = !line.empty() && line.back() == '\\';
      if (!continued && !whole && piece_.size() >= kPieceBytes) ReadPiece(source_.Line());
    }
    if (continued) source_.FailAtLine("truncated: the last line continues past the end");
    ReadPiece(source_.Line());
    if (!tree_name_.empty()) tree_.SetTopName(tree_name_);
  }

 private:
  static std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text[0] == ' ' || text[0] == '\t')) text.remove_prefix(1);
    return text;
  }

  // mtree -c names the listed folder in its header: "#	   tree: /path".
  void NoteComment(std::string_view text) {
    if (!tree_name_.empty() || text.empty()) return;
    std::string_view rest = Trimmed(text.substr(1));
    if (rest.substr(0, 5) != "tree:") return;
    rest = Trimmed(rest.substr(5));
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
    tree_name_ = rest;
  }

  // Gives the lines gathered so far to libarchive and places its entries.
  void ReadPiece(std::uint64_t next_line) {
    bool any = false;
    for (const char c : piece_) {
      if (c != '\n') {
        any = true;
        break;
      }
    }
    if (any) ReadSpecification();
    piece_.clear();
    prefix_ = settings_;
    prefix_lines_ = settings_lines_;
    piece_start_line_ = next_line;
  }

  void ReadSpecification() {
    // "#mtree", then the settings made before the piece, then the piece (with its own).
    std::string text = "#mtree\n";
    text += prefix_;
    const std::uint64_t header_lines = 1 + prefix_lines_;
    text += piece_;
    struct archive* archive = library_.read_new();
    if (!archive) throw std::bad_alloc();
    struct Free {
      const LibArchive& library;
      struct archive* archive;
      ~Free() { library.read_free(archive); }
    } free_archive{library_, archive};
    library_.support_mtree(archive);
    if (library_.open_memory(archive, text.data(), text.size()) != ARCHIVE_OK) {
      Fail(archive, header_lines);
    }
    struct archive_entry* entry = nullptr;
    for (;;) {
      const int status = library_.next_header(archive, &entry);
      if (status == ARCHIVE_EOF) break;
      if (status != ARCHIVE_OK && status != ARCHIVE_WARN) Fail(archive, header_lines);
      AddEntry(entry);
    }
  }

  void AddEntry(struct archive_entry* archive_entry) {
    const char* path = library_.pathname(archive_entry);
    if (!path) {
      tree_.Skip();
      return;
    }
    ImportEntry entry;
    const unsigned type = library_.filetype(archive_entry);
    entry.directory = type == AE_IFDIR;
    // Only a regular file's size is the listing's: libarchive gives other entries a size of 0.
    if (library_.size_is_set(archive_entry) && library_.size(archive_entry) >= 0 &&
        type == AE_IFREG) {
      entry.has_size = true;
      entry.size = static_cast<std::uint64_t>(library_.size(archive_entry));
    }
    if (library_.mtime_is_set(archive_entry)) {
      entry.has_time = true;
      entry.mtime = library_.mtime(archive_entry);
    }
    digests_.clear();
    for (const DigestKind& kind : kDigests) {
      const unsigned char* bytes = library_.digest(archive_entry, kind.type);
      if (!bytes) continue;
      bool set = false;
      for (std::size_t i = 0; i < kind.bytes; ++i) set = set || bytes[i] != 0;
      if (!set) continue;
      std::string text(kind.name);
      text += ':';
      static constexpr char kHex[] = "0123456789abcdef";
      for (std::size_t i = 0; i < kind.bytes; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
      }
      const std::string name = digests_.empty()
                                   ? std::string(kHashAttribute)
                                   : std::string(kHashAttribute) + "-" + std::string(kind.name);
      digests_.push_back({name, text});
    }
    for (const auto& [name, value] : digests_) entry.extras.push_back({name, value});
    if (type == AE_IFLNK) {
      if (const char* target = library_.symlink(archive_entry)) {
        entry.extras.push_back({kLinkTargetAttribute, target});
      }
    }
    // A listing is of one tree: an absolute path inside it is read as below its root.
    tree_.Place(path, entry);
    ticker_.Tick();
  }

  // Raises libarchive's complaint, with its line number turned into the file's.
  [[noreturn]] void Fail(struct archive* archive, std::uint64_t header_lines) {
    const char* message = library_.error_string(archive);
    std::string reason = message ? message : "not a readable mtree specification";
    const std::size_t at = reason.find("line ");
    if (at != std::string::npos) {
      std::size_t end = at + 5;
      std::uint64_t line = 0;
      while (end < reason.size() && reason[end] >= '0' && reason[end] <= '9') {
        line = line * 10 + static_cast<std::uint64_t>(reason[end] - '0');
        ++end;
      }
      if (end > at + 5 && line > header_lines) {
        source_.FailAtLine(reason.erase(at, end - at), piece_start_line_ + line - header_lines - 1);
      }
    }
    throw LumivorError(source_.Name() + ": lines " + std::to_string(piece_start_line_) + " to " +
                       std::to_string(source_.Line() - 1) + ": " + reason);
  }

  ByteSource& source_;
  ImportTree& tree_;
  ImportTicker ticker_;
  const LibArchive& library_;
  std::string piece_;
  std::string settings_;  // every "/set" and "/unset" line so far
  std::uint64_t settings_lines_ = 0;
  std::string prefix_;  // those before the current piece
  std::uint64_t prefix_lines_ = 0;
  std::uint64_t piece_start_line_ = 1;
  std::string tree_name_;
  std::vector<std::pair<std::string, std::string>> digests_;
};

}  // namespace

void ReadMtree(ByteSource& source, ImportTree& tree, const ImportControl& control) {
  MtreeReader(source, tree, control).Read();
}

}  // namespace lumivor
