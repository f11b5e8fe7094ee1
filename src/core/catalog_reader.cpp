#include "core/catalog_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "core/errors.h"
#include "core/file_info.h"
#include "core/volumes.h"

namespace lumivor {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsXmlChar(std::uint32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// What a step of the fast reader ended in.
enum class Step { kDone, kUnsupported, kStopped, kNeedMore };

// The fast reader. It is fed the text in windows: every unit (a tag, the prolog) is parsed only
// once it lies whole in the window; a unit cut by the window's end is parsed again, from its
// start, once more text has come. Values are never decoded in place, so a window can be parsed
// twice and the text stays as read.
class FastReader {
 public:
  FastReader(std::string_view catalog_name, RecordSink& sink)
      : catalog_name_(catalog_name), sink_(sink) {}

  // Parses [begin, end); `eof` when no text follows. Sets `consumed` to the bytes handled whole.
  Step Feed(const char* begin, const char* end, bool eof, std::size_t* consumed) {
    p_ = begin;
    end_ = end;
    const char* unit = p_;
    for (;;) {
      unit = p_;
      truncated_ = false;
      const Step step = Unit(eof);
      if (step == Step::kNeedMore || (step == Step::kUnsupported && truncated_ && !eof)) {
        *consumed = static_cast<std::size_t>(unit - begin);
        return Step::kNeedMore;
      }
      if (step != Step::kDone) {
        *consumed = static_cast<std::size_t>(p_ - begin);
        return step;
      }
      if (state_ == State::kFinished) {
        *consumed = static_cast<std::size_t>(p_ - begin);
        return Step::kDone;
      }
    }
  }

 private:
  enum class State { kProlog, kRoot, kBody, kEpilog, kFinished };

  // One unit; kDone when it was handled and the reader may go on.
  Step Unit(bool eof) {
    switch (state_) {
      case State::kProlog: {
        // The prolog is short: wait for a window that surely holds it.
        if (!eof && end_ - p_ < 4096) return Step::kNeedMore;
        const char* body = SkipCatalogProlog(p_, end_);
        if (!body) return Step::kUnsupported;
        p_ = body;
        state_ = State::kRoot;
        return Step::kDone;
      }
      case State::kRoot: {
        SkipSpace();
        std::string_view name;
        bool empty;
        if (!StartTag(&name, &empty, false)) return Step::kUnsupported;
        if (empty) {
          state_ = State::kEpilog;
        } else {
          PushOpen(name);
          state_ = State::kBody;
        }
        return Step::kDone;
      }
      case State::kBody: {
        SkipSpace();
        if (!More()) return eof ? Step::kUnsupported : Step::kNeedMore;
        if (*p_ != '<') return SkipText();
        if (p_ + 1 >= end_) return eof ? Step::kUnsupported : Step::kNeedMore;
        if (p_[1] == '/') return EndTag();
        if (p_[1] == '!' || p_[1] == '?') return SkipMarkup();
        std::string_view name;
        bool empty;
        if (!StartTag(&name, &empty, true)) return Step::kUnsupported;
        if (!Emit()) return Step::kStopped;
        if (!empty) PushOpen(name);
        return Step::kDone;
      }
      case State::kEpilog:
        SkipSpace();
        if (p_ + 1 < end_ && p_[0] == '<' && (p_[1] == '!' || p_[1] == '?')) return SkipMarkup();
        if (p_ < end_) return Step::kUnsupported;  // anything else after the root
        if (!eof) return Step::kNeedMore;
        state_ = State::kFinished;
        return Step::kDone;
      case State::kFinished:
        return Step::kDone;
    }
    return Step::kUnsupported;
  }

  bool More() {
    if (p_ < end_) return true;
    truncated_ = true;
    return false;
  }

  void SkipSpace() {
    while (p_ < end_ && IsSpace(*p_)) ++p_;
  }

  // Text between elements: the records do not hold it, so it is passed over as the document
  // route passes over it. A NUL byte (which that route takes for the end) is left to it.
  Step SkipText() {
    const char* next =
        static_cast<const char*>(std::memchr(p_, '<', static_cast<std::size_t>(end_ - p_)));
    const char* stop = next ? next : end_;
    if (std::memchr(p_, '\0', static_cast<std::size_t>(stop - p_))) return Step::kUnsupported;
    if (!next) {
      truncated_ = true;
      return Step::kUnsupported;
    }
    p_ = next;
    return Step::kDone;
  }

  // Skips to the end of a construct that ends with `terminator`; kNeedMore-worthy when cut.
  Step SkipTo(std::string_view terminator) {
    const void* found =
        ::memmem(p_, static_cast<std::size_t>(end_ - p_), terminator.data(), terminator.size());
    if (!found) {
      truncated_ = true;
      return Step::kUnsupported;
    }
    const char* after = static_cast<const char*>(found) + terminator.size();
    if (std::memchr(p_, '\0', static_cast<std::size_t>(after - p_))) return Step::kUnsupported;
    p_ = after;
    return Step::kDone;
  }

  // A comment, a CDATA section or a processing instruction between elements: none of them holds
  // a record. A document type, or an instruction named like the declaration, goes to the
  // document route, which judges it.
  Step SkipMarkup() {
    const std::string_view rest(p_, static_cast<std::size_t>(end_ - p_));
    if (rest.size() < 9) {
      truncated_ = true;
      return Step::kUnsupported;
    }
    if (rest.substr(0, 4) == "<!--") {
      p_ += 4;
      return SkipTo("-->");
    }
    if (rest.substr(0, 9) == "<![CDATA[" && state_ == State::kBody) {
      p_ += 9;
      return SkipTo("]]>");
    }
    if (rest[1] == '?' && IsNameStart(static_cast<unsigned char>(rest[2])) &&
        !((rest[2] | 0x20) == 'x' && (rest[3] | 0x20) == 'm' && (rest[4] | 0x20) == 'l')) {
      p_ += 2;
      return SkipTo("?>");
    }
    return Step::kUnsupported;
  }

  void PushOpen(std::string_view name) {
    if (depth_ == open_.size()) open_.emplace_back();
    open_[depth_++].assign(name);
  }

  Step EndTag() {
    p_ += 2;
    std::string_view name;
    if (!Name(&name)) return Step::kUnsupported;
    if (name != open_[depth_ - 1]) return Step::kUnsupported;
    SkipSpace();
    if (!More() || *p_ != '>') return Step::kUnsupported;
    ++p_;
    if (--depth_ == 0) state_ = State::kEpilog;
    return Step::kDone;
  }

  bool Name(std::string_view* name) {
    const char* start = p_;
    if (!More() || !IsNameStart(static_cast<unsigned char>(*p_))) return false;
    ++p_;
    while (p_ < end_ && IsNameChar(static_cast<unsigned char>(*p_))) ++p_;
    if (p_ >= end_) truncated_ = true;
    *name = {start, static_cast<std::size_t>(p_ - start)};
    return true;
  }

  // "<name attr="value" ...>" or ".../>". With `record` the attributes fill the record's view.
  bool StartTag(std::string_view* name, bool* empty, bool record) {
    if (!More() || *p_ != '<') return false;
    ++p_;
    if (!Name(name)) return false;
    if (record) {
      view_.fields = FieldViews{};
      view_.extras.clear();
      decoded_used_ = 0;
    }
    for (;;) {
      const bool spaced = p_ < end_ && IsSpace(*p_);
      SkipSpace();
      if (!More()) return false;
      if (*p_ == '>') {
        ++p_;
        *empty = false;
        return true;
      }
      if (*p_ == '/') {
        if (p_ + 1 >= end_) {
          truncated_ = true;
          return false;
        }
        if (p_[1] != '>') return false;
        p_ += 2;
        *empty = true;
        return true;
      }
      if (!spaced) return false;
      std::string_view attribute;
      if (!Name(&attribute)) return false;
      SkipSpace();
      if (!More() || *p_ != '=') return false;
      ++p_;
      SkipSpace();
      std::string_view value;
      if (!Value(&value)) return false;
      if (!record) continue;
      const int index = FieldIndexOrNone(attribute);
      if (index >= 0) {
        // A present attribute with an empty value still counts as present; the first counts.
        if (view_.fields[index].data() == nullptr) {
          view_.fields[index] = value.empty() ? std::string_view("", 0) : value;
        }
      } else {
        view_.extras.push_back({attribute, value});
      }
    }
  }

  // A quoted attribute value: a view of the text when it needs no decoding, else decoded into
  // storage of the reader's own.
  bool Value(std::string_view* value) {
    if (!More() || (*p_ != '"' && *p_ != '\'')) return false;
    const char quote = *p_++;
    const char* start = p_;
    bool plain = true;
    for (;;) {
      if (!More()) return false;
      const char c = *p_;
      if (c == quote) break;
      if (c == '<' || c == '\0') return false;
      if (c == '&' || c == '\r' || c == '\n' || c == '\t') plain = false;
      ++p_;
    }
    const std::string_view raw(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    if (plain) {
      *value = raw;
      return true;
    }
    if (decoded_used_ == decoded_.size()) decoded_.emplace_back();
    std::string& out = decoded_[decoded_used_++];
    if (!DecodeAttributeText(raw, &out)) return false;
    *value = out;
    return true;
  }

  bool Emit() {
    const int depth = static_cast<int>(depth_) - 1;
    FieldViews& fields = view_.fields;
    if (depth == 0) {
      if (fields[kFileType].data() == nullptr) fields[kFileType] = kDirectoryType;
      if (fields[kFullPath].empty()) fields[kFullPath] = fields[kFileName];
    }
    fields[kCatalogName] = catalog_name_;
    view_.depth = depth;
    return sink_.Add(view_);
  }

  std::string_view catalog_name_;
  RecordSink& sink_;
  State state_ = State::kProlog;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  bool truncated_ = false;
  std::vector<std::string> open_;  // names of the open elements; [0] is the root
  std::size_t depth_ = 0;          // open elements
  RecordView view_;
  std::deque<std::string> decoded_;  // decoded values of the current tag (stable addresses)
  std::size_t decoded_used_ = 0;
};

// The present field attributes of `element` over `fields`, every other attribute into `extras`.
void ReadElement(const pugi::xml_node& element, FieldViews* fields, ExtraViews* extras) {
  extras->clear();
  std::array<bool, kFieldCount> seen{};
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
    const int index = FieldIndexOrNone(a.name());
    if (index >= 0) {
      if (!seen[index]) (*fields)[index] = a.value();
      seen[index] = true;
    } else {
      extras->push_back({a.name(), a.value()});
    }
  }
}

bool IsStreamPath(const std::string& path) {
  return path == "-" || path == "/dev/stdin" || path.rfind("/dev/fd/", 0) == 0 ||
         path.rfind("/proc/self/fd/", 0) == 0;
}

// A catalog input opened once: a regular file, or a stream when the path names one.
class CatalogInput {
 public:
  explicit CatalogInput(const std::string& path) : path_(path) {
    if (path == "-") {
      fd_ = ::dup(0);
    } else {
      // Non-blocking, so that opening a FIFO without a writer cannot hang.
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (fd_ < 0) Fail(SystemMessage(errno));
    struct stat st;
    if (::fstat(fd_, &st) != 0) Fail(SystemMessage(errno));
    if (S_ISDIR(st.st_mode)) Fail(SystemMessage(EISDIR));
    regular_ = S_ISREG(st.st_mode);
    if (!regular_ && !IsStreamPath(path)) Fail("not a regular file");
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    size_ = regular_ && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  }
  ~CatalogInput() {
    if (fd_ >= 0) ::close(fd_);
  }
  CatalogInput(const CatalogInput&) = delete;
  CatalogInput& operator=(const CatalogInput&) = delete;

  [[nodiscard]] bool Regular() const { return regular_; }
  [[nodiscard]] std::size_t SizeHint() const { return size_; }

  // Reads until `size` bytes came or the input ended; the bytes read.
  std::size_t Read(char* buffer, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
      const ssize_t n = ::read(fd_, buffer + total, size - total);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        Fail(SystemMessage(errno));
      }
      total += static_cast<std::size_t>(n);
    }
    return total;
  }

  // The whole of a regular file again, from its start.
  std::string ReadAllAgain() {
    if (::lseek(fd_, 0, SEEK_SET) != 0) Fail(SystemMessage(errno));
    std::string text;
    text.reserve(size_);
    char chunk[1 << 16];
    while (const std::size_t n = Read(chunk, sizeof chunk)) text.append(chunk, n);
    return text;
  }

  [[noreturn]] void Fail(const std::string& reason) { throw LumivorError(path_ + ": " + reason); }

 private:
  const std::string& path_;
  int fd_ = -1;
  bool regular_ = false;
  std::size_t size_ = 0;
};

// The window of text the fast reader sees at once; it grows for a unit larger than itself.
constexpr std::size_t kWindow = std::size_t(1) << 20;

}  // namespace

std::size_t DecodeReference(std::string_view raw, std::size_t at, std::string* out) {
  const std::size_t semicolon = raw.find(';', at);
  if (semicolon == std::string_view::npos || semicolon - at > 12) return 0;
  const std::string_view name = raw.substr(at + 1, semicolon - at - 1);
  char named = 0;
  if (name == "amp") {
    named = '&';
  } else if (name == "lt") {
    named = '<';
  } else if (name == "gt") {
    named = '>';
  } else if (name == "quot") {
    named = '"';
  } else if (name == "apos") {
    named = '\'';
  }
  if (named) {
    if (out) out->push_back(named);
    return semicolon - at + 1;
  }
  if (name.size() < 2 || name[0] != '#') return 0;
  std::uint32_t code = 0;
  const bool hex = name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return 0;
  for (char d : digits) {
    int v;
    if (d >= '0' && d <= '9') {
      v = d - '0';
    } else if (hex && d >= 'a' && d <= 'f') {
      v = d - 'a' + 10;
    } else if (hex && d >= 'A' && d <= 'F') {
      v = d - 'A' + 10;
    } else {
      return 0;
    }
    code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
  }
  if (!IsXmlChar(code)) return 0;
  if (out) AppendUtf8(code, out);
  return semicolon - at + 1;
}

bool DecodeAttributeText(std::string_view raw, std::string* out) {
  out->clear();
  out->reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\r') {
      out->push_back(' ');
      if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    } else if (c == '\n' || c == '\t') {
      out->push_back(' ');
    } else if (c == '&') {
      const std::size_t length = DecodeReference(raw, i, out);
      if (length == 0) return false;
      i += length - 1;
    } else if (c == '<' || c == '\0') {
      return false;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

const char* SkipCatalogProlog(const char* begin, const char* end) {
  const char* p = begin;
  if (end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  // Zero bytes near the start mean UTF-16 or UTF-32.
  for (const char* q = p; q < end && q < p + 4; ++q) {
    if (*q == '\0') return nullptr;
  }
  if (end - p < 5 || std::memcmp(p, "<?xml", 5) != 0) return p;
  if (end - p < 6 || !IsSpace(p[5])) return nullptr;  // "<?xml-..." is the document route's
  p += 5;
  // version="1.x", then optionally encoding and standalone, in that order, each after a blank.
  static constexpr std::string_view kNames[] = {"version", "encoding", "standalone"};
  std::size_t next = 0;
  for (;;) {
    const bool spaced = p < end && IsSpace(*p);
    while (p < end && IsSpace(*p)) ++p;
    if (end - p >= 2 && p[0] == '?' && p[1] == '>') return next > 0 ? p + 2 : nullptr;
    if (!spaced) return nullptr;
    const char* name_start = p;
    while (p < end && IsNameChar(static_cast<unsigned char>(*p))) ++p;
    const std::string_view name(name_start, static_cast<std::size_t>(p - name_start));
    while (next < 3 && kNames[next] != name) {
      if (next == 0) return nullptr;  // version comes first
      ++next;
    }
    if (next == 3) return nullptr;
    ++next;
    while (p < end && IsSpace(*p)) ++p;
    if (p >= end || *p != '=') return nullptr;
    ++p;
    while (p < end && IsSpace(*p)) ++p;
    if (p >= end || (*p != '"' && *p != '\'')) return nullptr;
    const char quote = *p++;
    const char* value_start = p;
    while (p < end && *p != quote && *p != '<' && *p != '&' && *p != '?' && *p != '\0') ++p;
    if (p >= end || *p != quote) return nullptr;
    std::string value(value_start, p);
    ++p;
    if (name == "version") {
      if (value.size() < 3 || value.compare(0, 2, "1.") != 0) return nullptr;
      for (std::size_t i = 2; i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9') return nullptr;
      }
    } else if (name == "encoding") {
      for (char& c : value) c = static_cast<char>(c | 0x20);
      if (value != "utf-8" && value != "utf8") return nullptr;
    } else if (value != "yes" && value != "no") {
      return nullptr;
    }
  }
}

FastReadStatus ReadCatalogRecords(std::string_view text, std::string_view catalog_name,
                                  RecordSink& sink) {
  FastReader reader(catalog_name, sink);
  std::size_t consumed = 0;
  switch (reader.Feed(text.data(), text.data() + text.size(), true, &consumed)) {
    case Step::kDone:
      return FastReadStatus::kDone;
    case Step::kStopped:
      return FastReadStatus::kStopped;
    default:
      return FastReadStatus::kUnsupported;
  }
}

bool EmitDocument(const XmlDocument& document, std::string_view catalog_name, RecordSink& sink) {
  struct Frame {
    pugi::xml_node element;  // next child to look at
    int depth;
  };
  std::vector<Frame> stack;
  const pugi::xml_node root = document.document_element();
  if (root) stack.push_back({root.first_child(), 0});
  RecordView view;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    while (frame.element && frame.element.type() != pugi::node_element) {
      frame.element = frame.element.next_sibling();
    }
    if (!frame.element) {
      stack.pop_back();
      continue;
    }
    const pugi::xml_node element = frame.element;
    frame.element = element.next_sibling();
    const int depth = frame.depth;
    view.depth = depth;
    view.fields = FieldViews{};
    if (depth == 0) view.fields[kFileType] = kDirectoryType;
    ReadElement(element, &view.fields, &view.extras);
    if (depth == 0 && view.fields[kFullPath].empty())
      view.fields[kFullPath] = view.fields[kFileName];
    view.fields[kCatalogName] = catalog_name;
    if (!sink.Add(view)) return false;
    if (element.first_child()) stack.push_back({element.first_child(), depth + 1});
  }
  return true;
}

bool EmitTree(const CatalogTree& tree, RecordSink& sink) {
  return tree.ForEachRecord(
      [&](const CatalogTree::Node*, const RecordView& view) { return sink.Add(view); });
}

bool TreeSink::Add(const RecordView& record) {
  const std::size_t depth = static_cast<std::size_t>(std::max(record.depth, 0));
  CatalogTree::Node* parent = nullptr;
  if (depth > 0) parent = open_[std::min(depth, open_.size()) - 1];
  CatalogTree::Node* node = tree_->AddChild(parent, record.fields, record.extras);
  open_.resize(std::min(depth, open_.size()));
  open_.push_back(node);
  return true;
}

void TreeSink::Restart() {
  tree_->Clear();
  open_.clear();
}

bool ReadCatalogText(std::string_view text, std::string_view catalog_name, CatalogTree* tree) {
  TreeSink sink(tree);
  if (ReadCatalogRecords(text, catalog_name, sink) == FastReadStatus::kDone) return true;
  tree->Clear();
  return false;
}

bool ReadCatalogFile(const std::string& path, RecordSink& sink, Progress& progress) {
  progress.ShowWait(true, false);
  progress.SetWaitText(kLoadingInfo);
  struct Hide {
    Progress& p;
    ~Hide() { p.ShowWait(false); }
  } hide{progress};

  CatalogInput input(path);
  const std::string catalog_name = DisplayNameOf(path);
  FastReader reader(catalog_name, sink);
  // A stream cannot be read twice: what it gave is kept for the document route.
  std::string kept;
  std::size_t capacity =
      input.Regular() ? std::min(std::max<std::size_t>(input.SizeHint(), 4096), kWindow) : kWindow;
  std::unique_ptr<char[]> window(new char[capacity]);
  std::size_t filled = 0;
  bool eof = false;
  bool whole_text_seen = true;  // the window never dropped text (no re-read needed)
  for (;;) {
    if (!eof && filled < capacity) {
      const std::size_t n = input.Read(window.get() + filled, capacity - filled);
      if (!input.Regular()) kept.append(window.get() + filled, n);
      filled += n;
      eof = filled < capacity;
    }
    std::size_t consumed = 0;
    const Step step = reader.Feed(window.get(), window.get() + filled, eof, &consumed);
    if (step == Step::kDone) {
      sink.Finish();
      return true;
    }
    if (step == Step::kStopped) return false;
    if (step == Step::kUnsupported) break;
    // More text is needed: keep the unit that was cut, make room for the rest.
    if (consumed > 0) whole_text_seen = false;
    std::memmove(window.get(), window.get() + consumed, filled - consumed);
    filled -= consumed;
    if (filled == capacity) {
      std::unique_ptr<char[]> bigger(new char[capacity * 2]);
      std::memcpy(bigger.get(), window.get(), filled);
      window = std::move(bigger);
      capacity *= 2;
    }
  }

  // The document route, over the same bytes.
  sink.Restart();
  std::string text;
  if (input.Regular()) {
    text = whole_text_seen && eof ? std::string(window.get(), filled) : input.ReadAllAgain();
  } else {
    char chunk[1 << 16];
    while (const std::size_t n = input.Read(chunk, sizeof chunk)) kept.append(chunk, n);
    text = std::move(kept);
  }
  window.reset();
  XmlDocument document;
  const pugi::xml_parse_result result =
      document.load_buffer(text.data(), text.size(), kXmlParseOptions, EncodingOfText(text));
  if (!result) input.Fail(XmlParseErrorText(result, text));
  text = std::string();
  if (!EmitDocument(document, catalog_name, sink)) return false;
  sink.Finish();
  return true;
}

}  // namespace lumivor
