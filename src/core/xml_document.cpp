#include "core/xml_document.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "core/atomic_file.h"
#include "core/errors.h"

namespace lumivor {

namespace {

std::string ParseErrorText(const pugi::xml_parse_result& result, std::string_view text) {
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

}  // namespace

void SetDocumentText(XmlDocument& document, std::string_view text) {
  const pugi::xml_parse_result result =
      document.load_buffer(text.data(), text.size(), kXmlParseOptions, pugi::encoding_utf8);
  if (!result) throw LumivorError("Invalid XML text: " + ParseErrorText(result, text));
}

std::string ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw LumivorError(path + ": " + SystemMessage(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) throw LumivorError(path + ": " + SystemMessage(errno));
  if (S_ISDIR(st.st_mode)) throw LumivorError(path + ": " + SystemMessage(EISDIR));
  std::string data;
  if (st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw LumivorError(path + ": " + SystemMessage(errno));
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

void LoadXmlFile(XmlDocument& document, const std::string& path) {
  document.reset();
  // Read straight into a buffer that the document then owns and parses in place: one copy of
  // the file in memory, no second one.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw LumivorError(path + ": " + SystemMessage(errno));
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) throw LumivorError(path + ": " + SystemMessage(errno));
  if (S_ISDIR(st.st_mode)) throw LumivorError(path + ": " + SystemMessage(EISDIR));
  std::size_t capacity = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 4096;
  std::size_t size = 0;
  auto allocate = pugi::get_memory_allocation_function();
  auto deallocate = pugi::get_memory_deallocation_function();
  char* buffer = static_cast<char*>(allocate(capacity + 1));
  if (!buffer) throw LumivorError(path + ": not enough memory to read the file");
  for (;;) {
    if (size == capacity) {
      // The file grew while being read (or reports no size): make room.
      char* bigger = static_cast<char*>(allocate(capacity * 2 + 1));
      if (!bigger) {
        deallocate(buffer);
        throw LumivorError(path + ": not enough memory to read the file");
      }
      std::memcpy(bigger, buffer, size);
      deallocate(buffer);
      buffer = bigger;
      capacity *= 2;
    }
    const ssize_t n = ::read(fd, buffer + size, capacity - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      deallocate(buffer);
      throw LumivorError(path + ": " + SystemMessage(error));
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  const pugi::xml_parse_result result =
      document.load_buffer_inplace_own(buffer, size, kXmlParseOptions, pugi::encoding_auto);
  if (!result) {
    // The document still owns the buffer; its text is needed for the position.
    std::string message;
    if (result.status == pugi::status_no_document_element && size == 0) {
      message = "the file is empty";
    }
    document.reset();
    if (message.empty()) {
      // Reread for the line and column; a failed load is rare and small files are the norm.
      const std::string text = ReadWholeFile(path);
      message = ParseErrorText(result, text);
    }
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

void AppendEscapedAttribute(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
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
