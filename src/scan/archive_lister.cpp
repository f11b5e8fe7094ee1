#include "scan/archive_lister.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <exception>
#include <memory>
#include <new>
#include <unordered_map>

#include "catalog/fields.h"
#include "scan/archive_headers.h"
#include "scan/media_readers.h"

namespace lumivor {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  text.remove_prefix(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (LowerAscii(text[i]) != suffix[i]) return false;
  }
  return true;
}

// Endings, lower case, each with its dot.
constexpr std::array<std::string_view, 20> kArchiveEndings = {
    ".zip",    ".7z",      ".rar",   ".tar",    ".tgz",  ".tar.gz",  ".tbz",
    ".tbz2",   ".tar.bz2", ".txz",   ".tar.xz", ".tzst", ".tar.zst", ".tlz",
    ".tar.lz", ".taz",     ".tar.z", ".iso",    ".cpio", ".tar.lzma"};

// Archives up to this size are read whole before they are listed.
constexpr std::size_t kReadWhole = 64 * 1024;

// The folder tree an archive's paths describe, built as its entries are read. One is kept for
// each thread and cleared between archives, so that listing one archive after another allocates
// next to nothing.
class EntryTree {
 public:
  void Clear() {
    // What a very large archive needed is let go of rather than kept for the thread.
    constexpr std::size_t kKeptNodes = 1 << 16;
    if (nodes_.capacity() > kKeptNodes) {
      nodes_ = {};
      names_ = {};
      slots_ = {};
    }
    nodes_.assign(1, Node{});
    names_.clear();
    std::fill(slots_.begin(), slots_.end(), 0);
    folders_ = 0;
  }

  void Add(std::string_view path, bool directory, std::uint64_t size, std::time_t mtime) {
    if (!path.empty() && path.back() == '/') directory = true;
    std::uint32_t parent = 0;
    while (!path.empty()) {
      const std::size_t slash = path.find('/');
      const std::string_view part = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      if (part.empty() || part == "." || part == "..") continue;
      // Trailing "/", "." or empty components do not make a file into a folder.
      bool last = true;
      for (std::string_view rest = path; !rest.empty();) {
        const std::size_t next = rest.find('/');
        const std::string_view piece = rest.substr(0, next);
        if (!piece.empty() && piece != "." && piece != "..") {
          last = false;
          break;
        }
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
      }
      if (last && !directory) {
        const std::uint32_t file = NewNode(parent, part, false);
        nodes_[file].size = size;
        nodes_[file].mtime = mtime;
        return;
      }
      parent = Folder(parent, part);
      if (last) nodes_[parent].mtime = mtime;
    }
  }

  // The entries in pre-order, folder sizes summed, into `out` (whose strings are reused).
  void Entries(std::vector<ArchiveEntry>* out) {
    SumSizes();
    out->resize(nodes_.size() - 1);
    std::size_t made = 0;
    std::vector<Frame>& stack = stack_;
    stack.assign(1, {nodes_[0].first_child, 0});
    std::string& path = path_;
    path.clear();
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == 0) {
        stack.pop_back();
        continue;
      }
      const std::uint32_t index = frame.next;
      const Node& node = nodes_[index];
      frame.next = node.next_sibling;
      path.resize(frame.path_length);
      if (!path.empty()) path += '/';
      ArchiveEntry& entry = (*out)[made++];
      entry.name_offset = path.size();
      path.append(names_, node.name_at, node.name_size);
      entry.path.assign(path);
      entry.depth = static_cast<int>(stack.size()) - 1;
      entry.directory = node.directory;
      entry.size = node.size;
      entry.mtime = node.mtime;
      if (node.first_child != 0) stack.push_back({node.first_child, path.size()});
    }
  }

 private:
  // A folder being walked by Entries.
  struct Frame {
    std::uint32_t next;  // the next child to visit; 0 when none is left
    std::size_t path_length;
  };

  // Nodes refer to each other by index; 0 is the root (and "none" as a child or sibling).
  struct Node {
    std::size_t name_at = 0;  // the clean name in names_
    std::uint32_t name_size = 0;
    std::uint32_t raw_size = 0;  // a folder: its name as stored, right after the clean name
    std::uint32_t parent = 0;
    std::uint32_t first_child = 0, last_child = 0, next_sibling = 0;
    bool directory = false;
    std::uint64_t size = 0;
    std::time_t mtime = 0;
  };

  std::uint32_t NewNode(std::uint32_t parent, std::string_view raw, bool directory) {
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    Node node;
    node.name_at = names_.size();
    node.parent = parent;
    node.directory = directory;
    const std::string_view name = SanitizeText(raw, &clean_) ? std::string_view(clean_) : raw;
    names_ += name;
    node.name_size = static_cast<std::uint32_t>(name.size());
    if (directory) {
      names_ += raw;
      node.raw_size = static_cast<std::uint32_t>(raw.size());
    }
    nodes_.push_back(node);
    Node& above = nodes_[parent];
    if (above.first_child == 0) {
      above.first_child = index;
    } else {
      nodes_[above.last_child].next_sibling = index;
    }
    above.last_child = index;
    return index;
  }

  // The folder named `raw` (as stored) in `parent`, made when new. Folders are found by their
  // parent and stored name in an open-addressed table of node indices.
  std::uint32_t Folder(std::uint32_t parent, std::string_view raw) {
    if ((folders_ + 1) * 2 > slots_.size()) Grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = Hash(parent, raw) & mask;; at = (at + 1) & mask) {
      const std::uint32_t found = slots_[at];
      if (found == 0) {
        const std::uint32_t made = NewNode(parent, raw, true);
        slots_[at] = made;
        ++folders_;
        return made;
      }
      if (nodes_[found].parent == parent && RawName(found) == raw) return found;
    }
  }

  [[nodiscard]] std::string_view RawName(std::uint32_t index) const {
    const Node& node = nodes_[index];
    return std::string_view(names_).substr(node.name_at + node.name_size, node.raw_size);
  }

  static std::size_t Hash(std::uint32_t parent, std::string_view raw) {
    return std::hash<std::string_view>()(raw) ^ (std::size_t{parent} * 0x9E3779B97F4A7C15ULL);
  }

  void Grow() {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(64, old.size() * 2), 0);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint32_t index : old) {
      if (index == 0) continue;
      std::size_t at = Hash(nodes_[index].parent, RawName(index)) & mask;
      while (slots_[at] != 0) at = (at + 1) & mask;
      slots_[at] = index;
    }
  }

  // Every node is made after its parent, so a walk from the last node to the first adds each
  // folder's total to its parent's after it is complete.
  void SumSizes() {
    for (Node& node : nodes_) {
      if (node.directory) node.size = 0;
    }
    for (std::size_t i = nodes_.size(); i-- > 1;) nodes_[nodes_[i].parent].size += nodes_[i].size;
  }

  std::vector<Node> nodes_{Node{}};
  std::string names_;
  std::vector<std::uint32_t> slots_;
  std::size_t folders_ = 0;
  std::string clean_, path_;
  std::vector<Frame> stack_;
};

}  // namespace

bool IsArchiveName(std::string_view name) {
  for (std::string_view ending : kArchiveEndings) {
    if (name.size() > ending.size() && EndsWithNoCase(name, ending)) return true;
  }
  return false;
}

namespace {

// Lists the archive open at `fd` into `listing`; `size` is its length when it is a regular file,
// else null (then only libarchive reads it).
void List(int fd, const std::uint64_t* size, const std::function<bool()>& cancelled,
          ArchiveListing* listing) {
  listing->outcome = ArchiveOutcome::kUnsupported;
  const MediaReaderApi* readers = MediaReaders();
  if (!readers) {
    listing->entries.clear();
    return;
  }
  // Builds the folder tree from the entries the reader reports.
  class Collector final : public ArchiveVisitor {
   public:
    Collector(const std::function<bool()>& cancelled, EntryTree* tree)
        : tree_(tree), cancelled_(cancelled) {
      tree_->Clear();
    }
    bool Cancelled() override { return failure_ || (cancelled_ && cancelled_()); }
    // No exception crosses into the module: the first one stops the listing there (through
    // Cancelled) and is raised again here once the module returns.
    void Entry(const char* path, bool directory, std::uint64_t size, std::time_t mtime) override {
      if (failure_) return;
      try {
        tree_->Add(path, directory, size, mtime);
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
    void RaiseFailure() const {
      if (failure_) std::rethrow_exception(failure_);
    }

   private:
    EntryTree* tree_;
    const std::function<bool()>& cancelled_;
    std::exception_ptr failure_;
  };
  thread_local EntryTree tree;
  Collector collector(cancelled, &tree);
  // A small archive is read whole with one call, and every reader below takes its bytes from
  // memory: most archives a scan meets are small, and each read of a file costs a system call.
  std::string_view whole;
  if (size && *size <= kReadWhole) {
    thread_local std::unique_ptr<char[]> buffer(new char[kReadWhole]);
    const auto length = static_cast<std::size_t>(*size);
    if (ArchiveBytes(fd, length).Read(0, buffer.get(), length) == length) {
      whole = {buffer.get(), length};
    }
  }
  // The common archives are listed from their headers in the core; libarchive lists the others,
  // and those the header readers hand on, afresh.
  const HeaderListing headers = !whole.empty() ? ListArchiveHeaders(ArchiveBytes(whole), &collector)
                                : size ? ListArchiveHeaders(ArchiveBytes(fd, *size), &collector)
                                       : HeaderListing::kUnusual;
  collector.RaiseFailure();
  if (headers == HeaderListing::kListed) {
    listing->outcome = ArchiveOutcome::kListed;
  } else if (headers == HeaderListing::kCancelled) {
    listing->outcome = ArchiveOutcome::kCancelled;
  } else {
    tree.Clear();
    listing->outcome = !whole.empty()
                           ? readers->list_archive_bytes(whole.data(), whole.size(), &collector)
                           : readers->list_archive(fd, &collector);
    collector.RaiseFailure();
    if (listing->outcome == ArchiveOutcome::kOutOfMemory) {
      tree.Clear();
      listing->outcome = ArchiveOutcome::kUnsupported;
      throw std::bad_alloc();
    }
  }
  if (listing->outcome == ArchiveOutcome::kListed) {
    tree.Entries(&listing->entries);
  } else {
    listing->entries.clear();
  }
}

}  // namespace

ArchiveListing ListArchive(int fd, const std::function<bool()>& cancelled) {
  ArchiveListing listing;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    List(fd, &size, cancelled, &listing);
  } else {
    List(fd, nullptr, cancelled, &listing);
  }
  return listing;
}

ArchiveListing ListArchive(int fd, std::uint64_t size, const std::function<bool()>& cancelled) {
  ArchiveListing listing;
  List(fd, &size, cancelled, &listing);
  return listing;
}

void ListArchive(int fd, std::uint64_t size, const std::function<bool()>& cancelled,
                 ArchiveListing* listing) {
  List(fd, &size, cancelled, listing);
}

ArchiveListing ListArchive(const std::string& path, const std::function<bool()>& cancelled) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ArchiveListing listing = ListArchive(fd, cancelled);
  ::close(fd);
  return listing;
}

}  // namespace lumivor
