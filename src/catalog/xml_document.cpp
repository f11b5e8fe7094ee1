#include "catalog/xml_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/atomic_file.h"
#include "core/errors.h"
#include "core/input_file.h"

namespace lumivor {

namespace {}  // namespace

pugi::xml_encoding EncodingOfText(std::string_view text) {
  const auto byte = [&](std::size_t i) {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0x100u;
  };
  if ((byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)) return pugi::encoding_utf8;
  if (byte(0) == 0xFE || byte(0) == 0xFF || byte(0) == 0 || byte(1) == 0 || byte(2) == 0 ||
      byte(3) == 0) {
    return text.empty() ? pugi::encoding_utf8 : pugi::encoding_auto;
  }
  if (text.substr(0, 5) != "<?xml") return pugi::encoding_utf8;
  const std::size_t close = text.find("?>");
  const std::string_view declaration = text.substr(0, close);
  // The pseudo-attribute named exactly "encoding": a blank before it, "=" after it.
  for (std::size_t at = declaration.find("encoding"); at != std::string_view::npos;
       at = declaration.find("encoding", at + 1)) {
    const char before = declaration[at - 1];
    if (before != ' ' && before != '\t' && before != '\n' && before != '\r') continue;
    std::size_t p = at + 8;
    while (p < declaration.size() && (declaration[p] == ' ' || declaration[p] == '\t')) ++p;
    if (p >= declaration.size() || declaration[p] != '=') continue;
    ++p;
    while (p < declaration.size() && (declaration[p] == ' ' || declaration[p] == '\t')) ++p;
    if (p >= declaration.size() || (declaration[p] != '"' && declaration[p] != '\'')) break;
    const std::size_t end = declaration.find(declaration[p], p + 1);
    if (end == std::string_view::npos) break;
    std::string name(declaration.substr(p + 1, end - p - 1));
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (name == "iso-8859-1" || name == "latin1" || name == "latin-1" || name == "iso8859-1" ||
        name == "l1" || name == "iso_8859-1") {
      return pugi::encoding_latin1;
    }
    if (name.rfind("utf-16", 0) == 0 || name.rfind("utf-32", 0) == 0) return pugi::encoding_auto;
    break;
  }
  return pugi::encoding_utf8;
}

std::string XmlParseErrorText(const pugi::xml_parse_result& result, std::string_view text) {
  std::string message = result.description();
  if (result.status == pugi::status_no_document_element && text.empty()) {
    return "the file is empty";
  }
  std::size_t line = 1, column = 1;
  const std::size_t end =
      std::min<std::size_t>(static_cast<std::size_t>(result.offset), text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return message + " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

namespace {

class StringWriter final : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string* out) : out_(out) {}
  void write(const void* data, std::size_t size) override {
    out_->append(static_cast<const char*>(data), size);
  }

 private:
  std::string* out_;
};

class FileWriter final : public pugi::xml_writer {
 public:
  explicit FileWriter(AtomicFile* file) : file_(file) {}
  void write(const void* data, std::size_t size) override {
    file_->Write({static_cast<const char*>(data), size});
  }

 private:
  AtomicFile* file_;
};

// A file opened for reading, closed on destruction. Raises LumivorError with the path and the
// reason when it cannot be opened or is not a regular file.
class InputFile {
 public:
  explicit InputFile(const std::string& path) : path_(path), fd_(OpenRegularFile(path)) {
    struct stat st;
    if (::fstat(fd_, &st) != 0) Fail(errno);
    size_hint_ = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  }
  ~InputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // The size the file had when opened (0 for files that report none, such as /proc files).
  [[nodiscard]] std::size_t SizeHint() const { return size_hint_; }
  // Reads up to `size` bytes; 0 at the end.
  std::size_t Read(char* buffer, std::size_t size) {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) Fail(errno);
    }
  }
  [[noreturn]] void Fail(int error) { throw LumivorError(path_ + ": " + SystemMessage(error)); }

 private:
  const std::string& path_;
  int fd_ = -1;
  std::size_t size_hint_ = 0;
};

}  // namespace

void SetDocumentText(XmlDocument& document, std::string_view text) {
  const pugi::xml_parse_result result =
      document.load_buffer(text.data(), text.size(), kXmlParseOptions, pugi::encoding_utf8);
  if (!result) throw LumivorError("Invalid XML text: " + XmlParseErrorText(result, text));
}

std::string ReadWholeFile(const std::string& path) {
  InputFile file(path);
  std::string data;
  try {
    data.reserve(file.SizeHint());
    char buffer[1 << 16];
    while (const std::size_t n = file.Read(buffer, sizeof buffer)) data.append(buffer, n);
  } catch (const std::bad_alloc&) {
    throw LumivorError(path + ": not enough memory to read the file (" +
                       std::to_string(file.SizeHint()) + " bytes)");
  }
  return data;
}

void LoadXmlFile(XmlDocument& document, const std::string& path) {
  document.reset();
  // Read straight into a buffer that the document then owns and parses in place: one copy of
  // the file in memory, no second one.
  InputFile file(path);
  auto allocate = pugi::get_memory_allocation_function();
  auto deallocate = pugi::get_memory_deallocation_function();
  struct Buffer {
    decltype(deallocate) release;
    char* data = nullptr;
    ~Buffer() {
      if (data) release(data);
    }
  } buffer{deallocate};
  std::size_t capacity = std::max<std::size_t>(file.SizeHint(), 4096);
  std::size_t size = 0;
  buffer.data = static_cast<char*>(allocate(capacity + 1));
  for (;;) {
    if (!buffer.data) throw LumivorError(path + ": not enough memory to read the file");
    if (size == capacity) {
      // The file grew while being read (or reports no size): make room.
      char* bigger = static_cast<char*>(allocate(capacity * 2 + 1));
      if (bigger) std::memcpy(bigger, buffer.data, size);
      deallocate(buffer.data);
      buffer.data = bigger;
      capacity *= 2;
      continue;
    }
    const std::size_t n = file.Read(buffer.data + size, capacity - size);
    if (n == 0) break;
    size += n;
  }
  const pugi::xml_parse_result result = document.load_buffer_inplace_own(
      buffer.data, size, kXmlParseOptions, EncodingOfText(std::string_view(buffer.data, size)));
  buffer.data = nullptr;  // the document owns it now
  if (!result) {
    document.reset();
    // Reread for the line and column; a failed load is rare.
    const std::string message = result.status == pugi::status_no_document_element && size == 0
                                    ? std::string("the file is empty")
                                    : XmlParseErrorText(result, ReadWholeFile(path));
    throw LumivorError(path + ": " + message);
  }
}

void SaveXmlFile(const XmlDocument& document, const std::string& path) {
  AtomicFile file(path);
  FileWriter writer(&file);
  document.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
  file.Commit();
}

std::string SerializeElement(const XmlElement& element) {
  std::string out;
  StringWriter writer(&out);
  element.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
  return out;
}

XmlElement DocumentElement(const XmlDocument& document) { return document.document_element(); }

namespace {

// The position of the first byte of `text` that an attribute value cannot hold as it is ('&',
// '<', '"' or a control character), or its size when there is none.
std::size_t FirstToEscape(std::string_view text) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), quote = _mm_set1_epi8('"');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, lt)),
        _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(_mm_min_epu8(v, control), v)));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (bits) return i + static_cast<std::size_t>(__builtin_ctz(bits));
  }
#endif
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '&' || c == '<' || c == '"' || c < 32) return i;
  }
  return i;
}

}  // namespace

void AppendEscapedAttribute(std::string& out, std::string_view text) {
  // Most values need no escape at all: they are appended whole.
  const std::size_t first = FirstToEscape(text);
  if (first == text.size()) {
    out.append(text);
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = first; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const char* replacement = nullptr;
    char numeric[6];
    switch (c) {
      case '&':
        replacement = "&amp;";
        break;
      case '<':
        replacement = "&lt;";
        break;
      case '"':
        replacement = "&quot;";
        break;
      default:
        if (c < 32) {
          numeric[0] = '&';
          numeric[1] = '#';
          numeric[2] = static_cast<char>('0' + c / 10);
          numeric[3] = static_cast<char>('0' + c % 10);
          numeric[4] = ';';
          numeric[5] = '\0';
          replacement = numeric;
        }
    }
    if (replacement) {
      out.append(text.data() + start, i - start);
      out.append(replacement);
      start = i + 1;
    }
  }
  out.append(text.data() + start, text.size() - start);
}

}  // namespace lumivor
