#include "search/search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/fields.h"
#include "core/file_info.h"
#include "core/volumes.h"
#include "library/library_storage.h"

namespace lumivor {

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool FoldedEqualAt(std::string_view value, std::size_t at, std::string_view criterion) {
  for (std::size_t i = 0; i < criterion.size(); ++i) {
    if (Upper(value[at + i]) != Upper(criterion[i])) return false;
  }
  return true;
}

bool ContainsFolded(std::string_view value, std::string_view criterion) {
  if (criterion.size() > value.size()) return false;
  for (std::size_t at = 0; at + criterion.size() <= value.size(); ++at) {
    if (FoldedEqualAt(value, at, criterion)) return true;
  }
  return false;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

std::optional<std::string_view> AttributeValue(const XmlElement& element, int field) {
  const pugi::xml_attribute attribute = element.attribute(FieldNames[field].data());
  if (!attribute) return std::nullopt;
  return std::string_view(attribute.value());
}

// The longest literal run of any criterion: every match holds it in the file's bytes.
Needle NeedleOf(const SearchCriteria& criteria) {
  std::string_view best;
  for (const std::string* text : {&criteria.name, &criteria.extension, &criteria.description}) {
    const std::string_view run = LongestLiteralRun(*text);
    if (run.size() > best.size()) best = run;
  }
  return Needle(best, !criteria.case_sensitive);
}

// True when the text has the shape of a complete document: it starts with the root's start tag
// and ends with the root's end tag (or is the root's empty-element tag), blanks aside, and holds
// no zero byte (the mark of blocks lost in a crash). Only such files are passed over unparsed
// when they cannot match; anything else is parsed, so that empty, cut-off, zeroed and foreign
// files are reported as skipped.
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

// The entries of `directory` but "." and "..", in name order (ASCII letters folded first, then
// bytes), so that a search visits a library in the same order every time.
std::vector<DirectoryEntry> ListDirectory(const std::string& directory) {
  std::vector<DirectoryEntry> entries;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return entries;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), entry->d_type});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(), [](const DirectoryEntry& a, const DirectoryEntry& b) {
    const int folded = CompareFoldedText(a.name, b.name);
    return folded != 0 ? folded < 0 : a.name < b.name;
  });
  return entries;
}

}  // namespace

bool SearchCriteria::Blank() const {
  return Trimmed(name).empty() && Trimmed(extension).empty() && Trimmed(description).empty();
}

std::string SearchFinishedText(const SearchOutcome& outcome) {
  std::string text(kSearchFinished);
  if (outcome.skipped_files == 1) {
    text += "\n\n1 file was skipped because it is not a readable catalog.";
  } else if (outcome.skipped_files > 1) {
    text += "\n\n" + std::to_string(outcome.skipped_files) +
            " files were skipped because they are not readable catalogs.";
  }
  return text;
}

bool MatchesText(std::string_view value, std::string_view criterion, bool case_sensitive,
                 bool whole_field) {
  const bool contains = case_sensitive ? value.find(criterion) != std::string_view::npos
                                       : ContainsFolded(value, criterion);
  if (!contains || !whole_field) return contains;
  return value.size() == criterion.size() && FoldedEqualAt(value, 0, criterion);
}

bool MatchesFields(const SearchCriteria& criteria, std::optional<std::string_view> file_name,
                   std::optional<std::string_view> file_ext,
                   std::optional<std::string_view> description) {
  if (!file_name) return false;
  const std::pair<const std::string*, const std::optional<std::string_view>*> pairs[] = {
      {&criteria.name, &file_name},
      {&criteria.extension, &file_ext},
      {&criteria.description, &description}};
  for (const auto& [criterion, value] : pairs) {
    if (criterion->empty()) continue;
    if (!*value ||
        !MatchesText(**value, *criterion, criteria.case_sensitive, criteria.whole_field)) {
      return false;
    }
  }
  return true;
}

bool MatchesCriteria(const SearchCriteria& criteria, const XmlElement& element) {
  return MatchesFields(criteria, AttributeValue(element, kFileName),
                       AttributeValue(element, kFileExt), AttributeValue(element, kDescription));
}

LibrarySearch::LibrarySearch(SearchCriteria criteria, Progress& progress)
    : criteria_(std::move(criteria)), progress_(progress), needle_(NeedleOf(criteria_)) {}

LibrarySearch::~LibrarySearch() = default;

SearchOutcome LibrarySearch::TakeOutcome() {
  outcome_.cancelled = cancelled_;
  return std::move(outcome_);
}

const std::string& LibrarySearch::CatalogName() {
  // Worked out at the first match only: it asks the volume service about the path.
  if (!catalog_name_) catalog_name_ = DisplayNameOf(catalog_path_);
  return *catalog_name_;
}

bool LibrarySearch::PollCancel() {
  if (!cancelled_ && progress_.WaitCancelled()) cancelled_ = true;
  return cancelled_;
}

void LibrarySearch::SearchFolder(const std::string& directory) {
  struct Frame {
    std::string path;  // with trailing "/"
    std::vector<DirectoryEntry> entries;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  auto enter = [&](std::string path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    // A directory reached twice (through a link) is searched once.
    if (!visited_directories_.insert({st.st_dev, st.st_ino}).second) return;
    std::vector<DirectoryEntry> entries = ListDirectory(path);
    stack.push_back({std::move(path), std::move(entries), 0});
  };
  enter(WithTrailingBackslash(directory));
  while (!stack.empty() && !cancelled_) {
    Frame& frame = stack.back();
    if (frame.next == frame.entries.size()) {
      stack.pop_back();
      continue;
    }
    const DirectoryEntry& entry = frame.entries[frame.next++];
    std::string full = frame.path + entry.name;
    progress_.SetWaitText(full);
    if (PollCancel()) return;
    bool is_directory = entry.type == DT_DIR;
    bool is_file = entry.type == DT_REG;
    if (!is_directory && !is_file) {
      struct stat st;
      if (::stat(full.c_str(), &st) != 0) continue;
      is_directory = S_ISDIR(st.st_mode);
      is_file = S_ISREG(st.st_mode);
    }
    if (is_directory) {
      enter(WithTrailingBackslash(full));  // `frame` may dangle from here on
    } else if (is_file) {
      SearchCatalog(full);
    }
  }
}

int LibrarySearch::ReadIntoBuffer(const std::string& path) {
  size_ = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
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
      auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
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

void LibrarySearch::SearchCatalog(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  progress_.SetWaitText(kLoadingInfo);
  catalog_path_ = path;
  catalog_name_.reset();
  if (const int error = ReadIntoBuffer(path); error != 0) {
    if (error != ENOENT) ++outcome_.skipped_files;  // gone meanwhile: skipped silently
    return;
  }
  const char* begin = buffer_.get();
  const char* end = begin + size_;
  if (const char* body = ScanProlog(begin, end)) {
    if (!needle_.Empty() && LooksComplete(body, end) && !TextMayContain(begin, end, needle_)) {
      return;
    }
    if (ScanBuffer(body, end) != FastResult::kUnsupported) return;
  }
  ParseBuffer(size_);
}

LibrarySearch::FastResult LibrarySearch::ScanBuffer(const char* begin, const char* end) {
  std::vector<TCatalogRecord> found;
  std::vector<std::size_t> found_ordinals;
  std::size_t ordinal = 0;  // of the element being visited, in document pre-order
  std::array<std::string, kFieldCount> decoded;
  bool undecodable = false;
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
  const ScanStatus status =
      ScanCatalogText(begin, end, &needle_, [&](const ScannedElement& element) {
        const std::size_t element_ordinal = ordinal++;
        if (element.present[kFileName]) {
          const std::optional<std::string_view> name = value_of(element, kFileName);
          if (undecodable) return false;
          progress_.SetWaitText(*name);
          if (element.may_match) {
            const auto ext = value_of(element, kFileExt);
            const auto description = value_of(element, kDescription);
            if (undecodable) return false;
            if (MatchesFields(criteria_, name, ext, description)) {
              FieldViews fields{};
              for (int i = 0; i < kFieldCount; ++i) {
                if (i != kFileName && i != kFileExt && i != kDescription) {
                  fields[i] = value_of(element, i).value_or(std::string_view());
                }
              }
              fields[kFileName] = *name;
              fields[kFileExt] = ext.value_or(std::string_view());
              fields[kDescription] = description.value_or(std::string_view());
              if (undecodable) return false;
              fields[kCatalogName] = CatalogName();
              found.emplace_back(fields);
              found_ordinals.push_back(element_ordinal);
            }
          }
        }
        return element.depth < 2 || !PollCancel();
      });
  if (status == ScanStatus::kUnsupported || undecodable) return FastResult::kUnsupported;
  for (std::size_t i = 0; i < found.size(); ++i) {
    outcome_.results.AddChild(nullptr, std::move(found[i]));
    outcome_.sources.push_back({catalog_path_, found_ordinals[i]});
  }
  return status == ScanStatus::kStopped ? FastResult::kCancelled : FastResult::kDone;
}

void LibrarySearch::ParseBuffer(std::size_t size) {
  XmlDocument document;
  const pugi::xml_parse_result result = document.load_buffer_inplace(
      buffer_.get(), size, kXmlParseOptions, EncodingOfText(std::string_view(buffer_.get(), size)));
  const XmlElement root = document.document_element();
  if (!result || !root) {
    ++outcome_.skipped_files;
    return;
  }
  SearchChildren(root);
}

void LibrarySearch::SearchChildren(const XmlElement& element) {
  int depth = 0;  // of `element` below the document's root element
  for (XmlElement up = element; up.parent() && up.parent().type() == pugi::node_element;
       up = up.parent()) {
    ++depth;
  }
  XmlElement node = element.first_child();
  int level = depth + 1;
  std::size_t ordinal = 0;  // of `node` among the elements below `element`, in pre-order
  while (node && node != element) {
    if (node.type() == pugi::node_element) {
      const pugi::xml_attribute name = node.attribute(FieldNames[kFileName].data());
      if (name) progress_.SetWaitText(name.value());
      if (MatchesCriteria(criteria_, node)) AddSearchResult(node, ordinal);
      ++ordinal;
      if (level >= 2 && PollCancel()) return;
      if (node.first_child()) {
        node = node.first_child();
        ++level;
        continue;
      }
    }
    while (node != element && !node.next_sibling()) {
      node = node.parent();
      --level;
    }
    if (node != element) node = node.next_sibling();
  }
}

void LibrarySearch::AddSearchResult(const XmlElement& element, std::size_t ordinal) {
  FieldViews fields{};
  for (int i = 0; i < kFieldCount; ++i) {
    fields[i] = AttributeValue(element, i).value_or(std::string_view());
  }
  fields[kCatalogName] = CatalogName();
  outcome_.results.AddChild(nullptr, TCatalogRecord(fields));
  outcome_.sources.push_back({catalog_path_, ordinal});
}

SearchOutcome SearchLibrary(const SearchCriteria& criteria, Progress& progress) {
  progress.ShowWait(true, true);
  struct Hide {
    Progress& progress;
    ~Hide() { progress.ShowWait(false); }
  } hide{progress};
  LibrarySearch search(criteria, progress);
  if (!criteria.scope_path.empty()) {
    if (criteria.scope_is_directory) {
      search.SearchFolder(criteria.scope_path);
    } else {
      search.SearchCatalog(criteria.scope_path);
    }
  }
  return search.TakeOutcome();
}

}  // namespace lumivor
