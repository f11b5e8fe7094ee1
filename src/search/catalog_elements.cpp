#include "search/catalog_elements.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <utility>

#include "core/atomic_file.h"
#include "core/input_file.h"
#include "core/xml_document.h"

namespace lumivor {

namespace {

FileStamp StampOf(const struct stat& st) {
  return {static_cast<std::int64_t>(st.st_size),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
          static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_dev)};
}

// True when the text has the shape of a complete document: it starts with the root's start tag
// and ends with the root's end tag (or is the root's empty-element tag), blanks aside, and holds
// no zero byte (the mark of blocks lost in a crash). Only such files are passed over unparsed
// when they cannot match; anything else is parsed, so that empty, cut-off, zeroed and foreign
// files are reported as unreadable.
bool LooksComplete(const char* begin, const char* end) {
  if (std::memchr(begin, '\0', static_cast<std::size_t>(end - begin))) return false;
  while (begin < end && static_cast<unsigned char>(*begin) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(end[-1]) <= ' ') --end;
  if (end - begin < 3 || *begin != '<' || end[-1] != '>') return false;
  const char* name_end = begin + 1;
  while (name_end<end&& static_cast<unsigned char>(*name_end)> ' ' && *name_end != '>' &&
         *name_end != '/') {
    ++name_end;
  }
  const std::string_view root(begin + 1, static_cast<std::size_t>(name_end - begin - 1));
  const void* found = ::memrchr(begin, '<', static_cast<std::size_t>(end - begin));
  const char* last = static_cast<const char*>(found);
  if (last == begin) return end[-2] == '/';
  if (end - last < static_cast<std::ptrdiff_t>(root.size() + 3) || last[1] != '/' ||
      std::string_view(last + 2, root.size()) != root) {
    return false;
  }
  for (const char* p = last + 2 + root.size(); p < end - 1; ++p) {
    if (static_cast<unsigned char>(*p) > ' ') return false;
  }
  return !root.empty();
}

// ReadIntoBuffer's answer for a file that does not start as an XML document.
constexpr int kNotXml = -1;
// The bytes read to tell whether a file can be XML at all.
constexpr std::size_t kHeadSize = 64;

// True when the first bytes of a file can start an XML document: "<" after an optional UTF-8
// byte-order mark and blanks, or the zero bytes of UTF-16 and UTF-32. Anything else (pictures,
// music, text) is no catalog and is not read any further, however large it is.
bool StartsLikeXml(const char* head, std::size_t size) {
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 4); ++i) {
    if (head[i] == '\0') return true;
  }
  std::size_t i = 0;
  if (size >= 3 && std::memcmp(head, "\xEF\xBB\xBF", 3) == 0) i = 3;
  if (size >= 2 &&
      (std::memcmp(head, "\xFE\xFF", 2) == 0 || std::memcmp(head, "\xFF\xFE", 2) == 0)) {
    return true;
  }
  while (i < size && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n')) ++i;
  if (i == size) return size == kHeadSize;  // blanks only so far: the rest decides
  return head[i] == '<';
}

struct DirectoryEntry {
  std::string name;
  unsigned char type;
};

// The entries of `directory` but "." and ".." and the temporary files of saves; nullopt when the
// directory cannot be listed.
std::optional<std::vector<DirectoryEntry>> ListDirectory(const std::string& directory) {
  std::vector<DirectoryEntry> entries;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return std::nullopt;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || IsTemporaryFileName(name)) continue;
    entries.push_back({std::string(name), entry->d_type});
  }
  ::closedir(dir);
  // Byte order, so that the walk (and with it which of two links to one directory is entered)
  // is the same on every machine.
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return entries;
}

}  // namespace

bool ListCatalogFiles(const std::string& directory, Progress& progress,
                      std::vector<CatalogFile>* files, std::size_t* unreadable_folders) {
  struct Frame {
    std::string path;      // with trailing "/"
    std::string relative;  // with trailing "/", or empty for the top
    std::vector<DirectoryEntry> entries;
    std::size_t next = 0;
  };
  std::set<std::pair<std::uint64_t, std::uint64_t>> visited;
  std::vector<Frame> stack;
  auto enter = [&](std::string path, std::string relative) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    // A directory reached twice (through a link) is listed once.
    if (!visited.insert({st.st_dev, st.st_ino}).second) return;
    std::optional<std::vector<DirectoryEntry>> entries = ListDirectory(path);
    if (!entries) {
      if (unreadable_folders) ++*unreadable_folders;
      return;
    }
    stack.push_back({std::move(path), std::move(relative), std::move(*entries), 0});
  };
  std::string top = directory;
  if (top.empty() || top.back() != '/') top += '/';
  enter(top, "");
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.entries.size()) {
      stack.pop_back();
      continue;
    }
    const DirectoryEntry& entry = frame.entries[frame.next++];
    std::string full = frame.path + entry.name;
    std::string relative = frame.relative + entry.name;
    progress.SetWaitText(full);
    if (progress.WaitCancelled()) return false;
    struct stat st;
    if (::stat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      enter(full + '/', relative + '/');  // `frame` may dangle from here on
    } else if (S_ISREG(st.st_mode)) {
      files->push_back({std::move(relative), StampOf(st)});
    }
  }
  std::sort(files->begin(), files->end(), [](const CatalogFile& a, const CatalogFile& b) {
    return a.relative_path < b.relative_path;
  });
  return true;
}

CatalogElementReader::CatalogElementReader() = default;
CatalogElementReader::~CatalogElementReader() = default;

int CatalogElementReader::ReadIntoBuffer(const std::string& path, FileStamp* stamp) {
  size_ = 0;
  int error = 0;
  const int fd = TryOpenRegularFile(path, &error);
  if (fd < 0) return error == 0 ? kNotXml : error;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  if (stamp) *stamp = StampOf(st);
  char head[kHeadSize];
  const ssize_t head_size = ::pread(fd, head, sizeof head, 0);
  if (head_size < 0) return errno;
  if (!StartsLikeXml(head, static_cast<std::size_t>(head_size))) return kNotXml;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Room for the whole file and one byte more, so that the read that finds its end needs no
  // second buffer; a file that grows meanwhile makes the buffer grow.
  std::size_t needed = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1;
  for (;;) {
    if (capacity_ < needed + kScanPadding) {
      const std::size_t capacity = std::max(needed + kScanPadding, capacity_ + capacity_ / 2);
      std::unique_ptr<char[]> bigger;
      try {
        bigger = std::make_unique_for_overwrite<char[]>(capacity);
      } catch (const std::bad_alloc&) {
        return ENOMEM;  // counted with the unreadable files; the search goes on
      }
      if (size_ > 0) std::memcpy(bigger.get(), buffer_.get(), size_);
      buffer_ = std::move(bigger);
      capacity_ = capacity;
    }
    const ssize_t n = ::read(fd, buffer_.get() + size_, capacity_ - kScanPadding - size_);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    size_ += static_cast<std::size_t>(n);
    needed = std::max(needed, size_ + 1);
  }
  std::memset(buffer_.get() + size_, 0, kScanPadding);
  return 0;
}

CatalogReadStatus CatalogElementReader::Read(const std::string& path, const Needle* needle,
                                             const Visit& visit,
                                             const std::function<void()>& restart,
                                             FileStamp* stamp) {
  if (needle && needle->Empty()) needle = nullptr;
  if (const int error = ReadIntoBuffer(path, stamp); error != 0) {
    return error == ENOENT ? CatalogReadStatus::kMissing : CatalogReadStatus::kUnreadable;
  }
  const char* begin = buffer_.get();
  const char* end = begin + size_;
  if (const char* body = ScanProlog(begin, end)) {
    if (needle && LooksComplete(body, end) && !TextMayContain(begin, end, *needle)) {
      return CatalogReadStatus::kPassedOver;
    }
    switch (ScanBuffer(body, end, needle, visit)) {
      case FastResult::kDone:
        return CatalogReadStatus::kDone;
      case FastResult::kStopped:
        return CatalogReadStatus::kStopped;
      case FastResult::kUnsupported:
        if (restart) restart();
        break;
    }
  }
  return ParseBuffer(visit);
}

CatalogElementReader::FastResult CatalogElementReader::ScanBuffer(const char* begin,
                                                                  const char* end,
                                                                  const Needle* needle,
                                                                  const Visit& visit) {
  std::array<std::string, kFieldCount> decoded;
  std::vector<std::string> decoded_extras;
  bool undecodable = false;
  ElementValues values;
  // The value of field `i` of `element`, decoded into decoded[i] when it needs decoding.
  auto value_of = [&](const ScannedElement& element, int i) -> std::optional<std::string_view> {
    if (!element.present[i]) return std::nullopt;
    if (element.plain[i]) return element.raw[i];
    if (!DecodeAttributeValue(element.raw[i], &decoded[i])) {
      undecodable = true;
      return std::nullopt;
    }
    return std::string_view(decoded[i]);
  };
  const ScanStatus status = ScanCatalogText(begin, end, needle, [&](const ScannedElement& element) {
    values.depth = element.depth;
    values.may_match = element.may_match;
    values.extras.clear();
    if (element.may_match) {
      for (int i = 0; i < kFieldCount; ++i) values.fields[i] = value_of(element, i);
      if (decoded_extras.size() < element.extras.size()) {
        decoded_extras.resize(element.extras.size());
      }
      for (std::size_t i = 0; i < element.extras.size(); ++i) {
        const ScannedElement::Extra& extra = element.extras[i];
        if (extra.plain) {
          values.extras.push_back({extra.name, extra.raw});
        } else if (DecodeAttributeValue(extra.raw, &decoded_extras[i])) {
          values.extras.push_back({extra.name, decoded_extras[i]});
        } else {
          undecodable = true;
        }
      }
    } else {
      values.fields.fill(std::nullopt);
      values.fields[kFileName] = value_of(element, kFileName);
    }
    // A value the scanner cannot decode as the XML reader would sends the file to that reader.
    if (undecodable) return false;
    return visit(values);
  });
  if (status == ScanStatus::kUnsupported || undecodable) return FastResult::kUnsupported;
  return status == ScanStatus::kStopped ? FastResult::kStopped : FastResult::kDone;
}

CatalogReadStatus CatalogElementReader::ParseBuffer(const Visit& visit) {
  XmlDocument document;
  const pugi::xml_parse_result result =
      document.load_buffer_inplace(buffer_.get(), size_, kXmlParseOptions,
                                   EncodingOfText(std::string_view(buffer_.get(), size_)));
  const XmlElement root = document.document_element();
  if (!result || !root) return CatalogReadStatus::kUnreadable;
  ElementValues values;
  XmlElement node = root.first_child();
  int level = 1;
  while (node && node != root) {
    if (node.type() == pugi::node_element) {
      values.depth = level;
      for (int i = 0; i < kFieldCount; ++i) {
        const pugi::xml_attribute attribute = node.attribute(FieldNames[i].data());
        values.fields[i] =
            attribute ? std::optional<std::string_view>(attribute.value()) : std::nullopt;
      }
      values.extras.clear();
      for (const pugi::xml_attribute attribute : node.attributes()) {
        if (!IsFieldName(attribute.name())) {
          values.extras.push_back({attribute.name(), attribute.value()});
        }
      }
      if (!visit(values)) return CatalogReadStatus::kStopped;
      if (node.first_child()) {
        node = node.first_child();
        ++level;
        continue;
      }
    }
    while (node != root && !node.next_sibling()) {
      node = node.parent();
      --level;
    }
    if (node != root) node = node.next_sibling();
  }
  return CatalogReadStatus::kDone;
}

}  // namespace lumivor
